#include "help.h"

#include "commands.h"

namespace orvex::cli {

const char kEnableHelp[] =
    "Usage: orvex [connection] [--node N] enable\n"
    "\n"
    "Enables operation of the drive: controlword 0x000F (CMD_Enable_motor, also PV_start_motor).\n"
    "The command is not confirmed by the drive; check with 'orvex status'.\n"
    "\n"
    "Example:\n"
    "  orvex --device /dev/ttyUSB0 --node 2 enable && orvex --device /dev/ttyUSB0 --node 2 "
    "status\n";

const char kDisableHelp[] =
    "Usage: orvex [connection] [--node N] disable\n"
    "\n"
    "Disables operation: controlword 0x0007, the drive goes back to 'switched on'\n"
    "(CMD_Disable_motor).\n"
    "\n"
    "Example:\n"
    "  orvex --device /dev/ttyUSB0 disable\n";

const char kQuickStopHelp[] =
    "Usage: orvex [connection] [--node N] quick-stop\n"
    "\n"
    "Quick stop: controlword 0x0002 (CMD_Emergency_Stop_motor). The drive brakes with its\n"
    "quick-stop deceleration and leaves operation enabled; 'orvex enable' brings it back.\n"
    "\n"
    "Example:\n"
    "  orvex --device /dev/ttyUSB0 --node 3 quick-stop\n";

const char kHaltHelp[] =
    "Usage: orvex [connection] [--node N] halt\n"
    "\n"
    "Halts the motion with operation still enabled: controlword 0x010F (PV_stop_motor, the same\n"
    "function as PP_, HM_ and PT_stop_motor; 'pp stop', 'pv stop', 'home stop' and 'torque stop'\n"
    "send the same frame). Works in every mode.\n"
    "\n"
    "Example:\n"
    "  orvex --device /dev/ttyUSB0 halt\n";

const char kResetHelp[] =
    "Usage: orvex [connection] [--node N] reset\n"
    "\n"
    "Fault reset: reads the error code (0x603F) and error register (0x1001), then writes the\n"
    "controlword 0x0000 and 0x0080 (the rising edge of bit 7 resets the fault) and waits until\n"
    "the statusword leaves fault. Prints the error code it cleared. A drive that is not in\n"
    "fault gets nothing written. A fault whose cause remains comes back: exit status 1.\n"
    "\n"
    "Example:\n"
    "  orvex --device /dev/ttyUSB0 --node 2 reset && orvex --device /dev/ttyUSB0 --node 2 "
    "enable\n";

const char kRestartHelp[] =
    "Usage: orvex [connection] [--node N] restart\n"
    "\n"
    "Sends the NMT command 'reset communication' (00 00 82 NODE) to the node\n"
    "(CMD_Restart_motor). --node 0 resets every node on the bus.\n"
    "\n"
    "Example:\n"
    "  orvex --device /dev/ttyUSB0 --node 1 restart\n";

const char kStatusHelp[] =
    "Usage: orvex [connection] [--node N] status\n"
    "\n"
    "Reads the whole statusword (0x6041, SDO upload), the mode of operation display (0x6061, "
    "left\n"
    "out when the drive has none) and the position (0x6064, GetPosition), and prints the CiA 402\n"
    "state (switch on disabled, ready to switch on, switched on, operation enabled, quick stop\n"
    "active, fault reaction active, fault), the bits that are set and the position.\n"
    "\n"
    "Example:\n"
    "  $ orvex --device /dev/ttyUSB0 status\n"
    "  node 1: operation enabled\n"
    "    statusword  0x0637  ready to switch on, switched on, operation enabled, ...\n"
    "    mode        1 (profile position)\n"
    "    position    20000\n";

const char kPositionHelp[] =
    "Usage: orvex [connection] [--node N] position\n"
    "\n"
    "Prints the actual position (0x6064, GetPosition) as a bare number, for scripts.\n"
    "\n"
    "Example:\n"
    "  pos=$(orvex --device /dev/ttyUSB0 --node 2 position)\n";

const char kVersionHelp[] =
    "Usage: orvex [connection] [--node N] version\n"
    "\n"
    "Prints the drive's version word (0x2001:01, GetVersions) in hex and decimal.\n"
    "\n"
    "Example:\n"
    "  $ orvex --device /dev/ttyUSB0 version\n"
    "  node 1: version 0x0103 (259)\n";

const char kSummaryHelp[] =
    "Usage: orvex [connection] summary [--drives N]\n"
    "\n"
    "Asks node 0 for the three bus summaries, each a bit mask with bit n-1 for drive n:\n"
    "0x3001 enabled (Get_ALL_Enable_Status), 0x3002 at target (Get_ALL_Reached_Status),\n"
    "0x3003 in fault (Get_ALL_Err_Status). Prints the masks, the drives in each, and a table\n"
    "of drives 1..N (N: --drives, default the highest drive that appears in any mask).\n"
    "--node is not used.\n"
    "\n"
    "Example:\n"
    "  orvex --device /dev/ttyUSB0 summary --drives 4\n";

const char kSdoHelp[] =
    "Usage: orvex [connection] [--node N] sdo read INDEX SUB [--size 1|2|3|4]\n"
    "       orvex [connection] [--node N] sdo write INDEX SUB VALUE [--size 1|2|3|4]\n"
    "\n"
    "read:  an expedited SDO upload (SDO_Read); prints the value in hex and decimal (and signed\n"
    "       when the top bit of SIZE bytes is set). An abort prints the CiA 301 abort code and\n"
    "       its meaning, exit status 1.\n"
    "write: an expedited SDO download of SIZE bytes (SDO_Write). The library does not wait\n"
    "       for a confirmation; read the object back to check.\n"
    "--size  transfer size in bytes (default 4).\n"
    "Numbers: decimal or hex with 0x; VALUE may be negative (-2000 = 0xFFFFF830).\n"
    "\n"
    "Examples:\n"
    "  orvex --device /dev/ttyUSB0 sdo read 0x6041 0 --size 2\n"
    "  orvex --device /dev/ttyUSB0 --node 2 sdo write 0x6060 0 1 --size 1\n"
    "  orvex --device /dev/ttyUSB0 sdo read 0x1018 1\n";

const char kLedHelp[] =
    "Usage: orvex [connection] [--node N] led VALUE\n"
    "\n"
    "Writes VALUE to the LED object 0x2003:14 (LED_Set, a 4-byte download).\n"
    "\n"
    "Example:\n"
    "  orvex --device /dev/ttyUSB0 led 1\n";

const char kProfilePositionHelp[] =
    "Usage: orvex [connection] [--node N] pp set VEL ACC DEC\n"
    "       orvex [connection] [--node N] pp move POS [--relative] [--wait] [--timeout S]\n"
    "       orvex [connection] [--node N] pp target POS\n"
    "       orvex [connection] [--node N] pp stop\n"
    "\n"
    "Profile position mode (mode 1), in the drive's own units.\n"
    "set:    profile velocity 0x6081, acceleration 0x6083, deceleration 0x6084; selects mode 1\n"
    "        with the drive halted (PP_Set).\n"
    "move:   target 0x607A and a new set-point that takes effect at once (PP_Abs_move), or a\n"
    "        distance from the present target with --relative (PP_Inc_move).\n"
    "        --wait      follow the move with a progress bar on stderr until statusword bit 10\n"
    "                    (target reached); Ctrl-C halts the drive (exit status 130)\n"
    "        --timeout S give up waiting after S seconds (default 30); exit status 1\n"
    "target: writes the target only, without a new set-point (PP_Abs_move_enhance).\n"
    "stop:   halt, controlword 0x010F (PP_stop_motor).\n"
    "The drive must be enabled ('orvex enable') for it to move.\n"
    "\n"
    "Examples:\n"
    "  orvex --device /dev/ttyUSB0 pp set 10000 50000 50000\n"
    "  orvex --device /dev/ttyUSB0 pp move 20000 --wait\n"
    "  [###################...........]  63%  pos 12600 -> 20000\n"
    "  orvex --device /dev/ttyUSB0 pp move -5000 --relative --wait --timeout 5\n";

const char kProfileVelocityHelp[] =
    "Usage: orvex [connection] [--node N] pv set VEL ACC DEC\n"
    "       orvex [connection] [--node N] pv speed VEL\n"
    "       orvex [connection] [--node N] pv start | pv stop\n"
    "       orvex [connection] [--node N] pv run VEL [--for S] [--acc A] [--dec D]\n"
    "\n"
    "Profile velocity mode (mode 3), in the drive's own units.\n"
    "set:   target velocity 0x60FF, acceleration 0x6083, deceleration 0x6084; selects mode 3\n"
    "       with the drive halted (PV_Set).\n"
    "speed: changes the target velocity 0x60FF (PV_Set_Vel), also while running.\n"
    "start: releases the halt, controlword 0x000F (PV_start_motor); stop: halts (PV_stop_motor).\n"
    "run:   set (acceleration and deceleration default 10000), start, show the position on\n"
    "       stderr, then halt after --for S seconds, or on Ctrl-C without --for. The drive is\n"
    "       halted on any failure too.\n"
    "\n"
    "Examples:\n"
    "  orvex --device /dev/ttyUSB0 pv run 5000 --for 2\n"
    "  orvex --device /dev/ttyUSB0 pv set -3000 20000 20000 && orvex --device /dev/ttyUSB0 pv "
    "start\n"
    "  orvex --device /dev/ttyUSB0 pv speed 1500\n";

const char kHomingHelp[] =
    "Usage: orvex [connection] [--node N] home set METHOD SPEED_SWITCH SPEED_ZERO ACC_OR_TORQUE\n"
    "       orvex [connection] [--node N] home start [--wait] [--timeout S]\n"
    "       orvex [connection] [--node N] home stop\n"
    "\n"
    "Homing mode (mode 6).\n"
    "set:   homing method 0x6098 (CiA 402 method number, e.g. 17: negative limit switch) with\n"
    "       switch-search speed 0x6099:01, zero-search speed 0x6099:02 and homing acceleration\n"
    "       0x609A (HM_Set). Method 0 homes against a hard stop by torque: SPEED_SWITCH is the\n"
    "       maximum velocity 0x607F, ACC_OR_TORQUE the torque 0x6071, SPEED_ZERO is unused.\n"
    "start: controlword 0x001F (HM_start_motor).\n"
    "       --wait      wait until statusword bit 12 (homing attained), showing the position;\n"
    "                   Ctrl-C halts the drive (exit status 130)\n"
    "       --timeout S give up waiting after S seconds (default 30); exit status 1\n"
    "stop:  halt, controlword 0x010F (HM_stop_motor).\n"
    "\n"
    "Examples:\n"
    "  orvex --device /dev/ttyUSB0 home set 17 2000 500 20000\n"
    "  orvex --device /dev/ttyUSB0 home start --wait --timeout 20\n";

const char kTorqueHelp[] =
    "Usage: orvex [connection] [--node N] torque set MAXVEL TORQUE\n"
    "       orvex [connection] [--node N] torque start | torque stop\n"
    "\n"
    "Profile torque mode (mode 4).\n"
    "set:   maximum velocity 0x607F and target torque 0x6071 (per mille of rated torque,\n"
    "       -32768..32767), then controlword 0x000F (PT_Set): THE DRIVE PRODUCES TORQUE AT ONCE.\n"
    "start: mode 4 and controlword 0x000F (PT_start_motor).\n"
    "stop:  halt, controlword 0x010F (PT_stop_motor); 'orvex halt' does the same.\n"
    "\n"
    "Example:\n"
    "  orvex --device /dev/ttyUSB0 torque set 2000 100; sleep 1; orvex --device /dev/ttyUSB0 "
    "halt\n";

const char kRawHelp[] =
    "Usage: orvex [connection] raw send HEX...\n"
    "       orvex [connection] raw exchange HEX... --answer N\n"
    "\n"
    "Raw bytes, written as they are: a frame is 12 bytes, CAN identifier (2 bytes, high first),\n"
    "8 data bytes, then 0D 0A. Bytes may be separate words, run together or joined by ':' or "
    "','.\n"
    "send:     writes the bytes (U_Transmit).\n"
    "exchange: writes the bytes, waits until N answer bytes have arrived (800 ms, 3800 ms for\n"
    "          more than 50 bytes) and prints them in hex (U_Transmit_Validation). The answer\n"
    "          is not examined: it may be any frame that arrived.\n"
    "\n"
    "Examples:\n"
    "  orvex --device /dev/ttyUSB0 raw send 00 00 01 01 00 00 00 00 00 00 0D 0A\n"
    "  orvex --device /dev/ttyUSB0 raw exchange 06 01 40 64 60 00 00 00 00 00 0D 0A --answer "
    "12\n";

std::string GeneralHelp() {
    return "orvex - command CANopen servo drives (CiA 402) through ORVEX_DLL and a serial-to-CAN\n"
           "adapter\n"
           "\n"
           "Usage: orvex [--device PATH | --port N] [--baud B] [--node N] COMMAND [ARGS...]\n"
           "       orvex COMMAND --help\n"
           "\n"
           "Connection (options may come before or after the command):\n"
           "  --device PATH  the adapter's serial device: /dev/ttyUSB0, /dev/serial/by-id/...,\n"
           "                 a pseudo-terminal (default: $ORVEX_DEVICE)\n"
           "  --port N       COM port N instead (Serial_OpenPort: /dev/ttyS<N-1> on Linux)\n"
           "  --baud B       baud rate (default 115200)\n"
           "  --node N       the drive's node id, 0-127 (default 1)\n"
           "  -h, --help     this text; with a command, that command's help\n"
           "\n"
           "Drive control (one controlword each, not confirmed by the drive):\n"
           "  enable                  enable operation (0x000F)\n"
           "  disable                 back to switched on (0x0007)\n"
           "  quick-stop              quick stop (0x0002)\n"
           "  halt                    halt, operation stays enabled (0x010F)\n"
           "  restart                 NMT reset communication of the node\n"
           "Queries:\n"
           "  status                  CiA 402 state, statusword bits, mode and position\n"
           "  position                actual position, a bare number\n"
           "  version                 version word 0x2001:01\n"
           "  summary                 bus masks: which drives are enabled, at target, in fault\n"
           "Objects:\n"
           "  sdo read INDEX SUB [--size 1|2|3|4]\n"
           "  sdo write INDEX SUB VALUE [--size 1|2|3|4]\n"
           "  led VALUE               LED object 0x2003:14\n"
           "Motion:\n"
           "  pp set VEL ACC DEC      profile position: set up\n"
           "  pp move POS [--relative] [--wait] [--timeout S]\n"
           "  pp target POS | pp stop\n"
           "  pv set VEL ACC DEC      profile velocity: set up (halted)\n"
           "  pv speed VEL | pv start | pv stop\n"
           "  pv run VEL [--for S] [--acc A] [--dec D]   set, start, run, halt\n"
           "  home set METHOD SPEED_SWITCH SPEED_ZERO ACC_OR_TORQUE\n"
           "  home start [--wait] [--timeout S] | home stop\n"
           "  torque set MAXVEL TORQUE   (torque at once) | torque start | torque stop\n"
           "Raw bytes:\n"
           "  raw send HEX...\n"
           "  raw exchange HEX... --answer N\n"
           "\n"
           "Numbers are decimal or hex with 0x; positions and velocities may be negative.\n"
           "\n"
           "Exit status: 0 success; 1 the port or a drive failed (one line on stderr: no answer,\n"
           "SDO abort with its meaning, or the system's reason); 2 usage error; 130 interrupted\n"
           "(a motion that the command was following is halted first).\n"
           "\n"
           "Examples:\n"
           "  orvex --device /dev/ttyUSB0 status\n"
           "  orvex --device /dev/ttyUSB0 --node 2 enable\n"
           "  orvex --device /dev/ttyUSB0 pp set 10000 50000 50000\n"
           "  orvex --device /dev/ttyUSB0 pp move 20000 --wait\n"
           "  orvex --device /dev/ttyUSB0 sdo read 0x6041 0 --size 2\n"
           "  ORVEX_DEVICE=/dev/ttyUSB0 orvex summary\n"
           "  orvex --port 3 --baud 500000 version\n"
           "\n"
           "Without hardware: orvex-sim --link /tmp/orvex-port & orvex --device /tmp/orvex-port "
           "status\n"
           "'orvex COMMAND --help' (or 'orvex help COMMAND') explains each command.\n";
}

std::string CommandHelp(const std::string& name) {
    const Command* command = FindCommand(name);
    if (command == nullptr) return "";
    return std::string(command->help) +
           "\nConnection: --device PATH | --port N, --baud B (see 'orvex --help').\n";
}

}  // namespace orvex::cli
