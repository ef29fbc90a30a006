// Whether the system PATH already names the install folder, compared as Windows would
// find the folders: the card's software often puts kiv.dll's folder on PATH in a form of
// its own (another case, forward slashes, a trailing "\.", an 8.3 name, a variable), and a
// second entry beside it would be taken away at uninstall while the first stayed.
// Plain C runtime strings on its heap: the DLL links no C++ library.
#include "path_entry.h"

#include <cstdlib>
#include <cwchar>

namespace {

wchar_t* allocated(std::size_t characters) {
    return static_cast<wchar_t*>(std::malloc(characters * sizeof(wchar_t)));
}

// The value's text as Windows uses it, on the heap; nullptr when it can't be expanded or
// memory ran out (*no_memory says which). RegistrySearch's raw form marks the value's type
// once, at its start: "#%" a REG_EXPAND_SZ, expanded as Windows reads one, in this 64-bit
// process; "##" a REG_SZ that began with "#". A number ("#1") or bytes ("#x") stay as
// they are, and name no folder.
wchar_t* value_text(const wchar_t* value, bool* no_memory) {
    const bool expandable = std::wcsncmp(value, L"#%", 2) == 0;
    if (expandable) {
        value += 2;
    } else if (std::wcsncmp(value, L"##", 2) == 0) {
        value += 1;
    }
    DWORD size = static_cast<DWORD>(std::wcslen(value) + 1);
    wchar_t* text = allocated(size);
    if (text != nullptr && !expandable) {
        std::wmemcpy(text, value, size);
        return text;
    }
    for (int attempt = 0; text != nullptr && attempt < 2; ++attempt) {
        const DWORD needed = ExpandEnvironmentStringsW(value, text, size);
        if (needed == 0) {
            std::free(text);
            return nullptr;
        }
        if (needed <= size) {
            return text;
        }
        std::free(text);
        size = needed;
        text = allocated(size);
    }
    if (text == nullptr) {
        *no_memory = true;
    }
    std::free(text);
    return nullptr;
}

bool is_full_path(const wchar_t* folder, std::size_t length) {
    const bool drive =
        length >= 3 && folder[1] == L':' && folder[2] == L'\\' &&
        ((folder[0] >= L'A' && folder[0] <= L'Z') || (folder[0] >= L'a' && folder[0] <= L'z'));
    const bool share = length > 2 && folder[0] == L'\\' && folder[1] == L'\\';
    return drive || share;
}

// One PATH entry, or INSTALLDIR, as the folder Windows finds by it, written into `folder`
// (room for length + 1 characters): spaces after it and quotes around it taken off, "/"
// read as "\", trailing separators and a final "\." taken off. False when that is not a full
// path: a space before it is part of the name, and Windows finds no folder by " C:\..."
// (cmd's search of PATH passes such an entry by).
bool folder_named(const wchar_t* entry, std::size_t length, wchar_t* folder) {
    while (length > 0 && entry[length - 1] == L' ') {
        --length;
    }
    if (length >= 2 && entry[0] == L'"' && entry[length - 1] == L'"') {
        ++entry;
        length -= 2;
    }
    for (std::size_t i = 0; i < length; ++i) {
        folder[i] = entry[i] == L'/' ? L'\\' : entry[i];
    }
    // "C:\" keeps its separator: "C:" alone is the current folder of drive C.
    const auto is_root = [&] { return length == 3 && folder[1] == L':'; };
    for (bool trimmed = true; trimmed;) {
        trimmed = false;
        if (length >= 2 && folder[length - 2] == L'\\' && folder[length - 1] == L'.') {
            --length;
            trimmed = true;
        }
        while (length > 0 && folder[length - 1] == L'\\' && !is_root()) {
            --length;
            trimmed = true;
        }
    }
    folder[length] = L'\0';
    return is_full_path(folder, length);
}

// The folder's long path (8.3 names made long) when it exists, on the heap; else a copy as
// given. nullptr when memory ran out.
wchar_t* long_name(const wchar_t* folder) {
    DWORD size = static_cast<DWORD>(std::wcslen(folder) + 1);
    wchar_t* result = allocated(size);
    for (int attempt = 0; result != nullptr && attempt < 2; ++attempt) {
        const DWORD length = GetLongPathNameW(folder, result, size);
        if (length == 0) {
            break;
        }
        if (length < size) {
            return result;
        }
        std::free(result);
        size = length;
        result = allocated(size);
    }
    std::free(result);
    result = allocated(std::wcslen(folder) + 1);
    if (result != nullptr) {
        std::wcscpy(result, folder);
    }
    return result;
}

bool same_folder(const wchar_t* left, const wchar_t* right) {
    return CompareStringOrdinal(left, -1, right, -1, TRUE) == CSTR_EQUAL;
}

// The folder an entry names, long, on the heap; nullptr with *no_memory false when the
// entry names none. `work` has room for the entry.
wchar_t* entry_folder(const wchar_t* entry, std::size_t length, wchar_t* work, bool* no_memory) {
    if (!folder_named(entry, length, work)) {
        return nullptr;
    }
    wchar_t* folder = long_name(work);
    if (folder == nullptr) {
        *no_memory = true;
    }
    return folder;
}

} // namespace

const wchar_t* path_entry_decision(const wchar_t* system_path, const wchar_t* install_dir,
                                   bool own_entry_on_path) {
    bool no_memory = false;
    wchar_t* install_text = value_text(install_dir, &no_memory);
    wchar_t* path = value_text(system_path, &no_memory);
    const std::size_t install_length = install_text ? std::wcslen(install_text) : 0;
    const std::size_t path_length = path ? std::wcslen(path) : 0;
    wchar_t* work = allocated((install_length > path_length ? install_length : path_length) + 1);
    wchar_t* install_folder = nullptr;
    if (work != nullptr && install_text != nullptr) {
        install_folder = entry_folder(install_text, install_length, work, &no_memory);
    }
    int naming = own_entry_on_path ? -1 : 0;
    for (const wchar_t* entry = path; install_folder != nullptr && !no_memory && entry;) {
        const wchar_t* end = std::wcschr(entry, L';');
        const std::size_t length = end ? static_cast<std::size_t>(end - entry) : std::wcslen(entry);
        wchar_t* folder = entry_folder(entry, length, work, &no_memory);
        if (folder != nullptr && same_folder(folder, install_folder)) {
            ++naming;
        }
        std::free(folder);
        entry = end ? end + 1 : nullptr;
    }
    no_memory = no_memory || work == nullptr;
    std::free(install_folder);
    std::free(work);
    std::free(path);
    std::free(install_text);
    if (no_memory) {
        return nullptr;
    }
    return naming > 0 ? L"found" : L"added";
}
