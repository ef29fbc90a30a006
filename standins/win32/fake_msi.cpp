// Windows Installer's property and log calls as the documentation gives them, for one
// install handle and the records made during a test.
#include "fake_msi.h"

#include <cwchar>
#include <map>

namespace {

constexpr MSIHANDLE install_handle = 0x4d1;
constexpr MSIHANDLE first_record = 0x9000;

std::map<std::wstring, std::wstring> properties;
std::map<std::wstring, UINT> get_errors;
UINT set_error = ERROR_SUCCESS;
std::map<MSIHANDLE, std::map<UINT, std::wstring>> records;
MSIHANDLE next_record = first_record;
std::vector<std::wstring> log;
std::vector<std::string> violations;

bool is_install(MSIHANDLE install, const char* call) {
    if (install != install_handle) {
        violations.push_back(std::string(call) + " on a handle that is not the install's");
        return false;
    }
    return true;
}

// A record's field 0 with each [n] replaced by field n, as Windows Installer formats it.
std::wstring formatted(const std::map<UINT, std::wstring>& fields) {
    const auto found = fields.find(0);
    const std::wstring pattern = found != fields.end() ? found->second : L"";
    std::wstring text;
    for (std::size_t at = 0; at < pattern.size(); ++at) {
        const std::size_t close = pattern.find(L']', at);
        if (pattern[at] == L'[' && close != std::wstring::npos && close > at + 1 &&
            pattern.find_first_not_of(L"0123456789", at + 1) == close) {
            const auto field = fields.find(static_cast<UINT>(std::stoul(pattern.substr(at + 1))));
            text += field != fields.end() ? field->second : L"";
            at = close;
        } else {
            text += pattern[at];
        }
    }
    return text;
}

} // namespace

void fake_msi_reset() {
    properties.clear();
    get_errors.clear();
    set_error = ERROR_SUCCESS;
    records.clear();
    next_record = first_record;
    log.clear();
    violations.clear();
}

MSIHANDLE fake_msi_install() {
    return install_handle;
}

void fake_msi_set_property(const std::wstring& name, const std::wstring& value) {
    properties[name] = value;
}

void fake_msi_fail_get(const std::wstring& name, UINT error) {
    get_errors[name] = error;
}

void fake_msi_fail_set(UINT error) {
    set_error = error;
}

std::optional<std::wstring> fake_msi_property(const std::wstring& name) {
    const auto found = properties.find(name);
    return found != properties.end() ? std::optional<std::wstring>(found->second) : std::nullopt;
}

const std::vector<std::wstring>& fake_msi_log() {
    return log;
}

const std::vector<std::string>& fake_msi_violations() {
    return violations;
}

// An unset property reads as empty. A short buffer gets what fits and ERROR_MORE_DATA, with
// the value's length, without its null, in *length.
extern "C" UINT WINAPI MsiGetPropertyW(MSIHANDLE install, LPCWSTR name, LPWSTR value,
                                       LPDWORD length) {
    if (!is_install(install, "MsiGetPropertyW")) {
        return ERROR_INVALID_HANDLE;
    }
    if (name == nullptr || length == nullptr || (value == nullptr && *length != 0)) {
        violations.emplace_back("MsiGetPropertyW without its name, buffer or length");
        return ERROR_INVALID_PARAMETER;
    }
    const auto error = get_errors.find(name);
    if (error != get_errors.end()) {
        return error->second;
    }
    const std::wstring held = fake_msi_property(name).value_or(L"");
    const DWORD size = *length;
    *length = static_cast<DWORD>(held.size());
    if (held.size() + 1 > size) {
        if (size > 0) {
            std::wmemcpy(value, held.c_str(), size - 1);
            value[size - 1] = L'\0';
        }
        return ERROR_MORE_DATA;
    }
    std::wmemcpy(value, held.c_str(), held.size() + 1);
    return ERROR_SUCCESS;
}

extern "C" UINT WINAPI MsiSetPropertyW(MSIHANDLE install, LPCWSTR name, LPCWSTR value) {
    if (!is_install(install, "MsiSetPropertyW")) {
        return ERROR_INVALID_HANDLE;
    }
    if (name == nullptr) {
        violations.emplace_back("MsiSetPropertyW without a name");
        return ERROR_INVALID_PARAMETER;
    }
    if (set_error != ERROR_SUCCESS) {
        return set_error;
    }
    properties[name] = value != nullptr ? value : L"";
    return ERROR_SUCCESS;
}

extern "C" MSIHANDLE WINAPI MsiCreateRecord(UINT fields) {
    records[next_record][fields] = L"";
    return next_record++;
}

extern "C" UINT WINAPI MsiRecordSetStringW(MSIHANDLE record, UINT field, LPCWSTR value) {
    const auto found = records.find(record);
    if (found == records.end()) {
        violations.emplace_back("MsiRecordSetStringW on a record never made, or closed");
        return ERROR_INVALID_HANDLE;
    }
    found->second[field] = value != nullptr ? value : L"";
    return ERROR_SUCCESS;
}

extern "C" int WINAPI MsiProcessMessage(MSIHANDLE install, INSTALLMESSAGE kind, MSIHANDLE record) {
    const auto found = records.find(record);
    if (!is_install(install, "MsiProcessMessage") || found == records.end()) {
        violations.emplace_back("MsiProcessMessage without the install or a record");
        return -1;
    }
    if (kind == INSTALLMESSAGE_INFO) {
        log.push_back(formatted(found->second));
    }
    return 0;
}

extern "C" UINT WINAPI MsiCloseHandle(MSIHANDLE any) {
    if (any != install_handle && records.erase(any) == 0) {
        violations.emplace_back("MsiCloseHandle on a handle never given, or closed");
        return ERROR_INVALID_HANDLE;
    }
    return ERROR_SUCCESS;
}
