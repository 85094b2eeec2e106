// The device's stream player: a unit list of loaded streams, a play list,
// the active unit and the player state (0 stopped, 1 playing, 2 paused).
//
// zelsim has no decoder and no loudspeaker: a stream that plays keeps
// playing until it is stopped, paused, cancelled or deleted, and the stream
// file named by LOAD is kept as given, not opened. The player is kept in
// media.bin in the state folder; a restart of the device empties it.
//
// Positions and lists take the place of handles: MCI_PLAYHEAD/PLAYTAIL put
// a loaded stream at the head or tail of the play list, MCI_UNITHEAD/
// UNITTAIL only into the unit list, a handle in the play list puts it
// before that stream. ENUM walks a list: the record's second field carries
// the list being walked, so that a cursor handle finds its place.

#include <algorithm>
#include <cstring>
#include <vector>

#include "device_model.h"
#include "state_file.h"
#include "tervlink/bytes.h"
#include "tervlink/service_records.h"

namespace {

constexpr size_t kMaxUnits = 64;
constexpr uint16_t kFlagMask = kMciFlagEndDel | kMciFlagAsap | kMciFlagLock | kMciFlagLyric |
                               kMciFlagEndLoop;
constexpr uint16_t kLastHandle = 0xFFEF;  // handles below the position names
constexpr int kStopped = 0, kPlaying = 1, kPaused = 2;

// The stream types with a decoder: WAVE, MIDI, MP3, WMA and G729.
bool HasDecoder(uint16_t type) { return type == 1 || (type >= 3 && type <= 6); }

struct Unit {
  uint16_t handle = 0;
  MciLoadRecord load;
};

class MediaUnit : public ModelUnit {
 public:
  explicit MediaUnit(DeviceState& state) : state_(state), boots_(state.boots) {}

  bool Open(std::string& error) {
    std::vector<uint8_t> raw;
    if (ReadStateFile(StatePath(state_, "media.bin"), raw) && !Decode(raw)) {
      error = "corrupt state file " + StatePath(state_, "media.bin");
      return false;
    }
    return true;
  }

  bool Execute(const _ZEL_REQUEST& block, std::span<const uint8_t> in,
               DeviceAnswer& answer) override {
    if (block.command != req::kMciSendCommand) return false;
    if (!state_.osRunning) {
      answer = DeviceAnswer::Refused();
      return true;
    }
    if (boots_ != state_.boots) {
      boots_ = state_.boots;
      Clear();
      Save();
    }
    // Work on a copy, so that a refused or unsaved command changes nothing.
    MediaUnit before = *this;
    answer = Serve(block, in);
    if (answer.status == 0 && answer.value >= 0 && !Save()) {
      RestoreFrom(before);
      answer = DeviceAnswer::Refused();
    }
    if (block.command == req::kMciSendCommand && block.Param16(10) == kMciEnum &&
        answer.data.size() != kMciEnumBytes)
      answer.data.resize(kMciEnumBytes, 0);
    return true;
  }

  MediaUnit(const MediaUnit&) = default;

 private:
  DeviceAnswer Serve(const _ZEL_REQUEST& block, std::span<const uint8_t> in) {
    if (block.Param16(8) != 0) return Answer(kMciErrBadDevice);
    uint32_t message = block.Param16(10);
    uint32_t parameter = block.Param32(12);
    uint16_t handle = uint16_t(parameter);  // handles travel sign-extended
    switch (message) {
      case kMciLoad: return Load(in);
      case kMciPlay: return Play(in);
      case kMciStop:
        if (playerState_ == kStopped) return Answer(kMciErrIdle);
        playerState_ = kStopped;
        return Answer(0);
      case kMciPause:
        if (playerState_ == kStopped) return Answer(kMciErrIdle);
        playerState_ = kPaused;
        return Answer(0);
      case kMciCancel: return Remove(handle, false);
      case kMciDelete: return Remove(handle, true);
      case kMciPrev: case kMciNext: {
        if (!active_) return Answer(kMciErrIdle);
        auto it = std::find(play_.begin(), play_.end(), active_);
        if (it == play_.end()) return Answer(kMciErrBadUnit);
        if (message == kMciPrev) {
          if (it == play_.begin()) return Answer(kMciErrBadUnit);
          active_ = *(it - 1);
        } else {
          if (it + 1 == play_.end()) return Answer(kMciErrBadUnit);
          active_ = *(it + 1);
        }
        playerState_ = kPlaying;
        return Answer(0);
      }
      case kMciUnlock: {
        Unit* u = FindUnit(handle == kMciActiveUnit ? active_ : handle);
        if (!u) return Answer(kMciErrBadUnit);
        u->load.flags &= uint16_t(~kMciFlagLock);
        return Answer(0);
      }
      case kMciState: return Answer(playerState_);
      case kMciEnum: return Enum(parameter);
      default:
        return Answer(kMciErrInvalidCommand);
    }
  }

  DeviceAnswer Load(std::span<const uint8_t> in) {
    if (in.size() != kMciLoadBytes) return Answer(kMciErrBadParameter);
    MciLoadRecord r = DecodeMciLoad(in);
    if (!HasDecoder(r.type)) return Answer(kMciErrBadType);
    if (r.flags & ~kFlagMask) return Answer(kMciErrBadFlags);
    if (!memchr(r.path.data(), 0, r.path.size())) return Answer(kMciErrBadParameter);
    if (r.path[0] == 0) return Answer(kMciErrBadFile);
    if (units_.size() >= kMaxUnits) return Answer(kMciErrNoResource);

    // Where it goes, checked before anything changes.
    auto before = play_.end();
    bool toPlay = true, unitHead = false;
    switch (r.position) {
      case kMciPlayHead: before = play_.begin(); break;
      case kMciPlayTail: break;
      case kMciUnitHead: toPlay = false; unitHead = true; break;
      case kMciUnitTail: toPlay = false; break;
      default:
        before = std::find(play_.begin(), play_.end(), r.position);
        if (r.position > kLastHandle || before == play_.end()) return Answer(kMciErrBadUnit);
    }
    Unit u;
    u.handle = NewHandle();
    u.load = r;
    if (toPlay) play_.insert(before, u.handle);
    units_.insert(unitHead ? units_.begin() : units_.end(), u);
    if (r.flags & kMciFlagAsap) Start(u.handle);
    return Answer(u.handle);
  }

  DeviceAnswer Play(std::span<const uint8_t> in) {
    if (in.size() != kMciPlayBytes) return Answer(kMciErrBadParameter);
    uint16_t h = bytes::Get16(in, 0);
    uint16_t atOnce = bytes::Get16(in, 2);
    if (atOnce > 1) return Answer(kMciErrBadParameter);
    if (h == kMciActiveUnit) {
      h = active_ ? active_ : (play_.empty() ? 0 : play_.front());
      if (!h) return Answer(kMciErrBadUnit);
      playerState_ = kPlaying;
      active_ = h;
      return Answer(0);
    }
    if (!FindUnit(h)) return Answer(kMciErrBadUnit);
    if (atOnce || playerState_ == kStopped || !active_) {
      Start(h);
    } else {
      // Queued right after the stream playing now.
      play_.erase(std::remove(play_.begin(), play_.end(), h), play_.end());
      auto at = std::find(play_.begin(), play_.end(), active_);
      play_.insert(at == play_.end() ? at : at + 1, h);
    }
    return Answer(0);
  }

  // Cancel takes streams off the play list; delete unloads them as well.
  // Locked streams stay: one named alone is refused as busy.
  DeviceAnswer Remove(uint16_t h, bool unload) {
    std::vector<uint16_t> victims;
    if (h == kMciUnitList) {
      if (!unload) return Answer(kMciErrBadUnit);
      for (const Unit& u : units_) victims.push_back(u.handle);
    } else if (h == kMciPlayList) {
      victims = play_;
    } else {
      if (h == kMciActiveUnit) h = active_;
      Unit* u = FindUnit(h);
      if (!u || (!unload && std::find(play_.begin(), play_.end(), h) == play_.end()))
        return Answer(kMciErrBadUnit);
      if (u->load.flags & kMciFlagLock) return Answer(kMciErrBusy);
      victims.push_back(h);
    }
    for (uint16_t v : victims) {
      Unit* u = FindUnit(v);
      if (!u || (u->load.flags & kMciFlagLock)) continue;
      if (v == active_) {
        // The next stream of the play list takes over, if there is one.
        auto it = std::find(play_.begin(), play_.end(), v);
        active_ = (it != play_.end() && it + 1 != play_.end()) ? *(it + 1) : 0;
        if (!active_) playerState_ = kStopped;
      }
      play_.erase(std::remove(play_.begin(), play_.end(), v), play_.end());
      if (unload)
        units_.erase(std::remove_if(units_.begin(), units_.end(),
                                    [v](const Unit& x) { return x.handle == v; }),
                     units_.end());
    }
    return Answer(0);
  }

  DeviceAnswer Enum(uint32_t parameter) {
    uint16_t cursor = uint16_t(parameter), list = uint16_t(parameter >> 16);
    std::vector<uint16_t> order;
    if (cursor == kMciUnitList || cursor == kMciPlayList) list = cursor;
    else if (list == 0) list = kMciUnitList;
    if (list == kMciUnitList) {
      for (const Unit& u : units_) order.push_back(u.handle);
    } else if (list == kMciPlayList) {
      order = play_;
    } else {
      return Answer(kMciErrBadParameter);
    }
    size_t at = 0;
    if (cursor != list) {
      auto it = std::find(order.begin(), order.end(), cursor);
      if (it == order.end()) return Answer(kMciErrBadUnit);
      at = size_t(it - order.begin()) + 1;
    }
    if (at >= order.size()) return Answer(kMciErrEndOfList);
    const Unit* u = FindUnit(order[at]);
    DeviceAnswer a = Answer(u->handle);
    a.data.assign(kMciEnumBytes, 0);
    bytes::Put16(&a.data[kMciEnumCursor], cursor);
    bytes::Put16(&a.data[kMciEnumList], list);
    bytes::Put16(&a.data[kMciEnumHandle], u->handle);
    bytes::Put16(&a.data[kMciEnumType], u->load.type);
    bytes::Put16(&a.data[kMciEnumFlags], u->load.flags);
    bytes::Put16(&a.data[kMciEnumState], u->handle == active_ ? uint16_t(playerState_) : 0);
    memcpy(&a.data[kMciEnumPath], u->load.path.data(), kMciPathBytes);
    return a;
  }

  static DeviceAnswer Answer(int32_t value) { return DeviceAnswer::Ok(value); }

  void Start(uint16_t h) {
    if (std::find(play_.begin(), play_.end(), h) == play_.end()) play_.insert(play_.begin(), h);
    active_ = h;
    playerState_ = kPlaying;
  }

  Unit* FindUnit(uint16_t h) {
    for (Unit& u : units_)
      if (u.handle == h && h != 0) return &u;
    return nullptr;
  }

  uint16_t NewHandle() {
    // Handles count up from 1 and skip those in use.
    for (;;) {
      uint16_t h = nextHandle_;
      nextHandle_ = nextHandle_ >= kLastHandle ? 1 : uint16_t(nextHandle_ + 1);
      if (!FindUnit(h)) return h;
    }
  }

  void Clear() {
    units_.clear();
    play_.clear();
    active_ = 0;
    playerState_ = kStopped;
    nextHandle_ = 1;
  }

  void RestoreFrom(const MediaUnit& o) {
    units_ = o.units_;
    play_ = o.play_;
    active_ = o.active_;
    playerState_ = o.playerState_;
    nextHandle_ = o.nextHandle_;
  }

  // media.bin: u16 next handle, u16 active, u16 state, u16 unit count,
  // units (u16 handle, 58-byte load record), u16 play count, handles.
  bool Save() {
    std::vector<uint8_t> out;
    auto put16 = [&](uint16_t v) { out.push_back(uint8_t(v)); out.push_back(uint8_t(v >> 8)); };
    put16(nextHandle_);
    put16(active_);
    put16(uint16_t(playerState_));
    put16(uint16_t(units_.size()));
    for (const Unit& u : units_) {
      put16(u.handle);
      auto raw = EncodeMciLoad(u.load);
      out.insert(out.end(), raw.begin(), raw.end());
    }
    put16(uint16_t(play_.size()));
    for (uint16_t h : play_) put16(h);
    return WriteStateFile(StatePath(state_, "media.bin"), out);
  }

  bool Decode(const std::vector<uint8_t>& b) {
    std::span<const uint8_t> s(b);
    size_t at = 0;
    auto get16 = [&](uint16_t& v) {
      if (at + 2 > s.size()) return false;
      v = bytes::Get16(s, at);
      at += 2;
      return true;
    };
    uint16_t state = 0, n = 0;
    if (!get16(nextHandle_) || !get16(active_) || !get16(state) || state > kPaused || !get16(n) ||
        n > kMaxUnits)
      return false;
    playerState_ = state;
    for (uint16_t i = 0; i < n; ++i) {
      Unit u;
      if (!get16(u.handle) || at + kMciLoadBytes > s.size()) return false;
      u.load = DecodeMciLoad(s.subspan(at, kMciLoadBytes));
      at += kMciLoadBytes;
      units_.push_back(u);
    }
    if (!get16(n)) return false;
    for (uint16_t i = 0; i < n; ++i) {
      uint16_t h = 0;
      if (!get16(h) || !FindUnit(h)) return false;
      play_.push_back(h);
    }
    if (nextHandle_ == 0 || nextHandle_ > kLastHandle) nextHandle_ = 1;
    return at == s.size() && (active_ == 0 || FindUnit(active_));
  }

  DeviceState& state_;
  int boots_;
  std::vector<Unit> units_;
  std::vector<uint16_t> play_;
  uint16_t active_ = 0;
  int playerState_ = kStopped;
  uint16_t nextHandle_ = 1;
};

}  // namespace

std::unique_ptr<ModelUnit> MakeMediaUnit(DeviceState& state, std::string& error) {
  auto unit = std::make_unique<MediaUnit>(state);
  if (!unit->Open(error)) return nullptr;
  return unit;
}
