// The host as kiv_reset's loader sees it through kernel32: which files are where, PATH, the
// program's and the system's folders, what the DLL loader answers, kiv.dll's version
// resource and the console's code page. Every answer is scripted; every call is logged in the
// stand-in's call log.
#include <delayimp.h>

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <map>
#include <optional>

#include "fake_kernel32.h"
#include "fake_trust.h"

namespace {

const auto board_module = reinterpret_cast<HMODULE>(static_cast<std::intptr_t>(0x7ff80000));
// Windows marks a module loaded as a data file in the handle's low bits.
const auto datafile_module = reinterpret_cast<HMODULE>(static_cast<std::intptr_t>(0x7ff90002));
const auto version_resource_handle =
    reinterpret_cast<HRSRC>(static_cast<std::intptr_t>(0x7ff90400));
constexpr DWORD datafile_flags = LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE;

struct file_answer {
    DWORD attributes;
    DWORD error;
};

std::map<std::wstring, file_answer> file_answers;
std::wstring module_file_name;
std::wstring system_directory;
std::optional<std::wstring> path_value;
DWORD set_default_error = 0;
DWORD later_set_default_error = 0;
DWORD add_directory_error = 0;
DWORD load_error = 0;
std::string missing_function;
UINT console_output_cp = 0;
bool board_module_loaded = false;
bool datafile_loaded = false;
bool search_restricted = false;
std::optional<std::vector<unsigned char>> version_resource;
// The resource's region when set; else the resource exactly.
bool version_region_set = false;
std::optional<fake_region> version_region;
std::map<wchar_t, UINT> drive_types;

// Windows' code pages 437 (the console's in the United States) and 1252 (the ANSI code page
// there): the characters of bytes 0x80 to 0xff. 1252 leaves five bytes undefined, which
// Windows maps to the control characters of the same number.
// clang-format off
constexpr char32_t code_page_437[128] = {
    0x00c7, 0x00fc, 0x00e9, 0x00e2, 0x00e4, 0x00e0, 0x00e5, 0x00e7,
    0x00ea, 0x00eb, 0x00e8, 0x00ef, 0x00ee, 0x00ec, 0x00c4, 0x00c5,
    0x00c9, 0x00e6, 0x00c6, 0x00f4, 0x00f6, 0x00f2, 0x00fb, 0x00f9,
    0x00ff, 0x00d6, 0x00dc, 0x00a2, 0x00a3, 0x00a5, 0x20a7, 0x0192,
    0x00e1, 0x00ed, 0x00f3, 0x00fa, 0x00f1, 0x00d1, 0x00aa, 0x00ba,
    0x00bf, 0x2310, 0x00ac, 0x00bd, 0x00bc, 0x00a1, 0x00ab, 0x00bb,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,
    0x2555, 0x2563, 0x2551, 0x2557, 0x255d, 0x255c, 0x255b, 0x2510,
    0x2514, 0x2534, 0x252c, 0x251c, 0x2500, 0x253c, 0x255e, 0x255f,
    0x255a, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256c, 0x2567,
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256b,
    0x256a, 0x2518, 0x250c, 0x2588, 0x2584, 0x258c, 0x2590, 0x2580,
    0x03b1, 0x00df, 0x0393, 0x03c0, 0x03a3, 0x03c3, 0x00b5, 0x03c4,
    0x03a6, 0x0398, 0x03a9, 0x03b4, 0x221e, 0x03c6, 0x03b5, 0x2229,
    0x2261, 0x00b1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00f7, 0x2248,
    0x00b0, 0x2219, 0x00b7, 0x221a, 0x207f, 0x00b2, 0x25a0, 0x00a0,
};
constexpr char32_t code_page_1252[128] = {
    0x20ac, 0x0081, 0x201a, 0x0192, 0x201e, 0x2026, 0x2020, 0x2021,
    0x02c6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008d, 0x017d, 0x008f,
    0x0090, 0x2018, 0x2019, 0x201c, 0x201d, 0x2022, 0x2013, 0x2014,
    0x02dc, 0x2122, 0x0161, 0x203a, 0x0153, 0x009d, 0x017e, 0x0178,
    0x00a0, 0x00a1, 0x00a2, 0x00a3, 0x00a4, 0x00a5, 0x00a6, 0x00a7,
    0x00a8, 0x00a9, 0x00aa, 0x00ab, 0x00ac, 0x00ad, 0x00ae, 0x00af,
    0x00b0, 0x00b1, 0x00b2, 0x00b3, 0x00b4, 0x00b5, 0x00b6, 0x00b7,
    0x00b8, 0x00b9, 0x00ba, 0x00bb, 0x00bc, 0x00bd, 0x00be, 0x00bf,
    0x00c0, 0x00c1, 0x00c2, 0x00c3, 0x00c4, 0x00c5, 0x00c6, 0x00c7,
    0x00c8, 0x00c9, 0x00ca, 0x00cb, 0x00cc, 0x00cd, 0x00ce, 0x00cf,
    0x00d0, 0x00d1, 0x00d2, 0x00d3, 0x00d4, 0x00d5, 0x00d6, 0x00d7,
    0x00d8, 0x00d9, 0x00da, 0x00db, 0x00dc, 0x00dd, 0x00de, 0x00df,
    0x00e0, 0x00e1, 0x00e2, 0x00e3, 0x00e4, 0x00e5, 0x00e6, 0x00e7,
    0x00e8, 0x00e9, 0x00ea, 0x00eb, 0x00ec, 0x00ed, 0x00ee, 0x00ef,
    0x00f0, 0x00f1, 0x00f2, 0x00f3, 0x00f4, 0x00f5, 0x00f6, 0x00f7,
    0x00f8, 0x00f9, 0x00fa, 0x00fb, 0x00fc, 0x00fd, 0x00fe, 0x00ff,
};
// clang-format on
constexpr UINT ansi_code_page = 1252;

const file_answer* answer_for(LPCWSTR path) {
    auto found = file_answers.find(path);
    return found != file_answers.end() ? &found->second : nullptr;
}

bool is_fully_qualified(LPCWSTR path) {
    return (path[0] != 0 && path[1] == L':' && path[2] == L'\\') ||
           (path[0] == L'\\' && path[1] == L'\\');
}

// A string into a caller's buffer as kernel32 returns one: its length when it fits, else
// the size needed with its null. A failing call leaves a plausible path behind, so that code
// that reads the buffer anyway is caught.
DWORD copy_out(const std::wstring& value, LPWSTR buffer, DWORD size) {
    if (value.size() + 1 > size) {
        return static_cast<DWORD>(value.size() + 1);
    }
    std::wmemcpy(buffer, value.c_str(), value.size() + 1);
    return static_cast<DWORD>(value.size());
}

void leave_stale_path(LPWSTR buffer, DWORD size) {
    constexpr wchar_t stale[] = L"C:\\stale\\kiv_reset.exe";
    if (size >= sizeof stale / sizeof stale[0]) {
        std::wmemcpy(buffer, stale, sizeof stale / sizeof stale[0]);
    }
}

// The bytes of one character in a code page; nothing for a code page this stand-in lacks.
std::optional<std::string> encode(UINT code_page, char32_t character) {
    if (code_page == CP_UTF8) {
        std::string bytes;
        auto byte = [&](unsigned value) { bytes += static_cast<char>(value); };
        if (character < 0x80) {
            byte(character);
        } else if (character < 0x800) {
            byte(0xc0 | (character >> 6));
            byte(0x80 | (character & 0x3f));
        } else if (character < 0x10000) {
            byte(0xe0 | (character >> 12));
            byte(0x80 | ((character >> 6) & 0x3f));
            byte(0x80 | (character & 0x3f));
        } else {
            byte(0xf0 | (character >> 18));
            byte(0x80 | ((character >> 12) & 0x3f));
            byte(0x80 | ((character >> 6) & 0x3f));
            byte(0x80 | (character & 0x3f));
        }
        return bytes;
    }
    // GB18030 gives U+0080 to U+00A3 four bytes each, in order from 81 30 81 30; the
    // stand-in knows no other character beyond ASCII there.
    if (code_page == 54936 && character >= 0x80) {
        if (character > 0xa3) {
            fake_violation("a character that the stand-in's code page 54936 lacks");
            return std::nullopt;
        }
        unsigned index = character - 0x80;
        return std::string{'\x81', '\x30', static_cast<char>(0x81 + index / 10),
                           static_cast<char>(0x30 + index % 10)};
    }
    const char32_t* high_half = code_page == 437    ? code_page_437
                                : code_page == 1252 ? code_page_1252
                                                    : nullptr;
    if (high_half == nullptr && code_page != 54936) {
        return std::nullopt;
    }
    if (character < 0x80) {
        return std::string(1, static_cast<char>(character));
    }
    const char32_t* at = std::find(high_half, high_half + 128, character);
    // Windows' default character for one the code page lacks.
    return std::string(1, at != high_half + 128 ? static_cast<char>(0x80 + (at - high_half)) : '?');
}

} // namespace

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): Windows' name
PfnDliHook __pfnDliNotifyHook2 = nullptr;

void fake_loader_host_reset() {
    file_answers.clear();
    module_file_name = L"C:\\Tools\\kiv_reset.exe";
    system_directory = L"C:\\Windows\\system32";
    path_value = L"C:\\Windows\\system32;C:\\Windows";
    set_default_error = later_set_default_error = add_directory_error = load_error = 0;
    missing_function.clear();
    console_output_cp = 437;
    board_module_loaded = datafile_loaded = search_restricted = false;
    version_resource.reset();
    version_region_set = false;
    version_region.reset();
    drive_types.clear();
    __pfnDliNotifyHook2 = nullptr;
    fake_trust_reset();
    fake_registry_reset();
}

void fake_set_file(const std::wstring& path, DWORD attributes) {
    file_answers[path] = {attributes, 0};
}
void fake_set_file_error(const std::wstring& path, DWORD error) {
    file_answers[path] = {INVALID_FILE_ATTRIBUTES, error};
}
void fake_set_drive_type(wchar_t letter, UINT type) {
    drive_types[static_cast<wchar_t>(std::towupper(static_cast<wint_t>(letter)))] = type;
}
void fake_set_module_file_name(const std::wstring& path) {
    module_file_name = path;
}
void fake_set_system_directory(const std::wstring& path) {
    system_directory = path;
}
void fake_set_path(const std::optional<std::wstring>& value) {
    path_value = value;
}
void fake_set_dll_directory_errors(DWORD set_default, DWORD add) {
    set_default_error = set_default;
    add_directory_error = add;
}
void fake_set_later_set_default_error(DWORD error) {
    later_set_default_error = error;
}
void fake_set_load_error(DWORD error) {
    load_error = error;
}
void fake_set_missing_function(const std::string& name) {
    missing_function = name;
}
void fake_set_console_output_cp(UINT code_page) {
    console_output_cp = code_page;
}
HMODULE fake_board_module() {
    return board_module;
}
void fake_set_version_resource(const std::optional<std::vector<unsigned char>>& bytes) {
    version_resource = bytes;
}
void fake_set_version_region(const std::optional<fake_region>& region) {
    version_region_set = true;
    version_region = region;
}

extern "C" DWORD WINAPI GetFileAttributesW(LPCWSTR file_name) {
    fake_log_call("GetFileAttributesW(" + fake_narrow(file_name) + ")");
    const file_answer* answer = answer_for(file_name);
    if (answer == nullptr) {
        fake_set_last_error(ERROR_FILE_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    fake_set_last_error(answer->error != 0 ? answer->error : fake_poisoned_error);
    return answer->attributes;
}

extern "C" DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR file_name, DWORD size) {
    fake_log_call(module == nullptr ? "GetModuleFileNameW(null)" : "GetModuleFileNameW(module)");
    if (module_file_name.empty()) {
        leave_stale_path(file_name, size);
        fake_set_last_error(ERROR_INVALID_HANDLE);
        return 0;
    }
    // A name too long for the buffer comes back cut short, with the buffer's size.
    if (module_file_name.size() + 1 > size) {
        std::wmemcpy(file_name, module_file_name.c_str(), size - 1);
        file_name[size - 1] = 0;
        fake_set_last_error(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    fake_set_last_error(fake_poisoned_error);
    return copy_out(module_file_name, file_name, size);
}

extern "C" UINT WINAPI GetSystemDirectoryW(LPWSTR buffer, UINT size) {
    fake_log_call("GetSystemDirectoryW()");
    if (system_directory.empty()) {
        leave_stale_path(buffer, size);
        fake_set_last_error(ERROR_INVALID_PARAMETER);
        return 0;
    }
    fake_set_last_error(fake_poisoned_error);
    return copy_out(system_directory, buffer, size);
}

extern "C" UINT WINAPI GetDriveTypeW(LPCWSTR root_path_name) {
    fake_log_call("GetDriveTypeW(" + fake_narrow(root_path_name) + ")");
    // The loader asks only for the root of a drive letter, as "C:\".
    if (root_path_name == nullptr || std::wcslen(root_path_name) != 3 ||
        root_path_name[1] != L':' || root_path_name[2] != L'\\') {
        fake_violation("GetDriveTypeW of something other than a drive's root");
        return DRIVE_NO_ROOT_DIR;
    }
    auto found = drive_types.find(
        static_cast<wchar_t>(std::towupper(static_cast<wint_t>(root_path_name[0]))));
    return found != drive_types.end() ? found->second : DRIVE_FIXED;
}

extern "C" DWORD WINAPI GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size) {
    fake_log_call("GetEnvironmentVariableW(" + fake_narrow(name) + ")");
    if (!path_value || fake_narrow(name) != "PATH") {
        leave_stale_path(buffer, size);
        fake_set_last_error(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    }
    if (path_value->size() + 1 > size) {
        leave_stale_path(buffer, size);
    }
    fake_set_last_error(fake_poisoned_error);
    return copy_out(*path_value, buffer, size);
}

extern "C" BOOL WINAPI SetDefaultDllDirectories(DWORD directory_flags) {
    fake_log_call(fake_format("SetDefaultDllDirectories(0x%x)", directory_flags));
    DWORD error = search_restricted ? later_set_default_error : set_default_error;
    if (error != 0) {
        fake_set_last_error(error);
        return 0;
    }
    search_restricted = true;
    fake_note_default_directories(directory_flags);
    fake_set_last_error(fake_poisoned_error);
    return 1;
}

extern "C" DLL_DIRECTORY_COOKIE WINAPI AddDllDirectory(LPCWSTR new_directory) {
    fake_log_call("AddDllDirectory(" + fake_narrow(new_directory) + ")");
    if (add_directory_error != 0) {
        fake_set_last_error(add_directory_error);
        return nullptr;
    }
    fake_set_last_error(fake_poisoned_error);
    return reinterpret_cast<DLL_DIRECTORY_COOKIE>(static_cast<std::intptr_t>(0xc00c1e));
}

extern "C" HMODULE WINAPI LoadLibraryExW(LPCWSTR file_name, HANDLE file, DWORD flags) {
    fake_log_call(fake_format("LoadLibraryExW(%s, %s, 0x%x)", fake_narrow(file_name).c_str(),
                              file != nullptr ? "file" : "null", flags));
    // A system DLL by its bare name: wintrust.dll or crypt32.dll, for the signature check.
    if (std::wcschr(file_name, L'\\') == nullptr) {
        return fake_load_system_library(file_name, flags);
    }
    // Mapped to be read only, no code run and no import loaded: the search does not matter.
    bool as_data = (flags & datafile_flags) != 0;
    if (!search_restricted && !as_data) {
        fake_violation("a DLL loaded before the DLL search was restricted");
    }
    if ((flags & LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR) != 0 && !is_fully_qualified(file_name)) {
        fake_violation("LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR with a path that is not a full one");
        fake_set_last_error(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const file_answer* answer = answer_for(file_name);
    if (answer == nullptr || answer->error != 0 ||
        (answer->attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        fake_violation("LoadLibraryExW of a kiv.dll that is not there");
    }
    if (load_error != 0) {
        fake_set_last_error(load_error);
        return nullptr;
    }
    fake_set_last_error(fake_poisoned_error);
    if (as_data) {
        datafile_loaded = true;
        return datafile_module;
    }
    board_module_loaded = true;
    return board_module;
}

extern "C" BOOL WINAPI FreeLibrary(HMODULE module) {
    fake_log_call(module == datafile_module ? "FreeLibrary(datafile)" : "FreeLibrary(other)");
    if (module != datafile_module || !datafile_loaded) {
        fake_violation("FreeLibrary of a module that is not loaded");
        fake_set_last_error(ERROR_INVALID_HANDLE);
        return 0;
    }
    datafile_loaded = false;
    fake_set_last_error(fake_poisoned_error);
    return 1;
}

namespace {
// "#16" for MAKEINTRESOURCEW(16), as resource tools write it; a name as itself.
std::string resource_name(LPCWSTR name) {
    auto value = reinterpret_cast<std::uintptr_t>(name);
    return value <= 0xffff ? fake_format("#%u", static_cast<unsigned>(value)) : fake_narrow(name);
}
bool on_loaded_datafile(HMODULE module, const char* call) {
    if (module != datafile_module || !datafile_loaded) {
        fake_violation(std::string(call) + " on a module not loaded as a data file");
        return false;
    }
    return true;
}
} // namespace

extern "C" HRSRC WINAPI FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type) {
    fake_log_call("FindResourceW(" + resource_name(name) + ", " + resource_name(type) + ")");
    if (!on_loaded_datafile(module, "FindResourceW") || !version_resource ||
        resource_name(name) != "#1" || resource_name(type) != "#16") {
        fake_set_last_error(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return nullptr;
    }
    fake_set_last_error(fake_poisoned_error);
    return version_resource_handle;
}

extern "C" HGLOBAL WINAPI LoadResource(HMODULE module, HRSRC resource) {
    fake_log_call("LoadResource()");
    if (!on_loaded_datafile(module, "LoadResource") || !version_resource ||
        resource != version_resource_handle) {
        fake_set_last_error(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    fake_set_last_error(fake_poisoned_error);
    return version_resource->data();
}

extern "C" LPVOID WINAPI LockResource(HGLOBAL data) {
    fake_log_call("LockResource()");
    if (!datafile_loaded || !version_resource || data != version_resource->data()) {
        fake_violation("LockResource of a resource not loaded");
        return nullptr;
    }
    return data;
}

extern "C" DWORD WINAPI SizeofResource(HMODULE module, HRSRC resource) {
    fake_log_call("SizeofResource()");
    if (!on_loaded_datafile(module, "SizeofResource") || !version_resource ||
        resource != version_resource_handle) {
        fake_set_last_error(ERROR_INVALID_HANDLE);
        return 0;
    }
    fake_set_last_error(fake_poisoned_error);
    return static_cast<DWORD>(version_resource->size());
}

extern "C" SIZE_T WINAPI VirtualQuery(LPCVOID address, MEMORY_BASIC_INFORMATION* buffer,
                                      SIZE_T length) {
    fake_log_call("VirtualQuery()");
    if (!datafile_loaded || !version_resource || address != version_resource->data() ||
        length < sizeof *buffer) {
        fake_violation("VirtualQuery of anything but the version resource mapped");
        fake_set_last_error(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::optional<fake_region> region =
        version_region_set ? version_region : fake_region{.size = version_resource->size()};
    if (!region) {
        fake_set_last_error(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // The mapping starts at the data-file handle without the bits that mark it as one; the
    // region, as on Windows, some way before the resource's first byte.
    auto mapping = reinterpret_cast<std::uintptr_t>(datafile_module) & ~std::uintptr_t{3};
    constexpr std::size_t lead = 0x10;
    *buffer = {.BaseAddress = reinterpret_cast<PVOID>(
                   reinterpret_cast<std::uintptr_t>(version_resource->data()) - lead),
               .AllocationBase =
                   reinterpret_cast<PVOID>(region->in_mapping ? mapping : mapping + 0x100000),
               .AllocationProtect = PAGE_READONLY,
               .RegionSize = lead + region->size,
               .State = region->state,
               .Protect = region->protect,
               .Type = MEM_IMAGE};
    fake_set_last_error(fake_poisoned_error);
    return sizeof *buffer;
}

namespace {
std::intptr_t board_function() {
    return 0;
}
} // namespace

extern "C" FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name) {
    if (fake_is_system_library(module)) {
        fake_log_call(
            fake_format("GetProcAddress(%s, %s)", fake_system_library_name(module), name));
        return fake_trust_function(module, name);
    }
    fake_log_call(
        fake_format("GetProcAddress(%s, %s)", module == board_module ? "kiv" : "other", name));
    if (module != board_module || !board_module_loaded) {
        fake_violation("GetProcAddress on a module that is not loaded");
    }
    if (missing_function == name) {
        fake_set_last_error(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    fake_set_last_error(fake_poisoned_error);
    return board_function;
}

extern "C" UINT WINAPI GetConsoleOutputCP(void) {
    fake_log_call(fake_format("GetConsoleOutputCP() = %u", console_output_cp));
    return console_output_cp;
}

extern "C" int WINAPI WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR wide,
                                          int wide_length, LPSTR bytes, int bytes_size,
                                          LPCSTR default_char, LPBOOL used_default_char) {
    fake_log_call(fake_format("WideCharToMultiByte(%u)", code_page));
    UINT resolved = code_page == CP_ACP ? ansi_code_page : code_page;
    if (wide_length != -1 || (resolved == CP_UTF8 && (flags != 0 || default_char != nullptr ||
                                                      used_default_char != nullptr))) {
        fake_violation("WideCharToMultiByte with arguments this stand-in does not take");
    }
    std::string text;
    for (const wchar_t* character = wide;; ++character) {
        std::optional<std::string> encoded = encode(resolved, static_cast<char32_t>(*character));
        if (!encoded) {
            fake_set_last_error(ERROR_INVALID_PARAMETER);
            return 0;
        }
        text += *encoded;
        if (*character == 0) {
            break;
        }
    }
    // A size of 0 asks for the size needed, the null included, as Windows documents.
    if (bytes_size == 0) {
        fake_set_last_error(fake_poisoned_error);
        return static_cast<int>(text.size());
    }
    if (text.size() > static_cast<std::size_t>(bytes_size)) {
        fake_set_last_error(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::copy(text.begin(), text.end(), bytes);
    fake_set_last_error(fake_poisoned_error);
    return static_cast<int>(text.size());
}

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): Windows' name
extern "C" int _stricmp(const char* left, const char* right) {
    return strcasecmp(left, right);
}

// Load-time state is the host that fake_loader_host_reset() describes.
[[maybe_unused]] static const bool host_ready = (fake_loader_host_reset(), true);
