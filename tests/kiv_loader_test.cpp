// Which kiv.dll kiv_reset's loader takes, against the answers Windows gives and Wine can't:
// unreachable shares, drives not ready, drive types, symbolic links, AddDllDirectory's
// refusals, and the PATH entries that are no folder on a local drive. Each row
// scripts the host through the kernel32 stand-in and checks the files looked at, in order,
// and either which kiv.dll is loaded by its full path and which folder joins the search, or
// the message, with no kiv.dll loaded. Then what kiv_reset -v says of the kiv.dll found,
// from its version resource as the stand-in hands it over, byte for byte.
//
// Mutants of kiv_loader.cpp and kiv_version.cpp that no row can tell apart
// (scripts/mutate_loader.py):
// EQUIVALENT-MUTANTS-BEGIN
// m4b7740cc library_name[1] for [0] in sizeof: every element has the same size.
// md3549180 entry[1] for entry[2] != 0: entries under 3 characters never get there.
// m4e594072 at <= length: the extra character is overwritten by "\", kiv.dll's name or a null.
// m7e252ee6 length > path_capacity, system folder: the call returns at most 32766 or 32768 on.
// md72b492c start < size for "..": it skips only the empty component after a last separator.
// m59c4309b start = 1 for "..": the first component is the drive's "X:", never "..", and from
//           its second character on, ":".
// m7e9256cd entry[1] for entry[0]: entries that count start "\\" or with a letter and ":".
// m9886d023 size >= 3 for a device path: after 3 comes ";", a quote or the end, never "\".
// m093e9c12 size >= 1 for X: after \\?\: after 1 comes ";", a quote or the end, never ":".
// m39e2a4cb length > path_capacity for PATH: the call returns at most 32766 or at least 32768.
// m38fc41b4 entry_length > 2 to drop quotes: an entry of 2 is too short to count anyway.
// m2e1e0be4 entry_length >= 3 to drop quotes: an entry of 2 is too short to count anyway.
// m09823164 entry_length >= 1 to drop quotes: a lone quote leaves ";" or the end first.
// m2ba08a96 "\\" not copied: only the tool's own kiv.dll is found under \\?\UNC\, and the
//           tool's path, read into the same buffer, already starts with "\\".
// m5050b633 path_capacity * 5: no code page gives a UTF-16 unit more than 4 bytes.
// m505c53e8 version_key[1] for [0] in sizeof: every element has the same size.
// meca0911b + 4 for + 3 in rounding the key's end: 38 rounds up to 40 all the same.
// m0d5781cb + 2 for + 3 in rounding the key's end: 38 rounds up to 40 all the same.
// me75cff52 size <= 2: a resource of 2 bytes fails the length check right after.
// mdc57634a size < 3: a resource of 2 bytes fails the length check right after.
// m56a1c5bf VirtualQuery == 1: a failed query leaves the region zero, no mapping's start.
// m7a5e5e4a no return after a failed VirtualQuery: likewise.
// meb164f8e ~2 for ~3: a data file mapped as an image resource is marked with 2 alone.
// mc9fdf863 most = 1: it is read only after the parser has written it.
// mbedd42cf least = 1: it is read only after the parser has written it.
// maca40f86 no return when FindResourceW finds none: LoadResource of none gives no data.
// EQUIVALENT-MUTANTS-END
#include <gtest/gtest.h>

#include <delayimp.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fake_kernel32.h"
#include "kiv_loader.h"
#include "kiv_reset.h"
#include "kiv_version.h"
#include "output_capture.h"

namespace {

constexpr const char* board_functions[] = {
#include "kiv_functions.inc"
};

constexpr DWORD a_file = FILE_ATTRIBUTE_ARCHIVE;
// Windows' GetFileAttributesW reads a symbolic link itself, not what it points to.
constexpr DWORD a_file_link = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT;
constexpr DWORD a_folder_link = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
constexpr DWORD all_flags = LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;

const std::wstring tool = LR"(C:\Tools\kiv.dll)";
const std::wstring system32 = LR"(C:\Windows\system32\kiv.dll)";
const std::wstring card = LR"(C:\Card\kiv.dll)";
const std::string not_found = "kiv_reset: kiv.dll was not found beside kiv_reset.exe, in the "
                              "system folder or in a folder on PATH\n";

std::string not_checked(const std::string& path, DWORD error) {
    return "kiv_reset: " + path + " could not be checked (error " + std::to_string(error) + ")\n";
}
// The search's message for a PATH entry on another machine, as written on PATH.
std::string on_network(const std::string& entry) {
    return "kiv_reset: " + entry +
           " on PATH is a network place, where kiv.dll is never looked for: put kiv.dll beside "
           "kiv_reset.exe, or take that entry off PATH\n";
}
// Its message for any other PATH entry that is not a folder on a local drive.
std::string not_local(const std::string& entry) {
    return "kiv_reset: " + entry +
           " on PATH is not a folder on a local drive, where kiv.dll is never looked for: put "
           "kiv.dll beside kiv_reset.exe, or take that entry off PATH\n";
}
std::string not_added(const std::string& folder, DWORD error) {
    return "kiv_reset: " + folder + " could not be added to the DLL search (error " +
           std::to_string(error) +
           "): DLLs that kiv.dll loads later will come only from kiv_reset.exe's folder and "
           "the system folder\n";
}

// kiv.dll in a folder whose name takes a path's length to "length" with its "\kiv.dll".
std::wstring long_path(const std::wstring& start, std::size_t length, wchar_t fill = L'x') {
    std::wstring path = start + std::wstring(length - start.size() - 8, fill);
    return path + LR"(\kiv.dll)";
}
// The folder of a path to kiv.dll, without its last backslash.
std::wstring folder_of(const std::wstring& library) {
    return library.substr(0, library.size() - 8);
}
std::string repeated(const std::string& text, int times) {
    std::string result;
    for (int i = 0; i < times; ++i) {
        result += text;
    }
    return result;
}
std::string ascii(const std::wstring& text) {
    return {text.begin(), text.end()};
}

// A non-ASCII folder: "C:\Prüfung".
const std::wstring umlaut = L"C:\\Pr\u00fcfung\\kiv.dll";

struct loader_row {
    const char* name = "";
    std::optional<std::wstring> path = {};                   // PATH; none: unset
    std::vector<std::pair<std::wstring, DWORD>> files = {};  // attributes of these
    std::vector<std::pair<std::wstring, DWORD>> errors = {}; // file checks failing with these
    std::function<void()> host = {};                         // anything else scripted
    std::vector<std::wstring> checked = {};                  // GetFileAttributesW's paths, in order
    std::wstring loads = {};                                 // kiv.dll loaded; empty: none
    std::wstring adds = {};                                  // given to AddDllDirectory
    std::string err = {};                                    // standard error, as bytes
};

void PrintTo(const loader_row& row, std::ostream* out) {
    *out << row.name;
}

const std::vector<std::wstring> tool_and_system = {tool, system32};
std::vector<std::wstring> searched(std::vector<std::wstring> on_path) {
    on_path.insert(on_path.begin(), tool_and_system.begin(), tool_and_system.end());
    return on_path;
}

// Before C:\Card, which holds kiv.dll: an answer that means "not here" goes on, any other
// stops the search at that path.
loader_row before_card(const char* name, const std::wstring& folder, DWORD error, bool absent) {
    std::wstring library = folder + LR"(\kiv.dll)";
    return {.name = name,
            .path = folder + LR"(;C:\Card)",
            .files = {{card, a_file}},
            .errors = {{library, error}},
            .checked = absent ? searched({library, card}) : searched({library}),
            .loads = absent ? card : L"",
            .adds = absent ? LR"(C:\Card\)" : L"",
            .err = absent ? "" : not_checked(ascii(library), error)};
}

// A PATH entry that is no folder on a local drive, before C:\Card, which holds kiv.dll: the
// search stops there, with the message given for the entry, without a look at it.
loader_row stops_before_card(const char* name, const std::wstring& entry,
                             std::string (*message)(const std::string&),
                             const std::function<void()>& host = {}) {
    return {.name = name,
            .path = entry + LR"(;C:\Card)",
            .files = {{card, a_file}},
            .host = host,
            .checked = tool_and_system,
            .err = message(ascii(entry))};
}
loader_row network_before_card(const char* name, const std::wstring& entry,
                               const std::function<void()>& host = {}) {
    return stops_before_card(name, entry, on_network, host);
}
loader_row not_local_before_card(const char* name, const std::wstring& entry,
                                 const std::function<void()>& host = {}) {
    return stops_before_card(name, entry, not_local, host);
}
// A place that can't be looked at, as the host has it, stops the search after the files
// checked: kiv.dll, in the system folder and on PATH, is never reached.
loader_row stops(const char* name, const std::function<void()>& host,
                 const std::vector<std::wstring>& checked, const std::string& err) {
    return {.name = name,
            .path = LR"(C:\Card)",
            .files = {{system32, a_file}, {card, a_file}},
            .host = host,
            .checked = checked,
            .err = err};
}
void remote_n() {
    fake_set_drive_type(L'N', DRIVE_REMOTE);
}
void unknown_u() {
    fake_set_drive_type(L'U', DRIVE_UNKNOWN);
}
void rootless_q() {
    fake_set_drive_type(L'Q', DRIVE_NO_ROOT_DIR);
}

// kiv_reset.exe started from this folder, which holds kiv.dll.
loader_row from_tool_folder(const char* name, const std::wstring& tool_folder,
                            const std::wstring& adds, DWORD add_error = 0) {
    std::wstring library = tool_folder + LR"(\kiv.dll)";
    return {.name = name,
            .files = {{library, a_file}},
            .host =
                [tool_folder, add_error] {
                    fake_set_module_file_name(tool_folder + LR"(\kiv_reset.exe)");
                    fake_set_dll_directory_errors(0, add_error);
                },
            .checked = {library},
            .loads = library,
            .adds = adds,
            .err = add_error != 0 ? not_added(ascii(adds), add_error) : ""};
}

const std::vector<loader_row> rows = {
    before_card("file not found (2)", LR"(C:\Old)", ERROR_FILE_NOT_FOUND, true),
    before_card("path not found (3)", LR"(C:\Removed)", ERROR_PATH_NOT_FOUND, true),
    before_card("no such drive (15)", LR"(Q:\Card)", ERROR_INVALID_DRIVE, true),
    before_card("not a name (123)", LR"(C:\Card?)", ERROR_INVALID_NAME, true),
    before_card("access denied (5)", LR"(C:\Locked)", ERROR_ACCESS_DENIED, false),
    before_card("drive not ready (21)", LR"(E:\Card)", ERROR_NOT_READY, false),
    // A local folder that is a link to a share reaches the share.
    before_card("server offline (53), behind a link", LR"(C:\Linked)", ERROR_BAD_NETPATH, false),
    before_card("share gone (67), behind a link", LR"(C:\Linked)", ERROR_BAD_NET_NAME, false),
    before_card("network unreachable (1231), behind a link", LR"(C:\Linked)",
                ERROR_NETWORK_UNREACHABLE, false),
    network_before_card("a share", LR"(\\filesrv\pelk)"),
    network_before_card("a share with forward slashes, its server one letter", LR"(//f/pelk)"),
    network_before_card("a lone server", LR"(\\filesrv)"),
    network_before_card(R"(\\?\UNC\)", LR"(\\?\UNC\filesrv\pelk)"),
    network_before_card(R"(\\.\unc\ in lower case)", LR"(\\.\unc\filesrv\pelk)"),
    network_before_card(R"(\\?\UNC alone, the root of every share)", LR"(\\?\UNC)"),
    network_before_card(R"(\\?xC:, a server named ?xC:)", LR"(\\?xC:\Card)"),
    network_before_card("a network drive", LR"(N:\Card)", remote_n),
    network_before_card(R"(a network drive's root behind \\?\)", LR"(\\?\n:)", remote_n),
    {.name = "network places after kiv.dll's folder are never looked at",
     .path = LR"(C:\Card;\\filesrv\pelk;N:\Card)",
     .files = {{card, a_file}},
     .host = remote_n,
     .checked = searched({card}),
     .loads = card,
     .adds = LR"(C:\Card\)"},
    // Every other absolute entry is no folder on a local drive, however it is spelled and
    // wherever it leads. The first five each reach a share on Windows.
    not_local_before_card(R"(\\?\GLOBALROOT\ to the network's device)",
                          LR"(\\?\GLOBALROOT\Device\Mup\filesrv\pelk)"),
    not_local_before_card(R"(\\.\GLOBALROOT\??\UNC\)", LR"(\\.\GLOBALROOT\??\UNC\filesrv\pelk)"),
    not_local_before_card(R"(\\?\Global\UNC\)", LR"(\\?\Global\UNC\filesrv\pelk)"),
    not_local_before_card(R"(\\.\C:\..\UNC\, up past the drive letter)",
                          LR"(\\.\C:\..\UNC\filesrv\pelk)"),
    not_local_before_card(R"(\\?\GLOBALROOT\??\N:, a network drive)",
                          LR"(\\?\GLOBALROOT\??\N:\Card)", remote_n),
    not_local_before_card("a volume by its name", LR"(\\?\Volume{5e1f}\)"),
    not_local_before_card("a drive of unknown type", LR"(U:\Card)", unknown_u),
    not_local_before_card(R"(a drive of unknown type behind \\?\)", LR"(\\?\U:\Card)", unknown_u),
    not_local_before_card("a drive type Windows may add later", LR"(T:\Card)",
                          [] { fake_set_drive_type(L'T', 7); }),
    not_local_before_card("a pipe", LR"(\\.\pipe\x)"),
    not_local_before_card(R"(\\?\ alone)", LR"(\\?\)"),
    not_local_before_card(R"(\\?\C: with .. as its last component)", LR"(\\?\C:\Card\..)"),
    not_local_before_card(R"(\\?\C: with no separator after the colon)", LR"(\\?\C:Card)"),
    not_local_before_card(R"(\\?\ before no drive letter)", LR"(\\?\1:\Card)"),
    not_local_before_card(R"(\\?\UNCsrv\, a device, not a share)", LR"(\\?\UNCsrv\share)"),
    {.name = "a drive letter with no root holds nothing: not looked at, the search goes on",
     .path = LR"(Q:\Card;\\?\q:\Card;C:\Card)",
     .files = {{card, a_file}},
     .host = rootless_q,
     .checked = searched({card}),
     .loads = card,
     .adds = LR"(C:\Card\)"},
    {.name = "removable, CD-ROM and RAM disk drives are looked in, and a name that only begins "
             "with ..",
     .path = LR"(R:\Card;\\.\D:\Card;\\?\M:\Card;\\.\C:\..x;C:\Card)",
     .files = {{card, a_file}},
     .host =
         [] {
             fake_set_drive_type(L'R', DRIVE_REMOVABLE);
             fake_set_drive_type(L'D', DRIVE_CDROM);
             fake_set_drive_type(L'M', DRIVE_RAMDISK);
         },
     .checked = searched({LR"(R:\Card\kiv.dll)", LR"(\\.\D:\Card\kiv.dll)",
                          LR"(\\?\M:\Card\kiv.dll)", LR"(\\.\C:\..x\kiv.dll)", card}),
     .loads = card,
     .adds = LR"(C:\Card\)"},
    from_tool_folder("kiv_reset.exe started from a share takes the kiv.dll beside it, its folder "
                     "refused by AddDllDirectory: said, and loaded",
                     LR"(\\filesrv\pelk)", LR"(\\filesrv\pelk\)", ERROR_INVALID_PARAMETER),
    {.name = "beside the tool: neither the system folder nor PATH is looked at",
     .files = {{tool, a_file}, {system32, a_file}},
     .checked = {tool},
     .loads = tool,
     .adds = LR"(C:\Tools\)"},
    {.name = "in the system folder: PATH is not looked at",
     .files = {{system32, a_file}, {card, a_file}},
     .checked = tool_and_system,
     .loads = system32,
     .adds = LR"(C:\Windows\system32\)"},
    {.name = "a folder named kiv.dll beside the tool is skipped",
     .path = LR"(C:\Card)",
     .files = {{tool, FILE_ATTRIBUTE_DIRECTORY}, {card, a_file}},
     .checked = searched({card}),
     .loads = card,
     .adds = LR"(C:\Card\)"},
    {.name = "a symbolic link named kiv.dll counts as found, as Windows reads the link itself",
     .path = LR"(C:\Linked;C:\Card)",
     .files = {{LR"(C:\Linked\kiv.dll)", a_file_link}, {card, a_file}},
     .checked = searched({LR"(C:\Linked\kiv.dll)"}),
     .loads = LR"(C:\Linked\kiv.dll)",
     .adds = LR"(C:\Linked\)"},
    {.name = "a symbolic link to itself: found, fails to load, no later one is tried",
     .path = LR"(C:\Linked;C:\Card)",
     .files = {{LR"(C:\Linked\kiv.dll)", a_file_link}, {card, a_file}},
     .host = [] { fake_set_load_error(ERROR_CANT_RESOLVE_FILENAME); },
     .checked = searched({LR"(C:\Linked\kiv.dll)"}),
     .loads = LR"(C:\Linked\kiv.dll)",
     .adds = LR"(C:\Linked\)",
     .err = R"(kiv_reset: C:\Linked\kiv.dll could not be loaded (error 1921))"
            "\n"},
    {.name = "a symbolic link to a folder, named kiv.dll, is skipped",
     .path = LR"(C:\Linked;C:\Card)",
     .files = {{LR"(C:\Linked\kiv.dll)", a_folder_link}, {card, a_file}},
     .checked = searched({LR"(C:\Linked\kiv.dll)", card}),
     .loads = card,
     .adds = LR"(C:\Card\)"},
    {.name = R"(\\?\C: on PATH: the folder joins the search without the prefix)",
     .path = LR"(\\?\C:\Card)",
     .files = {{LR"(\\?\C:\Card\kiv.dll)", a_file}},
     .checked = searched({LR"(\\?\C:\Card\kiv.dll)"}),
     .loads = LR"(\\?\C:\Card\kiv.dll)",
     .adds = LR"(C:\Card\)"},
    from_tool_folder(
        R"(kiv_reset.exe started from \\?\UNC\: the folder joins the search as \\server\share)",
        LR"(\\?\UNC\filesrv\pelk)", LR"(\\filesrv\pelk\)"),
    from_tool_folder(
        R"(only the prefixes \\?\X: and \\?\UNC\ are dropped: not \\?\UNCx\, the tool's)",
        LR"(\\?\UNCsrv\share)", LR"(\\?\UNCsrv\share\)"),
    from_tool_folder(R"(only the prefixes \\?\X: and \\?\UNC\ are dropped: not \\?xC:, the tool's)",
                     LR"(\\?xC:\Tools)", LR"(\\?xC:\Tools\)"),
    not_local_before_card(R"(a folder on a volume by its name)", LR"(\\?\Volume{5e1f}\Card)"),
    {.name = "the root of a drive joins the search with its backslash",
     .path = LR"(D:\)",
     .files = {{LR"(D:\kiv.dll)", a_file}},
     .checked = searched({LR"(D:\kiv.dll)"}),
     .loads = LR"(D:\kiv.dll)",
     .adds = LR"(D:\)"},
    {.name = "quoted, with forward slashes, with a trailing slash: backslashes only",
     .path = LR"(;"C:\Old/";"C:/Card Software")",
     .files = {{LR"(C:\Card Software\kiv.dll)", a_file}},
     .checked = searched({LR"(C:\Old\kiv.dll)", LR"(C:\Card Software\kiv.dll)"}),
     .loads = LR"(C:\Card Software\kiv.dll)",
     .adds = LR"(C:\Card Software\)"},
    {.name = "entries that are not full paths are never looked at",
     .path = LR"(.;C:tools;\tools;x\tools;"";";\\;\\\x;C:;"C:\Card)",
     .files = {{card, a_file}},
     .checked = tool_and_system,
     .err = not_found},
    {.name = "drive letters A to Z and a to z, no neighbour of theirs, a local device path, and "
             "a lone server last",
     .path = LR"(@:\x;A:\x;Z:\x;[:\x;`:\x;a:\x;z:\x;{:\x;C|\x;C:x\;\\.\C:\x;\\x)",
     .checked = searched({LR"(A:\x\kiv.dll)", LR"(Z:\x\kiv.dll)", LR"(a:\x\kiv.dll)",
                          LR"(z:\x\kiv.dll)", LR"(\\.\C:\x\kiv.dll)"}),
     .err = on_network(R"(\\x)")},
    {.name = "PATH unset", .path = std::nullopt, .checked = tool_and_system, .err = not_found},
    {.name = "PATH longer than any environment value: not looked at",
     .path = LR"(C:\Card;)" + std::wstring(32767, L'x'),
     .files = {{card, a_file}},
     .checked = tool_and_system,
     .err = "kiv_reset: PATH is too long to read (32775 characters)\n"},
    {.name = "a PATH entry one too long for kiv.dll's path in the buffers stops the search",
     .path = folder_of(long_path(LR"(C:\)", 32767)),
     .files = {{long_path(LR"(C:\)", 32767), a_file}},
     .checked = tool_and_system,
     .err = "kiv_reset: " + ascii(folder_of(long_path(LR"(C:\)", 32767))) +
            " is too long a folder to hold kiv.dll's path\n"},
    {.name = "a PATH entry just short enough for kiv.dll's path is looked at",
     .path = folder_of(long_path(LR"(C:\)", 32766)),
     .files = {{long_path(LR"(C:\)", 32766), a_file}},
     .checked = searched({long_path(LR"(C:\)", 32766)}),
     .loads = long_path(LR"(C:\)", 32766),
     .adds = folder_of(long_path(LR"(C:\)", 32766)) + LR"(\)"},
    // Without its prefix "\\?\UNC\" (8) but with "\\" (2), the folder with its last backslash
    // is 13 shorter than the path to kiv.dll; without "\\?\" (4), 11 shorter.
    from_tool_folder(
        R"(started from \\?\UNC\, a folder that without the prefix just fits MAX_PATH: dropped)",
        folder_of(long_path(LR"(\\?\UNC\srv\share\)", 13 + 259)),
        LR"(\\)" + folder_of(long_path(LR"(\\?\UNC\srv\share\)", 13 + 259)).substr(8) + LR"(\)"),
    from_tool_folder(
        R"(started from \\?\UNC\, a folder that without the prefix is MAX_PATH long: kept)",
        folder_of(long_path(LR"(\\?\UNC\srv\share\)", 13 + 260)),
        folder_of(long_path(LR"(\\?\UNC\srv\share\)", 13 + 260)) + LR"(\)"),
    {.name = R"(\\?\C: whose folder without the prefix is MAX_PATH long: kept)",
     .path = folder_of(long_path(LR"(\\?\C:\)", 11 + 260)),
     .files = {{long_path(LR"(\\?\C:\)", 11 + 260), a_file}},
     .checked = searched({long_path(LR"(\\?\C:\)", 11 + 260)}),
     .loads = long_path(LR"(\\?\C:\)", 11 + 260),
     .adds = folder_of(long_path(LR"(\\?\C:\)", 11 + 260)) + LR"(\)"},
    {.name = "a non-ASCII folder, named in the console's code page (437)",
     .path = folder_of(umlaut),
     .errors = {{umlaut, ERROR_ACCESS_DENIED}},
     .checked = searched({umlaut}),
     .err = not_checked("C:\\Pr\x81"
                        "fung\\kiv.dll",
                        ERROR_ACCESS_DENIED)},
    {.name = "a non-ASCII folder, named in the console's code page (65001)",
     .path = folder_of(umlaut),
     .errors = {{umlaut, ERROR_ACCESS_DENIED}},
     .host = [] { fake_set_console_output_cp(CP_UTF8); },
     .checked = searched({umlaut}),
     .err = not_checked("C:\\Pr\xc3\xbc"
                        "fung\\kiv.dll",
                        ERROR_ACCESS_DENIED)},
    {.name = "a non-ASCII folder without a console: the ANSI code page (1252)",
     .path = folder_of(umlaut),
     .errors = {{umlaut, ERROR_ACCESS_DENIED}},
     .host = [] { fake_set_console_output_cp(0); },
     .checked = searched({umlaut}),
     .err = not_checked("C:\\Pr\xfc"
                        "fung\\kiv.dll",
                        ERROR_ACCESS_DENIED)},
    {.name = "the longest path, in characters of four bytes each (54936: the pound sign), named "
             "whole",
     .path = folder_of(long_path(LR"(C:\)", 32766, L'\u00a3')),
     .errors = {{long_path(LR"(C:\)", 32766, L'\u00a3'), ERROR_ACCESS_DENIED}},
     .host = [] { fake_set_console_output_cp(54936); },
     .checked = searched({long_path(LR"(C:\)", 32766, L'\u00a3')}),
     .err = not_checked(R"(C:\)" + repeated("\x81\x30\x84\x35", 32766 - 3 - 8) + R"(\kiv.dll)",
                        ERROR_ACCESS_DENIED)},
    {.name = "a console code page that can't be converted to: kiv.dll alone",
     .path = folder_of(umlaut),
     .errors = {{umlaut, ERROR_ACCESS_DENIED}},
     .host = [] { fake_set_console_output_cp(12345); },
     .checked = searched({umlaut}),
     .err = not_checked("kiv.dll", ERROR_ACCESS_DENIED)},
    {.name = "a non-ASCII folder refused by AddDllDirectory, named in the console's code page",
     .path = folder_of(umlaut),
     .files = {{umlaut, a_file}},
     .host = [] { fake_set_dll_directory_errors(0, ERROR_PATH_NOT_FOUND); },
     .checked = searched({umlaut}),
     .loads = umlaut,
     .adds = folder_of(umlaut) + L"\\",
     .err = not_added("C:\\Pr\x81"
                      "fung\\",
                      ERROR_PATH_NOT_FOUND)},
    stops(
        "the tool's file name can't be read (6)", [] { fake_set_module_file_name(L""); }, {},
        "kiv_reset: kiv_reset.exe's own path could not be read (error 6)\n"),
    stops(
        "the tool's file name cut short by the buffer",
        [] { fake_set_module_file_name(LR"(C:\Card\)" + std::wstring(40000, L'x')); }, {},
        "kiv_reset: kiv_reset.exe's own path is too long to read\n"),
    stops(
        "the tool's file name with nothing before its backslash",
        [] { fake_set_module_file_name(LR"(\kiv_reset.exe)"); }, {},
        R"(kiv_reset: kiv_reset.exe's own path \kiv_reset.exe names no folder)"
        "\n"),
    stops(
        "the tool's file name without a backslash",
        [] { fake_set_module_file_name(L"kiv_reset.exe"); }, {},
        "kiv_reset: kiv_reset.exe's own path kiv_reset.exe has no backslash\n"),
    stops(
        "the system folder can't be read (87)", [] { fake_set_system_directory(L""); }, {tool},
        "kiv_reset: the system folder could not be read (error 87)\n"),
    stops(
        "the system folder too long for the buffer",
        [] { fake_set_system_directory(LR"(C:\)" + std::wstring(40000, L'x')); }, {tool},
        "kiv_reset: the system folder's path is too long to read\n"),
    {.name = "kiv.dll found but not loaded: no later one is tried",
     .path = LR"(C:\Card;D:\Other)",
     .files = {{card, a_file}, {LR"(D:\Other\kiv.dll)", a_file}},
     .host = [] { fake_set_load_error(ERROR_MOD_NOT_FOUND); },
     .checked = searched({card}),
     .loads = card,
     .adds = LR"(C:\Card\)",
     .err = R"(kiv_reset: C:\Card\kiv.dll could not be loaded (error 126))"
            "\n"},
    {.name = "kiv.dll lacking a function",
     .path = LR"(C:\Card)",
     .files = {{card, a_file}},
     .host = [] { fake_set_missing_function(std::end(board_functions)[-1]); },
     .checked = searched({card}),
     .loads = card,
     .adds = LR"(C:\Card\)",
     .err = std::string(R"(kiv_reset: C:\Card\kiv.dll has no )") + std::end(board_functions)[-1] +
            "\n"},
    {.name = "the DLL search can't be restricted: nothing is looked at",
     .path = LR"(C:\Card)",
     .files = {{card, a_file}},
     .host = [] { fake_set_dll_directory_errors(ERROR_INVALID_PARAMETER, 0); },
     .err = "kiv_reset: the DLL search could not be restricted (error 87)\n"},
};

// Only the loader's calls that matter to the host: which files, which folders, which DLLs.
std::vector<std::string> calls_named(const std::string& name) {
    std::vector<std::string> found;
    for (const std::string& call : fake_kernel32_calls()) {
        if (call.rfind(name + "(", 0) == 0) {
            found.push_back(call);
        }
    }
    return found;
}
std::vector<std::string> as_calls(const char* name, const std::vector<std::wstring>& paths) {
    std::vector<std::string> calls;
    calls.reserve(paths.size());
    for (const std::wstring& path : paths) {
        calls.push_back(std::string(name) + "(" + fake_narrow(path.c_str()) + ")");
    }
    return calls;
}

void script_host(const loader_row& row) {
    fake_kernel32_reset();
    fake_set_path(row.path);
    for (const auto& [path, attributes] : row.files) {
        fake_set_file(path, attributes);
    }
    for (const auto& [path, error] : row.errors) {
        fake_set_file_error(path, error);
    }
    if (row.host) {
        row.host();
    }
}

FARPROC hook_answer(unsigned notification, const char* dll) {
    DelayLoadInfo info{};
    info.szDll = dll;
    return __pfnDliNotifyHook2(notification, &info);
}

class LoaderTest : public testing::TestWithParam<loader_row> {};

// The search alone names the kiv.dll that the load takes, or gives the same message, and
// neither restricts the DLL search nor loads anything.
TEST_P(LoaderTest, FindsWithoutLoading) {
    const loader_row& row = GetParam();
    if (row.err.find("could not be restricted") != std::string::npos) {
        GTEST_SKIP() << "the search is restricted before kiv.dll is looked for";
    }
    script_host(row);
    capture_begin();
    const wchar_t* found = find_board_library();
    captured_output output = capture_end();
    EXPECT_EQ(as_calls("GetFileAttributesW", row.checked), calls_named("GetFileAttributesW"));
    EXPECT_EQ(found != nullptr ? std::wstring(found) : L"", row.loads);
    EXPECT_EQ(output.err, row.loads.empty() ? row.err : "");
    EXPECT_EQ(calls_named("SetDefaultDllDirectories").size() +
                  calls_named("AddDllDirectory").size() + calls_named("LoadLibraryExW").size(),
              0U);
    EXPECT_EQ(fake_kernel32_violations(), std::vector<std::string>{});
}

TEST_P(LoaderTest, LoadsTheFirstFoundByItsFullPath) {
    const loader_row& row = GetParam();
    script_host(row);
    capture_begin();
    bool loaded = load_board_library();
    captured_output output = capture_end();

    EXPECT_EQ(calls_named("SetDefaultDllDirectories"),
              std::vector<std::string>{"SetDefaultDllDirectories(0xe00)"});
    EXPECT_EQ(as_calls("GetFileAttributesW", row.checked), calls_named("GetFileAttributesW"));
    EXPECT_EQ(output.out, "");
    EXPECT_EQ(output.err, row.err);
    EXPECT_EQ(calls_named("AddDllDirectory"), row.adds.empty()
                                                  ? std::vector<std::string>{}
                                                  : as_calls("AddDllDirectory", {row.adds}));
    std::vector<std::string> loads;
    if (!row.loads.empty()) {
        loads.push_back(fake_format("LoadLibraryExW(%s, null, 0x%x)",
                                    fake_narrow(row.loads.c_str()).c_str(), all_flags));
    }
    EXPECT_EQ(calls_named("LoadLibraryExW"), loads);
    EXPECT_EQ(loaded, row.err.empty() || row.err.find("could not be added") != std::string::npos);
    if (loaded) {
        std::vector<std::string> lookups;
        for (const char* function : board_functions) {
            lookups.push_back(std::string("GetProcAddress(kiv, ") + function + ")");
        }
        EXPECT_EQ(calls_named("GetProcAddress"), lookups);
    }
    // Delay-load binds kiv.dll, in any case, to the module loaded, and nothing else.
    bool bound = !loads.empty() && row.err.find("could not be loaded") == std::string::npos;
    ASSERT_EQ(__pfnDliNotifyHook2 != nullptr, bound);
    if (bound) {
        EXPECT_EQ(hook_answer(dliNotePreLoadLibrary, "KIV.dll"),
                  reinterpret_cast<FARPROC>(fake_board_module()));
        EXPECT_EQ(hook_answer(dliNotePreLoadLibrary, "kiv_helper.dll"), nullptr);
        EXPECT_EQ(hook_answer(dliNotePreGetProcAddress, "kiv.dll"), nullptr);
    }
    EXPECT_EQ(fake_kernel32_violations(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Rows, LoaderTest, testing::ValuesIn(rows),
                         [](const testing::TestParamInfo<loader_row>& param_info) {
                             return "row" + std::to_string(param_info.index);
                         });

// A VS_VERSIONINFO as resource compilers write it, with no children: its header, the key
// with its null, padding, then VS_FIXEDFILEINFO with the file version words.
std::vector<unsigned char> version_info(DWORD most, DWORD least) {
    std::vector<unsigned char> info;
    auto put = [&info](DWORD value, int bytes) {
        for (int byte = 0; byte < bytes; ++byte) {
            info.push_back(static_cast<unsigned char>(value >> (8 * byte)));
        }
    };
    put(92, 2); // wLength
    put(52, 2); // wValueLength
    put(0, 2);  // wType: binary
    for (char16_t unit : u"VS_VERSION_INFO") {
        put(unit, 2);
    }
    put(0, 2); // to a 4-byte boundary
    for (DWORD field :
         {0xFEEF04BDu, 0x10000u, most, least, most, least, 0x3fu, 0u, 0x40004u, 2u, 0u, 0u, 0u}) {
        put(field, 4);
    }
    return info;
}
std::vector<unsigned char> changed(std::vector<unsigned char> info, std::size_t at,
                                   unsigned char value) {
    info.at(at) = value;
    return info;
}
// The same, with children after it: wLength the whole's, the children's bytes zero.
std::vector<unsigned char> with_length(std::vector<unsigned char> info, std::size_t length) {
    info.resize(length);
    info[0] = static_cast<unsigned char>(length);
    info[1] = static_cast<unsigned char>(length >> 8);
    return info;
}
std::vector<unsigned char> cut(std::vector<unsigned char> info, std::size_t size) {
    info.resize(size);
    return info;
}

const std::vector<unsigned char> version_10_2_300_4 = version_info(0x000a0002, 0x012c0004);
const std::string version_line = "kiv_reset " PELK_TOOL_VERSION "\n";
std::string unversioned(const std::string& path) {
    return version_line + "kiv.dll: " + path + "\n";
}

struct version_row {
    const char* name = "";
    std::function<void()> host = {}; // kiv.dll's place and anything else scripted
    std::optional<std::vector<unsigned char>> resource = {}; // its RT_VERSION 1; none: none
    std::wstring reads = {}; // kiv.dll loaded as a data file; empty: none
    std::string out = {};
    std::string err = {};
    int status = exit_success;
    output_target streams = output_target::separate; // merged: all of it comes back as out
};

void PrintTo(const version_row& row, std::ostream* out) {
    *out << row.name;
}

void beside_tool() {
    fake_set_file(tool, a_file);
}

// kiv.dll beside the tool with a resource that is not sound: read as no version at all.
version_row no_version(const char* name, const std::vector<unsigned char>& resource) {
    return {.name = name,
            .host = beside_tool,
            .resource = resource,
            .reads = tool,
            .out = unversioned(R"(C:\Tools\kiv.dll)")};
}

// kiv.dll beside the tool with a sound version resource that the region VirtualQuery gives
// for it (none: the call fails) does not wholly hold: no version.
version_row past_region(const char* name, const std::optional<fake_region>& region) {
    return {.name = name,
            .host =
                [region] {
                    beside_tool();
                    fake_set_version_region(region);
                },
            .resource = version_10_2_300_4,
            .reads = tool,
            .out = unversioned(R"(C:\Tools\kiv.dll)")};
}

const std::vector<version_row> version_rows = {
    {.name = "a file version, each part its own",
     .host = beside_tool,
     .resource = version_10_2_300_4,
     .reads = tool,
     .out = version_line + R"(kiv.dll: C:\Tools\kiv.dll (file version 10.2.300.4))"
                           "\n"},
    {.name = "a file version of the largest parts",
     .host = beside_tool,
     .resource = version_info(0xffff0000, 0x0001fffe),
     .reads = tool,
     .out = version_line + R"(kiv.dll: C:\Tools\kiv.dll (file version 65535.0.1.65534))"
                           "\n"},
    {.name = "no version resource: the path alone",
     .host = beside_tool,
     .reads = tool,
     .out = unversioned(R"(C:\Tools\kiv.dll)")},
    {.name = "not an image (193): the error, and status 3 as a reset gives",
     .host =
         [] {
             beside_tool();
             fake_set_load_error(ERROR_BAD_EXE_FORMAT);
         },
     .reads = tool,
     .out = version_line + R"(kiv.dll: C:\Tools\kiv.dll could not be read (error 193))"
                           "\n",
     .status = exit_library_missing},
    // A resource that is not sound is read as no version at all.
    no_version("a resource cut short of its fixed part", cut(version_10_2_300_4, 91)),
    no_version("a resource of one byte", cut(version_10_2_300_4, 1)),
    no_version("a wLength that leaves out the fixed part", changed(version_10_2_300_4, 0, 91)),
    no_version("a wValueLength too small for the fixed part", changed(version_10_2_300_4, 2, 51)),
    {.name = "a resource with its children, longer than 255 bytes: the version",
     .host = beside_tool,
     .resource = with_length(version_10_2_300_4, 0x134),
     .reads = tool,
     .out = version_line + R"(kiv.dll: C:\Tools\kiv.dll (file version 10.2.300.4))"
                           "\n"},
    no_version("another key, its first letter", changed(version_10_2_300_4, 6, 'X')),
    no_version("another key", changed(version_10_2_300_4, 6 + 2 * 14, 'X')),
    no_version("a wrong signature", changed(version_10_2_300_4, 40, 0xbe)),
    // A resource that runs past what the file maps readable is not read at all.
    past_region("a resource one byte longer than its region", fake_region{.size = 91}),
    past_region("a resource in pages that can't be read",
                fake_region{.size = 92, .protect = PAGE_NOACCESS}),
    past_region("a resource in a guard page",
                fake_region{.size = 92, .protect = PAGE_READONLY | PAGE_GUARD}),
    past_region("a resource in pages reserved, not committed",
                fake_region{.size = 92, .state = MEM_RESERVE}),
    past_region("a resource outside kiv.dll's mapping",
                fake_region{.size = 92, .in_mapping = false}),
    past_region("a resource whose region can't be asked for", std::nullopt),
    {.name = "on PATH, a non-ASCII folder, named in the console's code page (437)",
     .host =
         [] {
             fake_set_path(folder_of(umlaut));
             fake_set_file(umlaut, a_file);
         },
     .resource = version_10_2_300_4,
     .reads = umlaut,
     .out = version_line + "kiv.dll: C:\\Pr\x81"
                           "fung\\kiv.dll (file version 10.2.300.4)\n"},
    {.name = "not found: the search's message, status 3, nothing read",
     .out = version_line,
     .err = not_found,
     .status = exit_library_missing},
    {.name = "not found, both streams into one file: the version line, then the message",
     .out = version_line + not_found,
     .status = exit_library_missing,
     .streams = output_target::merged},
    {.name = "a network place on PATH: the search's message, status 3, nothing read",
     .host =
         [] {
             fake_set_path(LR"(\\filesrv\pelk;C:\Card)");
             fake_set_file(card, a_file);
         },
     .out = version_line,
     .err = on_network(R"(\\filesrv\pelk)"),
     .status = exit_library_missing},
    {.name = "a folder that can't be checked: the search's message, status 3, nothing read",
     .host = [] { fake_set_file_error(tool, ERROR_ACCESS_DENIED); },
     .out = version_line,
     .err = not_checked(R"(C:\Tools\kiv.dll)", ERROR_ACCESS_DENIED),
     .status = exit_library_missing},
};

class VersionTest : public testing::TestWithParam<version_row> {};

// kiv.dll is only ever mapped as a data file and image resource, so that none of its code
// runs and none of its imports loads, and it is let go again.
TEST_P(VersionTest, NamesTheLibraryAndItsFileVersion) {
    const version_row& row = GetParam();
    fake_kernel32_reset();
    if (row.host) {
        row.host();
    }
    fake_set_version_resource(row.resource);
    capture_begin(row.streams);
    int status = show_version();
    captured_output output = capture_end();

    EXPECT_EQ(output.out, row.out);
    EXPECT_EQ(output.err, row.err);
    EXPECT_EQ(status, row.status);
    std::vector<std::string> reads;
    if (!row.reads.empty()) {
        reads.push_back(fake_format("LoadLibraryExW(%s, null, 0x%x)",
                                    fake_narrow(row.reads.c_str()).c_str(),
                                    LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    }
    EXPECT_EQ(calls_named("LoadLibraryExW"), reads);
    bool mapped = !row.reads.empty() && row.status == exit_success;
    EXPECT_EQ(calls_named("FreeLibrary"), mapped ? std::vector<std::string>{"FreeLibrary(datafile)"}
                                                 : std::vector<std::string>{});
    EXPECT_EQ(calls_named("SetDefaultDllDirectories").size() +
                  calls_named("AddDllDirectory").size() + calls_named("GetProcAddress").size(),
              0U);
    EXPECT_EQ(fake_kernel32_violations(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Rows, VersionTest, testing::ValuesIn(version_rows),
                         [](const testing::TestParamInfo<version_row>& param_info) {
                             return "row" + std::to_string(param_info.index);
                         });

} // namespace
