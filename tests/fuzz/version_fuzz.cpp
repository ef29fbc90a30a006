// Runs kiv_reset -v on a fuzzed version resource, the one place that reads bytes a hostile
// kiv.dll chooses, and checks what must hold whatever the input. Input: kiv.dll's RT_VERSION
// resource 1, byte for byte, mapped as exactly that (the stand-in's VirtualQuery), with
// kiv.dll beside the tool. The sanitizers catch any read past it.
#include <cstdint>
#include <string>
#include <vector>

#include "fake_kernel32.h"
#include "fuzz_support.h"
#include "kiv_reset.h"
#include "kiv_version.h"

namespace {

const std::string named = "kiv_reset " PELK_TOOL_VERSION "\nkiv.dll: C:\\Tools\\kiv.dll";
// The stand-ins' kiv.dll has no signature and is in no catalog, and no signer is required.
const std::string unsigned_lines = "signature: not signed (no signature in the file, none in a "
                                   "catalog)\nrequired signers: none set\n";

std::uint32_t word_at(const std::uint8_t* data, std::size_t at) {
    return static_cast<std::uint32_t>(data[at]) | static_cast<std::uint32_t>(data[at + 1]) << 8;
}

// VS_VERSIONINFO as resource compilers lay it out: wLength and wValueLength that hold
// VS_FIXEDFILEINFO (52 bytes, at 40, after the key L"VS_VERSION_INFO" at 6 and padding),
// and its signature. Then the file version is its third and fourth DWORDs.
std::string version_held(const std::uint8_t* data, std::size_t size) {
    constexpr char16_t key[] = u"VS_VERSION_INFO";
    if (size < 92 || word_at(data, 0) < 92 || word_at(data, 2) < 52 ||
        little_endian_32(data + 40) != 0xFEEF04BDu) {
        return "";
    }
    for (std::size_t unit = 0; unit < sizeof key / sizeof key[0]; ++unit) {
        if (word_at(data, 6 + 2 * unit) != key[unit]) {
            return "";
        }
    }
    return " (file version " + std::to_string(word_at(data, 50)) + "." +
           std::to_string(word_at(data, 48)) + "." + std::to_string(word_at(data, 54)) + "." +
           std::to_string(word_at(data, 52)) + ")";
}

int show_version_entry(int /*argc*/, char* /*argv*/[]) {
    return show_version();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fake_kernel32_reset();
    fake_set_file(LR"(C:\Tools\kiv.dll)", FILE_ATTRIBUTE_ARCHIVE);
    fake_set_version_resource(std::vector<unsigned char>(data, data + size));
    fuzz_arguments arguments = split_arguments(data, 0, 0, "kiv_reset -v");

    auto [status, output] = run_tool(show_version_entry, arguments);

    require(status == exit_success, "a readable kiv.dll not reported with status 0", arguments);
    require(output.err.empty(), "a message on standard error", arguments);
    require(output.out == named + version_held(data, size) + "\n" + unsigned_lines,
            "not the path with the file version the resource holds, or the path alone", arguments);
    require(fake_kernel32_violations().empty(), "a call Windows would refuse", arguments);
    return 0;
}
