// ztxhost: a console host for xz.ztx. It loads the plug-in from its own folder and drives it
// through the exported interface only, as a file manager would.
#include <cstring>
#include <string>

#include "tools/commands.h"
#include "tools/console.h"
#include "tools/plugin_module.h"
#include "tools/progress.h"

namespace {

using namespace ztxhost;

struct Command {
    const wchar_t* name;
    size_t min_args;
    size_t max_args;
    int (*run)(const Options&, const Arguments&);
    const char* synopsis;
};

// One line per command.
const Command kCommands[] = {
    {L"list", 1, 1, ListCommand, "list ARCHIVE.xz             entry name, packed and unpacked size, time, ratio"},
    {L"test", 1, 1, TestCommand, "test ARCHIVE.xz             decompress and check, writing nothing"},
    {L"extract", 1, 2, ExtractCommand,
     "extract ARCHIVE.xz [DEST]   DEST: a file, or an existing folder (default: the archive's)"},
    {L"pack", 1, 2, PackCommand, "pack FILE [ARCHIVE.xz]      new or rewritten archive (default FILE.xz), with backup"},
    {L"delete", 1, 1, DeleteCommand, "delete ARCHIVE.xz           delete the archive (its one entry)"},
    {L"mempack", 1, 2, MemPackCommand, "mempack FILE [OUT.xz]       pack through the memory-packing calls"},
    {L"settings", 0, 1, SettingsCommand, "settings [INI]              stored rate, extreme mode and threads, and what packing makes of them"},
};

void Usage()
{
    std::string text = "usage: ztxhost [OPTIONS] COMMAND ARGS\n";
    for (const Command& command : kCommands)
        text += std::string("  ztxhost ") + command.synopsis + "\n";
    text += "options:\n"
            "  -f, --force      extract: replace an existing output file\n"
            "  --progress       always show the progress bar, also when stderr is not a console\n"
            "  -q, --quiet      never show the progress bar\n"
            "  --ini FILE       settings file handed to the plug-in (default: its own)\n"
            "Ctrl-C aborts a test or an extraction; no partial output is left.\n"
            "exit status: 0 on success, else the plug-in's result code (10 to 24),\n"
            "1 when ztxhost declines (e.g. the output exists), 2 for a bad command line.\n";
    Write(stderr, text);
}

} // namespace

int main()
{
    Options options;
    std::wstring name;
    Arguments args;
    bool options_done = false;
    bool want_ini = false;
    for (const std::wstring& arg : CommandLineArguments()) {
        if (want_ini) {
            options.ini = arg;
            want_ini = false;
        } else if (!options_done && arg == L"--ini") {
            want_ini = true;
        } else if (!options_done && arg == L"--") {
            options_done = true;
        } else if (!options_done && arg.size() > 1 && arg[0] == L'-') {
            if (arg == L"-f" || arg == L"--force") {
                options.force = true;
            } else if (arg == L"--progress") {
                options.bar = ProgressBar::Always;
            } else if (arg == L"-q" || arg == L"--quiet") {
                options.bar = ProgressBar::Never;
            } else if (arg == L"-h" || arg == L"--help") {
                Usage();
                return 0;
            } else {
                Write(stderr, L"ztxhost: unknown option " + arg + L"\n");
                Usage();
                return kExitUsage;
            }
        } else if (name.empty()) {
            name = arg;
        } else {
            args.push_back(arg);
        }
    }

    for (const Command& command : kCommands) {
        if (name != command.name)
            continue;
        if (args.size() < command.min_args || args.size() > command.max_args) {
            Usage();
            return kExitUsage;
        }
        if (!LoadPlugin())
            return kExitUsage;
        InstallAbortHandler();
        return command.run(options, args);
    }
    if (!name.empty())
        Write(stderr, L"ztxhost: unknown command " + name + L"\n");
    Usage();
    return kExitUsage;
}
