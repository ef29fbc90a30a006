// Native stand-in for the part of <delayimp.h> that kiv_reset's loader uses: the delay-load
// notification hook, which the kernel32 stand-in owns and which its tests call as the
// delay-load helper would.
#ifndef PELK_STANDIN_DELAYIMP_H
#define PELK_STANDIN_DELAYIMP_H

#include <windows.h>

struct DelayLoadInfo {
    DWORD cb;
    const void* pidd;
    FARPROC* ppfn;
    LPCSTR szDll;
};
using PDelayLoadInfo = DelayLoadInfo*;
using PfnDliHook = FARPROC(WINAPI*)(unsigned notification, PDelayLoadInfo info);

enum {
    dliStartProcessing,
    dliNotePreLoadLibrary,
    dliNotePreGetProcAddress,
    dliFailLoadLib,
    dliFailGetProc,
    dliNoteEndProcessing
};

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): Windows' name
extern "C" PfnDliHook __pfnDliNotifyHook2;

#endif
