#include "kiv_reset.h"
#ifdef _WIN32
#include <cstdio>
#include <cstdlib>

#include "ascii_arguments.h"
#include "kiv_loader.h"

int wmain(int argc, wchar_t* argv[]) {
    if (!load_board_library()) {
        return exit_library_missing;
    }
    char** arguments = ascii_arguments(argc, argv);
    if (arguments == nullptr) {
        std::fputs("kiv_reset: out of memory\n", stderr);
        return exit_rejected;
    }
    int status = run_kiv_reset(argc, arguments);
    std::free(arguments);
    return status;
}
#else
int main(int argc, char* argv[]) {
    return run_kiv_reset(argc, argv);
}
#endif
