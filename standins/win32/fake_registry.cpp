// The registry as kiv_reset's RequiredSigners policy sees it: the one key and value it reads,
// with RegGetValueW's documented answers.
#include <algorithm>
#include <cstring>
#include <optional>

#include "fake_kernel32.h"
#include "fake_trust.h"

namespace {

const auto policy_key = reinterpret_cast<HKEY>(static_cast<std::intptr_t>(0x6e7));
constexpr wchar_t policy_key_path[] = L"SOFTWARE\\Policies\\PELK card service tools";

DWORD key_error = ERROR_FILE_NOT_FOUND;
std::optional<fake_registry_value> policy_value;
DWORD value_error = 0;
bool key_open = false;

bool is_string(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

} // namespace

void fake_registry_reset() {
    key_error = ERROR_FILE_NOT_FOUND;
    policy_value.reset();
    value_error = 0;
    key_open = false;
}

bool fake_policy_key_open() {
    return key_open;
}

void fake_set_policy_key_error(DWORD error) {
    key_error = error;
}
void fake_set_policy_value(const std::optional<fake_registry_value>& value, DWORD get_error) {
    policy_value = value;
    value_error = get_error;
}

extern "C" LSTATUS WINAPI RegOpenKeyExW(HKEY key, LPCWSTR sub_key, DWORD options, REGSAM desired,
                                        PHKEY result) {
    fake_log_call(fake_format("RegOpenKeyExW(%s, %s, 0x%x)",
                              key == HKEY_LOCAL_MACHINE ? "HKLM" : "other",
                              fake_narrow(sub_key).c_str(), desired));
    // The policy is the 64-bit view's, whatever the process's width.
    if ((desired & KEY_WOW64_64KEY) == 0) {
        fake_violation("the policy key read without KEY_WOW64_64KEY");
    }
    if (key_open) {
        fake_violation("the policy key opened a second time");
    }
    if (key != HKEY_LOCAL_MACHINE || sub_key == nullptr ||
        std::wcscmp(sub_key, policy_key_path) != 0 || options != 0) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (key_error != 0) {
        return static_cast<LSTATUS>(key_error);
    }
    key_open = true;
    *result = policy_key;
    return ERROR_SUCCESS;
}

extern "C" LSTATUS WINAPI RegGetValueW(HKEY key, LPCWSTR sub_key, LPCWSTR value, DWORD flags,
                                       LPDWORD type, PVOID data, LPDWORD data_size) {
    fake_log_call("RegGetValueW(" + fake_narrow(value) + ")");
    if (!key_open || key != policy_key || (sub_key != nullptr && *sub_key != L'\0')) {
        fake_violation("RegGetValueW of a key that is not open");
        return static_cast<LSTATUS>(ERROR_INVALID_HANDLE);
    }
    if (value == nullptr || std::wcscmp(value, L"RequiredSigners") != 0 || !policy_value) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (value_error != 0) {
        return static_cast<LSTATUS>(value_error);
    }
    if ((flags & RRF_RT_ANY) != RRF_RT_ANY || (flags & RRF_NOEXPAND) == 0) {
        fake_violation("RegGetValueW that leaves out or changes some type of value");
    }
    // As documented: a string comes back ending in a null, added where it was stored
    // without one.
    std::vector<wchar_t> returned = policy_value->data;
    if (is_string(policy_value->type) && (returned.empty() || returned.back() != L'\0')) {
        returned.push_back(L'\0');
    }
    auto needed = static_cast<DWORD>(returned.size() * sizeof(wchar_t));
    if (type != nullptr) {
        *type = policy_value->type;
    }
    if (data == nullptr || *data_size < needed) {
        *data_size = needed;
        return data == nullptr ? ERROR_SUCCESS : static_cast<LSTATUS>(ERROR_MORE_DATA);
    }
    std::copy(returned.begin(), returned.end(), static_cast<wchar_t*>(data));
    *data_size = needed;
    return ERROR_SUCCESS;
}

extern "C" LSTATUS WINAPI RegCloseKey(HKEY key) {
    fake_log_call("RegCloseKey()");
    if (!key_open || key != policy_key) {
        fake_violation("RegCloseKey of a key that is not open");
        return static_cast<LSTATUS>(ERROR_INVALID_HANDLE);
    }
    key_open = false;
    return ERROR_SUCCESS;
}
