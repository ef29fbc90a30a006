#include <cstring>

#include "option_scanner.h"

int next_arg_index = 1;
const char* option_value = nullptr;

namespace {

struct option_word {
    const char* word;
    bool takes_value;
};

constexpr option_word option_words[] = {
    {"-h", false},
    {"-i", true},
    {"-d", true},
    {"-a", true},
};

const option_word* find_option_word(const char* argument) {
    for (const option_word& option : option_words) {
        if (std::strcmp(argument, option.word) == 0) {
            return &option;
        }
    }
    return nullptr;
}

int end_scan(int reason) {
    next_arg_index = 1;
    return reason;
}

} // namespace

int next_option(int argc, const char* const argv[]) {
    while (next_arg_index < argc) {
        const char* argument = argv[next_arg_index];
        ++next_arg_index;
        // On Windows "/?", "help" or a bare "2" are easily typed; none may fall through to a
        // reset of every device.
        if (argument[0] != '-') {
            option_value = argument;
            return end_scan(option_unexpected);
        }
        const option_word* option = find_option_word(argument);
        if (option == nullptr) {
            option_value = argument;
            return end_scan(option_unknown);
        }
        if (option->takes_value) {
            if (next_arg_index >= argc || argv[next_arg_index][0] == '-') {
                option_value = argument;
                return end_scan(option_missing_value);
            }
            option_value = argv[next_arg_index];
            ++next_arg_index;
        }
        return option->word[1];
    }
    return end_scan(option_end);
}
