#include "fake_kernel32.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string_view>

#include "fake_trust.h"
#include "smbus_probe.h"

namespace {

void* const device_handle = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(0x5eb));
constexpr int card_addresses[] = {0x18, 0x20};

DWORD open_error = 0;
bool device_open = false;
DWORD probe_answers[SMBUS_ADDRESS_COUNT];
DWORD last_error = fake_poisoned_error;
std::vector<std::string> calls;
std::vector<std::string> violations;
std::vector<int> probed_addresses;
long stdout_bytes_at_close = -1;

std::string hex_bytes(const void* buffer, DWORD size) {
    if (buffer == nullptr) {
        return "null";
    }
    std::string text;
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    for (DWORD i = 0; i < size && i < 16; ++i) {
        text += fake_format(i == 0 ? "%02x" : " %02x", bytes[i]);
    }
    return text;
}

bool is_device(HANDLE handle) {
    return device_open && handle == device_handle;
}

} // namespace

namespace {

void reset_card_and_log() {
    open_error = 0;
    device_open = false;
    fake_set_all_probe_answers(ERROR_DEV_NOT_EXIST);
    for (int address : card_addresses) {
        probe_answers[address] = 0;
    }
    last_error = fake_poisoned_error;
    calls.clear();
    violations.clear();
    probed_addresses.clear();
    stdout_bytes_at_close = -1;
}

} // namespace

void fake_kernel32_reset() {
    reset_card_and_log();
    fake_loader_host_reset();
    fake_install_host_reset();
}

std::string fake_narrow(LPCWSTR wide) {
    if (wide == nullptr) {
        return "null";
    }
    std::string text;
    for (; *wide != 0; ++wide) {
        auto character = static_cast<char32_t>(*wide);
        if (character < 0x80) {
            text += static_cast<char>(character);
        } else {
            text += fake_format("<U+%04X>", static_cast<unsigned>(character));
        }
    }
    return text;
}

void fake_log_call(const std::string& call) {
    calls.push_back(call);
}
void fake_violation(const std::string& what) {
    violations.push_back(what);
}
void fake_set_last_error(DWORD error) {
    last_error = error;
}

void fake_set_open_error(DWORD error) {
    open_error = error;
}

void fake_set_probe_answer(int address, DWORD error) {
    probe_answers[address] = error;
}

void fake_set_all_probe_answers(DWORD error) {
    std::fill(std::begin(probe_answers), std::end(probe_answers), error);
}

void fake_poison_last_error() {
    last_error = fake_poisoned_error;
}

const std::vector<std::string>& fake_kernel32_calls() {
    return calls;
}
const std::vector<std::string>& fake_kernel32_violations() {
    return violations;
}
std::vector<int> fake_probed_addresses() {
    return probed_addresses;
}
long fake_stdout_bytes_at_close() {
    return stdout_bytes_at_close;
}

extern "C" HANDLE WINAPI CreateFileW(LPCWSTR file_name, DWORD desired_access, DWORD share_mode,
                                     LPSECURITY_ATTRIBUTES security_attributes,
                                     DWORD creation_disposition, DWORD flags_and_attributes,
                                     HANDLE template_file) {
    calls.push_back(fake_format("CreateFileW(%s, 0x%08x, %u, %s, %u, 0x%x, %s)",
                                fake_narrow(file_name).c_str(), desired_access, share_mode,
                                security_attributes ? "attributes" : "null", creation_disposition,
                                flags_and_attributes, template_file ? "template" : "null"));
    if (fake_narrow(file_name) != fake_narrow(SMBUS_DEVICE_PATH)) {
        return fake_open_library_file(file_name, desired_access, share_mode, creation_disposition);
    }
    if (device_open) {
        violations.push_back("device opened a second time");
    }
    if (open_error != 0) {
        last_error = open_error;
        return INVALID_HANDLE_VALUE;
    }
    device_open = true;
    return device_handle;
}

extern "C" BOOL WINAPI DeviceIoControl(HANDLE device, DWORD control_code, LPVOID in_buffer,
                                       DWORD in_buffer_size, LPVOID out_buffer,
                                       DWORD out_buffer_size, LPDWORD bytes_returned,
                                       LPOVERLAPPED overlapped) {
    calls.push_back(fake_format("DeviceIoControl(%s, 0x%08x, in=[%s]/%u, out=%s/%u, %s, %s)",
                                is_device(device) ? "device" : "bad handle", control_code,
                                hex_bytes(in_buffer, in_buffer_size).c_str(), in_buffer_size,
                                out_buffer ? "buffer" : "null", out_buffer_size,
                                bytes_returned ? "returned" : "null",
                                overlapped ? "overlapped" : "no overlapped"));
    if (!is_device(device)) {
        violations.push_back("DeviceIoControl on a handle that is not open");
        last_error = ERROR_INVALID_HANDLE;
        return 0;
    }
    if (bytes_returned == nullptr && overlapped == nullptr) {
        violations.push_back("DeviceIoControl without bytes-returned or OVERLAPPED faults");
        last_error = ERROR_INVALID_PARAMETER;
        return 0;
    }
    if ((in_buffer == nullptr && in_buffer_size != 0) ||
        (out_buffer == nullptr && out_buffer_size != 0)) {
        violations.push_back("DeviceIoControl with a null buffer of nonzero size");
        last_error = ERROR_INVALID_PARAMETER;
        return 0;
    }
    if (control_code != SMBUS_PROBE_CONTROL_CODE || in_buffer_size != sizeof(probe_request) ||
        out_buffer_size < PROBE_REPLY_SIZE) {
        last_error = ERROR_INVALID_PARAMETER;
        return 0;
    }
    int address = static_cast<const probe_request*>(in_buffer)->target_address;
    probed_addresses.push_back(address);
    if (address >= SMBUS_ADDRESS_COUNT) {
        violations.push_back(fake_format("probe of 0x%02x, outside the 7-bit range", address));
        last_error = ERROR_INVALID_PARAMETER;
        return 0;
    }
    if (probe_answers[address] != 0) {
        last_error = probe_answers[address];
        return 0;
    }
    // Success leaves the last error poisoned, so code that reads it anyway is caught.
    *static_cast<unsigned char*>(out_buffer) = 0;
    if (bytes_returned != nullptr) {
        *bytes_returned = PROBE_REPLY_SIZE;
    }
    return 1;
}

extern "C" DWORD WINAPI GetLastError(void) {
    calls.push_back(fake_format("GetLastError() = %u", last_error));
    return last_error;
}

extern "C" BOOL WINAPI CloseHandle(HANDLE object) {
    if (fake_close_library_file(object)) {
        return 1;
    }
    calls.push_back(is_device(object) ? "CloseHandle(device)" : "CloseHandle(bad handle)");
    if (!is_device(object)) {
        violations.push_back("CloseHandle on a handle that is not open");
        last_error = ERROR_INVALID_HANDLE;
        return 0;
    }
    device_open = false;
    std::fflush(stdout);
    stdout_bytes_at_close = static_cast<long>(lseek(STDOUT_FILENO, 0, SEEK_CUR));
    return 1;
}

// Load-time state is the demo card (the loader's host sets its own, in its own file).
[[maybe_unused]] static const bool card_ready = (reset_card_and_log(), true);
