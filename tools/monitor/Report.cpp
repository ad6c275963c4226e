#include "monitor/Report.hpp"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cmath>
#include <iostream>
#include <limits>
#include <vector>

#include "common/Wording.hpp"

namespace monitor {

namespace {
struct ChannelFigures {
  std::int64_t min = 0;
  std::int64_t max = 0;
  double mean = 0;
};

ChannelFigures figures(const std::vector<std::uint32_t>& samples) {
  ChannelFigures f;
  if (samples.empty()) return f;
  f.min = std::numeric_limits<std::int64_t>::max();
  f.max = std::numeric_limits<std::int64_t>::min();
  double sum = 0;
  for (std::uint32_t word : samples) {
    const auto value = static_cast<std::int32_t>(word);
    f.min = std::min<std::int64_t>(f.min, value);
    f.max = std::max<std::int64_t>(f.max, value);
    sum += value;
  }
  f.mean = sum / static_cast<double>(samples.size());
  return f;
}

const char* stateName(mirt::ConnectionState state) {
  switch (state) {
    case mirt::ConnectionState::Connected:
      return "connected";
    case mirt::ConnectionState::Receiving:
      return "receiving";
    case mirt::ConnectionState::NotConnected:
      return "not connected";
    case mirt::ConnectionState::Error:
      return "error";
  }
  return "?";
}

// A value in at most about six characters: 10000 and more with a k, M or G.
std::string compact(double value) {
  const double magnitude = std::abs(value);
  if (magnitude < 10000) return format(value == std::floor(value) ? "%.0f" : "%.1f", value);
  const char* suffix = "kMG";
  double scaled = value / 1000;
  for (int i = 0; i < 2 && std::abs(scaled) >= 1000; ++i) {
    scaled /= 1000;
    ++suffix;
  }
  return format(std::abs(scaled) < 100 ? "%.3g%c" : "%.0f%c", scaled, *suffix);
}

// "4, 10-12 and 3 more ranges"; "none" without a gap.
std::string missingText(const MissingNumbers& m) {
  if (m.ranges == 0) return "none";
  std::string text;
  for (const auto& [first, last] : m.first) {
    if (!text.empty()) text += ", ";
    text += std::to_string(first);
    if (last != first) {
      text += '-';
      text += std::to_string(last);
    }
  }
  if (m.ranges > m.first.size()) text += " and " + cli::counted(m.ranges - m.first.size(), "more range");
  return text;
}

}  // namespace

// What stays the same from package to package: shown once on a terminal,
// in every plain line.
std::string boardLine(const mirt::OstraDataPackage& latest) {
  const mirt::OstraMetaData& meta = latest.getMetaData();
  return format("%zu ch x %zu  ", latest.getChannelCount(), latest.getSize()) +
         cli::boardVersions(meta.dspVersion, meta.firmwareVersion, meta.biosVersion);
}

// The status of the last interval. `terminal`: the short form for the
// refreshed line, without the board line and with compact figures.
std::string statusLine(mirt::ConnectionState state, double elapsed, const Totals& now, const Totals& before,
                       double interval, const mirt::OstraDataPackage* latest, bool terminal) {
  const double rate = interval > 0 ? 1.0 / interval : 0.0;
  const double packages = static_cast<double>(now.packages - before.packages) * rate;
  const double streams = static_cast<double>(now.streams - before.streams) * rate;
  const double megabytes = static_cast<double>(now.bytes - before.bytes) * rate / 1e6;
  const auto gaps = static_cast<unsigned long long>(now.gaps);
  std::string line = terminal ? format("%6.1f s %s %.1f pkg/s %.2f streams/s %.3f MB/s gaps %llu |", elapsed,
                                       stateName(state), packages, streams, megabytes, gaps)
                              : format("%7.1f s  %-9s %8.1f packages/s %6.2f streams/s %8.3f MB/s  gaps %llu",
                                       elapsed, stateName(state), packages, streams, megabytes, gaps);
  if (latest == nullptr) return line + "  no package yet";
  if (!terminal) line += "  " + boardLine(*latest);
  for (std::size_t c = 0; c < latest->getChannelCount(); ++c) {
    const ChannelFigures f = figures(latest->getWaveform(c));
    if (terminal) {
      line += format(" ch%zu ", c) + compact(static_cast<double>(f.min)) + "/" +
              compact(static_cast<double>(f.max)) + "/" + compact(std::round(f.mean * 10) / 10);
    } else {
      line += format("  ch%zu %lld/%lld/%.1f", c, static_cast<long long>(f.min),
                     static_cast<long long>(f.max), f.mean);
    }
  }
  return line;
}

std::size_t terminalWidth() {
#if defined(_WIN32)
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (::GetConsoleScreenBufferInfo(::GetStdHandle(STD_OUTPUT_HANDLE), &info) && info.dwSize.X > 0) {
    return static_cast<std::size_t>(info.srWindow.Right - info.srWindow.Left + 1);
  }
#else
  winsize size{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
#endif
  return 80;
}

// `library`: the parsers' own figures; `reconnects`: only with --reconnect.
void printSummary(const Totals& t, const MissingNumbers& missing, const mirt::VarnelStatistics& library,
                  std::optional<std::uint64_t> reconnects, Clock::duration elapsed, const char* stopped) {
  const double s = std::max(seconds(elapsed), 1e-9);
  std::cout << "--- varnel-monitor summary ---\n"
            << "stopped: " << stopped << '\n'
            << "packages: " << t.packages << " (library: " << library.packages << ")\n"
            << "streams: " << t.streams << " (library: " << library.handOvers - library.emptyHandOvers
            << ")\n"
            << "empty hand-overs: " << t.emptyHandOvers << " (library: " << library.emptyHandOvers << ")\n"
            << "bytes: " << library.bytes << " (complete packages the library accepted, as on the wire)\n"
            << "gaps: " << t.gaps << " (" << cli::counted(t.missing, "package") << " missing)\n"
            << "missing: " << missingText(missing) << '\n'
            << "library: " << cli::counted(library.connections, "connection") << ", "
            << cli::counted(library.failures, "failure") << ", largest hand-over " << library.largestHandOver
            << ", " << library.packagesNotPopped << " not popped, callback "
            << format("%.3f ms in all, %.3f ms at most", static_cast<double>(library.callbackTotalNs) / 1e6,
                      static_cast<double>(library.callbackLongestNs) / 1e6)
            << '\n';
  if (reconnects) {
    std::cout << "reconnects: " << *reconnects << '\n'
              << "gaps across reconnects: " << t.gapsAcrossReconnects << '\n';
  }
  std::cout << format("duration: %.2f s\n", seconds(elapsed))
            << format("rate: %.1f packages/s, %.2f streams/s, %.3f MB/s\n",
                      static_cast<double>(t.packages) / s, static_cast<double>(t.streams) / s,
                      static_cast<double>(library.bytes) / s / 1e6)
            << std::flush;
}

void printRecording(const std::string& path, const RecordingFigures& r) {
  std::cout << "recorded: " << cli::counted(r.recorded, "package") << " of " << r.channels << " ch x "
            << r.samplesPerChannel << " to " << path << " (" << r.fileBytes << " bytes)\n"
            << "dropped: " << r.dropped << " (recording queue full)\n"
            << "skipped: " << r.skipped
            << " (no samples, or another shape than the first package recorded)\n";
  if (r.notRecorded != 0) std::cout << "not recorded: " << r.notRecorded << " (the recording had failed)\n";
  std::cout << std::flush;
  if (r.dropped != 0) {
    std::cerr << "varnel-monitor: " << cli::counted(r.dropped, "package")
              << " not recorded: the writer could not keep up" << std::endl;
  }
}

}  // namespace monitor
