// Native stand-in for the part of <mscat.h> that kiv_reset's signature check uses: finding
// the security catalog that lists a file. Declarations as Microsoft documents them;
// kiv_reset takes each function's address from wintrust.dll through GetProcAddress.
#ifndef PELK_STANDIN_MSCAT_H
#define PELK_STANDIN_MSCAT_H

#include <wintrust.h>

using HCATINFO = HANDLE;

struct CATALOG_INFO {
    DWORD cbStruct;
    WCHAR wszCatalogFile[MAX_PATH];
};

extern "C" {
BOOL WINAPI CryptCATAdminAcquireContext(HCATADMIN* admin, const GUID* subsystem, DWORD flags);
BOOL WINAPI CryptCATAdminAcquireContext2(HCATADMIN* admin, const GUID* subsystem,
                                         LPCWSTR hash_algorithm,
                                         const CERT_STRONG_SIGN_PARA* strong_hash_policy,
                                         DWORD flags);
BOOL WINAPI CryptCATAdminCalcHashFromFileHandle(HANDLE file, DWORD* hash_size, BYTE* hash,
                                                DWORD flags);
BOOL WINAPI CryptCATAdminCalcHashFromFileHandle2(HCATADMIN admin, HANDLE file, DWORD* hash_size,
                                                 BYTE* hash, DWORD flags);
HCATINFO WINAPI CryptCATAdminEnumCatalogFromHash(HCATADMIN admin, BYTE* hash, DWORD hash_size,
                                                 DWORD flags, HCATINFO* previous);
BOOL WINAPI CryptCATCatalogInfoFromContext(HCATINFO catalog, CATALOG_INFO* info, DWORD flags);
BOOL WINAPI CryptCATAdminReleaseCatalogContext(HCATADMIN admin, HCATINFO catalog, DWORD flags);
BOOL WINAPI CryptCATAdminReleaseContext(HCATADMIN admin, DWORD flags);
}

#endif
