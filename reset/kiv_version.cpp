// Windows only (built natively just for its tests, against the kernel32 stand-in). The file
// version comes from kiv.dll mapped as a data file and image resource: its code never runs,
// its imports are never loaded, and kernel32 alone reads it (version.dll, not a known DLL,
// could be planted beside the tool).
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): Windows' name
#define _WIN32_WINNT 0x0A00 // LOAD_LIBRARY_AS_IMAGE_RESOURCE
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "kiv_loader.h"
#include "kiv_reset.h"
#include "kiv_version.h"
#include "signer_policy.h"

namespace {

constexpr WORD version_info_id = 1; // VS_VERSION_INFO
constexpr WORD version_type = 16;   // RT_VERSION, which mingw-w64 gives only as an ANSI name

// VS_VERSIONINFO: wLength, wValueLength and wType, the key L"VS_VERSION_INFO" with its
// null, padding to 4 bytes, then VS_FIXEDFILEINFO, which starts with its signature and
// holds the file version in its third and fourth DWORDs. All little-endian.
constexpr char16_t version_key[] = u"VS_VERSION_INFO";
constexpr std::size_t key_at = 6;
constexpr std::size_t key_units = sizeof version_key / sizeof version_key[0];
constexpr std::size_t fixed_info_at = (key_at + 2 * key_units + 3) / 4 * 4;
constexpr std::size_t fixed_info_size = 13 * sizeof(std::uint32_t);
constexpr std::uint32_t fixed_info_signature = 0xFEEF04BD;

std::uint32_t word_at(const unsigned char* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8;
}
std::uint32_t dword_at(const unsigned char* at) {
    return word_at(at) | word_at(at + 2) << 16;
}

// The file version words from a VS_VERSIONINFO of size bytes; false if it has none, or is
// cut short or malformed (a resource of kiv.dll's own making is not trusted to be sound).
bool fixed_file_version(const unsigned char* info, std::size_t size, std::uint32_t* most,
                        std::uint32_t* least) {
    // wLength, the size of the whole, is read first; it is trusted only within size.
    if (size < 2) {
        return false;
    }
    std::size_t length = std::min<std::size_t>(size, word_at(info));
    if (length < fixed_info_at + fixed_info_size || word_at(info + 2) < fixed_info_size) {
        return false;
    }
    for (std::size_t unit = 0; unit < key_units; ++unit) {
        if (word_at(info + key_at + 2 * unit) != version_key[unit]) {
            return false;
        }
    }
    const unsigned char* fixed_info = info + fixed_info_at;
    if (dword_at(fixed_info) != fixed_info_signature) {
        return false;
    }
    *most = dword_at(fixed_info + 8);
    *least = dword_at(fixed_info + 12);
    return true;
}

bool is_readable(DWORD protection) {
    constexpr DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                               PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    return (protection & PAGE_GUARD) == 0 && (protection & readable) != 0;
}

// Whether all size bytes from info lie in one committed, readable region of the mapping
// that starts at the image's handle (without the bits that mark a data file). The resource
// table is kiv.dll's own: a size that runs past the mapped resource section must not make
// the parser read beyond it.
bool lies_in_mapping(HMODULE image, const void* info, std::size_t size) {
    MEMORY_BASIC_INFORMATION region{};
    if (VirtualQuery(info, &region, sizeof region) == 0) {
        return false;
    }
    auto mapping = reinterpret_cast<std::uintptr_t>(image) & ~std::uintptr_t{3};
    auto start = reinterpret_cast<std::uintptr_t>(info);
    auto region_start = reinterpret_cast<std::uintptr_t>(region.BaseAddress);
    return reinterpret_cast<std::uintptr_t>(region.AllocationBase) == mapping &&
           region.State == MEM_COMMIT && is_readable(region.Protect) &&
           size <= region.RegionSize - (start - region_start);
}

bool file_version(HMODULE image, std::uint32_t* most, std::uint32_t* least) {
    HRSRC resource =
        FindResourceW(image, MAKEINTRESOURCEW(version_info_id), MAKEINTRESOURCEW(version_type));
    if (resource == nullptr) {
        return false;
    }
    HGLOBAL loaded = LoadResource(image, resource);
    const void* info = loaded != nullptr ? LockResource(loaded) : nullptr;
    DWORD size = SizeofResource(image, resource);
    return info != nullptr && lies_in_mapping(image, info, size) &&
           fixed_file_version(static_cast<const unsigned char*>(info), size, most, least);
}

// The signature's verdict and signer, checked as a reset under a requirement checks them,
// then the requirement and whether this kiv.dll meets it. The status is the one a reset
// would get: exit_library_missing where it would stop.
int show_signature(const wchar_t* library) {
    static signature_verdict verdict;
    if (!SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        verdict = signature_verdict{};
        std::snprintf(verdict.reason, sizeof verdict.reason,
                      "the DLL search could not be restricted (error %lu)",
                      static_cast<unsigned long>(GetLastError()));
    } else {
        HANDLE file = check_library_signature(library, &verdict);
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
        }
    }
    print_signature(verdict);
    // Before any message of the policy's, where both streams go to one file.
    std::fflush(stdout);
    switch (read_signer_policy()) {
    case signer_policy::absent:
        std::fputs("required signers: none set\n", stdout);
        return exit_success;
    case signer_policy::unreadable:
        return exit_library_missing;
    case signer_policy::set:
        break;
    }
    if (meets_signer_policy(verdict)) {
        std::fputs("required signers: set; this kiv.dll meets them\n", stdout);
        return exit_success;
    }
    std::fputs("required signers: set; this kiv.dll does not meet them\n", stdout);
    std::fflush(stdout);
    say_signer_policy_unmet(library, verdict);
    return exit_library_missing;
}

} // namespace

int show_version() {
    std::fputs("kiv_reset " PELK_TOOL_VERSION "\n", stdout);
    // Before find_board_library's message, where both streams go to one file.
    std::fflush(stdout);
    const wchar_t* library = find_board_library();
    if (library == nullptr) {
        return exit_library_missing;
    }
    HMODULE image =
        LoadLibraryExW(library, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (image == nullptr) {
        DWORD error = GetLastError();
        std::printf("kiv.dll: %s could not be read (error %lu)\n", console_text(library),
                    static_cast<unsigned long>(error));
        return exit_library_missing;
    }
    std::uint32_t most = 0;
    std::uint32_t least = 0;
    bool has_version = file_version(image, &most, &least);
    FreeLibrary(image);
    if (has_version) {
        std::printf("kiv.dll: %s (file version %u.%u.%u.%u)\n", console_text(library),
                    static_cast<unsigned>(most >> 16), static_cast<unsigned>(most & 0xffff),
                    static_cast<unsigned>(least >> 16), static_cast<unsigned>(least & 0xffff));
    } else {
        std::printf("kiv.dll: %s\n", console_text(library));
    }
    return show_signature(library);
}
