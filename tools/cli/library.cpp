// orvex loads ORVEX_DLL at run time instead of linking it. The library sleeps at load time unless
// ORVEX_LOAD_DELAY_MS says otherwise, and a linked library's constructor runs before anything in
// the program can set that variable (even a pre-init function's setenv is undone by the C
// library's own start-up). So the program defines every export itself as a small forwarder; the
// first call sets ORVEX_LOAD_DELAY_MS=0, loads the library (the program's run path names its
// directory; LD_LIBRARY_PATH comes first) and resolves the names it needs.
#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "options.h"

// The forwarders belong to this program only: a library that calls its own exports must never
// reach them.
#define ORVEX_API __attribute__((visibility("hidden")))
#include "orvex.h"

#if !defined(ORVEX_LIBRARY_FILE) || !defined(ORVEX_LIBRARY_RUN_PATH)
#error "ORVEX_LIBRARY_FILE (the library's soname) and ORVEX_LIBRARY_RUN_PATH come from CMake"
#endif

namespace orvex::cli {
namespace {

// The directory this program was started from, for the $ORIGIN entries of its run path.
std::string ProgramDirectory() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return {};
    const std::string program(path, static_cast<std::size_t>(length));
    return program.substr(0, program.rfind('/'));
}

// The library by its run path, searched by the program itself. dlopen searches the run path of
// its caller, which is not this program when a sanitizer intercepts the call.
void* LoadFromRunPath() {
    const std::string run_path = ORVEX_LIBRARY_RUN_PATH;
    const std::string origin = ProgramDirectory();
    std::size_t start = 0;
    while (start <= run_path.size()) {
        std::size_t end = run_path.find(':', start);
        if (end == std::string::npos) end = run_path.size();
        std::string directory = run_path.substr(start, end - start);
        if (directory.compare(0, 7, "$ORIGIN") == 0) directory = origin + directory.substr(7);
        if (!directory.empty()) {
            const std::string file = directory + "/" + ORVEX_LIBRARY_FILE;
            if (void* loaded = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL)) return loaded;
        }
        start = end + 1;
    }
    return nullptr;
}

void* Library() {
    static void* const handle = [] {
        setenv("ORVEX_LOAD_DELAY_MS", "0", 1);
        void* loaded = dlopen(ORVEX_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
        if (loaded == nullptr) {
            // The reason the search by name failed is the one worth showing.
            const char* why = dlerror();
            const std::string reason = why != nullptr ? why : "unknown reason";
            loaded = LoadFromRunPath();
            if (loaded == nullptr) {
                throw Failure(std::string("cannot load ") + ORVEX_LIBRARY_FILE + ": " + reason);
            }
        }
        return loaded;
    }();
    return handle;
}

template <typename Function>
Function Resolve(const char* name) {
    void* const address = dlsym(Library(), name);
    if (address == nullptr) {
        throw Failure(std::string(ORVEX_LIBRARY_FILE) + " lacks the export " + name);
    }
    return reinterpret_cast<Function>(address);
}

}  // namespace
}  // namespace orvex::cli

// NAME, parameter list, argument list, and the result type.
#define ORVEX_FORWARD(result, name, parameters, arguments)                           \
    extern "C" result name parameters {                                              \
        static const auto target = orvex::cli::Resolve<result(*) parameters>(#name); \
        return target arguments;                                                     \
    }

ORVEX_FORWARD(int, Serial_OpenPort, (int port, int baud), (port, baud))
ORVEX_FORWARD(int, Serial_OpenDevice, (const char* path, int baud), (path, baud))
ORVEX_FORWARD(int, Serial_ClosePort, (void), ())
ORVEX_FORWARD(int, U_Transmit, (const void* buffer, int length), (buffer, length))
ORVEX_FORWARD(int, U_Transmit_Validation,
              (void* purge, const void* request, void* answer, int request_length,
               int answer_length),
              (purge, request, answer, request_length, answer_length))
ORVEX_FORWARD(int, CMD_Enable_motor, (int node), (node))
ORVEX_FORWARD(int, PV_start_motor, (int node), (node))
ORVEX_FORWARD(int, CMD_Disable_motor, (int node), (node))
ORVEX_FORWARD(int, CMD_Emergency_Stop_motor, (int node), (node))
ORVEX_FORWARD(int, CMD_Restart_motor, (int node), (node))
ORVEX_FORWARD(int, PV_stop_motor, (int node), (node))
ORVEX_FORWARD(int, PP_stop_motor, (int node), (node))
ORVEX_FORWARD(int, HM_stop_motor, (int node), (node))
ORVEX_FORWARD(int, PT_stop_motor, (int node), (node))
ORVEX_FORWARD(int, Get_ALL_Enable_Status, (void), ())
ORVEX_FORWARD(int, Get_ALL_Reached_Status, (void), ())
ORVEX_FORWARD(int, Get_ALL_Err_Status, (void), ())
ORVEX_FORWARD(int, GetPosition, (int node), (node))
ORVEX_FORWARD(int, GetMotorStatus, (int node), (node))
ORVEX_FORWARD(int, GetVersions, (int node), (node))
ORVEX_FORWARD(int, SDO_Write,
              (int node, unsigned index, int subindex, unsigned value, int size_code),
              (node, index, subindex, value, size_code))
ORVEX_FORWARD(int, SDO_Read, (int node, unsigned index, int subindex, int* value, int size_code),
              (node, index, subindex, value, size_code))
ORVEX_FORWARD(int, LED_Set, (int node, int value), (node, value))
ORVEX_FORWARD(int, PV_Set, (int node, int velocity, unsigned acceleration, unsigned deceleration),
              (node, velocity, acceleration, deceleration))
ORVEX_FORWARD(int, PV_Set_Vel, (int node, int velocity), (node, velocity))
ORVEX_FORWARD(int, PP_Set, (int node, int velocity, unsigned acceleration, unsigned deceleration),
              (node, velocity, acceleration, deceleration))
ORVEX_FORWARD(int, PP_Inc_move, (int node, int distance), (node, distance))
ORVEX_FORWARD(int, PP_Abs_move, (int node, int position), (node, position))
ORVEX_FORWARD(int, PP_Abs_move_enhance, (int node, int position), (node, position))
ORVEX_FORWARD(int, HM_Set,
              (int node, int speed_switch, int speed_zero, unsigned acc_or_torque, int method),
              (node, speed_switch, speed_zero, acc_or_torque, method))
ORVEX_FORWARD(int, HM_start_motor, (int node), (node))
ORVEX_FORWARD(int, PT_Set, (int node, int max_velocity, int torque), (node, max_velocity, torque))
ORVEX_FORWARD(int, PT_start_motor, (int node), (node))
ORVEX_FORWARD(int, Orvex_LastResult, (void), ())
ORVEX_FORWARD(unsigned, Orvex_LastAbortCode, (void), ())
ORVEX_FORWARD(int, Orvex_LastSystemError, (void), ())

// The extensions: a library without one fails the call that needs it, with the export's name.
ORVEX_FORWARD(int, Orvex_SetTimeLimits, (int query_ms, int exchange_ms), (query_ms, exchange_ms))
ORVEX_FORWARD(int, Orvex_ReceiveFrame, (unsigned char frame[12], int timeout_ms),
              (frame, timeout_ms))
ORVEX_FORWARD(int, Orvex_ReadMany,
              (int count, const int* nodes, const int* indexes, const int* subindexes,
               unsigned* values, int* results),
              (count, nodes, indexes, subindexes, values, results))
