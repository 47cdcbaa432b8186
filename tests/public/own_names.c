/*
 * An application that defines functions with the names of the engine's
 * unprefixed exports. The library must keep calling its own: the driver's
 * reserved6 slot in mode 2 runs the library's configInit, which ends with
 * the library's printChipParam. Exit status 0 when neither of the
 * application's functions ran and the library's configInit did its work.
 */
#include <stdio.h>
#include <tarvo/tarvo.h>
#include <tarvo/tarvo_drv.h>
#include <tarvo/tarvo_epc.h>

static int own_config_init_calls;
static int own_print_calls;

int configInit(int addr) {
    (void)addr;
    ++own_config_init_calls;
    return -1;
}

void printChipParam(void) {
    ++own_print_calls;
}

int main(void) {
    /* The library's configInit sets the read-out size back to 320 columns;
       without a camera its register accesses fail with lines on standard
       output. */
    pruSetSize(16, 8);
    const int value = g_tarvo_driver_op_epc.reserved6(NULL, 0, 7, 2);
    const int cols = pruGetNCols();
    printf("own configInit %d, own printChipParam %d, columns 16 -> %d, reserved6 %d\n",
           own_config_init_calls, own_print_calls, cols, value);
    return own_config_init_calls == 0 && own_print_calls == 0 && cols == 320 && value == 7 ? 0 : 1;
}
