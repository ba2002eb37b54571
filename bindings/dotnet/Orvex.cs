// Orvex.cs - the .NET binding of ORVEX_DLL: one source file, no dependencies, netstandard2.0 (also
// .NET Framework 4.x, .NET 5+ and Mono). Add it to a project as it is.
//
// Native holds one P/Invoke declaration for each export of orvex_exports.h, exactly as the library
// declares it (cdecl, int and uint as the C types are, arrays and out parameters where C takes a
// pointer); a test checks it against that list. Bus and Drive are the checked layer over it: they
// throw an OrvexException (with Orvex_LastResult, the abort code and its meaning) where the
// library reports a failure.
//
// Waits: each procedure is one library call with the whole time limit. One that takes a
// CancellationToken ends within 20 ms of the token's cancellation (Orvex_Cancel, which ends every
// wait then in progress in the process) and throws OperationCanceledException; a wait ended by a
// cancel from elsewhere (Native.Orvex_Cancel, e.g. from a console control handler) throws
// OrvexException with LastResult Outcome.Cancelled.
//
// Which file is loaded: "ORVEX_DLL" is ORVEX_DLL.dll on Windows, from the program's folder or the
// system's DLL search path; take x64\ORVEX_DLL.dll for a 64-bit process (AnyCPU on a 64-bit
// Windows, the default) and x86\ORVEX_DLL.dll for a 32-bit one (x86, or "Prefer 32-bit"). A wrong
// one fails with BadImageFormatException. On Linux, Mono and .NET look for libORVEX_DLL.so on the
// library path (LD_LIBRARY_PATH); the Windows release archive does not hold it (the Debian package
// and a build from the sources do).
using System;
using System.Collections.Generic;
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
    }

    /// <summary>The meanings of CiA 301 SDO abort codes.</summary>
    public static class AbortCodes
    {
        private static readonly Dictionary<uint, string> Meanings = new Dictionary<uint, string>
        {
            { 0x05030000, "toggle bit not alternated" },
            { 0x05040000, "SDO protocol timed out" },
            { 0x05040001, "client/server command specifier not valid or unknown" },
            { 0x05040002, "invalid block size" },
            { 0x05040003, "invalid sequence number" },
            { 0x05040004, "CRC error" },
            { 0x05040005, "out of memory" },
            { 0x06010000, "unsupported access to an object" },
            { 0x06010001, "attempt to read a write-only object" },
            { 0x06010002, "attempt to write a read-only object" },
            { 0x06020000, "object does not exist in the object dictionary" },
            { 0x06040041, "object cannot be mapped to the PDO" },
            { 0x06040042, "the number and length of the objects to be mapped would exceed the PDO length" },
            { 0x06040043, "general parameter incompatibility" },
            { 0x06040047, "general internal incompatibility in the device" },
            { 0x06060000, "access failed due to a hardware error" },
            { 0x06070010, "data type does not match, length of service parameter does not match" },
            { 0x06070012, "data type does not match, length of service parameter too high" },
            { 0x06070013, "data type does not match, length of service parameter too low" },
            { 0x06090011, "sub-index does not exist" },
            { 0x06090030, "value range of parameter exceeded" },
            { 0x06090031, "value of parameter written too high" },
            { 0x06090032, "value of parameter written too low" },
            { 0x06090036, "maximum value is less than minimum value" },
            { 0x060A0023, "resource not available: SDO connection" },
            { 0x08000000, "general error" },
            { 0x08000020, "data cannot be transferred or stored to the application" },
            { 0x08000021, "data cannot be transferred or stored to the application because of local control" },
            { 0x08000022, "data cannot be transferred or stored to the application because of the present device state" },
            { 0x08000023, "object dictionary dynamic generation failed or no object dictionary is present" },
            { 0x08000024, "no data available" },
        };

        public static string Meaning(uint code)
        {
            string meaning;
            return Meanings.TryGetValue(code, out meaning)
                       ? meaning
                       : "not a standard abort code (the manufacturer's own?)";
        }
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
            AbortMeaning = lastResult == Outcome.SdoAbort ? AbortCodes.Meaning(abortCode) : null;
            SystemError = systemError;
        }
    }

    /// <summary>No port is open (or the Bus was closed); nothing was sent.</summary>
    public class NoPortException : OrvexException
    {
        public NoPortException(string message, string operation, int? node)
            : base(message, operation, node, Outcome.NoPort, 0, 0) { }
    }

    /// <summary>The drive refused an object access with an SDO abort.</summary>
    public class SdoAbortException : OrvexException
    {
        public SdoAbortException(string message, string operation, int? node, uint abortCode)
            : base(message, operation, node, Outcome.SdoAbort, abortCode, 0) { }
    }

    /// <summary>No complete answer, or the drive did not get there, within the time limit.</summary>
    public class OrvexTimeoutException : OrvexException
    {
        public OrvexTimeoutException(string message, string operation, int? node)
            : base(message, operation, node, Outcome.Timeout, 0, 0) { }
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

    /// <summary>One open port of the library. The library has one port per process, so only one
    /// Bus is open at a time.</summary>
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
        internal sealed class CancelOnToken : IDisposable
        {
            private volatile bool ended;
            private readonly CancellationTokenRegistration registration;

            public CancelOnToken(CancellationToken token)
            {
                registration = token.Register(Fire);
            }

            private void Fire()
            {
                Native.Orvex_Cancel();
                ThreadPool.QueueUserWorkItem(_ =>
                {
                    while (!ended)
                    {
                        Native.Orvex_Cancel();
                        Thread.Sleep(5);
                    }
                });
            }

            public void Dispose()
            {
                ended = true;
                registration.Dispose();
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

            public OrvexException Exception(string context, string operation, int? node,
                                            ushort? errorCode = null)
            {
                string prefix = Describe(operation, node) + (context != null ? ": " + context : "");
                switch (Outcome)
                {
                    case Outcome.NoPort:
                        return new NoPortException(prefix + ": no port is open", operation, node);
                    case Outcome.Timeout:
                        return new OrvexTimeoutException(
                            prefix + ": no answer, or the drive did not get there, in time",
                            operation, node);
                    case Outcome.SdoAbort:
                        return new SdoAbortException(
                            string.Format("{0}: SDO abort 0x{1:X8}, {2}", prefix, AbortCode,
                                          AbortCodes.Meaning(AbortCode)),
                            operation, node, AbortCode);
                    case Outcome.DriveFault:
                        return new DriveFaultException(
                            prefix + ": the drive is in fault" +
                                (errorCode.HasValue
                                     ? string.Format(" (error code 0x{0:X4})", errorCode.Value)
                                     : "") +
                                "; ResetFault() clears it once its cause is gone",
                            operation, node, errorCode);
                    case Outcome.SystemError:
                        return new OrvexException(
                            prefix + ": operating system error " + SystemError, operation, node,
                            Outcome, AbortCode, SystemError);
                    default:
                        return new OrvexException(prefix + ": failed (" + Outcome + ")",
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

        /// <summary>Profile position mode with this profile (PP_Set).</summary>
        public void SetProfile(int velocity, uint acceleration, uint deceleration) =>
            Bus.Call("PP_Set", Node, () => Native.PP_Set(Node, velocity, acceleration, deceleration));

        /// <summary>Hands the drive a set-point; returns once it took it (WaitTarget waits for
        /// the motion).</summary>
        public void MoveTo(int position, MoveFlags flags = MoveFlags.None,
                           int timeoutMs = DefaultTimeoutMs, CancellationToken cancel = default) =>
            Procedure("Orvex_MoveTo", () => Native.Orvex_MoveTo(Node, position, (int)flags, timeoutMs),
                      cancel);

        /// <summary>Waits until the drive reports its target reached; returns the position.</summary>
        public int WaitTarget(int timeoutMs = DefaultTimeoutMs, CancellationToken cancel = default)
        {
            int position = 0;
            Procedure("Orvex_WaitTarget", () => Native.Orvex_WaitTarget(Node, timeoutMs, out position),
                      cancel);
            return position;
        }

        /// <summary>MoveTo, then WaitTarget: the position reached.</summary>
        public int MoveAndWait(int position, MoveFlags flags = MoveFlags.None,
                               int timeoutMs = DefaultTimeoutMs, CancellationToken cancel = default)
        {
            MoveTo(position, flags, timeoutMs, cancel);
            return WaitTarget(timeoutMs, cancel);
        }

        /// <summary>Sets up homing (HM_Set) and runs it; with timeoutMs 0, only starts it.</summary>
        public void Home(int method, int speedSwitch, int speedZero, uint acceleration,
                         int timeoutMs = DefaultTimeoutMs, CancellationToken cancel = default)
        {
            cancel.ThrowIfCancellationRequested();
            Bus.Call("HM_Set", Node, () => Native.HM_Set(Node, speedSwitch, speedZero, acceleration, method));
            Procedure("Orvex_Home", () => Native.Orvex_Home(Node, timeoutMs), cancel);
        }

        /// <summary>Target torque 0x6071, written as the 16 bits it is and read back.</summary>
        public void SetTorque(int torque) =>
            Procedure("Orvex_SetTorque", () => Native.Orvex_SetTorque(Node, torque));

        /// <summary>Reads an object of size bytes (1-4), zero-extended.</summary>
        public uint SdoRead(ushort index, byte subindex, int size = 4)
        {
            CheckSize(size);
            int value = 0;
            Bus.Call("SDO_Read", Node, () => Native.SDO_Read(Node, index, subindex, out value, size),
                     ObjectName(index, subindex));
            return size == 4 ? (uint)value : (uint)value & ((1u << (8 * size)) - 1);
        }

        /// <summary>Reads an object of size bytes (1-4), sign-extended.</summary>
        public int SdoReadSigned(ushort index, byte subindex, int size = 4)
        {
            uint raw = SdoRead(index, subindex, size);
            int shift = 32 - 8 * size;
            return (int)(raw << shift) >> shift;
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
        // Orvex_Cancel; a token cancelled before the call sends nothing.
        private void Procedure(string operation, Func<int> call, CancellationToken cancel = default)
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
                throw new OperationCanceledException(
                    Bus.Describe(operation, Node) + ": cancelled", cancel);
            ushort? errorCode = null;
            if (failure.Outcome == Outcome.DriveFault)
            {
                int code = 0;
                if (Native.SDO_Read(Node, 0x603F, 0, out code, 2) == 1) errorCode = (ushort)code;
            }
            throw failure.Exception(null, operation, Node, errorCode);
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
