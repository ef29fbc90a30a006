// Native stand-in for the part of <msi.h> that the MSI's custom action uses, as Windows
// Installer's documentation declares it: the handle type, the message type of its log
// lines, and closing a handle.
#ifndef PELK_STANDIN_MSI_H
#define PELK_STANDIN_MSI_H

#include <windows.h>

using MSIHANDLE = unsigned long;

enum INSTALLMESSAGE {
    INSTALLMESSAGE_INFO = 0x04000000L,
};

extern "C" UINT WINAPI MsiCloseHandle(MSIHANDLE any);

#endif
