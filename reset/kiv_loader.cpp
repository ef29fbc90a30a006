// Windows only. kiv_reset runs elevated, often from a download folder: a kiv.dll left in
// the current folder must never be loaded, so the library is delay-loaded and found here,
// in the folders Windows searches once the current folder is out of the search.
#define _WIN32_WINNT 0x0A00 // SetDefaultDllDirectories and AddDllDirectory
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <cwctype>

#include "kiv_loader.h"

namespace {

// As in kiv.def.
constexpr const char* board_functions[] = {
    "pelk_kiv_init",  "pelk_set_device", "pelk_reset",
    "pelk_reset_all", "pelk_discard",    "pelk_get_error_string",
};

// Longest environment value Windows allows, with its terminating null.
constexpr DWORD path_capacity = 32767;
wchar_t path_value[path_capacity];

// "C:\folder" or "\\server\share\folder", and there: a relative entry such as "." would
// bring the current folder back into the search.
bool is_absolute_folder(const wchar_t* folder) {
    bool drive = std::iswalpha(folder[0]) != 0 && folder[1] == L':' &&
                 (folder[2] == L'\\' || folder[2] == L'/');
    bool unc = folder[0] == L'\\' && folder[1] == L'\\' && folder[2] != L'\0';
    if (!drive && !unc) {
        return false;
    }
    DWORD attributes = GetFileAttributesW(folder);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void add_path_folders() {
    DWORD length = GetEnvironmentVariableW(L"PATH", path_value, path_capacity);
    if (length == 0 || length >= path_capacity) {
        return;
    }
    // Entries are split in place; a quoted one loses its quotes.
    for (wchar_t* entry = path_value; entry != nullptr;) {
        wchar_t* separator = std::wcschr(entry, L';');
        if (separator != nullptr) {
            *separator = L'\0';
        }
        std::size_t entry_length = std::wcslen(entry);
        if (entry_length >= 2 && entry[0] == L'"' && entry[entry_length - 1] == L'"') {
            entry[entry_length - 1] = L'\0';
            ++entry;
        }
        if (is_absolute_folder(entry)) {
            AddDllDirectory(entry);
        }
        entry = separator != nullptr ? separator + 1 : nullptr;
    }
}

bool cannot_load(DWORD error) {
    std::fprintf(stderr, "kiv_reset: kiv.dll could not be loaded (error %lu)\n",
                 static_cast<unsigned long>(error));
    return false;
}

} // namespace

bool load_board_library() {
    // Without this the current folder stays in the search: better not to load at all.
    if (!SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS)) {
        return cannot_load(GetLastError());
    }
    add_path_folders();
    HMODULE library = LoadLibraryW(L"kiv.dll");
    if (library == nullptr) {
        return cannot_load(GetLastError());
    }
    // The delay-load thunks find this module again by name; a function it lacks would
    // otherwise end the process in the middle of the run.
    for (const char* function : board_functions) {
        if (GetProcAddress(library, function) == nullptr) {
            std::fprintf(stderr, "kiv_reset: kiv.dll has no %s\n", function);
            return false;
        }
    }
    return true;
}
