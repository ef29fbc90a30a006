// Entry of kiv_reset: applies the options in order, then makes exactly one reset call.
#pragma once

// Exit statuses.
constexpr int reset_succeeded = 0;
constexpr int reset_failed = 1;
constexpr int command_line_rejected = 2;

int run_kiv_reset(int argc, char* argv[]);
