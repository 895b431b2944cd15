// ConfigurePacker and the settings dialog's procedure: rate 1 to 9 and extreme mode.
#include <windows.h>

#include "plugin/exports.h"
#include "settings/settings_dialog.h"
#include "settings/settings_store.h"

namespace {

constexpr int kRateEntries = 9;

// One dialog at a time: the brush lives from WM_INITDIALOG until OK, Cancel
// or the window's destruction, whichever comes first.
HBRUSH g_brush = nullptr;

// Also reached when the dialog is destroyed without OK or Cancel (its owner
// closed), so that no opening leaves a brush behind.
void FreeBrush()
{
    if (g_brush != nullptr) {
        DeleteObject(g_brush);
        g_brush = nullptr;
    }
}

void Finish(HWND dialog, INT_PTR result)
{
    FreeBrush();
    EndDialog(dialog, result);
}

// The entry that shows a stored rate: none for anything outside 1 to 9, so
// that the user sees that the file holds something unusual. Compared before
// any arithmetic, since the stored value may be any 32-bit number.
WPARAM RateEntry(int32_t rate)
{
    constexpr WPARAM kNoEntry = static_cast<WPARAM>(-1);
    return rate >= 1 && rate <= kRateEntries ? static_cast<WPARAM>(rate - 1) : kNoEntry;
}

void Initialise(HWND dialog)
{
    char text[2] = {'1', '\0'};
    for (int i = 0; i < kRateEntries; ++i) {
        text[0] = static_cast<char>('1' + i);
        SendDlgItemMessageA(dialog, IDC_RATE, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
    }
    const settings::StoredSettings stored = settings::ReadStoredSettings();
    SendDlgItemMessageA(dialog, IDC_RATE, CB_SETCURSEL, RateEntry(stored.rate), 0);
    if (stored.extreme != 0)
        CheckDlgButton(dialog, IDC_EXTREME, BST_CHECKED);
    g_brush = CreateSolidBrush(GetSysColor(COLOR_BTNFACE));
}

void Save(HWND dialog)
{
    const LRESULT index = SendDlgItemMessageA(dialog, IDC_RATE, CB_GETCURSEL, 0, 0);
    // Entries 0 to 8 store "1" to "9"; no choice (-1) stores "0".
    const char rate[2] = {static_cast<char>('1' + index), '\0'};
    const char* extreme = IsDlgButtonChecked(dialog, IDC_EXTREME) == BST_CHECKED ? "1" : "0";
    settings::WriteStoredSettings(rate, extreme);
}

} // namespace

INT_PTR CALLBACK SettingsDialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_INITDIALOG:
        Initialise(dialog);
        return 1;
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSTATIC: {
        HDC dc = reinterpret_cast<HDC>(wparam);
        SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
        SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
        return reinterpret_cast<INT_PTR>(g_brush);
    }
    case WM_DESTROY:
        FreeBrush();
        return 0;
    case WM_COMMAND:
        // The whole wParam is compared: only clicks and Enter/Escape (code 0)
        // count, not the combo box's notifications.
        if (wparam == IDC_OK) {
            Save(dialog);
            Finish(dialog, 1);
        } else if (wparam == IDCANCEL) {
            Finish(dialog, 0);
        }
        return 0;
    }
    (void)lparam;
    return 0;
}

// 1 after OK, 0 after Cancel, the platform's failure value (-1) when the
// dialog cannot be created. The instance must be the plug-in's own.
extern "C" ZTX_EXPORT int32_t ZTX_CALL ConfigurePacker(HWND parent, HINSTANCE instance)
{
    return static_cast<int32_t>(DialogBoxParamA(instance, "CONFDLG", parent, SettingsDialogProc, 0));
}
