#include "smbus_scan.h"

int main(int argc, char* argv[]) {
    return run_smbus_scan(argc, argv);
}
