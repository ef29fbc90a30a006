/* Control tool of the stand-in SMBus driver, for the Windows test suite and the demo.
     smbus_standin_ctl configure PRESENT [FAIL_ADDRESS FAIL_STATUS]
       PRESENT: hex addresses separated by commas, or "none"; the card answers at these.
       FAIL_ADDRESS FAIL_STATUS: hex; a probe of that address fails with that NTSTATUS.
     smbus_standin_ctl log
       one line per probe request received since the last configure. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "smbus_probe.h"
#include "smbus_standin_control.h"

static int fail(const char* what) {
    fprintf(stderr, "smbus_standin_ctl: %s (error %lu)\n", what, GetLastError());
    return 1;
}

static int parse_hex(const char* text, unsigned long limit, unsigned long* value) {
    char* end = NULL;
    *value = strtoul(text, &end, 16);
    return end != text && *end == '\0' && *value <= limit;
}

static int parse_card(int argc, char* argv[], struct standin_card* card) {
    memset(card, 0, sizeof *card);
    card->fail_address = STANDIN_NO_FAILURE;
    if (strcmp(argv[2], "none") != 0) {
        char list[512];
        strncpy(list, argv[2], sizeof list - 1);
        list[sizeof list - 1] = '\0';
        for (const char* item = strtok(list, ","); item != NULL; item = strtok(NULL, ",")) {
            unsigned long address = 0;
            if (!parse_hex(item, SMBUS_ADDRESS_COUNT - 1, &address)) {
                return 0;
            }
            card->present[address] = 1;
        }
    }
    if (argc == 5) {
        unsigned long address = 0;
        unsigned long status = 0;
        if (!parse_hex(argv[3], 0xFF, &address) || !parse_hex(argv[4], 0xFFFFFFFFul, &status)) {
            return 0;
        }
        card->fail_address = (unsigned int)address;
        card->fail_status = (int)status;
    }
    return argc == 3 || argc == 5;
}

static int print_log(HANDLE device) {
    static struct standin_request_log request_log;
    DWORD returned = 0;
    if (!DeviceIoControl(device, STANDIN_READ_LOG_CODE, NULL, 0, &request_log, sizeof request_log,
                         &returned, NULL)) {
        return fail("reading the request log failed");
    }
    for (unsigned int i = 0; i < request_log.count && i < STANDIN_LOG_CAPACITY; ++i) {
        const struct standin_request* request = &request_log.requests[i];
        printf("%02x %02x %02x code=%08x in=%u out=%u\n", request->bytes[0], request->bytes[1],
               request->bytes[2], request->control_code, request->in_length, request->out_length);
    }
    if (request_log.count > STANDIN_LOG_CAPACITY) {
        printf("and %u more\n", request_log.count - STANDIN_LOG_CAPACITY);
    }
    return 0;
}

int main(int argc, char* argv[]) {
    int configure = argc >= 3 && strcmp(argv[1], "configure") == 0;
    if (!configure && !(argc == 2 && strcmp(argv[1], "log") == 0)) {
        fprintf(stderr, "usage: smbus_standin_ctl configure PRESENT [FAIL_ADDRESS FAIL_STATUS]\n"
                        "       smbus_standin_ctl log\n");
        return 2;
    }
    struct standin_card card;
    if (configure && !parse_card(argc, argv, &card)) {
        fprintf(stderr, "smbus_standin_ctl: bad card description\n");
        return 2;
    }
    HANDLE device = CreateFileW(SMBUS_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (device == INVALID_HANDLE_VALUE) {
        return fail("the stand-in driver's device won't open");
    }
    int status = 0;
    if (configure) {
        DWORD returned = 0;
        if (!DeviceIoControl(device, STANDIN_CONFIGURE_CODE, &card, sizeof card, NULL, 0, &returned,
                             NULL)) {
            status = fail("configuring the card failed");
        }
    } else {
        status = print_log(device);
    }
    CloseHandle(device);
    return status;
}
