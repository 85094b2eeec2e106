// The device's system services: the settings record, the clock, the time
// zone, the alarms, the beeper, restarts and the local information area.
//
// State files (in the state folder, each rewritten before the reply):
//   settings.bin  the 68-byte settings record (its mask unused)
//   clock.txt     the device clock as an offset in seconds to the host clock
//   timezone.bin  the 172-byte time zone record
//   alarms.bin    the alarms, 8 bytes each, by id
//   local.bin     the information area, kLocalSectors sectors of 512 bytes

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "device_model.h"
#include "state_file.h"
#include "tervlink/bytes.h"
#include "tervlink/host/host.h"

namespace {

constexpr uint32_t kLocalSectors = 16;
// Fields a set request cannot change: the two battery voltages and the
// number of disks.
constexpr uint32_t kReadOnlyMask = (1u << 14) | (1u << 15) | (1u << kCapsDiskCountBit);
constexpr int32_t kAlarmEnd = -190;
constexpr int32_t kDefaultBias = 480;  // China

bool LeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
int DaysInMonth(int y, int m) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && LeapYear(y) ? 29 : kDays[m - 1];
}

class ServiceUnit : public ModelUnit {
 public:
  explicit ServiceUnit(DeviceState& state) : state_(state) {}

  // Loads the state files; a setup failure goes to error.
  bool Open(std::string& error) {
    // A plausible factory setting: power-off after 300 s, screen saver after
    // 60 s, video on at contrast 40 and 60 Hz, backlight, key tone and
    // buzzer on, keyboard 20/500 ms at 10 per second, cursor speed 5,
    // batteries at 3000/2900 mV, simplified Chinese.
    const uint16_t defaults[] = {1, 300, 1, 60, 1, 40, 60, 1, 1, 20, 500, 10, 5, 1, 3000, 2900, 1};
    for (size_t i = 0; i < std::size(defaults); ++i) settings_.fields[i] = defaults[i];
    zone_.Bias = kDefaultBias;
    local_.assign(kLocalSectors * kLocalSectorBytes, 0);
    stillNow_ = host::EpochNow();

    std::vector<uint8_t> raw;
    auto bad = [&](const char* name) {
      error = std::string("corrupt state file ") + StatePath(state_, name);
      return false;
    };
    if (ReadStateFile(StatePath(state_, "settings.bin"), raw)) {
      if (raw.size() != kDeviceCapsBytes) return bad("settings.bin");
      auto saved = DecodeDeviceCaps(raw);
      for (uint32_t bit = 0; bit < 32; ++bit)
        if (!(kReadOnlyMask & (1u << bit))) settings_.fields[bit] = saved.fields[bit];
    }
    settings_.fields[kCapsDiskCountBit] = uint16_t(state_.config.disks);
    if (ReadStateFile(StatePath(state_, "clock.txt"), raw)) {
      std::string text(raw.begin(), raw.end());
      long long v = 0;
      if (sscanf(text.c_str(), "%lld", &v) != 1) return bad("clock.txt");
      offset_ = v;
    }
    if (ReadStateFile(StatePath(state_, "timezone.bin"), raw)) {
      if (raw.size() != kTimeZoneBytes) return bad("timezone.bin");
      zone_ = DecodeTimeZone(raw);
    }
    if (ReadStateFile(StatePath(state_, "alarms.bin"), raw)) {
      if (raw.size() % kAlarmBytes) return bad("alarms.bin");
      for (size_t i = 0; i < raw.size(); i += kAlarmBytes) {
        _SYSTEMALARM a = DecodeAlarm(std::span(raw).subspan(i, kAlarmBytes));
        alarms_[a.indicator] = a;
      }
    }
    if (ReadStateFile(StatePath(state_, "local.bin"), raw)) {
      if (raw.size() != local_.size()) return bad("local.bin");
      local_ = raw;
    }
    return true;
  }

  bool Execute(const _ZEL_REQUEST& block, std::span<const uint8_t> dataIn,
               DeviceAnswer& answer) override {
    switch (block.command) {
      case req::kReadLocal: case req::kWriteLocal: case req::kSetLocalTime:
      case req::kGetLocalTime: case req::kSetAlarm: case req::kKillAlarm:
      case req::kResetAlarm: case req::kEnumAlarm: case req::kSetDeviceCaps:
      case req::kGetDeviceCaps: case req::kBeep: case req::kSetTimeZone:
      case req::kGetTimeZone: case req::kReboot:
        break;
      default:
        return false;
    }
    // The services belong to the operating system; the loader has none.
    if (!state_.osRunning) {
      answer = DeviceAnswer::Refused();
      return true;
    }
    answer = Serve(block, dataIn);
    return true;
  }

 private:
  DeviceAnswer Serve(const _ZEL_REQUEST& block, std::span<const uint8_t> in) {
    switch (block.command) {
      case req::kGetDeviceCaps: {
        // Only the fields the mask selects are filled.
        _ZELDEVICECAPS caps;
        caps.mask = block.Param32(8);
        for (uint32_t bit = 0; bit < 32; ++bit)
          if (caps.mask & (1u << bit)) caps.fields[bit] = settings_.fields[bit];
        return WithData(1, EncodeDeviceCaps(caps));
      }
      case req::kSetDeviceCaps: {
        if (in.size() != kDeviceCapsBytes) return DeviceAnswer::Refused();
        _ZELDEVICECAPS caps = DecodeDeviceCaps(in);
        _ZELDEVICECAPS next = settings_;
        for (uint32_t bit = 0; bit < 32; ++bit)
          if ((caps.mask & (1u << bit)) && !(kReadOnlyMask & (1u << bit)))
            next.fields[bit] = caps.fields[bit];
        auto raw = EncodeDeviceCaps(next);
        if (!Save("settings.bin", {raw.begin(), raw.end()})) return DeviceAnswer::Refused();
        settings_ = next;
        return DeviceAnswer::Ok(1);
      }
      case req::kGetLocalTime:
        return WithData(1, EncodeSystemTime(Clock()));
      case req::kSetLocalTime: {
        if (in.size() != kSystemTimeBytes) return DeviceAnswer::Refused();
        _EZEL_SYSTEMTIME t = DecodeSystemTime(in);
        // A date that does not exist is refused; the day of week is derived
        // from the date, whatever was sent.
        if (t.wYear < 1980 || t.wYear > 2099 || t.wMonth < 1 || t.wMonth > 12 || t.wDay < 1 ||
            t.wDay > DaysInMonth(t.wYear, t.wMonth) || t.wHour > 23 || t.wMinute > 59 ||
            t.wSecond > 59 || t.wMilliseconds > 999)
          return DeviceAnswer::Ok(0);
        host::LocalTime lt;
        lt.year = t.wYear;
        lt.month = t.wMonth;
        lt.day = t.wDay;
        lt.hour = t.wHour;
        lt.minute = t.wMinute;
        lt.second = t.wSecond;
        int64_t offset = host::FromLocal(lt) - HostNow();
        std::string text = std::to_string(offset) + "\n";
        if (!Save("clock.txt", {text.begin(), text.end()})) return DeviceAnswer::Refused();
        offset_ = offset;
        return DeviceAnswer::Ok(1);
      }
      case req::kGetTimeZone:
        return WithData(1, EncodeTimeZone(zone_));
      case req::kSetTimeZone: {
        if (in.size() != kTimeZoneBytes) return DeviceAnswer::Refused();
        _ZEL_TIME_ZONE_INFORMATION z = DecodeTimeZone(in);
        if (z.Bias < -24 * 60 || z.Bias > 24 * 60) return DeviceAnswer::Ok(0);
        if (!Save("timezone.bin", {in.begin(), in.end()})) return DeviceAnswer::Refused();
        zone_ = z;
        return DeviceAnswer::Ok(1);
      }
      case req::kSetAlarm: {
        _SYSTEMALARM a = DecodeAlarm(block.params);
        bool ok = (a.type == 1 || a.type == 2) && a.validFields != 0 && a.validFields < 8 &&
                  a.indicator != 255 && (!(a.validFields & 1) || (a.day >= 1 && a.day <= 31)) &&
                  (!(a.validFields & 2) || a.hour <= 23) &&
                  (!(a.validFields & 4) || a.minute <= 59);
        if (!ok) return DeviceAnswer::Ok(0);
        auto next = alarms_;
        next[a.indicator] = a;
        return SaveAlarms(next, 1);
      }
      case req::kKillAlarm: {
        auto next = alarms_;
        if (!next.erase(block.Param8(8))) return DeviceAnswer::Ok(0);
        return SaveAlarms(next, 1);
      }
      case req::kResetAlarm:
        return SaveAlarms({}, 0);
      case req::kEnumAlarm: {
        // The cursor is the id last returned, or negative to start; the
        // answer is the id of the alarm delivered, the next cursor.
        int32_t cursor = int32_t(block.Param32(8));
        auto it = cursor < 0 ? alarms_.begin() : alarms_.upper_bound(uint8_t(cursor));
        if (cursor > 255 || it == alarms_.end())
          return WithData(kAlarmEnd, std::array<uint8_t, kAlarmBytes>{});
        return WithData(it->first, EncodeAlarm(it->second));
      }
      case req::kBeep: {
        uint32_t frequency = block.Param32(8), duration = block.Param32(12);
        if (frequency < 10 || frequency > 10000 || duration < 1 || duration > 5000)
          return DeviceAnswer::Ok(0);
        // There is no loudspeaker; the tone is reported instead.
        host::PrintError("zelsim: beep %u Hz for %u ms", frequency, duration);
        return DeviceAnswer::Ok(1);
      }
      case req::kReboot:
        // The device restarts: with a loader that wants its operating
        // system, the services are gone until it arrives.
        host::PrintError("zelsim: restart");
        state_.osRunning = !state_.config.wantOs;
        ++state_.boots;
        return DeviceAnswer::Ok(0);
      case req::kReadLocal: case req::kWriteLocal: {
        uint32_t first = block.Param16(8), count = block.Param16(10);
        if (count == 0 || first + count > kLocalSectors ||
            block.length != count * kLocalSectorBytes)
          return DeviceAnswer::Refused();
        size_t at = first * kLocalSectorBytes, n = count * kLocalSectorBytes;
        if (block.command == req::kReadLocal) {
          DeviceAnswer a = DeviceAnswer::Ok(1);
          a.data.assign(local_.begin() + at, local_.begin() + at + n);
          return a;
        }
        if (in.size() != n) return DeviceAnswer::Refused();
        auto next = local_;
        memcpy(next.data() + at, in.data(), n);
        if (!Save("local.bin", next)) return DeviceAnswer::Refused();
        local_ = std::move(next);
        return DeviceAnswer::Ok(1);
      }
      default:
        return DeviceAnswer::Refused();
    }
  }

  template <size_t N>
  static DeviceAnswer WithData(int32_t value, const std::array<uint8_t, N>& raw) {
    DeviceAnswer a = DeviceAnswer::Ok(value);
    a.data.assign(raw.begin(), raw.end());
    return a;
  }

  bool Save(const char* name, const std::vector<uint8_t>& data) {
    return WriteStateFile(StatePath(state_, name), data);
  }

  DeviceAnswer SaveAlarms(const std::map<uint8_t, _SYSTEMALARM>& next, int32_t value) {
    std::vector<uint8_t> raw;
    for (const auto& [id, a] : next) {
      auto r = EncodeAlarm(a);
      raw.insert(raw.end(), r.begin(), r.end());
    }
    if (!Save("alarms.bin", raw)) return DeviceAnswer::Refused();
    alarms_ = next;
    return DeviceAnswer::Ok(value);
  }

  // The host clock, or the moment zelsim started when the clock stands still.
  int64_t HostNow() const { return state_.config.stillClock ? stillNow_ : host::EpochNow(); }

  _EZEL_SYSTEMTIME Clock() const {
    host::LocalTime lt = host::ToLocal(HostNow() + offset_);
    return MakeSystemTime(lt.year, lt.month, lt.dayOfWeek, lt.day, lt.hour, lt.minute, lt.second, 0);
  }

  DeviceState& state_;
  _ZELDEVICECAPS settings_;
  _ZEL_TIME_ZONE_INFORMATION zone_;
  std::map<uint8_t, _SYSTEMALARM> alarms_;
  std::vector<uint8_t> local_;
  int64_t offset_ = 0;
  int64_t stillNow_ = 0;
};

}  // namespace

std::unique_ptr<ModelUnit> MakeServiceUnit(DeviceState& state, std::string& error) {
  auto unit = std::make_unique<ServiceUnit>(state);
  if (!unit->Open(error)) return nullptr;
  return unit;
}
