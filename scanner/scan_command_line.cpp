#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include <windows.h>

#include "ascii_arguments.h"
#include "presence_grid.h"
#include "probe_scan.h"
#include "smbus_scan.h"

std::int32_t start_address = default_start_address;
std::int32_t end_address = default_end_address;

namespace {

constexpr std::int32_t highest_address = SMBUS_ADDRESS_COUNT - 1;

void print_line(const char* text) {
    std::fputs(text, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void print_usage(const char* program_name) {
    std::printf("Usage: %s [s Address1 e Address2]\n", program_name);
    std::fflush(stdout);
    print_line("\t Address1 - Start device address");
    print_line("\t Address2 - End device address");
    print_line("Note: Some known write-only chips may lock SMBus if you scan all device on SMBus.");
    print_line("      Default only scan PELK card scale address");
}

int reject(const char* message, const char* program_name) {
    print_line(message);
    print_usage(program_name);
    return -1;
}

// Automatic base (0x.. hex, 0.. octal, else decimal), trailing junk ignored. Done in
// 64 bits and then bounded, so that the answer is the same where long is 32 bits; and a
// "0x" with no hex digit after it is refused, as the Windows runtime does, rather than
// read as 0 as glibc does.
bool convert_address(const char* text, std::int32_t* value) {
    const char* digits = text;
    while (std::isspace(static_cast<unsigned char>(*digits))) {
        ++digits;
    }
    if (*digits == '+' || *digits == '-') {
        ++digits;
    }
    if (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X') &&
        !std::isxdigit(static_cast<unsigned char>(digits[2]))) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    long long converted = std::strtoll(text, &end, 0);
    if (end == text || errno == ERANGE || converted < INT32_MIN || converted > INT32_MAX) {
        return false;
    }
    *value = static_cast<std::int32_t>(converted);
    return true;
}

// An address that holds a character beyond ASCII, as typed, is refused whole: the number would
// end at its '?' and name a range nobody typed (0x1８ read as 0x1). A typed '?' is only junk.
bool read_address(char* argv[], const wchar_t* const typed[], int index, std::int32_t* value) {
    bool beyond_ascii = false;
    if (typed != nullptr) {
        beyond_ascii = typed_beyond_ascii(typed[index]);
    } else {
        for (const char* text = argv[index]; *text != '\0'; ++text) {
            beyond_ascii = beyond_ascii || !is_ascii(static_cast<unsigned char>(*text));
        }
    }
    return !beyond_ascii && convert_address(argv[index], value);
}

struct open_error_hint {
    std::uint32_t error;
    const char* hint;
};

constexpr open_error_hint open_error_hints[] = {
    {ERROR_FILE_NOT_FOUND, " (the card's driver is not running)"},
    {ERROR_ACCESS_DENIED, " (access denied: run from an elevated prompt)"},
};

// Standard output keeps its one word, which scripts read; the reason goes to standard error.
void report_open_error(std::uint32_t error) {
    const open_error_hint* known =
        std::find_if(std::begin(open_error_hints), std::end(open_error_hints),
                     [error](const open_error_hint& hint) { return hint.error == error; });
    const char* hint = known != std::end(open_error_hints) ? known->hint : "";
    std::fflush(stdout);
    std::fprintf(stderr, "Error: the device could not be opened, error %lu%s\n",
                 static_cast<unsigned long>(error), hint);
}

int scan_and_print() {
    std::int32_t presence_table[SMBUS_ADDRESS_COUNT] = {};
    scan_outcome outcome = probe_scan(start_address, end_address, presence_table);
    if (!outcome.device_opened) {
        report_open_error(outcome.open_error);
        return -1;
    }
    print_presence_grid(presence_table);
    int status = 0;
    if (outcome.stopped_early) {
        // The unprobed addresses read as absent in the grid: say why, and fail the run.
        std::fflush(stdout);
        std::fprintf(stderr, "Error: the scan stopped at address 0x%02x, error %lu\n",
                     static_cast<unsigned>(outcome.stop_address),
                     static_cast<unsigned long>(outcome.stop_error));
        status = -1;
    }
    // The grid is the scan's only result: one lost on a full disk or a closed pipe fails the run.
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        std::fputs("Error: the grid could not be written\n", stderr);
        status = -1;
    }
    return status;
}

} // namespace

int run_smbus_scan(int argc, char* argv[], const wchar_t* const typed[]) {
    const char* program_name = (argc > 0 && argv[0] != nullptr) ? argv[0] : "smbus_scan";
    if (argc == 1) {
        return scan_and_print();
    }
    // Only as the whole command line: anywhere else -v keeps its old meaning.
    if (argc == 2 && (std::strcmp(argv[1], "-v") == 0 || std::strcmp(argv[1], "--version") == 0)) {
        print_line("smbus_scan " PELK_TOOL_VERSION);
        return 0;
    }
    if (argc != 5) {
        print_usage(program_name);
        return -1;
    }

    if (argv[1][0] != 's') {
        return reject("Error: the start address parameter error, please check it and try again",
                      program_name);
    }
    std::int32_t converted = 0;
    if (!read_address(argv, typed, 2, &converted)) {
        return reject("Error: the start address parameter can't be recognized", program_name);
    }
    start_address = converted;

    if (argv[3][0] != 'e') {
        return reject("Error: the end address parameter error, please check it and try again",
                      program_name);
    }
    // Going on with the default end would probe a range nobody asked for.
    if (!read_address(argv, typed, 4, &converted)) {
        return reject("Error: the end address parameter can't be recognized", program_name);
    }
    end_address = converted;

    if (end_address > highest_address || start_address < 0) {
        return reject("Error: The address is out of scale", program_name);
    }
    if (end_address < start_address) {
        return reject("Error: The start address is big", program_name);
    }
    return scan_and_print();
}
