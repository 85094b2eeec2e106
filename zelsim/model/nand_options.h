// zelsim's storage options and its injected faults.
//
// NandOptions says what each disk's NAND chip is and where it is kept;
// FaultPlan makes chosen requests fail and chosen sector reads come back
// altered, so that the shell's failure and retry paths can be exercised.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tervlink/nand_layout.h"
#include "tervlink/records.h"

constexpr int kMaxDisks = 2;

struct NandOptions {
  // The chip of each disk: a row of the chip table (default the first),
  // or a smaller chip of the same shape made up by a test.
  nand::NandChip chip[kMaxDisks] = {nand::ChipTable()[0], nand::ChipTable()[0]};
  bool mlc = false;                    // MLC spare layout and ECC method 2
  std::string nandFile[kMaxDisks];     // an existing NAND file to serve; empty = the state folder's
  std::vector<uint32_t> badBlocks;     // physical blocks (whole-chip numbering) that are bad
};

// One --fail rule: requests with this code fail; when a range is given,
// only those whose sector run (sector requests) or block (raw NAND
// requests) touches [first, last]; when times is nonzero, only that many.
struct FailRule {
  uint8_t code = 0;
  bool ranged = false;
  uint32_t first = 0;
  uint32_t last = 0;
  uint32_t times = 0;  // 0 = always
  uint32_t used = 0;   // failures caused so far
};

class FaultPlan {
 public:
  std::vector<FailRule> rules;
  uint32_t corruptReads = 0;  // sector read requests still to alter
  // With a range, only the reads whose sector run touches [first, last]
  // are altered (and counted).
  bool corruptRanged = false;
  uint32_t corruptFirst = 0, corruptLast = 0;

  // True when the request must fail; counts the rule used.
  bool ShouldFail(const _ZEL_REQUEST& block);
  // True when the data of this sector read must be altered; counts it.
  bool TakeCorruptRead(const _ZEL_REQUEST& block);
};

// Parses "CODE[@FIRST[-LAST]][xN]" (numbers decimal or 0x-hexadecimal),
// e.g. "0x42", "0x41@100-199", "0x42x2", "0x6E@5x1". False on bad text.
bool ParseFailRule(const std::string& text, FailRule& rule);
// Parses "B[,B|B-C]..." into physical block numbers. False on bad text.
bool ParseBlockList(const std::string& text, std::vector<uint32_t>& blocks);

// Takes zelsim's storage options from argv at i: --chip, --chip0, --chip1,
// --mlc, --nand0, --nand1, --bad-blocks, --fail, --corrupt-read. Returns 1
// when it took the option (i then points at its last word), 0 when the
// option is not one of these, -1 when it is malformed (error says why).
int ParseStorageOption(int argc, char** argv, int& i, NandOptions& nand, FaultPlan& faults,
                       std::string& error);

// The lines of zelsim's usage text for these options.
extern const char kStorageUsage[];
