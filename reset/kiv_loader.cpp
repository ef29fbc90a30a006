// Windows only (built natively just for its tests, against the kernel32 stand-in). kiv_reset
// runs elevated, often from a download folder, so which kiv.dll it runs must never be left
// to the loader: kiv.dll is delay-loaded, and found here in one fixed order of trusted
// folders, never in the current folder. Windows leaves the order among several
// AddDllDirectory folders unspecified, so this looks for the file itself and loads the first
// one found by its full path.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): Windows' name
#define _WIN32_WINNT 0x0A00 // SetDefaultDllDirectories and the LOAD_LIBRARY_SEARCH flags
#include <windows.h>

#include <delayimp.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <iterator>
#include <string_view>

#include "kiv_loader.h"
#include "signer_policy.h"

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

bool is_letter(wchar_t character) {
    return (character >= L'A' && character <= L'Z') || (character >= L'a' && character <= L'z');
}

// "C:\folder", "\\server\share\folder" or "\\?\...", which place_of then sorts. A relative
// entry ("."), an empty one, a drive-relative one ("C:folder") or one rooted on the current
// drive ("\folder") would bring the current folder back into the search.
bool is_absolute_folder(const wchar_t* entry) {
    bool drive = is_letter(entry[0]) && entry[1] == L':' && is_separator(entry[2]);
    bool unc = is_separator(entry[0]) && is_separator(entry[1]) && entry[2] != L'\0' &&
               !is_separator(entry[2]);
    return drive || unc;
}

// stopped: the search could not go on, and has said why on standard error.
enum class lookup { absent, found, stopped };

// Only these answers of the file check mean "no kiv.dll here": the file, its folder or its
// drive letter does not exist, or the name is not one a file could have. Any other answer,
// such as access denied, a share or server that can't be reached (53, 67, 1231: a local
// folder may be a link to a share) or a drive that is not ready (21), leaves it open whether
// a copy is there that would come first: a kiv.dll further on would then be taken in place
// of the one that could not be seen.
bool means_not_there(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_INVALID_NAME:
        return true;
    default:
        return false;
    }
}

// Puts folder\kiv.dll into library_path, with backslashes only (LoadLibraryExW wants
// them), and says whether a file of that name is there. A folder named kiv.dll is not.
// The folder, of 1 to 32766 characters, fits the buffer; kiv.dll's path after it may not.
lookup library_in(const wchar_t* folder_path, std::size_t length) {
    for (std::size_t at = 0; at < length; ++at) {
        library_path[at] = is_separator(folder_path[at]) ? L'\\' : folder_path[at];
    }
    if (length >= path_capacity - 1 - library_name_length) {
        // At most 32766: each caller's folder came from a buffer of path_capacity.
        // cppcheck-suppress arrayIndexOutOfBoundsCond
        library_path[length] = L'\0';
        std::fprintf(stderr, "kiv_reset: %s is too long a folder to hold kiv.dll's path\n",
                     console_text(library_path));
        return lookup::stopped;
    }
    if (library_path[length - 1] != L'\\') {
        library_path[length++] = L'\\';
    }
    std::copy_n(library_name, library_name_length + 1, library_path + length);
    DWORD attributes = GetFileAttributesW(library_path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        if (means_not_there(error)) {
            return lookup::absent;
        }
        std::fprintf(stderr, "kiv_reset: %s could not be checked (error %lu)\n",
                     console_text(library_path), static_cast<unsigned long>(error));
        return lookup::stopped;
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ? lookup::found : lookup::absent;
}

// The tool's own folder is searched wherever it is, a share included: the tool itself came
// from there.
lookup library_in_tool_folder() {
    DWORD length = GetModuleFileNameW(nullptr, folder, path_capacity);
    if (length == 0) {
        std::fprintf(stderr, "kiv_reset: kiv_reset.exe's own path could not be read (error %lu)\n",
                     static_cast<unsigned long>(GetLastError()));
        return lookup::stopped;
    }
    // A name cut short comes back as long as the buffer.
    if (length >= path_capacity) {
        std::fputs("kiv_reset: kiv_reset.exe's own path is too long to read\n", stderr);
        return lookup::stopped;
    }
    std::size_t backslash = std::wstring_view(folder, length).rfind(L'\\');
    if (backslash == std::wstring_view::npos) {
        std::fprintf(stderr, "kiv_reset: kiv_reset.exe's own path %s has no backslash\n",
                     console_text(folder));
        return lookup::stopped;
    }
    if (backslash == 0) {
        std::fprintf(stderr, "kiv_reset: kiv_reset.exe's own path %s names no folder\n",
                     console_text(folder));
        return lookup::stopped;
    }
    return library_in(folder, backslash);
}

lookup library_in_system_folder() {
    UINT length = GetSystemDirectoryW(folder, path_capacity);
    if (length == 0) {
        std::fprintf(stderr, "kiv_reset: the system folder could not be read (error %lu)\n",
                     static_cast<unsigned long>(GetLastError()));
        return lookup::stopped;
    }
    // One too long comes back as the size it needs.
    if (length >= path_capacity) {
        std::fputs("kiv_reset: the system folder's path is too long to read\n", stderr);
        return lookup::stopped;
    }
    return library_in(folder, length);
}

// What a PATH entry names, as far as the search is concerned, before anything is looked at
// there: a folder on a local drive, the only place looked in; a drive letter that does not
// exist (no kiv.dll there); a share or network drive; or anything else.
enum class place { local_folder, no_drive, network, elsewhere };

// GetDriveTypeW's answer for a drive letter's root. An unknown type, and any answer Windows
// may add later, is no local drive.
place drive_place(wchar_t letter) {
    const wchar_t root[] = {letter, L':', L'\\', L'\0'};
    switch (GetDriveTypeW(root)) {
    case DRIVE_FIXED:
    case DRIVE_REMOVABLE:
    case DRIVE_CDROM:
    case DRIVE_RAMDISK:
        return place::local_folder;
    case DRIVE_NO_ROOT_DIR:
        return place::no_drive;
    case DRIVE_REMOTE:
        return place::network;
    default:
        return place::elsewhere;
    }
}

// "UNC" in any case, alone or before a separator: what follows "\\?\" in a share's path.
bool names_unc_root(std::wstring_view rest) {
    constexpr std::wstring_view unc = L"UNC";
    return rest.size() >= unc.size() &&
           std::equal(unc.begin(), unc.end(), rest.begin(),
                      [](wchar_t upper, wchar_t character) {
                          return std::towupper(static_cast<wint_t>(character)) ==
                                 static_cast<wint_t>(upper);
                      }) &&
           (rest.size() == unc.size() || is_separator(rest[unc.size()]));
}

// A ".." component: behind "\\.\" Windows takes it up past the drive letter
// ("\\.\C:\..\UNC\server\share" is a share), and behind "\\?\" it is passed on as it is.
bool has_parent_component(std::wstring_view path) {
    for (std::size_t start = 0; start <= path.size();) {
        std::size_t end = std::min(path.find_first_of(L"\\/", start), path.size());
        if (path.substr(start, end - start) == L"..") {
            return true;
        }
        start = end + 1;
    }
    return false;
}

// Where a PATH entry that counts (is_absolute_folder) lies. Only these forms name a folder
// on a drive letter: "X:\folder", and "\\?\X:\folder" or "\\.\X:\folder" (or "\\?\X:", the
// drive's root) with no ".." after the prefix; and the drive must be a local one. The list
// names the good forms, not the bad ones: every other form may lead anywhere, a share
// included, however it is spelled ("\\?\GLOBALROOT\", "\\?\Global\", "\\?\Volume{...}\", a
// pipe), and is never looked in, since looking would reach whatever it names with the rights
// kiv_reset runs with. A share ("\\server\share" or a lone "\\server", with either slash;
// "\\?\UNC\" or "\\.\UNC\") and a network drive are told apart only for the message.
place place_of(std::wstring_view entry) {
    if (!is_separator(entry[0])) {
        return drive_place(entry[0]);
    }
    bool device_path =
        entry.size() >= 4 && (entry[2] == L'?' || entry[2] == L'.') && is_separator(entry[3]);
    if (!device_path) {
        return place::network;
    }
    entry.remove_prefix(4);
    if (names_unc_root(entry)) {
        return place::network;
    }
    bool drive = entry.size() >= 2 && is_letter(entry[0]) && entry[1] == L':' &&
                 (entry.size() == 2 || is_separator(entry[2]));
    if (!drive || has_parent_component(entry)) {
        return place::elsewhere;
    }
    return drive_place(entry[0]);
}

lookup stop_at_path_entry(const wchar_t* entry, std::size_t length, const char* what) {
    std::copy_n(entry, length, library_path);
    library_path[length] = L'\0';
    std::fprintf(stderr,
                 "kiv_reset: %s on PATH is %s, where kiv.dll is never looked for: put kiv.dll "
                 "beside kiv_reset.exe, or take that entry off PATH\n",
                 console_text(library_path), what);
    return lookup::stopped;
}

// A drive letter that does not exist holds no kiv.dll; any place but a local folder, met
// before kiv.dll is found, stops the search: a kiv.dll there would come first.
lookup library_in_path_entry(const wchar_t* entry, std::size_t length) {
    place where = place_of(std::wstring_view(entry, length));
    if (where == place::local_folder) {
        return library_in(entry, length);
    }
    if (where == place::no_drive) {
        return lookup::absent;
    }
    return stop_at_path_entry(entry, length,
                              where == place::network ? "a network place"
                                                      : "not a folder on a local drive");
}

// PATH is read only here, after the two folders before it: a long PATH must not slow a tool
// that has kiv.dll beside it.
lookup library_on_path() {
    DWORD length = GetEnvironmentVariableW(L"PATH", path_value, path_capacity);
    // Not set, or empty: no folder on it.
    if (length == 0) {
        return lookup::absent;
    }
    // One too long comes back as the size it needs.
    if (length >= path_capacity) {
        std::fprintf(stderr, "kiv_reset: PATH is too long to read (%lu characters)\n",
                     static_cast<unsigned long>(length - 1));
        return lookup::stopped;
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
        if (entry_length >= 3 && is_absolute_folder(folder_path)) {
            lookup result = library_in_path_entry(folder_path, entry_length);
            if (result != lookup::absent) {
                return result;
            }
        }
        entry = separator != nullptr ? separator + 1 : nullptr;
    }
    return lookup::absent;
}

// The first place that has kiv.dll, or that can't be looked at, ends the search.
lookup find_library() {
    lookup result = library_in_tool_folder();
    if (result == lookup::absent) {
        result = library_in_system_folder();
    }
    if (result == lookup::absent) {
        result = library_on_path();
    }
    return result;
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

// kiv.dll's folder as AddDllDirectory takes it, in folder: "\\?\C:\folder\" as
// "C:\folder\", "\\?\UNC\server\share\" (kiv_reset.exe's own folder on a share) as
// "\\server\share\", where the result fits in MAX_PATH; a longer one keeps its prefix,
// which is what lets it past MAX_PATH.
const wchar_t* folder_to_add(std::size_t length) {
    std::size_t skipped = 0;
    std::size_t kept = 0; // of the skipped prefix, the leading backslashes of a share
    if (std::wcsncmp(library_path, L"\\\\?\\UNC\\", 8) == 0) {
        skipped = 8;
        kept = 2;
    } else if (std::wcsncmp(library_path, L"\\\\?\\", 4) == 0 && library_path[5] == L':') {
        skipped = 4;
    }
    if (length - skipped + kept >= MAX_PATH) {
        skipped = kept = 0;
    }
    std::copy_n(L"\\\\", kept, folder);
    std::copy_n(library_path + skipped, length - skipped, folder + kept);
    folder[kept + length - skipped] = L'\0';
    return folder;
}

// kiv.dll's folder joins the search, so that the DLLs kiv.dll loads by name while it runs
// are found beside it too. It is one added folder, the one that already supplies kiv.dll,
// so no order among added folders comes into it. Where the loader refuses the folder anyway
// (Wine takes "C:\folder" but not a share), that is said, and the search stays as narrow as
// it was: kiv.dll's own imports still come from its folder through LoadLibraryExW.
void add_library_folder() {
    // The backslash stays: a drive's root is "C:\", not "C:".
    auto length = static_cast<std::size_t>(std::wcsrchr(library_path, L'\\') + 1 - library_path);
    const wchar_t* library_folder = folder_to_add(length);
    if (AddDllDirectory(library_folder) == nullptr) {
        DWORD error = GetLastError();
        std::fprintf(stderr,
                     "kiv_reset: %s could not be added to the DLL search (error %lu): DLLs that "
                     "kiv.dll loads later will come only from kiv_reset.exe's folder and the "
                     "system folder\n",
                     console_text(library_folder), static_cast<unsigned long>(error));
    }
}

bool cannot_use_library(const char* what, DWORD error) {
    std::fprintf(stderr, "kiv_reset: %s %s (error %lu)\n", console_text(library_path), what,
                 static_cast<unsigned long>(error));
    return false;
}

bool cannot_restrict_search(DWORD error) {
    std::fprintf(stderr, "kiv_reset: the DLL search could not be restricted (error %lu)\n",
                 static_cast<unsigned long>(error));
    return false;
}

} // namespace

// Without a console the code page is 0, CP_ACP, the ANSI code page. A UTF-16 unit takes up to
// 4 bytes (GB18030, code page 54936, gives many characters 4 bytes; UTF-8 gives a pair of
// units 4 and one unit at most 3).
const char* console_text(const wchar_t* path) {
    static char text[path_capacity * 4];
    if (WideCharToMultiByte(GetConsoleOutputCP(), 0, path, -1, text, sizeof text, nullptr,
                            nullptr) == 0) {
        std::snprintf(text, sizeof text, "kiv.dll");
    }
    return text;
}

const wchar_t* find_board_library() {
    switch (find_library()) {
    case lookup::absent:
        std::fputs("kiv_reset: kiv.dll was not found beside kiv_reset.exe, in the system folder "
                   "or in a folder on PATH\n",
                   stderr);
        return nullptr;
    case lookup::stopped:
        return nullptr;
    case lookup::found:
        break;
    }
    return library_path;
}

bool load_board_library() {
    // An unreadable requirement stops the run: a reset without the check it asks for would
    // run a kiv.dll nobody vouched for.
    signer_policy policy = read_signer_policy();
    if (policy == signer_policy::unreadable) {
        return false;
    }
    bool required = policy == signer_policy::set;
    // kiv.dll's own DLLs, those it loads as it starts and those it loads later by name,
    // and any DLL the process loads by name, come from kiv.dll's folder (added below), the
    // tool's folder or the system folder: never the current folder, never another PATH
    // folder. Better not to load at all than to load with the current folder still in the
    // search. Under a requirement the tool's folder is trusted no more than any other, so
    // while the signature is checked the system folder alone supplies the DLLs that
    // wintrust.dll and crypt32.dll load by name.
    constexpr DWORD widened = LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                              LOAD_LIBRARY_SEARCH_SYSTEM32;
    if (!SetDefaultDllDirectories(required ? LOAD_LIBRARY_SEARCH_SYSTEM32 : widened)) {
        return cannot_restrict_search(GetLastError());
    }
    if (find_board_library() == nullptr) {
        return false;
    }
    // Held open, shared with readers only, from the check until the load has returned.
    HANDLE checked = nullptr;
    if (required) {
        checked = hold_required_library(library_path);
        if (checked == nullptr) {
            return false;
        }
        if (!SetDefaultDllDirectories(widened)) {
            DWORD error = GetLastError();
            CloseHandle(checked);
            return cannot_restrict_search(error);
        }
    }
    add_library_folder();
    // The first one found is the one: if it won't load, no later one is tried.
    board_library = LoadLibraryExW(
        library_path, nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    DWORD load_error = board_library == nullptr ? GetLastError() : 0;
    if (checked != nullptr) {
        CloseHandle(checked);
    }
    if (board_library == nullptr) {
        return cannot_use_library("could not be loaded", load_error);
    }
    __pfnDliNotifyHook2 = bind_to_board_library;
    // A function it lacks would otherwise end the process in the middle of the run.
    const char* const* missing = std::find_if(
        std::begin(board_functions), std::end(board_functions),
        [](const char* function) { return GetProcAddress(board_library, function) == nullptr; });
    if (missing != std::end(board_functions)) {
        std::fprintf(stderr, "kiv_reset: %s has no %s\n", console_text(library_path), *missing);
        return false;
    }
    return true;
}
