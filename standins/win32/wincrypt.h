// Native stand-in for the part of <wincrypt.h> that kiv_reset's signature check uses: the
// certificate as WinVerifyTrust hands it over, its names, its hash and the chain policy.
// Declarations and values as Microsoft documents them; kiv_reset takes each function's type
// from here and its address from crypt32.dll through GetProcAddress, never by import.
#ifndef PELK_STANDIN_WINCRYPT_H
#define PELK_STANDIN_WINCRYPT_H

#include <windows.h>

struct CRYPT_DATA_BLOB {
    DWORD cbData;
    BYTE* pbData;
};
using CRYPT_INTEGER_BLOB = CRYPT_DATA_BLOB;
using CRYPT_OBJID_BLOB = CRYPT_DATA_BLOB;
using CERT_NAME_BLOB = CRYPT_DATA_BLOB;
using PCERT_NAME_BLOB = CERT_NAME_BLOB*;

struct CRYPT_ALGORITHM_IDENTIFIER {
    LPSTR pszObjId;
    CRYPT_OBJID_BLOB Parameters;
};

// The members up to the subject, in their documented order; the rest are not read.
struct CERT_INFO {
    DWORD dwVersion;
    CRYPT_INTEGER_BLOB SerialNumber;
    CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
    CERT_NAME_BLOB Issuer;
    FILETIME NotBefore;
    FILETIME NotAfter;
    CERT_NAME_BLOB Subject;
};
using PCERT_INFO = CERT_INFO*;

using HCERTSTORE = void*;
struct CERT_CONTEXT {
    DWORD dwCertEncodingType;
    BYTE* pbCertEncoded;
    DWORD cbCertEncoded;
    PCERT_INFO pCertInfo;
    HCERTSTORE hCertStore;
};
using PCCERT_CONTEXT = const CERT_CONTEXT*;

struct CTL_CONTEXT;
using PCCTL_CONTEXT = const CTL_CONTEXT*;

struct CERT_CHAIN_CONTEXT;
using PCCERT_CHAIN_CONTEXT = const CERT_CHAIN_CONTEXT*;

struct CERT_CHAIN_POLICY_PARA {
    DWORD cbSize;
    DWORD dwFlags;
    void* pvExtraPolicyPara;
};
using PCERT_CHAIN_POLICY_PARA = CERT_CHAIN_POLICY_PARA*;

struct CERT_CHAIN_POLICY_STATUS {
    DWORD cbSize;
    DWORD dwError;
    LONG lChainIndex;
    LONG lElementIndex;
    void* pvExtraPolicyStatus;
};
using PCERT_CHAIN_POLICY_STATUS = CERT_CHAIN_POLICY_STATUS*;

struct CERT_STRONG_SIGN_PARA;

#define CERT_CHAIN_POLICY_AUTHENTICODE (reinterpret_cast<LPCSTR>(static_cast<std::uintptr_t>(2)))
constexpr DWORD X509_ASN_ENCODING = 0x00000001;
constexpr DWORD CERT_X500_NAME_STR = 3;

extern "C" {
DWORD WINAPI CertNameToStrW(DWORD encoding_type, PCERT_NAME_BLOB name, DWORD string_type,
                            LPWSTR text, DWORD size);
BOOL WINAPI CertVerifyCertificateChainPolicy(LPCSTR policy, PCCERT_CHAIN_CONTEXT chain,
                                             PCERT_CHAIN_POLICY_PARA policy_para,
                                             PCERT_CHAIN_POLICY_STATUS policy_status);
BOOL WINAPI CryptHashCertificate2(LPCWSTR hash_algorithm, DWORD flags, void* reserved,
                                  const BYTE* encoded, DWORD encoded_size, BYTE* hash,
                                  DWORD* hash_size);
}

#endif
