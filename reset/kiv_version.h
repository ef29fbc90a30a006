// kiv_reset -v: the tool's version and the kiv.dll that a reset would use, with that file's
// version and signer, found without running any of kiv.dll's code: a pre-flight check.
#pragma once

// Prints "kiv_reset <version>", then the kiv.dll that find_board_library() names, on
// standard output, then its signature's verdict and signer and whether a RequiredSigners
// policy is set and met (kiv_signature.h, signer_policy.h). Returns the status a reset would
// get: exit_success, or exit_library_missing where it would stop (no kiv.dll that could be
// read as an image, a policy that can't be read, or a kiv.dll that doesn't meet it).
int show_version();
