// Who signed kiv.dll, as Windows sees it: WinVerifyTrust's verdict on the file or on the
// security catalog that lists it, the signer's chain under the Authenticode policy, and the
// signer certificate's names and SHA-256 thumbprint. Nothing goes to the network, and none of
// kiv.dll's code runs.
#pragma once

#include <windows.h>

#include <cstddef>

constexpr std::size_t thumbprint_size = 32; // SHA-256
constexpr std::size_t reason_size = 160;
constexpr std::size_t name_size = 512;

struct signature_verdict {
    // False where the check itself could not be made; reason says why (no verdict then).
    bool checked;
    char reason[reason_size];
    // 0: verified; else WinVerifyTrust's answer or the chain policy's.
    HRESULT result;
    // Whether the signature is a security catalog's, and that catalog's path.
    bool in_catalog;
    WCHAR catalog[MAX_PATH];
    // Whether there is a signer certificate, with its names and thumbprint.
    bool has_signer;
    wchar_t subject[name_size];
    wchar_t issuer[name_size];
    unsigned char thumbprint[thumbprint_size];
};

// With the process's DLL search narrowed to the system folder: opens kiv.dll at path to be
// read, shared with readers only, so that no one can change, rename or delete it while the
// handle is open, and checks its signature through that handle into verdict. Returns the
// handle, which the caller closes (after loading kiv.dll, where it loads it), or
// INVALID_HANDLE_VALUE where the file could not be opened.
HANDLE check_library_signature(const wchar_t* path, signature_verdict* verdict);

// The verdict in the guide's words.
const char* verdict_words(HRESULT result);
// 64 upper-case hex digits.
const char* thumbprint_text(const unsigned char* thumbprint);
// kiv_reset -v's lines for the verdict, on standard output.
void print_signature(const signature_verdict& verdict);
