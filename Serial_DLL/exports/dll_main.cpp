// Windows entry point: the same load and unload order as the constructor and destructor on ELF.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "library_lifecycle.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            orvex::library_load();
            break;
        case DLL_PROCESS_DETACH:
            // A non-null `reserved` means the process is exiting: its other threads are already
            // gone, possibly killed inside an exchange while holding the port or exchange lock,
            // which closing the port would have to take. The system closes the port handle
            // itself then; only an unload by FreeLibrary closes it here.
            if (reserved == nullptr) orvex::library_unload();
            break;
        default:
            break;
    }
    return TRUE;
}
