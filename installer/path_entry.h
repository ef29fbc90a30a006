// The MSI's decision whether the system PATH already names the install folder, and the
// custom action that makes it (pelk_path_entry.dll, in the MSI's Binary table).
#pragma once

#include <windows.h>

#include <msiquery.h>

// "found" when an entry of the system PATH names the same folder as INSTALLDIR, not
// counting the one entry that the install being replaced wrote itself (own_entry_on_path),
// else "added". Both values are as RegistrySearch reads them: a type prefix at the start
// ("#%" expandable, "##" a literal "#"). An entry, or an INSTALLDIR, that can't be read as
// a full path never counts as the folder. nullptr: memory ran out, no answer.
const wchar_t* path_entry_decision(const wchar_t* system_path, const wchar_t* install_dir,
                                   bool own_entry_on_path);

// The custom action: reads SYSTEM_PATH, INSTALLDIR and OWN_PATH_ENTRY, sets PATH_ENTRY.
// A failing installer call is logged with its reason and stops the install.
extern "C" UINT WINAPI pelk_path_entry(MSIHANDLE install);
