// The library's entry point: process-wide state is created when the library
// is loaded and torn down when it is unloaded, by the registry's load and
// unload routines (which tests call directly instead).
#include "driver/handle_pins.h"
#include "platform/win32.h"
#include "registry/card_table.h"

#if QUELT_WINDOWS

// Thread attach and detach need nothing: the library keeps no per-thread state.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            RegistryLoad();
            break;
        case DLL_PROCESS_DETACH:
            // Non-null at process end: the other threads are gone already, and an
            // interrupt wait they left behind can never let go of its handle.
            if (reserved != nullptr) AbandonPinnedHandles();
            RegistryUnload();
            break;
        default:
            break;
    }
    return TRUE;
}

#else

// The shared object's load and unload: the same routines DllMain calls.
__attribute__((constructor)) static void QueltLibraryLoad() {
    RegistryLoad();
}

__attribute__((destructor)) static void QueltLibraryUnload() {
    RegistryUnload();
}

#endif
