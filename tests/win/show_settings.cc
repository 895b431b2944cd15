// Opens the plug-in's settings dialog for a few seconds, for the documentation's screenshot.
#include <windows.h>

#include <cstdlib>

#include "tests/win/host.h"

namespace {
DWORD WINAPI CloseLater(LPVOID seconds)
{
    Sleep(static_cast<DWORD>(reinterpret_cast<uintptr_t>(seconds)) * 1000);
    HWND dialog = FindWindowA("#32770", "xz settings");
    if (dialog != nullptr)
        PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    return 0;
}
} // namespace

int main(int argc, char** argv)
{
    const uintptr_t seconds = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 3;
    using ConfigurePackerFn = int32_t(ZTX_CALL*)(HWND, HINSTANCE);
    auto configure = testhost::Export<ConfigurePackerFn>("ConfigurePacker");
    if (configure == nullptr)
        return 2;
    CloseHandle(CreateThread(nullptr, 0, CloseLater, reinterpret_cast<LPVOID>(seconds), 0, nullptr));
    return configure(nullptr, testhost::Module()) == 0 ? 0 : 1;
}
