/*
 * orvex_consumer DEVICE: built against an installed orvex through find_package(orvex).
 * Moves drive 1 to 4000 on DEVICE and prints "position 4000"; exit status 1 on any failure.
 */
#define _POSIX_C_SOURCE 199309L

#include <stdio.h>
#include <time.h>

#include "orvex.h"

#define NODE 1
#define TARGET 4000
#define STATUS_TARGET_REACHED 0x0400

static int failed(const char* what) {
    fprintf(stderr, "orvex_consumer: %s failed (result %d, abort 0x%08X, errno %d)\n", what,
            Orvex_LastResult(), Orvex_LastAbortCode(), Orvex_LastSystemError());
    Serial_ClosePort();
    return 1;
}

int main(int argc, char** argv) {
    const struct timespec poll_interval = {0, 20 * 1000000L};
    int position = 0;
    int attempt;

    if (argc != 2) {
        fprintf(stderr, "usage: %s DEVICE\n", argv[0]);
        return 2;
    }
    if (!Serial_OpenDevice(argv[1], 115200)) return failed("opening the device");
    if (!CMD_Enable_motor(NODE)) return failed("enable");
    if (!PP_Set(NODE, 40000, 400000, 400000)) return failed("profile set-up");
    if (!PP_Abs_move(NODE, TARGET)) return failed("move");

    /* Bit 10 may still tell of the previous target, so the position has to agree as well. */
    for (attempt = 0; attempt < 250; ++attempt) {
        const int status = GetMotorStatus(NODE);
        if (Orvex_LastResult() != ORVEX_OK) return failed("reading the statusword");
        position = GetPosition(NODE);
        if (Orvex_LastResult() != ORVEX_OK) return failed("reading the position");
        if ((status & STATUS_TARGET_REACHED) && position == TARGET) break;
        nanosleep(&poll_interval, NULL);
    }
    printf("position %d\n", position);
    CMD_Disable_motor(NODE);
    Serial_ClosePort();
    return position == TARGET ? 0 : 1;
}
