#define KIV_HELPER_BUILDING
#include "kiv_helper.h"

extern "C" KIV_HELPER_API const char* kiv_helper_log_prefix(void) {
    return "dependent ";
}
