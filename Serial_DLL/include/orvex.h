/*
 * orvex.h - the public interface of ORVEX_DLL.
 *
 * ORVEX_DLL commands CANopen servo drives (CiA 301 expedited SDO, CiA 402 drive profile) through a
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
 *   - Thread-safe: commands may be issued from any thread; queries and raw exchanges run one at a
 *     time, each with its own time limit.
 *
 * Behaviour that differs from the first generation of this interface (results are unchanged except
 * where a bad argument is now refused):
 *   - Queries discard input already waiting before they send, and accept only the SDO upload answer
 *     for their own object (from their own node, for drive queries). Acknowledgements, boot-up
 *     messages, heartbeats, requests (an adapter that echoes the host's frames sends the query's
 *     own request back), answers for other nodes or objects and noise are skipped; an SDO abort for
 *     the object is a failure instead of a value. Expedited SDO carries no transaction id: an
 *     answer for the same node and object that arrives after the purge is taken, even one that was
 *     late for an earlier query.
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

/* ---- Outcome codes of Orvex_LastResult() ---------------------------------------------------- */
#define ORVEX_OK 0               /* the call succeeded */
#define ORVEX_NO_PORT (-1)       /* no port is open */
#define ORVEX_SYSTEM_ERROR (-2)  /* the operating system refused an open, write or read */
#define ORVEX_TIMEOUT (-10)      /* no (complete) answer within the time limit */
#define ORVEX_SDO_ABORT (-11)    /* the drive answered with an SDO abort */
#define ORVEX_BAD_ARGUMENT (-12) /* an argument was refused before anything was sent */

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
 *   above 60000 is refused (ORVEX_BAD_ARGUMENT, nothing changes). 1 when set, 0 when refused. Safe
 *   while other threads query: a new limit applies to exchanges that start after the call.
 * Orvex_ReceiveFrame: stores the next complete 12-byte frame that arrives on the port (any frame:
 *   answers, boot-ups, heartbeats, emergencies, echoes), regaining framing on CR LF after noise,
 *   and returns 1. Waits at most timeout_ms (0 takes only a frame already there, without waiting).
 *   0 otherwise, `frame` untouched, with Orvex_LastResult: ORVEX_TIMEOUT, ORVEX_NO_PORT (at once),
 *   ORVEX_SYSTEM_ERROR, or ORVEX_BAD_ARGUMENT for a null frame or a timeout_ms below 0 or above
 *   60000. It holds the exchange lock while it waits: queries from other threads wait for it, and
 *   their answers never arrive here. A frame still incomplete when the wait ends is kept for the
 *   next call; a query, a raw exchange or opening a port discards it.
 * Orvex_ReadMany: reads `count` objects (node, index, subindex taken from the three arrays) in one
 *   round trip: all upload requests (0x40) are written back to back in one write, then the answers
 *   are matched as they come, in any order, with the rules of the single queries (input waiting
 *   before is discarded; acknowledgements, boot-ups, echoes, other objects and noise are skipped;
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
 *   the exchange lock for the whole batch: other threads' queries wait and never take its answers.
 */
ORVEX_API int ORVEX_CALL Orvex_SetTimeLimits(int query_ms, int exchange_ms);
ORVEX_API int ORVEX_CALL Orvex_ReceiveFrame(unsigned char frame[12], int timeout_ms);
ORVEX_API int ORVEX_CALL Orvex_ReadMany(int count, const int* nodes, const int* indexes,
                                        const int* subindexes, unsigned* values, int* results);

#ifdef __cplusplus
}
#endif

#endif /* ORVEX_H */
