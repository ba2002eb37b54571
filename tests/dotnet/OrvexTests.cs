// Tests of the .NET binding (bindings/dotnet/Orvex.cs): its declarations against the one export
// list and the header's codes, then the binding against the library and orvex-sim.
//
//   mono OrvexTests.exe EXPORT_LIST_H ORVEX_H ORVEX_SIM
//
// The library is found as a host finds it: libORVEX_DLL.so on LD_LIBRARY_PATH.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Text.RegularExpressions;
using System.Threading;
using Orvex;

static class OrvexTests
{
    static string exportList, header, simProgram;
    static int passed, failed;

    static int Main(string[] args)
    {
        if (args.Length != 3)
        {
            Console.WriteLine("usage: OrvexTests.exe EXPORT_LIST_H ORVEX_H ORVEX_SIM");
            return 2;
        }
        exportList = args[0];
        header = args[1];
        simProgram = args[2];
        var tests = new List<KeyValuePair<string, Action>>
        {
            Test("every export is declared as the export list declares it", ExportsMatchTheList),
            Test("outcome, state and move codes match the header", CodesMatchTheHeader),
            Test("the load delay is turned off where the library reads it", LoadDelay),
            Test("a bus opens, holds the one port, and reopens after closing", OpenAndClose),
            Test("a missing device fails with the system's error", MissingDevice),
            Test("power states on lenient and strict drives", PowerStates),
            Test("moves in a row on lenient and strict drives", MovesInARow),
            Test("set-ups switch no drive on", SetUpsSwitchNoDriveOn),
            Test("a drive in fault: code, refused calls, reset, enable", FaultAndReset),
            Test("object access: sizes, signs and an SDO abort", ObjectAccess),
            Test("objects of any size: strings, a DOMAIN both ways, aborts", ObjectsOfAnySize),
            Test("an absent node times out", AbsentNode),
            Test("a long wait ends promptly when cancelled", CancelledWaits),
            Test("no port: a closed bus fails at once, the library with NoPort", NoPort),
            Test("events: an emergency beside polling, a heartbeat lost and back", Events),
            Test("a stream: the newest values without requests", Streams),
        };
        foreach (var test in tests)
        {
            try
            {
                test.Value();
                passed++;
                Console.WriteLine("ok      " + test.Key);
            }
            catch (Exception e)
            {
                failed++;
                Console.WriteLine("FAILED  " + test.Key + "\n        " + e);
            }
        }
        Console.WriteLine("{0} passed, {1} failed", passed, failed);
        return failed == 0 ? 0 : 1;
    }

    static KeyValuePair<string, Action> Test(string name, Action body) =>
        new KeyValuePair<string, Action>(name, body);

    // ---- checks ----------------------------------------------------------------------------

    class CheckFailed : Exception
    {
        public CheckFailed(string message) : base(message) { }
    }

    static void Check(bool ok, string what)
    {
        if (!ok) throw new CheckFailed(what);
    }

    static void Equal<T>(T actual, T expected, string what)
    {
        if (!EqualityComparer<T>.Default.Equals(actual, expected))
            throw new CheckFailed(what + ": got " + actual + ", expected " + expected);
    }

    static E Throws<E>(Action call, string what) where E : Exception
    {
        try
        {
            call();
        }
        catch (E e)
        {
            return e;
        }
        catch (Exception e)
        {
            throw new CheckFailed(what + ": threw " + e.GetType().Name + " (" + e.Message +
                                  "), expected " + typeof(E).Name);
        }
        throw new CheckFailed(what + ": did not throw " + typeof(E).Name);
    }

    // ---- the declarations against the export list and the header ----------------------------

    class CExport
    {
        public string Result, Name;
        public List<KeyValuePair<string, string>> Parameters; // (C type, name)
    }

    // X(result, name, (params), (args)) and ALIAS(result, name, target, (params), (args)), with
    // comments and line continuations removed.
    static List<CExport> ReadExportList()
    {
        string text = Regex.Replace(File.ReadAllText(exportList), @"/\*.*?\*/", "", RegexOptions.Singleline);
        text = text.Replace("\\\n", " ");
        var entry = new Regex(@"\b(X|ALIAS)\(\s*([\w ]+?\*?)\s*,\s*(\w+)\s*,\s*(?:(\w+)\s*,\s*)?\(([^()]*)\)");
        var exports = new List<CExport>();
        foreach (Match m in entry.Matches(text))
        {
            var parameters = new List<KeyValuePair<string, string>>();
            foreach (string raw in m.Groups[5].Value.Split(','))
            {
                string p = Regex.Replace(raw.Trim(), @"\s+", " ");
                if (p == "" || p == "void") continue;
                var parts = Regex.Match(p, @"^(.*?)\s*(\w+)$");
                parameters.Add(new KeyValuePair<string, string>(parts.Groups[1].Value.Replace(" *", "*"),
                                                                parts.Groups[2].Value));
            }
            exports.Add(new CExport { Result = m.Groups[2].Value, Name = m.Groups[3].Value, Parameters = parameters });
        }
        return exports;
    }

    // What each C type of the list may be declared as, and whether the declaration must carry
    // [Out] (a buffer the library writes into).
    static readonly Dictionary<string, Type[]> CSharpTypes = new Dictionary<string, Type[]>
    {
        { "int", new[] { typeof(int) } },
        { "unsigned", new[] { typeof(uint) } },
        { "const char*", new[] { typeof(string) } },
        { "const void*", new[] { typeof(byte[]), typeof(IntPtr) } },
        { "void*", new[] { typeof(IntPtr), typeof(byte[]) } },
        { "int*", new[] { typeof(int).MakeByRefType(), typeof(int[]) } },
        { "const int*", new[] { typeof(int[]) } },
        { "unsigned*", new[] { typeof(uint).MakeByRefType(), typeof(uint[]) } },
        { "const unsigned*", new[] { typeof(uint[]) } },
        { "unsigned char*", new[] { typeof(byte[]) } },
        { "const unsigned char*", new[] { typeof(byte[]) } },
        { "OrvexEvent*", new[] { typeof(OrvexEvent).MakeByRefType(), typeof(OrvexEvent[]) } },
    };

    static void ExportsMatchTheList()
    {
        var list = ReadExportList();
        Check(list.Count >= 32, "only " + list.Count + " exports read from " + exportList);
        var declared = typeof(Native).GetMethods(BindingFlags.Public | BindingFlags.Static)
                           .Where(m => m.GetCustomAttribute<DllImportAttribute>() != null)
                           .ToDictionary(m => m.Name);
        var problems = new List<string>();
        foreach (var c in list)
        {
            MethodInfo method;
            if (!declared.TryGetValue(c.Name, out method))
            {
                problems.Add(c.Name + " is in orvex_exports.h but Orvex.cs does not declare it:" +
                             " add its [DllImport] to Native");
                continue;
            }
            string where = "Native." + c.Name + ": ";
            var import = method.GetCustomAttribute<DllImportAttribute>();
            if (import.Value != "ORVEX_DLL" || import.CallingConvention != CallingConvention.Cdecl ||
                !import.ExactSpelling || (import.EntryPoint ?? c.Name) != c.Name)
                problems.Add(where + "needs DllImport(\"ORVEX_DLL\", Cdecl, ExactSpelling)");
            // A text comes back as IntPtr: the library's static string, never to be freed.
            Type result = c.Result == "int" ? typeof(int) : c.Result == "unsigned" ? typeof(uint) :
                          c.Result == "void" ? typeof(void) :
                          c.Result == "const char*" ? typeof(IntPtr) : null;
            if (method.ReturnType != result)
                problems.Add(where + "returns " + method.ReturnType.Name + ", C returns " + c.Result);
            var parameters = method.GetParameters();
            if (parameters.Length != c.Parameters.Count)
            {
                problems.Add(where + parameters.Length + " parameters, C has " + c.Parameters.Count);
                continue;
            }
            for (int i = 0; i < parameters.Length; i++)
            {
                string cType = c.Parameters[i].Key, cName = c.Parameters[i].Value;
                var p = parameters[i];
                if (p.Name != cName)
                    problems.Add(where + "parameter " + i + " is " + p.Name + ", C calls it " + cName);
                Type[] allowed;
                if (!CSharpTypes.TryGetValue(cType, out allowed))
                    problems.Add(where + "C type '" + cType + "' has no mapping in this test: add one");
                else if (!allowed.Contains(p.ParameterType))
                    problems.Add(where + cName + " is " + p.ParameterType + ", C type " + cType);
                else if (p.ParameterType.IsArray && cType.EndsWith("*") && !cType.StartsWith("const") &&
                         cType != "void*" && !p.IsOut)
                    problems.Add(where + cName + " is written by the library: declare it [Out]");
                else if (p.ParameterType.IsByRef && !p.IsOut)
                    problems.Add(where + cName + " should be out");
            }
        }
        foreach (var name in declared.Keys.Except(list.Select(c => c.Name)))
            problems.Add("Native." + name + " is not in orvex_exports.h");
        Check(problems.Count == 0, string.Join("\n        ", problems));
    }

    static string Pascal(string upper) =>
        string.Concat(upper.ToLowerInvariant().Split('_').Select(w => char.ToUpperInvariant(w[0]) + w.Substring(1)));

    static void CodesMatchTheHeader()
    {
        string text = File.ReadAllText(header).Replace("\\\n", " ");
        text = Regex.Replace(text, @"/\*.*?\*/", "", RegexOptions.Singleline);
        var problems = new List<string>();
        int seen = 0;
        foreach (Match m in Regex.Matches(text, @"#define\s+ORVEX_(\w+)\s+\(?\s*(-?\d+)\s*\)?\s*$", RegexOptions.Multiline))
        {
            string name = m.Groups[1].Value;
            long value = long.Parse(m.Groups[2].Value);
            seen++;
            object declared = null;
            string where;
            if (Enum.IsDefined(typeof(Outcome), Pascal(name)))
            {
                where = "Outcome." + Pascal(name);
                declared = (long)(int)Enum.Parse(typeof(Outcome), Pascal(name));
            }
            else if (name.StartsWith("STATE_"))
            {
                where = "DriveState." + Pascal(name.Substring(6));
                if (Enum.IsDefined(typeof(DriveState), Pascal(name.Substring(6))))
                    declared = (long)(int)Enum.Parse(typeof(DriveState), Pascal(name.Substring(6)));
            }
            else if (name.StartsWith("EVENT_"))
            {
                where = "EventKind." + Pascal(name.Substring(6));
                if (Enum.IsDefined(typeof(EventKind), Pascal(name.Substring(6))))
                    declared = (long)(int)Enum.Parse(typeof(EventKind), Pascal(name.Substring(6)));
            }
            else if (name.StartsWith("MOVE_"))
            {
                where = "MoveFlags." + Pascal(name.Substring(5));
                if (Enum.IsDefined(typeof(MoveFlags), Pascal(name.Substring(5))))
                    declared = (long)(int)Enum.Parse(typeof(MoveFlags), Pascal(name.Substring(5)));
            }
            else if (name.StartsWith("TRANSFER_"))
            {
                string member = Pascal(name.Substring(9));
                bool kind = Enum.IsDefined(typeof(TransferKind), member) &&
                            (name == "TRANSFER_NONE" || !Enum.IsDefined(typeof(TransferFlags), member));
                Type type = kind ? typeof(TransferKind) : typeof(TransferFlags);
                where = type.Name + "." + member;
                if (Enum.IsDefined(type, member))
                    declared = (long)(int)Enum.Parse(type, member);
            }
            else if (name.EndsWith("_MS"))
            {
                var constants = new Dictionary<string, int>
                {
                    { "MAX_WAIT_MS", Native.MaxWaitMs }, { "POLL_MS", Native.PollMs },
                    { "MIN_LIMIT_MS", Native.MinLimitMs }, { "MAX_LIMIT_MS", Native.MaxLimitMs },
                };
                where = "Native." + Pascal(name);
                if (constants.ContainsKey(name)) declared = (long)constants[name];
            }
            else
            {
                where = "Outcome." + Pascal(name);
                if (Enum.IsDefined(typeof(Outcome), Pascal(name)))
                    declared = (long)(int)Enum.Parse(typeof(Outcome), Pascal(name));
            }
            if (declared == null)
                problems.Add("ORVEX_" + name + " (" + value + ") is in orvex.h but " + where + " is not in Orvex.cs");
            else if ((long)declared != value)
                problems.Add(where + " is " + declared + ", ORVEX_" + name + " is " + value);
        }
        Check(seen >= 20, "only " + seen + " codes read from " + header);
        // Every enum member stands for one code, but the zero "None" of the flag enums.
        int outcomes = Enum.GetValues(typeof(Outcome)).Length + Enum.GetValues(typeof(DriveState)).Length +
                       Enum.GetValues(typeof(MoveFlags)).Length - 1 + 4 +
                       Enum.GetValues(typeof(TransferKind)).Length +
                       Enum.GetValues(typeof(TransferFlags)).Length - 1 +
                       Enum.GetValues(typeof(EventKind)).Length;
        Check(problems.Count == 0, string.Join("\n        ", problems));
        Check(outcomes == seen, "Orvex.cs has " + outcomes + " codes, orvex.h " + seen);
    }

    // ---- the binding against orvex-sim ------------------------------------------------------

    sealed class Sim : IDisposable
    {
        readonly Process process;
        public readonly string Path;

        public Sim(params string[] options)
        {
            var start = new ProcessStartInfo(simProgram, "--quiet " + string.Join(" ", options))
            {
                UseShellExecute = false,
                RedirectStandardOutput = true,
            };
            process = Process.Start(start);
            Path = process.StandardOutput.ReadLine();
            Check(!string.IsNullOrEmpty(Path), "orvex-sim printed no terminal path");
        }

        public void Dispose()
        {
            if (!process.HasExited) process.Kill();
            process.WaitForExit();
        }
    }

    static readonly string[][] DriveKinds =
    {
        new[] { "--drives", "8" },
        new[] { "--drives", "8", "--strict-402" },
    };

    static void OnEachKind(Action<Bus, string> body)
    {
        foreach (var kind in DriveKinds)
        {
            string name = string.Join(" ", kind);
            using (var sim = new Sim(kind))
            using (var bus = Bus.Open(sim.Path))
            {
                try
                {
                    body(bus, name);
                }
                catch (CheckFailed e)
                {
                    throw new CheckFailed("orvex-sim " + name + ": " + e.Message);
                }
            }
        }
    }

    // The library reads ORVEX_LOAD_DELAY_MS with the C runtime's getenv on Linux, which .NET's
    // Environment.SetEnvironmentVariable does not reach under .NET (Core): the binding sets it
    // there, for the load only.
    static void LoadDelay()
    {
        const string name = "ORVEX_DOTNET_TEST_VARIABLE";
        Bus.SetLoadVariable(name, "42");
        Equal(Bus.CRuntime.Get(name), "42", "the C runtime's getenv sees the value");
        Equal(Environment.GetEnvironmentVariable(name), "42", "and .NET does");
        Bus.SetLoadVariable(name, null);
        Equal(Bus.CRuntime.Get(name), (string)null, "the C runtime's getenv sees it removed");

        bool chosen = Environment.GetEnvironmentVariable("ORVEX_LOAD_DELAY_MS") != null;
        using (var sim = new Sim())
        {
            var watch = Stopwatch.StartNew();
            using (var bus = Bus.Open(sim.Path))
                Check(watch.Elapsed.TotalSeconds < 0.8, "the first open loads without the 1 s delay: " +
                      watch.Elapsed);
        }
        if (!chosen)
            Equal(Bus.CRuntime.Get("ORVEX_LOAD_DELAY_MS"), (string)null, "nothing left behind");
    }

    static void OpenAndClose()
    {
        using (var sim = new Sim("--drives", "2"))
        {
            var bus = Bus.Open(sim.Path);
            Check(bus.IsOpen, "the bus is open");
            Equal(bus.Drive(2).State, DriveState.SwitchOnDisabled, "state of drive 2");
            var e = Throws<InvalidOperationException>(() => Bus.Open(sim.Path), "a second bus");
            Check(e.Message.Contains(sim.Path), "the refusal names the bus holding the port");
            bus.Close();
            bus.Close();
            Check(!bus.IsOpen, "the bus is closed");
            using (var again = Bus.Open(sim.Path))
                Equal(again.Drive(1).State, DriveState.SwitchOnDisabled, "state after reopening");
            Throws<ArgumentException>(() => Bus.Open(""), "an empty device path");
            Throws<ArgumentOutOfRangeException>(() => bus.Drive(128), "node 128");
        }
    }

    static void MissingDevice()
    {
        var e = Throws<OrvexSystemException>(() => Bus.Open("/dev/orvex-no-such-device"), "a missing device");
        Equal(e.LastResult, Outcome.SystemError, "outcome");
        Equal(e.SystemError, 2, "errno (ENOENT)");
        Check(e.Message.Contains("/dev/orvex-no-such-device"), "the message names the device: " + e.Message);
        Check(e.Message.Contains("No such file or directory"), "the system's own text: " + e.Message);
        // The failed open left no Bus holding the port.
        using (var sim = new Sim()) Bus.Open(sim.Path).Close();
    }

    static void PowerStates()
    {
        OnEachKind((bus, kind) =>
        {
            var drive = bus.Drive(2);
            Equal(drive.State, DriveState.SwitchOnDisabled, "at power-up");
            drive.Enable();
            Equal(drive.State, DriveState.OperationEnabled, "after Enable");
            Equal(drive.SdoRead(0x6040, 0, 2), 0x000Fu, "controlword after Enable");
            Equal(drive.Statusword & 0x6F, 0x27, "statusword bits of operation enabled");
            drive.Disable();
            Equal(drive.State, DriveState.SwitchedOn, "after Disable");
            drive.Disable(); // nothing to do
            drive.Enable();
            // Where the quick stop ends is the drive's choice: its option code 0x605A (2 without it).
            int option = 2;
            try { option = (short)drive.SdoRead(0x605A, 0, 2); } catch (OrvexSdoAbortException) { }
            drive.QuickStop();
            Equal(drive.State, option >= 5 && option <= 8 ? DriveState.QuickStopActive : DriveState.SwitchOnDisabled,
                  "after QuickStop (option code " + option + ")");
            drive.Enable();
            Equal(drive.State, DriveState.OperationEnabled, "Enable from quick stop");
            drive.Halt();
            Equal(drive.SdoRead(0x6040, 0, 2), 0x010Fu, "controlword after Halt");
            drive.Disable();
            Throws<OrvexException>(() => drive.Halt(), "Halt of a drive not enabled");
        });
    }

    static void MovesInARow()
    {
        OnEachKind((bus, kind) =>
        {
            var drive = bus.Drive(3);
            drive.Enable();
            drive.SetProfile(100000, 1000000, 1000000);
            var moves = new[]
            {
                Tuple.Create(5000, MoveFlags.None, 5000),
                Tuple.Create(-2000, MoveFlags.Relative, 3000),
                Tuple.Create(3000, MoveFlags.Relative, 6000),
                Tuple.Create(1000, MoveFlags.Immediate, 1000),
            };
            foreach (var move in moves)
            {
                Equal(drive.MoveAndWait(move.Item1, move.Item2), move.Item3,
                      "position after a move of " + move.Item1 + " " + move.Item2);
                // Bit 4 is low after each move, so that the next one is a rising edge again.
                Equal(drive.SdoRead(0x6040, 0, 2) & 0x10, 0u, "controlword bit 4");
            }
            Equal(drive.Position, 1000, "Position");
            drive.Disable();
            var e = Throws<OrvexWrongStateException>(() => drive.MoveTo(777), "a move on a drive not enabled");
            Equal(e.LastResult, Outcome.WrongState, "outcome");
            Equal(e.Found, DriveState.SwitchedOn, "the state found");
            Equal(e.Needed, DriveState.OperationEnabled, "the state needed");
            Check(e.Message.Contains("it is switched on, the call needs operation enabled"),
                  "the message names both states: " + e.Message);
            Check(drive.SdoReadSigned(0x607A, 0) != 777, "nothing was sent");
        });
    }

    static void SetUpsSwitchNoDriveOn()
    {
        OnEachKind((bus, kind) =>
        {
            var drive = bus.Drive(4);
            drive.Enable();
            drive.Disable();
            drive.SetProfile(1000, 2000, 3000);
            Equal(drive.State, DriveState.SwitchedOn, "after SetProfile");
            Equal(drive.SdoRead(0x6061, 0, 1), 1u, "mode shown after SetProfile");
            Equal(drive.SdoRead(0x6083, 0), 2000u, "acceleration");
            // Homing is set up; its start needs operation enabled.
            var e = Throws<OrvexException>(() => drive.Home(35, 0, 0, 6000), "Home of a drive not enabled");
            Equal(e.LastResult, Outcome.WrongState, "outcome");
            Equal(drive.State, DriveState.SwitchedOn, "after Home");
            Equal(drive.SdoRead(0x6061, 0, 1), 6u, "mode shown after Home");
            Equal(drive.SdoRead(0x609A, 0), 6000u, "homing acceleration");
        });
    }

    static void FaultAndReset()
    {
        foreach (var options in new[] { new[] { "--fault-node", "2" }, new[] { "--fault-node", "2", "--strict-402" } })
        {
            using (var sim = new Sim(options))
            using (var bus = Bus.Open(sim.Path))
            {
                var drive = bus.Drive(2);
                Equal(drive.State, DriveState.Fault, "at power-up");
                ushort code = drive.ErrorCode;
                Check(code != 0, "an error code");
                foreach (var call in new Action[] { () => drive.Enable(), () => drive.MoveTo(100),
                                                    () => drive.Halt() })
                {
                    var e = Throws<DriveFaultException>(call, "a call on a drive in fault");
                    Equal(e.LastResult, Outcome.DriveFault, "outcome");
                    Equal(e.ErrorCode, (ushort?)code, "error code carried");
                    Equal(e.Node, (int?)2, "node");
                    Check(e.Message.Contains(string.Format("0x{0:X4}", code)) && e.Message.Contains("ResetFault"),
                          "the message names the code and the way out: " + e.Message);
                }
                Equal(drive.ResetFault(), code, "the code ResetFault cleared");
                Equal(drive.State, DriveState.SwitchOnDisabled, "after ResetFault");
                Equal(drive.ErrorCode, (ushort)0, "error code after ResetFault");
                Equal(drive.ResetFault(), (ushort)0, "ResetFault with no fault");
                drive.Enable();
                Equal(drive.State, DriveState.OperationEnabled, "enabled after the reset");
            }
        }
    }

    static void ObjectAccess()
    {
        using (var sim = new Sim("--drives", "6"))
        using (var bus = Bus.Open(sim.Path))
        {
            var drive = bus.Drive(6);
            var table = new[]
            {
                // value written, size, unsigned read, signed read
                Tuple.Create(-5, 4, 0xFFFFFFFBu, -5, (ushort)0x607A),
                Tuple.Create(-300, 2, 0x10000u - 300, -300, (ushort)0x6071),
                Tuple.Create(777, 4, 777u, 777, (ushort)0x607A),
            };
            foreach (var row in table)
            {
                drive.SdoWrite(row.Item5, 0, row.Item1, row.Item2);
                Equal(drive.SdoRead(row.Item5, 0, row.Item2), row.Item3, "unsigned read of " + row.Item1);
                Equal(drive.SdoReadSigned(row.Item5, 0, row.Item2), row.Item4, "signed read of " + row.Item1);
            }
            drive.SetTorque(-200);
            Equal(drive.SdoReadSigned(0x6071, 0, 2), -200, "torque");

            // A longer object read as a value: refused, never its announced size, with the way out.
            var longer = Throws<OrvexSdoAbortException>(() => drive.SdoRead(0x1008, 0), "the device name as a value");
            Equal(longer.AbortCode, 0x05040001u, "abort code of a longer object");
            Check(longer.Message.Contains("SdoUpload"), "the message names SdoUpload: " + longer.Message);
            Equal(System.Text.Encoding.ASCII.GetString(drive.SdoUpload(0x1008, 0)).TrimEnd('\0'),
                  "orvex-sim CiA 402 servo drive", "the device name, uploaded");

            var e = Throws<OrvexSdoAbortException>(() => drive.SdoRead(0x5FFF, 0), "a missing object");
            Equal(e.LastResult, Outcome.SdoAbort, "outcome");
            Equal(e.AbortCode, 0x06020000u, "abort code");
            // The library's text, as the export gives it.
            Equal(e.AbortMeaning, Marshal.PtrToStringAnsi(Native.Orvex_AbortText(0x06020000)), "meaning");
            Equal(e.Operation, "SDO_Read", "operation");
            foreach (var part in new[] { "node 6", "0x5FFF:00", "0x06020000", "does not exist" })
                Check(e.Message.Contains(part), "the message has " + part + ": " + e.Message);
            Throws<ArgumentOutOfRangeException>(() => drive.SdoRead(0x6041, 0, 5), "size 5");
        }
    }

    static void ObjectsOfAnySize()
    {
        using (var sim = new Sim("--drives", "2"))
        using (var bus = Bus.Open(sim.Path))
        {
            var drive = bus.Drive(2);
            Equal(drive.DeviceName, "orvex-sim CiA 402 servo drive", "device name 0x1008");
            Equal(drive.SoftwareVersion, "orvex-sim 1.3.2", "software version 0x100A");
            Equal(drive.ReadString(0x1009, 0), "sim board rev. B", "hardware version 0x1009");
            // The DOMAIN holds a known kilobyte at power-up: more than the first buffer takes.
            byte[] domain = drive.ReadBytes(0x2010, 0);
            Equal(domain.Length, 1024, "the DOMAIN's size at power-up");
            Check(domain.Select((b, i) => b == i % 251).All(same => same), "its pattern");
            foreach (int size in new[] { 0, 3, 4, 5, 300, 4096 })
            {
                byte[] data = Enumerable.Range(0, size).Select(i => (byte)(i * 31 + size)).ToArray();
                drive.WriteBytes(0x2010, 0, data);
                Check(drive.ReadBytes(0x2010, 0).SequenceEqual(data), size + " bytes read back");
            }
            Equal(drive.ReadBytes(0x6041, 0).Length, 2, "an expedited object's own size");

            var tooLong = Throws<OrvexSdoAbortException>(
                () => drive.WriteBytes(0x2010, 0, new byte[4097]), "a DOMAIN over its size");
            Equal(tooLong.Operation, "Orvex_SdoDownload", "operation");
            Check(tooLong.Message.Contains("0x2010:00"), "the message names the object: " + tooLong.Message);
            var readOnly = Throws<OrvexSdoAbortException>(
                () => drive.WriteBytes(0x1008, 0, new byte[] { 65, 66, 67, 68, 69, 70 }), "a read-only string");
            Equal(readOnly.AbortCode, 0x06010002u, "read-only abort");
            var missing = Throws<OrvexSdoAbortException>(() => drive.ReadBytes(0x5FFF, 0), "a missing object");
            Equal(missing.Operation, "Orvex_SdoUpload", "operation");
            Equal(missing.AbortCode, 0x06020000u, "abort code");
            Throws<ArgumentNullException>(() => drive.WriteBytes(0x2010, 0, null), "null data");
            Equal(drive.DeviceName, "orvex-sim CiA 402 servo drive", "the string is untouched");
        }
    }

    static void AbsentNode()
    {
        using (var sim = new Sim("--drives", "8"))
        using (var bus = Bus.Open(sim.Path))
        {
            var drive = bus.Drive(9);
            foreach (var call in new Action[] { () => drive.Enable(), () => { var s = drive.State; } })
            {
                var watch = Stopwatch.StartNew();
                var e = Throws<OrvexTimeoutException>(call, "a call to an absent node");
                Equal(e.LastResult, Outcome.Timeout, "outcome");
                Check(watch.Elapsed.TotalSeconds < 2.5, "failed within one answer's limit: " + watch.Elapsed);
            }
        }
    }

    static void Events()
    {
        using (var sim = new Sim("--drives", "2", "--heartbeat-ms", "50", "--fault-at-ms", "1:600",
                                 "--silence-at-ms", "2:1000:1800"))
        using (var bus = Bus.Open(sim.Path))
        {
            bus.Drive(2).WatchHeartbeat(200);
            bool polling = true;
            int polls = 0;
            var poller = new Thread(() =>
            {
                while (Volatile.Read(ref polling))
                {
                    var p = bus.Drive(1).Position;
                    polls++;
                }
            });
            poller.Start();
            var seen = new List<BusEvent>();
            var watch = Stopwatch.StartNew();
            try
            {
                while (watch.Elapsed.TotalSeconds < 4 &&
                       !seen.Any(e => e.Kind == EventKind.HeartbeatBack))
                {
                    var next = bus.NextEvent(100);
                    if (next != null) seen.Add(next);
                }
            }
            finally
            {
                Volatile.Write(ref polling, false);
                poller.Join();
            }
            Check(polls > 10, "positions polled meanwhile: " + polls);
            var emergencies = seen.Where(e => e.Kind == EventKind.Emergency).ToList();
            Equal(emergencies.Count, 1, "emergencies delivered");
            Equal(emergencies[0].Node, 1, "emergency node");
            Equal(emergencies[0].ErrorCode, (ushort)0x8611, "error code");
            Equal(emergencies[0].ErrorRegister, (byte)0x21, "error register");
            Equal(emergencies[0].Meaning, Meanings.ErrorCode(0x8611), "the library's text");
            Equal(bus.Drive(1).Emergencies()[0].ErrorCode, (ushort)0x8611, "history");
            var lost = seen.FindIndex(e => e.Kind == EventKind.HeartbeatLost && e.Node == 2);
            var back = seen.FindIndex(e => e.Kind == EventKind.HeartbeatBack && e.Node == 2);
            Check(lost >= 0 && back > lost, "lost, then back: " + string.Join("; ", seen));
            Equal(seen.Count(e => e.Kind == EventKind.HeartbeatLost), 1, "lost once");
        }
    }

    static void Streams()
    {
        using (var sim = new Sim("--drives", "2"))
        using (var bus = Bus.Open(sim.Path))
        {
            var drive = bus.Drive(2);
            drive.Enable();
            drive.SetProfile(100000, 1000000, 1000000);
            drive.MoveAndWait(-700, timeoutMs: 5000);
            var stream = drive.Stream(new uint[] { 0x60410010, 0x60640020 }, 5);
            try
            {
                StreamValues reading = null;
                for (int i = 0; i < 100 && (reading == null || reading.Frames < 3); ++i)
                {
                    Thread.Sleep(10);
                    reading = stream.Read();
                }
                Check(reading != null, "the stream's values came");
                Equal(reading.Values[1], -700, "position, signed");
                Equal(reading.Values[0] & 0x6F, 0x27, "operation enabled");
                Check(reading.AgeMs < 100, "newest value's age " + reading.AgeMs);
                Equal(drive.Position, -700, "a query beside the stream");
            }
            finally
            {
                stream.Stop();
            }
        }
    }

    static void CancelledWaits()
    {
        using (var sim = new Sim("--drives", "4", "--heartbeat-ms", "1"))
        using (var bus = Bus.Open(sim.Path))
        {
            // A drive on a move it takes a minute to finish.
            Func<int, Drive> moving = n =>
            {
                var drive = bus.Drive(n);
                drive.Enable();
                drive.SetProfile(2000, 10000, 10000);
                drive.MoveTo(120000);
                return drive;
            };
            // The token of the wait, and a cancel from elsewhere (another thread, a console handler).
            // A cancelled token ends the motion too: the drive is halted.
            var timers = new List<Timer>(); // kept from the collector until they fire
            var rows = new[]
            {
                Tuple.Create("token", (Func<Drive, Action>)(d =>
                {
                    var source = new CancellationTokenSource(300);
                    return () => d.WaitTarget(60000, source.Token);
                }), typeof(OperationCanceledException)),
                Tuple.Create("Orvex_Cancel", (Func<Drive, Action>)(d =>
                {
                    timers.Add(new Timer(_ => Native.Orvex_Cancel(), null, 300, Timeout.Infinite));
                    return () => d.WaitTarget(60000);
                }), typeof(OrvexCancelledException)),
                Tuple.Create("token of MoveAndWait", (Func<Drive, Action>)(d =>
                {
                    var source = new CancellationTokenSource(300);
                    return () => d.MoveAndWait(110000, timeoutMs: 60000, cancel: source.Token);
                }), typeof(OperationCanceledException)),
            };
            int node = 1;
            foreach (var row in rows)
            {
                var drive = moving(node++);
                var wait = row.Item2(drive);
                var watch = Stopwatch.StartNew();
                var e = Throws<Exception>(wait, "a wait ended by " + row.Item1);
                Check(watch.Elapsed.TotalSeconds < 2, row.Item1 + ": ended promptly: " + watch.Elapsed);
                Equal(e.GetType(), row.Item3, row.Item1 + ": exception (" + e.Message + ")");
                if (e is OrvexException)
                {
                    Equal(((OrvexException)e).LastResult, Outcome.Cancelled, "outcome");
                    // The cancel ended that wait only: the move goes on, the next wait runs out
                    // its own limit.
                    Throws<OrvexTimeoutException>(() => drive.WaitTarget(300), "the next wait");
                }
                else
                {
                    // Halted: the drive comes to a stand short of the target and stays there.
                    Check((drive.SdoRead(0x6040, 0, 2) & 0x100) != 0, row.Item1 + ": halt bit");
                    var until = Stopwatch.StartNew();
                    while ((drive.Statusword & 0x400) == 0 && until.Elapsed.TotalSeconds < 5)
                        Thread.Sleep(20);
                    int stands = drive.Position;
                    Thread.Sleep(100);
                    Equal(drive.Position, stands, row.Item1 + ": position once standing");
                    Check(stands < 100000, row.Item1 + ": stands short of the target: " + stands);
                }
                Equal(drive.State, DriveState.OperationEnabled, row.Item1 + ": state after");
            }
            // A token cancelled before the call: nothing is sent.
            var idle = bus.Drive(4);
            var cancelled = new CancellationToken(true);
            Throws<OperationCanceledException>(() => idle.Enable(cancel: cancelled), "Enable, cancelled before");
            Equal(idle.State, DriveState.SwitchOnDisabled, "a drive whose Enable was cancelled before");
            // Heartbeats of four drives each millisecond: more than the library keeps.
            Check(bus.FramesDropped > 0, "frames dropped: " + bus.FramesDropped);
        }
    }

    static void NoPort()
    {
        Drive drive;
        using (var sim = new Sim("--drives", "1"))
        {
            var bus = Bus.Open(sim.Path);
            drive = bus.Drive(1);
            bus.Close();
        }
        foreach (var call in new Action[] { () => drive.Enable(), () => { var s = drive.State; },
                                            () => drive.SdoRead(0x6041, 0) })
        {
            var watch = Stopwatch.StartNew();
            var e = Throws<NoPortException>(call, "a call on a closed bus");
            Check(watch.Elapsed.TotalSeconds < 0.2, "at once: " + watch.Elapsed);
            Equal(e.LastResult, Outcome.NoPort, "outcome");
            Check(e.Message.Contains("closed"), e.Message);
        }
        // The library itself with no port (its query waits out its limit, as queries do).
        Equal(Native.Orvex_Enable(1, 1000), 0, "Orvex_Enable with no port");
        Equal((Outcome)Native.Orvex_LastResult(), Outcome.NoPort, "its outcome");
    }
}
