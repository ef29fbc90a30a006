#define KIV_HELPER_BUILDING
#include "kiv_helper.h"

#ifndef KIV_HELPER_LOG_PREFIX
#define KIV_HELPER_LOG_PREFIX "dependent "
#endif

extern "C" KIV_HELPER_API const char* kiv_helper_log_prefix(void) {
    return KIV_HELPER_LOG_PREFIX;
}
