// Which kiv.dll kiv_reset's loader takes, against the answers Windows gives and Wine can't:
// unreachable shares, drives not ready, drive types, symbolic links, AddDllDirectory's
// refusals, and the PATH entries that are no folder on a local drive. Each row
// scripts the host through the kernel32 stand-in and checks the files looked at, in order,
// and either which kiv.dll is loaded by its full path and which folder joins the search, or
// the message, with no kiv.dll loaded. Then what kiv_reset -v says of the kiv.dll found,
// from its version resource as the stand-in hands it over, byte for byte.
//
// Mutants of kiv_loader.cpp, kiv_version.cpp, kiv_signature.cpp and signer_policy.cpp that no
// row can tell apart (scripts/mutate_loader.py):
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
// m16b70b82 hash_capacity 33: room for a byte more than SHA-256, the longest catalog hash.
// mc43bebd9 3 * hash_capacity for the member tag: only more room than the hex digits need.
// m2d68afef + 2 for the member tag's null: likewise.
// mffbe977b 4 for 3 in the tag's swprintf: the next pair, or the null, overwrites the extra.
// m374668b9 3 * thumbprint_size for its text: only more room than the 64 digits need.
// m9df8704c + 2 for the thumbprint text's null: likewise.
// md2ab7976 4 for 3 in the thumbprint's snprintf: the next pair or the null overwrites it.
// m7ddfc82b no return when the thumbprint can't be hashed: the check is then not made, and
//           has_signer is read only where it was.
// mcc28e952 no return when the chain policy fails: likewise, the result is not read then.
// m36638548 fdwRevocationChecks not set: WTD_REVOKE_NONE is 0, and the structure starts zero.
// m5f2d8b59 a null window for INVALID_HANDLE_VALUE: with WTD_UI_NONE, WinVerifyTrust shows
//           nothing either way.
// me677db87 type = 1: RegGetValueW writes the type before it is read.
// md797e3e2 room for the thumbprints by 1 * thumbprint_size + 1: more room than 252 need.
// me9194081 room for the thumbprints by 2 * thumbprint_size + 0: likewise.
// m41154c0d value_capacity + 2 for a refused string's room: more room than it needs.
// m4997977e value_capacity + 0 for it: RegGetValueW ends the strings it returns with a null
//           within the value's room, so one holds 16383 characters at most.
// mdef4934e hex_digit's -2 for -1: every caller tests for below 0.
// mfed264d2 text.size() < 1 for < 2: the character after a lone digit is the null that ends
//           the string, no hex digit.
// EQUIVALENT-MUTANTS-END
#include <gtest/gtest.h>

#include <delayimp.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fake_kernel32.h"
#include "captured_run.h"
#include "fake_trust.h"
#include "kiv_loader.h"
#include "kiv_reset.h"
#include "kiv_version.h"
#include "option_scanner.h"
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
// A name with its "(" and more picks calls by their start.
std::vector<std::string> calls_named(const std::string& name) {
    std::string start = name.find('(') == std::string::npos ? name + "(" : name;
    std::vector<std::string> found;
    for (const std::string& call : fake_kernel32_calls()) {
        if (call.rfind(start, 0) == 0) {
            found.push_back(call);
        }
    }
    return found;
}

// wintrust.dll and crypt32.dll, from the system folder alone.
const std::vector<std::string> system_libraries = {
    fake_format("LoadLibraryExW(wintrust.dll, null, 0x%x)", LOAD_LIBRARY_SEARCH_SYSTEM32),
    fake_format("LoadLibraryExW(crypt32.dll, null, 0x%x)", LOAD_LIBRARY_SEARCH_SYSTEM32)};
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
// What -v says after kiv.dll's line on a host where kiv.dll has no signature, in no catalog,
// and no signer is required.
const std::string unsigned_lines = "signature: not signed (no signature in the file, none in a "
                                   "catalog)\nrequired signers: none set\n";
std::string unversioned(const std::string& path) {
    return version_line + "kiv.dll: " + path + "\n" + unsigned_lines;
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
     .out = version_line +
            R"(kiv.dll: C:\Tools\kiv.dll (file version 10.2.300.4))"
            "\n" +
            unsigned_lines},
    {.name = "a file version of the largest parts",
     .host = beside_tool,
     .resource = version_info(0xffff0000, 0x0001fffe),
     .reads = tool,
     .out = version_line +
            R"(kiv.dll: C:\Tools\kiv.dll (file version 65535.0.1.65534))"
            "\n" +
            unsigned_lines},
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
     .out = version_line +
            R"(kiv.dll: C:\Tools\kiv.dll (file version 10.2.300.4))"
            "\n" +
            unsigned_lines},
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
     .out = version_line +
            "kiv.dll: C:\\Pr\x81"
            "fung\\kiv.dll (file version 10.2.300.4)\n" +
            unsigned_lines},
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
    bool mapped = !row.reads.empty() && row.status == exit_success;
    // Once kiv.dll's line is out, its signature is checked, with the search narrowed to the
    // system folder, and never widened again: -v loads none of kiv.dll's code.
    if (mapped) {
        reads.insert(reads.end(), system_libraries.begin(), system_libraries.end());
    }
    EXPECT_EQ(calls_named("LoadLibraryExW"), reads);
    EXPECT_EQ(calls_named("FreeLibrary"), mapped ? std::vector<std::string>{"FreeLibrary(datafile)"}
                                                 : std::vector<std::string>{});
    EXPECT_EQ(calls_named("SetDefaultDllDirectories"),
              mapped ? std::vector<std::string>{"SetDefaultDllDirectories(0x800)"}
                     : std::vector<std::string>{});
    EXPECT_EQ(calls_named("AddDllDirectory").size() + calls_named("GetProcAddress(kiv").size(), 0U);
    EXPECT_EQ(fake_kernel32_violations(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Rows, VersionTest, testing::ValuesIn(version_rows),
                         [](const testing::TestParamInfo<version_row>& param_info) {
                             return "row" + std::to_string(param_info.index);
                         });

// kiv.dll's signer, against the answers Windows documents for WinVerifyTrust, the chain
// policy, the catalog database and the registry, which Wine can't all give: a row scripts
// them, then both -v and a reset run. -v prints the verdict and the signer, and whether the
// kiv.dll found meets a requirement; a reset under a requirement loads only a verified
// kiv.dll whose signer is listed, and either stops with the same message and status 3 as -v.
const fake_certificate pelk_signer = {
    .subject = L"CN=PELK test signer, O=PELK test",
    .issuer = L"CN=PELK test root, O=PELK test",
    .encoded = {'P', 'E', 'L', 'K', ' ', 't', 'e', 's', 't', ' ', 's', 'i', 'g', 'n',
                'e', 'r', ' ', 'c', 'e', 'r', 't', 'i', 'f', 'i', 'c', 'a', 't', 'e'},
    // SHA-256 of those bytes.
    .sha256 = {0xb8, 0x82, 0x9b, 0x88, 0x24, 0x7f, 0x0b, 0xa9, 0xe2, 0xcd, 0x93,
               0xf3, 0x77, 0xd7, 0xd9, 0xd3, 0x6d, 0x3e, 0xa9, 0xbe, 0xd1, 0xf9,
               0xf4, 0x24, 0x88, 0x8a, 0xcb, 0xe7, 0x90, 0xe5, 0xee, 0xcf}};
const std::string pelk_thumbprint =
    "B8829B88247F0BA9E2CD93F377D7D9D36D3EA9BED1F9F424888ACBE790E5EECF";
const std::wstring pelk_thumbprint_typed =
    L"b8:82:9b:88:24:7f:0b:a9:e2:cd:93:f3:77:d7:d9:d3:6d:3e:a9:be:d1:f9:f4:24:88:8a:cb:e7:90:"
    L"e5:ee:cf";
// SHA-256 of "Other signer certificate".
const std::wstring other_thumbprint =
    L"5E2DD90B1845749D61E8B8E33EC658121234AF3CD5CD6B93DF563D0A681BDDE7";
const std::string signer_lines = "signer: CN=PELK test signer, O=PELK test\n"
                                 "issuer: CN=PELK test root, O=PELK test\n"
                                 "thumbprint: " +
                                 pelk_thumbprint + "\n";
const std::wstring pelk_catalog =
    LR"(C:\Windows\system32\CatRoot\{F750E6C3-38EE-11D1-85E5-00C04FC295EE}\pelk.cat)";

const std::string none_set = "required signers: none set\n";
const std::string met = "required signers: set; this kiv.dll meets them\n";
const std::string unmet = "required signers: set; this kiv.dll does not meet them\n";
std::string signature(const std::string& verdict) {
    return "signature: " + verdict + "\n";
}
const std::string not_signed = "not signed (no signature in the file, none in a catalog)";
std::string not_required(const std::string& verdict, bool with_signer) {
    return R"(kiv_reset: C:\Tools\kiv.dll is not signed by a required signer ()" + verdict +
           (with_signer ? "; signer " + pelk_thumbprint : "") + ")\n";
}
std::string not_checked_signature(const std::string& reason) {
    return R"(kiv_reset: C:\Tools\kiv.dll's signature could not be checked: )" + reason + "\n";
}
std::string policy_fault(const std::string& what) {
    return "kiv_reset: the RequiredSigners policy " + what + "\n";
}

// The policy value as stored: each string with its null, and the list's closing null.
fake_registry_value multi_string(const std::vector<std::wstring>& strings) {
    fake_registry_value value{REG_MULTI_SZ, {}};
    for (const std::wstring& text : strings) {
        value.data.insert(value.data.end(), text.begin(), text.end());
        value.data.push_back(L'\0');
    }
    value.data.push_back(L'\0');
    return value;
}
fake_registry_value single_string(const std::wstring& text) {
    fake_registry_value value{REG_SZ, {text.begin(), text.end()}};
    value.data.push_back(L'\0');
    return value;
}
std::function<void()> policy(const fake_registry_value& value) {
    return [value] {
        fake_set_policy_key_error(0);
        fake_set_policy_value(value);
    };
}
// REG_SZ of the listed thumbprint, its null, then text that is no thumbprint.
void listed_then_text_after_its_null() {
    fake_set_policy_key_error(0);
    std::wstring stored(pelk_thumbprint.begin(), pelk_thumbprint.end());
    stored += L'\0';
    stored += L"not a thumbprint";
    fake_set_policy_value(fake_registry_value{REG_SZ, {stored.begin(), stored.end()}});
}
// 251 other thumbprints, then the listed one with a colon after each of its first bytes:
// with 3 colons, 252 strings and the closing null fill the 16384 characters that the value
// may take; with 4, one character more.
fake_registry_value longest_list(std::size_t colons) {
    std::wstring listed(pelk_thumbprint.begin(), pelk_thumbprint.end());
    for (std::size_t byte = colons; byte > 0; --byte) {
        listed.insert(2 * byte, 1, L':');
    }
    std::vector<std::wstring> strings(251, other_thumbprint);
    strings.push_back(listed);
    return multi_string(strings);
}
const std::function<void()> requires_pelk =
    policy(multi_string({std::wstring(pelk_thumbprint.begin(), pelk_thumbprint.end())}));
const std::function<void()> no_policy = [] {};

// The file's own signature, as WinVerifyTrust answers for it, with the PELK signer.
std::function<void()> file_signed(HRESULT result, DWORD chain_policy_error = 0) {
    return [result, chain_policy_error] {
        fake_set_file_trust(
            {.result = result, .signer = pelk_signer, .chain_policy_error = chain_policy_error});
    };
}
// kiv.dll with no signature of its own, listed in pelk.cat by its SHA-256 hash, or by its
// SHA-1 hash as older catalogs list their members, whose member answer is this.
std::function<void()> in_catalog(HRESULT result, bool by_sha256 = true) {
    return [result, by_sha256] {
        fake_set_catalog(pelk_catalog, {.result = result, .signer = pelk_signer}, by_sha256);
    };
}
std::function<void()> failing(const std::string& function, DWORD error) {
    return [function, error] { fake_set_trust_failure(function, error); };
}
std::function<void()> both(const std::function<void()>& first,
                           const std::function<void()>& second) {
    return [first, second] {
        first();
        second();
    };
}

struct signature_row {
    const char* name = "";
    std::function<void()> host = {}; // the policy, and the answers for kiv.dll
    std::string shows = {};          // -v's lines after kiv.dll's
    std::string err = {};            // standard error; empty: kiv.dll loads, and -v gives 0
};

void PrintTo(const signature_row& row, std::ostream* out) {
    *out << row.name;
}

const std::string catalog_line = "catalog: " + ascii(pelk_catalog) + "\n";

const std::vector<signature_row> signature_rows = {
    // No requirement: -v names the signer, a reset loads whatever the signature.
    {.name = "no policy, unsigned: as before, and -v says so",
     .host = no_policy,
     .shows = signature(not_signed) + none_set},
    {.name = "no policy, signed and verified: -v names the signer",
     .host = file_signed(0),
     .shows = signature("verified") + signer_lines + none_set},
    {.name = "no policy, a digest that doesn't match: still loads",
     .host = file_signed(TRUST_E_BAD_DIGEST),
     .shows = signature("changed since it was signed") + signer_lines + none_set},
    {.name = "the policy key there without the value: no requirement",
     .host = both(file_signed(0), [] { fake_set_policy_key_error(0); }),
     .shows = signature("verified") + signer_lines + none_set},
    // A requirement met.
    {.name = "listed: loads",
     .host = both(requires_pelk, file_signed(0)),
     .shows = signature("verified") + signer_lines + met},
    {.name = "listed in lower case with colons, beside another thumbprint",
     .host = both(policy(multi_string({other_thumbprint, pelk_thumbprint_typed})), file_signed(0)),
     .shows = signature("verified") + signer_lines + met},
    {.name = "REG_SZ of one thumbprint with spaces between the bytes",
     .host = both(policy(single_string(L"B8 82 9B 88 24 7F 0B A9 E2 CD 93 F3 77 D7 D9 D3 6D 3E A9 "
                                       L"BE D1 F9 F4 24 88 8A CB E7 90 E5 EE CF")),
                  file_signed(0)),
     .shows = signature("verified") + signer_lines + met},
    {.name = "REG_SZ ends at its first null: what follows is no entry",
     .host = both(file_signed(0), listed_then_text_after_its_null),
     .shows = signature("verified") + signer_lines + met},
    {.name = "REG_MULTI_SZ with an empty string among the thumbprints",
     .host =
         both(policy(multi_string({L"", other_thumbprint, L"",
                                   std::wstring(pelk_thumbprint.begin(), pelk_thumbprint.end())})),
              file_signed(0)),
     .shows = signature("verified") + signer_lines + met},
    // A requirement not met: each verdict in the guide's words.
    {.name = "verified, but its signer not listed",
     .host = both(policy(multi_string({other_thumbprint})), file_signed(0)),
     .shows = signature("verified") + signer_lines + unmet,
     .err = not_required("verified", true)},
    {.name = "TRUST_E_NOSIGNATURE, in no catalog",
     .host = requires_pelk,
     .shows = signature(not_signed) + unmet,
     .err = not_required(not_signed, false)},
    {.name = "TRUST_E_SUBJECT_FORM_UNKNOWN, in no catalog: not signed",
     .host =
         both(requires_pelk, [] { fake_set_file_trust({.result = TRUST_E_SUBJECT_FORM_UNKNOWN}); }),
     .shows = signature(not_signed) + unmet,
     .err = not_required(not_signed, false)},
    {.name = "TRUST_E_BAD_DIGEST: changed since it was signed, its signer named",
     .host = both(requires_pelk, file_signed(TRUST_E_BAD_DIGEST)),
     .shows = signature("changed since it was signed") + signer_lines + unmet,
     .err = not_required("changed since it was signed", true)},
    {.name = "CERT_E_UNTRUSTEDROOT",
     .host = both(requires_pelk, file_signed(CERT_E_UNTRUSTEDROOT)),
     .shows = signature("signed, but its chain does not reach a root this machine trusts") +
              signer_lines + unmet,
     .err = not_required("signed, but its chain does not reach a root this machine trusts", true)},
    {.name = "WinVerifyTrust passes, the chain policy answers CERT_E_UNTRUSTEDROOT (Wine 8)",
     .host = both(requires_pelk, file_signed(0, static_cast<DWORD>(CERT_E_UNTRUSTEDROOT))),
     .shows = signature("signed, but its chain does not reach a root this machine trusts") +
              signer_lines + unmet,
     .err = not_required("signed, but its chain does not reach a root this machine trusts", true)},
    {.name = "CERT_E_CHAINING: no root reached",
     .host = both(requires_pelk, file_signed(CERT_E_CHAINING)),
     .shows = signature("signed, but its chain does not reach a root this machine trusts") +
              signer_lines + unmet,
     .err = not_required("signed, but its chain does not reach a root this machine trusts", true)},
    {.name = "CERT_E_EXPIRED",
     .host = both(requires_pelk, file_signed(CERT_E_EXPIRED)),
     .shows = signature("signed, but a certificate has expired or is not yet valid") +
              signer_lines + unmet,
     .err = not_required("signed, but a certificate has expired or is not yet valid", true)},
    {.name = "TRUST_E_EXPLICIT_DISTRUST",
     .host = both(requires_pelk, file_signed(TRUST_E_EXPLICIT_DISTRUST)),
     .shows = signature("signed, but the signer is explicitly distrusted") + signer_lines + unmet,
     .err = not_required("signed, but the signer is explicitly distrusted", true)},
    {.name = "CERT_E_WRONG_USAGE",
     .host = both(requires_pelk, file_signed(CERT_E_WRONG_USAGE)),
     .shows = signature("signed, but the certificate is not valid for code signing") +
              signer_lines + unmet,
     .err = not_required("signed, but the certificate is not valid for code signing", true)},
    {.name = "the chain policy's CERT_E_EXPIRED after WinVerifyTrust passed",
     .host = both(requires_pelk, file_signed(0, static_cast<DWORD>(CERT_E_EXPIRED))),
     .shows = signature("signed, but a certificate has expired or is not yet valid") +
              signer_lines + unmet,
     .err = not_required("signed, but a certificate has expired or is not yet valid", true)},
    {.name = "any other answer: its code in hex",
     .host = both(requires_pelk, file_signed(TRUST_E_CERT_SIGNATURE)),
     .shows = signature("not verified (0x80096004)") + signer_lines + unmet,
     .err = not_required("not verified (0x80096004)", true)},
    // Signed through a security catalog.
    {.name = "in a catalog, SHA-256: the catalog's signer, listed",
     .host = both(requires_pelk, in_catalog(0)),
     .shows = signature("verified") + catalog_line + signer_lines + met},
    {.name = "in a SHA-1 catalog, the SHA-256 forms missing: found with SHA-1",
     .host = both(both(requires_pelk, in_catalog(0, false)),
                  [] { fake_set_missing_trust_function("CryptCATAdminCalcHashFromFileHandle2"); }),
     .shows = signature("verified") + catalog_line + signer_lines + met},
    {.name = "in a SHA-1 catalog, AcquireContext2 missing as on older Windows: found with SHA-1",
     .host = both(both(requires_pelk, in_catalog(0, false)),
                  [] { fake_set_missing_trust_function("CryptCATAdminAcquireContext2"); }),
     .shows = signature("verified") + catalog_line + signer_lines + met},
    {.name =
         "in a SHA-1 catalog, AcquireContext2 failing with 120 as Wine's does: found with SHA-1",
     .host = both(both(requires_pelk, in_catalog(0, false)),
                  failing("CryptCATAdminAcquireContext2", ERROR_CALL_NOT_IMPLEMENTED)),
     .shows = signature("verified") + catalog_line + signer_lines + met},
    {.name = "in a SHA-1 catalog, the SHA-256 forms working: found on a second look, with SHA-1",
     .host = both(requires_pelk, in_catalog(0, false)),
     .shows = signature("verified") + catalog_line + signer_lines + met},
    {.name = "in a SHA-256 catalog, AcquireContext2 failing: SHA-1 finds none, not signed",
     .host = both(both(requires_pelk, in_catalog(0)),
                  failing("CryptCATAdminAcquireContext2", ERROR_CALL_NOT_IMPLEMENTED)),
     .shows = signature(not_signed) + unmet,
     .err = not_required(not_signed, false)},
    {.name = "signed itself under an untrusted root, and in a catalog: its own verdict",
     .host = both(both(requires_pelk, file_signed(CERT_E_UNTRUSTEDROOT)), in_catalog(0)),
     .shows = signature("signed, but its chain does not reach a root this machine trusts") +
              signer_lines + unmet,
     .err = not_required("signed, but its chain does not reach a root this machine trusts", true)},
    {.name = "TRUST_E_SUBJECT_FORM_UNKNOWN, in a catalog: the catalog's verdict",
     .host = both(both(requires_pelk, in_catalog(0)),
                  [] { fake_set_file_trust({.result = TRUST_E_SUBJECT_FORM_UNKNOWN}); }),
     .shows = signature("verified") + catalog_line + signer_lines + met},
    {.name = "TRUST_E_PROVIDER_UNKNOWN, in no catalog: not signed",
     .host = both(requires_pelk, [] { fake_set_file_trust({.result = TRUST_E_PROVIDER_UNKNOWN}); }),
     .shows = signature(not_signed) + unmet,
     .err = not_required(not_signed, false)},
    {.name = "in a catalog, the member changed since the catalog was signed",
     .host = both(requires_pelk, in_catalog(TRUST_E_BAD_DIGEST)),
     .shows = signature("changed since it was signed") + catalog_line + signer_lines + unmet,
     .err = not_required("changed since it was signed", true)},
    {.name = "in a catalog, no policy: -v names the catalog and its signer",
     .host = in_catalog(0),
     .shows = signature("verified") + catalog_line + signer_lines + none_set},
    // The check that can't be made.
    {.name = "wintrust.dll won't load (126), no policy: said, and the reset loads",
     .host = [] { fake_set_system_library_error("wintrust.dll", ERROR_MOD_NOT_FOUND); },
     .shows = "signature: could not be checked: wintrust.dll could not be loaded (error 126)\n" +
              none_set},
    {.name = "wintrust.dll won't load (126) under a requirement: stops",
     .host = both(requires_pelk,
                  [] { fake_set_system_library_error("wintrust.dll", ERROR_MOD_NOT_FOUND); }),
     .shows =
         "signature: could not be checked: wintrust.dll could not be loaded (error 126)\n" + unmet,
     .err = not_checked_signature("wintrust.dll could not be loaded (error 126)")},
    {.name = "crypt32.dll won't load (126) under a requirement: stops",
     .host = both(requires_pelk,
                  [] { fake_set_system_library_error("crypt32.dll", ERROR_MOD_NOT_FOUND); }),
     .shows =
         "signature: could not be checked: crypt32.dll could not be loaded (error 126)\n" + unmet,
     .err = not_checked_signature("crypt32.dll could not be loaded (error 126)")},
    {.name = "wintrust.dll without WinVerifyTrust: stops",
     .host = both(requires_pelk, [] { fake_set_missing_trust_function("WinVerifyTrust"); }),
     .shows = "signature: could not be checked: wintrust.dll has no WinVerifyTrust\n" + unmet,
     .err = not_checked_signature("wintrust.dll has no WinVerifyTrust")},
    {.name = "the signer's thumbprint can't be computed (87): stops",
     .host = both(both(requires_pelk, file_signed(0)),
                  failing("CryptHashCertificate2", ERROR_INVALID_PARAMETER)),
     .shows = "signature: could not be checked: the signer's thumbprint could not be computed "
              "(error 87)\n" +
              unmet,
     .err = not_checked_signature("the signer's thumbprint could not be computed (error 87)")},
    {.name = "the chain policy can't be asked (87): stops",
     .host = both(both(requires_pelk, file_signed(0)),
                  failing("CertVerifyCertificateChainPolicy", ERROR_INVALID_PARAMETER)),
     .shows = "signature: could not be checked: the signer's chain could not be checked "
              "(error 87)\n" +
              unmet,
     .err = not_checked_signature("the signer's chain could not be checked (error 87)")},
    {.name = "no catalog context at all (120, then 5): stops",
     .host = both(
         both(requires_pelk, failing("CryptCATAdminAcquireContext2", ERROR_CALL_NOT_IMPLEMENTED)),
         failing("CryptCATAdminAcquireContext", ERROR_ACCESS_DENIED)),
     .shows = "signature: could not be checked: the catalog database could not be opened "
              "(error 5)\n" +
              unmet,
     .err = not_checked_signature("the catalog database could not be opened (error 5)")},
    {.name = "the catalog hash can't be computed (5): stops",
     .host =
         both(requires_pelk, failing("CryptCATAdminCalcHashFromFileHandle2", ERROR_ACCESS_DENIED)),
     .shows = "signature: could not be checked: the file's catalog hash could not be computed "
              "(error 5)\n" +
              unmet,
     .err = not_checked_signature("the file's catalog hash could not be computed (error 5)")},
    {.name = "the SHA-1 catalog hash can't be computed (5) after SHA-256 found none: stops",
     .host =
         both(requires_pelk, failing("CryptCATAdminCalcHashFromFileHandle", ERROR_ACCESS_DENIED)),
     .shows = "signature: could not be checked: the file's catalog hash could not be computed "
              "(error 5)\n" +
              unmet,
     .err = not_checked_signature("the file's catalog hash could not be computed (error 5)")},
    {.name = "the catalog found, its path can't be read (87): stops",
     .host = both(both(requires_pelk, in_catalog(0)),
                  failing("CryptCATCatalogInfoFromContext", ERROR_INVALID_PARAMETER)),
     .shows = "signature: could not be checked: the catalog's path could not be read "
              "(error 87)\n" +
              unmet,
     .err = not_checked_signature("the catalog's path could not be read (error 87)")},
    {.name = "verified, but with no chain for its signer: no verdict to trust",
     .host =
         both(requires_pelk,
              [] { fake_set_file_trust({.result = 0, .signer = pelk_signer, .chain = false}); }),
     .shows = "signature: could not be checked: WinVerifyTrust named no signer chain\n" + unmet,
     .err = not_checked_signature("WinVerifyTrust named no signer chain")},
    {.name = "kiv.dll can't be opened (32, open for writing elsewhere): stops",
     .host = both(requires_pelk, [] { fake_set_library_open_error(ERROR_SHARING_VIOLATION); }),
     .shows = "signature: could not be checked: the file could not be opened (error 32)\n" + unmet,
     .err = not_checked_signature("the file could not be opened (error 32)")},
    // The policy value, which fails closed.
    {.name = "the key can't be opened (5): stops",
     .host = both(file_signed(0), [] { fake_set_policy_key_error(ERROR_ACCESS_DENIED); }),
     .shows = signature("verified") + signer_lines,
     .err = policy_fault("could not be read (error 5)")},
    {.name = "the value can't be read (5): stops",
     .host = both(file_signed(0),
                  [] {
                      fake_set_policy_key_error(0);
                      fake_set_policy_value(multi_string({other_thumbprint}), ERROR_ACCESS_DENIED);
                  }),
     .shows = signature("verified") + signer_lines,
     .err = policy_fault("could not be read (error 5)")},
    {.name = "the longest list that can be read, 16384 characters, the listed signer last",
     .host = both(file_signed(0), policy(longest_list(3))),
     .shows = signature("verified") + signer_lines + met},
    {.name = "a list one character too long to read (234), the listed signer among it: stops",
     .host = both(file_signed(0), policy(longest_list(4))),
     .shows = signature("verified") + signer_lines,
     .err = policy_fault("could not be read (error 234)")},
    {.name = "REG_DWORD: stops",
     .host = both(file_signed(0), policy({REG_DWORD, {L'\x1'}})),
     .shows = signature("verified") + signer_lines,
     .err = policy_fault("is not REG_MULTI_SZ or REG_SZ (type 4)")},
    {.name = "REG_EXPAND_SZ of the listed thumbprint: stops",
     .host = both(file_signed(0),
                  policy({REG_EXPAND_SZ, {pelk_thumbprint.begin(), pelk_thumbprint.end()}})),
     .shows = signature("verified") + signer_lines,
     .err = policy_fault("is not REG_MULTI_SZ or REG_SZ (type 2)")},
    {.name = "REG_BINARY: stops",
     .host = both(file_signed(0), policy({REG_BINARY, {L'\xb8', L'\x82'}})),
     .shows = signature("verified") + signer_lines,
     .err = policy_fault("is not REG_MULTI_SZ or REG_SZ (type 3)")},
    {.name = "an empty list: stops",
     .host = both(file_signed(0), policy(multi_string({}))),
     .shows = signature("verified") + signer_lines,
     .err = policy_fault("lists no signer")},
    {.name = "a list of empty strings: stops",
     .host = both(file_signed(0), policy(multi_string({L"", L""}))),
     .shows = signature("verified") + signer_lines,
     .err = policy_fault("lists no signer")},
    {.name = "an empty REG_SZ: stops",
     .host = both(file_signed(0), policy(single_string(L""))),
     .shows = signature("verified") + signer_lines,
     .err = policy_fault("lists no signer")},
    {.name = "a string of 63 hex digits beside the listed one: stops",
     .host = both(file_signed(0),
                  policy(multi_string({std::wstring(pelk_thumbprint.begin(), pelk_thumbprint.end()),
                                       other_thumbprint.substr(1)}))),
     .shows = signature("verified") + signer_lines,
     .err = policy_fault("holds \"" + ascii(other_thumbprint.substr(1)) +
                         "\", which is not a SHA-256 thumbprint")},
    {.name = "a string of 65 hex digits: stops",
     .host = both(file_signed(0), policy(multi_string({other_thumbprint + L"0"}))),
     .shows = signature("verified") + signer_lines,
     .err = policy_fault("holds \"" + ascii(other_thumbprint) +
                         "0\", which is not a SHA-256 thumbprint")},
    {.name = "a colon inside a byte: stops",
     .host = both(file_signed(0), policy(multi_string({L"5:E" + other_thumbprint.substr(2)}))),
     .shows = signature("verified") + signer_lines,
     .err = policy_fault("holds \"5:E" + ascii(other_thumbprint.substr(2)) +
                         "\", which is not a SHA-256 thumbprint")},
    {.name = "a letter beyond f as a byte's second digit: stops",
     .host = both(file_signed(0), policy(multi_string({L"5z" + other_thumbprint.substr(2)}))),
     .shows = signature("verified") + signer_lines,
     .err = policy_fault("holds \"5z" + ascii(other_thumbprint.substr(2)) +
                         "\", which is not a SHA-256 thumbprint")},
    {.name = "a letter beyond f as a byte's first digit: stops",
     .host = both(file_signed(0), policy(multi_string({L"g" + other_thumbprint.substr(1)}))),
     .shows = signature("verified") + signer_lines,
     .err = policy_fault("holds \"g" + ascii(other_thumbprint.substr(1)) +
                         "\", which is not a SHA-256 thumbprint")},
    {.name = "a colon before the first byte: stops",
     .host = both(file_signed(0), policy(multi_string({L":" + other_thumbprint}))),
     .shows = signature("verified") + signer_lines,
     .err = policy_fault("holds \":" + ascii(other_thumbprint) +
                         "\", which is not a SHA-256 thumbprint")},
    {.name = "two separators between bytes: stops",
     .host = both(file_signed(0), policy(multi_string({L"5E: " + other_thumbprint.substr(2)}))),
     .shows = signature("verified") + signer_lines,
     .err = policy_fault("holds \"5E: " + ascii(other_thumbprint.substr(2)) +
                         "\", which is not a SHA-256 thumbprint")},
    {.name = "a thumbprint's name, not its digits: stops",
     .host = both(file_signed(0), policy(single_string(L"PELK test signer"))),
     .shows = signature("verified") + signer_lines,
     .err = policy_fault("holds \"PELK test signer\", which is not a SHA-256 thumbprint")},
};

class SignatureTest : public testing::TestWithParam<signature_row> {};

void script_signature_host(const signature_row& row) {
    fake_kernel32_reset();
    fake_set_file(tool, a_file);
    row.host();
}

// -v reads the file and runs none of it: it never widens the search, adds no folder and
// looks up nothing in kiv.dll. Its status is a reset's.
TEST_P(SignatureTest, VersionShowsTheSignerAndTheRequirement) {
    const signature_row& row = GetParam();
    script_signature_host(row);
    capture_begin();
    int status = show_version();
    captured_output output = capture_end();

    EXPECT_EQ(output.out, version_line + "kiv.dll: C:\\Tools\\kiv.dll\n" + row.shows);
    EXPECT_EQ(output.err, row.err);
    EXPECT_EQ(status, row.err.empty() ? exit_success : exit_library_missing);
    EXPECT_EQ(calls_named("SetDefaultDllDirectories"),
              std::vector<std::string>{"SetDefaultDllDirectories(0x800)"});
    EXPECT_EQ(calls_named("AddDllDirectory").size() + calls_named("GetProcAddress(kiv").size(), 0U);
    EXPECT_EQ(fake_kernel32_violations(), std::vector<std::string>{});
    EXPECT_EQ(fake_trust_unreleased(), std::vector<std::string>{});
}

// A reset loads kiv.dll only where -v says nothing on standard error.
TEST_P(SignatureTest, ResetLoadsOnlyWhatMeetsTheRequirement) {
    const signature_row& row = GetParam();
    script_signature_host(row);
    capture_begin();
    bool loaded = load_board_library();
    captured_output output = capture_end();

    EXPECT_EQ(output.out, "");
    EXPECT_EQ(output.err, row.err);
    EXPECT_EQ(loaded, row.err.empty());
    std::vector<std::string> code_loads;
    if (loaded) {
        code_loads.push_back(
            fake_format("LoadLibraryExW(C:\\Tools\\kiv.dll, null, 0x%x)", all_flags));
    }
    EXPECT_EQ(calls_named("LoadLibraryExW(C:"), code_loads);
    EXPECT_EQ(fake_kernel32_violations(), std::vector<std::string>{});
    EXPECT_EQ(fake_trust_unreleased(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Rows, SignatureTest, testing::ValuesIn(signature_rows),
                         [](const testing::TestParamInfo<signature_row>& param_info) {
                             return "row" + std::to_string(param_info.index);
                         });

// The order of a reset's calls under a requirement: the search narrowed to the system
// folder, kiv.dll opened, wintrust.dll and crypt32.dll loaded, kiv.dll verified through its
// handle, the search widened and kiv.dll's folder added, kiv.dll loaded, its handle closed.
// A failure at any step loads nothing, and leaves nothing open.
const std::string narrowed =
    fake_format("SetDefaultDllDirectories(0x%x)", LOAD_LIBRARY_SEARCH_SYSTEM32);
const std::string widened =
    fake_format("SetDefaultDllDirectories(0x%x)", LOAD_LIBRARY_SEARCH_APPLICATION_DIR |
                                                      LOAD_LIBRARY_SEARCH_USER_DIRS |
                                                      LOAD_LIBRARY_SEARCH_SYSTEM32);
const std::string opened =
    fake_format(R"(CreateFileW(C:\Tools\kiv.dll, 0x%08x, %u, null, %u, 0x0, null))", GENERIC_READ,
                FILE_SHARE_READ, OPEN_EXISTING);
const std::string verified = R"(WinVerifyTrust(file C:\Tools\kiv.dll))";
const std::string closed_state = "WinVerifyTrust(close)";
const std::string added = R"(AddDllDirectory(C:\Tools\))";
const std::string loaded_library =
    fake_format(R"(LoadLibraryExW(C:\Tools\kiv.dll, null, 0x%x))", all_flags);
const std::string closed_file = "CloseHandle(kiv.dll)";

struct order_row {
    const char* name = "";
    std::function<void()> host = {};
    std::vector<std::string> calls = {}; // in order
    std::string err = {};                // empty: kiv.dll loads
};

void PrintTo(const order_row& row, std::ostream* out) {
    *out << row.name;
}

std::vector<std::string> with(std::vector<std::string> calls,
                              const std::vector<std::string>& more) {
    calls.insert(calls.end(), more.begin(), more.end());
    return calls;
}
const std::vector<std::string> checked_calls =
    with(with({narrowed, opened}, system_libraries), {verified, closed_state});

const std::vector<order_row> order_rows = {
    {.name = "no requirement: no check and no cost, as before",
     .host = file_signed(0),
     .calls = {widened, added, loaded_library}},
    {.name = "met: checked with the search narrowed, loaded before the handle is closed",
     .host = both(requires_pelk, file_signed(0)),
     .calls = with(checked_calls, {widened, added, loaded_library, closed_file})},
    {.name = "the search can't be narrowed: nothing opened",
     .host = both(both(requires_pelk, file_signed(0)),
                  [] { fake_set_dll_directory_errors(ERROR_INVALID_PARAMETER, 0); }),
     .calls = {narrowed},
     .err = "kiv_reset: the DLL search could not be restricted (error 87)\n"},
    {.name = "kiv.dll can't be opened: nothing verified",
     .host = both(requires_pelk, [] { fake_set_library_open_error(ERROR_ACCESS_DENIED); }),
     .calls = {narrowed, opened},
     .err = not_checked_signature("the file could not be opened (error 5)")},
    {.name = "wintrust.dll won't load: the handle closed, nothing loaded",
     .host = both(requires_pelk,
                  [] { fake_set_system_library_error("wintrust.dll", ERROR_MOD_NOT_FOUND); }),
     .calls = {narrowed, opened, system_libraries[0], closed_file},
     .err = not_checked_signature("wintrust.dll could not be loaded (error 126)")},
    {.name = "not verified: the search never widened, the handle closed",
     .host = both(requires_pelk, file_signed(CERT_E_UNTRUSTEDROOT)),
     .calls = with(checked_calls, {closed_file}),
     .err = not_required("signed, but its chain does not reach a root this machine trusts", true)},
    {.name = "the search can't be widened after the check: nothing loaded",
     .host = both(both(requires_pelk, file_signed(0)),
                  [] { fake_set_later_set_default_error(ERROR_INVALID_PARAMETER); }),
     .calls = with(checked_calls, {widened, closed_file}),
     .err = "kiv_reset: the DLL search could not be restricted (error 87)\n"},
    {.name = "kiv.dll won't load after the check: the handle closed after the load returned",
     .host = both(both(requires_pelk, file_signed(0)),
                  [] { fake_set_load_error(ERROR_MOD_NOT_FOUND); }),
     .calls = with(checked_calls, {widened, added, loaded_library, closed_file}),
     .err = R"(kiv_reset: C:\Tools\kiv.dll could not be loaded (error 126))"
            "\n"},
};

class CheckOrderTest : public testing::TestWithParam<order_row> {};

TEST_P(CheckOrderTest, ChecksBeforeLoadingAndHoldsTheFileUntilLoaded) {
    const order_row& row = GetParam();
    fake_kernel32_reset();
    fake_set_file(tool, a_file);
    row.host();
    capture_begin();
    bool loaded = load_board_library();
    captured_output output = capture_end();

    std::vector<std::string> calls;
    for (const std::string& call : fake_kernel32_calls()) {
        for (const char* name : {"SetDefaultDllDirectories(", "CreateFileW(", "LoadLibraryExW(",
                                 "WinVerifyTrust(", "AddDllDirectory(", "CloseHandle("}) {
            if (call.rfind(name, 0) == 0) {
                calls.push_back(call);
            }
        }
    }
    EXPECT_EQ(calls, row.calls);
    EXPECT_EQ(output.err, row.err);
    EXPECT_EQ(loaded, row.err.empty());
    EXPECT_EQ(fake_kernel32_violations(), std::vector<std::string>{});
    EXPECT_EQ(fake_trust_unreleased(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Rows, CheckOrderTest, testing::ValuesIn(order_rows),
                         [](const testing::TestParamInfo<order_row>& param_info) {
                             return "row" + std::to_string(param_info.index);
                         });

// Which command lines the requirement applies to: a line that is rejected is decided first,
// without the policy even being read; every line that loads kiv.dll, -h included, goes
// through the check, and stops before any library call.
const std::string usage = "Usage: kiv_reset -d [io|mcu|hid]\n"
                          "                 -i [device_id], reset device id\n"
                          "                 -h help\n";

struct command_line_row {
    const char* name = "";
    std::vector<std::string> arguments = {};
    std::function<void()> host = {};
    int status = exit_library_missing;
    std::string err = {};
};

void PrintTo(const command_line_row& row, std::ostream* out) {
    *out << row.name;
}

const std::function<void()> unreadable_policy = [] {
    fake_set_policy_key_error(ERROR_ACCESS_DENIED);
};

const std::vector<command_line_row> command_line_rows = {
    {.name = "a rejected line under an unreadable policy: status 2, the policy not read",
     .arguments = {"kiv_reset", "-x"},
     .host = unreadable_policy,
     .status = exit_rejected,
     .err = "kiv_reset: unknown option \"-x\"\n" + usage},
    {.name = "a device id rejected under an unmet policy: status 2, the policy not read",
     .arguments = {"kiv_reset", "-i", "two"},
     .host = both(policy(multi_string({other_thumbprint})), file_signed(0)),
     .status = exit_rejected,
     .err = "kiv_reset: invalid device id \"two\"\n" + usage},
    {.name = "-h under an unreadable policy: stops before the usage",
     .arguments = {"kiv_reset", "-h"},
     .host = unreadable_policy,
     .err = policy_fault("could not be read (error 5)")},
    {.name = "-h with a kiv.dll that doesn't meet the policy: stops before the usage",
     .arguments = {"kiv_reset", "-h"},
     .host = both(policy(multi_string({other_thumbprint})), file_signed(0)),
     .err = not_required("verified", true)},
    {.name = "a reset with an unsigned kiv.dll under a policy: stops",
     .arguments = {"kiv_reset", "-d", "io", "-i", "2"},
     .host = requires_pelk,
     .err = not_required(not_signed, false)},
};

class CommandLineTest : public testing::TestWithParam<command_line_row> {};

TEST_P(CommandLineTest, ReadsThePolicyOnlyForALineThatLoads) {
    const command_line_row& row = GetParam();
    fake_kernel32_reset();
    fake_set_file(tool, a_file);
    row.host();
    next_arg_index = 1;
    option_value = nullptr;
    captured_run run = run_captured(
        [](int argc, char* argv[]) { return run_kiv_reset(argc, argv, load_board_library); },
        row.arguments);

    EXPECT_EQ(run.status, row.status);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, row.err);
    EXPECT_EQ(calls_named("RegOpenKeyExW").size(), row.status == exit_rejected ? 0U : 1U);
    EXPECT_EQ(calls_named("LoadLibraryExW(C:").size(), 0U);
    EXPECT_EQ(fake_kernel32_violations(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Rows, CommandLineTest, testing::ValuesIn(command_line_rows),
                         [](const testing::TestParamInfo<command_line_row>& param_info) {
                             return "row" + std::to_string(param_info.index);
                         });

} // namespace
