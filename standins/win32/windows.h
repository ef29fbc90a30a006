// Native stand-in for the small part of <windows.h> that the scanner uses: the four
// kernel32 calls it makes and the types and constants they need. The values are the
// real ones, so that the scanner compiles unchanged here and for Windows.
#ifndef PELK_STANDIN_WINDOWS_H
#define PELK_STANDIN_WINDOWS_H

#include <cstdint>

#define WINAPI

using BOOL = int;
using DWORD = std::uint32_t;
using HANDLE = void*;
using LPVOID = void*;
using LPDWORD = DWORD*;
using LPCWSTR = const wchar_t*;
struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;
struct OVERLAPPED;
using LPOVERLAPPED = OVERLAPPED*;

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))

constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD FILE_SHARE_READ = 0x00000001u;
constexpr DWORD FILE_SHARE_WRITE = 0x00000002u;
constexpr DWORD OPEN_EXISTING = 3;

constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_DEV_NOT_EXIST = 55;

#define METHOD_BUFFERED 0
#define FILE_ANY_ACCESS 0
#define CTL_CODE(device_type, function, method, access)                                            \
    (((device_type) << 16) | ((access) << 14) | ((function) << 2) | (method))

extern "C" {
HANDLE WINAPI CreateFileW(LPCWSTR file_name, DWORD desired_access, DWORD share_mode,
                          LPSECURITY_ATTRIBUTES security_attributes, DWORD creation_disposition,
                          DWORD flags_and_attributes, HANDLE template_file);
BOOL WINAPI DeviceIoControl(HANDLE device, DWORD control_code, LPVOID in_buffer,
                            DWORD in_buffer_size, LPVOID out_buffer, DWORD out_buffer_size,
                            LPDWORD bytes_returned, LPOVERLAPPED overlapped);
DWORD WINAPI GetLastError(void);
BOOL WINAPI CloseHandle(HANDLE object);
}

#endif
