// The archive's modification time as the host's DOS date and time.
#ifndef PLUGIN_TIME_STAMP_H
#define PLUGIN_TIME_STAMP_H

#include "plugin/dos_time.h"

namespace plugin {

// From the path's modification time, broken down in local time by the runtime.
DosDateTime TimeStampOfPath(const char* path);

// From the open descriptor's last-write time, converted by Win32.
DosDateTime TimeStampOfDescriptor(int fd);

} // namespace plugin

#endif
