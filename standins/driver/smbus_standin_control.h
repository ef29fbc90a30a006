/* The stand-in SMBus driver's own control requests, by which tests set up the card it
   pretends to be and read back every request it received. Shared by the driver and its
   control tool. The probe request itself is in smbus_probe.h. */
#ifndef PELK_SMBUS_STANDIN_CONTROL_H
#define PELK_SMBUS_STANDIN_CONTROL_H

#define STANDIN_CONFIGURE_CODE CTL_CODE(0x116, 0x7F0, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define STANDIN_READ_LOG_CODE CTL_CODE(0x116, 0x7F1, METHOD_BUFFERED, FILE_ANY_ACCESS)

#define STANDIN_NO_FAILURE 0xFFFFFFFFu
#define STANDIN_LOG_CAPACITY 512
#define STANDIN_LOGGED_BYTES 4

/* Replaces the card and empties the request log. */
struct standin_card {
    unsigned char present[128];
    unsigned int fail_address; /* STANDIN_NO_FAILURE, or the address that fails */
    int fail_status;           /* the NTSTATUS it fails with */
};

struct standin_request {
    unsigned char bytes[STANDIN_LOGGED_BYTES]; /* the first input bytes */
    unsigned int control_code;
    unsigned int in_length;
    unsigned int out_length;
};

struct standin_request_log {
    unsigned int count; /* requests received, also those beyond the capacity */
    struct standin_request requests[STANDIN_LOG_CAPACITY];
};

#endif
