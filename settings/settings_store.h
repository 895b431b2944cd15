// The settings file's name, as the host gives it, and reading the two packing settings.
#ifndef SETTINGS_SETTINGS_STORE_H
#define SETTINGS_SETTINGS_STORE_H

#include <cstddef>
#include <cstdint>

namespace settings {

constexpr size_t kSettingsPathCapacity = 260;

// Copies the current settings file name into out (kSettingsPathCapacity
// characters). Never a half-written name, even while the host replaces it.
void SettingsFileName(char* out);

// The raw values of the keys, with their defaults when absent.
struct StoredSettings {
    int32_t rate;
    int32_t extreme;
    int32_t threads;
};
StoredSettings ReadStoredSettings();

// Writes both keys as the settings dialog does; failures are not reported.
void WriteStoredSettings(const char* rate_text, const char* extreme_text);

} // namespace settings

#endif
