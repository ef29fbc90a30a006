// Finds and loads kiv.dll from trusted folders only, before kiv_reset makes its first library
// call.
#pragma once

// The first kiv.dll in the program's own folder, the system folder, then the absolute
// folders on PATH in PATH order, by its full path: the one load_board_library() loads. It
// only looks: nothing is loaded, the DLL search is left as it is, and on PATH only folders
// on a local drive are looked at. When there is none, or a place before it can't or may not
// be looked at (a copy there would come first), it says so on standard error and returns
// nullptr: the caller ends with exit_library_missing.
const wchar_t* find_board_library();

// Restricts the DLL search, loads the kiv.dll that find_board_library() names and looks up
// each of its functions. Where the RequiredSigners policy is set, kiv.dll is first checked
// (signer_policy.h) and held open until it is loaded. On failure it says why on standard
// error and returns false: no library call may be made then.
bool load_board_library();

// A path in the console's code page, so that a technician can find what it names; "kiv.dll"
// where it can't be converted. The text lasts until the next call.
const char* console_text(const wchar_t* path);
