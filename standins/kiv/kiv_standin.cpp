// Stand-in for the card's board control library, for tests and the demo only: never
// shipped. One source for the native shared library and kiv.dll. It is told what to
// answer and where to log through the environment, so that the same test cases drive
// it in-process, as a native program and under Wine:
//   KIV_STANDIN_RESULT  result of the reset operations (default 0, success)
//   KIV_STANDIN_LOG     file to which every call is appended, one line each
//   KIV_STANDIN_LOG_ATTACH  set (Windows): its process attach is logged too, as "attach",
//                       to show whether any of its code ran at all
// Its exports on Windows are those of kiv.def. The Windows tests also build it as a
// kiv.dll that imports a DLL of its own (KIV_STANDIN_HELPER), and as one that loads a DLL
// of its own by name in pelk_kiv_init (KIV_STANDIN_COMPANION), to see where those are found.
#define KIV_BUILDING_LIBRARY
#include "kiv.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#ifndef KIV_STANDIN_LOG_PREFIX
#define KIV_STANDIN_LOG_PREFIX ""
#endif

#ifdef KIV_STANDIN_HELPER
#include "kiv_helper.h"
#endif

namespace {

#ifdef KIV_STANDIN_COMPANION
// As vendor libraries load their helpers: by name, once running. Without it every reset
// operation fails with the loader's error.
const char* companion_prefix = "";
DWORD companion_error = 0;

void load_companion() {
    HMODULE companion = LoadLibraryW(L"kiv_companion.dll");
    FARPROC prefix =
        companion != nullptr ? GetProcAddress(companion, "kiv_helper_log_prefix") : nullptr;
    if (prefix == nullptr) {
        companion_error = GetLastError();
        return;
    }
    companion_prefix = reinterpret_cast<const char* (*)()>(reinterpret_cast<void (*)()>(prefix))();
}
#endif

void log_call(const char* function, const int* argument) {
    const char* log_path = std::getenv("KIV_STANDIN_LOG");
    if (log_path == nullptr || *log_path == '\0') {
        return;
    }
    std::FILE* log = std::fopen(log_path, "a");
    if (log == nullptr) {
        return;
    }
#if defined(KIV_STANDIN_HELPER)
    const char* prefix = kiv_helper_log_prefix();
#elif defined(KIV_STANDIN_COMPANION)
    const char* prefix = companion_prefix;
#else
    const char* prefix = KIV_STANDIN_LOG_PREFIX;
#endif
    if (argument != nullptr) {
        std::fprintf(log, "%s%s %d\n", prefix, function, *argument);
    } else {
        std::fprintf(log, "%s%s\n", prefix, function);
    }
    std::fclose(log);
}

// Straight to the console, past the caller's stdio buffer, as a library built with a
// runtime of its own would write: output the tool left unflushed comes out after this.
void write_to_console(const char* text) {
#ifdef _WIN32
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(std::strlen(text)),
              &written, nullptr);
#else
    [[maybe_unused]] ssize_t written = write(STDOUT_FILENO, text, std::strlen(text));
#endif
}

int scripted_result() {
#ifdef KIV_STANDIN_COMPANION
    if (companion_error != 0) {
        return static_cast<int>(companion_error);
    }
#endif
    const char* result = std::getenv("KIV_STANDIN_RESULT");
    return result != nullptr ? static_cast<int>(std::strtol(result, nullptr, 10)) : 0;
}

} // namespace

#ifdef _WIN32
// NOLINTNEXTLINE(misc-use-internal-linkage): the loader calls it by this name
extern "C" BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH && std::getenv("KIV_STANDIN_LOG_ATTACH") != nullptr) {
        log_call("attach", nullptr);
    }
    return TRUE;
}
#endif

extern "C" {

KIV_API int pelk_kiv_init(void) {
#ifdef KIV_STANDIN_COMPANION
    load_companion();
#endif
    log_call("pelk_kiv_init", nullptr);
    return 0;
}

KIV_API int pelk_set_device(int device_type_code) {
    log_call("pelk_set_device", &device_type_code);
    return 0;
}

KIV_API int pelk_reset(int device_id) {
    log_call("pelk_reset", &device_id);
    return scripted_result();
}

KIV_API int pelk_reset_all(void) {
    log_call("pelk_reset_all", nullptr);
    return scripted_result();
}

KIV_API int pelk_discard(int device_id) {
    log_call("pelk_discard", &device_id);
    return scripted_result();
}

KIV_API int pelk_get_error_string(int error_code) {
    log_call("pelk_get_error_string", &error_code);
    char description[64];
    std::snprintf(description, sizeof description, "board control error %d\n", error_code);
    write_to_console(description);
    return 0;
}
}
