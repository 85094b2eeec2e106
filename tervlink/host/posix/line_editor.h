// The prompt's line editor (libedit): private to the POSIX host layer.
#pragma once

#include <memory>

#include "tervlink/host/host.h"

namespace host {

// An Input that reads standard input through libedit: line editing,
// history kept in ~/.tervan_history across sessions, and completion of the
// words given to SetCompletions at the start of a line. Null when the build
// has no libedit or the editor cannot start (the caller then reads plain
// lines).
std::unique_ptr<Input> MakeLineEditor();

}  // namespace host
