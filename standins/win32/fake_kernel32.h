// Script and log of the native kernel32 stand-in. A test sets how the SMBus driver answers
// each address, or that the device is absent, runs the scanner, then reads every call back.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Back to a card with devices at 0x18 and 0x20, every other address absent (error 55),
// the device present, an empty log and a poisoned last error.
void fake_kernel32_reset();

// 0 lets the device open; any other value fails the open with that error (2: the driver
// is not running).
void fake_set_open_error(DWORD error);
// 0 makes the address answer; any other value fails its probe with that error.
void fake_set_probe_answer(int address, DWORD error);
void fake_set_all_probe_answers(DWORD error);
// The Windows runtime may change the last error as it writes: the suites' stdio wrappers
// call this, so that an error read after a write is caught.
void fake_poison_last_error();

// One line per call, with every argument, e.g.
// "DeviceIoControl(device, 0x01161c00, in=[18 00 ff]/3, out=1, returned, no overlapped)".
const std::vector<std::string>& fake_kernel32_calls();
// Calls that real Windows would refuse or crash on; empty when all went well.
const std::vector<std::string>& fake_kernel32_violations();
// Addresses probed, in order.
std::vector<int> fake_probed_addresses();
// Bytes written to standard output when the handle was closed (-1: not closed, or the
// output is not a file).
long fake_stdout_bytes_at_close();
