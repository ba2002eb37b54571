/*
 * orvex.h - the public interface of ORVEX_DLL.
 *
 * ORVEX_DLL commands CANopen servo drives (CiA 301 SDO, CiA 402 drive profile) through a
 * serial-to-CAN adapter. Every action is one or more 12-byte frames on the serial line:
 *
 *   byte 0-1  CAN identifier, high byte first (06 nn for an SDO request to node nn)
 *   byte 2    SDO command specifier (0x2F/0x2B/0x27/0x23 download 1/2/3/4 bytes, 0x40 upload)
 *   byte 3-5  object index (low byte first) and subindex
 *   byte 6-9  value, least significant byte first (all four bytes are always sent)
 *   byte 10-11  CR LF
 *
 * Conventions shared by every export:
 *   - A node argument is an int of which only the low 8 bits go on the wire.
 *   - Commands only write; they return 1 when every frame was handed to the port, 0 otherwise. A
 *     multi-frame command stops at its first failed write; frames already written stay in effect.
 *   - Queries send one upload request and wait at most 800 ms for the answer (a host can change
 *     the limit with Orvex_SetTimeLimits, see Extensions); on failure they return their failure
 *     value (0 or 255), which a drive can also report as a real value. Call Orvex_LastResult() to
 *     tell the two apart.
 *   - Every export except the three Orvex_Last* records, per calling thread, why it failed.
 *   - Loading the library takes about one second (a plain delay; nothing is measured). A host that
 *     does not need it sets the environment variable ORVEX_LOAD_DELAY_MS before loading: digits
 *     only, 0 to 1000 ms; anything else keeps the 1000 ms default. It is read once, at load.
 *   - Thread-safe: commands may be issued from any thread. Every frame the library sends goes out
 *     under one exchange lock: queries, raw exchanges, transfers, batches and the one-frame
 *     commands run one at a time, each with its own time limit, and no command lands between two
 *     frames of another thread's transfer or batch. Stops come first: the quick stop, halt and
 *     disable commands (CMD_Emergency_Stop_motor, CMD_Disable_motor, the *_stop_motor names and
 *     Orvex_QuickStop, Orvex_Halt, Orvex_Disable) never wait behind an exchange that awaits its
 *     answer: it stops at the next frame boundary, the stop goes out, and it goes on (a transfer
 *     to the stopped node then ends with its server's abort, reported as such).
 *
 * Behaviour that differs from the first generation of this interface (results are unchanged except
 * where a bad argument is now refused):
 *   - Queries take in the input already waiting before they send, and accept only the SDO upload
 *     answer for their own object (from their own node, for drive queries). Acknowledgements,
 *     requests (an adapter that echoes the host's frames sends the query's own request back),
 *     answers for other nodes or objects and noise are skipped; an SDO abort for the object is a
 *     failure instead of a value. Expedited SDO carries no transaction id: an answer for the same
 *     node and object that arrives after the query started is taken, even one that was late for an
 *     earlier query.
 *   - Nothing the bus says by itself is thrown away: emergencies, heartbeats, boot-ups, PDOs, SYNC
 *     and any other frame that is not SDO traffic, received while any call reads the line, are
 *     kept in arrival order for Orvex_ReceiveFrame (see Orvex_FramesDropped). Stale SDO answers
 *     are dropped.
 *   - Queries and raw exchanges are serialised across threads.
 *   - Serial_ClosePort is locked against other calls; opening a port closes one that is open, so an
 *     open that fails leaves no port (a setting refused after the device opened leaves that device
 *     open, see Serial_OpenPort).
 *   - Bad arguments are refused without touching memory or sending anything: null pointers,
 *     negative or zero lengths, a homing method outside -128..127 (see each export).
 *   - A write that the system completes only in part is continued until the frame is whole.
 *   - Time limits count the system tick counter's milliseconds: a load-time sleep that overran no
 *     longer stretches them, nor does a coarse counter shorten them.
 *   - A query whose request cannot be written, or whose device hangs up while it waits, fails at
 *     once (ORVEX_SYSTEM_ERROR) instead of waiting out its limit; a raw exchange whose read fails
 *     returns -10 instead of 0.
 */
#ifndef ORVEX_H
#define ORVEX_H

#if defined(_WIN32)
#define ORVEX_CALL __cdecl
#else
#define ORVEX_CALL
#endif

#if !defined(ORVEX_API)
#if defined(_WIN32)
#define ORVEX_API
#else
#define ORVEX_API __attribute__((visibility("default")))
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* An event the bus sent by itself (see Orvex_NextEvent): one layout for 32- and 64-bit hosts. */
typedef struct OrvexEvent {
    int kind;
    int node;
    unsigned time_ms;
    unsigned error_code;
    unsigned char error_register;
    unsigned char data[5];
    unsigned char nmt_state;
    unsigned char reserved;
} OrvexEvent;

/* The same names and signatures as one list, for generated tables and run-time loading. */
#include "orvex_exports.h"

/* ---- Outcome codes of Orvex_LastResult() ---------------------------------------------------- */
#define ORVEX_OK 0               /* the call succeeded */
#define ORVEX_NO_PORT (-1)       /* no port is open */
#define ORVEX_SYSTEM_ERROR (-2)  /* the operating system refused an open, write or read */
#define ORVEX_TIMEOUT (-10)      /* no (complete) answer within the time limit */
#define ORVEX_SDO_ABORT (-11)    /* the drive answered with an SDO abort */
#define ORVEX_BAD_ARGUMENT (-12) /* an argument was refused before anything was sent */
/* Outcomes of the drive procedures (Orvex_Enable ... Orvex_SetTorque): */
#define ORVEX_DRIVE_FAULT (-13)   /* the drive is in fault (or its fault reaction), or went there */
#define ORVEX_WRONG_STATE (-14)   /* the drive is not in the state or mode the call needs */
#define ORVEX_STATE_CHANGED (-15) /* the drive left operation enabled, or was halted, meanwhile */
#define ORVEX_HOMING_ERROR (-16)  /* the drive reports a homing error (statusword bit 13) */
#define ORVEX_VALUE_MISMATCH (-17) /* a value read back differs from the one written */
#define ORVEX_CANCELLED (-18)      /* Orvex_Cancel ended the wait */

/* ---- Port --------------------------------------------------------------------------------------
 * Serial_OpenPort: opens COM<port> on Windows ("COM%d" below 10, "\\.\COM%d" otherwise) and
 *   /dev/ttyS<port-1> elsewhere (port < 1 opens nothing), 8N1 raw, no flow control, RTS on, at any
 *   baud > 0. Closes an open port first. 1 when open and configured; 0 otherwise. An open that
 *   fails leaves no port open; only a rejected baud or line setting returns 0 with the device left
 *   open (Serial_ClosePort closes it).
 * Serial_OpenDevice: the same on any device path ("/dev/ttyUSB0", a pseudo-terminal,
 *   "\\.\COM12"); a null path returns 0 (ORVEX_BAD_ARGUMENT) and closes an open port.
 * Serial_ClosePort: closes the port if one is open; always returns 0. */
ORVEX_API int ORVEX_CALL Serial_OpenPort(int port, int baud);
ORVEX_API int ORVEX_CALL Serial_OpenDevice(const char* path, int baud);
ORVEX_API int ORVEX_CALL Serial_ClosePort(void);

/* ---- Raw transmission --------------------------------------------------------------------------
 * U_Transmit: writes `length` bytes as they are. 1 on success, 0 with no port, a write error, a
 *   null buffer or length <= 0 (U_Transmit(buf, 0) returns 0, ORVEX_BAD_ARGUMENT).
 * U_Transmit_Validation: flushes the receive side of purgeHandle when it is not null (a file
 *   descriptor number on POSIX, a HANDLE on Windows), writes the request, then waits until
 *   answerLength bytes are waiting (limit 800 ms for up to 50 bytes, 3800 ms beyond; both can be
 *   changed with Orvex_SetTimeLimits) and copies them unexamined into `answer`. 0 when the answer
 *   was read (or answerLength <= 0), -10 on time-out, on a read error, when the device hangs up
 *   during the wait, with no port open (after the limit), or for a null request/answer with a
 *   positive length or a negative requestLength (at once, nothing sent). Bytes of an answer that
 *   came too late stay queued and are read first by the next raw exchange. */
ORVEX_API int ORVEX_CALL U_Transmit(const void* buffer, int length);
ORVEX_API int ORVEX_CALL U_Transmit_Validation(void* purgeHandle, const void* request, void* answer,
                                               int requestLength, int answerLength);

/* ---- Device control: one frame each, controlword 0x6040 unless noted; 1 or 0 -------------- */
ORVEX_API int ORVEX_CALL CMD_Enable_motor(int node);  /* 0x000F enable operation */
ORVEX_API int ORVEX_CALL PV_start_motor(int node);    /* the same function as CMD_Enable_motor */
ORVEX_API int ORVEX_CALL CMD_Disable_motor(int node); /* 0x0007 back to switched on */
ORVEX_API int ORVEX_CALL CMD_Emergency_Stop_motor(int node); /* 0x0002 quick stop */
ORVEX_API int ORVEX_CALL CMD_Restart_motor(int node); /* NMT 00 00 82 node: reset communication */
/* The four stop names are one function: 0x010F, halt with operation still enabled. */
ORVEX_API int ORVEX_CALL PV_stop_motor(int node);
ORVEX_API int ORVEX_CALL PP_stop_motor(int node);
ORVEX_API int ORVEX_CALL HM_stop_motor(int node);
ORVEX_API int ORVEX_CALL PT_stop_motor(int node);

/* ---- Status queries: one upload request 0x40 each, 800 ms limit ------------------------------
 * The three summaries ask node 0 for 0x3001/0x3002/0x3003 and return its 32-bit value (255 on
 * failure); node 0 is the bus, not a drive, so an SDO response from any identifier 0x580-0x5FF with
 * that index and subindex is its answer (drive queries take only their own node's).
 * GetPosition: 0x6064, signed 32-bit (0 on failure). GetMotorStatus: statusword 0x6041,
 * 16 bits ANDed with 0x1D0F (0 on failure). GetVersions: 0x2001/1, 16 bits (0 on failure). */
ORVEX_API int ORVEX_CALL Get_ALL_Enable_Status(void);
ORVEX_API int ORVEX_CALL Get_ALL_Reached_Status(void);
ORVEX_API int ORVEX_CALL Get_ALL_Err_Status(void);
ORVEX_API int ORVEX_CALL GetPosition(int node);
ORVEX_API int ORVEX_CALL GetMotorStatus(int node);
ORVEX_API int ORVEX_CALL GetVersions(int node);

/* ---- Object access and LED ---------------------------------------------------------------------
 * sizeCode (low byte): 1, 2, 3 -> 1, 2, 3-byte transfer; any other value -> 4 bytes. index: low 16
 * bits, subindex: low 8 bits.
 * SDO_Write: one download (0x2F/0x2B/0x27/0x23), all four value bytes sent; 1 or 0. Not confirmed.
 * SDO_Read: upload request 0x4F/0x4B/0x47/0x43; on 1 stores answer bytes 6-9 as an unsigned 32-bit
 *   value through `value` (no sign extension). 0 on time-out, SDO abort (value untouched) or a null
 *   `value` (nothing sent).
 * LED_Set: download 0x23 to 0x2003/0x14; 1 or 0. */
ORVEX_API int ORVEX_CALL SDO_Write(int node, unsigned index, int subindex, unsigned value,
                                   int sizeCode);
ORVEX_API int ORVEX_CALL SDO_Read(int node, unsigned index, int subindex, int* value, int sizeCode);
ORVEX_API int ORVEX_CALL LED_Set(int node, int value);

/* ---- Profile velocity (mode 3) -----------------------------------------------------------------
 * PV_Set: mode 3, controlword 0x010F (held by halt), 0x60FF velocity, 0x6083 acceleration, 0x6084
 *   deceleration. Start with PV_start_motor, stop with PV_stop_motor.
 * PV_Set_Vel: 0x60FF target velocity. */
ORVEX_API int ORVEX_CALL PV_Set(int node, int velocity, unsigned acceleration,
                                unsigned deceleration);
ORVEX_API int ORVEX_CALL PV_Set_Vel(int node, int velocity);

/* ---- Profile position (mode 1) -----------------------------------------------------------------
 * PP_Set: controlword 0x010F, mode 1, 0x6081 profile velocity, 0x6083, 0x6084.
 * PP_Abs_move: 0x607A target, then controlword 0x003F (new set-point, immediately, absolute).
 * PP_Inc_move: 0x607A distance, then controlword 0x007F (relative).
 * PP_Abs_move_enhance: 0x607A target only; no trigger. */
ORVEX_API int ORVEX_CALL PP_Set(int node, int profileVelocity, unsigned acceleration,
                                unsigned deceleration);
ORVEX_API int ORVEX_CALL PP_Inc_move(int node, int distance);
ORVEX_API int ORVEX_CALL PP_Abs_move(int node, int position);
ORVEX_API int ORVEX_CALL PP_Abs_move_enhance(int node, int position);

/* ---- Homing (mode 6) ---------------------------------------------------------------------------
 * HM_Set: controlword 0x010F, mode 6, 0x6098 method (1-byte command, four value bytes); method !=
 *   0: 0x6099/1 speedSwitch, 0x6099/2 speedZero, 0x609A acceleration; method 0: 0x607F
 *   speedSwitch, 0x6071 torque (4-byte download); speedZero unused. A method outside -128..127
 *   (the object is one signed byte) returns 0 with ORVEX_BAD_ARGUMENT and sends nothing.
 * HM_start_motor: controlword 0x001F (homing start). Completion shows in the statusword (bit 12).
 */
ORVEX_API int ORVEX_CALL HM_Set(int node, int speedSwitch, int speedZero,
                                unsigned accelerationOrTorque, int method);
ORVEX_API int ORVEX_CALL HM_start_motor(int node);

/* ---- Profile torque (mode 4) -------------------------------------------------------------------
 * PT_Set: mode 4, 0x607F max velocity, 0x6071 torque (4-byte download), controlword 0x000F: the
 *   drive produces torque as soon as this succeeds.
 * PT_start_motor: mode 4, controlword 0x000F. */
ORVEX_API int ORVEX_CALL PT_Set(int node, int maxVelocity, int torque);
ORVEX_API int ORVEX_CALL PT_start_motor(int node);

/* ---- Failure detail (per calling thread; these three change nothing) ----------------------------
 * Orvex_LastResult: outcome of this thread's most recent call, one of the ORVEX_* codes above.
 * Orvex_LastAbortCode: the SDO abort code behind the last ORVEX_SDO_ABORT (0 if none).
 * Orvex_LastSystemError: errno (GetLastError on Windows) behind the last ORVEX_SYSTEM_ERROR. */
ORVEX_API int ORVEX_CALL Orvex_LastResult(void);
ORVEX_API unsigned ORVEX_CALL Orvex_LastAbortCode(void);
ORVEX_API int ORVEX_CALL Orvex_LastSystemError(void);

/* ---- Extensions --------------------------------------------------------------------------------
 * Orvex_SetTimeLimits: process-wide time limits. query_ms is the limit of every query (GetPosition,
 *   SDO_Read, ... and Orvex_ReadMany) and of raw exchanges awaiting up to 50 bytes (default 800);
 *   exchange_ms that of raw exchanges awaiting more (default 3800). An answer is late once strictly
 *   more than the limit has passed, never sooner. 0 keeps a limit as it is. A value below 1 or
 *   above 60000 (ORVEX_MIN_LIMIT_MS, ORVEX_MAX_LIMIT_MS) is refused (ORVEX_BAD_ARGUMENT, nothing
 *   changes). 1 when set, 0 when refused (Orvex_GetTimeLimits reads them back). Safe
 *   while other threads query: a new limit applies to exchanges that start after the call.
 * Orvex_ReceiveFrame: stores the next complete 12-byte frame that arrives on the port (any frame:
 *   answers, boot-ups, heartbeats, emergencies, echoes), regaining framing on CR LF after noise,
 *   and returns 1. Waits at most timeout_ms (0 takes only a frame already there, without waiting).
 *   0 otherwise, `frame` untouched, with Orvex_LastResult: ORVEX_TIMEOUT, ORVEX_NO_PORT (at once),
 *   ORVEX_SYSTEM_ERROR, or ORVEX_BAD_ARGUMENT for a null frame or a timeout_ms below 0 or above
 *   60000. Frames the bus sent by itself while other calls read the line come first, in the order
 *   they came (see Orvex_FramesDropped). While it waits it gives way to every other call: their
 *   answers never arrive here, and what the bus says meanwhile is kept for it. A frame still
 *   incomplete when the wait ends is kept for the next call; a raw exchange or opening a port
 *   discards it.
 * Orvex_ReadMany: reads `count` objects (node, index, subindex taken from the three arrays) in one
 *   round trip: all upload requests (0x40) are written back to back in one write, then the answers
 *   are matched as they come, in any order, with the rules of the single queries (input waiting
 *   before is taken in; acknowledgements, boot-ups, echoes, other objects and noise are skipped;
 *   a node-0 item takes an answer from any SDO response identifier). Per item, results[i] is
 *   ORVEX_OK with answer bytes 6-9 in values[i], or ORVEX_SDO_ABORT, ORVEX_TIMEOUT,
 *   ORVEX_SYSTEM_ERROR or ORVEX_NO_PORT with values[i] untouched. Returns the number of items read.
 *   Orvex_LastResult gives the most serious outcome (in rising order: OK, SDO abort, time-out,
 *   system error, no port) and Orvex_LastAbortCode the code of the first abort received. Items
 *   without an answer time out once strictly more than the query limit plus the batch's time on
 *   the line at the port's baud (both directions, 10 bits a byte) has passed since the requests
 *   were written.
 *   With no port it returns 0 at once. Refused with ORVEX_BAD_ARGUMENT, nothing sent, results[i]
 *   set to ORVEX_BAD_ARGUMENT where it can be: count <= 0 or above 127, a null array, a node
 *   outside 0-127, an index outside 0-0xFFFF, a subindex outside 0-255, the same item twice. Holds
 *   the exchange lock for the whole batch (giving way only to a stop): other threads' queries wait
 *   and never take its answers.
 */
ORVEX_API int ORVEX_CALL Orvex_SetTimeLimits(int query_ms, int exchange_ms);
ORVEX_API int ORVEX_CALL Orvex_ReceiveFrame(unsigned char frame[12], int timeout_ms);
ORVEX_API int ORVEX_CALL Orvex_ReadMany(int count, const int* nodes, const int* indexes,
                                        const int* subindexes, unsigned* values, int* results);

/* ---- Drive procedures (CiA 402) ----------------------------------------------------------------
 * The original exports above send fixed frames and read nothing back; a drive that follows CiA 402
 * to the letter needs more: one power-state transition at a time, the rising edge of a bit for a
 * set-point or a homing start, objects written with their own size. These procedures do it. Each
 * reads the whole statusword (0x6041, 16 bits), writes 2-byte controlwords (0x6040), confirms
 * every step by reading the statusword again, and never energises a motor that the call was not
 * asked to enable (only Orvex_Enable switches a drive on).
 *
 * Every write of a procedure is confirmed by the drive's SDO server before the procedure goes on:
 * its download confirmation (0x60) where the adapter forwards confirmations, as a CiA 301 server
 * sends one for every download; where the adapter forwards none, the object is read back in the
 * same round trip (an upload request right behind the write) and must hold the value written
 * (else ORVEX_VALUE_MISMATCH). Which of the two an adapter does is learnt from the first
 * procedure write after a port is opened: that write always goes out with its read-back, and
 * whichever answer comes first tells. A write the server refuses fails with ORVEX_SDO_ABORT and
 * its code (Orvex_LastAbortCode): a controlword refused for local control is reported as such,
 * never as a time-out. The one-frame commands of the original interface stay unconfirmed.
 *
 * A stop is never undone. A quick stop, halt or disable sent to a node (Orvex_QuickStop,
 * Orvex_Halt, Orvex_Disable, or the original stop commands, from any thread) goes out at once and
 * ends every other procedure on that node that began before it: its wait ends with
 * ORVEX_STATE_CHANGED and it writes nothing more, so no enable operation follows a stop.
 *
 * Each returns 1 on success and 0 on failure (Orvex_GetState: -1), with Orvex_LastResult saying
 * why: the outcomes of the queries (ORVEX_NO_PORT, ORVEX_TIMEOUT for an answer or a step not
 * confirmed within the limit, ORVEX_SDO_ABORT, ORVEX_SYSTEM_ERROR, ORVEX_BAD_ARGUMENT) and those
 * above from ORVEX_DRIVE_FAULT on. timeout_ms is the limit of the whole call, 0 to
 * ORVEX_MAX_WAIT_MS (0: one look at the drive, no waiting); each single answer still waits at most
 * the query limit (Orvex_SetTimeLimits). A node outside 1-127 or a time limit out of range is
 * refused with ORVEX_BAD_ARGUMENT before anything is sent. Between the statusword reads a procedure
 * pauses ORVEX_POLL_MS, so a waiting procedure leaves the bus to others. Like the queries, a
 * procedure holds the exchange lock only for each single exchange: other threads' calls go on
 * meanwhile.
 *
 * Orvex_GetState: the CiA 402 state, decoded from the whole statusword (an ORVEX_STATE_* code;
 *   ORVEX_STATE_UNKNOWN for a statusword that shows none), or -1 on failure. The statusword goes
 *   through `statusword` when it is not null.
 * Orvex_Enable: walks the drive to operation enabled, one transition at a time, each a controlword
 *   write confirmed by the statusword: switch on disabled -> shutdown 0x0006 -> ready to switch on
 *   -> switch on 0x0007 -> switched on -> enable operation 0x000F -> operation enabled. Not ready
 * to switch on is waited out (the drive leaves it by itself). From quick stop active it waits until
 *   the drive stands (bit 10), then writes disable voltage 0x0000 and walks up from switch on
 *   disabled: that transition exists whatever the quick stop option code (0x605A), while enable
 *   operation from quick stop active is taken only by drives whose option code is 5-8, and a drive
 *   still braking is never cut loose. Already enabled: nothing written. In fault or fault reaction
 *   active: ORVEX_DRIVE_FAULT, nothing written (Orvex_ResetFault first).
 * Orvex_Disable: operation enabled -> disable operation 0x0007 -> switched on, confirmed. From
 *   quick stop active it waits for standstill, then disable voltage 0x0000 -> switch on disabled.
 *   A drive already below operation enabled: nothing written, success. In fault: ORVEX_DRIVE_FAULT.
 * Orvex_QuickStop: writes quick stop 0x0002 at once, whatever the state, then confirms it as the
 *   quick stop option code 0x605A says (read after the stop; 2 when the drive lacks it): 0-4, the
 *   drive ends in switch on disabled; 5-8, it stays in quick stop active and is confirmed once it
 *   stands (bit 10); other codes accept either. A drive that was below operation enabled ends in
 *   switch on disabled or stays there. In fault: ORVEX_DRIVE_FAULT.
 * Orvex_Halt: halts a drive in operation enabled (controlword 0x010F: bit 8 with enable operation)
 *   and waits for standstill (bit 10). A drive in any other state gets nothing written and the call
 *   fails with ORVEX_WRONG_STATE (ORVEX_DRIVE_FAULT in fault): halt never switches a drive on.
 * Orvex_ResetFault: a drive in fault reaction active is waited out until it is in fault; the error
 *   code (0x603F, 0 where the drive lacks it) is read and stored through `cleared_code` when that
 *   is not null; then the rising edge of bit 7: 0x0000, confirmed and held for a drive cycle (10
 *   ms), then 0x0080, confirmed; the drive is looked at no sooner than a cycle later, also with a
 *   limit of 0 (one look, 10 ms after the edge), and the call waits until it has left fault (to
 *   switch on disabled: Orvex_Enable brings it back). A drive not in fault: 0 stored, nothing
 *   written, success. Still in fault at the limit: ORVEX_DRIVE_FAULT (its cause is still there).
 * Orvex_MoveTo: a profile position move with the set-point handshake. Needs operation enabled
 *   (else ORVEX_WRONG_STATE, or ORVEX_DRIVE_FAULT in fault) and profile position mode, shown in
 *   0x6061 (else ORVEX_WRONG_STATE); statusword, mode and controlword are read in one round trip
 *   before anything is written. Then: bit 4 low where it is high (0x000F, or 0x010F on a halted
 *   drive: the halt stays); a set-point still waiting in the drive (bit 12 high) is waited out;
 *   target 0x607A; the rising edge of bit 4 (0x001F, with bit 5 for ORVEX_MOVE_IMMEDIATE and bit
 *   6 for ORVEX_MOVE_RELATIVE); the set-point acknowledge (bit 12) is awaited; bit 4 low again
 *   (0x000F), so that the next move is an edge too. After a halt (controlword bit 8) the new
 *   set-point replaces the halted move whatever the flags: the trigger carries bit 5 and ends the
 *   halt, so the drive never resumes the halted move first. Returns once the drive has taken the
 *   set-point; Orvex_WaitTarget waits for the motion. A call that fails leaves the drive as it
 *   found it: a refused target or trigger (ORVEX_SDO_ABORT) is reported at once; a drive that
 *   never acknowledges fails with ORVEX_TIMEOUT and gets bit 4 low again, halted again if it was
 *   halted (never running toward a target of before); a drive that left operation enabled
 *   (ORVEX_STATE_CHANGED, ORVEX_DRIVE_FAULT) or was stopped meanwhile gets nothing more written.
 *   Unknown flag bits: ORVEX_BAD_ARGUMENT. Hosts and the bindings move with ORVEX_MOVE_IMMEDIATE
 *   by default: go there now.
 * Orvex_WaitTarget: waits until the drive reports its target reached: statusword bit 10 in profile
 *   position and profile velocity (and any other mode), bits 12 and 10 together in homing (a homing
 *   error, bit 13, fails at once with ORVEX_HOMING_ERROR). Statusword and position are read in one
 *   round trip a poll, the mode once a call. Fails at once with ORVEX_STATE_CHANGED when the drive
 *   leaves operation enabled (quick stop, disable) or has stopped because it was halted (the
 *   controlword's bit 8 is read once bit 10 is seen), ORVEX_DRIVE_FAULT when it went into fault,
 *   ORVEX_TIMEOUT when the limit passes. The last position read goes through `position` (when not
 *   null) on success and failure alike, so that a host can call it with a short limit in a loop
 *   and show progress; untouched when no position was read.
 * Orvex_Home: starts homing on a rising edge of bit 4 (0x000F, then 0x001F) on a drive in operation
 *   enabled and homing mode (6, set up with HM_Set; else ORVEX_WRONG_STATE). With timeout_ms > 0 it
 *   then waits as Orvex_WaitTarget does in homing mode: done on bits 12 and 10 together, also when
 *   that shows at the first look (methods 35 and 37 home on the spot), ORVEX_HOMING_ERROR at once
 *   on bit 13. With 0 it returns once the start is written and the statusword shows no error.
 * Orvex_SetTorque: target torque 0x6071 as the INTEGER16 it is (a 2-byte download; PT_Set and
 *   method-0 HM_Set write 4 bytes, which a drive that checks sizes refuses), then read back: a
 *   drive that kept another value fails with ORVEX_VALUE_MISMATCH, one that refused the write with
 *   ORVEX_SDO_ABORT. A torque outside -32768..32767 is refused (ORVEX_BAD_ARGUMENT, nothing sent).
 *   No state is needed or changed: it only sets the torque the next profile torque run uses.
 */
#define ORVEX_STATE_UNKNOWN 0
#define ORVEX_STATE_NOT_READY_TO_SWITCH_ON 1
#define ORVEX_STATE_SWITCH_ON_DISABLED 2
#define ORVEX_STATE_READY_TO_SWITCH_ON 3
#define ORVEX_STATE_SWITCHED_ON 4
#define ORVEX_STATE_OPERATION_ENABLED 5
#define ORVEX_STATE_QUICK_STOP_ACTIVE 6
#define ORVEX_STATE_FAULT_REACTION_ACTIVE 7
#define ORVEX_STATE_FAULT 8

#define ORVEX_MOVE_RELATIVE \
    1 /* the position is a distance, counted as the drive counts it (bit 6) */
#define ORVEX_MOVE_IMMEDIATE 2 /* replace a move under way at once (bit 5) instead of after it */

#define ORVEX_MAX_WAIT_MS 3600000 /* the longest time limit a procedure takes: one hour */
#define ORVEX_POLL_MS 2           /* pause between two statusword reads of a waiting procedure */

ORVEX_API int ORVEX_CALL Orvex_GetState(int node, unsigned* statusword);
ORVEX_API int ORVEX_CALL Orvex_Enable(int node, int timeout_ms);
ORVEX_API int ORVEX_CALL Orvex_Disable(int node, int timeout_ms);
ORVEX_API int ORVEX_CALL Orvex_QuickStop(int node, int timeout_ms);
ORVEX_API int ORVEX_CALL Orvex_Halt(int node, int timeout_ms);
ORVEX_API int ORVEX_CALL Orvex_ResetFault(int node, int timeout_ms, unsigned* cleared_code);
ORVEX_API int ORVEX_CALL Orvex_MoveTo(int node, int position, int flags, int timeout_ms);
ORVEX_API int ORVEX_CALL Orvex_WaitTarget(int node, int timeout_ms, int* position);
ORVEX_API int ORVEX_CALL Orvex_Home(int node, int timeout_ms);
ORVEX_API int ORVEX_CALL Orvex_SetTorque(int node, int torque);

/* ---- Setting up a mode without switching a drive on --------------------------------------------
 * PP_Set, PV_Set and HM_Set begin with controlword 0x010F (halt with enable operation), which
 * switches on a drive that is switched on but not enabled. These set a drive up in any state and
 * never write the controlword; each write is confirmed as the procedures' writes are (see above),
 * and the first refusal ends the call with ORVEX_SDO_ABORT and its code. 1 on success, 0 on
 * failure with Orvex_LastResult; a node outside 1-127 is refused (ORVEX_BAD_ARGUMENT).
 * Orvex_SetMode: modes of operation 0x6060 (one signed byte, -128..127: 1 profile position, 3
 *   profile velocity, 4 profile torque, 6 homing), then waits until the drive shows the mode in
 *   0x6061 (ORVEX_TIMEOUT when it does not within timeout_ms, 0 to ORVEX_MAX_WAIT_MS).
 * Orvex_SetProfile: profile velocity 0x6081, acceleration 0x6083, deceleration 0x6084 (profile
 *   position; profile velocity uses the last two).
 * Orvex_SetHoming: homing method 0x6098 (one signed byte, -128..127), speeds 0x6099:1 (switch)
 *   and 0x6099:2 (zero), acceleration 0x609A.
 * Orvex_SetVelocity: target velocity 0x60FF; a drive in profile velocity mode and operation
 *   enabled follows it at once.
 */
ORVEX_API int ORVEX_CALL Orvex_SetMode(int node, int mode, int timeout_ms);
ORVEX_API int ORVEX_CALL Orvex_SetProfile(int node, int velocity, unsigned acceleration,
                                          unsigned deceleration);
ORVEX_API int ORVEX_CALL Orvex_SetHoming(int node, int method, int speed_switch, int speed_zero,
                                         unsigned acceleration);
ORVEX_API int ORVEX_CALL Orvex_SetVelocity(int node, int velocity);

/* ---- Events: what the drives say by themselves --------------------------------------------------
 * A drive sends an emergency (0x080+node) when it faults and when its error is reset, a boot-up
 * (0x700+node, state 0) when it starts, and a heartbeat (0x700+node) with its NMT state every
 * period. The library decodes them from every frame the bus sends unasked, whoever reads the line
 * (no thread of its own): each becomes an OrvexEvent in a queue of 256 (the oldest dropped when it
 * is full). The frames stay available to Orvex_ReceiveFrame as well. Closing or opening a port
 * forgets the events and emergencies of the line before (the heartbeats watched stay watched).
 *
 * OrvexEvent has one layout for 32- and 64-bit hosts, 24 bytes:
 *   offset 0  kind           ORVEX_EVENT_*
 *   offset 4  node           1-127
 *   offset 8  time_ms        the library's millisecond tick at arrival (GetTickCount on Windows,
 *                            the monotonic clock elsewhere; it wraps after 49.7 days)
 *   offset 12 error_code     an emergency's error code (0x0000: error reset, no error)
 *   offset 16 error_register an emergency's error register (0x1001)
 *   offset 17 data[5]        an emergency's manufacturer bytes
 *   offset 22 nmt_state      the state a heartbeat or boot-up shows: 0x00 boot-up, 0x04 stopped,
 *                            0x05 operational, 0x7F pre-operational
 *   offset 23 reserved
 *
 * Orvex_NextEvent: stores the next event and returns 1, reading the line for at most timeout_ms
 *   (0: only what is decoded or waiting already) while giving way to every other call, as
 *   Orvex_ReceiveFrame does. 0 otherwise, with ORVEX_TIMEOUT, ORVEX_NO_PORT (nothing decoded and
 *   no port), ORVEX_CANCELLED, ORVEX_SYSTEM_ERROR, or ORVEX_BAD_ARGUMENT (null event, timeout_ms
 *   outside 0-60000).
 * Orvex_WatchHeartbeat: the heartbeat consumer of CiA 301 for node 1-127: when no heartbeat has
 *   come for consumer_ms (1-65535; 0 stops watching), one ORVEX_EVENT_HEARTBEAT_LOST, and one
 *   ORVEX_EVENT_HEARTBEAT_BACK when the next heartbeat comes. The consumer time counts from the
 *   call; it is judged whenever a call uses the line or asks for events, never later than the next
 *   such call. 1, or 0 with ORVEX_BAD_ARGUMENT.
 * Orvex_Emergencies: the node's last 8 emergencies, newest first, into `events` (capacity
 *   entries); returns how many were stored (-1 with ORVEX_BAD_ARGUMENT for a node outside 1-127,
 *   a negative capacity or a null events with capacity > 0). A fault reset that succeeded
 *   (Orvex_ResetFault) clears them. Takes no lock of the line: safe while another thread waits.
 */
#define ORVEX_EVENT_EMERGENCY 1
#define ORVEX_EVENT_BOOT_UP 2
#define ORVEX_EVENT_STATE_CHANGED 3 /* a heartbeat shows another NMT state than the last one */
#define ORVEX_EVENT_HEARTBEAT_LOST 4
#define ORVEX_EVENT_HEARTBEAT_BACK 5

ORVEX_API int ORVEX_CALL Orvex_NextEvent(OrvexEvent* event, int timeout_ms);
ORVEX_API int ORVEX_CALL Orvex_WatchHeartbeat(int node, int consumer_ms);
ORVEX_API int ORVEX_CALL Orvex_Emergencies(int node, OrvexEvent* events, int capacity);

/* ---- Streaming: cyclic values without requests ---------------------------------------------------
 * A drive sends chosen objects by itself every period_ms in a transmit PDO (one 8-byte frame,
 * transmission type 254 with an event timer; no SYNC needed): no request on the line at all, so a
 * 115200-baud adapter line carries about 960 such frames a second beside the commands. The library
 * recognises a stream's frames by their COB-ID, whoever reads the line, and keeps each node's
 * newest values; they never reach Orvex_ReceiveFrame or a query.
 *
 * Orvex_StreamStart: configures a free transmit PDO of the node (the one it streams on already,
 *   else the first of TPDO1-4 whose COB-ID is invalid) by SDO, each write confirmed, in the order
 *   CiA 301 requires: COB-ID invalid (bit 31) first, transmission type 254, event timer =
 *   period_ms, inhibit time 0, mapping count 0, the entries, the count, then the COB-ID valid
 *   (0x180 + node for TPDO1, the PDO's own default otherwise), then NMT start for the node: PDOs flow
 *   only in operational, so the node goes operational. `entries` are `count` (1-8) mapping entries
 *   as CiA 301 writes them, index << 16 | subindex << 8 | bit length (0x60410010 statusword,
 *   0x60640020 position), 1-32 bits each and 64 in all. A refusal is ORVEX_SDO_ABORT with its code
 *   (0x06040041 an object that cannot be mapped, 0x06040042 too many bits) and leaves the PDO
 *   invalid; a node with no free PDO, ORVEX_WRONG_STATE. period_ms 1-65535.
 * Orvex_StreamRead: the node's newest values into `values` (up to `count`, as many as were
 *   mapped), sign-extended to 32 bits for the drive profile's signed objects (positions,
 *   velocities, torques, the mode display) and zero-extended otherwise; their age in ms through
 *   `age_ms` and the number of frames received since the start through `sequence` (null pointers
 *   skipped). No I/O beyond taking in what has arrived. 1 when values were stored; 0 with
 *   ORVEX_TIMEOUT when none has come yet, ORVEX_WRONG_STATE when the node streams nothing.
 * Orvex_StreamStop: makes the PDO's COB-ID invalid again (confirmed) and forgets the stream; for
 *   a node this library streams nothing from (a stream another program started), TPDO1's.
 *   Closing or opening a port forgets every stream (the drives keep sending until told).
 */
ORVEX_API int ORVEX_CALL Orvex_StreamStart(int node, const unsigned* entries, int count,
                                           int period_ms);
ORVEX_API int ORVEX_CALL Orvex_StreamRead(int node, unsigned* values, int count, int* age_ms,
                                          unsigned* sequence);
ORVEX_API int ORVEX_CALL Orvex_StreamStop(int node);

/* ---- Objects of any size -----------------------------------------------------------------------
 * SDO transfers as CiA 301 defines them, for objects that do not fit four bytes (device name
 * 0x1008, hardware and software versions 0x1009/0x100A, DOMAIN objects) and for any other object.
 * node 1-127, index 0-0xFFFF, subindex 0-255. Each returns 1 on success, 0 on failure with
 * Orvex_LastResult saying why: ORVEX_NO_PORT (at once), ORVEX_SYSTEM_ERROR, ORVEX_TIMEOUT,
 * ORVEX_SDO_ABORT, ORVEX_BAD_ARGUMENT (nothing sent). ORVEX_SDO_ABORT means the transfer was
 * aborted, by the server or by the library, and Orvex_LastAbortCode gives the code: the library
 * aborts a wrong toggle bit with 0x05030000, an unexpected command with 0x05040001, a bad block
 * size or sequence number with 0x05040002/0x05040003, a CRC mismatch with 0x05040004, an object
 * larger than the buffer with 0x05040005, and sizes that disagree with 0x06070010/0x06070012/
 * 0x06070013. Each step (an answer, a segment, a block's acknowledgement) waits at most the query
 * limit (Orvex_SetTimeLimits; a block's time on the line at the port's baud is added while its
 * segments go out); a step that times out sends the abort 0x05040000, so that the server is free
 * again, and fails with ORVEX_TIMEOUT (ORVEX_CANCELLED after Orvex_Cancel, with the same abort).
 * The segments of a block each wait the query limit from the segment before. Any abort from the
 * node's server ends the transfer with that abort's code, whatever object it names (a server
 * answers a foreign request in the middle of a transfer that way); a block segment numbered 0 or
 * beyond the block size is aborted with 0x05040003. No transfer runs for ever: it takes at most
 * 2 x (size / 7 + 8) answers, size being the data's length (downloads) or the buffer's capacity
 * (uploads), each within the query limit plus its frames' time on the line; past that it is
 * aborted as timed out. Like the queries, a transfer takes in what is waiting before it starts and
 * skips frames that are not its own (other nodes' answers, acknowledgements, heartbeats and
 * emergencies, which are kept for Orvex_ReceiveFrame, and the adapter's echoes of the host's
 * requests); segment answers, which name no object, are taken only from the node's own response
 * identifier 0x580+node. The exchange lock is held for the whole transfer: other threads' calls
 * wait and never take its answers, and never send a frame in the middle of it, but for a stop (see
 * the conventions above), which goes out at the next frame boundary. Nothing is allocated.
 *
 * Orvex_SdoUpload: reads the object into buffer (capacity bytes) and stores the number of bytes
 *   received through `length`. Sends an upload initiate (0x40) and takes what the server answers:
 *   expedited (up to four bytes; without a size indicated all four count), or segmented with the
 *   size indicated or not. With block transfers on (Orvex_SetBlockTransfer) it starts a block
 *   upload instead (0xA4: CRC offered, the block size, and a protocol switch threshold of the
 *   block threshold, at most 255 bytes, below which the server may answer the plain way); a server
 *   that refuses it (abort 0x05040001, whatever object the abort names) is asked again the plain
 *   way. An object larger than
 *   capacity aborts the transfer with 0x05040005 (ORVEX_SDO_ABORT) and `*length` is then the size
 *   the server announced, or the bytes known to come when it announced none: *length > capacity
 *   after a failure says the buffer was too small, and by how much. buffer may be null with
 *   capacity 0. A null length, a negative capacity or a null buffer with capacity > 0 is refused.
 * Orvex_SdoDownload: writes `length` bytes of data (0 or more) and returns once the server has
 *   confirmed every step: 1-4 bytes expedited (0x2F/0x2B/0x27/0x23, confirmed by 0x60), more (or
 *   none) segmented with the size indicated (0x21, then segments of seven bytes, each confirmed
 *   with its toggle bit), or block (0xC6) when block transfers are on and length is above their
 *   threshold; a server that refuses a block download (0x05040001) gets a segmented one. An
 *   adapter that does not pass download confirmations on cannot complete these writes (SDO_Write
 *   writes without one). A negative length, or a null data with length > 0, is refused.
 * Orvex_SetBlockTransfer: process-wide: uploads, and downloads longer than threshold_bytes, use
 *   block transfers with block_size segments (seven bytes each) a block, 1-127; threshold_bytes 0
 *   turns them off (the default; block_size may then be 0). Downloads of four bytes or fewer are
 *   always expedited. The CRC is used when both sides support it. A threshold below 0 or above
 *   65535, or a block size outside 1-127 with a threshold above 0, is refused (ORVEX_BAD_ARGUMENT,
 *   nothing changes). 1 when set, 0 when refused. A transfer under way keeps the settings it began
 *   with.
 * Orvex_LastTransfer: how this thread's last Orvex_SdoUpload or Orvex_SdoDownload went, also when
 *   it failed: its kind (returned, and stored through `kind`), the segments it carried, repeats
 *   included (`segments`), and ORVEX_TRANSFER_* flags (`flags`); null pointers are skipped.
 *   ORVEX_TRANSFER_NONE when the call was refused or no transfer began. Changes nothing, like the
 *   three failure-detail exports.
 */
#define ORVEX_TRANSFER_NONE 0
#define ORVEX_TRANSFER_EXPEDITED 1
#define ORVEX_TRANSFER_SEGMENTED 2
#define ORVEX_TRANSFER_BLOCK 3
#define ORVEX_TRANSFER_SIZE_INDICATED 1 /* the size was announced before the data */
#define ORVEX_TRANSFER_CRC 2            /* a block transfer whose CRC was checked */
#define ORVEX_TRANSFER_FELL_BACK 4      /* the server refused a block transfer: segmented instead */
#define ORVEX_TRANSFER_REPEATED 8       /* segments of a block were lost and sent again */

ORVEX_API int ORVEX_CALL Orvex_SdoUpload(int node, int index, int subindex, unsigned char* buffer,
                                         int capacity, int* length);
ORVEX_API int ORVEX_CALL Orvex_SdoDownload(int node, int index, int subindex,
                                           const unsigned char* data, int length);
ORVEX_API int ORVEX_CALL Orvex_SetBlockTransfer(int threshold_bytes, int block_size);
ORVEX_API int ORVEX_CALL Orvex_LastTransfer(int* kind, int* segments, int* flags);

/* ---- Cancelling waits and frames kept -----------------------------------------------------------
 * Orvex_Cancel: ends every wait in progress when it is called, in any thread, within 20 ms: a
 *   procedure's wait (Orvex_Enable ... Orvex_Home, Orvex_WaitTarget), a query's or a transfer's
 *   wait for its answer, Orvex_ReceiveFrame, Orvex_ReadMany, U_Transmit_Validation. Each ends as it
 *   ends on a time-out (the same result; a transfer sends its abort 0x05040000), with
 *   Orvex_LastResult ORVEX_CANCELLED. Calls that begin after it are not affected. It takes no lock
 *   and touches nothing but one lock-free counter: a POSIX signal handler (SIGINT) or a Windows
 *   console control handler may call it.
 * Orvex_FramesDropped: frames the bus sent by itself (emergencies, heartbeats, boot-ups, PDOs,
 *   SYNC, anything that is not an answer to an SDO request) are kept, in the order they came, in a
 *   queue of 256 frames whoever was reading the line when they came; Orvex_ReceiveFrame hands them
 *   out first. When the queue is full the oldest frame is dropped for the new one; this counts the
 *   frames dropped so since the library was loaded. Stale SDO answers (late or repeated answers to
 *   earlier requests) are not kept. Changes nothing, like Orvex_LastResult.
 */
ORVEX_API void ORVEX_CALL Orvex_Cancel(void);
ORVEX_API unsigned ORVEX_CALL Orvex_FramesDropped(void);

/* ---- What codes mean ----------------------------------------------------------------------------
 * Texts for logs and messages, so that a host needs no table of its own. Each text is a static
 * string that lives as long as the library (never null, never to be freed); the functions do no
 * I/O, take no lock, may be called from any thread at any time (with no port open too) and change
 * nothing, Orvex_LastResult included.
 *
 * Orvex_ResultText: the meaning of an outcome (ORVEX_OK ... ORVEX_CANCELLED), e.g. "no answer
 *   within the time limit"; "unknown outcome" for any other code.
 * Orvex_AbortText: the meaning of an SDO abort code (Orvex_LastAbortCode), e.g. 0x06020000
 *   "object does not exist in the object dictionary". A code of no known meaning gets a text that
 *   says so and names its class where the high byte names one (0x05 SDO protocol, 0x06 object
 *   access, 0x08 general).
 * Orvex_ErrorCodeText: the meaning of an error code, as a drive reports it in 0x603F and in its
 *   emergency messages (16 bits), e.g. 0x2310 "continuous over current". A code the library does
 *   not know by itself is named by its group (the high byte) or else its class (the high nibble)
 *   with " (unknown code)" added, e.g. 0x2399 "current, device output side (unknown code)"; a code
 *   of no known class, or wider than 16 bits, gets a text that says so.
 * Orvex_DecodeState: the ORVEX_STATE_* code of a statusword (0x6041), decoded from bits 0-3, 5
 *   and 6 as Orvex_GetState does; ORVEX_STATE_UNKNOWN for one that shows no state.
 * Orvex_StateName: the name of an ORVEX_STATE_* code, e.g. "operation enabled"; "unknown state"
 *   for ORVEX_STATE_UNKNOWN and "not a state code" for any other number.
 * Orvex_GetTimeLimits: the time limits in force (Orvex_SetTimeLimits), read together: the query
 *   limit through query_ms and the exchange limit through exchange_ms; a null pointer is skipped.
 *   Either lies within ORVEX_MIN_LIMIT_MS to ORVEX_MAX_LIMIT_MS.
 *
 * A C host that logs its failures needs nothing more:
 *
 *   if (!Orvex_MoveTo(1, 20000, 0, 5000)) {
 *       int outcome = Orvex_LastResult();
 *       fprintf(stderr, "move: %s\n", Orvex_ResultText(outcome));
 *       if (outcome == ORVEX_SDO_ABORT)
 *           fprintf(stderr, "  abort 0x%08X: %s\n", Orvex_LastAbortCode(),
 *                   Orvex_AbortText(Orvex_LastAbortCode()));
 *   }
 */
#define ORVEX_MIN_LIMIT_MS 1     /* the shortest time limit Orvex_SetTimeLimits takes */
#define ORVEX_MAX_LIMIT_MS 60000 /* the longest */

ORVEX_API const char* ORVEX_CALL Orvex_ResultText(int outcome);
ORVEX_API const char* ORVEX_CALL Orvex_AbortText(unsigned code);
ORVEX_API const char* ORVEX_CALL Orvex_ErrorCodeText(unsigned code);
ORVEX_API int ORVEX_CALL Orvex_DecodeState(unsigned statusword);
ORVEX_API const char* ORVEX_CALL Orvex_StateName(int state);
ORVEX_API void ORVEX_CALL Orvex_GetTimeLimits(int* query_ms, int* exchange_ms);

#ifdef __cplusplus
}
#endif

#endif /* ORVEX_H */
