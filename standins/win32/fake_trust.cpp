// wintrust.dll and crypt32.dll as kiv_reset's signature check sees them, with the answers
// Windows documents, and kiv.dll's file handle. Each function is handed out by the loader
// host's GetProcAddress; none is linked in by name, as none is on Windows.
#include "fake_trust.h"

#include <wincrypt.h>
#include <wintrust.h>

#include <mscat.h>
#include <softpub.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <map>
#include <set>

#include "fake_kernel32.h"

namespace {

const auto wintrust_module = reinterpret_cast<HMODULE>(static_cast<std::intptr_t>(0x7ffa0000));
const auto crypt32_module = reinterpret_cast<HMODULE>(static_cast<std::intptr_t>(0x7ffb0000));
void* const library_file = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(0xf11e));
void* const trust_state = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(0x57a7e));
void* const catalog_admin = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(0xad1));
void* const catalog_context = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(0xca7));
const auto provider_data =
    reinterpret_cast<CRYPT_PROVIDER_DATA*>(static_cast<std::intptr_t>(0x9d47a));
const auto chain_context =
    reinterpret_cast<PCCERT_CHAIN_CONTEXT>(static_cast<std::intptr_t>(0xc4a1));

std::map<std::string, DWORD> library_errors;
std::set<std::string> missing_functions;
DWORD open_error = 0;
fake_trust_answer file_answer;
std::optional<std::wstring> catalog_path;
fake_trust_answer member_answer;
bool catalog_by_sha256 = true;
std::map<std::string, DWORD> failures;
DWORD default_directories = 0;

bool file_open = false;
bool state_open = false;
bool admin_open = false;
bool admin_sha256 = false;
bool catalog_open = false;
// The answer whose signer the open state holds.
const fake_trust_answer* state_answer = nullptr;

// The signer as WinVerifyTrust's provider data holds it.
CERT_INFO certificate_info;
CERT_CONTEXT certificate;
CRYPT_PROVIDER_CERT provider_certificate;
CRYPT_PROVIDER_SGNR provider_signer;

std::vector<unsigned char> counting_bytes(unsigned char first, std::size_t size) {
    std::vector<unsigned char> bytes(size);
    for (std::size_t at = 0; at < size; ++at) {
        bytes[at] = static_cast<unsigned char>(first + at);
    }
    return bytes;
}

std::string hex(const BYTE* bytes, DWORD size) {
    std::string text;
    for (DWORD at = 0; at < size; ++at) {
        text += fake_format("%02X", static_cast<unsigned>(bytes[at]));
    }
    return text;
}

bool fail(DWORD error) {
    fake_set_last_error(error);
    return false;
}

// The error a row scripts for a function that answers FALSE on failure; 0: it succeeds.
DWORD scripted_failure(const char* function) {
    auto found = failures.find(function);
    return found != failures.end() ? found->second : 0;
}

void hold_signer(const fake_trust_answer& answer) {
    state_answer = &answer;
    if (!answer.signer) {
        return;
    }
    const fake_certificate& signer = *answer.signer;
    certificate_info = {};
    certificate_info.Subject = {
        static_cast<DWORD>(signer.subject.size() * sizeof(wchar_t)),
        reinterpret_cast<BYTE*>(const_cast<wchar_t*>(signer.subject.data()))};
    certificate_info.Issuer = {static_cast<DWORD>(signer.issuer.size() * sizeof(wchar_t)),
                               reinterpret_cast<BYTE*>(const_cast<wchar_t*>(signer.issuer.data()))};
    certificate = {X509_ASN_ENCODING, const_cast<BYTE*>(signer.encoded.data()),
                   static_cast<DWORD>(signer.encoded.size()), &certificate_info, nullptr};
    provider_certificate = {sizeof provider_certificate, &certificate};
    provider_signer = {};
    provider_signer.cbStruct = sizeof provider_signer;
    provider_signer.csCertChain = 1;
    provider_signer.pasCertChain = &provider_certificate;
    provider_signer.pChainContext = answer.chain ? chain_context : nullptr;
}

// The arguments that keep the check off the screen and off the network, and the action.
void check_no_ui_no_network(HWND window, GUID* action, const WINTRUST_DATA* data) {
    const GUID verify_v2 = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    if (action == nullptr || std::memcmp(action, &verify_v2, sizeof verify_v2) != 0) {
        fake_violation(
            "WinVerifyTrust with an action other than WINTRUST_ACTION_GENERIC_VERIFY_V2");
    }
    // INVALID_HANDLE_VALUE as a window: no interactive user.
    if (window != reinterpret_cast<HWND>(static_cast<std::intptr_t>(-1)) && window != nullptr) {
        fake_violation("WinVerifyTrust with a window");
    }
    if (data->cbStruct != sizeof *data || data->dwUIChoice != WTD_UI_NONE) {
        fake_violation("WinVerifyTrust that may show a window");
    }
    if (data->fdwRevocationChecks != WTD_REVOKE_NONE ||
        (data->dwProvFlags & WTD_REVOCATION_CHECK_NONE) == 0) {
        fake_violation("WinVerifyTrust that checks revocation");
    }
    if ((data->dwProvFlags & WTD_CACHE_ONLY_URL_RETRIEVAL) == 0) {
        fake_violation("WinVerifyTrust that may fetch from the network");
    }
}

LONG verify_file(const WINTRUST_FILE_INFO* info) {
    fake_log_call("WinVerifyTrust(file " + fake_narrow(info->pcwszFilePath) + ")");
    if (info->cbStruct != sizeof *info || !file_open || info->hFile != library_file) {
        fake_violation("WinVerifyTrust of a file not through kiv.dll's open handle");
    }
    hold_signer(file_answer);
    return file_answer.result;
}

LONG verify_member(const WINTRUST_CATALOG_INFO* info) {
    fake_log_call("WinVerifyTrust(catalog " + fake_narrow(info->pcwszCatalogFilePath) +
                  ", member " + fake_narrow(info->pcwszMemberFilePath) + ")");
    std::vector<unsigned char> hash = admin_sha256 ? fake_catalog_sha256() : fake_catalog_sha1();
    std::wstring tag;
    for (char digit : hex(hash.data(), static_cast<DWORD>(hash.size()))) {
        tag += static_cast<wchar_t>(digit);
    }
    if (info->cbStruct != sizeof *info || !catalog_path ||
        info->pcwszCatalogFilePath != *catalog_path || !file_open ||
        info->hMemberFile != library_file || info->hCatAdmin != catalog_admin ||
        info->cbCalculatedFileHash != hash.size() ||
        std::memcmp(info->pbCalculatedFileHash, hash.data(), hash.size()) != 0 ||
        info->pcwszMemberTag == nullptr || info->pcwszMemberTag != tag) {
        fake_violation("WinVerifyTrust of a catalog member not as the catalog database gave it");
    }
    hold_signer(member_answer);
    return member_answer.result;
}

LONG WINAPI win_verify_trust(HWND window, GUID* action, LPVOID argument) {
    auto* data = static_cast<WINTRUST_DATA*>(argument);
    if (data->dwStateAction == WTD_STATEACTION_CLOSE) {
        fake_log_call("WinVerifyTrust(close)");
        if (!state_open || data->hWVTStateData != trust_state) {
            fake_violation("WinVerifyTrust closing a state that is not open");
        }
        state_open = false;
        data->hWVTStateData = nullptr;
        return 0;
    }
    if (data->dwStateAction != WTD_STATEACTION_VERIFY) {
        fake_violation("WinVerifyTrust without a state to read the signer from");
    }
    if (state_open) {
        fake_violation("WinVerifyTrust with the last state still open");
    }
    check_no_ui_no_network(window, action, data);
    if (default_directories != LOAD_LIBRARY_SEARCH_SYSTEM32) {
        fake_violation("WinVerifyTrust with the DLL search beyond the system folder");
    }
    LONG result = data->dwUnionChoice == WTD_CHOICE_FILE      ? verify_file(data->pFile)
                  : data->dwUnionChoice == WTD_CHOICE_CATALOG ? verify_member(data->pCatalog)
                                                              : TRUST_E_SUBJECT_FORM_UNKNOWN;
    state_open = true;
    data->hWVTStateData = trust_state;
    return result;
}

CRYPT_PROVIDER_DATA* WINAPI provider_data_from_state(HANDLE state) {
    fake_log_call("WTHelperProvDataFromStateData()");
    if (!state_open || state != trust_state) {
        fake_violation("WTHelperProvDataFromStateData of a state that is not open");
        return nullptr;
    }
    return provider_data;
}

CRYPT_PROVIDER_SGNR* WINAPI signer_from_chain(CRYPT_PROVIDER_DATA* provider, DWORD signer,
                                              BOOL counter_signer, DWORD counter_signer_index) {
    fake_log_call("WTHelperGetProvSignerFromChain()");
    if (!state_open || provider != provider_data || signer != 0 || counter_signer ||
        counter_signer_index != 0) {
        fake_violation("WTHelperGetProvSignerFromChain of other than the first signer");
    }
    return state_answer != nullptr && state_answer->signer ? &provider_signer : nullptr;
}

BOOL WINAPI acquire_admin(HCATADMIN* admin, const GUID* subsystem, DWORD flags) {
    fake_log_call("CryptCATAdminAcquireContext()");
    if (subsystem != nullptr || flags != 0 || admin_open) {
        fake_violation("CryptCATAdminAcquireContext not as documented for any catalog");
    }
    if (DWORD error = scripted_failure("CryptCATAdminAcquireContext"); error != 0) {
        return fail(error);
    }
    admin_open = true;
    admin_sha256 = false;
    *admin = catalog_admin;
    return 1;
}

BOOL WINAPI acquire_admin2(HCATADMIN* admin, const GUID* subsystem, LPCWSTR algorithm,
                           const CERT_STRONG_SIGN_PARA* policy, DWORD flags) {
    fake_log_call("CryptCATAdminAcquireContext2(" + fake_narrow(algorithm) + ")");
    if (subsystem != nullptr || policy != nullptr || flags != 0 || admin_open ||
        algorithm == nullptr || std::wcscmp(algorithm, L"SHA256") != 0) {
        fake_violation("CryptCATAdminAcquireContext2 not as documented for SHA-256");
    }
    if (DWORD error = scripted_failure("CryptCATAdminAcquireContext2"); error != 0) {
        return fail(error);
    }
    admin_open = true;
    admin_sha256 = true;
    *admin = catalog_admin;
    return 1;
}

// As documented: with too small a buffer, the size it needs and ERROR_INSUFFICIENT_BUFFER.
BOOL hash_out(const std::vector<unsigned char>& hash, DWORD* size, BYTE* buffer) {
    if (buffer == nullptr || *size < hash.size()) {
        *size = static_cast<DWORD>(hash.size());
        return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::copy(hash.begin(), hash.end(), buffer);
    *size = static_cast<DWORD>(hash.size());
    return 1;
}

BOOL WINAPI hash_from_handle(HANDLE file, DWORD* size, BYTE* hash, DWORD flags) {
    fake_log_call("CryptCATAdminCalcHashFromFileHandle()");
    if (!file_open || file != library_file || flags != 0) {
        fake_violation("CryptCATAdminCalcHashFromFileHandle not of kiv.dll's open handle");
    }
    if (DWORD error = scripted_failure("CryptCATAdminCalcHashFromFileHandle"); error != 0) {
        return fail(error);
    }
    return hash_out(fake_catalog_sha1(), size, hash);
}

BOOL WINAPI hash2_from_handle(HCATADMIN admin, HANDLE file, DWORD* size, BYTE* hash, DWORD flags) {
    fake_log_call("CryptCATAdminCalcHashFromFileHandle2()");
    if (!admin_open || !admin_sha256 || admin != catalog_admin || !file_open ||
        file != library_file || flags != 0) {
        fake_violation("CryptCATAdminCalcHashFromFileHandle2 not of kiv.dll's open handle "
                       "in a SHA-256 context");
    }
    if (DWORD error = scripted_failure("CryptCATAdminCalcHashFromFileHandle2"); error != 0) {
        return fail(error);
    }
    return hash_out(fake_catalog_sha256(), size, hash);
}

HCATINFO WINAPI catalog_from_hash(HCATADMIN admin, BYTE* hash, DWORD size, DWORD flags,
                                  HCATINFO* previous) {
    fake_log_call("CryptCATAdminEnumCatalogFromHash()");
    std::vector<unsigned char> expected =
        admin_sha256 ? fake_catalog_sha256() : fake_catalog_sha1();
    if (!admin_open || admin != catalog_admin || flags != 0 || previous != nullptr ||
        size != expected.size() || std::memcmp(hash, expected.data(), size) != 0) {
        fake_violation("CryptCATAdminEnumCatalogFromHash not of the hash its context gave");
    }
    // The database finds a catalog by the hash that it lists its members by.
    if (!catalog_path || admin_sha256 != catalog_by_sha256) {
        fake_set_last_error(ERROR_NOT_FOUND);
        return nullptr;
    }
    catalog_open = true;
    return catalog_context;
}

BOOL WINAPI catalog_info(HCATINFO catalog, CATALOG_INFO* info, DWORD flags) {
    fake_log_call("CryptCATCatalogInfoFromContext()");
    if (!catalog_open || !catalog_path || catalog != catalog_context || flags != 0 ||
        info->cbStruct != sizeof *info) {
        fake_violation("CryptCATCatalogInfoFromContext not of the catalog found");
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (DWORD error = scripted_failure("CryptCATCatalogInfoFromContext"); error != 0) {
        return fail(error);
    }
    std::wcsncpy(info->wszCatalogFile, catalog_path->c_str(), MAX_PATH - 1);
    return 1;
}

BOOL WINAPI release_catalog(HCATADMIN admin, HCATINFO catalog, DWORD flags) {
    fake_log_call("CryptCATAdminReleaseCatalogContext()");
    if (!catalog_open || admin != catalog_admin || catalog != catalog_context || flags != 0) {
        fake_violation("CryptCATAdminReleaseCatalogContext of a catalog not found");
    }
    catalog_open = false;
    return 1;
}

BOOL WINAPI release_admin(HCATADMIN admin, DWORD flags) {
    fake_log_call("CryptCATAdminReleaseContext()");
    if (!admin_open || admin != catalog_admin || flags != 0) {
        fake_violation("CryptCATAdminReleaseContext of a context not acquired");
    }
    admin_open = false;
    return 1;
}

BOOL WINAPI verify_chain_policy(LPCSTR policy, PCCERT_CHAIN_CONTEXT chain,
                                PCERT_CHAIN_POLICY_PARA para, PCERT_CHAIN_POLICY_STATUS status) {
    fake_log_call("CertVerifyCertificateChainPolicy()");
    if (policy != CERT_CHAIN_POLICY_AUTHENTICODE || chain != chain_context ||
        para->cbSize != sizeof *para || status->cbSize != sizeof *status) {
        fake_violation("CertVerifyCertificateChainPolicy not the Authenticode policy on the "
                       "signer's chain");
    }
    if (DWORD error = scripted_failure("CertVerifyCertificateChainPolicy"); error != 0) {
        return fail(error);
    }
    status->dwError = state_answer != nullptr ? state_answer->chain_policy_error : 0;
    return 1;
}

DWORD WINAPI name_to_string(DWORD encoding, PCERT_NAME_BLOB name, DWORD type, LPWSTR text,
                            DWORD size) {
    fake_log_call("CertNameToStrW()");
    if (encoding != X509_ASN_ENCODING || type != CERT_X500_NAME_STR) {
        fake_violation("CertNameToStrW in other than the X.500 form");
    }
    std::wstring value(reinterpret_cast<const wchar_t*>(name->pbData),
                       name->cbData / sizeof(wchar_t));
    if (text == nullptr || size == 0) {
        return static_cast<DWORD>(value.size() + 1);
    }
    // As documented: cut short to the buffer, with its null.
    std::size_t kept = std::min<std::size_t>(value.size(), size - 1);
    std::wmemcpy(text, value.data(), kept);
    text[kept] = L'\0';
    return static_cast<DWORD>(kept + 1);
}

BOOL WINAPI hash_certificate(LPCWSTR algorithm, DWORD flags, void* reserved, const BYTE* encoded,
                             DWORD encoded_size, BYTE* hash, DWORD* hash_size) {
    fake_log_call("CryptHashCertificate2(" + fake_narrow(algorithm) + ")");
    if (flags != 0 || reserved != nullptr) {
        fake_violation("CryptHashCertificate2 with flags or its reserved argument");
    }
    bool of_signer = state_answer != nullptr && state_answer->signer &&
                     encoded == state_answer->signer->encoded.data() &&
                     encoded_size == state_answer->signer->encoded.size();
    if (algorithm == nullptr || std::wcscmp(algorithm, L"SHA256") != 0 || !of_signer) {
        fake_violation("CryptHashCertificate2 other than SHA-256 of the signer's encoded bytes");
        return fail(static_cast<DWORD>(NTE_BAD_ALGID));
    }
    if (DWORD error = scripted_failure("CryptHashCertificate2"); error != 0) {
        return fail(error);
    }
    return hash_out(state_answer->signer->sha256, hash_size, hash);
}

template <typename Function> FARPROC as_farproc(Function function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

} // namespace

void fake_trust_reset() {
    library_errors.clear();
    missing_functions.clear();
    open_error = 0;
    file_answer = {};
    catalog_path.reset();
    member_answer = {};
    catalog_by_sha256 = true;
    failures.clear();
    default_directories = 0;
    file_open = state_open = admin_open = admin_sha256 = catalog_open = false;
    state_answer = nullptr;
}

void fake_set_system_library_error(const std::string& name, DWORD error) {
    library_errors[name] = error;
}
void fake_set_missing_trust_function(const std::string& name) {
    missing_functions.insert(name);
}
void fake_set_library_open_error(DWORD error) {
    open_error = error;
}
void fake_set_file_trust(const fake_trust_answer& answer) {
    file_answer = answer;
}
void fake_set_catalog(const std::optional<std::wstring>& path, const fake_trust_answer& answer,
                      bool by_sha256) {
    catalog_path = path;
    member_answer = answer;
    catalog_by_sha256 = by_sha256;
}
void fake_set_trust_failure(const std::string& function, DWORD error) {
    failures[function] = error;
}
std::vector<unsigned char> fake_catalog_sha256() {
    return counting_bytes(0xa0, 32);
}
std::vector<unsigned char> fake_catalog_sha1() {
    return counting_bytes(0x10, 20);
}

HMODULE fake_load_system_library(LPCWSTR name, DWORD flags) {
    std::string library = fake_narrow(name);
    if (flags != LOAD_LIBRARY_SEARCH_SYSTEM32) {
        fake_violation(library + " loaded from other than the system folder alone");
    }
    // It loads further DLLs by name as it works: from the system folder alone.
    if (default_directories != LOAD_LIBRARY_SEARCH_SYSTEM32) {
        fake_violation(library + " loaded with the DLL search beyond the system folder");
    }
    auto error = library_errors.find(library);
    if (error != library_errors.end() && error->second != 0) {
        fake_set_last_error(error->second);
        return nullptr;
    }
    if (library == "wintrust.dll") {
        return wintrust_module;
    }
    if (library == "crypt32.dll") {
        return crypt32_module;
    }
    fake_violation("a system DLL the signature check does not use: " + library);
    fake_set_last_error(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

bool fake_is_system_library(HMODULE module) {
    return module == wintrust_module || module == crypt32_module;
}
const char* fake_system_library_name(HMODULE module) {
    return module == wintrust_module ? "wintrust" : "crypt32";
}

FARPROC fake_trust_function(HMODULE module, LPCSTR name) {
    static const std::map<std::string, FARPROC> wintrust_functions = {
        {"WinVerifyTrust", as_farproc(win_verify_trust)},
        {"WTHelperProvDataFromStateData", as_farproc(provider_data_from_state)},
        {"WTHelperGetProvSignerFromChain", as_farproc(signer_from_chain)},
        {"CryptCATAdminAcquireContext", as_farproc(acquire_admin)},
        {"CryptCATAdminAcquireContext2", as_farproc(acquire_admin2)},
        {"CryptCATAdminCalcHashFromFileHandle", as_farproc(hash_from_handle)},
        {"CryptCATAdminCalcHashFromFileHandle2", as_farproc(hash2_from_handle)},
        {"CryptCATAdminEnumCatalogFromHash", as_farproc(catalog_from_hash)},
        {"CryptCATCatalogInfoFromContext", as_farproc(catalog_info)},
        {"CryptCATAdminReleaseCatalogContext", as_farproc(release_catalog)},
        {"CryptCATAdminReleaseContext", as_farproc(release_admin)},
    };
    static const std::map<std::string, FARPROC> crypt32_functions = {
        {"CertVerifyCertificateChainPolicy", as_farproc(verify_chain_policy)},
        {"CertNameToStrW", as_farproc(name_to_string)},
        {"CryptHashCertificate2", as_farproc(hash_certificate)},
    };
    const auto& functions = module == wintrust_module ? wintrust_functions : crypt32_functions;
    auto found = functions.find(name);
    if (found == functions.end() || missing_functions.count(name) != 0) {
        fake_set_last_error(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    fake_set_last_error(fake_poisoned_error);
    return found->second;
}

HANDLE fake_open_library_file(LPCWSTR name, DWORD access, DWORD share, DWORD disposition) {
    std::wstring path = name;
    bool is_library = path.size() >= 8 && path.compare(path.size() - 8, 8, L"\\kiv.dll") == 0;
    if (!is_library) {
        fake_set_last_error(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // Only readers may share it while it is open: no one may write, rename or delete it.
    if (access != GENERIC_READ || share != FILE_SHARE_READ || disposition != OPEN_EXISTING) {
        fake_violation("kiv.dll opened other than to read, shared with readers only");
    }
    if (file_open) {
        fake_violation("kiv.dll opened a second time");
    }
    if (open_error != 0) {
        fake_set_last_error(open_error);
        return INVALID_HANDLE_VALUE;
    }
    file_open = true;
    fake_set_last_error(fake_poisoned_error);
    return library_file;
}

bool fake_close_library_file(HANDLE object) {
    if (object != library_file || !file_open) {
        return false;
    }
    fake_log_call("CloseHandle(kiv.dll)");
    file_open = false;
    return true;
}

bool fake_library_file_open() {
    return file_open;
}

void fake_note_default_directories(DWORD flags) {
    default_directories = flags;
}

std::vector<std::string> fake_trust_unreleased() {
    std::vector<std::string> open;
    if (state_open) {
        open.emplace_back("WinVerifyTrust state");
    }
    if (admin_open) {
        open.emplace_back("catalog admin context");
    }
    if (catalog_open) {
        open.emplace_back("catalog context");
    }
    if (file_open) {
        open.emplace_back("kiv.dll's handle");
    }
    if (fake_policy_key_open()) {
        open.emplace_back("the policy key");
    }
    return open;
}
