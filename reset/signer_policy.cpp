// Windows only (built natively just for its tests, against the stand-ins). A requirement
// that a command line could leave out is no requirement: it is read from the Policies key,
// which only administrators (and Group Policy, and Intune) write. advapi32.dll, which reads
// it, is a KnownDLL, so a copy beside the tool is never taken.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): Windows' name
#define _WIN32_WINNT 0x0A00
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string_view>

#include "kiv_loader.h"
#include "signer_policy.h"

namespace {

constexpr wchar_t policy_key[] = L"SOFTWARE\\Policies\\PELK card service tools";
constexpr wchar_t policy_value_name[] = L"RequiredSigners";

// The value's room, in characters: a thumbprint takes 64 to 95 of them and its null. A longer
// value can't be read (ERROR_MORE_DATA), and so stops the run.
constexpr std::size_t value_capacity = 16384;
wchar_t policy_value[value_capacity];
// Fixed rooms, so that kiv_reset.exe links no C++ library: each listed thumbprint takes at
// least 65 characters of the value, and a string shown in a message at most all of it.
constexpr std::size_t required_capacity = value_capacity / (2 * thumbprint_size + 1);
unsigned char required[required_capacity][thumbprint_size];
std::size_t required_count;
// A refused string as read, with its null: the whole value at most.
wchar_t shown_entry[value_capacity + 1];

signer_policy cannot_read(const char* pattern, unsigned long number) {
    std::fputs("kiv_reset: the RequiredSigners policy ", stderr);
    std::fprintf(stderr, pattern, number);
    return signer_policy::unreadable;
}

int hex_digit(wchar_t character) {
    if (character >= L'0' && character <= L'9') {
        return character - L'0';
    }
    if (character >= L'A' && character <= L'F') {
        return character - L'A' + 10;
    }
    if (character >= L'a' && character <= L'f') {
        return character - L'a' + 10;
    }
    return -1;
}

// 64 hex digits, in either case, with a colon or a space, or nothing, between the bytes.
bool parse_thumbprint(std::wstring_view text, unsigned char* thumbprint) {
    for (std::size_t byte = 0; byte < thumbprint_size; ++byte) {
        if (byte > 0 && !text.empty() && (text.front() == L':' || text.front() == L' ')) {
            text.remove_prefix(1);
        }
        if (text.size() < 2 || hex_digit(text[0]) < 0 || hex_digit(text[1]) < 0) {
            return false;
        }
        thumbprint[byte] = static_cast<unsigned char>(hex_digit(text[0]) << 4 | hex_digit(text[1]));
        text.remove_prefix(2);
    }
    return text.empty();
}

// The strings of a REG_MULTI_SZ, or the one of a REG_SZ, within the units read; empty ones
// are no entries.
signer_policy read_thumbprints(DWORD type, std::size_t units) {
    required_count = 0;
    for (std::wstring_view rest(policy_value, units); !rest.empty();) {
        std::wstring_view entry = rest.substr(0, rest.find(L'\0'));
        if (!entry.empty()) {
            // Room enough: each entry before this one took 65 characters of the value at
            // least, its 64 digits and its null.
            if (!parse_thumbprint(entry, required[required_count])) {
                std::wmemcpy(shown_entry, entry.data(), entry.size());
                shown_entry[entry.size()] = L'\0';
                std::fprintf(stderr,
                             "kiv_reset: the RequiredSigners policy holds \"%s\", which is not "
                             "a SHA-256 thumbprint\n",
                             console_text(shown_entry));
                return signer_policy::unreadable;
            }
            ++required_count;
        }
        if (type == REG_SZ) {
            break;
        }
        rest.remove_prefix(std::min(entry.size() + 1, rest.size()));
    }
    if (required_count == 0) {
        std::fputs("kiv_reset: the RequiredSigners policy lists no signer\n", stderr);
        return signer_policy::unreadable;
    }
    return signer_policy::set;
}

} // namespace

signer_policy read_signer_policy() {
    HKEY key = nullptr;
    LSTATUS status =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, policy_key, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key);
    if (static_cast<DWORD>(status) == ERROR_FILE_NOT_FOUND) {
        return signer_policy::absent;
    }
    if (static_cast<DWORD>(status) != ERROR_SUCCESS) {
        return cannot_read("could not be read (error %lu)\n", static_cast<unsigned long>(status));
    }
    DWORD type = 0;
    DWORD size = sizeof policy_value;
    status = RegGetValueW(key, nullptr, policy_value_name, RRF_RT_ANY | RRF_NOEXPAND, &type,
                          policy_value, &size);
    RegCloseKey(key);
    if (static_cast<DWORD>(status) == ERROR_FILE_NOT_FOUND) {
        return signer_policy::absent;
    }
    if (static_cast<DWORD>(status) != ERROR_SUCCESS) {
        return cannot_read("could not be read (error %lu)\n", static_cast<unsigned long>(status));
    }
    if (type != REG_MULTI_SZ && type != REG_SZ) {
        return cannot_read("is not REG_MULTI_SZ or REG_SZ (type %lu)\n",
                           static_cast<unsigned long>(type));
    }
    return read_thumbprints(type, std::min<std::size_t>(size / sizeof(wchar_t), value_capacity));
}

bool meets_signer_policy(const signature_verdict& verdict) {
    if (!verdict.checked || verdict.result != 0 || !verdict.has_signer) {
        return false;
    }
    return std::any_of(required, required + required_count, [&verdict](const auto& listed) {
        return std::memcmp(listed, verdict.thumbprint, thumbprint_size) == 0;
    });
}

void say_signer_policy_unmet(const wchar_t* path, const signature_verdict& verdict) {
    const char* shown = console_text(path);
    if (!verdict.checked) {
        std::fprintf(stderr, "kiv_reset: %s's signature could not be checked: %s\n", shown,
                     verdict.reason);
    } else if (verdict.has_signer) {
        std::fprintf(stderr, "kiv_reset: %s is not signed by a required signer (%s; signer %s)\n",
                     shown, verdict_words(verdict.result), thumbprint_text(verdict.thumbprint));
    } else {
        std::fprintf(stderr, "kiv_reset: %s is not signed by a required signer (%s)\n", shown,
                     verdict_words(verdict.result));
    }
}

HANDLE hold_required_library(const wchar_t* path) {
    static signature_verdict verdict;
    HANDLE file = check_library_signature(path, &verdict);
    if (meets_signer_policy(verdict)) {
        return file;
    }
    say_signer_policy_unmet(path, verdict);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    return nullptr;
}
