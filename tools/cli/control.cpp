// Device control: enable, disable, quick stop, halt and the NMT restart.
#include <iostream>

#include "commands.h"
#include "format.h"
#include "orvex.h"
#include "port.h"

namespace orvex::cli {
namespace {

// One-frame device control commands.
int RunControl(Arguments& args, const Connection& connection, int (*send)(int),
               const std::string& verb, const std::string& done) {
    args.ExpectEnd();
    Port port(connection);
    port.Require(send(connection.node), verb + " " + NodeName(connection.node));
    std::cout << NodeName(connection.node) << ": " << done << "\n";
    return 0;
}

}  // namespace

int RunEnable(Arguments& args, const Connection& connection) {
    return RunControl(args, connection, CMD_Enable_motor, "enable",
                      "enable operation sent (controlword 0x000F)");
}

int RunDisable(Arguments& args, const Connection& connection) {
    return RunControl(args, connection, CMD_Disable_motor, "disable",
                      "disable operation sent (controlword 0x0007)");
}

int RunQuickStop(Arguments& args, const Connection& connection) {
    return RunControl(args, connection, CMD_Emergency_Stop_motor, "quick-stop",
                      "quick stop sent (controlword 0x0002)");
}

int RunHalt(Arguments& args, const Connection& connection) {
    return RunControl(args, connection, PV_stop_motor, "halt", "halt sent (controlword 0x010F)");
}

int RunRestart(Arguments& args, const Connection& connection) {
    return RunControl(args, connection, CMD_Restart_motor, "restart",
                      "NMT reset communication sent");
}

}  // namespace orvex::cli
