/*
 * orvex_exports.h - every export of ORVEX_DLL, written once: result type, name, parameter list and
 * argument list, in the order of the export table.
 *
 * The build makes the export table from this list (the Windows module-definition file, the Linux
 * version script and its shared-entry aliases), the library checks at compile time that orvex.h
 * declares each name with this signature, and the bindings are checked against it by tests. A host
 * that loads the library at run time can expand it to declare its function pointers:
 *
 *   #define DECLARE(result, name, params, args) result(ORVEX_CALL* name) params;
 *   #define DECLARE_ALIAS(result, name, target, params, args) DECLARE(result, name, params, args)
 *   ORVEX_EXPORTS(DECLARE, DECLARE_ALIAS)
 *
 * X(result, name, (parameters), (arguments)) is an export of its own; ALIAS(result, name, target,
 * (parameters), (arguments)) is a second name for the entry of `target` (the same function).
 */
#ifndef ORVEX_EXPORTS_H
#define ORVEX_EXPORTS_H

/* The 32 names of the original interface, on 28 entries. */
#define ORVEX_INTERFACE_EXPORTS(X, ALIAS)                                                          \
    X(int, Serial_OpenPort, (int port, int baud), (port, baud))                                    \
    X(int, Serial_ClosePort, (void), ())                                                           \
    X(int, U_Transmit, (const void* buffer, int length), (buffer, length))                         \
    X(int, U_Transmit_Validation,                                                                  \
      (void* purgeHandle, const void* request, void* answer, int requestLength, int answerLength), \
      (purgeHandle, request, answer, requestLength, answerLength))                                 \
    X(int, CMD_Enable_motor, (int node), (node))                                                   \
    ALIAS(int, PV_start_motor, CMD_Enable_motor, (int node), (node))                               \
    X(int, CMD_Disable_motor, (int node), (node))                                                  \
    X(int, CMD_Emergency_Stop_motor, (int node), (node))                                           \
    X(int, CMD_Restart_motor, (int node), (node))                                                  \
    X(int, PV_stop_motor, (int node), (node))                                                      \
    ALIAS(int, PP_stop_motor, PV_stop_motor, (int node), (node))                                   \
    ALIAS(int, HM_stop_motor, PV_stop_motor, (int node), (node))                                   \
    ALIAS(int, PT_stop_motor, PV_stop_motor, (int node), (node))                                   \
    X(int, Get_ALL_Enable_Status, (void), ())                                                      \
    X(int, Get_ALL_Reached_Status, (void), ())                                                     \
    X(int, Get_ALL_Err_Status, (void), ())                                                         \
    X(int, GetPosition, (int node), (node))                                                        \
    X(int, GetMotorStatus, (int node), (node))                                                     \
    X(int, GetVersions, (int node), (node))                                                        \
    X(int, SDO_Write, (int node, unsigned index, int subindex, unsigned value, int sizeCode),      \
      (node, index, subindex, value, sizeCode))                                                    \
    X(int, SDO_Read, (int node, unsigned index, int subindex, int* value, int sizeCode),           \
      (node, index, subindex, value, sizeCode))                                                    \
    X(int, LED_Set, (int node, int value), (node, value))                                          \
    X(int, PV_Set, (int node, int velocity, unsigned acceleration, unsigned deceleration),         \
      (node, velocity, acceleration, deceleration))                                                \
    X(int, PV_Set_Vel, (int node, int velocity), (node, velocity))                                 \
    X(int, PP_Set, (int node, int profileVelocity, unsigned acceleration, unsigned deceleration),  \
      (node, profileVelocity, acceleration, deceleration))                                         \
    X(int, PP_Inc_move, (int node, int distance), (node, distance))                                \
    X(int, PP_Abs_move, (int node, int position), (node, position))                                \
    X(int, PP_Abs_move_enhance, (int node, int position), (node, position))                        \
    X(int, HM_Set,                                                                                 \
      (int node, int speedSwitch, int speedZero, unsigned accelerationOrTorque, int method),       \
      (node, speedSwitch, speedZero, accelerationOrTorque, method))                                \
    X(int, HM_start_motor, (int node), (node))                                                     \
    X(int, PT_Set, (int node, int maxVelocity, int torque), (node, maxVelocity, torque))           \
    X(int, PT_start_motor, (int node), (node))

/* Additions every build of this library has: opening a port by path and the failure detail. */
#define ORVEX_BASE_EXPORTS(X)                                             \
    X(int, Serial_OpenDevice, (const char* path, int baud), (path, baud)) \
    X(int, Orvex_LastResult, (void), ())                                  \
    X(unsigned, Orvex_LastAbortCode, (void), ())                          \
    X(int, Orvex_LastSystemError, (void), ())

/* Extensions: a binding that may meet an older library treats these as optional. */
#define ORVEX_EXTENSION_EXPORTS(X)                                                               \
    X(int, Orvex_SetTimeLimits, (int query_ms, int exchange_ms), (query_ms, exchange_ms))        \
    X(int, Orvex_ReceiveFrame, (unsigned char* frame, int timeout_ms), (frame, timeout_ms))      \
    X(int, Orvex_ReadMany,                                                                       \
      (int count, const int* nodes, const int* indexes, const int* subindexes, unsigned* values, \
       int* results),                                                                            \
      (count, nodes, indexes, subindexes, values, results))                                      \
    X(int, Orvex_GetState, (int node, unsigned* statusword), (node, statusword))                 \
    X(int, Orvex_Enable, (int node, int timeout_ms), (node, timeout_ms))                         \
    X(int, Orvex_Disable, (int node, int timeout_ms), (node, timeout_ms))                        \
    X(int, Orvex_QuickStop, (int node, int timeout_ms), (node, timeout_ms))                      \
    X(int, Orvex_Halt, (int node, int timeout_ms), (node, timeout_ms))                           \
    X(int, Orvex_ResetFault, (int node, int timeout_ms, unsigned* cleared_code),                 \
      (node, timeout_ms, cleared_code))                                                          \
    X(int, Orvex_MoveTo, (int node, int position, int flags, int timeout_ms),                    \
      (node, position, flags, timeout_ms))                                                       \
    X(int, Orvex_WaitTarget, (int node, int timeout_ms, int* position),                          \
      (node, timeout_ms, position))                                                              \
    X(int, Orvex_Home, (int node, int timeout_ms), (node, timeout_ms))                           \
    X(int, Orvex_SetTorque, (int node, int torque), (node, torque))                              \
    X(int, Orvex_SdoUpload,                                                                      \
      (int node, int index, int subindex, unsigned char* buffer, int capacity, int* length),     \
      (node, index, subindex, buffer, capacity, length))                                         \
    X(int, Orvex_SdoDownload,                                                                    \
      (int node, int index, int subindex, const unsigned char* data, int length),                \
      (node, index, subindex, data, length))                                                     \
    X(int, Orvex_SetBlockTransfer, (int threshold_bytes, int block_size),                        \
      (threshold_bytes, block_size))                                                             \
    X(int, Orvex_LastTransfer, (int* kind, int* segments, int* flags), (kind, segments, flags)) \
    X(void, Orvex_Cancel, (void), ())                                                            \
    X(unsigned, Orvex_FramesDropped, (void), ())                                                 \
    X(const char*, Orvex_ResultText, (int outcome), (outcome))                                   \
    X(const char*, Orvex_AbortText, (unsigned code), (code))                                     \
    X(const char*, Orvex_ErrorCodeText, (unsigned code), (code))                                 \
    X(int, Orvex_DecodeState, (unsigned statusword), (statusword))                               \
    X(const char*, Orvex_StateName, (int state), (state))                                        \
    X(void, Orvex_GetTimeLimits, (int* query_ms, int* exchange_ms), (query_ms, exchange_ms))     \
    X(int, Orvex_SetMode, (int node, int mode, int timeout_ms), (node, mode, timeout_ms))        \
    X(int, Orvex_SetProfile,                                                                     \
      (int node, int velocity, unsigned acceleration, unsigned deceleration),                    \
      (node, velocity, acceleration, deceleration))                                              \
    X(int, Orvex_SetHoming,                                                                      \
      (int node, int method, int speed_switch, int speed_zero, unsigned acceleration),           \
      (node, method, speed_switch, speed_zero, acceleration))                                    \
    X(int, Orvex_SetVelocity, (int node, int velocity), (node, velocity))                        \
    X(int, Orvex_NextEvent, (OrvexEvent* event, int timeout_ms), (event, timeout_ms))            \
    X(int, Orvex_WatchHeartbeat, (int node, int consumer_ms), (node, consumer_ms))               \
    X(int, Orvex_Emergencies, (int node, OrvexEvent* events, int capacity),                      \
      (node, events, capacity))                                                                  \
    X(int, Orvex_StreamStart, (int node, const unsigned* entries, int count, int period_ms),     \
      (node, entries, count, period_ms))                                                         \
    X(int, Orvex_StreamRead,                                                                     \
      (int node, unsigned* values, int count, int* age_ms, unsigned* sequence),                  \
      (node, values, count, age_ms, sequence))                                                   \
    X(int, Orvex_StreamStop, (int node), (node))

/* The whole export table, in order. */
#define ORVEX_EXPORTS(X, ALIAS)       \
    ORVEX_INTERFACE_EXPORTS(X, ALIAS) \
    ORVEX_BASE_EXPORTS(X)             \
    ORVEX_EXTENSION_EXPORTS(X)

#endif /* ORVEX_EXPORTS_H */
