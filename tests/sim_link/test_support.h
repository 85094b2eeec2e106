// Shared pieces of the simulation link's tests: a fresh run folder per test,
// a sleep that records its waits instead of waiting, byte helpers, and the
// scripted peer that plays the simulator message by message.
#pragma once

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "tervlink/host/host.h"

using Bytes = std::vector<uint8_t>;

// "03 01 81" -> {0x03, 0x01, 0x81}.
Bytes Hex(const std::string& text);
std::string ToHex(const Bytes& b);
Bytes Concat(std::initializer_list<Bytes> parts);
Bytes Le32(uint32_t v);

// Points TERVAN_RUNDIR at a new empty folder; returns it.
std::string FreshRunDir();

// The sleep the tests install: records each wait and returns at once. A
// transport that keeps waiting (a loop that would never end) is stopped by
// an exception after many waits, so no test can hang in it.
void InstallRecordingSleep();
void RestoreSleep();
std::vector<uint32_t>& RecordedSleeps();
// Called on every recorded wait with its number (1, 2 ...), when set.
extern void (*g_onSleep)(size_t call);

// The simulator, played from a script: each step expects one message of the
// PC side (byte for byte) or sends one message to it.
class ScriptedPeer {
 public:
  ~ScriptedPeer();
  ScriptedPeer& Expect(const Bytes& message);
  ScriptedPeer& Send(const Bytes& message);
  // Closes the simulator's mailslot, as a simulator that stops.
  ScriptedPeer& Vanish();

  // Creates the simulator's mailslot; false when it cannot.
  bool Open();
  // Runs the script in a thread of its own.
  void Start();
  // Waits for the script's end and checks that no message came beyond it.
  // Returns the problems found, empty when there are none.
  std::string Finish();

 private:
  struct Step {
    enum Kind { kExpect, kSend, kVanish } kind;
    Bytes bytes;
  };
  void Run();

  std::vector<Step> script_;
  host::MailslotHandle slot_ = host::kInvalidMailslot;
  host::MailslotHandle toPc_ = host::kInvalidMailslot;
  std::thread thread_;
  std::string problems_;
};
