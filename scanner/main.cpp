#include "smbus_scan.h"

#ifdef _WIN32
#include <cstdio>
#include <cstdlib>

#include "ascii_arguments.h"
#include "program_name.h"

// -municode's start-up code calls wmain: it stays external.
int wmain(int argc, wchar_t* argv[]) { // NOLINT(misc-use-internal-linkage)
    char** arguments = ascii_arguments(argc, argv);
    if (arguments == nullptr) {
        std::fputs("Error: out of memory\n", stderr);
        return -1;
    }
    char* program_name = argc > 0 ? program_name_for_console(argv[0]) : nullptr;
    if (program_name != nullptr) {
        arguments[0] = program_name;
    }
    int status = run_smbus_scan(argc, arguments, argv);
    std::free(program_name);
    std::free(static_cast<void*>(arguments));
    return status;
}
#else
int main(int argc, char* argv[]) {
    return run_smbus_scan(argc, argv, nullptr);
}
#endif
