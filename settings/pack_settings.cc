// Clamping of the stored settings; the two packing paths differ only for negative rates.
#include "settings/pack_settings.h"

namespace settings {

int32_t ClampRateSigned(int32_t stored)
{
    if (stored < kMinRate)
        return kMinRate;
    if (stored > kMaxRate)
        return kMaxRate;
    return stored;
}

int32_t ClampRateUnsigned(uint32_t stored)
{
    if (stored == 0)
        return kMinRate;
    if (stored > static_cast<uint32_t>(kMaxRate))
        return kMaxRate;
    return static_cast<int32_t>(stored);
}

uint32_t Preset(const PackSettings& s)
{
    return static_cast<uint32_t>(s.rate) | (s.extreme ? kPresetExtreme : 0u);
}

uint32_t RequestedThreads(int32_t stored, uint32_t processors)
{
    if (stored == 0)
        return processors > 0 ? processors : 1;
    return stored > 1 ? static_cast<uint32_t>(stored) : 1;
}

} // namespace settings
