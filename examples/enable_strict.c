/*
 * enable_strict: brings a CiA 402 drive to "operation enabled" one transition at a time.
 *
 *   enable_strict DEVICE [NODE [--reset]]
 *
 * A drive that follows CiA 402 to the letter powers up in "switch on disabled" and ignores the
 * one-frame CMD_Enable_motor (controlword 0x000F) there: it needs shutdown (0x0006), then switch
 * on (0x0007), then enable operation (0x000F), each taken only in the state before it. This
 * program reads the statusword, writes the one controlword that leads to the next state with
 * SDO_Write (0x6040, 2 bytes), and confirms the step with GetMotorStatus before the next one,
 * each step with its own time limit. A drive in fault is reported with its error code (0x603F);
 * with --reset the fault is reset first (a rising edge of controlword bit 7).
 *
 * Exit status 0 when the drive is in operation enabled, 1 when the library or the drive failed,
 * 2 on bad arguments.
 *
 * Try it without hardware:
 *   orvex-sim --strict-402 --fault-node 1 --link /tmp/orvex-port &
 *   enable_strict /tmp/orvex-port 1 --reset
 */
/* clock_gettime and nanosleep are POSIX, not C99. */
#define _POSIX_C_SOURCE 199309L

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "orvex.h"

#define STEP_LIMIT_MS 500
#define POLL_MS 10
#define MAX_STEPS 8

/* GetMotorStatus masks the statusword with 0x1D0F, so it shows bits 0-3 of the state only:
 * ready to switch on 0x1, switched on 0x3, operation enabled 0x7, fault 0x8. Bits 4-6 (voltage
 * enabled, quick stop, switch on disabled) need the full word from SDO_Read. */
#define STATE_BITS 0x000F

enum state {
    NOT_READY,
    SWITCH_ON_DISABLED,
    READY_TO_SWITCH_ON,
    SWITCHED_ON,
    OPERATION_ENABLED,
    QUICK_STOP_ACTIVE,
    FAULT_REACTION_ACTIVE,
    FAULT
};

static const char* const state_names[] = {
    "not ready to switch on", "switch on disabled", "ready to switch on",    "switched on",
    "operation enabled",      "quick stop active",  "fault reaction active", "fault"};

/* The state from the full statusword, by the masks the drive profile defines. */
static enum state decode(unsigned status) {
    if ((status & 0x4F) == 0x00) return NOT_READY;
    if ((status & 0x4F) == 0x40) return SWITCH_ON_DISABLED;
    if ((status & 0x6F) == 0x21) return READY_TO_SWITCH_ON;
    if ((status & 0x6F) == 0x23) return SWITCHED_ON;
    if ((status & 0x6F) == 0x27) return OPERATION_ENABLED;
    if ((status & 0x6F) == 0x07) return QUICK_STOP_ACTIVE;
    if ((status & 0x4F) == 0x0F) return FAULT_REACTION_ACTIVE;
    return FAULT;
}

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

static void report(const char* what) {
    switch (Orvex_LastResult()) {
        case ORVEX_TIMEOUT:
            fprintf(stderr, "enable_strict: %s: no answer\n", what);
            break;
        case ORVEX_SDO_ABORT:
            fprintf(stderr, "enable_strict: %s: SDO abort 0x%08X\n", what, Orvex_LastAbortCode());
            break;
        case ORVEX_SYSTEM_ERROR:
            fprintf(stderr, "enable_strict: %s: %s\n", what, strerror(Orvex_LastSystemError()));
            break;
        default:
            fprintf(stderr, "enable_strict: %s failed (result %d)\n", what, Orvex_LastResult());
            break;
    }
}

/* The full statusword; 0 when the drive did not answer. */
static int read_statusword(int node, unsigned* status) {
    int value = 0;
    if (!SDO_Read(node, 0x6041, 0, &value, 2)) {
        report("reading the statusword");
        return 0;
    }
    *status = (unsigned)value & 0xFFFFu;
    return 1;
}

static int write_controlword(int node, unsigned controlword) {
    printf("  controlword 0x%04X\n", controlword);
    if (!SDO_Write(node, 0x6040, 0, controlword, 2)) {
        report("writing the controlword");
        return 0;
    }
    return 1;
}

/* Polls GetMotorStatus until its state bits equal `expected`; 0 when the step timed out. */
static int confirm(int node, int expected) {
    const long start = now_ms();
    for (;;) {
        const int status = GetMotorStatus(node);
        if (Orvex_LastResult() != ORVEX_OK) {
            report("reading the statusword");
            return 0;
        }
        if ((status & STATE_BITS) == expected) return 1;
        if (now_ms() - start > STEP_LIMIT_MS) {
            fprintf(stderr, "enable_strict: the drive did not take the step within %d ms\n",
                    STEP_LIMIT_MS);
            return 0;
        }
        sleep_ms(POLL_MS);
    }
}

static int enable(int node, int reset_fault) {
    int step;
    for (step = 0; step < MAX_STEPS; ++step) {
        unsigned status = 0;
        enum state state;
        int error_code = 0;
        if (!read_statusword(node, &status)) return 1;
        state = decode(status);
        printf("node %d: %s (statusword 0x%04X)\n", node, state_names[state], status);
        switch (state) {
            case OPERATION_ENABLED:
                return 0;
            case SWITCH_ON_DISABLED: /* shutdown */
                if (!write_controlword(node, 0x0006) || !confirm(node, 0x1)) return 1;
                break;
            case READY_TO_SWITCH_ON: /* switch on */
                if (!write_controlword(node, 0x0007) || !confirm(node, 0x3)) return 1;
                break;
            case SWITCHED_ON: /* enable operation */
                if (!write_controlword(node, 0x000F) || !confirm(node, 0x7)) return 1;
                break;
            case QUICK_STOP_ACTIVE: /* disable voltage: back to switch on disabled */
                if (!write_controlword(node, 0x0000) || !confirm(node, 0x0)) return 1;
                break;
            case NOT_READY:
            case FAULT_REACTION_ACTIVE: /* the drive moves on by itself */
                sleep_ms(POLL_MS);
                break;
            case FAULT:
                if (!SDO_Read(node, 0x603F, 0, &error_code, 2)) report("reading the error code");
                fprintf(stderr, "enable_strict: node %d is in fault, error code 0x%04X\n", node,
                        (unsigned)error_code & 0xFFFFu);
                if (!reset_fault) {
                    fprintf(stderr, "enable_strict: run with --reset to reset the fault\n");
                    return 1;
                }
                /* Bit 7 low first, so that the reset is a rising edge whatever was written before.
                 */
                if (!write_controlword(node, 0x0000) || !write_controlword(node, 0x0080) ||
                    !confirm(node, 0x0)) {
                    return 1;
                }
                break;
        }
    }
    fprintf(stderr, "enable_strict: node %d not enabled after %d steps\n", node, MAX_STEPS);
    return 1;
}

int main(int argc, char** argv) {
    long node = 1;
    int reset_fault = 0;
    int result;
    char* end = NULL;

    if (argc >= 3) {
        errno = 0;
        node = strtol(argv[2], &end, 0);
        if (errno != 0 || end == argv[2] || *end != '\0' || node < 1 || node > 127) argc = 0;
    }
    if (argc == 4 && strcmp(argv[3], "--reset") == 0) reset_fault = 1;
    if (argc < 2 || argc > 4 || (argc == 4 && !reset_fault)) {
        fprintf(stderr, "usage: %s DEVICE [NODE (1-127, default 1) [--reset]]\n", argv[0]);
        return 2;
    }
    if (!Serial_OpenDevice(argv[1], 115200)) {
        report(argv[1]);
        Serial_ClosePort(); /* a refused setting leaves the device open */
        return 1;
    }
    result = enable((int)node, reset_fault);
    Serial_ClosePort();
    return result;
}
