#include "nand_options.h"

#include <cstdlib>

namespace {

bool ParseNumber(const std::string& text, uint32_t& out) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  char* end = nullptr;
  unsigned long long v = strtoull(text.c_str(), &end, 0);
  if (*end || v > UINT32_MAX) return false;
  out = uint32_t(v);
  return true;
}

bool IsSectorRequest(uint8_t code) {
  return code == req::kRead || code == req::kWrite || code == req::kDirectRead ||
         code == req::kDirectWrite;
}

bool IsBlockRequest(uint8_t code) { return code == req::kNandReadWrite || code == req::kNandErase; }

}  // namespace

bool FaultPlan::ShouldFail(const _ZEL_REQUEST& block) {
  for (FailRule& rule : rules) {
    if (rule.code != block.command) continue;
    if (rule.ranged) {
      uint64_t first, last;
      if (IsSectorRequest(block.command)) {
        first = block.Param32(8);
        uint32_t count = block.Param16(12);
        last = first + (count ? count - 1 : 0);
      } else if (IsBlockRequest(block.command)) {
        first = last = block.Param32(block.command == req::kNandErase ? 8 : 12);
      } else {
        continue;  // a request without an address never matches a range
      }
      if (last < rule.first || first > rule.last) continue;
    }
    if (rule.times != 0) {
      if (rule.used >= rule.times) continue;
      ++rule.used;
    }
    return true;
  }
  return false;
}

bool FaultPlan::TakeCorruptRead(const _ZEL_REQUEST& block) {
  if (corruptReads == 0) return false;
  if (corruptRanged) {
    uint64_t first = block.Param32(8), count = block.Param16(12);
    uint64_t last = first + (count ? count - 1 : 0);
    if (last < corruptFirst || first > corruptLast) return false;
  }
  --corruptReads;
  return true;
}

bool ParseFailRule(const std::string& text, FailRule& rule) {
  rule = FailRule{};
  std::string rest = text;
  // The count is the last 'x' that is not the prefix of a hexadecimal
  // number ("0x" at the start or after '@' or '-').
  for (size_t x = rest.size(); x-- > 0;) {
    if (rest[x] != 'x' && rest[x] != 'X') continue;
    bool hexPrefix = x >= 1 && rest[x - 1] == '0' && (x == 1 || rest[x - 2] == '@' || rest[x - 2] == '-');
    if (hexPrefix) continue;
    if (!ParseNumber(rest.substr(x + 1), rule.times) || rule.times == 0) return false;
    rest = rest.substr(0, x);
    break;
  }
  size_t at = rest.find('@');
  uint32_t code;
  if (!ParseNumber(rest.substr(0, at), code) || code == 0 || code > 0xFF) return false;
  rule.code = uint8_t(code);
  if (at != std::string::npos) {
    std::string range = rest.substr(at + 1);
    size_t dash = range.find('-');
    if (!ParseNumber(range.substr(0, dash), rule.first)) return false;
    rule.last = rule.first;
    if (dash != std::string::npos && !ParseNumber(range.substr(dash + 1), rule.last)) return false;
    if (rule.last < rule.first) return false;
    rule.ranged = true;
  }
  return true;
}

bool ParseBlockList(const std::string& text, std::vector<uint32_t>& blocks) {
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t comma = text.find(',', pos);
    std::string item = text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    size_t dash = item.find('-');
    uint32_t first, last;
    if (!ParseNumber(item.substr(0, dash), first)) return false;
    last = first;
    if (dash != std::string::npos && !ParseNumber(item.substr(dash + 1), last)) return false;
    if (last < first || last - first > 65535) return false;
    for (uint64_t b = first; b <= last; ++b) blocks.push_back(uint32_t(b));
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  return true;
}

const char kStorageUsage[] =
    "  --chip PART     NAND chip of every disk (default TC58DVG02A1FT00, 128 MB, 512-byte pages)\n"
    "  --chip0 PART    NAND chip of disk 0;  --chip1 PART  of disk 1\n"
    "  --mlc           MLC spare layout and ECC method 2 (default SLC, method 1)\n"
    "  --nand0 FILE    serve an existing NAND file as disk 0;  --nand1 FILE  as disk 1\n"
    "  --bad-blocks L  physical blocks that are bad, e.g. 5,17,300-302 (every disk)\n"
    "  --fail RULE     fail requests: CODE[@FIRST[-LAST]][xN], e.g. 0x42@100-199x2\n"
    "                  (range = sectors of sector requests, block of raw NAND requests)\n"
    "  --corrupt-read N[@FIRST[-LAST]]\n"
    "                    alter the data of the next N sector read requests (that touch\n"
    "                    sectors FIRST-LAST)\n";

int ParseStorageOption(int argc, char** argv, int& i, NandOptions& nand, FaultPlan& faults,
                       std::string& error) {
  std::string arg = argv[i];
  auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
  if (arg == "--chip" || arg == "--chip0" || arg == "--chip1") {
    const char* v = value();
    const nand::NandChip* chip = v ? nand::FindChip(v) : nullptr;
    if (!chip) {
      error = arg + " needs a part number of the chip table";
      return -1;
    }
    if (arg != "--chip1") nand.chip[0] = *chip;
    if (arg != "--chip0") nand.chip[1] = *chip;
    return 1;
  }
  if (arg == "--mlc") {
    nand.mlc = true;
    return 1;
  }
  if (arg == "--nand0" || arg == "--nand1") {
    const char* v = value();
    if (!v || !*v) {
      error = arg + " needs a NAND file";
      return -1;
    }
    nand.nandFile[arg == "--nand1" ? 1 : 0] = v;
    return 1;
  }
  if (arg == "--bad-blocks") {
    const char* v = value();
    if (!v || !ParseBlockList(v, nand.badBlocks)) {
      error = "--bad-blocks needs a list of block numbers such as 5,17,300-302";
      return -1;
    }
    return 1;
  }
  if (arg == "--fail") {
    const char* v = value();
    FailRule rule;
    if (!v || !ParseFailRule(v, rule)) {
      error = "--fail needs CODE[@FIRST[-LAST]][xN], e.g. 0x42@100-199x2";
      return -1;
    }
    faults.rules.push_back(rule);
    return 1;
  }
  if (arg == "--corrupt-read") {
    const char* v = value();
    // N[@FIRST[-LAST]]: the range is read as a --fail rule's.
    std::string text = v ? v : "";
    size_t at = text.find('@');
    FailRule range;
    if (!v || !ParseNumber(text.substr(0, at), faults.corruptReads) ||
        (at != std::string::npos && !ParseFailRule("0x41" + text.substr(at), range))) {
      error = "--corrupt-read needs a count, and a sector range after @";
      return -1;
    }
    faults.corruptRanged = range.ranged;
    faults.corruptFirst = range.first;
    faults.corruptLast = range.last;
    return 1;
  }
  return 0;
}
