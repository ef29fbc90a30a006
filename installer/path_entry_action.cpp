// The MSI's custom action pelk_path_entry: after CostFinalize it reads the system PATH (as
// RegistrySearch found it), INSTALLDIR and OWN_PATH_ENTRY, and sets PATH_ENTRY, on which
// the Environment table's entry is written. An installer call that fails leaves no answer
// to guess from: the reason goes to the install's log and the install stops (1603) before
// it has written anything.
#include <cstdlib>
#include <cwchar>

#include "path_entry.h"

namespace {

// "<call>(<property>) failed with error <n>", in a buffer that holds any of them.
constexpr std::size_t reason_size = 96;

void append(wchar_t* reason, const wchar_t* text) {
    std::wcsncat(reason, text, reason_size - std::wcslen(reason) - 1);
}

void append_number(wchar_t* reason, UINT number) {
    wchar_t digits[16];
    std::size_t at = sizeof digits / sizeof digits[0];
    digits[--at] = L'\0';
    do {
        digits[--at] = static_cast<wchar_t>(L'0' + number % 10);
        number /= 10;
    } while (number != 0);
    append(reason, digits + at);
}

// msiexec's log line, "pelk_path_entry: <reason>"; the reason is a field, so that brackets
// in it are never read as properties. A log that fails too changes nothing: the install
// stops either way.
void log_failure(MSIHANDLE install, const wchar_t* reason) {
    const MSIHANDLE record = MsiCreateRecord(1);
    if (record == 0) {
        return;
    }
    if (MsiRecordSetStringW(record, 0, L"pelk_path_entry: [1]") == ERROR_SUCCESS &&
        MsiRecordSetStringW(record, 1, reason) == ERROR_SUCCESS) {
        MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
    }
    MsiCloseHandle(record);
}

void log_call_failure(MSIHANDLE install, const wchar_t* call, const wchar_t* property, UINT error) {
    wchar_t reason[reason_size] = L"";
    append(reason, call);
    append(reason, L"(");
    append(reason, property);
    append(reason, L") failed with error ");
    append_number(reason, error);
    log_failure(install, reason);
}

// A property's value on the C runtime's heap, asked for again with the length the first
// call gives; nullptr, logged, when a call fails.
wchar_t* read_property(MSIHANDLE install, const wchar_t* name) {
    wchar_t none[1] = L"";
    DWORD length = 0;
    UINT result = MsiGetPropertyW(install, name, none, &length);
    if (result == ERROR_SUCCESS || result == ERROR_MORE_DATA) {
        ++length;
        auto* value = static_cast<wchar_t*>(std::malloc(length * sizeof(wchar_t)));
        if (value == nullptr) {
            log_failure(install, L"out of memory");
            return nullptr;
        }
        result = MsiGetPropertyW(install, name, value, &length);
        if (result == ERROR_SUCCESS) {
            return value;
        }
        std::free(value);
    }
    log_call_failure(install, L"MsiGetPropertyW", name, result);
    return nullptr;
}

} // namespace

extern "C" UINT WINAPI pelk_path_entry(MSIHANDLE install) {
    wchar_t* system_path = read_property(install, L"SYSTEM_PATH");
    wchar_t* install_dir = system_path ? read_property(install, L"INSTALLDIR") : nullptr;
    wchar_t* own_entry = install_dir ? read_property(install, L"OWN_PATH_ENTRY") : nullptr;
    const wchar_t* decision =
        own_entry ? path_entry_decision(system_path, install_dir, std::wcscmp(own_entry, L"1") == 0)
                  : nullptr;
    UINT status = ERROR_INSTALL_FAILURE;
    if (own_entry != nullptr && decision == nullptr) {
        log_failure(install, L"out of memory");
    } else if (decision != nullptr) {
        const UINT result = MsiSetPropertyW(install, L"PATH_ENTRY", decision);
        if (result == ERROR_SUCCESS) {
            status = ERROR_SUCCESS;
        } else {
            log_call_failure(install, L"MsiSetPropertyW", L"PATH_ENTRY", result);
        }
    }
    std::free(own_entry);
    std::free(install_dir);
    std::free(system_path);
    return status;
}
