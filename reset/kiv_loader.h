// Loads kiv.dll from trusted folders only, before kiv_reset makes its first library call.
#pragma once

// Loads the first kiv.dll found in the program's own folder, the system folder, then the
// absolute folders on PATH in PATH order, by its full path, and looks up each of its
// functions. On failure it says why on standard error and returns false: no library call
// may be made then.
bool load_board_library();
