// Entry of kiv_reset: applies the options in order, then makes at most one reset call.
#pragma once

// Exit statuses: success (also after -h), a failure the library reported, a command line
// that was rejected before anything was reset, and a kiv.dll that could not be loaded
// (Windows), with no library call made.
constexpr int exit_success = 0;
constexpr int exit_library_failure = 1;
constexpr int exit_rejected = 2;
constexpr int exit_library_missing = 3;

int run_kiv_reset(int argc, char* argv[]);
