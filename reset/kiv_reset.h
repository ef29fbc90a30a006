// Entry of kiv_reset: reads the whole command line, then applies the options in order and
// makes at most one reset call.
#pragma once

// Exit statuses: success (also after -h), a failure the library reported, a command line
// that was rejected before anything was reset, and a kiv.dll that could not be loaded
// (Windows), with no library call made.
constexpr int exit_success = 0;
constexpr int exit_library_failure = 1;
constexpr int exit_rejected = 2;
constexpr int exit_library_missing = 3;

// Said on standard error when memory runs out before the command line is read.
constexpr const char* out_of_memory_message = "kiv_reset: out of memory\n";

// Reads the whole command line first, with no library call: a line it rejects is said so on
// the spot and ends with exit_rejected, having loaded nothing. An accepted line then has the
// library loaded by load_library (null where it is linked; when it returns false it has said
// why, and the run ends with exit_library_missing), and calls pelk_kiv_init, each -d's
// pelk_set_device in order, then one reset operation, or prints the usage for -h.
int run_kiv_reset(int argc, char* argv[], bool (*load_library)());
