#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "captured_run.h"
#include "option_scanner.h"

namespace {

// What the scanner hands out, one entry per call: each letter with its value, then how the
// scan ended when it did not simply run out of arguments, with the word at fault.
std::vector<std::string> scan_all(std::vector<std::string> arguments) {
    next_arg_index = 1;
    option_value = nullptr;
    arguments.insert(arguments.begin(), "kiv_reset");
    std::vector<char*> argv = argument_vector(arguments);
    int argc = static_cast<int>(arguments.size());

    std::vector<std::string> handed_out;
    for (int calls = 0; calls < 20; ++calls) {
        int option = next_option(argc, argv.data());
        if (option == 'h') {
            handed_out.push_back("h");
            continue;
        }
        if (option == 'i' || option == 'd' || option == 'a') {
            handed_out.push_back(std::string(1, static_cast<char>(option)) + " " + option_value);
            continue;
        }
        if (option == option_unknown) {
            handed_out.push_back(std::string("unknown ") + option_value);
        } else if (option == option_missing_value) {
            handed_out.push_back(std::string("missing value ") + option_value);
        } else if (option == option_unexpected) {
            handed_out.push_back(std::string("unexpected ") + option_value);
        } else {
            EXPECT_EQ(option, option_end);
        }
        EXPECT_EQ(next_arg_index, 1) << "every end rewinds the scan";
        break;
    }
    return handed_out;
}

struct scan_case {
    std::vector<std::string> arguments;
    std::vector<std::string> handed_out;
};

TEST(OptionScanner, HandsOutOptionsInOrderAndEndsOnAnythingElse) {
    const scan_case cases[] = {
        {{}, {}},
        {{"-i", "3"}, {"i 3"}},
        {{"-d", "io", "-a", "7"}, {"d io", "a 7"}},
        {{"foo", "-i", "3", "bar"}, {"unexpected foo"}},
        {{"-i", "3", "bar"}, {"i 3", "unexpected bar"}},
        {{"-i", "3", "4"}, {"i 3", "unexpected 4"}},
        {{"-h", "foo"}, {"h", "unexpected foo"}},
        {{"-i", "3", "-i", "4"}, {"i 3", "i 4"}},
        {{"-i", "3", "-x", "-d", "io"}, {"i 3", "unknown -x"}},
        {{"-i"}, {"missing value -i"}},
        {{"-d", "io", "-a"}, {"d io", "missing value -a"}},
        {{"-i", "-d", "io"}, {"missing value -i"}},
        {{"-i", "-1"}, {"missing value -i"}},
        {{"-h", "-i", "3"}, {"h", "i 3"}},
        {{"-i3"}, {"unknown -i3"}},
        {{"-hh"}, {"unknown -hh"}},
        {{"-H"}, {"unknown -H"}},
        {{"-"}, {"unknown -"}},
        {{"--"}, {"unknown --"}},
        {{"--help"}, {"unknown --help"}},
        {{"", "-i", ""}, {"unexpected "}},
        {{"-i", ""}, {"i "}},
        {{"-d", "-"}, {"missing value -d"}},
    };
    for (const scan_case& c : cases) {
        EXPECT_EQ(scan_all(c.arguments), c.handed_out) << testing::PrintToString(c.arguments);
    }
}

} // namespace
