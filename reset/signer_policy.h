// The administrator's requirement on kiv.dll's signer: the RequiredSigners policy value, the
// one registry value kiv_reset reads, and whether a signature meets it.
#pragma once

#include <windows.h>

#include "kiv_signature.h"

enum class signer_policy {
    absent,    // no key or no value: no check
    set,       // a list of thumbprints, read
    unreadable // said why on standard error: the run stops
};

// Reads HKLM\SOFTWARE\Policies\PELK card service tools, value RequiredSigners, in the 64-bit
// view: REG_MULTI_SZ, or REG_SZ, of SHA-256 thumbprints. A value that can't be read, of
// another type, with no thumbprint, or with a string that isn't one, is unreadable.
signer_policy read_signer_policy();

// Whether a signature verified as verdict says is by a signer that the policy read lists.
bool meets_signer_policy(const signature_verdict& verdict);

// Says on standard error why kiv.dll at path, checked as verdict says, is not let run.
void say_signer_policy_unmet(const wchar_t* path, const signature_verdict& verdict);

// With the DLL search narrowed to the system folder and the policy set: opens and checks
// kiv.dll at path, and returns its handle, to be held until kiv.dll is loaded, so that the
// file loaded is the file checked; or says why not and returns nullptr.
HANDLE hold_required_library(const wchar_t* path);
