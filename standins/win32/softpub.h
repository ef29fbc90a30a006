// Native stand-in for the part of <softpub.h> that kiv_reset's signature check uses: the
// Authenticode action, as Microsoft documents its GUID.
#ifndef PELK_STANDIN_SOFTPUB_H
#define PELK_STANDIN_SOFTPUB_H

#include <wintrust.h>

// One line, which clang-format leaves alone: its versions lay a braced macro out apart.
// clang-format off
#define WINTRUST_ACTION_GENERIC_VERIFY_V2 {0xaac56b, 0xcd44, 0x11d0, {0x8c, 0xc2, 0x00, 0xc0, 0x4f, 0xc2, 0x95, 0xee}}
// clang-format on

#endif
