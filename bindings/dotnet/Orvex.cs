// Orvex.cs - the .NET binding of ORVEX_DLL: one source file, no dependencies, netstandard2.0 (also
// .NET Framework 4.x, .NET 5+ and Mono). Add it to a project as it is.
//
// Native holds one P/Invoke declaration for each export of orvex_exports.h, exactly as the library
// declares it (cdecl, int and uint as the C types are, arrays and out parameters where C takes a
// pointer); a test checks it against that list. Bus and Drive are the checked layer over it: they
// throw an OrvexException, one class per outcome (with Orvex_LastResult, the abort code and its
// meaning), where the library reports a failure. Every text shown for an outcome, abort code,
// error code or state is the library's (Meanings); the binding keeps no table of them.
//
// Waits: each procedure is one library call with the whole time limit. One that takes a
// CancellationToken ends within 20 ms of the token's cancellation (Orvex_Cancel, which ends every
// wait then in progress in the process) and throws OperationCanceledException; a motion whose
// wait is cancelled so (MoveTo, WaitTarget, MoveAndWait, Home) is halted first. A wait ended by a
// cancel from elsewhere (Native.Orvex_Cancel, e.g. from a console control handler) throws
// OrvexCancelledException (LastResult Outcome.Cancelled).
//
// Moves go there now (MoveFlags.Immediate) unless told otherwise, as in orvex and Python.
//
// Which file is loaded: "ORVEX_DLL" is ORVEX_DLL.dll on Windows, from the program's folder or the
// system's DLL search path; take x64\ORVEX_DLL.dll for a 64-bit process (AnyCPU on a 64-bit
// Windows, the default) and x86\ORVEX_DLL.dll for a 32-bit one (x86, or "Prefer 32-bit"). A wrong
// one fails with BadImageFormatException. On Linux, Mono and .NET look for libORVEX_DLL.so on the
// library path (LD_LIBRARY_PATH); the Windows release archive does not hold it (the Debian package
// and a build from the sources do).
using System;
using System.Runtime.InteropServices;
using System.Threading;

namespace Orvex
{
    /// <summary>Outcome codes of Orvex_LastResult (ORVEX_* in orvex.h).</summary>
    public enum Outcome
    {
        Ok = 0,
        NoPort = -1,
        SystemError = -2,
        Timeout = -10,
        SdoAbort = -11,
        BadArgument = -12,
        DriveFault = -13,
        WrongState = -14,
        StateChanged = -15,
        HomingError = -16,
        ValueMismatch = -17,
        Cancelled = -18,
    }

    /// <summary>CiA 402 power states as Orvex_GetState reports them (ORVEX_STATE_*).</summary>
    public enum DriveState
    {
        Unknown = 0,
        NotReadyToSwitchOn = 1,
        SwitchOnDisabled = 2,
        ReadyToSwitchOn = 3,
        SwitchedOn = 4,
        OperationEnabled = 5,
        QuickStopActive = 6,
        FaultReactionActive = 7,
        Fault = 8,
    }

    /// <summary>Flags of Orvex_MoveTo (ORVEX_MOVE_*).</summary>
    [Flags]
    public enum MoveFlags
    {
        None = 0,
        Relative = 1,
        Immediate = 2,
    }

    /// <summary>How Orvex_SdoUpload or Orvex_SdoDownload moved the data (ORVEX_TRANSFER_*, as
    /// Orvex_LastTransfer reports it).</summary>
    public enum TransferKind
    {
        None = 0,
        Expedited = 1,
        Segmented = 2,
        Block = 3,
    }

    /// <summary>What else Orvex_LastTransfer reports of a transfer (ORVEX_TRANSFER_* flags).</summary>
    [Flags]
    public enum TransferFlags
    {
        None = 0,
        SizeIndicated = 1,
        Crc = 2,
        FellBack = 4,
        Repeated = 8,
    }

    /// <summary>Every export of ORVEX_DLL, declared as orvex_exports.h declares it. These behave
    /// exactly as in C: they return failure values and never throw; Orvex_LastResult tells why
    /// (on the calling thread).</summary>
    public static class Native
    {
        public const string LibraryName = "ORVEX_DLL";
        public const int MaxWaitMs = 3600000; // ORVEX_MAX_WAIT_MS
        public const int PollMs = 2;          // ORVEX_POLL_MS
        public const int MinLimitMs = 1;      // ORVEX_MIN_LIMIT_MS
        public const int MaxLimitMs = 60000;  // ORVEX_MAX_LIMIT_MS

        private const CallingConvention Cdecl = CallingConvention.Cdecl;

        // ---- the original interface ----
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int Serial_OpenPort(int port, int baud);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int Serial_ClosePort();
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int U_Transmit(byte[] buffer, int length);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int U_Transmit_Validation(IntPtr purgeHandle, byte[] request,
                                                       [Out] byte[] answer, int requestLength,
                                                       int answerLength);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int CMD_Enable_motor(int node);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int PV_start_motor(int node);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int CMD_Disable_motor(int node);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int CMD_Emergency_Stop_motor(int node);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int CMD_Restart_motor(int node);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int PV_stop_motor(int node);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int PP_stop_motor(int node);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int HM_stop_motor(int node);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int PT_stop_motor(int node);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int Get_ALL_Enable_Status();
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int Get_ALL_Reached_Status();
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int Get_ALL_Err_Status();
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int GetPosition(int node);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int GetMotorStatus(int node);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int GetVersions(int node);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int SDO_Write(int node, uint index, int subindex, uint value,
                                           int sizeCode);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int SDO_Read(int node, uint index, int subindex, out int value,
                                          int sizeCode);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int LED_Set(int node, int value);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int PV_Set(int node, int velocity, uint acceleration,
                                        uint deceleration);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int PV_Set_Vel(int node, int velocity);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int PP_Set(int node, int profileVelocity, uint acceleration,
                                        uint deceleration);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int PP_Inc_move(int node, int distance);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int PP_Abs_move(int node, int position);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int PP_Abs_move_enhance(int node, int position);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int HM_Set(int node, int speedSwitch, int speedZero,
                                        uint accelerationOrTorque, int method);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int HM_start_motor(int node);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int PT_Set(int node, int maxVelocity, int torque);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int PT_start_motor(int node);

        // ---- opening a port by path, and the failure detail ----
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true,
                   CharSet = CharSet.Ansi, BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern int Serial_OpenDevice([MarshalAs(UnmanagedType.LPStr)] string path,
                                                   int baud);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int Orvex_LastResult();
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern uint Orvex_LastAbortCode();
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int Orvex_LastSystemError();

        // ---- extensions ----
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int Orvex_SetTimeLimits(int query_ms, int exchange_ms);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int Orvex_ReceiveFrame([Out] byte[] frame, int timeout_ms);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int Orvex_ReadMany(int count, int[] nodes, int[] indexes,
                                                int[] subindexes, [Out] uint[] values,
                                                [Out] int[] results);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int Orvex_GetState(int node, out uint statusword);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int Orvex_Enable(int node, int timeout_ms);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int Orvex_Disable(int node, int timeout_ms);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int Orvex_QuickStop(int node, int timeout_ms);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int Orvex_Halt(int node, int timeout_ms);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int Orvex_ResetFault(int node, int timeout_ms, out uint cleared_code);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int Orvex_MoveTo(int node, int position, int flags, int timeout_ms);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int Orvex_WaitTarget(int node, int timeout_ms, out int position);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int Orvex_Home(int node, int timeout_ms);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int Orvex_SetTorque(int node, int torque);

        // ---- objects of any size ----
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int Orvex_SdoUpload(int node, int index, int subindex,
                                                 [Out] byte[] buffer, int capacity,
                                                 out int length);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int Orvex_SdoDownload(int node, int index, int subindex, byte[] data,
                                                   int length);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int Orvex_SetBlockTransfer(int threshold_bytes, int block_size);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int Orvex_LastTransfer(out int kind, out int segments, out int flags);

        // ---- cancelling waits, frames kept ----
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern void Orvex_Cancel();
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern uint Orvex_FramesDropped();

        // ---- events ----
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int Orvex_NextEvent(out OrvexEvent @event, int timeout_ms);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int Orvex_WatchHeartbeat(int node, int consumer_ms);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int Orvex_Emergencies(int node, [Out] OrvexEvent[] events,
                                                   int capacity);

        // ---- streaming ----
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int Orvex_StreamStart(int node, uint[] entries, int count,
                                                   int period_ms);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int Orvex_StreamRead(int node, [Out] uint[] values, int count,
                                                  out int age_ms, out uint sequence);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int Orvex_StreamStop(int node);

        // ---- what codes mean: the texts are the library's static strings, never to be freed
        // (IntPtr, not string, so that the marshaller frees nothing; Meanings reads them) ----
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern IntPtr Orvex_ResultText(int outcome);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern IntPtr Orvex_AbortText(uint code);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern IntPtr Orvex_ErrorCodeText(uint code);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int Orvex_DecodeState(uint statusword);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern IntPtr Orvex_StateName(int state);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern void Orvex_GetTimeLimits(out int query_ms, out int exchange_ms);

        // ---- setting up a mode without switching a drive on ----
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int Orvex_SetMode(int node, int mode, int timeout_ms);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int Orvex_SetProfile(int node, int velocity, uint acceleration,
                                                  uint deceleration);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int Orvex_SetHoming(int node, int method, int speed_switch,
                                                 int speed_zero, uint acceleration);
        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int Orvex_SetVelocity(int node, int velocity);
    }

    /// <summary>A drive's values sent by itself in a transmit PDO (Drive.Stream).</summary>
    public sealed class Stream
    {
        private readonly Drive drive;
        private readonly int count;

        internal Stream(Drive drive, int count)
        {
            this.drive = drive;
            this.count = count;
        }

        /// <summary>The newest values (the library sign-extends the drive profile's signed
        /// objects), their age in ms and the frames received so far; null when no frame has come
        /// yet. Reads nothing from the drive.</summary>
        public StreamValues Read()
        {
            var values = new uint[count];
            int age;
            uint frames;
            if (Native.Orvex_StreamRead(drive.Node, values, count, out age, out frames) == 1)
                return new StreamValues(Array.ConvertAll(values, v => unchecked((int)v)), age, frames);
            if ((Outcome)Native.Orvex_LastResult() == Outcome.Timeout) return null;
            throw Bus.Failure.Read().Exception(null, "Orvex_StreamRead", drive.Node);
        }

        /// <summary>Makes the PDO invalid again (Orvex_StreamStop).</summary>
        public void Stop()
        {
            drive.Bus.Call("Orvex_StreamStop", drive.Node, () => Native.Orvex_StreamStop(drive.Node));
        }
    }

    /// <summary>One reading of a stream.</summary>
    public sealed class StreamValues
    {
        public int[] Values { get; }
        public int AgeMs { get; }
        public uint Frames { get; }

        internal StreamValues(int[] values, int ageMs, uint frames)
        {
            Values = values;
            AgeMs = ageMs;
            Frames = frames;
        }
    }

    /// <summary>The kinds of OrvexEvent (ORVEX_EVENT_*).</summary>
    public enum EventKind
    {
        Emergency = 1,
        BootUp = 2,
        StateChanged = 3,
        HeartbeatLost = 4,
        HeartbeatBack = 5,
    }

    /// <summary>What a drive said by itself (orvex.h: Orvex_NextEvent): 24 bytes, one layout
    /// for 32- and 64-bit hosts.</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct OrvexEvent
    {
        public int Kind;
        public int Node;
        public uint TimeMs;
        public uint ErrorCode;
        public byte ErrorRegister;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 5)] public byte[] Data;
        public byte NmtState;
        public byte Reserved;
    }

    /// <summary>What outcomes, abort codes, error codes and states mean, as the library words
    /// them (Orvex_ResultText, Orvex_AbortText, Orvex_ErrorCodeText, Orvex_StateName).</summary>
    public static class Meanings
    {
        public static string Result(Outcome outcome) =>
            Marshal.PtrToStringAnsi(Native.Orvex_ResultText((int)outcome));
        public static string Abort(uint code) => Marshal.PtrToStringAnsi(Native.Orvex_AbortText(code));
        public static string ErrorCode(ushort code) =>
            Marshal.PtrToStringAnsi(Native.Orvex_ErrorCodeText(code));
        public static string State(DriveState state) =>
            Marshal.PtrToStringAnsi(Native.Orvex_StateName((int)state));
        public static DriveState DecodeState(ushort statusword) =>
            (DriveState)Native.Orvex_DecodeState(statusword);

        /// <summary>The operating system's own text for an error number of
        /// Orvex_LastSystemError: GetLastError's message on Windows, strerror elsewhere.</summary>
        public static string SystemError(int error)
        {
            if (Environment.OSVersion.Platform == PlatformID.Win32NT)
                return new System.ComponentModel.Win32Exception(error).Message;
            try
            {
                return Marshal.PtrToStringAnsi(strerror(error));
            }
            catch (Exception e) when (e is DllNotFoundException || e is EntryPointNotFoundException)
            {
                return "system error " + error;
            }
        }

        [DllImport("libc", CallingConvention = CallingConvention.Cdecl)]
        private static extern IntPtr strerror(int error);
    }

    /// <summary>A failure the library reported: the export, the node, and this thread's failure
    /// detail right after the call.</summary>
    public class OrvexException : Exception
    {
        public string Operation { get; }
        public int? Node { get; }
        /// <summary>Orvex_LastResult after the failed call.</summary>
        public Outcome LastResult { get; }
        /// <summary>Orvex_LastAbortCode: the SDO abort code (0 unless LastResult is SdoAbort).</summary>
        public uint AbortCode { get; }
        /// <summary>The abort code's meaning (null without an abort).</summary>
        public string AbortMeaning { get; }
        /// <summary>Orvex_LastSystemError: errno, or GetLastError on Windows (SystemError only).</summary>
        public int SystemError { get; }

        public OrvexException(string message, string operation, int? node, Outcome lastResult,
                              uint abortCode, int systemError)
            : base(message)
        {
            Operation = operation;
            Node = node;
            LastResult = lastResult;
            AbortCode = abortCode;
            AbortMeaning = lastResult == Outcome.SdoAbort ? Meanings.Abort(abortCode) : null;
            SystemError = systemError;
        }
    }

    /// <summary>No port is open (or the Bus was closed); nothing was sent.</summary>
    public class NoPortException : OrvexException
    {
        public NoPortException(string message, string operation, int? node)
            : base(message, operation, node, Outcome.NoPort, 0, 0) { }
    }

    /// <summary>The operating system refused an open, write or read; SystemError is its error
    /// number, and the message says what the system calls it.</summary>
    public class OrvexSystemException : OrvexException
    {
        public OrvexSystemException(string message, string operation, int? node, int systemError)
            : base(message, operation, node, Outcome.SystemError, 0, systemError) { }
    }

    /// <summary>The drive refused an object access with an SDO abort: AbortCode and its
    /// AbortMeaning, the library's text.</summary>
    public class OrvexSdoAbortException : OrvexException
    {
        public OrvexSdoAbortException(string message, string operation, int? node, uint abortCode)
            : base(message, operation, node, Outcome.SdoAbort, abortCode, 0) { }
    }

    /// <summary>No complete answer, or the drive did not get there, within the time limit.</summary>
    public class OrvexTimeoutException : OrvexException
    {
        public OrvexTimeoutException(string message, string operation, int? node)
            : base(message, operation, node, Outcome.Timeout, 0, 0) { }
    }

    /// <summary>The library refused an argument before anything was sent.</summary>
    public class OrvexBadArgumentException : OrvexException
    {
        public OrvexBadArgumentException(string message, string operation, int? node)
            : base(message, operation, node, Outcome.BadArgument, 0, 0) { }
    }

    /// <summary>The drive is in fault or went there; ErrorCode is its 0x603F (null when it could
    /// not be read).</summary>
    public class DriveFaultException : OrvexException
    {
        public ushort? ErrorCode { get; }

        public DriveFaultException(string message, string operation, int? node, ushort? errorCode)
            : base(message, operation, node, Outcome.DriveFault, 0, 0)
        {
            ErrorCode = errorCode;
        }
    }

    /// <summary>The drive is not in the state (or the mode) the call needs; nothing was written.
    /// Found is the state it was in after the call (Unknown where it could not be read), Needed
    /// the one the call needs.</summary>
    public class OrvexWrongStateException : OrvexException
    {
        public DriveState Found { get; }
        public DriveState Needed { get; }

        public OrvexWrongStateException(string message, string operation, int? node,
                                        DriveState found, DriveState needed)
            : base(message, operation, node, Outcome.WrongState, 0, 0)
        {
            Found = found;
            Needed = needed;
        }
    }

    /// <summary>The drive left operation enabled, or was halted, while the call waited.</summary>
    public class OrvexStateChangedException : OrvexException
    {
        public OrvexStateChangedException(string message, string operation, int? node)
            : base(message, operation, node, Outcome.StateChanged, 0, 0) { }
    }

    /// <summary>The drive reports a homing error (statusword bit 13).</summary>
    public class OrvexHomingException : OrvexException
    {
        public OrvexHomingException(string message, string operation, int? node)
            : base(message, operation, node, Outcome.HomingError, 0, 0) { }
    }

    /// <summary>A value read back after a write differs from the one written.</summary>
    public class OrvexValueMismatchException : OrvexException
    {
        public OrvexValueMismatchException(string message, string operation, int? node)
            : base(message, operation, node, Outcome.ValueMismatch, 0, 0) { }
    }

    /// <summary>Orvex_Cancel from elsewhere ended the wait (a CancellationToken of the call
    /// throws OperationCanceledException instead).</summary>
    public class OrvexCancelledException : OrvexException
    {
        public OrvexCancelledException(string message, string operation, int? node)
            : base(message, operation, node, Outcome.Cancelled, 0, 0) { }
    }

    /// <summary>One open port of the library. The library has one port per process, so only one
    /// Bus is open at a time.</summary>
    /// <summary>One event of Bus.NextEvent, decoded: an emergency with its error code and the
    /// library's text for it, a boot-up, an NMT state change seen in a heartbeat, a heartbeat lost
    /// or back (Drive.WatchHeartbeat).</summary>
    public sealed class BusEvent
    {
        public EventKind Kind { get; }
        public int Node { get; }
        /// <summary>The library's millisecond tick at arrival (wraps after 49.7 days).</summary>
        public uint TimeMs { get; }
        /// <summary>An emergency's error code (0: error reset).</summary>
        public ushort ErrorCode { get; }
        public byte ErrorRegister { get; }
        /// <summary>An emergency's five manufacturer-specific bytes.</summary>
        public byte[] Manufacturer { get; }
        /// <summary>The NMT state a heartbeat or boot-up showed (0x00 boot-up, 0x04 stopped,
        /// 0x05 operational, 0x7F pre-operational).</summary>
        public byte NmtState { get; }

        internal BusEvent(OrvexEvent raw)
        {
            Kind = (EventKind)raw.Kind;
            Node = raw.Node;
            TimeMs = raw.TimeMs;
            ErrorCode = (ushort)raw.ErrorCode;
            ErrorRegister = raw.ErrorRegister;
            Manufacturer = (byte[])(raw.Data ?? new byte[5]).Clone();
            NmtState = raw.NmtState;
        }

        /// <summary>What the event means; for an emergency the library's text of its code.</summary>
        public string Meaning
        {
            get
            {
                switch (Kind)
                {
                    case EventKind.Emergency:
                        return Meanings.ErrorCode(ErrorCode);
                    case EventKind.BootUp:
                        return "the node started (boot-up)";
                    case EventKind.StateChanged:
                        return string.Format("NMT state now 0x{0:X2}", NmtState);
                    case EventKind.HeartbeatLost:
                        return "no heartbeat within the consumer time";
                    case EventKind.HeartbeatBack:
                        return "heartbeat back";
                    default:
                        return "event kind " + (int)Kind;
                }
            }
        }

        public override string ToString()
        {
            return Kind == EventKind.Emergency
                       ? string.Format("node {0} emergency 0x{1:X4} {2}, error register 0x{3:X2}",
                                       Node, ErrorCode, Meaning, ErrorRegister)
                       : string.Format("node {0} {1}: {2}", Node, Kind, Meaning);
        }
    }

    public sealed class Bus : IDisposable
    {
        public const int DefaultBaud = 115200;
        private const string LoadDelayVariable = "ORVEX_LOAD_DELAY_MS";
        private static readonly object OpenLock = new object();
        private static Bus open;
        private static bool loaded;
        private bool closed;

        /// <summary>The device path or COM port this Bus opened.</summary>
        public string Device { get; }
        public bool IsOpen => !closed;

        private Bus(string device)
        {
            Device = device;
        }

        /// <summary>Opens a device by path: "COM3", @"\\.\COM12", "/dev/ttyUSB0".</summary>
        public static Bus Open(string device, int baud = DefaultBaud)
        {
            if (string.IsNullOrEmpty(device) || device.IndexOf('\0') >= 0)
                throw new ArgumentException("a device path is needed", nameof(device));
            return Open(device, "Serial_OpenDevice", () => Native.Serial_OpenDevice(device, baud), baud);
        }

        /// <summary>Opens COM<paramref name="port"/> (/dev/ttyS(port-1) outside Windows).</summary>
        public static Bus OpenPort(int port, int baud = DefaultBaud)
        {
            return Open("COM" + port, "Serial_OpenPort", () => Native.Serial_OpenPort(port, baud), baud);
        }

        private static Bus Open(string device, string operation, Func<int> openCall, int baud)
        {
            lock (OpenLock)
            {
                if (open != null)
                    throw new InvalidOperationException(
                        "the library's one port is held by the Bus on " + open.Device +
                        "; close it first");
                Load();
                if (openCall() != 1)
                {
                    Failure f = Failure.Read();
                    ClosePortAfterRefusal(); // a refused setting can leave the device open
                    throw f.Exception("cannot open " + device + " at " + baud + " baud",
                                      operation, null);
                }
                open = new Bus(device);
                return open;
            }
        }

        // The library sleeps one second while it loads unless ORVEX_LOAD_DELAY_MS says otherwise:
        // a host has no use for it, so it is loaded with 0 unless the user chose a value, and the
        // variable is set only for that moment.
        private static void Load()
        {
            if (loaded) return;
            bool chosen = Environment.GetEnvironmentVariable(LoadDelayVariable) != null;
            if (!chosen) SetLoadVariable(LoadDelayVariable, "0");
            try
            {
                LoadNow();
            }
            finally
            {
                if (!chosen) SetLoadVariable(LoadDelayVariable, null);
            }
            loaded = true;
        }

        /// <summary>Closes the port. Safe to call twice.</summary>
        public void Close()
        {
            lock (OpenLock)
            {
                if (closed) return;
                closed = true;
                Native.Serial_ClosePort();
                if (open == this) open = null;
            }
        }

        public void Dispose() => Close();

        /// <summary>The drive at CANopen node 1-127.</summary>
        public Drive Drive(int node)
        {
            if (node < 1 || node > 127)
                throw new ArgumentOutOfRangeException(nameof(node), node, "a node is 1-127");
            return new Drive(this, node);
        }

        /// <summary>Frames the bus sent by itself (emergencies, heartbeats, PDOs) that the library
        /// dropped since it was loaded: it keeps the latest 256 (Orvex_FramesDropped).</summary>
        public uint FramesDropped => Native.Orvex_FramesDropped();

        /// <summary>Time limits of queries and of long raw exchanges, in ms (0 keeps one).</summary>
        public void SetTimeLimits(int queryMs, int exchangeMs = 0)
        {
            Call("Orvex_SetTimeLimits", null, () => Native.Orvex_SetTimeLimits(queryMs, exchangeMs));
        }

        /// <summary>The next event the drives send by themselves, waiting at most timeoutMs
        /// (0 to 60000; Orvex_NextEvent); null when none came in that time or the wait was
        /// cancelled (Orvex_Cancel). Events are decoded whoever reads the line: other threads'
        /// queries go on meanwhile, and each event is handed out once.</summary>
        public BusEvent NextEvent(int timeoutMs)
        {
            CheckOpen("Orvex_NextEvent", null);
            OrvexEvent raw;
            if (Native.Orvex_NextEvent(out raw, timeoutMs) == 1) return new BusEvent(raw);
            Failure f = Failure.Read();
            if (f.Outcome == Outcome.Timeout || f.Outcome == Outcome.Cancelled) return null;
            throw f.Exception(null, "Orvex_NextEvent", null);
        }

        // A closed Bus never reaches the library: a query with no port would wait out its limit.
        internal void CheckOpen(string operation, int? node)
        {
            if (closed)
                throw new NoPortException(Describe(operation, node) + ": this Bus is closed",
                                          operation, node);
        }

        // Runs an export that returns 1 on success; anything else is a failure.
        internal void Call(string operation, int? node, Func<int> call, string context = null)
        {
            CheckOpen(operation, node);
            if (call() != 1) throw Failure.Read().Exception(context, operation, node);
        }

        // Runs a query; its value counts only when the library reports success.
        internal int Query(string operation, int? node, Func<int> call)
        {
            CheckOpen(operation, node);
            int value = call();
            Failure f = Failure.Read();
            if (f.Outcome != Outcome.Ok) throw f.Exception(null, operation, node);
            return value;
        }

        // Calls Orvex_Cancel once the token is cancelled, and again until the wait it guards has
        // ended: a cancel reaches only waits in progress, and the guarded one may be about to begin.
        // Once disposed, no cancel of its own is left to reach a later call (the halt after it).
        internal sealed class CancelOnToken : IDisposable
        {
            private volatile bool ended;
            private readonly CancellationTokenRegistration registration;
            private readonly ManualResetEventSlim idle = new ManualResetEventSlim(true);

            public CancelOnToken(CancellationToken token)
            {
                registration = token.Register(Fire);
            }

            private void Fire()
            {
                idle.Reset();
                Native.Orvex_Cancel();
                ThreadPool.QueueUserWorkItem(_ =>
                {
                    try
                    {
                        while (!ended)
                        {
                            Native.Orvex_Cancel();
                            Thread.Sleep(5);
                        }
                    }
                    finally
                    {
                        idle.Set();
                    }
                });
            }

            public void Dispose()
            {
                ended = true;
                registration.Dispose(); // waits for a Fire in progress
                idle.Wait();
                idle.Dispose();
            }
        }

        internal static string Describe(string operation, int? node)
        {
            return node.HasValue ? operation + " (node " + node.Value + ")" : operation;
        }

        // This thread's failure detail, read right after the call it explains.
        internal struct Failure
        {
            public Outcome Outcome;
            public uint AbortCode;
            public int SystemError;

            public static Failure Read()
            {
                return new Failure
                {
                    Outcome = (Outcome)Native.Orvex_LastResult(),
                    AbortCode = Native.Orvex_LastAbortCode(),
                    SystemError = Native.Orvex_LastSystemError(),
                };
            }

            // The exception of the outcome, worded with the library's text. errorCode goes with
            // a fault; found is the state a drive was in after a WrongState.
            public OrvexException Exception(string context, string operation, int? node,
                                            ushort? errorCode = null,
                                            DriveState found = DriveState.Unknown)
            {
                string prefix = Describe(operation, node) + (context != null ? ": " + context : "");
                string text = prefix + ": " + Meanings.Result(Outcome);
                switch (Outcome)
                {
                    case Outcome.NoPort:
                        return new NoPortException(text, operation, node);
                    case Outcome.SystemError:
                        return new OrvexSystemException(
                            prefix + ": " + Meanings.SystemError(SystemError) + " (system error " +
                                SystemError + ")",
                            operation, node, SystemError);
                    case Outcome.Timeout:
                        int queryMs, exchangeMs;
                        Native.Orvex_GetTimeLimits(out queryMs, out exchangeMs);
                        return new OrvexTimeoutException(text + " (" + queryMs + " ms an answer)",
                                                         operation, node);
                    case Outcome.SdoAbort:
                        return new OrvexSdoAbortException(
                            string.Format("{0}: SDO abort 0x{1:X8}, {2}", prefix, AbortCode,
                                          Meanings.Abort(AbortCode)),
                            operation, node, AbortCode);
                    case Outcome.BadArgument:
                        return new OrvexBadArgumentException(text, operation, node);
                    case Outcome.DriveFault:
                        return new DriveFaultException(
                            text +
                                (errorCode.HasValue
                                     ? string.Format(" (error code 0x{0:X4}, {1})", errorCode.Value,
                                                     Meanings.ErrorCode(errorCode.Value))
                                     : "") +
                                "; ResetFault() clears it once its cause is gone",
                            operation, node, errorCode);
                    case Outcome.WrongState:
                        const DriveState needed = DriveState.OperationEnabled;
                        return new OrvexWrongStateException(
                            text + ": it is " + Meanings.State(found) +
                                (found == needed ? ", in another mode of operation"
                                                 : ", the call needs " + Meanings.State(needed)),
                            operation, node, found, needed);
                    case Outcome.StateChanged:
                        return new OrvexStateChangedException(text, operation, node);
                    case Outcome.HomingError:
                        return new OrvexHomingException(text, operation, node);
                    case Outcome.ValueMismatch:
                        return new OrvexValueMismatchException(text, operation, node);
                    case Outcome.Cancelled:
                        return new OrvexCancelledException(text, operation, node);
                    default:
                        return new OrvexException(text + " (outcome " + (int)Outcome + ")",
                                                  operation, node, Outcome, AbortCode, SystemError);
                }
            }
        }

        // ---- the environment the library reads at load ----

        // Sets (null: removes) a variable where the library reads it at load: the process
        // environment on Windows (GetEnvironmentVariableA), the C runtime's elsewhere (getenv),
        // which .NET's Environment.SetEnvironmentVariable does not reach there.
        internal static void SetLoadVariable(string name, string value)
        {
            Environment.SetEnvironmentVariable(name, value);
            if (Environment.OSVersion.Platform == PlatformID.Win32NT) return;
            try
            {
                CRuntime.Set(name, value, false);
            }
            catch (DllNotFoundException)
            {
                CRuntime.Set(name, value, true);
            }
        }

        // The first call into the library loads it. A method of its own, compiled only when it
        // runs: a runtime that resolves a P/Invoke target while compiling its caller (Mono) would
        // otherwise load the library before the variable is set.
        [System.Runtime.CompilerServices.MethodImpl(
            System.Runtime.CompilerServices.MethodImplOptions.NoInlining)]
        private static void LoadNow() => Native.Orvex_LastResult();

        // For Open, which runs before the library is loaded: no P/Invoke of its own (see LoadNow).
        [System.Runtime.CompilerServices.MethodImpl(
            System.Runtime.CompilerServices.MethodImplOptions.NoInlining)]
        private static void ClosePortAfterRefusal() => Native.Serial_ClosePort();

        internal static class CRuntime
        {
            private const string GlibcName = "libc.so.6";
            private const string LibcName = "libc"; // other C libraries, by the runtime's own mapping

            [DllImport(GlibcName, EntryPoint = "setenv", CallingConvention = CallingConvention.Cdecl)]
            private static extern int GlibcSetenv(string name, string value, int overwrite);
            [DllImport(GlibcName, EntryPoint = "unsetenv", CallingConvention = CallingConvention.Cdecl)]
            private static extern int GlibcUnsetenv(string name);
            [DllImport(GlibcName, EntryPoint = "getenv", CallingConvention = CallingConvention.Cdecl)]
            private static extern IntPtr GlibcGetenv(string name);
            [DllImport(LibcName, EntryPoint = "setenv", CallingConvention = CallingConvention.Cdecl)]
            private static extern int LibcSetenv(string name, string value, int overwrite);
            [DllImport(LibcName, EntryPoint = "unsetenv", CallingConvention = CallingConvention.Cdecl)]
            private static extern int LibcUnsetenv(string name);
            [DllImport(LibcName, EntryPoint = "getenv", CallingConvention = CallingConvention.Cdecl)]
            private static extern IntPtr LibcGetenv(string name);

            internal static void Set(string name, string value, bool other)
            {
                if (value == null)
                {
                    if (other) LibcUnsetenv(name);
                    else GlibcUnsetenv(name);
                }
                else if (other)
                {
                    LibcSetenv(name, value, 1);
                }
                else
                {
                    GlibcSetenv(name, value, 1);
                }
            }

            // What the C runtime's getenv sees (null: not set).
            internal static string Get(string name)
            {
                IntPtr value;
                try
                {
                    value = GlibcGetenv(name);
                }
                catch (DllNotFoundException)
                {
                    value = LibcGetenv(name);
                }
                return value == IntPtr.Zero ? null : Marshal.PtrToStringAnsi(value);
            }
        }
    }

    /// <summary>One CiA 402 drive on a Bus. Every method waits for the drive to confirm what it
    /// asked, through the library's drive procedures, and throws an OrvexException otherwise.
    /// Time limits are in milliseconds (0 to Native.MaxWaitMs).</summary>
    public sealed class Drive
    {
        public const int DefaultTimeoutMs = 5000;

        public Bus Bus { get; }
        public int Node { get; }

        internal Drive(Bus bus, int node)
        {
            Bus = bus;
            Node = node;
        }

        /// <summary>Watches this drive's heartbeat (Orvex_WatchHeartbeat): when none has come for
        /// consumerMs, Bus.NextEvent gives one HeartbeatLost, and one HeartbeatBack when it
        /// returns. 0 stops watching.</summary>
        public void WatchHeartbeat(int consumerMs)
        {
            Bus.Call("Orvex_WatchHeartbeat", Node, () => Native.Orvex_WatchHeartbeat(Node, consumerMs));
        }

        /// <summary>Sets up a transmit PDO of this drive to send the entries (CiA 301 mapping
        /// entries, index &lt;&lt; 16 | subindex &lt;&lt; 8 | bits; default statusword and
        /// position) every periodMs by itself and starts the node (Orvex_StreamStart: it goes
        /// NMT operational).</summary>
        public Stream Stream(uint[] entries = null, int periodMs = 10)
        {
            entries = entries ?? new uint[] { 0x60410010, 0x60640020 };
            Bus.Call("Orvex_StreamStart", Node,
                     () => Native.Orvex_StreamStart(Node, entries, entries.Length, periodMs));
            return new Stream(this, entries.Length);
        }

        /// <summary>The drive's last emergencies (at most 8), newest first (Orvex_Emergencies);
        /// a fault reset that succeeded clears them.</summary>
        public BusEvent[] Emergencies()
        {
            var raw = new OrvexEvent[8];
            int count = Native.Orvex_Emergencies(Node, raw, raw.Length);
            if (count < 0) throw Bus.Failure.Read().Exception(null, "Orvex_Emergencies", Node);
            var events = new BusEvent[count];
            for (int i = 0; i < count; ++i) events[i] = new BusEvent(raw[i]);
            return events;
        }

        /// <summary>The CiA 402 power state, decoded from the whole statusword.</summary>
        public DriveState State => ReadState(out _);

        /// <summary>The statusword 0x6041.</summary>
        public ushort Statusword
        {
            get
            {
                ReadState(out ushort statusword);
                return statusword;
            }
        }

        private DriveState ReadState(out ushort statusword)
        {
            uint word = 0;
            int state = Bus.Query("Orvex_GetState", Node, () => Native.Orvex_GetState(Node, out word));
            statusword = (ushort)word;
            return (DriveState)state;
        }

        /// <summary>The actual position 0x6064.</summary>
        public int Position => Bus.Query("GetPosition", Node, () => Native.GetPosition(Node));

        /// <summary>The error code 0x603F (0: no error).</summary>
        public ushort ErrorCode => (ushort)SdoRead(0x603F, 0, 2);

        /// <summary>To operation enabled, one confirmed transition at a time.</summary>
        public void Enable(int timeoutMs = DefaultTimeoutMs, CancellationToken cancel = default) =>
            Procedure("Orvex_Enable", () => Native.Orvex_Enable(Node, timeoutMs), cancel);

        /// <summary>Down to switched on (switch on disabled from quick stop active).</summary>
        public void Disable(int timeoutMs = DefaultTimeoutMs, CancellationToken cancel = default) =>
            Procedure("Orvex_Disable", () => Native.Orvex_Disable(Node, timeoutMs), cancel);

        public void QuickStop(int timeoutMs = DefaultTimeoutMs, CancellationToken cancel = default) =>
            Procedure("Orvex_QuickStop", () => Native.Orvex_QuickStop(Node, timeoutMs), cancel);

        /// <summary>Halts a drive in operation enabled and waits until it stands.</summary>
        public void Halt(int timeoutMs = DefaultTimeoutMs, CancellationToken cancel = default) =>
            Procedure("Orvex_Halt", () => Native.Orvex_Halt(Node, timeoutMs), cancel);

        /// <summary>Clears a fault; returns the error code it cleared (0: there was no fault).
        /// The drive is then in switch on disabled: Enable brings it back.</summary>
        public ushort ResetFault(int timeoutMs = DefaultTimeoutMs, CancellationToken cancel = default)
        {
            uint cleared = 0;
            Procedure("Orvex_ResetFault", () => Native.Orvex_ResetFault(Node, timeoutMs, out cleared),
                      cancel);
            return (ushort)cleared;
        }

        // Modes of operation (0x6060), confirmed by the drive's mode display 0x6061.
        private const int ProfilePosition = 1, Homing = 6;
        private const int SetUpTimeoutMs = 2000;

        private void SetMode(int mode) =>
            Procedure("Orvex_SetMode", () => Native.Orvex_SetMode(Node, mode, SetUpTimeoutMs));

        /// <summary>Profile position mode with this profile velocity, acceleration and
        /// deceleration, each write confirmed. Works in any state and never writes the
        /// controlword: a drive below operation enabled stays there.</summary>
        public void SetProfile(int velocity, uint acceleration, uint deceleration)
        {
            SetMode(ProfilePosition);
            Procedure("Orvex_SetProfile",
                      () => Native.Orvex_SetProfile(Node, velocity, acceleration, deceleration));
        }

        /// <summary>Hands the drive a set-point; returns once it took it (WaitTarget waits for
        /// the motion). By default the drive goes there now (MoveFlags.Immediate). A cancelled
        /// token halts the drive.</summary>
        public void MoveTo(int position, MoveFlags flags = MoveFlags.Immediate,
                           int timeoutMs = DefaultTimeoutMs, CancellationToken cancel = default) =>
            Procedure("Orvex_MoveTo", () => Native.Orvex_MoveTo(Node, position, (int)flags, timeoutMs),
                      cancel, haltOnCancel: true);

        /// <summary>Waits until the drive reports its target reached; returns the position. A
        /// cancelled token halts the drive.</summary>
        public int WaitTarget(int timeoutMs = DefaultTimeoutMs, CancellationToken cancel = default)
        {
            int position = 0;
            Procedure("Orvex_WaitTarget", () => Native.Orvex_WaitTarget(Node, timeoutMs, out position),
                      cancel, haltOnCancel: true);
            return position;
        }

        /// <summary>MoveTo, then WaitTarget: the position reached.</summary>
        public int MoveAndWait(int position, MoveFlags flags = MoveFlags.Immediate,
                               int timeoutMs = DefaultTimeoutMs, CancellationToken cancel = default)
        {
            MoveTo(position, flags, timeoutMs, cancel);
            return WaitTarget(timeoutMs, cancel);
        }

        /// <summary>Sets up homing (homing mode, method, speeds, acceleration; nothing switched
        /// on) and runs it; with timeoutMs 0, only starts it. Method 0 homes on a hard stop:
        /// speedSwitch is the speed limit 0x607F, acceleration the torque (written as the 16 bits
        /// it is), and the homing acceleration keeps its value. A cancelled token halts the
        /// drive.</summary>
        public void Home(int method, int speedSwitch, int speedZero, uint acceleration,
                         int timeoutMs = DefaultTimeoutMs, CancellationToken cancel = default)
        {
            cancel.ThrowIfCancellationRequested();
            SetMode(Homing);
            uint homingAcceleration = method == 0 ? SdoRead(0x609A, 0) : acceleration;
            Procedure("Orvex_SetHoming", () => Native.Orvex_SetHoming(Node, method, speedSwitch,
                                                                      speedZero, homingAcceleration));
            if (method == 0)
            {
                SdoWrite(0x607F, 0, speedSwitch);
                SetTorque(unchecked((int)acceleration));
            }
            Procedure("Orvex_Home", () => Native.Orvex_Home(Node, timeoutMs), cancel,
                      haltOnCancel: true);
        }

        /// <summary>Target torque 0x6071, written as the 16 bits it is and read back.</summary>
        public void SetTorque(int torque) =>
            Procedure("Orvex_SetTorque", () => Native.Orvex_SetTorque(Node, torque));

        // The abort a read of a value ends with when the object answers as a longer one.
        private const uint AbortNotExpedited = 0x05040001;

        /// <summary>Reads an object of size bytes (1-4), zero-extended. A longer object (the
        /// device name 0x1008) is refused with SDO abort 0x05040001: SdoUpload reads it.</summary>
        public uint SdoRead(ushort index, byte subindex, int size = 4)
        {
            CheckSize(size);
            int value = 0;
            try
            {
                Bus.Call("SDO_Read", Node, () => Native.SDO_Read(Node, index, subindex, out value, size),
                         ObjectName(index, subindex));
            }
            catch (OrvexSdoAbortException e) when (e.AbortCode == AbortNotExpedited)
            {
                throw new OrvexSdoAbortException(
                    e.Message + "; an object longer than 4 bytes answers so: read it with SdoUpload",
                    e.Operation, e.Node, e.AbortCode);
            }
            return size == 4 ? (uint)value : (uint)value & ((1u << (8 * size)) - 1);
        }

        /// <summary>Reads an object of size bytes (1-4), sign-extended.</summary>
        public int SdoReadSigned(ushort index, byte subindex, int size = 4)
        {
            uint raw = SdoRead(index, subindex, size);
            int shift = 32 - 8 * size;
            return (int)(raw << shift) >> shift;
        }

        /// <summary>Reads an object of any size, up to capacity bytes: expedited, segmented or
        /// block, as the drive answers (Orvex_SdoUpload).</summary>
        public byte[] SdoUpload(ushort index, byte subindex, int capacity = 4096)
        {
            if (capacity < 0)
                throw new ArgumentOutOfRangeException(nameof(capacity), capacity, "0 or more bytes");
            var buffer = new byte[Math.Max(capacity, 1)];
            int length = 0;
            Bus.Call("Orvex_SdoUpload", Node,
                     () => Native.Orvex_SdoUpload(Node, index, subindex, buffer, capacity, out length),
                     ObjectName(index, subindex));
            Array.Resize(ref buffer, length);
            return buffer;
        }

        /// <summary>Writes size bytes (1-4) of value to an object. The drive does not confirm a
        /// write: read the object back to be sure.</summary>
        public void SdoWrite(ushort index, byte subindex, uint value, int size = 4)
        {
            CheckSize(size);
            Bus.Call("SDO_Write", Node, () => Native.SDO_Write(Node, index, subindex, value, size),
                     ObjectName(index, subindex));
        }

        public void SdoWrite(ushort index, byte subindex, int value, int size = 4) =>
            SdoWrite(index, subindex, unchecked((uint)value), size);

        private static string ObjectName(ushort index, byte subindex) =>
            string.Format("object 0x{0:X4}:{1:X2}", index, subindex);

        private static void CheckSize(int size)
        {
            if (size < 1 || size > 4)
                throw new ArgumentOutOfRangeException(nameof(size), size, "an object is 1-4 bytes");
        }

        // A drive procedure: 1 on success; on a fault, the drive's error code goes with the
        // exception when it can be read. A token that can be cancelled ends the wait through
        // Orvex_Cancel; a token cancelled before the call sends nothing. haltOnCancel: the call
        // follows a motion, which must not go on once its wait was cancelled: the drive is halted
        // (sent at once, not awaited) before OperationCanceledException.
        private void Procedure(string operation, Func<int> call, CancellationToken cancel = default,
                               bool haltOnCancel = false)
        {
            Bus.CheckOpen(operation, Node);
            cancel.ThrowIfCancellationRequested();
            int result;
            Bus.Failure failure;
            using (cancel.CanBeCanceled ? new Bus.CancelOnToken(cancel) : null)
            {
                result = call();
                failure = Bus.Failure.Read(); // this thread's detail, right after the call
            }
            if (result == 1) return;
            if (failure.Outcome == Outcome.Cancelled && cancel.IsCancellationRequested)
            {
                if (haltOnCancel) Native.Orvex_Halt(Node, 0);
                throw new OperationCanceledException(
                    Bus.Describe(operation, Node) + ": cancelled", cancel);
            }
            ushort? errorCode = null;
            if (failure.Outcome == Outcome.DriveFault)
            {
                int code = 0;
                if (Native.SDO_Read(Node, 0x603F, 0, out code, 2) == 1) errorCode = (ushort)code;
            }
            DriveState found = DriveState.Unknown;
            if (failure.Outcome == Outcome.WrongState)
            {
                int state = Native.Orvex_GetState(Node, out uint _);
                if (state >= 0) found = (DriveState)state;
            }
            throw failure.Exception(null, operation, Node, errorCode, found);
        }

        public override string ToString() => "Drive " + Node + " on " + Bus.Device;

        // ---- objects of any size (Orvex_SdoUpload, Orvex_SdoDownload) ----

        /// <summary>The largest object ReadBytes takes: 1 MiB.</summary>
        public const int MaxObjectBytes = 1 << 20;
        private const uint AbortOutOfMemory = 0x05040005;

        /// <summary>Reads an object of any size (expedited, segmented or block, as the drive
        /// answers): its bytes. A buffer too small for what the drive announces is made as large
        /// as that and the object read again, up to MaxObjectBytes.</summary>
        public byte[] ReadBytes(ushort index, byte subindex)
        {
            int capacity = 256;
            while (true)
            {
                Bus.CheckOpen("Orvex_SdoUpload", Node);
                var buffer = new byte[capacity];
                int length = 0;
                int result = Native.Orvex_SdoUpload(Node, index, subindex, buffer, capacity, out length);
                Bus.Failure failure = Bus.Failure.Read();
                if (result == 1 && failure.Outcome == Outcome.Ok)
                {
                    Array.Resize(ref buffer, length);
                    return buffer;
                }
                bool tooSmall = failure.Outcome == Outcome.SdoAbort && length > capacity &&
                                failure.AbortCode == AbortOutOfMemory && length <= MaxObjectBytes;
                if (!tooSmall)
                    throw failure.Exception(ObjectName(index, subindex), "Orvex_SdoUpload", Node);
                capacity = length;
            }
        }

        /// <summary>Writes data (0 or more bytes) to an object of any size; returns once the
        /// drive has confirmed every step (expedited up to four bytes, segmented or block
        /// above).</summary>
        public void WriteBytes(ushort index, byte subindex, byte[] data)
        {
            if (data == null) throw new ArgumentNullException(nameof(data));
            Bus.Call("Orvex_SdoDownload", Node,
                     () => Native.Orvex_SdoDownload(Node, index, subindex, data, data.Length),
                     ObjectName(index, subindex));
        }

        /// <summary>A VISIBLE_STRING object as text (UTF-8; NUL padding dropped).</summary>
        public string ReadString(ushort index, byte subindex) =>
            System.Text.Encoding.UTF8.GetString(ReadBytes(index, subindex)).TrimEnd('\0');

        /// <summary>The manufacturer's device name (0x1008).</summary>
        public string DeviceName => ReadString(0x1008, 0);

        /// <summary>The manufacturer's software version (0x100A).</summary>
        public string SoftwareVersion => ReadString(0x100A, 0);
    }
}
