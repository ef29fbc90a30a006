// Native stand-in for the part of <wintrust.h> that kiv_reset's signature check uses:
// WinVerifyTrust's arguments for a file or a catalog member, and the signer it leaves in its
// state data. Declarations and values as Microsoft documents them; kiv_reset takes each
// function's type from here and its address from wintrust.dll through GetProcAddress.
#ifndef PELK_STANDIN_WINTRUST_H
#define PELK_STANDIN_WINTRUST_H

#include <windows.h>
#include <wincrypt.h>

using HCATADMIN = HANDLE;

struct WINTRUST_FILE_INFO {
    DWORD cbStruct;
    LPCWSTR pcwszFilePath;
    HANDLE hFile;
    GUID* pgKnownSubject;
};

struct WINTRUST_CATALOG_INFO {
    DWORD cbStruct;
    DWORD dwCatalogVersion;
    LPCWSTR pcwszCatalogFilePath;
    LPCWSTR pcwszMemberTag;
    LPCWSTR pcwszMemberFilePath;
    HANDLE hMemberFile;
    BYTE* pbCalculatedFileHash;
    DWORD cbCalculatedFileHash;
    PCCTL_CONTEXT pcCatalogContext;
    HCATADMIN hCatAdmin;
};

struct WINTRUST_DATA {
    DWORD cbStruct;
    LPVOID pPolicyCallbackData;
    LPVOID pSIPClientData;
    DWORD dwUIChoice;
    DWORD fdwRevocationChecks;
    DWORD dwUnionChoice;
    union {
        WINTRUST_FILE_INFO* pFile;
        WINTRUST_CATALOG_INFO* pCatalog;
    };
    DWORD dwStateAction;
    HANDLE hWVTStateData;
    WCHAR* pwszURLReference;
    DWORD dwProvFlags;
    DWORD dwUIContext;
    void* pSignatureSettings;
};

constexpr DWORD WTD_UI_NONE = 2;
constexpr DWORD WTD_REVOKE_NONE = 0;
constexpr DWORD WTD_CHOICE_FILE = 1;
constexpr DWORD WTD_CHOICE_CATALOG = 2;
constexpr DWORD WTD_STATEACTION_VERIFY = 1;
constexpr DWORD WTD_STATEACTION_CLOSE = 2;
constexpr DWORD WTD_REVOCATION_CHECK_NONE = 0x00000010;
constexpr DWORD WTD_CACHE_ONLY_URL_RETRIEVAL = 0x00001000;

struct CRYPT_PROVIDER_DATA;

// The members up to the signer's chain, in their documented order.
struct CRYPT_PROVIDER_CERT {
    DWORD cbStruct;
    PCCERT_CONTEXT pCert;
};

struct CRYPT_PROVIDER_SGNR {
    DWORD cbStruct;
    FILETIME sftVerifyAsOf;
    DWORD csCertChain;
    CRYPT_PROVIDER_CERT* pasCertChain;
    DWORD dwSignerType;
    void* psSigner;
    DWORD dwError;
    DWORD csCounterSigners;
    CRYPT_PROVIDER_SGNR* pasCounterSigners;
    PCCERT_CHAIN_CONTEXT pChainContext;
};

extern "C" {
LONG WINAPI WinVerifyTrust(HWND window, GUID* action, LPVOID data);
CRYPT_PROVIDER_DATA* WINAPI WTHelperProvDataFromStateData(HANDLE state_data);
CRYPT_PROVIDER_SGNR* WINAPI WTHelperGetProvSignerFromChain(CRYPT_PROVIDER_DATA* provider_data,
                                                           DWORD signer_index, BOOL counter_signer,
                                                           DWORD counter_signer_index);
}

#endif
