#include "asio/drivers/PlatformDrivers.h"

#include <map>
#include <mutex>

namespace asio {

namespace drivers {

namespace {

uint64_t Fnv1a(std::string_view Text, uint64_t Seed) {
  uint64_t h = Seed;
  for (unsigned char c : Text) {
    h ^= c;
    h *= 0x100000001b3ULL;
  }
  return h;
}

struct TSettingsStore {
  std::mutex Lock;
  std::map<std::string, TDriverSettings> Values;
  TControlPanelHook Hook;
};

TSettingsStore& Store() {
  static TSettingsStore store;
  return store;
}

}  // namespace

const TGUID kStatsIID = NameBasedClassId("interface", "driver statistics");

TGUID NameBasedClassId(std::string_view Kind, std::string_view Device) {
  std::string key;
  key.reserve(Kind.size() + Device.size() + 1);
  key.append(Kind).append(1, '\0').append(Device);
  uint64_t a = Fnv1a(key, 0xcbf29ce484222325ULL);
  uint64_t b = Fnv1a(key, a ^ 0x9e3779b97f4a7c15ULL);
  TGUID g{};
  g.D1 = static_cast<uint32_t>(a >> 32);
  g.D2 = static_cast<uint16_t>(a >> 16);
  // Version 5 and the standard variant, as a name-based identifier has.
  g.D3 = static_cast<uint16_t>((a & 0x0FFF) | 0x5000);
  for (int i = 0; i < 8; ++i)
    g.D4[i] = static_cast<uint8_t>(b >> (8 * i));
  g.D4[0] = static_cast<uint8_t>((g.D4[0] & 0x3F) | 0x80);
  return g;
}

TDriverSettings GetDriverSettings(const std::string& Key) {
  TSettingsStore& s = Store();
  std::lock_guard<std::mutex> guard(s.Lock);
  auto it = s.Values.find(Key);
  return it == s.Values.end() ? TDriverSettings{} : it->second;
}

void SetDriverSettings(const std::string& Key, const TDriverSettings& Settings) {
  TSettingsStore& s = Store();
  std::lock_guard<std::mutex> guard(s.Lock);
  s.Values[Key] = Settings;
}

void ClearDriverSettings() {
  TSettingsStore& s = Store();
  std::lock_guard<std::mutex> guard(s.Lock);
  s.Values.clear();
}

void SetControlPanelHook(TControlPanelHook Hook) {
  TSettingsStore& s = Store();
  std::lock_guard<std::mutex> guard(s.Lock);
  s.Hook = std::move(Hook);
}

TControlPanelHook ControlPanelHook() {
  TSettingsStore& s = Store();
  std::lock_guard<std::mutex> guard(s.Lock);
  return s.Hook;
}

}  // namespace drivers

void RegisterPlatformDrivers() {
  static std::once_flag once;
  std::call_once(once, [] { drivers::RegisterNativeSources(); });
}

}  // namespace asio
