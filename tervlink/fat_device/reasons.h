// The engine's failure reasons, in the user's terms: the engine knows the
// partition, the name and the free space when it refuses, and sets the
// reason (host::SetReason) that the front end prints after its failure line.
// A device transfer's failure keeps the reason the link gave.
#pragma once

#include <cstdint>
#include <string>

namespace fatreason {

// "10,240 KB": bytes in kilobytes (rounded up), thousands separated.
std::string Kilobytes(uint64_t bytes);
// "no space on C: needs 10,240 KB, 3,072 KB free".
void NoSpace(int partIndex, uint64_t needBytes, uint64_t freeBytes);

}  // namespace fatreason
