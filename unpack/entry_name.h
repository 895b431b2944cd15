// The one entry's name: the archive file's last path component without its last extension.
#ifndef UNPACK_ENTRY_NAME_H
#define UNPACK_ENTRY_NAME_H

#include <cstddef>

namespace unpack {

// Writes the entry name of archive_name (NUL-terminated) into out, which
// holds out_capacity characters, and terminates it. Only a backslash
// separates components: the host passes Windows paths, where a forward
// slash may be part of a name it gives. The name is cut to fit out.
void EntryNameOf(const char* archive_name, char* out, size_t out_capacity);
void EntryNameOf(const wchar_t* archive_name, wchar_t* out, size_t out_capacity);

} // namespace unpack

#endif
