#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

void reject(const char* pattern, const char* word) {
    std::fprintf(stderr, pattern, word);
    print_usage();
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

// What an accepted command line asks for, in the order it is done: pelk_kiv_init, then
// pelk_set_device with each -d's type code in turn, then the usage (-h) or one reset.
struct reset_actions {
    int* device_type_codes;
    int device_type_count;
    bool show_usage;
    int device_id;
    bool discard_mode;
};

// One pass of the option scanner over the line, which calls nothing in the library, so that a
// line it rejects loads nothing. Options take effect in order and the first fault decides the
// message; whatever follows -h is not read (-h foo is help). False after saying why the line is
// rejected.
bool read_command_line(int argc, char* argv[], reset_actions* actions) {
    for (;;) {
        switch (next_option(argc, argv)) {
        case 'h':
            actions->show_usage = true;
            return true;
        case 'a':
            actions->discard_mode = true;
            [[fallthrough]];
        case 'i':
            if (!parse_device_id(option_value, &actions->device_id)) {
                reject("kiv_reset: invalid device id \"%s\"\n", option_value);
                return false;
            }
            break;
        case 'd': {
            const device_type* type = find_device_type(option_value);
            if (type == nullptr) {
                std::printf("%s is not supported\n", option_value);
                return false;
            }
            actions->device_type_codes[actions->device_type_count++] = type->device_type_code;
            break;
        }
        case option_unknown:
            reject("kiv_reset: unknown option \"%s\"\n", option_value);
            return false;
        case option_missing_value:
            reject("kiv_reset: option \"%s\" needs a value\n", option_value);
            return false;
        case option_unexpected:
            reject("kiv_reset: unexpected argument \"%s\"\n", option_value);
            return false;
        case option_end:
        default:
            return true;
        }
    }
}

int carry_out(const reset_actions& actions) {
    pelk_kiv_init();
    for (int index = 0; index < actions.device_type_count; ++index) {
        pelk_set_device(actions.device_type_codes[index]);
    }
    if (actions.show_usage) {
        print_usage();
        return exit_success;
    }
    return run_reset_operation(actions.device_id, actions.discard_mode);
}

} // namespace

int run_kiv_reset(int argc, char* argv[], bool (*load_library)()) {
    // Room for a type code per argument: more than the -d options a line can hold.
    auto* codes =
        static_cast<int*>(std::malloc((static_cast<std::size_t>(argc) + 1) * sizeof(int)));
    if (codes == nullptr) {
        std::fputs(out_of_memory_message, stderr);
        return exit_rejected;
    }
    reset_actions actions = {codes, 0, false, all_devices, false};
    int status = exit_rejected;
    if (read_command_line(argc, argv, &actions)) {
        bool loaded = load_library == nullptr || load_library();
        status = loaded ? carry_out(actions) : exit_library_missing;
    }
    std::free(codes);
    return status;
}
