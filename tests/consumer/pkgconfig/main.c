/*
 * orvex_pc_consumer DEVICE: built with the flags of `pkg-config --cflags --libs orvex`.
 * Moves drive 2 by -1500, checks the bus summary and the failure detail of an SDO abort, and
 * prints "position -1500"; exit status 1 on any failure.
 */
#define _POSIX_C_SOURCE 199309L

#include <stdio.h>
#include <time.h>

#include "orvex.h"

#define NODE 2
#define DISTANCE (-1500)
#define STATUS_TARGET_REACHED 0x0400
#define ABORT_NO_SUCH_OBJECT 0x06020000u

static int failed(const char* what) {
    fprintf(stderr, "orvex_pc_consumer: %s (result %d, abort 0x%08X, errno %d)\n", what,
            Orvex_LastResult(), Orvex_LastAbortCode(), Orvex_LastSystemError());
    Serial_ClosePort();
    return 1;
}

int main(int argc, char** argv) {
    const struct timespec poll_interval = {0, 20 * 1000000L};
    int value = 0x5A5A5A5A;
    int position = 0;
    int enabled;
    int attempt;

    if (argc != 2) {
        fprintf(stderr, "usage: %s DEVICE\n", argv[0]);
        return 2;
    }
    if (!Serial_OpenDevice(argv[1], 115200)) return failed("opening the device failed");
    if (!CMD_Enable_motor(NODE) || !PP_Set(NODE, 30000, 300000, 300000) ||
        !PP_Inc_move(NODE, DISTANCE))
        return failed("starting the move failed");

    enabled = Get_ALL_Enable_Status();
    if (Orvex_LastResult() != ORVEX_OK || !(enabled & (1 << (NODE - 1))))
        return failed("the bus summary does not show the drive enabled");

    /* An object the drive lacks: a failed read that leaves the value alone and names the abort. */
    if (SDO_Read(NODE, 0x5FFF, 0, &value, 4) || Orvex_LastResult() != ORVEX_SDO_ABORT ||
        Orvex_LastAbortCode() != ABORT_NO_SUCH_OBJECT || value != 0x5A5A5A5A)
        return failed("reading a missing object did not report its abort");

    for (attempt = 0; attempt < 250; ++attempt) {
        const int status = GetMotorStatus(NODE);
        if (Orvex_LastResult() != ORVEX_OK) return failed("reading the statusword failed");
        position = GetPosition(NODE);
        if (Orvex_LastResult() != ORVEX_OK) return failed("reading the position failed");
        if ((status & STATUS_TARGET_REACHED) && position == DISTANCE) break;
        nanosleep(&poll_interval, NULL);
    }
    printf("position %d\n", position);
    CMD_Disable_motor(NODE);
    Serial_ClosePort();
    return position == DISTANCE ? 0 : 1;
}
