#include "smbus_scan.h"

#ifdef _WIN32
#include <cstdio>
#include <cstdlib>

#include <windows.h>

#include "ascii_arguments.h"

namespace {

// argv[0] is only ever printed (in the usage), never matched: it is given in the code page
// that the console shows rather than with question marks (without a console, code page 0:
// the ANSI code page). Null when it can't be converted.
char* console_text(const wchar_t* wide) {
    const UINT code_page = GetConsoleOutputCP();
    const int size = WideCharToMultiByte(code_page, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return nullptr;
    }
    auto* text = static_cast<char*>(std::malloc(static_cast<std::size_t>(size)));
    if (text != nullptr &&
        WideCharToMultiByte(code_page, 0, wide, -1, text, size, nullptr, nullptr) != size) {
        std::free(text);
        return nullptr;
    }
    return text;
}

} // namespace

int wmain(int argc, wchar_t* argv[]) {
    char** arguments = ascii_arguments(argc, argv);
    if (arguments == nullptr) {
        std::fputs("Error: out of memory\n", stderr);
        return -1;
    }
    char* program_name = argc > 0 ? console_text(argv[0]) : nullptr;
    if (program_name != nullptr) {
        arguments[0] = program_name;
    }
    int status = run_smbus_scan(argc, arguments);
    std::free(program_name);
    std::free(arguments);
    return status;
}
#else
int main(int argc, char* argv[]) {
    return run_smbus_scan(argc, argv);
}
#endif
