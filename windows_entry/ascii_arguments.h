// The Windows entry of both tools: the command line as typed (wmain), handed to the program
// logic as the same char* vector as main's, with each character beyond ASCII replaced by '?'.
// The runtime's narrow argv would hold Windows' best-fit look-alikes instead: a fullwidth
// hyphen as '-', fullwidth digits as digits, a fullwidth quotation mark as '"', which then
// splits one quoted value into several arguments. '?' matches no option or keyword, and no
// number either: a typed '?' after a number is junk that the number ends at, so smbus_scan
// asks typed_beyond_ascii() of the wide argument and refuses such an address whole.
// C buffers only: the tools link no C++ library code.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cwchar>

inline bool is_ascii(std::uint32_t code) {
    return code < 0x80;
}

// Whether the argument as typed holds a character beyond ASCII, which the vector below shows
// as a '?' that can't be told from a typed one.
inline bool typed_beyond_ascii(const wchar_t* wide) {
    for (; *wide != L'\0'; ++wide) {
        if (!is_ascii(static_cast<std::uint32_t>(*wide))) {
            return true;
        }
    }
    return false;
}

// Writes the argument with one '?' for each character beyond ASCII (a UTF-16 surrogate pair
// is one character) and a terminating NUL into ascii, which holds wcslen(wide) + 1 chars.
inline void ascii_argument(const wchar_t* wide, char* ascii) {
    for (; *wide != L'\0'; ++wide) {
        const auto code = static_cast<std::uint32_t>(*wide);
        if (is_ascii(code)) {
            *ascii++ = static_cast<char>(code);
            continue;
        }
        *ascii++ = '?';
        const auto next = static_cast<std::uint32_t>(wide[1]);
        if (code >= 0xD800 && code <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
            ++wide;
        }
    }
    *ascii = '\0';
}

// The whole vector, ending in a null pointer as main's argv does, in one block that
// std::free releases; null when memory runs out.
inline char** ascii_arguments(int argc, wchar_t* argv[]) {
    const auto count = static_cast<std::size_t>(argc);
    std::size_t size = (count + 1) * sizeof(char*);
    for (std::size_t index = 0; index < count; ++index) {
        size += std::wcslen(argv[index]) + 1;
    }
    auto** pointers = static_cast<char**>(std::malloc(size));
    if (pointers == nullptr) {
        return nullptr;
    }
    char* next = reinterpret_cast<char*>(pointers + count + 1);
    for (std::size_t index = 0; index < count; ++index) {
        pointers[index] = next;
        ascii_argument(argv[index], next);
        next += std::wcslen(argv[index]) + 1;
    }
    pointers[count] = nullptr;
    return pointers;
}
