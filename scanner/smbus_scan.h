// Entry of smbus_scan: settles the address range from the command line, scans, prints.
#pragma once

#include <cstdint>

constexpr std::int32_t default_start_address = 0x18;
constexpr std::int32_t default_end_address = 0x27;

// Inclusive range to probe; overwritten only by a successfully converted argument.
extern std::int32_t start_address;
extern std::int32_t end_address;

// Returns the process exit status: 0 after a complete scan and its grid, -1 otherwise. typed:
// the arguments as typed, wide, when argv is what the Windows entry makes of them (a '?' for
// each character beyond ASCII); null when argv is itself as typed.
int run_smbus_scan(int argc, char* argv[], const wchar_t* const typed[]);
