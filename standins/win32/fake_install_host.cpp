// The kernel32 calls of the MSI's PATH decision, as the host of a custom action answers
// them: a 64-bit process's environment, the folders that exist with their 8.3 names, and
// Windows' ordinal comparison.
#include "fake_kernel32.h"

#include <cwctype>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

std::map<std::wstring, std::wstring> environment;
// (8.3 path, long path) of each folder that exists.
std::vector<std::pair<std::wstring, std::wstring>> folders;

wchar_t upper(wchar_t c) {
    return static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
}

std::wstring upper(std::wstring text) {
    for (wchar_t& c : text) {
        c = upper(c);
    }
    return text;
}

DWORD copy_out_with_null(const std::wstring& value, LPWSTR buffer, DWORD size) {
    if (value.size() + 1 > size) {
        return static_cast<DWORD>(value.size() + 1);
    }
    std::wmemcpy(buffer, value.c_str(), value.size() + 1);
    return static_cast<DWORD>(value.size());
}

} // namespace

void fake_install_host_reset() {
    environment = {{L"PROGRAMFILES", L"C:\\Program Files"},
                   {L"PROGRAMFILES(X86)", L"C:\\Program Files (x86)"},
                   {L"SYSTEMROOT", L"C:\\Windows"}};
    folders.clear();
}

void fake_set_folder(const std::wstring& short_path, const std::wstring& long_path) {
    folders.emplace_back(short_path, long_path);
}

// Each %NAME% of a variable that is set is replaced; any other text, an unset variable's
// %NAME% among it, stays. The size needed counts the null.
extern "C" DWORD WINAPI ExpandEnvironmentStringsW(LPCWSTR source, LPWSTR destination, DWORD size) {
    if (source == nullptr || (destination == nullptr && size != 0)) {
        fake_violation("ExpandEnvironmentStringsW without its strings");
        return 0;
    }
    const std::wstring text(source);
    std::wstring result;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t close = text[at] == L'%' ? text.find(L'%', at + 1) : std::wstring::npos;
        const auto variable = close == std::wstring::npos
                                  ? environment.end()
                                  : environment.find(upper(text.substr(at + 1, close - at - 1)));
        if (variable != environment.end()) {
            result += variable->second;
            at = close + 1;
        } else {
            result += text[at++];
        }
    }
    const DWORD needed = static_cast<DWORD>(result.size() + 1);
    if (needed <= size) {
        std::wmemcpy(destination, result.c_str(), needed);
    }
    return needed;
}

// The long path of a folder that exists, by its 8.3 or its long path in any case; error 2
// for any other. Its length when it fits, else the size needed with its null.
extern "C" DWORD WINAPI GetLongPathNameW(LPCWSTR short_path, LPWSTR long_path, DWORD size) {
    if (short_path == nullptr || (long_path == nullptr && size != 0)) {
        fake_violation("GetLongPathNameW without its paths");
        return 0;
    }
    const std::wstring asked = upper(short_path);
    for (const auto& [short_name, long_name] : folders) {
        if (asked == upper(short_name) || asked == upper(long_name)) {
            fake_set_last_error(fake_poisoned_error);
            return copy_out_with_null(long_name, long_path, size);
        }
    }
    fake_set_last_error(ERROR_FILE_NOT_FOUND);
    return 0;
}

extern "C" int WINAPI CompareStringOrdinal(LPCWSTR left, int left_length, LPCWSTR right,
                                           int right_length, BOOL ignore_case) {
    if (left == nullptr || right == nullptr) {
        fake_violation("CompareStringOrdinal without its strings");
        return 0;
    }
    std::wstring first =
        left_length < 0 ? std::wstring(left) : std::wstring(left, left + left_length);
    std::wstring second =
        right_length < 0 ? std::wstring(right) : std::wstring(right, right + right_length);
    if (ignore_case) {
        first = upper(first);
        second = upper(second);
    }
    const int order = first.compare(second);
    return order < 0 ? CSTR_LESS_THAN : order == 0 ? CSTR_EQUAL : CSTR_GREATER_THAN;
}
