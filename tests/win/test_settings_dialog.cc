// The real settings dialog, driven from a second thread as a user would: what it shows for the
// stored settings, what OK, Enter, Cancel, Escape, the close box and closing its owner write, and
// that its brush does not outlive it. Needs a display (Xvfb under Wine).
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "tests/win/host.h"

namespace {

using testhost::Export;

typedef int32_t(ZTX_CALL* ConfigurePackerFn)(HWND parent, HINSTANCE instance);

struct Seen {
    LRESULT selection = -2;
    UINT checked = 99;
    HBRUSH brush = nullptr;
    std::string texts[9];
    bool found = false;
};

HWND FindDialog()
{
    for (int i = 0; i < 500; ++i) {
        HWND w = FindWindowA("#32770", "xz settings");
        if (w != nullptr && IsWindowVisible(w))
            return w;
        Sleep(10);
    }
    return nullptr;
}

struct Driver {
    std::function<void(HWND)> act;
    Seen seen;
    DWORD dialog_thread;
};

DWORD WINAPI Drive(LPVOID arg)
{
    Driver& d = *static_cast<Driver*>(arg);
    HWND dialog = FindDialog();
    if (dialog == nullptr)
        return 1;
    d.seen.found = true;
    HWND combo = GetDlgItem(dialog, 103);
    d.seen.selection = SendMessageA(combo, CB_GETCURSEL, 0, 0);
    const LRESULT count = SendMessageA(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count && i < 9; ++i) {
        char text[8] = {};
        SendMessageA(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
        d.seen.texts[i] = text;
    }
    d.seen.checked = IsDlgButtonChecked(dialog, 105);
    // The dialog answers colour requests with its brush; it must be gone
    // once the dialog is.
    HDC dc = GetDC(dialog);
    d.seen.brush = reinterpret_cast<HBRUSH>(SendMessageA(dialog, WM_CTLCOLORDLG, reinterpret_cast<WPARAM>(dc),
                                                         reinterpret_cast<LPARAM>(dialog)));
    ReleaseDC(dialog, dc);
    d.act(dialog);
    return 0;
}

// Posts a key to whatever has the keyboard focus in the dialog's thread.
void Key(HWND dialog, DWORD thread, WPARAM key)
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof(info);
    HWND target = GetGUIThreadInfo(thread, &info) && info.hwndFocus != nullptr ? info.hwndFocus : dialog;
    PostMessageA(target, WM_KEYDOWN, key, 0);
    PostMessageA(target, WM_KEYUP, key, 0xC0000000);
}

class SettingsDialog : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = testhost::ScratchDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
        ini_ = dir_ + "\\plugins.ini";
        testhost::UseSettingsFile(ini_);
    }
    void Store(const char* key, const char* value) { WritePrivateProfileStringA("xz", key, value, ini_.c_str()); }
    std::string Stored(const char* key)
    {
        char value[32];
        GetPrivateProfileStringA("xz", key, "<absent>", value, sizeof(value), ini_.c_str());
        return value;
    }
    // Opens the dialog on this thread while a second thread looks at it and acts.
    int32_t Run(std::function<void(HWND)> act, Seen* seen, HWND owner = nullptr)
    {
        Driver d;
        d.act = std::move(act);
        d.dialog_thread = GetCurrentThreadId();
        HANDLE t = CreateThread(nullptr, 0, Drive, &d, 0, nullptr);
        const int32_t result = Export<ConfigurePackerFn>("ConfigurePacker")(owner, testhost::Module());
        WaitForSingleObject(t, 10000);
        CloseHandle(t);
        *seen = d.seen;
        return result;
    }
    std::string dir_;
    std::string ini_;
};

void ClickOk(HWND dialog) { SendMessageA(GetDlgItem(dialog, 104), BM_CLICK, 0, 0); }

TEST_F(SettingsDialog, NoSettingsFileShowsTheDefaultsAndOkWritesThem)
{
    Seen seen;
    EXPECT_EQ(Run(ClickOk, &seen), 1);
    ASSERT_TRUE(seen.found) << "the dialog never appeared";
    EXPECT_EQ(seen.selection, 5) << "rate 6 is the sixth entry";
    EXPECT_EQ(seen.checked, static_cast<UINT>(BST_CHECKED));
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(seen.texts[i], std::string(1, static_cast<char>('1' + i)));
    EXPECT_EQ(Stored("CompressionRate"), "6");
    EXPECT_EQ(Stored("Extreme"), "1");
}

TEST_F(SettingsDialog, RatesOutsideOneToNineShowNoChoice)
{
    for (const char* rate : {"0", "12", "-2147483648"}) {
        Store("CompressionRate", rate);
        Store("Extreme", "2");
        Seen seen;
        EXPECT_EQ(Run(ClickOk, &seen), 1);
        EXPECT_EQ(seen.selection, CB_ERR) << rate;
        EXPECT_EQ(seen.checked, static_cast<UINT>(BST_CHECKED)) << "any non-zero Extreme ticks the box";
        EXPECT_EQ(Stored("CompressionRate"), "0") << rate;
        EXPECT_EQ(Stored("Extreme"), "1");

        Store("CompressionRate", rate);
        EXPECT_EQ(Run([](HWND d) {
                      SendMessageA(GetDlgItem(d, 103), CB_SETCURSEL, 2, 0);
                      ClickOk(d);
                  },
                      &seen),
                  1);
        EXPECT_EQ(Stored("CompressionRate"), "3") << rate;
    }
    Store("CompressionRate", "9");
    Store("Extreme", "0");
    Seen seen;
    EXPECT_EQ(Run([](HWND d) {
                  SendMessageA(GetDlgItem(d, 105), BM_CLICK, 0, 0);
                  ClickOk(d);
              },
                  &seen),
              1);
    EXPECT_EQ(seen.selection, 8);
    EXPECT_EQ(seen.checked, static_cast<UINT>(BST_UNCHECKED));
    EXPECT_EQ(Stored("Extreme"), "1");
}

TEST_F(SettingsDialog, CancelEscapeAndCloseBoxWriteNothing)
{
    const DWORD self = GetCurrentThreadId();
    const std::function<void(HWND)> ways[] = {
        [](HWND d) { SendMessageA(GetDlgItem(d, 2), BM_CLICK, 0, 0); },
        [self](HWND d) { Key(d, self, VK_ESCAPE); },
        [](HWND d) { PostMessageA(d, WM_SYSCOMMAND, SC_CLOSE, 0); },
    };
    int i = 0;
    for (const auto& way : ways) {
        Seen seen;
        EXPECT_EQ(Run([&](HWND d) {
                      SendMessageA(GetDlgItem(d, 103), CB_SETCURSEL, 0, 0);
                      way(d);
                  },
                      &seen),
                  0)
            << "way " << i;
        EXPECT_TRUE(seen.found);
        EXPECT_EQ(Stored("CompressionRate"), "<absent>") << "way " << i;
        EXPECT_EQ(Stored("Extreme"), "<absent>") << "way " << i;
        ++i;
    }
}

// Closing the owner destroys the dialog without OK or Cancel.
TEST_F(SettingsDialog, ClosingTheOwnerWritesNothingAndDeletesTheBrush)
{
    const HWND owner = CreateWindowExA(0, "STATIC", "owner", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr,
                                       nullptr, nullptr, nullptr);
    Seen seen;
    Run([owner](HWND) { PostMessageA(owner, WM_CLOSE, 0, 0); }, &seen, owner);
    ASSERT_TRUE(seen.found && seen.brush != nullptr);
    EXPECT_FALSE(IsWindow(owner));
    EXPECT_EQ(GetObjectType(seen.brush), 0u) << "the brush outlived its dialog";
    EXPECT_EQ(Stored("CompressionRate"), "<absent>");
}

TEST_F(SettingsDialog, EnterActsAsOk)
{
    const DWORD self = GetCurrentThreadId();
    Seen seen;
    EXPECT_EQ(Run([self](HWND d) {
                  SendMessageA(GetDlgItem(d, 103), CB_SETCURSEL, 1, 0);
                  Key(d, self, VK_RETURN);
              },
                  &seen),
              1);
    EXPECT_EQ(Stored("CompressionRate"), "2");
}

TEST_F(SettingsDialog, EveryOpeningDeletesItsBrush)
{
    const DWORD gdi_before = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    constexpr int kOpenings = 200;
    int deleted = 0;
    for (int i = 0; i < kOpenings; ++i) {
        Seen seen;
        const bool ok = i % 2 == 0;
        EXPECT_EQ(Run([ok](HWND d) { SendMessageA(GetDlgItem(d, ok ? 104 : 2), BM_CLICK, 0, 0); }, &seen),
                  ok ? 1 : 0);
        ASSERT_NE(seen.brush, nullptr) << "opening " << i;
        if (GetObjectType(seen.brush) == 0)
            ++deleted;
    }
    EXPECT_EQ(deleted, kOpenings);
    const DWORD gdi_after = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    // Wine answers 0 for the process's GDI count; where it counts, the
    // count must be stable.
    if (gdi_before == 0 && gdi_after == 0)
        std::printf("GDI object count not available here; %d of %d brushes deleted\n", deleted, kOpenings);
    else
        std::printf("GDI objects before %lu, after %d openings %lu\n", static_cast<unsigned long>(gdi_before),
                    kOpenings, static_cast<unsigned long>(gdi_after));
    EXPECT_LE(gdi_after, gdi_before + 5);
}

} // namespace
