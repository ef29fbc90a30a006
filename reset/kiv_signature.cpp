// Windows only (built natively just for its tests, against the stand-ins). wintrust.dll and
// crypt32.dll are not KnownDLLs: imported, a copy planted beside kiv_reset.exe would be
// loaded. So both come from the system folder alone, every function through GetProcAddress,
// and only in the runs that check a signature. The caller has narrowed the process's DLL
// search to the system folder, since both load further DLLs by name as they work.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): Windows' name
#define _WIN32_WINNT 0x0A00 // the catalog's SHA-256 forms and LOAD_LIBRARY_SEARCH_SYSTEM32
#include <windows.h>

#include <wincrypt.h>
#include <wintrust.h>

#include <mscat.h>
#include <softpub.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <cwchar>

#include "kiv_loader.h"
#include "kiv_signature.h"

namespace {

// Room for a catalog hash: SHA-256, or SHA-1.
constexpr DWORD hash_capacity = 32;

template <typename Function> Function function_from(FARPROC address) {
    // Through the one function type that GCC lets stand for any.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

// The functions, found afresh for each check.
decltype(&WinVerifyTrust) win_verify_trust = nullptr;
decltype(&WTHelperProvDataFromStateData) provider_data_from_state = nullptr;
decltype(&WTHelperGetProvSignerFromChain) signer_from_chain = nullptr;
decltype(&CryptCATAdminAcquireContext) acquire_catalog_admin = nullptr;
decltype(&CryptCATAdminAcquireContext2) acquire_catalog_admin2 = nullptr;
decltype(&CryptCATAdminCalcHashFromFileHandle) catalog_hash_of = nullptr;
decltype(&CryptCATAdminCalcHashFromFileHandle2) catalog_hash2_of = nullptr;
decltype(&CryptCATAdminEnumCatalogFromHash) catalog_from_hash = nullptr;
decltype(&CryptCATCatalogInfoFromContext) catalog_info = nullptr;
decltype(&CryptCATAdminReleaseCatalogContext) release_catalog = nullptr;
decltype(&CryptCATAdminReleaseContext) release_catalog_admin = nullptr;
decltype(&CertVerifyCertificateChainPolicy) verify_chain_policy = nullptr;
decltype(&CertNameToStrW) name_to_string = nullptr;
decltype(&CryptHashCertificate2) hash_certificate = nullptr;

template <typename... Values>
bool cannot_check(signature_verdict* verdict, const char* pattern, Values... values) {
    std::snprintf(verdict->reason, sizeof verdict->reason, pattern, values...);
    verdict->checked = false;
    return false;
}

bool load_system_library(const wchar_t* name, const char* shown, HMODULE* module,
                         signature_verdict* verdict) {
    *module = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (*module == nullptr) {
        return cannot_check(verdict, "%s could not be loaded (error %lu)", shown,
                            static_cast<unsigned long>(GetLastError()));
    }
    return true;
}

// A function that must be there; required false: one that may be missing (null then).
template <typename Function>
bool find_function(HMODULE module, const char* shown, const char* name, Function* function,
                   signature_verdict* verdict, bool required = true) {
    *function = function_from<Function>(GetProcAddress(module, name));
    if (*function == nullptr && required) {
        return cannot_check(verdict, "%s has no %s", shown, name);
    }
    return true;
}

bool find_functions(signature_verdict* verdict) {
    HMODULE wintrust = nullptr;
    HMODULE crypt32 = nullptr;
    if (!load_system_library(L"wintrust.dll", "wintrust.dll", &wintrust, verdict) ||
        !load_system_library(L"crypt32.dll", "crypt32.dll", &crypt32, verdict)) {
        return false;
    }
    const char* trust = "wintrust.dll";
    const char* crypt = "crypt32.dll";
    // mingw-w64's import library lacks the catalog's SHA-256 forms, and older Windows too:
    // where either is missing, the SHA-1 forms serve.
    return find_function(wintrust, trust, "WinVerifyTrust", &win_verify_trust, verdict) &&
           find_function(wintrust, trust, "WTHelperProvDataFromStateData",
                         &provider_data_from_state, verdict) &&
           find_function(wintrust, trust, "WTHelperGetProvSignerFromChain", &signer_from_chain,
                         verdict) &&
           find_function(wintrust, trust, "CryptCATAdminAcquireContext", &acquire_catalog_admin,
                         verdict) &&
           find_function(wintrust, trust, "CryptCATAdminAcquireContext2", &acquire_catalog_admin2,
                         verdict, false) &&
           find_function(wintrust, trust, "CryptCATAdminCalcHashFromFileHandle", &catalog_hash_of,
                         verdict) &&
           find_function(wintrust, trust, "CryptCATAdminCalcHashFromFileHandle2", &catalog_hash2_of,
                         verdict, false) &&
           find_function(wintrust, trust, "CryptCATAdminEnumCatalogFromHash", &catalog_from_hash,
                         verdict) &&
           find_function(wintrust, trust, "CryptCATCatalogInfoFromContext", &catalog_info,
                         verdict) &&
           find_function(wintrust, trust, "CryptCATAdminReleaseCatalogContext", &release_catalog,
                         verdict) &&
           find_function(wintrust, trust, "CryptCATAdminReleaseContext", &release_catalog_admin,
                         verdict) &&
           find_function(crypt32, crypt, "CertVerifyCertificateChainPolicy", &verify_chain_policy,
                         verdict) &&
           find_function(crypt32, crypt, "CertNameToStrW", &name_to_string, verdict) &&
           find_function(crypt32, crypt, "CryptHashCertificate2", &hash_certificate, verdict);
}

// The signer certificate's names and thumbprint. The thumbprint is hashed here from the
// certificate's encoded bytes: Wine 8 doesn't answer CERT_SHA256_HASH_PROP_ID.
void read_certificate(PCCERT_CONTEXT certificate, signature_verdict* verdict) {
    name_to_string(X509_ASN_ENCODING, &certificate->pCertInfo->Subject, CERT_X500_NAME_STR,
                   verdict->subject, name_size);
    name_to_string(X509_ASN_ENCODING, &certificate->pCertInfo->Issuer, CERT_X500_NAME_STR,
                   verdict->issuer, name_size);
    DWORD size = thumbprint_size;
    if (!hash_certificate(L"SHA256", 0, nullptr, certificate->pbCertEncoded,
                          certificate->cbCertEncoded, verdict->thumbprint, &size) ||
        size != thumbprint_size) {
        cannot_check(verdict, "the signer's thumbprint could not be computed (error %lu)",
                     static_cast<unsigned long>(GetLastError()));
        return;
    }
    verdict->has_signer = true;
}

// The signer that WinVerifyTrust left in its state, and its chain under the Authenticode
// policy where WinVerifyTrust passed it: Wine 8's WinVerifyTrust passes a SHA-256
// certificate whose root this machine doesn't trust.
void read_signer(HANDLE state, LONG result, signature_verdict* verdict) {
    verdict->result = result;
    CRYPT_PROVIDER_DATA* provider = state != nullptr ? provider_data_from_state(state) : nullptr;
    CRYPT_PROVIDER_SGNR* signer =
        provider != nullptr ? signer_from_chain(provider, 0, FALSE, 0) : nullptr;
    bool has_certificate = signer != nullptr && signer->csCertChain > 0 &&
                           signer->pasCertChain != nullptr &&
                           signer->pasCertChain[0].pCert != nullptr;
    if (has_certificate) {
        read_certificate(signer->pasCertChain[0].pCert, verdict);
    }
    if (!verdict->checked || result != 0) {
        return;
    }
    // Verified, with no signer or chain to show for it, is no verdict to trust.
    if (!has_certificate || signer->pChainContext == nullptr) {
        cannot_check(verdict, "%s", "WinVerifyTrust named no signer chain");
        return;
    }
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    if (!verify_chain_policy(CERT_CHAIN_POLICY_AUTHENTICODE, signer->pChainContext, &policy,
                             &status)) {
        cannot_check(verdict, "the signer's chain could not be checked (error %lu)",
                     static_cast<unsigned long>(GetLastError()));
        return;
    }
    verdict->result = static_cast<HRESULT>(status.dwError);
}

// WinVerifyTrust for the file or catalog member in data, with no user interface and nothing
// fetched from the network: no revocation check, and URLs from the cache only, which the
// documentation gives as what keeps it off the network. Its state is closed again.
void verify(WINTRUST_DATA* data, signature_verdict* verdict) {
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    data->cbStruct = sizeof *data;
    data->dwUIChoice = WTD_UI_NONE;
    data->fdwRevocationChecks = WTD_REVOKE_NONE;
    data->dwStateAction = WTD_STATEACTION_VERIFY;
    data->dwProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL;
    // INVALID_HANDLE_VALUE as the window: no interactive user, so no user interface at all.
    auto* no_window = reinterpret_cast<HWND>(static_cast<std::intptr_t>(-1));
    LONG result = win_verify_trust(no_window, &action, data);
    read_signer(data->hWVTStateData, result, verdict);
    data->dwStateAction = WTD_STATEACTION_CLOSE;
    win_verify_trust(no_window, &action, data);
}

bool is_unsigned(LONG result) {
    return result == TRUST_E_NOSIGNATURE || result == TRUST_E_SUBJECT_FORM_UNKNOWN ||
           result == TRUST_E_PROVIDER_UNKNOWN;
}

// The catalog database's hash of the file, into hash (hash_capacity bytes) and size: SHA-256
// where *sha256 asks for it and Windows has the forms for it and lets them be used, else
// SHA-1 (Wine's AcquireContext2 fails with error 120); *sha256 then says which. False, with
// the context released, where there is none.
bool catalog_hash(HANDLE file, bool* sha256, HCATADMIN* admin, BYTE* hash, DWORD* size,
                  signature_verdict* verdict) {
    // Both were set by find_functions, through pointers cppcheck doesn't follow.
    // cppcheck-suppress knownConditionTrueFalse
    *sha256 = *sha256 && acquire_catalog_admin2 != nullptr && catalog_hash2_of != nullptr &&
              acquire_catalog_admin2(admin, nullptr, L"SHA256", nullptr, 0);
    if (!*sha256 && !acquire_catalog_admin(admin, nullptr, 0)) {
        cannot_check(verdict, "the catalog database could not be opened (error %lu)",
                     static_cast<unsigned long>(GetLastError()));
        return false;
    }
    BOOL hashed = *sha256 ? catalog_hash2_of(*admin, file, size, hash, 0)
                          : catalog_hash_of(file, size, hash, 0);
    if (!hashed) {
        DWORD error = GetLastError();
        release_catalog_admin(*admin, 0);
        cannot_check(verdict, "the file's catalog hash could not be computed (error %lu)",
                     static_cast<unsigned long>(error));
        return false;
    }
    return true;
}

// kiv.dll as a member of the catalog found for its hash.
void verify_member(HANDLE file, const wchar_t* path, HCATADMIN admin, HCATINFO catalog, BYTE* hash,
                   DWORD size, signature_verdict* verdict) {
    CATALOG_INFO info{};
    info.cbStruct = sizeof info;
    if (!catalog_info(catalog, &info, 0)) {
        cannot_check(verdict, "the catalog's path could not be read (error %lu)",
                     static_cast<unsigned long>(GetLastError()));
        return;
    }
    // The member tag: the hash in hex, as the catalog lists its members.
    wchar_t tag[2 * hash_capacity + 1] = {};
    for (DWORD at = 0; at < size; ++at) {
        std::swprintf(tag + std::size_t{2} * at, 3, L"%02X", static_cast<unsigned>(hash[at]));
    }
    std::copy(std::begin(info.wszCatalogFile), std::end(info.wszCatalogFile), verdict->catalog);
    verdict->in_catalog = true;
    WINTRUST_CATALOG_INFO member{};
    member.cbStruct = sizeof member;
    member.pcwszCatalogFilePath = info.wszCatalogFile;
    member.pcwszMemberTag = tag;
    member.pcwszMemberFilePath = path;
    member.hMemberFile = file;
    member.pbCalculatedFileHash = hash;
    member.cbCalculatedFileHash = size;
    member.hCatAdmin = admin;
    WINTRUST_DATA data{};
    data.dwUnionChoice = WTD_CHOICE_CATALOG;
    data.pCatalog = &member;
    verify(&data, verdict);
}

// A file with no signature of its own may be listed in a security catalog, as a driver
// package's files often are: its signature is then the catalog's. The database finds a
// catalog by the hash it lists its members by: SHA-256 first, then SHA-1, which older
// catalogs use. None found leaves the file's own verdict.
void verify_in_catalog(HANDLE file, const wchar_t* path, signature_verdict* verdict) {
    for (bool sha256 = true;; sha256 = false) {
        HCATADMIN admin = nullptr;
        BYTE hash[hash_capacity];
        DWORD size = hash_capacity;
        if (!catalog_hash(file, &sha256, &admin, hash, &size, verdict)) {
            return;
        }
        HCATINFO catalog = catalog_from_hash(admin, hash, size, 0, nullptr);
        if (catalog != nullptr) {
            verify_member(file, path, admin, catalog, hash, size, verdict);
            release_catalog(admin, catalog, 0);
        }
        release_catalog_admin(admin, 0);
        if (catalog != nullptr || !sha256) {
            return;
        }
    }
}

void check_open_file(HANDLE file, const wchar_t* path, signature_verdict* verdict) {
    if (!find_functions(verdict)) {
        return;
    }
    WINTRUST_FILE_INFO file_info{};
    file_info.cbStruct = sizeof file_info;
    file_info.pcwszFilePath = path;
    file_info.hFile = file;
    WINTRUST_DATA data{};
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file_info;
    verify(&data, verdict);
    if (verdict->checked && is_unsigned(verdict->result)) {
        verify_in_catalog(file, path, verdict);
    }
}

} // namespace

HANDLE check_library_signature(const wchar_t* path, signature_verdict* verdict) {
    *verdict = signature_verdict{};
    verdict->checked = true;
    HANDLE file =
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        cannot_check(verdict, "the file could not be opened (error %lu)",
                     static_cast<unsigned long>(GetLastError()));
        return file;
    }
    check_open_file(file, path, verdict);
    return file;
}

const char* verdict_words(HRESULT result) {
    static char words[sizeof "not verified (0x00000000)"];
    switch (result) {
    case 0:
        return "verified";
    case TRUST_E_NOSIGNATURE:
    case TRUST_E_SUBJECT_FORM_UNKNOWN:
    case TRUST_E_PROVIDER_UNKNOWN:
        return "not signed (no signature in the file, none in a catalog)";
    case TRUST_E_BAD_DIGEST:
        return "changed since it was signed";
    case CERT_E_UNTRUSTEDROOT:
    case CERT_E_CHAINING:
        return "signed, but its chain does not reach a root this machine trusts";
    case CERT_E_EXPIRED:
        return "signed, but a certificate has expired or is not yet valid";
    case TRUST_E_EXPLICIT_DISTRUST:
        return "signed, but the signer is explicitly distrusted";
    case CERT_E_WRONG_USAGE:
        return "signed, but the certificate is not valid for code signing";
    default:
        std::snprintf(words, sizeof words, "not verified (0x%08lX)",
                      static_cast<unsigned long>(static_cast<DWORD>(result)));
        return words;
    }
}

const char* thumbprint_text(const unsigned char* thumbprint) {
    static char text[2 * thumbprint_size + 1];
    for (std::size_t at = 0; at < thumbprint_size; ++at) {
        std::snprintf(text + 2 * at, 3, "%02X", static_cast<unsigned>(thumbprint[at]));
    }
    return text;
}

void print_signature(const signature_verdict& verdict) {
    if (!verdict.checked) {
        std::printf("signature: could not be checked: %s\n", verdict.reason);
        return;
    }
    std::printf("signature: %s\n", verdict_words(verdict.result));
    if (verdict.in_catalog) {
        std::printf("catalog: %s\n", console_text(verdict.catalog));
    }
    if (verdict.has_signer) {
        std::printf("signer: %s\n", console_text(verdict.subject));
        std::printf("issuer: %s\n", console_text(verdict.issuer));
        std::printf("thumbprint: %s\n", thumbprint_text(verdict.thumbprint));
    }
}
