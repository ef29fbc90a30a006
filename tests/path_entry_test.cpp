// The MSI's PATH decision, run as Windows Installer runs the custom action: each row sets
// the properties that RegistrySearch and CostFinalize leave (SYSTEM_PATH in its raw form,
// INSTALLDIR with its final "\"), OWN_PATH_ENTRY, and the folders that exist, runs
// pelk_path_entry, and checks PATH_ENTRY. The answers are what Windows does with each entry:
// which folder it finds by it. A row whose installer call fails expects 1603, a log line
// naming the call, the property and the error, and no PATH_ENTRY.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "fake_kernel32.h"
#include "fake_msi.h"
#include "path_entry.h"

namespace {

const std::wstring folder = L"C:\\Program Files\\PELK card service tools";
const std::wstring install_dir = folder + L"\\";
const std::wstring folder_8_3 = L"C:\\PROGRA~1\\PELKCA~1";

struct path_row {
    const char* what;
    std::wstring system_path; // as RegistrySearch reads it: "#%" before a REG_EXPAND_SZ
    std::wstring install_dir;
    std::wstring own_path_entry;
    bool folder_exists;
    UINT failing_set;                       // MsiSetPropertyW's error, or 0
    const char* failing_get;                // the property whose MsiGetPropertyW fails, or nullptr
    std::optional<std::wstring> path_entry; // nothing: the install stops with 1603
    std::wstring log;                       // the line it logs then
};

// A PATH of exactly 32767 characters, the most an environment value holds: entries of other
// folders, then `last`.
std::wstring longest_path(const std::wstring& last) {
    std::wstring path;
    const std::wstring other = L"C:\\Windows;";
    while (path.size() + other.size() + last.size() <= 32767) {
        path += other;
    }
    path.append(32767 - path.size() - last.size(), L';');
    return path + last;
}

const path_row rows[] = {
    {"an empty PATH", L"", install_dir, L"", true, 0, nullptr, L"added", L""},
    {"a PATH of one entry, the folder", folder, install_dir, L"", true, 0, nullptr, L"found", L""},
    {"a PATH of one entry, another folder", L"C:\\Windows", install_dir, L"", true, 0, nullptr,
     L"added", L""},
    {"the folder among others, with its final backslash",
     L"C:\\Windows\\system32;" + install_dir + L";C:\\Windows", install_dir, L"", true, 0, nullptr,
     L"found", L""},
    {"forward slashes", L"C:/Windows;C:/Program Files/PELK card service tools", install_dir, L"",
     true, 0, nullptr, L"found", L""},
    {"slashes of both kinds, ending in one", L"C:\\Program Files/PELK card service tools/",
     install_dir, L"", true, 0, nullptr, L"found", L""},
    {"a final \\.", folder + L"\\.", install_dir, L"", true, 0, nullptr, L"found", L""},
    {"a final \\.\\", folder + L"\\.\\", install_dir, L"", true, 0, nullptr, L"found", L""},
    {"a leading space: a folder of that name in the current folder", L"C:\\Windows; " + folder,
     install_dir, L"", true, 0, nullptr, L"added", L""},
    {"spaces after it", folder + L"  ;C:\\Windows", install_dir, L"", true, 0, nullptr, L"found",
     L""},
    {"quoted", L"\"" + folder + L"\"", install_dir, L"", true, 0, nullptr, L"found", L""},
    {"quoted, with a backslash inside and a space after", L"C:\\Windows;\"" + install_dir + L"\" ",
     install_dir, L"", true, 0, nullptr, L"found", L""},
    {"quoted, a space before the quote", L"C:\\Windows; \"" + folder + L"\"", install_dir, L"",
     true, 0, nullptr, L"added", L""},
    {"a quote at its start only", L"\"" + folder, install_dir, L"", true, 0, nullptr, L"added",
     L""},
    {"the existing folder's 8.3 name", L"C:\\Windows;" + folder_8_3, install_dir, L"", true, 0,
     nullptr, L"found", L""},
    {"INSTALLDIR given by its 8.3 name", folder, folder_8_3 + L"\\", L"", true, 0, nullptr,
     L"found", L""},
    {"an expandable PATH, %ProgramFiles%",
     L"#%%SystemRoot%\\system32;%ProgramFiles%\\PELK card service tools", install_dir, L"", true, 0,
     nullptr, L"found", L""},
    {"an expandable PATH, the variable's name in another case",
     L"#%%PROGRAMFILES%\\PELK card service tools\\", install_dir, L"", true, 0, nullptr, L"found",
     L""},
    {"an expandable PATH, the 32-bit Program Files",
     L"#%%ProgramFiles(x86)%\\PELK card service tools", install_dir, L"", true, 0, nullptr,
     L"added", L""},
    {"an expandable PATH, an unset variable", L"#%%PELK_NOT_SET%\\PELK card service tools",
     install_dir, L"", true, 0, nullptr, L"added", L""},
    {"a PATH of REG_SZ: Windows leaves %ProgramFiles% as it stands",
     L"C:\\Windows;%ProgramFiles%\\PELK card service tools", install_dir, L"", true, 0, nullptr,
     L"added", L""},
    {"an expandable PATH that names the folder plainly", L"#%" + folder, install_dir, L"", true, 0,
     nullptr, L"found", L""},
    {";; runs", L";;C:\\Windows;;;" + folder + L";;", install_dir, L"", true, 0, nullptr, L"found",
     L""},
    {"only separators", L";;;", install_dir, L"", true, 0, nullptr, L"added", L""},
    {"the folder but for case", L"c:\\PROGRAM FILES\\pelk Card Service TOOLS", install_dir, L"",
     true, 0, nullptr, L"found", L""},
    {"the folder but for case, before it exists", L"c:\\PROGRAM FILES\\pelk Card Service TOOLS",
     install_dir, L"", false, 0, nullptr, L"found", L""},
    {"a folder that shares its name's start", folder + L"2", install_dir, L"", true, 0, nullptr,
     L"added", L""},
    {"the folder's parent", L"C:\\Program Files", install_dir, L"", true, 0, nullptr, L"added",
     L""},
    {"a subfolder", folder + L"\\bin", install_dir, L"", true, 0, nullptr, L"added", L""},
    {"another drive", L"D:\\Program Files\\PELK card service tools", install_dir, L"", true, 0,
     nullptr, L"added", L""},
    {"a REG_SZ value that began with #: ## read as one #, which names no folder",
     L"##C:\\Program Files\\PELK card service tools", install_dir, L"", true, 0, nullptr, L"added",
     L""},
    {"## read as one #, the folder in the next entry", L"##PELK;" + folder, install_dir, L"", true,
     0, nullptr, L"found", L""},
    {"a # before an entry that is not the first names no folder", L"C:\\Windows;#" + folder,
     install_dir, L"", true, 0, nullptr, L"added", L""},
    {"a #% before an entry that is not the first names no folder", L"#%C:\\Windows;#%" + folder,
     install_dir, L"", true, 0, nullptr, L"added", L""},
    {"a value of another type (a number)", L"#1234", install_dir, L"", true, 0, nullptr, L"added",
     L""},
    {"the folder without its drive", L"\\Program Files\\PELK card service tools", install_dir, L"",
     true, 0, nullptr, L"added", L""},
    {"the folder relative to drive C's current folder", L"C:Program Files\\PELK card service tools",
     install_dir, L"", true, 0, nullptr, L"added", L""},
    {"the folder's name alone", L"PELK card service tools", install_dir, L"", true, 0, nullptr,
     L"added", L""},
    {"no INSTALLDIR: empty entries are no folder", L";;C:\\Windows; ;", L"", L"", true, 0, nullptr,
     L"added", L""},
    {"a relative INSTALLDIR: the same relative entry is no folder", L"C:\\Windows;PELK\\",
     L"PELK\\", L"", true, 0, nullptr, L"added", L""},
    {"a quote inside the entry", L"C:\\Program Files\\\"PELK card service tools\"", install_dir,
     L"", true, 0, nullptr, L"added", L""},
    {"the replaced install's own entry, alone", L"C:\\Windows;" + folder, install_dir, L"1", true,
     0, nullptr, L"added", L""},
    {"the replaced install's own entry and the card's", folder + L";" + folder_8_3, install_dir,
     L"1", true, 0, nullptr, L"found", L""},
    {"the replaced install's own entry, not on PATH any more", L"C:\\Windows", install_dir, L"1",
     true, 0, nullptr, L"added", L""},
    {"a PATH at the 32767-character limit, the folder last", longest_path(folder), install_dir, L"",
     true, 0, nullptr, L"found", L""},
    {"a PATH at the 32767-character limit, a folder sharing its name's start last",
     longest_path(folder + L"2"), install_dir, L"", true, 0, nullptr, L"added", L""},
    {"a drive's root, by a slash and a final .", L"C:\\Windows;D:/.", L"D:\\", L"", true, 0,
     nullptr, L"found", L""},
    {"a drive's current folder is not its root", L"C:\\Windows;D:", L"D:\\", L"", true, 0, nullptr,
     L"added", L""},
    {"a fresh install: the folder does not exist yet", folder + L"\\", install_dir, L"", false, 0,
     nullptr, L"found", L""},
    {"MsiGetPropertyW fails for SYSTEM_PATH", folder, install_dir, L"", true, 0, "SYSTEM_PATH",
     std::nullopt, L"pelk_path_entry: MsiGetPropertyW(SYSTEM_PATH) failed with error 6"},
    {"MsiGetPropertyW fails for INSTALLDIR", folder, install_dir, L"", true, 0, "INSTALLDIR",
     std::nullopt, L"pelk_path_entry: MsiGetPropertyW(INSTALLDIR) failed with error 6"},
    {"MsiGetPropertyW fails for OWN_PATH_ENTRY", folder, install_dir, L"", true, 0,
     "OWN_PATH_ENTRY", std::nullopt,
     L"pelk_path_entry: MsiGetPropertyW(OWN_PATH_ENTRY) failed with error 6"},
    {"MsiSetPropertyW fails", folder, install_dir, L"", true, 1627, nullptr, std::nullopt,
     L"pelk_path_entry: MsiSetPropertyW(PATH_ENTRY) failed with error 1627"},
};

class PathEntryTest : public testing::TestWithParam<path_row> {};

TEST_P(PathEntryTest, SetsPathEntryFromTheFolderWindowsFinds) {
    const path_row& row = GetParam();
    SCOPED_TRACE(row.what);
    fake_kernel32_reset();
    fake_msi_reset();
    fake_msi_set_property(L"SYSTEM_PATH", row.system_path);
    fake_msi_set_property(L"INSTALLDIR", row.install_dir);
    if (!row.own_path_entry.empty()) {
        fake_msi_set_property(L"OWN_PATH_ENTRY", row.own_path_entry);
    }
    if (row.folder_exists) {
        fake_set_folder(folder_8_3, folder);
    }
    if (row.failing_get != nullptr) {
        const std::string name(row.failing_get);
        fake_msi_fail_get(std::wstring(name.begin(), name.end()), ERROR_INVALID_HANDLE);
    }
    fake_msi_fail_set(row.failing_set);

    const UINT status = pelk_path_entry(fake_msi_install());

    EXPECT_EQ(status, row.path_entry ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE);
    EXPECT_EQ(fake_msi_property(L"PATH_ENTRY"), row.path_entry);
    EXPECT_EQ(fake_msi_log(),
              row.log.empty() ? std::vector<std::wstring>{} : std::vector<std::wstring>{row.log});
    EXPECT_EQ(fake_msi_violations(), std::vector<std::string>{});
    EXPECT_EQ(fake_kernel32_violations(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Rows, PathEntryTest, testing::ValuesIn(rows),
                         [](const testing::TestParamInfo<path_row>& param_info) {
                             return "row" + std::to_string(param_info.index);
                         });

} // namespace
