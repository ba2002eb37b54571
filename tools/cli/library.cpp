// orvex loads ORVEX_DLL at run time instead of linking it. The library sleeps at load time unless
// ORVEX_LOAD_DELAY_MS says otherwise, and a linked library's constructor runs before anything in
// the program can set that variable (even a pre-init function's setenv is undone by the C
// library's own start-up). So the program defines every export itself as a small forwarder; the
// first call sets ORVEX_LOAD_DELAY_MS=0, loads the library (the program's run path names its
// directory; LD_LIBRARY_PATH comes first) and resolves the names it needs. Orvex_Cancel is
// resolved with the load, so that a signal handler can call it without resolving anything.
#include "library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
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

// Orvex_Cancel, once the library is loaded; the signal handlers read it.
using CancelFunction = void (*)(void);
std::atomic<CancelFunction> g_cancel{nullptr};
static_assert(std::atomic<CancelFunction>::is_always_lock_free,
              "a signal handler reads the cancel function");

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
        // Without it Ctrl-C would wait for every library call to end.
        void* const cancel = dlsym(loaded, "Orvex_Cancel");
        if (cancel == nullptr) {
            throw Failure(std::string(ORVEX_LIBRARY_FILE) + " lacks the export Orvex_Cancel");
        }
        g_cancel = reinterpret_cast<CancelFunction>(cancel);
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

std::string LoadedLibraryPath() {
    // The library has no version export: the file it was loaded from carries its version.
    Dl_info info{};
    void* const export_address = dlsym(Library(), "Serial_OpenDevice");
    if (export_address == nullptr || dladdr(export_address, &info) == 0 ||
        info.dli_fname == nullptr) {
        throw Failure(std::string("cannot tell which file ") + ORVEX_LIBRARY_FILE +
                      " was loaded from");
    }
    char resolved[PATH_MAX];
    if (realpath(info.dli_fname, resolved) == nullptr) return info.dli_fname;
    return resolved;
}

void CancelLibraryWaits() {
    if (const CancelFunction cancel = g_cancel.load()) cancel();
}

std::string LibraryFileVersion(const std::string& path) {
    const std::string name = path.substr(path.rfind('/') + 1);
    const std::size_t so = name.find(".so.");
    return so == std::string::npos ? "" : name.substr(so + 4);
}

}  // namespace orvex::cli

// NAME, parameter list, argument list, and the result type.
#define ORVEX_FORWARD(result, name, parameters, arguments)                           \
    extern "C" result name parameters {                                              \
        static const auto target = orvex::cli::Resolve<result(*) parameters>(#name); \
        return target arguments;                                                     \
    }

// Every export of the one list; a library without one of them fails the call that needs it, naming
// the export.
#define ORVEX_FORWARD_ALIAS(result, name, target, parameters, arguments) \
    ORVEX_FORWARD(result, name, parameters, arguments)
ORVEX_EXPORTS(ORVEX_FORWARD, ORVEX_FORWARD_ALIAS)
