// Loads kiv.dll from trusted folders only, before kiv_reset makes its first library call.
#pragma once

// Narrows the DLL search of the process to the program's own folder, the system folder
// and the absolute folders named on PATH, then loads kiv.dll and looks up each of its
// functions. On failure it says why on standard error and returns false: no library
// call may be made then.
bool load_board_library();
