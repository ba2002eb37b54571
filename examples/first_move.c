/*
 * first_move: the first program of the README, as it stands there. Opens the adapter, enables
 * drive 1, sets up profile position, moves to 20000 at once, waits at most 10 s for the target,
 * disables the drive. Exit status 0 when the drive got there, 1 with a line that says why not, in
 * the library's words.
 *
 *   first_move [DEVICE]    (default /dev/ttyUSB0)
 *
 * Try it without hardware:
 *   orvex-sim --strict-402 --link /tmp/orvex-port &
 *   first_move /tmp/orvex-port
 */
#include <stdio.h>
#include <string.h>

#include "orvex.h"

/* Says which step failed and why, in the library's words; stops the drive, closes the port. */
static int failed(const char* step) {
    const int outcome = Orvex_LastResult();
    fprintf(stderr, "%s failed: %s", step, Orvex_ResultText(outcome));
    if (outcome == ORVEX_SDO_ABORT)
        fprintf(stderr, " (abort 0x%08X: %s)", Orvex_LastAbortCode(),
                Orvex_AbortText(Orvex_LastAbortCode()));
    if (outcome == ORVEX_SYSTEM_ERROR) fprintf(stderr, " (%s)", strerror(Orvex_LastSystemError()));
    fprintf(stderr, "\n");
    unsigned code = 0;
    if (Orvex_GetState(1, NULL) == ORVEX_STATE_FAULT && Orvex_ResetFault(1, 0, &code) == 0)
        fprintf(stderr, "drive 1 in fault: 0x%04X %s\n", code, Orvex_ErrorCodeText(code));
    Orvex_Halt(1, 2000); /* a drive not enabled gets nothing */
    Orvex_Disable(1, 2000);
    Serial_ClosePort();
    return 1;
}

int main(int argc, char** argv) {
    const char* device = argc > 1 ? argv[1] : "/dev/ttyUSB0";
    int position = 0;
    if (!Serial_OpenDevice(device, 115200)) {
        failed(device);
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
