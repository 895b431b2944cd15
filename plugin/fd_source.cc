// Positioned reads through the runtime's descriptors, with 64-bit offsets so that archives past 4 GiB work.
#include "plugin/fd_source.h"

#include <io.h>
#include <stdio.h>

#include <climits>

namespace plugin {

bool FdSource::Size(uint64_t* size)
{
    const __int64 end = _lseeki64(fd_, 0, SEEK_END);
    if (end < 0)
        return false;
    *size = static_cast<uint64_t>(end);
    return true;
}

size_t FdSource::ReadAt(uint64_t offset, void* buf, size_t n)
{
    if (offset > static_cast<uint64_t>(INT64_MAX))
        return 0;
    if (_lseeki64(fd_, static_cast<__int64>(offset), SEEK_SET) < 0)
        return 0;
    size_t done = 0;
    char* out = static_cast<char*>(buf);
    while (done < n) {
        // _read takes an unsigned count but returns an int.
        const size_t want = n - done < INT_MAX ? n - done : INT_MAX;
        const int got = _read(fd_, out + done, static_cast<unsigned>(want));
        if (got <= 0)
            break;
        done += static_cast<size_t>(got);
    }
    return done;
}

} // namespace plugin
