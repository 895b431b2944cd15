// The host's packed local time stamp (DOS date and time in one 32-bit word).
#ifndef PLUGIN_DOS_TIME_H
#define PLUGIN_DOS_TIME_H

#include <cstdint>

namespace plugin {

using DosDateTime = uint32_t;

// The value the host reads as "no time stamp".
constexpr DosDateTime kNoDosDateTime = 0xFFFFFFFFu;

// A broken-down local time with calendar month 1-12 and full year.
struct LocalTime {
    int year;
    int month;
    int day;
    int hour;
    int minute;
    int second;
};

// Packs a local time; kNoDosDateTime for years the seven-bit field cannot
// hold (before 1980 or after 2107) or fields out of their ranges.
DosDateTime PackDosDateTime(const LocalTime& t);

// The fields of a packed time stamp (seconds in the two-second steps it
// holds); meaningless for kNoDosDateTime.
LocalTime UnpackDosDateTime(DosDateTime stamp);

} // namespace plugin

#endif
