#include "kiv_reset.h"
#ifdef _WIN32
#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "ascii_arguments.h"
#include "kiv_loader.h"
#include "kiv_version.h"

namespace {

// -v or --version as the only argument. Decided before kiv.dll is loaded, so that none of
// its code runs for it; anywhere else -v is scanned as any other option.
bool asks_for_version(int argc, wchar_t* const argv[]) {
    return argc == 2 &&
           (std::wcscmp(argv[1], L"-v") == 0 || std::wcscmp(argv[1], L"--version") == 0);
}

} // namespace

// -municode's start-up code calls wmain: it stays external.
int wmain(int argc, wchar_t* argv[]) { // NOLINT(misc-use-internal-linkage)
    if (asks_for_version(argc, argv)) {
        return show_version();
    }
    char** arguments = ascii_arguments(argc, argv);
    if (arguments == nullptr) {
        std::fputs(out_of_memory_message, stderr);
        return exit_rejected;
    }
    // kiv.dll is loaded only once the whole line has been read and accepted.
    int status = run_kiv_reset(argc, arguments, load_board_library);
    std::free(static_cast<void*>(arguments));
    return status;
}
#else
int main(int argc, char* argv[]) {
    return run_kiv_reset(argc, argv, nullptr);
}
#endif
