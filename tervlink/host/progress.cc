// The progress line of long work at a terminal (host.h, "progress").

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tervlink/host/host.h"
#include "tervlink/host/host_internal.h"

namespace host {
namespace {

struct ProgressState {
  uint32_t jobFiles = 0, fileIndex = 0;  // SYNC: the files to visit, the one now
  uint64_t jobBytes = 0, jobDone = 0;    // SYNC: their bytes, those of the files before
  uint64_t fileBytes = 0;                // SYNC: the bytes of the file now
  uint64_t jobStartMs = 0;
  uint64_t fileStartMs = 0;              // the transfer now under way
  uint64_t lastDrawMs = 0;
  size_t shown = 0;                      // bytes of the segment on the screen
  bool started = false;
};
ProgressState g_progress;

// "12.3 MB" and the like, in powers of 1024.
std::string Size(uint64_t n) {
  char text[32];
  if (n < 1024)
    snprintf(text, sizeof text, "%u B", unsigned(n));
  else if (n < (1u << 20))
    snprintf(text, sizeof text, "%.1f KB", n / 1024.0);
  else if (n < (uint64_t(1) << 30))
    snprintf(text, sizeof text, "%.1f MB", n / 1048576.0);
  else
    snprintf(text, sizeof text, "%.2f GB", n / 1073741824.0);
  return text;
}

}  // namespace

bool ProgressOnTerminal() {
  static const bool on = [] {
    const char* setting = getenv("TERVAN_PROGRESS");
    return detail::StreamIsTerminal(stdout) && !(setting && setting[0] == '0');
  }();
  return on;
}

void ProgressJob(uint32_t files, uint64_t bytes) {
  g_progress = ProgressState();
  g_progress.jobFiles = files;
  g_progress.jobBytes = bytes;
  g_progress.jobStartMs = MonotonicMs();
}

void ProgressNextFile(uint64_t bytes) {
  ++g_progress.fileIndex;
  g_progress.jobDone += g_progress.fileBytes;
  g_progress.fileBytes = bytes;
}

void ProgressEndJob() { g_progress = ProgressState(); }

uint64_t MonotonicMs() { return detail::MonotonicClockMs(); }

void ProgressBytes(uint64_t done, uint64_t total) {
  if (!ProgressOnTerminal()) return;
  ProgressState& p = g_progress;
  const uint64_t now = MonotonicMs();
  if (done == 0 || !p.started) {
    p.fileStartMs = now;
    p.shown = 0;
    p.started = true;
  }
  const bool last = done >= total;
  // A few redraws a second are enough to read; the last one always comes.
  if (!last && p.shown && now - p.lastDrawMs < 200) return;
  p.lastDrawMs = now;
  // Within a SYNC the rate and the time left are those of the whole job.
  const bool job = p.jobFiles > 0 && p.jobBytes > 0;
  const uint64_t allDone = job ? p.jobDone + done : done;
  const uint64_t allTotal = job ? p.jobBytes : total;
  const uint64_t elapsed = now - (job ? p.jobStartMs : p.fileStartMs);
  const double rate = elapsed > 0 ? allDone * 1000.0 / elapsed : 0;
  char segment[160];
  int n = snprintf(segment, sizeof segment, " %3d%% %s/%s", total ? int(done * 100 / total) : 100,
                   Size(done).c_str(), Size(total).c_str());
  if (rate > 0) {
    uint64_t left = allTotal > allDone ? uint64_t((allTotal - allDone) / rate) : 0;
    n += snprintf(segment + n, sizeof segment - n, " %s/s 剩余%u:%02u", Size(uint64_t(rate)).c_str(),
                  unsigned(left / 60), unsigned(left % 60));
  }
  if (job)
    snprintf(segment + n, sizeof segment - n, " 文件%u/%u 共%s/%s", p.fileIndex, p.jobFiles,
             Size(allDone).c_str(), Size(allTotal).c_str());
  // The segment is redrawn in place: back over the old one, the new one,
  // blanks over what is left of the old one, and back to the new one's end.
  std::string text(p.shown, '\b');
  const std::string fresh(segment);
  text += fresh;
  if (fresh.size() < p.shown) {
    text.append(p.shown - fresh.size(), ' ');
    text.append(p.shown - fresh.size(), '\b');
  }
  p.shown = fresh.size();
  Print("%s", text.c_str());
  if (last) p.started = false;
}

void Settle(uint32_t ms, const char* what) {
  if (!SettlingWaitsSkipped() && detail::StreamIsTerminal(stderr))
    PrintError("Tervan: %s, 等待%u秒 ...", what, unsigned((ms + 999) / 1000));
  Sleep(ms);
}

}  // namespace host
