#include "Progress.h"

#include <cinttypes>
#include <cstdio>

namespace cli {

std::string FormatBytes(int64_t bytes) {
  char buffer[48];
  if (bytes < 1024)
    std::snprintf(buffer, sizeof buffer, "%" PRId64 " B", bytes);
  else if (bytes < 1024 * 1024)
    std::snprintf(buffer, sizeof buffer, "%" PRId64 " KiB", bytes / 1024);
  else if (bytes < int64_t{1024} * 1024 * 1024)
    std::snprintf(buffer, sizeof buffer, "%.1f MiB", bytes / (1024.0 * 1024.0));
  else
    std::snprintf(buffer, sizeof buffer, "%.1f GiB", bytes / (1024.0 * 1024.0 * 1024.0));
  return buffer;
}

std::string FormatProgressLine(int percent, int64_t done, int64_t total, double seconds,
                               int barWidth) {
  if (percent < 0) percent = 0;
  if (percent > 100) percent = 100;
  const int filled = percent * barWidth / 100;
  std::string bar(filled, '#');
  bar.append(barWidth - filled, ' ');
  char head[16];
  std::snprintf(head, sizeof head, "%3d%% [", percent);
  std::string line = head + bar + "]  " + FormatBytes(done) + " / " + FormatBytes(total);
  if (seconds > 0) line += "  " + FormatBytes(static_cast<int64_t>(done / seconds)) + "/s";
  return line;
}

bool TProgressPacer::ShouldDraw(double seconds, int percent) {
  if (seconds < kDelay) return false;
  if (Shown && (percent == LastPercent || seconds - LastTime < kInterval)) return false;
  Shown = true;
  LastTime = seconds;
  LastPercent = percent;
  return true;
}

}  // namespace cli
