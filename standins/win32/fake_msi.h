// Script and log of the native stand-in for the Windows Installer calls of the MSI's custom
// action: a test sets the install's properties and which call fails, runs the action, and
// reads back what it set and logged.
#pragma once

#include <msiquery.h>

#include <optional>
#include <string>
#include <vector>

// No property set, every call succeeding, an empty log.
void fake_msi_reset();
// The handle of the install that the action is given.
MSIHANDLE fake_msi_install();
void fake_msi_set_property(const std::wstring& name, const std::wstring& value);
// Makes MsiGetPropertyW of that property fail with that error.
void fake_msi_fail_get(const std::wstring& name, UINT error);
// Makes MsiSetPropertyW fail with that error.
void fake_msi_fail_set(UINT error);
// What the property holds now; nothing: never set.
std::optional<std::wstring> fake_msi_property(const std::wstring& name);
// The install's log: each INSTALLMESSAGE_INFO record, its template filled in.
const std::vector<std::wstring>& fake_msi_log();
// Calls that Windows Installer would refuse, such as one on a handle it never gave.
const std::vector<std::string>& fake_msi_violations();
