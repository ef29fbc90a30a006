#include "kiv_reset.h"
#ifdef _WIN32
#include "kiv_loader.h"
#endif

int main(int argc, char* argv[]) {
#ifdef _WIN32
    if (!load_board_library()) {
        return exit_library_missing;
    }
#endif
    return run_kiv_reset(argc, argv);
}
