/*
 * move_and_wait: a small host program over orvex.h.
 *
 *   move_and_wait DEVICE [NODE [TARGET]]
 *
 * Opens the adapter on DEVICE, enables drive NODE (default 1), sets a position profile, moves to
 * TARGET (default 20000), polls the position until statusword bit 10 (target reached) or a
 * time-out, disables the drive and closes the port. Exit status 0 when the target was reached,
 * 1 when the library or the drive failed, 2 on bad arguments.
 *
 * Try it without hardware:  orvex-sim --link /tmp/orvex-port &  move_and_wait /tmp/orvex-port
 */
/* clock_gettime and nanosleep are POSIX, not C99. */
#define _POSIX_C_SOURCE 199309L

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "orvex.h"

#define PROFILE_VELOCITY 10000
#define PROFILE_ACCELERATION 50000
#define PROFILE_DECELERATION 50000
#define TIMEOUT_MS 15000
#define POLL_MS 50
#define STATUS_FAULT 0x0008
#define STATUS_TARGET_REACHED 0x0400

#ifdef _WIN32
/* Windows has neither clock: its tick counter and Sleep do the same here. */
#include <windows.h>

static long now_ms(void) {
    return (long)GetTickCount();
}

static void sleep_ms(int ms) {
    Sleep((DWORD)ms);
}
#else
static long now_ms(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long)t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

static void sleep_ms(int ms) {
    struct timespec t;
    t.tv_sec = ms / 1000;
    t.tv_nsec = (long)(ms % 1000) * 1000000L;
    nanosleep(&t, NULL);
}
#endif

/* Why the last library call failed, in the library's words (no table of our own). */
static void report(const char* what) {
    const int outcome = Orvex_LastResult();
    fprintf(stderr, "move_and_wait: %s: %s", what, Orvex_ResultText(outcome));
    if (outcome == ORVEX_SDO_ABORT)
        fprintf(stderr, " (SDO abort 0x%08X: %s)", Orvex_LastAbortCode(),
                Orvex_AbortText(Orvex_LastAbortCode()));
    if (outcome == ORVEX_SYSTEM_ERROR) fprintf(stderr, " (%s)", strerror(Orvex_LastSystemError()));
    fprintf(stderr, "\n");
}

static int parse_int(const char* text, long min, long max, long* value) {
    char* end = NULL;
    errno = 0;
    *value = strtol(text, &end, 0);
    return errno == 0 && end != text && *end == '\0' && *value >= min && *value <= max;
}

/* Polls until the drive reports target reached for the new set-point; 0 on success. */
static int wait_for_target(int node, int target) {
    const long start = now_ms();
    int seen_moving = 0;
    for (;;) {
        const int status = GetMotorStatus(node);
        if (Orvex_LastResult() != ORVEX_OK) {
            report("reading the statusword");
            return 1;
        }
        const int position = GetPosition(node);
        if (Orvex_LastResult() != ORVEX_OK) {
            report("reading the position");
            return 1;
        }
        const long elapsed = now_ms() - start;
        printf("\rposition %11d -> %d", position, target);
        fflush(stdout);
        if (status & STATUS_FAULT) {
            fprintf(stderr, "\nmove_and_wait: node %d is in fault\n", node);
            return 1;
        }
        if (!(status & STATUS_TARGET_REACHED)) seen_moving = 1;
        /* Bit 10 still belongs to the previous target until the drive takes the new set-point. */
        if ((status & STATUS_TARGET_REACHED) && (seen_moving || position == target)) {
            printf("\ntarget reached in %ld ms\n", elapsed);
            return 0;
        }
        if (elapsed > TIMEOUT_MS) {
            fprintf(stderr, "\nmove_and_wait: target not reached within %d ms\n", TIMEOUT_MS);
            return 1;
        }
        sleep_ms(POLL_MS);
    }
}

int main(int argc, char** argv) {
    long node = 1;
    long target = 20000;
    int result;

    if (argc < 2 || argc > 4 || (argc > 2 && !parse_int(argv[2], 1, 127, &node)) ||
        (argc > 3 && !parse_int(argv[3], -2147483647L - 1, 2147483647L, &target))) {
        fprintf(stderr, "usage: %s DEVICE [NODE (1-127, default 1) [TARGET (default 20000)]]\n",
                argv[0]);
        return 2;
    }
    if (!Serial_OpenDevice(argv[1], 115200)) {
        report(argv[1]);
        Serial_ClosePort(); /* a refused setting leaves the device open */
        return 1;
    }
    if (!CMD_Enable_motor((int)node) ||
        !PP_Set((int)node, PROFILE_VELOCITY, PROFILE_ACCELERATION, PROFILE_DECELERATION) ||
        !PP_Abs_move((int)node, (int)target)) {
        report("sending the move");
        Serial_ClosePort();
        return 1;
    }
    printf("node %ld: moving to %ld\n", node, target);
    result = wait_for_target((int)node, (int)target);
    if (!CMD_Disable_motor((int)node)) {
        report("disabling the drive");
        result = 1;
    }
    Serial_ClosePort();
    return result;
}
