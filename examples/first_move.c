/*
 * first_move: the first program of the README, as it stands there. Opens the adapter, enables
 * drive 1, sets up profile position, moves to 20000 at once, waits at most 10 s for the target,
 * disables the drive. Exit status 0 when the drive got there, 1 with a line that says why not.
 *
 *   first_move [DEVICE]    (default /dev/ttyUSB0)
 *
 * Try it without hardware:
 *   orvex-sim --strict-402 --link /tmp/orvex-port &
 *   first_move /tmp/orvex-port
 */
#include <stdio.h>

#include "orvex.h"

/* Says which step failed and why, stops the drive, closes the port: the exit status. */
static int failed(const char* step) {
    fprintf(stderr, "%s failed: outcome %d, abort code 0x%08X\n", step, Orvex_LastResult(),
            Orvex_LastAbortCode());
    Orvex_Halt(1, 2000); /* a drive not enabled gets nothing */
    Orvex_Disable(1, 2000);
    Serial_ClosePort();
    return 1;
}

int main(int argc, char** argv) {
    const char* device = argc > 1 ? argv[1] : "/dev/ttyUSB0";
    int position = 0;
    if (!Serial_OpenDevice(device, 115200)) {
        fprintf(stderr, "open %s failed (%d, errno %d)\n", device, Orvex_LastResult(),
                Orvex_LastSystemError());
        Serial_ClosePort(); /* a refused setting leaves the device open */
        return 1;
    }
    if (!Orvex_Enable(1, 2000)) return failed("enable");
    if (!Orvex_SetMode(1, 1, 1000)) return failed("profile position mode"); /* mode 1 */
    if (!Orvex_SetProfile(1, 10000, 50000, 50000)) /* velocity, acceleration, deceleration */
        return failed("profile");
    if (!Orvex_MoveTo(1, 20000, ORVEX_MOVE_IMMEDIATE, 1000)) return failed("move");
    if (!Orvex_WaitTarget(1, 10000, &position)) return failed("wait for the target"); /* <= 10 s */
    printf("at %d\n", position);
    if (!Orvex_Disable(1, 2000)) return failed("disable");
    Serial_ClosePort();
    return 0;
}
