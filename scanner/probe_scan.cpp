#include <windows.h>

#include <cstdio>

#include "probe_scan.h"

static_assert(SMBUS_PROBE_CONTROL_CODE == 0x01161C00);
static_assert(sizeof(probe_request) == 3);

scan_outcome probe_scan(std::int32_t first, std::int32_t last,
                        std::int32_t presence_table[SMBUS_ADDRESS_COUNT]) {
    scan_outcome outcome{false, 0, false, 0, 0};
    HANDLE device =
        CreateFileW(SMBUS_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        outcome.open_error = GetLastError(); // before the runtime can change it
        std::fputs("INVALID_HANDLE_VALUE", stdout);
        return outcome;
    }
    outcome.device_opened = true;

    probe_request request{0, PROBE_REQUEST_COMMAND, PROBE_REQUEST_DATA};
    unsigned char probe_reply[PROBE_REPLY_SIZE] = {0};
    for (std::int32_t address = 0; address < SMBUS_ADDRESS_COUNT; ++address) {
        presence_table[address] = 0;
    }

    for (std::int32_t address = first; address <= last; ++address) {
        // Belt and braces: nothing outside the table may ever reach the bus.
        if (address < 0 || address >= SMBUS_ADDRESS_COUNT) {
            break;
        }
        request.target_address = static_cast<unsigned char>(address);
        DWORD bytes_returned = 0;
        if (DeviceIoControl(device, SMBUS_PROBE_CONTROL_CODE, &request, sizeof request, probe_reply,
                            sizeof probe_reply, &bytes_returned, nullptr)) {
            presence_table[address] = 1;
            continue;
        }
        DWORD error = GetLastError();
        if (error != ERROR_DEV_NOT_EXIST) {
            outcome.stopped_early = true;
            outcome.stop_address = address;
            outcome.stop_error = error;
            break;
        }
    }

    CloseHandle(device);
    return outcome;
}
