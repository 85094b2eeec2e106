// The interrupt flag (Ctrl-C), the same on every host; the signal handler
// that sets it is the host's (InstallInterruptHandler in posix/console.cc).

#include <csignal>

#include "tervlink/host/host.h"

namespace host {
namespace {
volatile std::sig_atomic_t g_interrupt = 0;  // set from a signal handler
}  // namespace

bool InterruptRequested() { return g_interrupt != 0; }
void ClearInterrupt() { g_interrupt = 0; }
void RequestInterrupt() { g_interrupt = 1; }

}  // namespace host
