// Packing of local times into the host's 32-bit DOS date and time.
#include "plugin/dos_time.h"

namespace plugin {

namespace {
constexpr int kDosEpochYear = 1980;
constexpr int kDosLastYear = kDosEpochYear + 127;
constexpr unsigned kYearShift = 25;
constexpr unsigned kMonthShift = 21;
constexpr unsigned kDayShift = 16;
constexpr unsigned kHourShift = 11;
constexpr unsigned kMinuteShift = 5;
constexpr uint32_t kMonthMask = 0x0F;
constexpr uint32_t kDayMask = 0x1F;
constexpr uint32_t kHourMask = 0x1F;
constexpr uint32_t kMinuteMask = 0x3F;
constexpr uint32_t kHalfSecondMask = 0x1F;
} // namespace

DosDateTime PackDosDateTime(const LocalTime& t)
{
    // A year past 2107 would wrap into an early year and list a wrong date;
    // "unknown" is the honest answer.
    if (t.year < kDosEpochYear || t.year > kDosLastYear)
        return kNoDosDateTime;
    // Leap seconds (60) still fit the 5-bit half-second field.
    if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31 || t.hour < 0 || t.hour > 23 ||
        t.minute < 0 || t.minute > 59 || t.second < 0 || t.second > 60)
        return kNoDosDateTime;
    const uint32_t second = static_cast<uint32_t>(t.second > 59 ? 59 : t.second);
    return (static_cast<uint32_t>(t.year - kDosEpochYear) << kYearShift) |
           (static_cast<uint32_t>(t.month) << kMonthShift) |
           (static_cast<uint32_t>(t.day) << kDayShift) |
           (static_cast<uint32_t>(t.hour) << kHourShift) |
           (static_cast<uint32_t>(t.minute) << kMinuteShift) | (second / 2);
}

LocalTime UnpackDosDateTime(DosDateTime stamp)
{
    LocalTime t;
    t.year = kDosEpochYear + static_cast<int>(stamp >> kYearShift);
    t.month = static_cast<int>((stamp >> kMonthShift) & kMonthMask);
    t.day = static_cast<int>((stamp >> kDayShift) & kDayMask);
    t.hour = static_cast<int>((stamp >> kHourShift) & kHourMask);
    t.minute = static_cast<int>((stamp >> kMinuteShift) & kMinuteMask);
    t.second = static_cast<int>((stamp & kHalfSecondMask) * 2);
    return t;
}

} // namespace plugin
