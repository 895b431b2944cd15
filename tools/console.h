// Console text and path helpers for ztxhost. Names are kept in UTF-16 from the
// command line to the plug-in, so any file name the system allows gets through.
#ifndef TOOLS_CONSOLE_H
#define TOOLS_CONSOLE_H

#include <cstdio>
#include <string>
#include <vector>

namespace ztxhost {

// The program's arguments in UTF-16, without the program name.
std::vector<std::wstring> CommandLineArguments();

// Writes text to stdout or stderr: through the console's UTF-16 interface when
// the stream is a console, otherwise as UTF-8 bytes (pipes, files).
void Write(std::FILE* stream, const std::wstring& text);
void Write(std::FILE* stream, const std::string& ascii);

// True when the stream is an interactive console rather than a pipe or file.
bool IsConsole(std::FILE* stream);

std::wstring Widen(const std::string& ascii);

// The text in the ANSI code page, through which the plug-in's ANSI calls
// take names; false when some character has no exact form there.
bool ToAnsi(const std::wstring& text, std::string* ansi);

// Absolute form of a path with backslashes only; empty when it cannot be formed.
std::wstring FullPath(const std::wstring& path);

// The folder part of a full path, with its trailing backslash.
std::wstring FolderOf(const std::wstring& full_path);

bool IsFolder(const std::wstring& path);
bool Exists(const std::wstring& path);

// Case-insensitive comparison of two full paths, as the file system compares names.
bool SamePath(const std::wstring& a, const std::wstring& b);

} // namespace ztxhost

#endif
