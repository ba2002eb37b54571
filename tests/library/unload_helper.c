/* Loads the library, opens a port, unloads the library when its standard input says so, and stays
   alive until its standard input closes (or 10 s pass), so the test can see that the unload itself
   closed the port. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!library) return 3;
    int (*open_device)(const char*, int) =
        (int (*)(const char*, int))dlsym(library, "Serial_OpenDevice");
    if (!open_device || open_device(argv[2], 115200) != 1) return 4;
    printf("opened\n");
    fflush(stdout);
    char byte;
    alarm(10);
    if (read(0, &byte, 1) != 1) return 6;
    if (dlclose(library) != 0) return 5;
    printf("unloaded\n");
    fflush(stdout);
    while (read(0, &byte, 1) > 0) {
    }
    return 0;
}
