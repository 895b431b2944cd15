// Time stamps for both open forms. Neither can make an open fail: "unknown" is a valid answer.
#include "plugin/time_stamp.h"

#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <windows.h>

namespace plugin {

DosDateTime TimeStampOfPath(const char* path)
{
    struct _stat64 st;
    if (_stat64(path, &st) != 0)
        return kNoDosDateTime;
    struct tm local;
    // The _s form keeps concurrent opens on host threads from sharing one buffer.
    if (_localtime64_s(&local, &st.st_mtime) != 0)
        return kNoDosDateTime;
    return PackDosDateTime({local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                            local.tm_min, local.tm_sec});
}

DosDateTime TimeStampOfDescriptor(int fd)
{
    const intptr_t os_handle = _get_osfhandle(fd);
    if (os_handle == -1)
        return kNoDosDateTime;
    FILETIME written;
    FILETIME local;
    SYSTEMTIME st;
    if (!GetFileTime(reinterpret_cast<HANDLE>(os_handle), nullptr, nullptr, &written) ||
        !FileTimeToLocalFileTime(&written, &local) || !FileTimeToSystemTime(&local, &st))
        return kNoDosDateTime;
    return PackDosDateTime({st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond});
}

} // namespace plugin
