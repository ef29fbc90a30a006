// kiv_reset's own option scanner: hands out one option per call, in command-line order.
#pragma once

// Index into argv of the next argument to examine; back to 1 whenever the scan ends.
extern int next_arg_index;
// The value of the last value-taking option; after option_unknown, option_missing_value
// or option_unexpected, the argument at fault.
extern const char* option_value;

constexpr int option_end = -1;
constexpr int option_unknown = '?';
constexpr int option_missing_value = ':';
// An argument that is neither an option word nor the value of the option before it.
constexpr int option_unexpected = '!';

// Returns 'h', 'i', 'd' or 'a', or one of the four ends above.
int next_option(int argc, const char* const argv[]);
