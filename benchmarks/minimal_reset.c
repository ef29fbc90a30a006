/* The least a reset of one device can be: kiv.dll imported by the loader, initialised,
   one device reset, "Success" printed. The yardstick for kiv_reset.exe's own cost. */
#include <stdio.h>

#include "kiv.h"

int main(void) {
    pelk_kiv_init();
    if (pelk_reset(2) != 0) {
        return 1;
    }
    printf("Success\n");
    return 0;
}
