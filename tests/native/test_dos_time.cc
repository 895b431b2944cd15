// Packing of a broken-down local time into the host's 32-bit DOS date and time.
#include <cstdint>
#include <ostream>

#include <gtest/gtest.h>

#include "plugin/dos_time.h"

namespace {

using plugin::DosDateTime;
using plugin::LocalTime;
using plugin::PackDosDateTime;

constexpr DosDateTime kNone = 0xFFFFFFFFu;

struct Case {
    const char* name;
    LocalTime time;
    DosDateTime packed;
};

void PrintTo(const Case& c, std::ostream* os)
{
    *os << c.name;
}

class PackDosTime : public ::testing::TestWithParam<Case> {};

TEST_P(PackDosTime, Packs)
{
    const Case& c = GetParam();
    EXPECT_EQ(PackDosDateTime(c.time), c.packed)
        << c.time.year << "-" << c.time.month << "-" << c.time.day << " " << c.time.hour << ":"
        << c.time.minute << ":" << c.time.second;
}

// The console host shows stamps through the inverse; it must give back the
// fields packed, seconds in the stamp's two-second steps.
TEST_P(PackDosTime, UnpacksToThePackedFields)
{
    const Case& c = GetParam();
    if (c.packed == kNone)
        return;
    const LocalTime t = plugin::UnpackDosDateTime(c.packed);
    EXPECT_EQ(t.year, c.time.year);
    EXPECT_EQ(t.month, c.time.month);
    EXPECT_EQ(t.day, c.time.day);
    EXPECT_EQ(t.hour, c.time.hour);
    EXPECT_EQ(t.minute, c.time.minute);
    EXPECT_EQ(t.second, c.time.second / 2 * 2);
}

// Expected words are written out field by field where the layout is the point:
// year-1980 in bits 25-31, month 21-24, day 16-20, hour 11-15, minute 5-10,
// seconds/2 in 0-4.
const Case kCases[] = {
    {"March2018", {2018, 3, 5, 12, 34, 56}, 0x4C65645Cu},
    {"FirstRepresentableInstant", {1980, 1, 1, 0, 0, 0}, (1u << 21) | (1u << 16)},
    {"LastRepresentableInstant", {2107, 12, 31, 23, 59, 58}, 0xFF9FBF7Du},
    {"OddSecondRoundsDown", {2107, 12, 31, 23, 59, 59}, 0xFF9FBF7Du},
    {"OneSecondRoundsToZero", {2000, 2, 29, 0, 0, 1}, (20u << 25) | (2u << 21) | (29u << 16)},
    {"EveryFieldDistinct",
     {2024, 7, 15, 8, 5, 3},
     (44u << 25) | (7u << 21) | (15u << 16) | (8u << 11) | (5u << 5) | 1u},
    {"LastSecondOf1979", {1979, 12, 31, 23, 59, 59}, kNone},
    {"Year1979MidYear", {1979, 6, 15, 12, 0, 0}, kNone},
    // The seven-bit year field would wrap 2108 into 1980.
    {"FirstInstantOf2108", {2108, 1, 1, 0, 0, 0}, kNone},
    {"FarFuture", {2400, 1, 1, 0, 0, 0}, kNone},
    {"MonthZero", {2018, 0, 5, 12, 34, 56}, kNone},
    {"MonthThirteen", {2018, 13, 5, 12, 34, 56}, kNone},
    {"DayZero", {2018, 3, 0, 12, 34, 56}, kNone},
    {"Hour24", {2018, 3, 5, 24, 0, 0}, kNone},
    {"Minute60", {2018, 3, 5, 12, 60, 0}, kNone},
};

INSTANTIATE_TEST_SUITE_P(Table, PackDosTime, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return info.param.name;
                         });

} // namespace
