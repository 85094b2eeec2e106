// The device's registry: a tree of keys with typed values.
//
// The tree has one top key, HKEY_ROOT (handle 0), whose fixed subkeys
// SYSTEM, FONTS, DICTS, TECHS and APPS are the other five roots (handles 1
// to 5), so that a dump of HKEY_ROOT shows the whole registry. Other keys
// are reached through 16-bit handles issued by RegOpenKeyA/RegCreateKeyA
// and given back by RegCloseKey. Names match ignoring the case of ASCII
// letters. Answers: 0 (or a handle) done, -131 no such key or handle,
// -133 a name or data too long, -136 no more items.
//
// Changes live in memory until RegFlushKey writes the whole tree to
// registry.bin in the state folder; a restart of the device goes back to
// what was flushed.

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "device_model.h"
#include "state_file.h"
#include "tervlink/bytes.h"
#include "tervlink/service_records.h"

namespace {

constexpr char kMagic[4] = {'Z', 'R', 'E', 'G'};
constexpr uint32_t kVersion = 1;
constexpr uint16_t kFirstHandle = 0x0010;
constexpr size_t kMaxOpenHandles = 4096;
constexpr size_t kMaxItems = 4096;  // subkeys of a key, values of a key
// Levels below the top key (the roots are level 1). registry.bin is read
// recursively, so a deeper key is refused when it is created: a key that
// could be stored but never loaded again would lock the device out of its
// own state.
constexpr int kMaxDepth = 64;
const char* const kFixedRoots[] = {"SYSTEM", "FONTS", "DICTS", "TECHS", "APPS"};

struct Value {
  std::string name;
  uint32_t type = 0;
  std::vector<uint8_t> data;
};

struct Key {
  std::string name;
  int depth = 0;  // levels below the top key
  std::vector<Value> values;
  std::vector<std::unique_ptr<Key>> children;
};

// Names are GBK: letters fold to one case, but never the second byte of a
// two-byte character.
bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    uint8_t x = uint8_t(a[i]), y = uint8_t(b[i]);
    if (x >= 0x81 && i + 1 < a.size()) {
      if (x != y || a[i + 1] != b[i + 1]) return false;
      ++i;
      continue;
    }
    auto lower = [](uint8_t c) { return c >= 'A' && c <= 'Z' ? uint8_t(c + 32) : c; };
    if (lower(x) != lower(y)) return false;
  }
  return true;
}

// ---- registry.bin -------------------------------------------------------------
// "ZREG", u32 version, then the top key: u8 name length, name, u16 value
// count, values (u8 name length, name, u32 type, u16 size, data), u16 child
// count, children.

void PutKey(std::vector<uint8_t>& out, const Key& k) {
  auto put16 = [&](uint16_t v) { out.push_back(uint8_t(v)); out.push_back(uint8_t(v >> 8)); };
  auto putName = [&](const std::string& s) {
    out.push_back(uint8_t(s.size()));
    out.insert(out.end(), s.begin(), s.end());
  };
  putName(k.name);
  put16(uint16_t(k.values.size()));
  for (const Value& v : k.values) {
    putName(v.name);
    uint8_t t[4];
    bytes::Put32(t, v.type);
    out.insert(out.end(), t, t + 4);
    put16(uint16_t(v.data.size()));
    out.insert(out.end(), v.data.begin(), v.data.end());
  }
  put16(uint16_t(k.children.size()));
  for (const auto& c : k.children) PutKey(out, *c);
}

class Parser {
 public:
  explicit Parser(const std::vector<uint8_t>& b) : b_(b) {}
  bool ReadKey(Key& k, int depth) {
    if (depth > kMaxDepth) return false;
    k.depth = depth;
    uint16_t n = 0;
    if (!Name(k.name, 255) || !U16(n)) return false;
    for (uint16_t i = 0; i < n; ++i) {
      Value v;
      uint16_t size = 0;
      if (!Name(v.name, kRegNameBytes) || !U32(v.type) || !U16(size) || size > kRegMaxData ||
          !Take(size))
        return false;
      v.data.assign(b_.begin() + long(pos_ - size), b_.begin() + long(pos_));
      k.values.push_back(std::move(v));
    }
    if (!U16(n)) return false;
    for (uint16_t i = 0; i < n; ++i) {
      auto c = std::make_unique<Key>();
      if (!ReadKey(*c, depth + 1) || c->name.empty() || c->name.size() > kRegNameBytes) return false;
      k.children.push_back(std::move(c));
    }
    return true;
  }
  bool Take(size_t n) {
    if (b_.size() - pos_ < n) return false;
    pos_ += n;
    return true;
  }
  bool U16(uint16_t& v) {
    if (!Take(2)) return false;
    v = bytes::Get16(&b_[pos_ - 2]);
    return true;
  }
  bool U32(uint32_t& v) {
    if (!Take(4)) return false;
    v = bytes::Get32(&b_[pos_ - 4]);
    return true;
  }
  bool Name(std::string& s, size_t max) {
    if (!Take(1)) return false;
    size_t n = b_[pos_ - 1];
    if (n > max || !Take(n)) return false;
    s.assign(b_.begin() + long(pos_ - n), b_.begin() + long(pos_));
    return true;
  }
  bool AtEnd() const { return pos_ == b_.size(); }

 private:
  const std::vector<uint8_t>& b_;
  size_t pos_ = 0;
};

class RegistryUnit : public ModelUnit {
 public:
  explicit RegistryUnit(DeviceState& state) : state_(state), boots_(state.boots) {}

  bool Open(std::string& error) {
    if (!LoadFlushed()) {
      error = "corrupt state file " + StatePath(state_, "registry.bin");
      return false;
    }
    return true;
  }

  bool Execute(const _ZEL_REQUEST& block, std::span<const uint8_t> in,
               DeviceAnswer& answer) override {
    if (block.command < req::kRegOpenKey || block.command > req::kRegFlushKey) return false;
    if (!state_.osRunning) {
      answer = DeviceAnswer::Refused();
      return true;
    }
    if (boots_ != state_.boots) {
      // The device restarted: open handles and unflushed changes are gone.
      boots_ = state_.boots;
      LoadFlushed();
    }
    answer = Serve(block, in);
    return true;
  }

 private:
  DeviceAnswer Serve(const _ZEL_REQUEST& block, std::span<const uint8_t> in) {
    Key* key = Lookup(block.Param16(8));
    switch (block.command) {
      case req::kRegOpenKey: case req::kRegCreateKey: {
        std::string name;
        if (!NameFrom(in, name)) return DeviceAnswer::Refused();
        if (!key || name.find('\\') != std::string::npos) return Answer(kRegErrBadKey);
        Key* target = name.empty() ? key : Child(*key, name);
        if (!target) {
          if (block.command == req::kRegOpenKey) return Answer(kRegErrBadKey);
          if (key->children.size() >= kMaxItems || key->depth >= kMaxDepth) return Answer(-1);
          key->children.push_back(std::make_unique<Key>());
          target = key->children.back().get();
          target->name = name;
          target->depth = key->depth + 1;
        }
        if (handles_.size() >= kMaxOpenHandles) return Answer(-1);
        while (next_ < kFirstHandle || handles_.count(next_)) next_ = uint16_t(next_ + 1);
        uint16_t h = next_++;
        handles_[h] = target;
        return Answer(h);
      }
      case req::kRegDeleteKey: {
        std::string name;
        if (!NameFrom(in, name)) return DeviceAnswer::Refused();
        if (!key || name.empty()) return Answer(kRegErrBadKey);
        for (size_t i = 0; i < key->children.size(); ++i) {
          Key* c = key->children[i].get();
          if (!SameName(c->name, name)) continue;
          if (IsFixed(c)) return Answer(kRegErrBadKey);
          // Handles into the deleted tree stop working.
          std::set<const Key*> gone;
          Collect(*c, gone);
          for (auto it = handles_.begin(); it != handles_.end();)
            it = gone.count(it->second) ? handles_.erase(it) : std::next(it);
          key->children.erase(key->children.begin() + long(i));
          return Answer(0);
        }
        return Answer(kRegErrBadKey);
      }
      case req::kRegCloseKey: {
        uint16_t h = block.Param16(8);
        if (h <= kHkeyLastRoot) return Answer(0);
        return Answer(handles_.erase(h) ? 0 : kRegErrBadKey);
      }
      case req::kRegSetValueEx: {
        if (in.size() != kRegBlockBytes) return DeviceAnswer::Refused();
        if (!key) return Answer(kRegErrBadKey);
        RegValueBlock v = DecodeRegValueBlock(in);
        if (v.name.empty()) return Answer(kRegErrBadKey);
        if (v.name.size() > kRegNameBytes || v.size > kRegMaxData) return Answer(kRegErrNameTooLong);
        Value* slot = FindValue(*key, v.name);
        if (!slot) {
          if (key->values.size() >= kMaxItems) return Answer(-1);
          key->values.push_back(Value{v.name, 0, {}});
          slot = &key->values.back();
        }
        slot->type = v.type;
        slot->data = std::move(v.data);
        return Answer(0);
      }
      case req::kRegDeleteValue: {
        std::string name;
        if (!NameFrom(in, name)) return DeviceAnswer::Refused();
        if (!key) return Answer(kRegErrBadKey);
        for (size_t i = 0; i < key->values.size(); ++i)
          if (SameName(key->values[i].name, name)) {
            key->values.erase(key->values.begin() + long(i));
            return Answer(0);
          }
        return Answer(kRegErrBadKey);
      }
      case req::kRegEnumKey: {
        DeviceAnswer a;
        uint32_t index = block.Param16(10);
        if (!key) a = Answer(kRegErrBadKey);
        else if (index >= key->children.size()) a = Answer(kRegErrNoMoreItems);
        else a = Answer(0);
        a.data.assign(kRegNameBytes, 0);
        if (a.value == 0) {
          const std::string& n = key->children[index]->name;
          std::copy(n.begin(), n.end(), a.data.begin());
        }
        return a;
      }
      case req::kRegEnumValue: {
        uint32_t index = block.Param16(10);
        RegEnumBlock e;
        DeviceAnswer a;
        if (!key) a = Answer(kRegErrBadKey);
        else if (index >= key->values.size()) a = Answer(kRegErrNoMoreItems);
        else a = Answer(0);
        if (a.value == 0) {
          const Value& v = key->values[index];
          e.nameLength = uint32_t(v.name.size());
          e.type = v.type;
          e.dataSize = uint32_t(v.data.size());
          std::copy(v.name.begin(), v.name.end(), e.nameField.begin());
          std::copy(v.data.begin(), v.data.end(), e.data.begin());
        }
        auto raw = EncodeRegEnumBlock(e);
        a.data.assign(raw.begin(), raw.end());
        return a;
      }
      case req::kRegFlushKey: {
        if (!key) return Answer(kRegErrBadKey);
        std::vector<uint8_t> out(kMagic, kMagic + 4);
        uint8_t v[4];
        bytes::Put32(v, kVersion);
        out.insert(out.end(), v, v + 4);
        PutKey(out, top_);
        // Never store a registry that the next start could not load.
        if (!Parses(out)) return Answer(-1);
        if (!WriteStateFile(StatePath(state_, "registry.bin"), out)) return DeviceAnswer::Refused();
        return Answer(0);
      }
      default:
        return DeviceAnswer::Refused();
    }
  }

  static DeviceAnswer Answer(int32_t value) { return DeviceAnswer::Ok(value); }

  // A name field of 8 bytes: the characters up to the first zero byte.
  static bool NameFrom(std::span<const uint8_t> in, std::string& name) {
    if (in.size() != kRegNameBytes) return false;
    size_t n = 0;
    while (n < kRegNameBytes && in[n]) ++n;
    name.assign(in.begin(), in.begin() + long(n));
    return true;
  }

  Key* Lookup(uint16_t h) {
    if (h == kHkeyRoot) return &top_;
    if (h <= kHkeyLastRoot) return Child(top_, kFixedRoots[h - 1]);
    auto it = handles_.find(h);
    return it == handles_.end() ? nullptr : it->second;
  }

  static Key* Child(Key& k, const std::string& name) {
    for (auto& c : k.children)
      if (SameName(c->name, name)) return c.get();
    return nullptr;
  }

  static Value* FindValue(Key& k, const std::string& name) {
    for (Value& v : k.values)
      if (SameName(v.name, name)) return &v;
    return nullptr;
  }

  bool IsFixed(const Key* k) {
    for (uint16_t h = 1; h <= kHkeyLastRoot; ++h)
      if (Lookup(h) == k) return true;
    return false;
  }

  static void Collect(const Key& k, std::set<const Key*>& out) {
    out.insert(&k);
    for (const auto& c : k.children) Collect(*c, out);
  }

  // Replaces the tree by the flushed one (or an empty one) and drops every
  // handle. False when registry.bin is damaged.
  bool LoadFlushed() {
    handles_.clear();
    top_ = Key{};
    std::vector<uint8_t> raw;
    bool ok = true;
    if (ReadStateFile(StatePath(state_, "registry.bin"), raw)) {
      ok = Parses(raw, top_);
      if (!ok) top_ = Key{};
    }
    for (const char* name : kFixedRoots)
      if (!Child(top_, name)) {
        top_.children.push_back(std::make_unique<Key>());
        top_.children.back()->name = name;
        top_.children.back()->depth = 1;
      }
    return ok;
  }

  // True when raw is a registry.bin that loads; the tree goes to top.
  static bool Parses(const std::vector<uint8_t>& raw, Key& top) {
    Parser p(raw);
    uint32_t version = 0;
    return raw.size() >= 8 && std::equal(kMagic, kMagic + 4, raw.begin()) && p.Take(4) &&
           p.U32(version) && version == kVersion && p.ReadKey(top, 0) && p.AtEnd();
  }
  static bool Parses(const std::vector<uint8_t>& raw) {
    Key scratch;
    return Parses(raw, scratch);
  }

  DeviceState& state_;
  int boots_;
  Key top_;
  std::map<uint16_t, Key*> handles_;
  uint16_t next_ = kFirstHandle;
};

}  // namespace

std::unique_ptr<ModelUnit> MakeRegistryUnit(DeviceState& state, std::string& error) {
  auto unit = std::make_unique<RegistryUnit>(state);
  if (!unit->Open(error)) return nullptr;
  return unit;
}
