// The library's entry: the platform tells it of process attach and detach. Windows calls
// DllMain; on Linux the shared object's constructor and destructor run the same sequences
// when it is loaded and unloaded (dlopen/dlclose or process start and exit).
#include "frame/state.h"

#ifdef _WIN32
extern "C" BOOL WINAPI DllMain(HINSTANCE hInst, DWORD ul_reason_for_call, LPVOID lpReserved) {
    switch (ul_reason_for_call) {
    case DLL_PROCESS_ATTACH:
        LibraryLoad();
        break;
    case DLL_PROCESS_DETACH:
        LibraryUnload(lpReserved != nullptr);  // non-null: the process is ending
        break;
    default:  // thread attach and detach need nothing
        break;
    }
    return TRUE;
}
#else
__attribute__((constructor)) static void QuillonProcessAttach() { LibraryLoad(); }
__attribute__((destructor)) static void QuillonProcessDetach() { LibraryUnload(false); }
#endif
