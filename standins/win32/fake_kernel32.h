// Script and log of the native kernel32 stand-in. A test sets how the SMBus driver answers
// each address, or that the device is absent, runs the scanner, then reads every call back;
// or sets the host that kiv_reset's loader looks at, runs the loader, and reads back.
#pragma once

#include <windows.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

// Back to a card with devices at 0x18 and 0x20, every other address absent (error 55),
// the device present, the loader's host as fake_loader_host_reset() leaves it, an empty log
// and a poisoned last error.
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

// The loader's host: C:\Tools\kiv_reset.exe, the system folder C:\Windows\system32, PATH
// "C:\Windows\system32;C:\Windows", every drive letter a local fixed one, no kiv.dll
// anywhere (error 2 for every path not set below), every DLL call succeeding, kiv.dll
// without a version resource, console code page 437 (the ANSI one is 1252), and no
// delay-load hook.
void fake_loader_host_reset();
// What GetFileAttributesW answers for a full path: attributes, or a failure with an error.
void fake_set_file(const std::wstring& path, DWORD attributes);
void fake_set_file_error(const std::wstring& path, DWORD error);
// An empty one makes the call fail.
void fake_set_module_file_name(const std::wstring& path);
void fake_set_system_directory(const std::wstring& path);
// What GetDriveTypeW answers for the root of that drive letter, in either case.
void fake_set_drive_type(wchar_t letter, UINT type);
// No value: PATH is not set.
void fake_set_path(const std::optional<std::wstring>& value);
// 0 lets the call succeed; any other value fails it with that error.
void fake_set_dll_directory_errors(DWORD set_default, DWORD add);
// Fails every SetDefaultDllDirectories call after the first that succeeded.
void fake_set_later_set_default_error(DWORD error);
void fake_set_load_error(DWORD error);
// A function that GetProcAddress does not find in the loaded kiv.dll.
void fake_set_missing_function(const std::string& name);
// 437, 1252, 65001 and 54936 (ASCII and U+0080 to U+00A3 only) are known; 0 is what Windows gives
// without a console.
void fake_set_console_output_cp(UINT code_page);
// The handle that LoadLibraryExW gives for kiv.dll.
HMODULE fake_board_module();
// The RT_VERSION resource 1 that kiv.dll, loaded as a data file, holds, byte for byte;
// none by default.
void fake_set_version_resource(const std::optional<std::vector<unsigned char>>& bytes);
// What VirtualQuery answers for the version resource's first byte: the region that holds it,
// from that byte to `size` bytes on, with its state and protection, in the data-file mapping
// of kiv.dll or in another allocation. By default the resource exactly, committed and read
// only, in the mapping. No value: the call fails.
struct fake_region {
    std::size_t size;
    DWORD state = MEM_COMMIT;
    DWORD protect = PAGE_READONLY;
    bool in_mapping = true;
};
void fake_set_version_region(const std::optional<fake_region>& region);

// The MSI custom action's host (fake_kernel32_reset() restores it): ExpandEnvironmentStringsW
// knows ProgramFiles (C:\Program Files), ProgramFiles(x86) and SystemRoot (C:\Windows), and
// no folder exists for GetLongPathNameW but those set here, by their 8.3 path and their long
// one.
void fake_install_host_reset();
void fake_set_folder(const std::wstring& short_path, const std::wstring& long_path);

// For the stand-in's own sources: its log, its poisoned last error, and paths as logged
// (non-ASCII characters as <U+00DC>).
constexpr DWORD fake_poisoned_error = 0xdeadbeef;
void fake_log_call(const std::string& call);
void fake_violation(const std::string& what);
void fake_set_last_error(DWORD error);
std::string fake_narrow(LPCWSTR wide);
template <typename... Values> std::string fake_format(const char* pattern, Values... values) {
    char text[256];
    std::snprintf(text, sizeof text, pattern, values...);
    return text;
}
