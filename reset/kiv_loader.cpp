// Windows only. kiv_reset runs elevated, often from a download folder, so which kiv.dll it
// runs must never be left to the loader: kiv.dll is delay-loaded, and found here in one
// fixed order of trusted folders, never in the current folder. Windows leaves the order
// among several AddDllDirectory folders unspecified, so this looks for the file itself
// and loads the first one found by its full path.
#define _WIN32_WINNT 0x0A00 // SetDefaultDllDirectories and the LOAD_LIBRARY_SEARCH flags
#include <windows.h>

#include <delayimp.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "kiv_loader.h"

namespace {

// Made from kiv.def by the build.
constexpr const char* board_functions[] = {
#include "kiv_functions.inc"
};

constexpr wchar_t library_name[] = L"kiv.dll";
constexpr std::size_t library_name_length = sizeof library_name / sizeof library_name[0] - 1;

// Longest environment value, and so longest path, that Windows allows, with its null.
constexpr DWORD path_capacity = 32767;
wchar_t path_value[path_capacity];
wchar_t folder[path_capacity];
wchar_t library_path[path_capacity];

HMODULE board_library = nullptr;

bool is_separator(wchar_t character) {
    return character == L'\\' || character == L'/';
}

// "C:\folder" or "\\server\share\folder". A relative entry ("."), an empty one, a
// drive-relative one ("C:folder") or one rooted on the current drive ("\folder") would
// bring the current folder back into the search.
bool is_absolute_folder(const wchar_t* entry) {
    bool drive_letter =
        (entry[0] >= L'A' && entry[0] <= L'Z') || (entry[0] >= L'a' && entry[0] <= L'z');
    bool drive = drive_letter && entry[1] == L':' && is_separator(entry[2]);
    bool unc = is_separator(entry[0]) && is_separator(entry[1]) && entry[2] != L'\0' &&
               !is_separator(entry[2]);
    return drive || unc;
}

// Puts folder\kiv.dll into library_path, with backslashes only (LoadLibraryExW wants
// them), and says whether a file of that name is there.
bool library_in(const wchar_t* folder_path, std::size_t length) {
    if (length == 0 || length + 1 + library_name_length >= path_capacity) {
        return false;
    }
    for (std::size_t at = 0; at < length; ++at) {
        library_path[at] = is_separator(folder_path[at]) ? L'\\' : folder_path[at];
    }
    if (library_path[length - 1] != L'\\') {
        library_path[length++] = L'\\';
    }
    std::wmemcpy(library_path + length, library_name, library_name_length + 1);
    DWORD attributes = GetFileAttributesW(library_path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool library_in_tool_folder() {
    DWORD length = GetModuleFileNameW(nullptr, folder, path_capacity);
    if (length == 0 || length >= path_capacity) {
        return false;
    }
    const wchar_t* last_separator = std::wcsrchr(folder, L'\\');
    return last_separator != nullptr &&
           library_in(folder, static_cast<std::size_t>(last_separator - folder));
}

bool library_in_system_folder() {
    UINT length = GetSystemDirectoryW(folder, path_capacity);
    return length != 0 && length < path_capacity && library_in(folder, length);
}

// PATH is read only here, after the two folders before it: an unreachable share on PATH
// must not slow a tool that has kiv.dll beside it.
bool library_on_path() {
    DWORD length = GetEnvironmentVariableW(L"PATH", path_value, path_capacity);
    if (length == 0 || length >= path_capacity) {
        return false;
    }
    for (wchar_t* entry = path_value; entry != nullptr;) {
        wchar_t* separator = std::wcschr(entry, L';');
        std::size_t entry_length =
            separator != nullptr ? static_cast<std::size_t>(separator - entry) : std::wcslen(entry);
        const wchar_t* folder_path = entry;
        if (entry_length >= 2 && entry[0] == L'"' && entry[entry_length - 1] == L'"') {
            ++folder_path;
            entry_length -= 2;
        }
        if (entry_length >= 3 && is_absolute_folder(folder_path) &&
            library_in(folder_path, entry_length)) {
            return true;
        }
        entry = separator != nullptr ? separator + 1 : nullptr;
    }
    return false;
}

// The delay-load thunks bind to the module loaded here, whatever the name kiv.dll might
// find. (Windows would hand back the loaded module anyway, since it matches loaded modules
// by base name; this does not rely on that.)
FARPROC WINAPI bind_to_board_library(unsigned notification, PDelayLoadInfo info) {
    if (notification == dliNotePreLoadLibrary && _stricmp(info->szDll, "kiv.dll") == 0) {
        return reinterpret_cast<FARPROC>(board_library);
    }
    return nullptr;
}

bool cannot_load(DWORD error) {
    std::fprintf(stderr, "kiv_reset: kiv.dll could not be loaded (error %lu)\n",
                 static_cast<unsigned long>(error));
    return false;
}

} // namespace

bool load_board_library() {
    // kiv.dll's own DLLs, and any DLL the process loads later by name, come from the
    // tool's folder or the system folder: never the current folder, never PATH (a PATH
    // folder would be searched before the system folder). Better not to load at all than
    // to load with the current folder still in the search.
    if (!SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_APPLICATION_DIR |
                                  LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        return cannot_load(GetLastError());
    }
    if (!library_in_tool_folder() && !library_in_system_folder() && !library_on_path()) {
        return cannot_load(ERROR_MOD_NOT_FOUND);
    }
    // The first one found is the one: if it won't load, no later one is tried. Its own
    // DLLs are looked for beside it first.
    board_library = LoadLibraryExW(
        library_path, nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    if (board_library == nullptr) {
        return cannot_load(GetLastError());
    }
    __pfnDliNotifyHook2 = bind_to_board_library;
    // A function it lacks would otherwise end the process in the middle of the run.
    for (const char* function : board_functions) {
        if (GetProcAddress(board_library, function) == nullptr) {
            std::fprintf(stderr, "kiv_reset: kiv.dll has no %s\n", function);
            return false;
        }
    }
    return true;
}
