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

// One line per command. pack, delete, mempack and settings join as entries
// of their own, with their handlers in a file beside read_commands.cc.
const Command kCommands[] = {
    {L"list", 1, 1, ListCommand, "list ARCHIVE.xz             entry name, packed and unpacked size, time, ratio"},
    {L"test", 1, 1, TestCommand, "test ARCHIVE.xz             decompress and check, writing nothing"},
    {L"extract", 1, 2, ExtractCommand,
     "extract ARCHIVE.xz [DEST]   DEST: a file, or an existing folder (default: the archive's)"},
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
    for (const std::wstring& arg : CommandLineArguments()) {
        if (!options_done && arg == L"--") {
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
