#include "test_support.h"
#include "../support/test_dir.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>

namespace {

// Long enough for any real exchange; a peer that waits longer has lost the PC.
constexpr int kPeerWaitMs = 5000;
// More waits than any test's transport makes on purpose.
constexpr size_t kMaxSleeps = 100000;

std::vector<uint32_t> g_sleeps;

void RecordingSleep(uint32_t ms) {
  g_sleeps.push_back(ms);
  if (g_onSleep) g_onSleep(g_sleeps.size());
  if (g_sleeps.size() > kMaxSleeps) throw std::runtime_error("the transport waits for ever");
}

host::SleepFn g_previousSleep = nullptr;

}  // namespace

void (*g_onSleep)(size_t call) = nullptr;

Bytes Hex(const std::string& text) {
  Bytes out;
  for (size_t i = 0; i < text.size();) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    out.push_back(uint8_t(std::stoul(text.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return out;
}

std::string ToHex(const Bytes& b) {
  std::string s;
  char x[4];
  for (size_t i = 0; i < b.size() && i < 48; ++i) {
    snprintf(x, sizeof x, "%02x ", b[i]);
    s += x;
  }
  if (b.size() > 48) s += "... (" + std::to_string(b.size()) + " bytes)";
  return s;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

std::string FreshRunDir() {
  static int count = 0;
  auto dir = ProgramTestDir().path() / ("run" + std::to_string(++count));
  std::filesystem::create_directories(dir);
#if defined(_WIN32)
  _putenv_s("TERVAN_RUNDIR", dir.string().c_str());
#else
  setenv("TERVAN_RUNDIR", dir.c_str(), 1);
#endif
  return dir.string();
}

void InstallRecordingSleep() {
  g_sleeps.clear();
  g_onSleep = nullptr;
  g_previousSleep = host::SetSleep(RecordingSleep);
}

void RestoreSleep() {
  host::SetSleep(g_previousSleep);
  g_onSleep = nullptr;
}

std::vector<uint32_t>& RecordedSleeps() { return g_sleeps; }

// ---- the scripted peer ---------------------------------------------------------

ScriptedPeer::~ScriptedPeer() {
  if (thread_.joinable()) thread_.join();
  host::CloseMailslot(toPc_);
  host::CloseMailslot(slot_);
}

ScriptedPeer& ScriptedPeer::Expect(const Bytes& message) {
  script_.push_back({Step::kExpect, message});
  return *this;
}

ScriptedPeer& ScriptedPeer::Send(const Bytes& message) {
  script_.push_back({Step::kSend, message});
  return *this;
}

ScriptedPeer& ScriptedPeer::Vanish() {
  script_.push_back({Step::kVanish, {}});
  return *this;
}

bool ScriptedPeer::Open() {
  slot_ = host::CreateMailslot("c33_usb_snd_io", host::kMaxMailslotMessage);
  return slot_ != host::kInvalidMailslot;
}

void ScriptedPeer::Start() { thread_ = std::thread([this] { Run(); }); }

void ScriptedPeer::Run() {
  Bytes message;
  for (size_t i = 0; i < script_.size(); ++i) {
    const Step& step = script_[i];
    std::string where = "step " + std::to_string(i + 1) + ": ";
    if (step.kind == Step::kVanish) {
      host::CloseMailslot(slot_);
      slot_ = host::kInvalidMailslot;
      continue;
    }
    if (step.kind == Step::kSend) {
      if (toPc_ == host::kInvalidMailslot) toPc_ = host::OpenMailslot("c33_usb_rcv_io");
      if (!host::WriteMailslot(toPc_, step.bytes.data(), uint32_t(step.bytes.size()))) {
        problems_ += where + "cannot answer the PC side\n";
        break;
      }
      continue;
    }
    host::MailslotRead r = host::ReadMailslotMessage(slot_, message, kPeerWaitMs);
    if (r != host::MailslotRead::kOk) {
      problems_ += where + "no message came; expected " + ToHex(step.bytes) + "\n";
      break;
    }
    if (message != step.bytes) {
      problems_ += where + "expected " + ToHex(step.bytes) + "\n        got " + ToHex(message) + "\n";
      break;
    }
  }
  // A PC side still waiting for an answer sees the simulator gone and gives up.
  if (!problems_.empty()) {
    host::CloseMailslot(slot_);
    slot_ = host::kInvalidMailslot;
  }
}

std::string ScriptedPeer::Finish() {
  if (thread_.joinable()) thread_.join();
  if (slot_ != host::kInvalidMailslot) {
    Bytes extra;
    // Every message of the PC side is in the mailslot by now: look, don't wait.
    if (host::ReadMailslotMessage(slot_, extra, 0) == host::MailslotRead::kOk)
      problems_ += "unexpected message after the script: " + ToHex(extra) + "\n";
  }
  return problems_;
}
