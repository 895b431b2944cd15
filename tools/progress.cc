// Progress display and Ctrl-C for ztxhost.
#include "tools/progress.h"

#include <windows.h>

#include <cstdio>

#include "plugin/ztx_api.h"
#include "tools/console.h"
#include "tools/plugin_module.h"

namespace ztxhost {

namespace {

// Written by the control handler, which the system runs on a thread of its own.
volatile LONG g_abort_requests = 0;

ProgressRun* g_active = nullptr;

constexpr uint64_t kQuietMs = 300;   // Auto: short work shows no bar at all
constexpr uint64_t kRedrawMs = 100;  // redraws are throttled; the callbacks come every 4 KB
constexpr int kBarWidth = 24;

BOOL WINAPI OnControl(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    // FALSE on the second press hands it to the default handler, which ends the process.
    return InterlockedIncrement(&g_abort_requests) == 1 ? TRUE : FALSE;
}

int32_t ZTX_CALL OnProgress(const char* name, int32_t count)
{
    return g_active != nullptr ? g_active->Report(name != nullptr, count) : (AbortRequested() ? 0 : 1);
}

int32_t ZTX_CALL OnProgressW(const wchar_t* name, int32_t count)
{
    return g_active != nullptr ? g_active->Report(name != nullptr, count) : (AbortRequested() ? 0 : 1);
}

} // namespace

void InstallAbortHandler() { SetConsoleCtrlHandler(OnControl, TRUE); }

bool AbortRequested() { return InterlockedCompareExchange(&g_abort_requests, 0, 0) != 0; }

void RegisterProgressCallbacks(ArchiveHandle handle)
{
    Bind<SetProcessDataProcFn>("SetProcessDataProc")(handle, OnProgress);
    Bind<SetProcessDataProcWFn>("SetProcessDataProcW")(handle, OnProgressW);
}

ProgressRun::ProgressRun(const std::wstring& label, uint64_t total, ProgressBar mode)
    : label_(label), total_(total), mode_(mode), start_ms_(GetTickCount64())
{
    if (mode_ == ProgressBar::Auto && !IsConsole(stderr))
        mode_ = ProgressBar::Never;
    g_active = this;
}

ProgressRun::~ProgressRun()
{
    Finish();
}

void ProgressRun::Finish()
{
    if (finished_)
        return;
    finished_ = true;
    g_active = nullptr;
    if (drawn_) {
        Draw(true);
        Write(stderr, "\n");
    }
}

int32_t ProgressRun::Report(bool has_name, int32_t count)
{
    if (has_name)
        ++openings_;
    else if (count > 0)
        done_ += static_cast<uint64_t>(count);

    if (mode_ != ProgressBar::Never) {
        const uint64_t now = GetTickCount64();
        const bool due = drawn_ ? now - last_draw_ms_ >= kRedrawMs
                                : mode_ == ProgressBar::Always || now - start_ms_ >= kQuietMs;
        if (due) {
            Draw(false);
            last_draw_ms_ = now;
        }
    }
    return AbortRequested() ? 0 : 1;
}

void ProgressRun::Draw(bool final_state)
{
    // On a console the bar is redrawn in place; into a pipe or a log each
    // state gets a line of its own.
    const bool in_place = IsConsole(stderr);
    std::wstring line = in_place ? L"\r" : L"";
    line += label_;
    if (total_ > 0) {
        const uint64_t shown = done_ < total_ ? done_ : total_;
        const int filled = static_cast<int>(shown * kBarWidth / total_);
        const int percent = static_cast<int>(shown * 100 / total_);
        line += L" [" + std::wstring(static_cast<size_t>(filled), L'#') +
                std::wstring(static_cast<size_t>(kBarWidth - filled), L'.') + L"] ";
        std::wstring percent_text = std::to_wstring(percent) + L"%";
        percent_text.insert(0, 4 - percent_text.size(), L' ');
        line += percent_text + L"  " + std::to_wstring(done_) + L" of " + std::to_wstring(total_) + L" bytes";
    } else {
        line += L"  " + std::to_wstring(done_) + L" bytes";
    }
    if (!in_place && !final_state)
        line += L"\n";
    drawn_ = true;
    Write(stderr, line);
}

} // namespace ztxhost
