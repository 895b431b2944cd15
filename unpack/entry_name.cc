// Entry naming, shared by both name forms.
#include "unpack/entry_name.h"

namespace unpack {

namespace {

template <typename Char>
void EntryName(const Char* archive_name, Char* out, size_t out_capacity)
{
    if (out_capacity == 0)
        return;
    const Char* component = archive_name;
    const Char* end = archive_name;
    for (; *end != 0; ++end) {
        if (*end == static_cast<Char>('\\'))
            component = end + 1;
    }
    const Char* stem_end = end;
    for (const Char* p = component; p != end; ++p) {
        if (*p == static_cast<Char>('.'))
            stem_end = p;
    }
    size_t n = 0;
    for (const Char* p = component; p != stem_end && n + 1 < out_capacity; ++p)
        out[n++] = *p;
    out[n] = 0;
}

} // namespace

void EntryNameOf(const char* archive_name, char* out, size_t out_capacity)
{
    EntryName(archive_name, out, out_capacity);
}

void EntryNameOf(const wchar_t* archive_name, wchar_t* out, size_t out_capacity)
{
    EntryName(archive_name, out, out_capacity);
}

} // namespace unpack
