/*
 * strict_drive: a host program that runs a drive following CiA 402 to the letter, using only the
 * library's drive procedures.
 *
 *   strict_drive DEVICE [NODE]
 *
 * Opens the adapter on DEVICE; clears a fault of drive NODE (default 1) if it has one; enables it
 * one transition at a time; makes three profile position moves in a row, showing the position
 * while each runs; homes it on the spot (method 35); disables it and closes the port. Exit status
 * 0 when all of it worked, 1 when the library or the drive failed, 2 on bad arguments.
 *
 * Try it without hardware:
 *   orvex-sim --strict-402 --fault-node 1 --link /tmp/orvex-port &
 *   strict_drive /tmp/orvex-port
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "orvex.h"

#define STEP_MS 2000  /* a power-state change or a set-point handshake */
#define MOVE_MS 15000 /* one move */
#define REPORT_MS 200 /* how often the position is shown while a move runs */
#define HOMING_ON_THE_SPOT 35
#define PROFILE_POSITION 1 /* modes of operation */
#define HOMING 6

static const int targets[] = {20000, -5000, 12000};

/* Why the last library call failed, from the failure-detail exports. */
static int fail(const char* what) {
    const int result = Orvex_LastResult();
    fprintf(stderr, "strict_drive: %s failed: ", what);
    switch (result) {
        case ORVEX_TIMEOUT:
            fprintf(stderr, "no answer, or the drive did not confirm in time\n");
            break;
        case ORVEX_SDO_ABORT:
            fprintf(stderr, "SDO abort 0x%08X\n", Orvex_LastAbortCode());
            break;
        case ORVEX_SYSTEM_ERROR:
            fprintf(stderr, "%s\n", strerror(Orvex_LastSystemError()));
            break;
        case ORVEX_DRIVE_FAULT:
            fprintf(stderr, "the drive is in fault\n");
            break;
        case ORVEX_WRONG_STATE:
            fprintf(stderr, "the drive is not in the state or mode for it\n");
            break;
        case ORVEX_STATE_CHANGED:
            fprintf(stderr, "the drive left operation enabled or was halted\n");
            break;
        case ORVEX_HOMING_ERROR:
            fprintf(stderr, "the drive reports a homing error\n");
            break;
        default:
            fprintf(stderr, "outcome %d\n", result);
            break;
    }
    Serial_ClosePort();
    return 1;
}

/* Waits for the move in short pieces, so that the position can be shown while it runs. */
static int follow_move(int node, int target) {
    int position = 0;
    int waited = 0;
    for (;;) {
        if (Orvex_WaitTarget(node, REPORT_MS, &position)) break;
        if (Orvex_LastResult() != ORVEX_TIMEOUT || (waited += REPORT_MS) >= MOVE_MS) return 0;
        printf("  at %d\n", position);
    }
    printf("  reached %d (target %d)\n", position, target);
    return 1;
}

int main(int argc, char** argv) {
    long node = 1;
    unsigned statusword = 0;
    unsigned cleared = 0;
    size_t i;

    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: %s DEVICE [NODE (1-127, default 1)]\n", argv[0]);
        return 2;
    }
    if (argc == 3) {
        char* end = NULL;
        errno = 0;
        node = strtol(argv[2], &end, 10);
        if (errno != 0 || *end != '\0' || node < 1 || node > 127) {
            fprintf(stderr, "%s: NODE must be 1 to 127, not '%s'\n", argv[0], argv[2]);
            return 2;
        }
    }
    if (!Serial_OpenDevice(argv[1], 115200)) return fail(argv[1]);

    const int state = Orvex_GetState((int)node, &statusword);
    if (state < 0) return fail("reading the state");
    printf("node %ld: state %d, statusword 0x%04X\n", node, state, statusword);
    if (state == ORVEX_STATE_FAULT || state == ORVEX_STATE_FAULT_REACTION_ACTIVE) {
        if (!Orvex_ResetFault((int)node, STEP_MS, &cleared)) return fail("the fault reset");
        printf("fault reset: error code 0x%04X cleared\n", cleared);
    }
    if (!Orvex_Enable((int)node, STEP_MS)) return fail("enabling");
    printf("operation enabled\n");

    if (!Orvex_SetMode((int)node, PROFILE_POSITION, STEP_MS) ||
        !Orvex_SetProfile((int)node, 40000, 200000, 200000))
        return fail("setting up profile position");
    for (i = 0; i < sizeof targets / sizeof targets[0]; ++i) {
        printf("move to %d\n", targets[i]);
        if (!Orvex_MoveTo((int)node, targets[i], ORVEX_MOVE_IMMEDIATE, STEP_MS))
            return fail("the move");
        if (!follow_move((int)node, targets[i])) return fail("waiting for the target");
    }

    if (!Orvex_SetMode((int)node, HOMING, STEP_MS) ||
        !Orvex_SetHoming((int)node, HOMING_ON_THE_SPOT, 2000, 500, 20000))
        return fail("setting up homing");
    if (!Orvex_Home((int)node, MOVE_MS)) return fail("homing");
    printf("homed\n");

    if (!Orvex_Disable((int)node, STEP_MS)) return fail("disabling");
    Serial_ClosePort();
    printf("done\n");
    return 0;
}
