/* The probe request as it crosses from the scanner to the card's SMBus driver.
   Shared by the scanner and the stand-in driver; include <windows.h> (user mode) or
   <wdm.h> (kernel mode) first, for CTL_CODE. Kept to plain C for the driver's sake. */
#ifndef PELK_SMBUS_PROBE_H
#define PELK_SMBUS_PROBE_H

#define SMBUS_DEVICE_PATH L"\\\\.\\RURIDODAV"
#define SMBUS_DEVICE_NAME L"\\Device\\RURIDODAV"
#define SMBUS_DOS_DEVICE_NAME L"\\DosDevices\\RURIDODAV"

/* 0x01161C00 */
#define SMBUS_PROBE_CONTROL_CODE CTL_CODE(0x116, 0x700, METHOD_BUFFERED, FILE_ANY_ACCESS)

#define SMBUS_ADDRESS_COUNT 128

/* The driver reads bytes 1 and 2 in its own way; the scanner always sends 00 ff. */
struct probe_request {
    unsigned char target_address;
    unsigned char command;
    unsigned char data;
};

#define PROBE_REQUEST_COMMAND 0x00
#define PROBE_REQUEST_DATA 0xFF
#define PROBE_REPLY_SIZE 1

#endif
