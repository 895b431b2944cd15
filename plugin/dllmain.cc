// Module entry: records the instance handle and nothing else, so loading never fails.
#include <windows.h>

#include "plugin/module.h"

namespace {
HINSTANCE g_instance = nullptr;
}

namespace plugin {
HINSTANCE ModuleInstance() { return g_instance; }
} // namespace plugin

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        g_instance = instance;
    return TRUE;
}
