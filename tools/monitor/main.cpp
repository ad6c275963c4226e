// varnel-monitor: receives a board's data stream through the library's
// class interface and shows what arrives.
//
// The library's callback only pops the packages and adds them to the
// totals under a mutex, keeping the latest package; the main thread prints
// the status and watches the connection. With --record the callback also
// queues the packages for the recorder's writer thread (Recorder.hpp).
// See usageText (or --help).
#if defined(_WIN32)
#include <io.h>
#include <signal.h>
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <varnel/varnel.hpp>

#include "capture/CaptureWriter.hpp"
#include "common/CommandLine.hpp"
#include "common/HostName.hpp"
#include "common/Wording.hpp"
#include "monitor/NatsSource.hpp"
#include "monitor/Recorder.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* usageText = R"(usage: varnel-monitor ADDRESS [options]

Connects to the board at ADDRESS (numeric IPv4 or IPv6 address or host
name, port 63751; a name's addresses are tried in turn; or
nats://HOST[:PORT]/SUBJECT: the hand-overs that varnel-bridge publishes to
the JetStream subject varnel.NAME, from the start of the stream, with
everything below as for a board), receives its data
stream through the Varnel library and shows what arrives: on a terminal a
status line refreshed once a second, otherwise a plain line each second.
Ctrl-C (SIGINT) or SIGTERM (on Windows: Ctrl-C, Ctrl-Break or closing the
console) disconnects and prints the summary.

Library settings:
  --package-counter N   packages per hand-over to the monitor (library
                        default 25)
  --wait-ms N           longest time between two hand-overs in milliseconds
                        (library default 250)
  --tcp-timeout S       how long connecting may take in seconds (library
                        default 10)

Run:
  --duration SECONDS    stop after SECONDS of receiving, fractions allowed
                        (default: until Ctrl-C)
  --count PACKAGES      stop after exactly PACKAGES packages; later ones
                        are neither counted nor recorded
  --retry SECONDS       while nothing listens at ADDRESS, try connecting
                        again for up to SECONDS (default 0: fail at once)
  --reconnect           when the connection fails (the board closed or
                        reset it, is restarting, sent what the library
                        refuses, or stopped answering), say so on standard
                        error and connect again: after 0.1 s, then after
                        twice the previous wait, at most 5 s, back to 0.1 s
                        once a connection brought packages; until the run
                        ends. The summary counts the reconnects and the
                        gaps in the package numbers across them.
  --quiet               no status lines; only the summary and errors
  --help                this text

Recording:
  --record FILE.h5      write every package received into the HDF5 file
                        FILE.h5 (replaced if it exists): per channel a
                        dataset /channels/<c> of uint32 samples (package x
                        sample), the meta data, waveform types, receive
                        time (when the library read it) and hand-over time
                        of each package in the table /packages, the
                        settings, start time (UTC) and library version as
                        attributes of the root. Written while it arrives and
                        flushed once a second; closed on every stop. The
                        first package decides channels and samples per
                        channel; packages of another shape are skipped.
                        Packages that find the writer's queue (1024
                        packages) full are dropped. Both are counted in the
                        summary. A full disk ends the recording (exit 1);
                        the file keeps the packages of its last flush.

Capture:
  --capture FILE.pcapng write the bytes the library receives from the board,
                        with their receive times, as a pcapng file (replaced
                        if it exists) of one TCP conversation per connection
                        (Ethernet, IP and TCP headers made up around the
                        bytes, with the real addresses and ports), which
                        tshark and Wireshark open and varnel-board --replay
                        serves again. Also what the library refuses is in
                        it. Written on a thread of its own; closed on every
                        stop.

Status: state, packages, streams (hand-overs that carried packages) and
megabytes (10^6 bytes of packages: 128 header and meta data bytes plus the
samples) per second over the last second, channels x samples per channel,
gaps (jumps in the running package number headerValue), the board versions
from the meta data as the library's version check reads them (DSP: modulo
1000; firmware: its low seven bits plus 600), with the raw value beside
where it differs, and per channel minimum/maximum/mean of the latest
package, its samples read as signed 32-bit values.

Summary (standard output, after every run that connected): packages,
streams, empty hand-overs and bytes, each with the library's own count in
parentheses (they differ only when --count left packages uncounted), gaps
with the count of package numbers missing, the missing numbers as ranges
(the first 20 ranges and how many more), the library's connections,
failures, largest hand-over, packages it destroyed unpopped and the time
spent in the callback, duration and mean rates; with --reconnect the
reconnects and the gaps across them; with --record also the packages
recorded, dropped and skipped and the file's size.

Exit status:
   0  stopped by --duration, --count, Ctrl-C or SIGTERM (with --reconnect
      also after failed connections)
   1  any other failure (a recording that cannot be written included)
   2  wrong command line (a host name that cannot be resolved included)
  10 + the library's error code, with its text on standard error:
  10  Unspecified
  11  ConnectionFailed: the connect failed (refused, unreachable, timed out)
  12  CommunicationError: the connection broke or a package was malformed
  13  GeneralError
  14  VersionMismatch: wrong protocol version or board firmware too old
A board that accepts the connection but whose first packages are refused
exits with the code of that refusal, also when it came before the connect
had returned. A board that closes the connection exits with 12, and the
monitor says that the board closed it after how many complete packages,
and whether between two packages or inside one (its header or body). A
board that serves another client closes the connection of a second one
before its first package.
)";

struct Options {
  std::string address;
  std::vector<std::string> addresses;  // numeric, what `address` resolved to
  std::optional<std::uint32_t> packageCounter;
  std::optional<std::uint32_t> waitMs;
  std::optional<std::uint32_t> tcpTimeout;
  std::optional<Clock::duration> duration;
  std::uint64_t count = 0;
  Clock::duration retry{0};
  bool reconnect = false;
  std::string record;
  std::string capture;
  bool quiet = false;
  bool help = false;
};

Clock::duration seconds(double value) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(value));
}

Options parse(int argc, char** argv) {
  Options o;
  cli::Arguments args(argc, argv);
  auto u32 = [&](std::uint64_t min) {
    // The name is copied first: value() may step on to the next argument,
    // and the order in which call arguments are evaluated differs between
    // compilers and CPUs.
    const std::string option(args.name());
    return static_cast<std::uint32_t>(cli::toUnsigned(args.value(), option, min, UINT32_MAX));
  };
  while (args.next()) {
    const std::string option(args.name());
    if (args.is("--help")) {
      o.help = args.flag();
    } else if (args.is("--package-counter")) {
      o.packageCounter = u32(1);
    } else if (args.is("--wait-ms")) {
      o.waitMs = u32(1);
    } else if (args.is("--tcp-timeout")) {
      o.tcpTimeout = u32(1);
    } else if (args.is("--duration")) {
      o.duration = seconds(cli::toNumber(args.value(), option, 0.001, 1e9));
    } else if (args.is("--count")) {
      o.count = cli::toUnsigned(args.value(), option, 1, UINT64_MAX);
    } else if (args.is("--retry")) {
      o.retry = seconds(cli::toNumber(args.value(), option, 0, 86400));
    } else if (args.is("--reconnect")) {
      o.reconnect = args.flag();
    } else if (args.is("--record")) {
      o.record = args.value();
      if (o.record.empty()) throw cli::UsageError("--record needs a file name");
    } else if (args.is("--capture")) {
      o.capture = args.value();
      if (o.capture.empty()) throw cli::UsageError("--capture needs a file name");
    } else if (args.is("--quiet")) {
      o.quiet = args.flag();
    } else if (args.isOption()) {
      throw cli::UsageError("unknown option " + option);
    } else if (o.address.empty()) {
      o.address = std::string(args.current());
    } else {
      throw cli::UsageError("unexpected argument '" + std::string(args.current()) + "'");
    }
  }
  if (o.help) return o;
  if (o.address.empty()) throw cli::UsageError("the board's ADDRESS is missing");
  if (o.duration && o.count != 0) throw cli::UsageError("--duration and --count exclude each other");
  if (!o.record.empty() && !monitor::Recorder::available()) {
    throw cli::UsageError("--record: this build of varnel-monitor has no HDF5 recording");
  }
  if (!monitor::NatsSource::names(o.address)) o.addresses = cli::resolveHost(o.address);
  return o;
}

// ---------------------------------------------------------------- statistics

struct Totals {
  std::uint64_t packages = 0;
  std::uint64_t streams = 0;  // hand-overs that carried packages
  std::uint64_t emptyHandOvers = 0;
  std::uint64_t bytes = 0;
  std::uint64_t gaps = 0;                  // jumps in headerValue
  std::uint64_t missing = 0;               // package numbers left out by forward jumps
  std::uint64_t gapsAcrossReconnects = 0;  // jumps from one connection's last package to the next's first
};

// The package numbers left out by forward jumps, as ranges: the first few
// kept for the summary, all counted.
struct MissingNumbers {
  static constexpr std::size_t kept = 20;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> first;  // first and last number of each range
  std::uint64_t ranges = 0;
};

// What the callback shares with the main thread.
struct Shared {
  std::mutex mutex;
  std::condition_variable changed;
  Totals totals;
  MissingNumbers missing;
  std::shared_ptr<const mirt::OstraDataPackage> latest;
  bool countReached = false;
  int stopSignal = 0;
};

// The library's callback, on the I/O thread of the parser that is
// connected: takes every package out of the stream (none is left for the
// library to drop), counts it, keeps only the latest for the status line
// and, when recording, queues them all for the recorder (which never waits
// for the file). Packages past --count are released unseen.
class Receiver {
 public:
  Receiver(Shared& shared, monitor::Recorder* recorder, std::uint64_t countLimit)
      : shared_(shared), recorder_(recorder), countLimit_(countLimit == 0 ? UINT64_MAX : countLimit) {}

  /// Called by the main thread before every connect: the next package is
  /// the first of a new connection. No callback runs meanwhile (the last
  /// connection has failed, or there was none), and connecting orders this
  /// before the next callback.
  void startConnection() { firstOfConnection_ = true; }

  void operator()(mirt::OstraDataStream* stream) {
    const double receiveTime =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    const bool counting = counted_ < countLimit_;
    Totals add;
    std::shared_ptr<const mirt::OstraDataPackage> last;
    ranges_.clear();
    while (counted_ < countLimit_) {
      std::shared_ptr<const mirt::OstraDataPackage> package = stream->pop();
      if (!package) break;
      ++counted_;
      ++add.packages;
      std::uint64_t samples = 0;
      for (std::size_t c = 0; c < package->getChannelCount(); ++c) samples += package->getWaveform(c).size();
      add.bytes += 128 + 4 * samples;
      const std::uint64_t number = package->getMetaData().headerValue;
      if (lastNumber_ && number != *lastNumber_ + 1) {
        ++add.gaps;
        if (firstOfConnection_) ++add.gapsAcrossReconnects;
        if (number > *lastNumber_) {
          add.missing += number - *lastNumber_ - 1;
          ranges_.emplace_back(*lastNumber_ + 1, number - 1);
        }
      }
      lastNumber_ = number;
      firstOfConnection_ = false;
      if (recorder_ != nullptr) received_.push_back(package);
      last = std::move(package);
    }
    while (stream->pop()) {
    }
    if (!counting) return;
    if (recorder_ != nullptr && !received_.empty()) recorder_->add(received_, receiveTime);
    if (add.packages != 0) {
      add.streams = 1;
    } else {
      add.emptyHandOvers = 1;
    }
    {
      std::lock_guard lock(shared_.mutex);
      Totals& t = shared_.totals;
      t.packages += add.packages;
      t.streams += add.streams;
      t.emptyHandOvers += add.emptyHandOvers;
      t.bytes += add.bytes;
      t.gaps += add.gaps;
      t.missing += add.missing;
      t.gapsAcrossReconnects += add.gapsAcrossReconnects;
      MissingNumbers& m = shared_.missing;
      for (const auto& range : ranges_) {
        if (m.first.size() < MissingNumbers::kept) m.first.push_back(range);
        ++m.ranges;
      }
      if (last) std::swap(shared_.latest, last);
      shared_.countReached = counted_ == countLimit_;
    }
    shared_.changed.notify_all();
    // `last` now holds the package that was latest before; released here,
    // outside the lock.
  }

 private:
  Shared& shared_;
  monitor::Recorder* recorder_;
  const std::uint64_t countLimit_;
  // Only touched on the I/O thread, and by startConnection between connections.
  std::uint64_t counted_ = 0;
  std::optional<std::uint64_t> lastNumber_;
  bool firstOfConnection_ = true;
  std::vector<std::shared_ptr<const mirt::OstraDataPackage>> received_;  // reused
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges_;          // likewise
};

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

const char* codeName(int code) {
  switch (code) {
    case mirt::VarnelException::Unspecified:
      return "Unspecified";
    case mirt::VarnelException::ConnectionFailed:
      return "ConnectionFailed";
    case mirt::VarnelException::CommunicationError:
      return "CommunicationError";
    case mirt::VarnelException::GeneralError:
      return "GeneralError";
    case mirt::VarnelException::VersionMismatch:
      return "VersionMismatch";
  }
  return "unknown";
}

std::string format(const char* pattern, auto... values) {
  char text[256];
  std::snprintf(text, sizeof text, pattern, values...);
  return text;
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

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
            << "bytes: " << t.bytes << " (library: " << library.bytes << ")\n"
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
                      static_cast<double>(t.bytes) / s / 1e6)
            << std::flush;
}

// ---------------------------------------------------------------- signals

#if defined(_WIN32)
// Ctrl-C and Ctrl-Break (as SIGINT) and the console's closing (as SIGTERM)
// reach the console's control handler, which Windows runs on a thread of
// its own; it wakes the main thread. A second one ends the process at once.
class SignalWatcher {
 public:
  explicit SignalWatcher(Shared& shared) {
    watched.store(&shared);
    ::SetConsoleCtrlHandler(onControl, TRUE);
  }
  ~SignalWatcher() {
    ::SetConsoleCtrlHandler(onControl, FALSE);
    watched.store(nullptr);
  }
  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

 private:
  static BOOL WINAPI onControl(DWORD event) {
    int number = 0;
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) number = SIGINT;
    if (event == CTRL_CLOSE_EVENT) number = SIGTERM;
    Shared* shared = watched.load();
    if (number == 0 || shared == nullptr) return FALSE;
    std::unique_lock lock(shared->mutex);
    if (shared->stopSignal != 0) std::_Exit(128 + number);
    shared->stopSignal = number;
    lock.unlock();
    shared->changed.notify_all();
    return TRUE;
  }
  static inline std::atomic<Shared*> watched{nullptr};
};
#else
// SIGINT and SIGTERM are blocked in every thread (the library's threads
// inherit the mask) and taken by one thread with sigwait, which wakes the
// main thread. A second signal ends the process at once.
class SignalWatcher {
 public:
  explicit SignalWatcher(Shared& shared) {
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    sigaddset(&set_, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &set_, nullptr);
    thread_ = std::thread([this, &shared] {
      for (;;) {
        int number = 0;
        if (sigwait(&set_, &number) != 0 || number == SIGUSR1) return;
        std::unique_lock lock(shared.mutex);
        if (shared.stopSignal != 0) std::_Exit(128 + number);
        shared.stopSignal = number;
        lock.unlock();
        shared.changed.notify_all();
      }
    });
  }
  ~SignalWatcher() {
    pthread_kill(thread_.native_handle(), SIGUSR1);
    thread_.join();
  }
  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

 private:
  sigset_t set_{};
  std::thread thread_;
};
#endif

// ---------------------------------------------------------------- run

// A failure as the library reports it: its code and cause to act on, its
// text to show.
struct Failure {
  int code;
  std::string text;
  mirt::FailureCause cause = mirt::FailureCause::None;
};

Failure failureOf(const mirt::VarnelException& e) {
  return Failure{static_cast<int>(e.getErrorCode()), e.what(), e.getFailureCause()};
}

std::optional<Failure> recordedError(mirt::Varnel& parser) {
  try {
    parser.getAsyncError();
  } catch (const mirt::VarnelException& e) {
    return failureOf(e);
  }
  return std::nullopt;
}

std::string failureText(const Failure& f) {
  return "error " + std::to_string(f.code) + " (" + codeName(f.code) + "): " + f.text;
}

int reportFailure(const Failure& f) {
  std::cerr << "varnel-monitor: " << failureText(f) << std::endl;
  return 10 + f.code;
}

// The board ended the connection in order.
bool closedByBoard(const Failure& f) {
  return f.cause == mirt::FailureCause::ClosedBetweenPackages ||
         f.cause == mirt::FailureCause::ClosedInsidePackage;
}

// Says so when the board closed the connection, with the complete packages
// the connection brought, and whether between two packages or inside one
// (its header or body). A board that serves another client closes the
// connection of a second one before sending it anything.
void reportClose(const Failure& f, std::uint64_t packages) {
  if (f.cause == mirt::FailureCause::ClosedBetweenPackages && packages == 0) {
    std::cerr << "varnel-monitor: the board closed the connection before a complete package (a board "
                 "that is serving another client turns a second one away)"
              << std::endl;
  } else if (f.cause == mirt::FailureCause::ClosedBetweenPackages) {
    std::cerr << "varnel-monitor: the board closed the connection after "
              << cli::counted(packages, "complete package") << ", between two packages" << std::endl;
  } else if (f.cause == mirt::FailureCause::ClosedInsidePackage) {
    std::cerr << "varnel-monitor: the board closed the connection inside a package, after "
              << cli::counted(packages, "complete package") << std::endl;
  }
}

// The board's parsers: one per address its name resolved to (one for a
// numeric address), with the same callback and settings. A connect tries
// them in turn, beginning with the one that connected last.
class Board {
 public:
  Board(const Options& options, Receiver& receiver, capture::CaptureWriter* capture)
      : addresses_(options.addresses) {
    for (const std::string& address : addresses_) {
      parsers_.push_back(
          mirt::createVarnel(address, [&receiver](mirt::OstraDataStream* stream) { receiver(stream); }));
      mirt::Varnel& parser = *parsers_.back();
      if (capture != nullptr) {
        parser.setReceiveObserver([capture](const mirt::ReceivedBytes& bytes) { capture->observe(bytes); });
      }
      if (options.packageCounter) parser.setPackageCounter(*options.packageCounter);
      if (options.waitMs) parser.setWaitTimeMs(*options.waitMs);
      if (options.tcpTimeout) parser.setTcpTimeout(*options.tcpTimeout);
    }
  }

  /// Nothing once a parser is connected (also when its board failed the
  /// connection at once: that failure is taken like any later one). Else
  /// the last address's connect failure, as recorded: the board was never
  /// reached (refused, unreachable, no answer, reset while connecting).
  std::optional<Failure> connect() {
    std::optional<Failure> failure;
    for (std::size_t i = 0; i < parsers_.size(); ++i) {
      const std::size_t k = (current_ + i) % parsers_.size();
      mirt::Varnel& parser = *parsers_[k];
      try {
        parser.connect();
        current_ = k;
        return std::nullopt;
      } catch (const mirt::VarnelException& e) {
        failure = recordedError(parser).value_or(failureOf(e));
      }
      try {
        parser.disconnect();  // throws the recorded error again; a new connect starts afresh
      } catch (const mirt::VarnelException&) {
      }
    }
    return failure;
  }

  mirt::Varnel& parser() { return *parsers_[current_]; }

  /// The library's figures of all the parsers together.
  mirt::VarnelStatistics statistics() const {
    mirt::VarnelStatistics sum{};
    for (const auto& parser : parsers_) {
      const mirt::VarnelStatistics s = parser->getStatistics();
      sum.connections += s.connections;
      sum.failures += s.failures;
      sum.packages += s.packages;
      sum.bytes += s.bytes;
      sum.handOvers += s.handOvers;
      sum.emptyHandOvers += s.emptyHandOvers;
      sum.largestHandOver = std::max(sum.largestHandOver, s.largestHandOver);
      sum.packagesNotPopped += s.packagesNotPopped;
      sum.callbackTotalNs += s.callbackTotalNs;
      sum.callbackLongestNs = std::max(sum.callbackLongestNs, s.callbackLongestNs);
    }
    return sum;
  }
  const std::string& address() const { return addresses_[current_]; }

 private:
  std::vector<std::string> addresses_;
  std::vector<std::unique_ptr<mirt::Varnel>> parsers_;
  std::size_t current_ = 0;
};

// --reconnect: the wait before the first try, and the most it grows to.
constexpr Clock::duration firstBackOff = 100ms;
constexpr Clock::duration longestBackOff = 5s;

void printRecording(const std::string& path, const monitor::RecordingFigures& r) {
  std::cout << "recorded: " << cli::counted(r.recorded, "package") << " of " << r.channels << " ch x "
            << r.samplesPerChannel << " to " << path << " (" << r.fileBytes << " bytes)\n"
            << "dropped: " << r.dropped << " (recording queue full)\n"
            << "skipped: " << r.skipped << " (other shape than the first package)\n";
  if (r.notRecorded != 0) std::cout << "not recorded: " << r.notRecorded << " (the recording had failed)\n";
  std::cout << std::flush;
  if (r.dropped != 0) {
    std::cerr << "varnel-monitor: " << cli::counted(r.dropped, "package")
              << " not recorded: the writer could not keep up" << std::endl;
  }
}

int recordingFailure(const std::string& path, const std::string& text) {
  std::cerr << "varnel-monitor: recording to " << path << " failed: " << text << std::endl;
  return 1;
}

int captureFailure(const std::string& path, const std::string& text) {
  std::cerr << "varnel-monitor: capture to " << path << " failed: " << text << std::endl;
  return 1;
}

int run(const Options& options) {
  Shared shared;
  const SignalWatcher signals(shared);

  // Made before the parser, whose callback uses it, and destroyed after it.
  std::unique_ptr<monitor::Recorder> recorder;
  if (!options.record.empty()) {
    try {
      recorder = std::make_unique<monitor::Recorder>(
          monitor::RecordingSettings{options.record, options.address, options.packageCounter.value_or(25),
                                     options.waitMs.value_or(250), options.tcpTimeout.value_or(10)});
    } catch (const std::exception& e) {
      return recordingFailure(options.record, e.what());
    }
  }

  // Likewise the capture, which the parsers' receive observers feed.
  std::unique_ptr<capture::CaptureWriter> captureWriter;
  if (!options.capture.empty()) {
    try {
      captureWriter = std::make_unique<capture::CaptureWriter>(options.capture, "varnel-monitor");
    } catch (const std::exception& e) {
      return captureFailure(options.capture, e.what());
    }
  }

  // The receiver outlives the parsers, which call it.
  Receiver receiver(shared, recorder.get(), options.count);
  Board board(options, receiver, captureWriter.get());

  auto stopRequested = [&] {
    std::lock_guard lock(shared.mutex);
    return shared.stopSignal != 0;
  };
  auto packagesSoFar = [&] {
    std::lock_guard lock(shared.mutex);
    return shared.totals.packages;
  };
  auto connectedTo = [&] { return cli::describeHost(options.address, {board.address()}) + " port 63751"; };

  // A board that was reached connects even when it fails at once (its
  // first package refused, or closed after a few): the run's first turn
  // takes that as a failed connection, after the packages it brought.
  const auto retryUntil = Clock::now() + options.retry;
  // The figures count every package of the connection, so their clock
  // starts with the connect that made it: the board sends from the moment
  // the connection exists, which on a slow machine can be a good while
  // before connect() returns here.
  auto start = Clock::now();
  for (int attempt = 1;; ++attempt) {
    start = Clock::now();
    const std::optional<Failure> failed = board.connect();
    if (!failed) break;
    if (Clock::now() >= retryUntil || stopRequested()) {
      std::cerr << "varnel-monitor: cannot connect to "
                << cli::describeHost(options.address, options.addresses) << " ("
                << cli::counted(static_cast<std::uint64_t>(attempt), "attempt") << ")" << std::endl;
      return reportFailure({mirt::VarnelException::ConnectionFailed, failed->text, failed->cause});
    }
    std::unique_lock lock(shared.mutex);
    shared.changed.wait_for(lock, 100ms, [&] { return shared.stopSignal != 0; });
  }

#if defined(_WIN32)
  const bool terminal = ::_isatty(::_fileno(stdout)) != 0;
#else
  const bool terminal = ::isatty(STDOUT_FILENO) == 1;
#endif
  if (!options.quiet) std::cout << "connected to " << connectedTo() << std::endl;
  const Clock::time_point end = options.duration ? start + *options.duration : Clock::time_point::max();
  auto nextStatus = start + 1s;
  auto lastStatus = start;
  Totals before;
  bool statusShown = false;
  std::string shownBoard;
  const char* stopped = "interrupted";
  bool countReached = false;
  std::optional<Failure> failure;
  std::uint64_t closedAfter = 0;  // packages of the connection that failed
  std::optional<std::string> recordingError;
  // --reconnect: the connections made after the first, the time of the next
  // try while the connection is down (never: connected), and the wait after
  // that try.
  constexpr Clock::time_point never = Clock::time_point::max();
  std::uint64_t reconnects = 0;
  Clock::time_point reconnectAt = never;
  Clock::duration backOff = firstBackOff;
  std::uint64_t packagesBefore = 0;  // of the connections before this one

  // Bounded by the run's end, a signal, the count or a failure (or, with
  // --reconnect, only by the first three); each turn waits at most 50 ms,
  // the time in which a failure is noticed, and at most one connect.
  for (;;) {
    std::unique_lock lock(shared.mutex);
    const auto until = std::min({nextStatus, Clock::now() + 50ms, end});
    shared.changed.wait_until(lock, until, [&] { return shared.stopSignal != 0 || shared.countReached; });
    if (shared.stopSignal != 0) {
      stopped = shared.stopSignal == SIGTERM ? "terminated (SIGTERM)" : "interrupted (SIGINT)";
      break;
    }
    if (shared.countReached) {
      stopped = "count reached";
      countReached = true;
      break;
    }
    lock.unlock();
    const auto now = Clock::now();
    if (now >= end) {
      stopped = "duration over";
      break;
    }
    if (now >= reconnectAt) {
      packagesBefore = packagesSoFar();
      receiver.startConnection();
      const std::optional<Failure> failed = board.connect();
      if (!failed) {
        reconnectAt = never;
        ++reconnects;
        if (!options.quiet) std::cout << "connected again to " << connectedTo() << std::endl;
      } else {
        std::cerr << "varnel-monitor: connecting again failed: " << failed->text << "; next try in "
                  << format("%.1f s", seconds(backOff)) << std::endl;
        reconnectAt = Clock::now() + backOff;
        backOff = std::min(2 * backOff, longestBackOff);
      }
    }
    const mirt::ConnectionState state = board.parser().getState();
    if (state == mirt::ConnectionState::Error && reconnectAt == never) {
      const Failure f = recordedError(board.parser()).value_or(Failure{0, "unknown failure"});
      const std::uint64_t packages = packagesSoFar() - packagesBefore;
      if (!options.reconnect) {
        stopped = closedByBoard(f) ? "board closed the connection" : "error";
        failure = f;
        closedAfter = packages;
        break;
      }
      reportClose(f, packages);
      if (packages != 0) backOff = firstBackOff;
      std::cerr << "varnel-monitor: " << failureText(f) << "; connecting again in "
                << format("%.1f s", seconds(backOff)) << std::endl;
      reconnectAt = now + backOff;
      backOff = std::min(2 * backOff, longestBackOff);
    }
    if (recorder && (recordingError = recorder->failure())) {
      stopped = "recording failed";
      break;
    }
    if (now >= nextStatus) {
      lock.lock();
      const Totals totals = shared.totals;
      const std::string line = statusLine(state, seconds(now - start), totals, before,
                                          seconds(now - lastStatus), shared.latest.get(), terminal);
      const std::string board = shared.latest ? boardLine(*shared.latest) : std::string();
      lock.unlock();
      before = totals;
      lastStatus = now;
      nextStatus += 1s;
      if (now > nextStatus) nextStatus = now + 1s;
      if (options.quiet) continue;
      if (terminal) {
        if (board != shownBoard) {
          std::cout << "\r\x1b[Kboard: " << board << '\n';
          shownBoard = board;
        }
        std::cout << '\r' << line.substr(0, terminalWidth() - 1) << "\x1b[K" << std::flush;
        statusShown = true;
      } else {
        std::cout << line << std::endl;
      }
    }
  }
  const auto elapsed = Clock::now() - start;
  if (statusShown) std::cout << std::endl;  // ends the refreshed line before anything else is printed

  // A failure that the disconnect reports first ends the run with its code,
  // unless it came after the count was reached (all was received) or
  // --reconnect takes failures as part of the run.
  try {
    board.parser().disconnect();
  } catch (const mirt::VarnelException& e) {
    if (!failure && !options.reconnect && !countReached) {
      failure = failureOf(e);
      closedAfter = packagesSoFar() - packagesBefore;
      stopped = "error";
    }
  }
  Totals totals;
  MissingNumbers missing;
  {
    std::lock_guard lock(shared.mutex);
    totals = shared.totals;
    missing = shared.missing;
  }
  printSummary(totals, missing, board.statistics(),
               options.reconnect ? std::optional(reconnects) : std::nullopt, elapsed, stopped);
  if (recorder) {
    printRecording(options.record, recorder->finish());
    recordingError = recorder->failure();  // now with what the file holds
  }
  std::optional<std::string> captureError;
  if (captureWriter) {
    // Every connection has ended: the last event of the observers is in.
    const capture::CaptureFigures c = captureWriter->finish();
    captureError = captureWriter->failure();
    std::cout << "captured: " << cli::counted(c.bytes, "byte") << " of "
              << cli::counted(c.connections, "connection") << " to " << options.capture << " (" << c.fileBytes
              << " bytes)\n"
              << std::flush;
  }
  if (failure) {
    reportClose(*failure, closedAfter);
    if (captureError) captureFailure(options.capture, *captureError);
    return reportFailure(*failure);
  }
  if (captureError) return captureFailure(options.capture, *captureError);
  return recordingError ? recordingFailure(options.record, *recordingError) : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const auto start = cli::readCommandLine<Options>("varnel-monitor", usageText, argc, argv, parse);
  if (const int* status = std::get_if<int>(&start)) return *status;
  Options options = std::get<Options>(start);
  try {
    std::unique_ptr<monitor::NatsSource> nats;  // serves the subject to the parser; outlives it
    if (monitor::NatsSource::names(options.address)) {
      nats = std::make_unique<monitor::NatsSource>(options.address);
      options.addresses = {nats->address()};
    }
    return run(options);
  } catch (const mirt::VarnelException& e) {
    return reportFailure(failureOf(e));
  } catch (const std::exception& e) {
    std::cerr << "varnel-monitor: " << e.what() << std::endl;
    return 1;
  }
}
