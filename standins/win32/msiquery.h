// Native stand-in for the part of <msiquery.h> that the MSI's custom action uses, as
// Windows Installer's documentation declares it: properties, and a record for a log line.
#ifndef PELK_STANDIN_MSIQUERY_H
#define PELK_STANDIN_MSIQUERY_H

#include <msi.h>

extern "C" {
UINT WINAPI MsiGetPropertyW(MSIHANDLE install, LPCWSTR name, LPWSTR value, LPDWORD length);
UINT WINAPI MsiSetPropertyW(MSIHANDLE install, LPCWSTR name, LPCWSTR value);
MSIHANDLE WINAPI MsiCreateRecord(UINT fields);
UINT WINAPI MsiRecordSetStringW(MSIHANDLE record, UINT field, LPCWSTR value);
int WINAPI MsiProcessMessage(MSIHANDLE install, INSTALLMESSAGE kind, MSIHANDLE record);
}

#endif
