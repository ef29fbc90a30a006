// A DLL of a stand-in kiv.dll's own, for the Windows tests of where kiv.dll's own DLLs are
// found: every log line of that kiv.dll starts with this prefix. As kiv_helper.dll the
// dependent kiv.dll imports it; as kiv_companion.dll the companion kiv.dll loads it by name
// while it runs.
#pragma once

#ifdef KIV_HELPER_BUILDING
#define KIV_HELPER_API __declspec(dllexport)
#else
#define KIV_HELPER_API __declspec(dllimport)
#endif

extern "C" KIV_HELPER_API const char* kiv_helper_log_prefix(void);
