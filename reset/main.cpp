#include "kiv_reset.h"

int main(int argc, char* argv[]) {
    return run_kiv_reset(argc, argv);
}
