// Shows the plug-in's settings dialog for the documentation's screenshot
// (scripts/screenshot-dialog.sh). Usage: show_settings [SECONDS]
// Once the dialog is up and drawn, prints its window size as the system
// reports it ("xz settings: WIDTHxHEIGHT at X,Y"), so the picture can be
// checked against it; closes it when standard input ends or after SECONDS
// (default 60), whichever comes first.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "tests/win/host.h"

namespace {
constexpr char kDialogTitle[] = "xz settings";
// The plug-in's first use under Wine may still be creating the prefix.
constexpr int kFindTries = 6000;
constexpr DWORD kFindStepMs = 10;

DWORD WINAPI WaitForEndOfInput(LPVOID)
{
    char buffer[64];
    DWORD got = 0;
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    while (in != nullptr && in != INVALID_HANDLE_VALUE && ReadFile(in, buffer, sizeof(buffer), &got, nullptr) &&
           got > 0) {
    }
    return 0;
}

DWORD WINAPI ShowThenClose(LPVOID seconds)
{
    HWND dialog = nullptr;
    for (int i = 0; i < kFindTries && dialog == nullptr; ++i) {
        HWND w = FindWindowA("#32770", kDialogTitle);
        if (w != nullptr && IsWindowVisible(w))
            dialog = w;
        else
            Sleep(kFindStepMs);
    }
    if (dialog == nullptr)
        return 1;
    // Drawn through the dialog's own thread before anyone looks at it.
    RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    RECT r;
    if (GetWindowRect(dialog, &r)) {
        std::printf("%s: %ldx%ld at %ld,%ld\n", kDialogTitle, r.right - r.left, r.bottom - r.top, r.left, r.top);
        std::fflush(stdout);
    }
    HANDLE input = CreateThread(nullptr, 0, WaitForEndOfInput, nullptr, 0, nullptr);
    WaitForSingleObject(input, static_cast<DWORD>(reinterpret_cast<uintptr_t>(seconds)) * 1000);
    CloseHandle(input);
    PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    return 0;
}
} // namespace

int main(int argc, char** argv)
{
    const uintptr_t seconds = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 60;
    using ConfigurePackerFn = int32_t(ZTX_CALL*)(HWND, HINSTANCE);
    auto configure = testhost::Export<ConfigurePackerFn>("ConfigurePacker");
    if (configure == nullptr)
        return 2;
    CloseHandle(CreateThread(nullptr, 0, ShowThenClose, reinterpret_cast<LPVOID>(seconds), 0, nullptr));
    return configure(nullptr, testhost::Module()) == 0 ? 0 : 1;
}
