#pragma once

// What the monitor prints: the status lines while it runs and the summary
// at the end.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include <varnel/varnel.hpp>

#include "monitor/Options.hpp"
#include "monitor/Receiver.hpp"
#include "monitor/Recorder.hpp"

namespace monitor {

// printf's formatting, into a string of at most 255 characters.
std::string format(const char* pattern, auto... values) {
  char text[256];
  std::snprintf(text, sizeof text, pattern, values...);
  return text;
}

inline double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// What stays the same from package to package: shown once on a terminal,
// in every plain line.
std::string boardLine(const mirt::OstraDataPackage& latest);

// The status of the last interval. `terminal`: the short form for the
// refreshed line, without the board line and with compact figures.
std::string statusLine(mirt::ConnectionState state, double elapsed, const Totals& now, const Totals& before,
                       double interval, const mirt::OstraDataPackage* latest, bool terminal);

// The width of the terminal on standard output (80 when it has none).
std::size_t terminalWidth();

// `library`: the parsers' own figures; `reconnects`: only with --reconnect.
void printSummary(const Totals& t, const MissingNumbers& missing, const mirt::VarnelStatistics& library,
                  std::optional<std::uint64_t> reconnects, Clock::duration elapsed, const char* stopped);

// The recording's lines of the summary.
void printRecording(const std::string& path, const RecordingFigures& r);

}  // namespace monitor
