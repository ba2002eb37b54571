// Loads the library once in a fresh process and prints, in microseconds, how long a plain 1000 ms
// sleep took here (the least the library's default load-time delay of one second can take on this
// machine right now), then dlopen and dlclose: "sleep_us load_us unload_us". Run by the load-time
// benchmark, never linked to the library.
#include <dlfcn.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>

namespace {

long long now_us() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000LL + ts.tv_nsec / 1000;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s LIBRARY\n", argv[0]);
        return 2;
    }
    const long long sleep_start = now_us();
    const timespec second{1, 0};
    nanosleep(&second, nullptr);
    const long long slept = now_us() - sleep_start;
    // The default delay is what is measured, whatever the benchmark's own environment asks for.
    unsetenv("ORVEX_LOAD_DELAY_MS");
    const long long before = now_us();
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    const long long loaded = now_us();
    if (library == nullptr || dlsym(library, "GetPosition") == nullptr) {
        std::fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    const long long before_close = now_us();
    dlclose(library);
    const long long closed = now_us();
    std::printf("%lld %lld %lld\n", slept, loaded - before, closed - before_close);
    return 0;
}
