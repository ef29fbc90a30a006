/* The least a full-range scan can be: open the device, send the 128 probe requests,
   close it, print the grid with printf. The yardstick for smbus_scan.exe's overhead. */
#include <windows.h>

#include <stdio.h>

#include "smbus_probe.h"

int main(void) {
    HANDLE device = CreateFileW(SMBUS_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (device == INVALID_HANDLE_VALUE) {
        return 1;
    }
    int present[SMBUS_ADDRESS_COUNT] = {0};
    struct probe_request request = {0, PROBE_REQUEST_COMMAND, PROBE_REQUEST_DATA};
    unsigned char reply = 0;
    for (int address = 0; address < SMBUS_ADDRESS_COUNT; ++address) {
        DWORD returned = 0;
        request.target_address = (unsigned char)address;
        present[address] = DeviceIoControl(device, SMBUS_PROBE_CONTROL_CODE, &request,
                                           sizeof request, &reply, 1, &returned, NULL) != 0;
    }
    CloseHandle(device);
    printf("     ");
    for (int column = 0; column < 16; ++column) {
        printf("%2x  ", column);
    }
    printf("\n");
    for (int base = 0; base < SMBUS_ADDRESS_COUNT; base += 16) {
        printf("%2x   ", base);
        for (int column = 0; column < 16; ++column) {
            if (present[base + column]) {
                printf("%2x  ", base + column);
            } else {
                printf("--  ");
            }
        }
        printf("\n");
    }
    return 0;
}
