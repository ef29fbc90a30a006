// Script of the native stand-ins for wintrust.dll, crypt32.dll and the registry, as
// kiv_reset's signature check and its RequiredSigners policy see them. Every call is logged
// in the kernel32 stand-in's call log; arguments that Windows documents otherwise, or that
// would let the check show a window, check revocation or fetch from the network, are
// violations there.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

// A signer certificate as WinVerifyTrust hands it over, and the SHA-256 of its encoded bytes
// as CryptHashCertificate2 gives it.
struct fake_certificate {
    std::wstring subject;
    std::wstring issuer;
    std::vector<unsigned char> encoded;
    std::vector<unsigned char> sha256;
};

// WinVerifyTrust's answer for the file itself, or for it as a member of its catalog: the
// code, the signer it leaves in its state (none: no signer certificate), whether that
// signer has a chain, and the chain policy's dwError for that chain.
struct fake_trust_answer {
    HRESULT result = TRUST_E_NOSIGNATURE;
    std::optional<fake_certificate> signer = std::nullopt;
    bool chain = true;
    DWORD chain_policy_error = 0;
};

// Back to: wintrust.dll and crypt32.dll loading from the system folder with every function,
// the catalog's SHA-256 forms working, a file with no signature of its own and in no catalog,
// kiv.dll opening, and no policy key.
void fake_trust_reset();
void fake_registry_reset();

// What LoadLibraryExW answers for "wintrust.dll" or "crypt32.dll": 0 loads it.
void fake_set_system_library_error(const std::string& name, DWORD error);
// A function that GetProcAddress does not find in wintrust.dll or crypt32.dll.
void fake_set_missing_trust_function(const std::string& name);
// CreateFileW's failure for kiv.dll (0: it opens).
void fake_set_library_open_error(DWORD error);
void fake_set_file_trust(const fake_trust_answer& answer);
// The catalog that lists kiv.dll (its path), by its SHA-256 hash or, as older catalogs do,
// its SHA-1 hash, and the answer for kiv.dll as its member; no path: no catalog lists it.
void fake_set_catalog(const std::optional<std::wstring>& path, const fake_trust_answer& answer,
                      bool by_sha256 = true);
// Fails one of the catalog functions, CertVerifyCertificateChainPolicy or
// CryptHashCertificate2, by name, with that error.
void fake_set_trust_failure(const std::string& function, DWORD error);
// The hashes that the catalog database computes for kiv.dll: SHA-256 and SHA-1.
std::vector<unsigned char> fake_catalog_sha256();
std::vector<unsigned char> fake_catalog_sha1();

// The policy key: 0 opens it, any other value fails the open with that error (2: absent).
void fake_set_policy_key_error(DWORD error);
// The RequiredSigners value under the key, as stored (a REG_MULTI_SZ with its nulls); no
// value: absent. get_error fails RegGetValueW with that error.
struct fake_registry_value {
    DWORD type;
    std::vector<wchar_t> data;
};
void fake_set_policy_value(const std::optional<fake_registry_value>& value, DWORD get_error = 0);

// For the loader host: loads and lookups in the two system DLLs, the file handle on kiv.dll.
HMODULE fake_load_system_library(LPCWSTR name, DWORD flags);
bool fake_is_system_library(HMODULE module);
const char* fake_system_library_name(HMODULE module);
FARPROC fake_trust_function(HMODULE module, LPCSTR name);
HANDLE fake_open_library_file(LPCWSTR name, DWORD access, DWORD share, DWORD disposition);
// Whether object is kiv.dll's open handle, which it then closes.
bool fake_close_library_file(HANDLE object);
bool fake_library_file_open();
// The search's default folders, as SetDefaultDllDirectories last set them.
void fake_note_default_directories(DWORD flags);
// Whether the policy key is open.
bool fake_policy_key_open();
// Contexts, states, handles and keys opened and not released or closed; empty when all went
// well.
std::vector<std::string> fake_trust_unreleased();
