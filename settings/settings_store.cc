// The settings file name under a reader-writer lock, and the profile calls on it.
#include "settings/settings_store.h"

#include <windows.h>

#include <array>
#include <cstddef>
#include <cstring>

#include "plugin/exports.h"
#include "plugin/ztx_api.h"
#include "settings/pack_settings.h"

namespace settings {

namespace {

constexpr std::array<char, kSettingsPathCapacity> DefaultFileName()
{
    std::array<char, kSettingsPathCapacity> name{};
    for (size_t i = 0; kDefaultSettingsFile[i] != '\0'; ++i)
        name[i] = kDefaultSettingsFile[i];
    return name;
}

std::array<char, kSettingsPathCapacity> g_file_name = DefaultFileName();
// The host may hand over a new path while a packing thread reads the old
// one; readers copy it out under the lock.
SRWLOCK g_name_lock = SRWLOCK_INIT;

} // namespace

void SettingsFileName(char* out)
{
    AcquireSRWLockShared(&g_name_lock);
    std::memcpy(out, g_file_name.data(), kSettingsPathCapacity);
    ReleaseSRWLockShared(&g_name_lock);
}

StoredSettings ReadStoredSettings()
{
    char file[kSettingsPathCapacity];
    SettingsFileName(file);
    StoredSettings s;
    s.rate = static_cast<int32_t>(GetPrivateProfileIntA(kSection, kRateKey, kDefaultRate, file));
    s.extreme = static_cast<int32_t>(GetPrivateProfileIntA(kSection, kExtremeKey, kDefaultExtreme, file));
    s.threads = static_cast<int32_t>(GetPrivateProfileIntA(kSection, kThreadsKey, kDefaultThreads, file));
    return s;
}

void WriteStoredSettings(const char* rate_text, const char* extreme_text)
{
    char file[kSettingsPathCapacity];
    SettingsFileName(file);
    WritePrivateProfileStringA(kSection, kRateKey, rate_text, file);
    WritePrivateProfileStringA(kSection, kExtremeKey, extreme_text, file);
}

} // namespace settings

// The host's INI path, cut to 259 characters if longer.
extern "C" ZTX_EXPORT void ZTX_CALL PackSetDefaultParams(const void* record)
{
    if (record == nullptr)
        return;
    const char* path = static_cast<const char*>(record) + offsetof(DefaultParamsRecord, default_ini_name);
    const size_t length = strnlen(path, settings::kSettingsPathCapacity - 1);
    AcquireSRWLockExclusive(&settings::g_name_lock);
    std::memcpy(settings::g_file_name.data(), path, length);
    settings::g_file_name[length] = '\0';
    ReleaseSRWLockExclusive(&settings::g_name_lock);
}
