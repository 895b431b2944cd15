// Compression rate, extreme mode and threads as stored in the host's INI file, and how packing reads them.
#ifndef SETTINGS_PACK_SETTINGS_H
#define SETTINGS_PACK_SETTINGS_H

#include <cstdint>

namespace settings {

// Section and keys of the host's plug-in INI file, with their defaults.
constexpr char kSection[] = "xz";
constexpr char kRateKey[] = "CompressionRate";
constexpr char kExtremeKey[] = "Extreme";
constexpr int32_t kDefaultRate = 6;
constexpr int32_t kDefaultExtreme = 1;
// File packing's encoder threads: 1 is the single-threaded encoder, 0 one
// thread per logical processor, N above 1 that many.
constexpr char kThreadsKey[] = "Threads";
constexpr int32_t kDefaultThreads = 1;
// The file the settings live in until the host names its own.
constexpr char kDefaultSettingsFile[] = "ztplugin.ini";

constexpr int32_t kMinRate = 1;
constexpr int32_t kMaxRate = 9;
// liblzma's LZMA_PRESET_EXTREME.
constexpr uint32_t kPresetExtreme = 0x80000000u;

struct PackSettings {
    int32_t rate; // 1 to 9
    bool extreme;
};

// The rules below are inline so that a host (ztxhost) shows the module's own
// reading of the file without linking any of the module's code.

// File packing takes the stored rate as signed: 0 or less gives 1.
inline int32_t ClampRateSigned(int32_t stored)
{
    return stored < kMinRate ? kMinRate : stored > kMaxRate ? kMaxRate : stored;
}

// Memory packing takes it as unsigned, so a negative value gives 9.
inline int32_t ClampRateUnsigned(uint32_t stored)
{
    if (stored == 0)
        return kMinRate;
    return stored > static_cast<uint32_t>(kMaxRate) ? kMaxRate : static_cast<int32_t>(stored);
}

// The encoder preset for a rate and the extreme flag.
inline uint32_t Preset(const PackSettings& s)
{
    return static_cast<uint32_t>(s.rate) | (s.extreme ? kPresetExtreme : 0u);
}

// A stored Threads value of 0 asks for one thread per logical processor.
inline bool ThreadsPerProcessor(int32_t stored) { return stored == 0; }

// The threads file packing asks for, before its memory fit lowers them.
// A negative value, which no one means, keeps the single-threaded default.
inline uint32_t RequestedThreads(int32_t stored, uint32_t processors)
{
    if (ThreadsPerProcessor(stored))
        return processors > 0 ? processors : 1;
    return stored > 1 ? static_cast<uint32_t>(stored) : 1;
}

} // namespace settings

#endif
