// Native stand-in for the small part of <windows.h> that the scanner, kiv_reset's loader and
// the MSI's PATH decision use: the kernel32 calls they make and the types and constants
// those need. The values are the real ones, so that all compile unchanged here and for
// Windows. wchar_t is 32 bits here and 16 on Windows; no path code relies on its width.
#ifndef PELK_STANDIN_WINDOWS_H
#define PELK_STANDIN_WINDOWS_H

#include <cstddef>
#include <cstdint>

#define WINAPI
#define TRUE 1
#define FALSE 0

using BOOL = int;
#define FALSE 0
#define TRUE 1
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using HANDLE = void*;
using LPVOID = void*;
using LPDWORD = DWORD*;
using LPCWSTR = const wchar_t*;
using LPWSTR = wchar_t*;
using LPCSTR = const char*;
using LPSTR = char*;
using LPBOOL = BOOL*;
using UINT = unsigned int;
using HMODULE = struct module_stand_in*;
using FARPROC = std::intptr_t (*)();
using DLL_DIRECTORY_COOKIE = void*;
using HRSRC = struct resource_stand_in*;
using HGLOBAL = void*;
using PVOID = void*;
using LPCVOID = const void*;
using SIZE_T = std::size_t;
using BYTE = std::uint8_t;
using LONG = std::int32_t;
using HRESULT = LONG;
using WCHAR = wchar_t;
using HWND = struct window_stand_in*;
using HKEY = struct key_stand_in*;
using PHKEY = HKEY*;
using REGSAM = DWORD;
using LSTATUS = LONG;
struct GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
};
struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;
struct OVERLAPPED;
using LPOVERLAPPED = OVERLAPPED*;

#define MAX_PATH 260
#define MAKEINTRESOURCEW(id)                                                                       \
    (reinterpret_cast<LPWSTR>(static_cast<std::uintptr_t>(static_cast<WORD>(id))))
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))

constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD FILE_SHARE_READ = 0x00000001u;
constexpr DWORD FILE_SHARE_WRITE = 0x00000002u;
constexpr DWORD FILE_SHARE_DELETE = 0x00000004u;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xffffffffu;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;
constexpr DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x400;

constexpr DWORD LOAD_LIBRARY_AS_DATAFILE = 0x2;
constexpr DWORD LOAD_LIBRARY_AS_IMAGE_RESOURCE = 0x20;
constexpr DWORD LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR = 0x100;
constexpr DWORD LOAD_LIBRARY_SEARCH_APPLICATION_DIR = 0x200;
constexpr DWORD LOAD_LIBRARY_SEARCH_USER_DIRS = 0x400;
constexpr DWORD LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x800;
constexpr DWORD LOAD_LIBRARY_SEARCH_DEFAULT_DIRS = 0x1000;

constexpr UINT DRIVE_UNKNOWN = 0;
constexpr UINT DRIVE_NO_ROOT_DIR = 1;
constexpr UINT DRIVE_REMOVABLE = 2;
constexpr UINT DRIVE_FIXED = 3;
constexpr UINT DRIVE_REMOTE = 4;
constexpr UINT DRIVE_CDROM = 5;
constexpr UINT DRIVE_RAMDISK = 6;

constexpr DWORD MEM_COMMIT = 0x1000;
constexpr DWORD MEM_RESERVE = 0x2000;
constexpr DWORD MEM_IMAGE = 0x1000000;
constexpr DWORD PAGE_NOACCESS = 0x01;
constexpr DWORD PAGE_READONLY = 0x02;
constexpr DWORD PAGE_READWRITE = 0x04;
constexpr DWORD PAGE_WRITECOPY = 0x08;
constexpr DWORD PAGE_EXECUTE_READ = 0x20;
constexpr DWORD PAGE_EXECUTE_READWRITE = 0x40;
constexpr DWORD PAGE_EXECUTE_WRITECOPY = 0x80;
constexpr DWORD PAGE_GUARD = 0x100;

struct MEMORY_BASIC_INFORMATION {
    PVOID BaseAddress;
    PVOID AllocationBase;
    DWORD AllocationProtect;
    SIZE_T RegionSize;
    DWORD State;
    DWORD Protect;
    DWORD Type;
};

constexpr UINT CP_ACP = 0;
constexpr UINT CP_UTF8 = 65001;

constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_INVALID_DRIVE = 15;
constexpr DWORD ERROR_NOT_READY = 21;
constexpr DWORD ERROR_BAD_NETPATH = 53;
constexpr DWORD ERROR_DEV_NOT_EXIST = 55;
constexpr DWORD ERROR_BAD_NET_NAME = 67;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_CALL_NOT_IMPLEMENTED = 120;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
constexpr DWORD ERROR_BAD_EXE_FORMAT = 193;
constexpr DWORD ERROR_ENVVAR_NOT_FOUND = 203;
constexpr DWORD ERROR_MORE_DATA = 234;
constexpr DWORD ERROR_NETWORK_UNREACHABLE = 1231;
constexpr DWORD ERROR_NOT_FOUND = 1168;
constexpr DWORD ERROR_RESOURCE_TYPE_NOT_FOUND = 1813;
constexpr DWORD ERROR_INSTALL_FAILURE = 1603;
constexpr DWORD ERROR_CANT_RESOLVE_FILENAME = 1921;

// What WinVerifyTrust and the certificate chain policy answer (winerror.h).
constexpr HRESULT TRUST_E_PROVIDER_UNKNOWN = static_cast<HRESULT>(0x800B0001);
constexpr HRESULT TRUST_E_SUBJECT_FORM_UNKNOWN = static_cast<HRESULT>(0x800B0003);
constexpr HRESULT TRUST_E_NOSIGNATURE = static_cast<HRESULT>(0x800B0100);
constexpr HRESULT CERT_E_EXPIRED = static_cast<HRESULT>(0x800B0101);
constexpr HRESULT CERT_E_UNTRUSTEDROOT = static_cast<HRESULT>(0x800B0109);
constexpr HRESULT CERT_E_CHAINING = static_cast<HRESULT>(0x800B010A);
constexpr HRESULT CERT_E_WRONG_USAGE = static_cast<HRESULT>(0x800B0110);
constexpr HRESULT TRUST_E_EXPLICIT_DISTRUST = static_cast<HRESULT>(0x800B0111);
constexpr HRESULT TRUST_E_BAD_DIGEST = static_cast<HRESULT>(0x80096010);
constexpr HRESULT TRUST_E_CERT_SIGNATURE = static_cast<HRESULT>(0x80096004);
constexpr HRESULT NTE_BAD_ALGID = static_cast<HRESULT>(0x80090008);

// The registry (winreg.h): kiv_reset reads one policy value.
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000002u)))
constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD RRF_RT_ANY = 0x0000ffff;
constexpr DWORD RRF_NOEXPAND = 0x10000000;

// CompareStringOrdinal's answers (0: the call failed).
constexpr int CSTR_LESS_THAN = 1;
constexpr int CSTR_EQUAL = 2;
constexpr int CSTR_GREATER_THAN = 3;

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

DWORD WINAPI GetFileAttributesW(LPCWSTR file_name);
DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR file_name, DWORD size);
UINT WINAPI GetSystemDirectoryW(LPWSTR buffer, UINT size);
UINT WINAPI GetDriveTypeW(LPCWSTR root_path_name);
DWORD WINAPI GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size);
DWORD WINAPI ExpandEnvironmentStringsW(LPCWSTR source, LPWSTR destination, DWORD size);
DWORD WINAPI GetLongPathNameW(LPCWSTR short_path, LPWSTR long_path, DWORD size);
int WINAPI CompareStringOrdinal(LPCWSTR left, int left_length, LPCWSTR right, int right_length,
                                BOOL ignore_case);
BOOL WINAPI SetDefaultDllDirectories(DWORD directory_flags);
DLL_DIRECTORY_COOKIE WINAPI AddDllDirectory(LPCWSTR new_directory);
HMODULE WINAPI LoadLibraryExW(LPCWSTR file_name, HANDLE file, DWORD flags);
FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name);
BOOL WINAPI FreeLibrary(HMODULE module);
HRSRC WINAPI FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type);
HGLOBAL WINAPI LoadResource(HMODULE module, HRSRC resource);
LPVOID WINAPI LockResource(HGLOBAL data);
DWORD WINAPI SizeofResource(HMODULE module, HRSRC resource);
SIZE_T WINAPI VirtualQuery(LPCVOID address, MEMORY_BASIC_INFORMATION* buffer, SIZE_T length);
UINT WINAPI GetConsoleOutputCP(void);
int WINAPI WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR wide, int wide_length,
                               LPSTR bytes, int bytes_size, LPCSTR default_char,
                               LPBOOL used_default_char);

LSTATUS WINAPI RegOpenKeyExW(HKEY key, LPCWSTR sub_key, DWORD options, REGSAM desired,
                             PHKEY result);
LSTATUS WINAPI RegGetValueW(HKEY key, LPCWSTR sub_key, LPCWSTR value, DWORD flags, LPDWORD type,
                            PVOID data, LPDWORD data_size);
LSTATUS WINAPI RegCloseKey(HKEY key);

// The C library's, which <windows.h> brings along on Windows.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): Windows' name
int _stricmp(const char* left, const char* right);
}

#endif
