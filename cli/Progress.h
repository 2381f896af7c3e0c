#pragma once
// The progress bar of long extractions: what it says and when it is drawn. The caller brings
// the clock and the terminal, so both rules are tested without either.
#include <cstdint>
#include <string>

namespace cli {

// "51.2 MiB", "812 KiB", "97 B": binary units, one decimal from MiB on.
std::string FormatBytes(int64_t bytes);

// One line of the bar, without line feed: percent, a bar of `barWidth` cells, bytes done of
// the total and the rate so far. Example: " 45% [#########           ]  51.2 MiB / 114.4 MiB  98.3 MiB/s"
std::string FormatProgressLine(int percent, int64_t done, int64_t total, double seconds,
                               int barWidth = 24);

// When to draw: nothing during the first second (short extractions stay silent), then at
// most ten times a second, and only when the line would change.
class TProgressPacer {
public:
  static constexpr double kDelay = 1.0;
  static constexpr double kInterval = 0.1;
  // True when a line for `percent` should be drawn at `seconds` after the start.
  bool ShouldDraw(double seconds, int percent);
  bool Drawn() const { return Shown; }

private:
  bool Shown = false;
  double LastTime = 0;
  int LastPercent = -1;
};

}  // namespace cli
