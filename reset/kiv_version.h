// kiv_reset -v: the tool's version and the kiv.dll that a reset would use, with that file's
// version, found without running any of kiv.dll's code.
#pragma once

// Prints "kiv_reset <version>", then the kiv.dll that find_board_library() names, on
// standard output. Returns exit_success, or exit_library_missing when there is no kiv.dll
// that could be read as an image: a reset would fail then too.
int show_version();
