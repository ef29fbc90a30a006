#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "kiv.h"
#include "kiv_reset.h"
#include "option_scanner.h"

namespace {

constexpr int all_devices = 255;

struct device_type {
    const char* word;
    int device_type_code;
};

constexpr device_type device_types[] = {
    {"mcu", 1},
    {"io", 0},
    {"hid", 2},
    {"usb", 3},
};

const device_type* find_device_type(const char* word) {
    for (const device_type& type : device_types) {
        if (std::strcmp(word, type.word) == 0) {
            return &type;
        }
    }
    return nullptr;
}

void print_usage() {
    std::fputs("Usage: kiv_reset -d [io|mcu|hid]\n"
               "                 -i [device_id], reset device id\n"
               "                 -h help\n",
               stderr);
}

int reject(const char* pattern, const char* word) {
    std::fprintf(stderr, pattern, word);
    print_usage();
    return exit_rejected;
}

// Optional leading white space, an optional '+', then decimal digits only, within 32 bits:
// a typo must not turn into device 0.
bool parse_device_id(const char* text, int* device_id) {
    while (*text != '\0' && std::isspace(static_cast<unsigned char>(*text))) {
        ++text;
    }
    if (*text == '+') {
        ++text;
    }
    if (*text == '\0') {
        return false;
    }
    std::int64_t value = 0;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') {
            return false;
        }
        value = value * 10 + (*text - '0');
        if (value > INT32_MAX) {
            return false;
        }
    }
    *device_id = static_cast<int>(value);
    return true;
}

int run_reset_operation(int device_id, bool discard_mode) {
    int result = 0;
    if (device_id == all_devices) {
        result = pelk_reset_all();
    } else if (discard_mode) {
        result = pelk_discard(device_id);
    } else {
        result = pelk_reset(device_id);
    }
    if (result == 0) {
        std::printf("Success\n");
        return exit_success;
    }
    // The library writes the description through its own runtime: the prefix goes first.
    std::printf("kiv_reset fail for:\t");
    std::fflush(stdout);
    pelk_get_error_string(result);
    return exit_library_failure;
}

} // namespace

int run_kiv_reset(int argc, char* argv[]) {
    pelk_kiv_init();
    int device_id = all_devices;
    bool discard_mode = false;

    for (;;) {
        switch (next_option(argc, argv)) {
        case 'h':
            print_usage();
            return exit_success;
        case 'a':
            discard_mode = true;
            [[fallthrough]];
        case 'i':
            if (!parse_device_id(option_value, &device_id)) {
                return reject("kiv_reset: invalid device id \"%s\"\n", option_value);
            }
            break;
        case 'd': {
            const device_type* type = find_device_type(option_value);
            if (type == nullptr) {
                std::printf("%s is not supported\n", option_value);
                return exit_rejected;
            }
            pelk_set_device(type->device_type_code);
            break;
        }
        case option_unknown:
            return reject("kiv_reset: unknown option \"%s\"\n", option_value);
        case option_missing_value:
            return reject("kiv_reset: option \"%s\" needs a value\n", option_value);
        case option_unexpected:
            return reject("kiv_reset: unexpected argument \"%s\"\n", option_value);
        case option_end:
        default:
            return run_reset_operation(device_id, discard_mode);
        }
    }
}
