// Progress display and Ctrl-C for ztxhost, driven by the plug-in's progress callbacks.
#ifndef TOOLS_PROGRESS_H
#define TOOLS_PROGRESS_H

#include <cstdint>
#include <string>

#include "plugin/ztx_api.h"

namespace ztxhost {

// Installs the console control handler. The first Ctrl-C (or Ctrl-Break) only
// asks the running operation to stop, through the progress callback's answer,
// so that the plug-in can close and delete its output; a second one ends the
// process at once, in case the plug-in has stopped calling back.
void InstallAbortHandler();
bool AbortRequested();

// Registers ztxhost's callbacks for the handle in both name forms. The ANSI one
// is registered too for UTF-16 calls, since that is where the per-step reports go.
void RegisterProgressCallbacks(ArchiveHandle handle);

enum class ProgressBar {
    Auto,   // drawn on an interactive console once the work takes a moment
    Always, // drawn on any stderr from the first report, e.g. into a log
    Never,
};

// One run of a test or an extraction, fed by the callbacks while it is active.
// Only one run is active at a time: the callbacks carry no context of their own.
class ProgressRun {
public:
    // total: the unpacked size from the entry header, for the percentage (0: unknown).
    ProgressRun(const std::wstring& label, uint64_t total, ProgressBar mode);
    ~ProgressRun();
    ProgressRun(const ProgressRun&) = delete;
    ProgressRun& operator=(const ProgressRun&) = delete;

    // Ends the display: the bar's last state and a line break if it was drawn.
    void Finish();

    uint64_t done() const { return done_; }       // sum of the per-step byte counts
    uint32_t openings() const { return openings_; } // reports that carried a name

    // Called by the callbacks; answer 0 asks the plug-in to abort.
    int32_t Report(bool has_name, int32_t count);

private:
    void Draw(bool final_state);

    std::wstring label_;
    uint64_t total_;
    ProgressBar mode_;
    uint64_t done_ = 0;
    uint32_t openings_ = 0;
    uint64_t start_ms_;
    uint64_t last_draw_ms_ = 0;
    bool drawn_ = false;
    bool finished_ = false;
};

} // namespace ztxhost

#endif
