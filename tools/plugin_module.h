// The plug-in as ztxhost sees it: xz.ztx loaded from the host's own folder, its
// exports bound by name, and the texts of its result codes.
#ifndef TOOLS_PLUGIN_MODULE_H
#define TOOLS_PLUGIN_MODULE_H

#include <cstdint>
#include <string>

#include "plugin/result_code.h"
#include "plugin/ztx_api.h"

namespace ztxhost {

// Exit statuses of the host's own, outside the plug-in's result codes (10 to 24).
constexpr int kExitRefused = 1; // the host declined the request (existing output, unnamed entry)
constexpr int kExitUsage = 2;   // bad command line, or the plug-in cannot be loaded or lacks an export

// Loads xz.ztx from the folder of ztxhost.exe, as a file manager loads a plug-in
// from its plug-in folder. False (with a message printed) when that fails.
bool LoadPlugin();

// The folder of ztxhost.exe, with its closing backslash; empty when unknown.
std::wstring OwnFolder();

// The export of that name, or null.
void* FindExport(const char* name);

// Ends the program with kExitUsage and a message naming the export.
[[noreturn]] void ExitMissingExport(const char* name);

// A bound export. A missing one ends the program, since no command can do
// its work without it.
template <typename Fn>
Fn Bind(const char* name)
{
    void* address = FindExport(name);
    if (address == nullptr)
        ExitMissingExport(name);
    return reinterpret_cast<Fn>(address);
}

// What the plug-in means by a result code.
const char* Describe(int32_t code);

// Prints the one failure line for code about `what` and returns the exit status.
int ReportFailure(int32_t code, const std::wstring& what);
inline int ReportFailure(plugin::ResultCode code, const std::wstring& what)
{
    return ReportFailure(plugin::ToHost(code), what);
}

// Prints a refusal of the host's own and returns kExitRefused.
int Refuse(const std::wstring& message);

} // namespace ztxhost

#endif
