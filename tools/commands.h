// The commands of ztxhost. Each returns the process exit status: the plug-in's
// result code (0 on success), or one of the host's own statuses (plugin_module.h).
#ifndef TOOLS_COMMANDS_H
#define TOOLS_COMMANDS_H

#include <string>
#include <vector>

#include "tools/progress.h"

namespace ztxhost {

struct Options {
    bool force = false;                   // extract: replace an existing output file
    std::wstring ini;                     // settings file handed to the plug-in (--ini)
    ProgressBar bar = ProgressBar::Auto;
};

using Arguments = std::vector<std::wstring>;

// Reading: read_commands.cc.
int ListCommand(const Options& options, const Arguments& args);
int TestCommand(const Options& options, const Arguments& args);
int ExtractCommand(const Options& options, const Arguments& args);

// Writing: write_commands.cc.
int PackCommand(const Options& options, const Arguments& args);
int DeleteCommand(const Options& options, const Arguments& args);
int MemPackCommand(const Options& options, const Arguments& args);
int SettingsCommand(const Options& options, const Arguments& args);

} // namespace ztxhost

#endif
