// varnel-soak: a long run of parsers against streaming boards on loopback,
// with connect/disconnect cycles (and, if asked, connections the board
// drops) mixed in. Every package is checked for its numbering and content;
// resident memory, threads and descriptors are printed at the start, once
// per interval and at the end, so that growth shows.
//
//   varnel-soak [--duration S] [--boards N] [--cycle-every S] [--interval S]
//               [--rate P] [--drop-every S]
//
// Board i listens on 127.0.4.(i + 2). It numbers its packages
// (connection << 32 | sequence), both counted from 1, so a parser must see,
// per board, a sequence whose connections never go back and whose sequence
// numbers go 1, 2, 3, ... within each connection: packages read but not yet
// handed over when a connection ends come first with the next one.
//
// Exit status 0 when no package was out of order or corrupted, no error
// other than the board's own drops was recorded, and the process holds as
// many threads and descriptors at the end as at the start.
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ProcessFigures.hpp"
#include "Timing.hpp"
#include "boardsim/Net.hpp"
#include "boardsim/PackageBuilder.hpp"
#include "varnel/varnel.hpp"

namespace {

using bench::Clock;
using namespace std::chrono_literals;
namespace net = boardsim::net;

constexpr std::uint32_t channels = 2;
constexpr std::uint32_t samplesPerChannel = 16;
constexpr std::uint64_t endOfStreamEvery = 64;

struct Options {
  double duration = 180;
  unsigned boards = 4;
  double cycleEvery = 5;
  double interval = 10;
  double rate = 2000;  // packages per second and board
  double dropEvery = 0;
};

[[noreturn]] void usage(const char* message) {
  std::fprintf(stderr,
               "%s\nusage: varnel-soak [--duration S] [--boards N] [--cycle-every S] [--interval S] "
               "[--rate P] [--drop-every S]\n",
               message);
  std::exit(2);
}

Options parseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (i + 1 >= argc) usage(("missing value for " + name).c_str());
    char* end = nullptr;
    const double value = std::strtod(argv[++i], &end);
    if (end == argv[i] || *end != '\0' || value < 0) usage(("bad value for " + name).c_str());
    if (name == "--duration") {
      o.duration = value;
    } else if (name == "--boards") {
      o.boards = static_cast<unsigned>(value);
    } else if (name == "--cycle-every") {
      o.cycleEvery = value;
    } else if (name == "--interval") {
      o.interval = value;
    } else if (name == "--rate") {
      o.rate = value;
    } else if (name == "--drop-every") {
      o.dropEvery = value;
    } else {
      usage(("unknown option " + name).c_str());
    }
  }
  if (o.boards < 1 || o.boards > 200) usage("--boards must lie between 1 and 200");
  if (o.interval <= 0 || o.rate <= 0) usage("--interval and --rate must be positive");
  return o;
}

Clock::duration toDuration(double seconds) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// ------------------------------------------------------------ process

std::size_t entries(const char* dir) {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) ++n;
  return n;
}

struct Resources {
  long rssKiB = bench::vmRssKiB();
  std::size_t threads = entries("/proc/self/task");
  std::size_t fds = entries("/proc/self/fd");
};

// -------------------------------------------------------------- board

std::string boardAddress(unsigned i) { return "127.0.4." + std::to_string(i + 2); }

std::uint64_t numberOf(std::uint64_t connection, std::uint64_t sequence) {
  return connection << 32 | sequence;
}

// A board that streams numbered packages at a fixed rate to one client
// after another, and notices when the client closes. Not a
// boardsim::BoardServer: its numbers restart with every connection, which
// makes the order check exact, and its drops reset the connection at set
// times with data still in flight.
class SoakBoard {
 public:
  // Listens on `address`; throws std::system_error or std::invalid_argument
  // naming it. The first drop comes after `firstDrop` seconds, then one
  // every `dropEvery` seconds (0: never).
  SoakBoard(const std::string& address, double rate, double dropEvery, double firstDrop)
      : rate_(rate), dropEvery_(dropEvery), listener_(net::makeListener(address, net::boardPort, 4, who)) {
    if (dropEvery > 0) nextDrop_ = Clock::now() + toDuration(firstDrop);
    thread_ = std::thread([this] { run(); });
  }
  ~SoakBoard() {
    stopping_ = true;
    wake_.wake();
    thread_.join();
    net::closeFd(listener_);
  }
  SoakBoard(const SoakBoard&) = delete;
  SoakBoard& operator=(const SoakBoard&) = delete;

  std::uint64_t drops() const { return drops_.load(); }

 private:
  static constexpr const char* who = "varnel-soak";

  void run() {
    std::uint64_t connection = 0;
    try {
      while (!stopping_) {
        if (!net::waitReady(wake_.readFd(), -1, false, listener_, std::nullopt).listener) continue;
        int client = net::acceptConnection(listener_, who);
        if (client < 0) continue;
        stream(client, ++connection);
        net::closeFd(client);
      }
    } catch (const std::exception& e) {
      std::fprintf(stderr, "varnel-soak: a board stopped: %s\n", e.what());
    }
  }

  // Sends until the client closes, the board drops the connection or the
  // board stops.
  void stream(int client, std::uint64_t connection) {
    const auto start = Clock::now();
    std::uint64_t sequence = 0;
    boardsim::Bytes pending;
    std::size_t sentOfPending = 0;
    while (!stopping_) {
      const auto now = Clock::now();
      const double elapsed = bench::secondsSince(start, now);
      // A drop is due, unless the connection is younger than a second:
      // then it comes one interval later.
      if (now >= nextDrop_ && now - start < 1s) nextDrop_ += toDuration(dropEvery_);
      if (now >= nextDrop_) {
        net::setAbortiveClose(client);
        ++drops_;
        nextDrop_ += toDuration(dropEvery_);
        return;
      }
      const auto due = static_cast<std::uint64_t>(elapsed * rate_);
      // Once everything is out, refill with the packages due, at most 256.
      if (sentOfPending == pending.size()) {
        pending.clear();
        sentOfPending = 0;
      }
      for (int i = 0; i < 256 && sentOfPending == 0 && sequence < due; ++i) {
        ++sequence;
        auto spec =
            boardsim::numberedPackages(numberOf(connection, sequence), 1, channels, samplesPerChannel)[0];
        if (sequence % endOfStreamEvery == 0) spec.endOfStream();
        const boardsim::Bytes bytes = boardsim::encode(spec);
        pending.insert(pending.end(), bytes.begin(), bytes.end());
      }
      if (sentOfPending < pending.size()) {
        const ssize_t n = ::send(client, pending.data() + sentOfPending, pending.size() - sentOfPending,
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
          sentOfPending += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
          return;  // the client is gone
        }
      }
      const net::Readiness r =
          net::waitReady(wake_.readFd(), client, sentOfPending < pending.size(), -1, Clock::now() + 1ms);
      if (r.input && net::peerHasClosed(client)) return;
    }
  }

  const double rate_;
  const double dropEvery_;
  // The board drops whatever connection it serves at these moments.
  Clock::time_point nextDrop_ = Clock::time_point::max();
  net::WakePipe wake_;
  int listener_ = -1;
  std::atomic<bool> stopping_{false};
  std::atomic<std::uint64_t> drops_{0};
  std::thread thread_;
};

// ------------------------------------------------------------- parser

// One parser and the check of everything it hands over. The checking state
// is used on the parser's I/O thread only (one connection at a time, each
// joined before the next starts); the counters are read by the main thread.
class SoakParser {
 public:
  explicit SoakParser(const std::string& address) : address_(address) {
    varnel_ = mirt::createVarnel(address, [this](mirt::OstraDataStream* s) { onStream(s); });
    varnel_->setTcpTimeout(5);
    varnel_->setPackageCounter(25);
    varnel_->setWaitTimeMs(20);
  }

  mirt::Varnel& operator*() { return *varnel_; }
  const std::string& address() const { return address_; }
  std::uint64_t packages() const { return packages_.load(); }
  std::uint64_t handOvers() const { return handOvers_.load(); }
  std::uint64_t misordered() const { return misordered_.load(); }
  std::uint64_t corrupted() const { return corrupted_.load(); }
  std::string firstProblem() {
    std::lock_guard lock(problemMutex_);
    return problem_;
  }

 private:
  void onStream(mirt::OstraDataStream* stream) {
    ++handOvers_;
    while (auto p = stream->pop()) {
      check(*p);
      ++packages_;
    }
  }

  void check(const mirt::OstraDataPackage& p) {
    const std::uint64_t number = p.getMetaData().headerValue;
    const std::uint64_t connection = number >> 32;
    const std::uint64_t sequence = number & 0xFFFFFFFFu;
    const bool inOrder = connection == lastConnection_ ? sequence == lastSequence_ + 1
                                                       : connection > lastConnection_ && sequence == 1;
    if (!inOrder) {
      ++misordered_;
      note("package " + std::to_string(connection) + "/" + std::to_string(sequence) + " after " +
           std::to_string(lastConnection_) + "/" + std::to_string(lastSequence_));
    }
    lastConnection_ = connection;
    lastSequence_ = sequence;
    bool intact = p.getChannelCount() == channels && p.getSize() == samplesPerChannel;
    for (std::uint32_t c = 0; intact && c < channels; ++c) {
      intact = p.getWaveformType(c) == c + 1 &&
               p.getWaveform(c) == boardsim::numberedSamples(number, c, samplesPerChannel);
    }
    if (!intact) {
      ++corrupted_;
      note("package " + std::to_string(connection) + "/" + std::to_string(sequence) + " corrupted");
    }
  }

  void note(const std::string& problem) {
    std::lock_guard lock(problemMutex_);
    if (problem_.empty()) problem_ = problem;
  }

  std::string address_;
  std::unique_ptr<mirt::Varnel> varnel_;
  std::uint64_t lastConnection_ = 0;
  std::uint64_t lastSequence_ = 0;
  std::atomic<std::uint64_t> packages_{0};
  std::atomic<std::uint64_t> handOvers_{0};
  std::atomic<std::uint64_t> misordered_{0};
  std::atomic<std::uint64_t> corrupted_{0};
  std::mutex problemMutex_;
  std::string problem_;
};

// ---------------------------------------------------------------- run

struct Totals {
  std::uint64_t packages = 0;
  std::uint64_t handOvers = 0;
  std::uint64_t misordered = 0;
  std::uint64_t corrupted = 0;
};

Totals totals(const std::vector<std::unique_ptr<SoakParser>>& parsers) {
  Totals t;
  for (const auto& p : parsers) {
    t.packages += p->packages();
    t.handOvers += p->handOvers();
    t.misordered += p->misordered();
    t.corrupted += p->corrupted();
  }
  return t;
}

void printLine(const char* label, double seconds, const Totals& t, std::uint64_t cycles,
               std::uint64_t expectedErrors, std::uint64_t unexpectedErrors, const Resources& r) {
  std::printf(
      "%-14s t=%7.1fs packages=%-11llu hand-overs=%-9llu cycles=%-6llu board-drops=%-5llu errors=%-4llu "
      "misordered=%llu corrupted=%llu rss=%ldKiB threads=%zu fds=%zu\n",
      label, seconds, static_cast<unsigned long long>(t.packages),
      static_cast<unsigned long long>(t.handOvers), static_cast<unsigned long long>(cycles),
      static_cast<unsigned long long>(expectedErrors), static_cast<unsigned long long>(unexpectedErrors),
      static_cast<unsigned long long>(t.misordered), static_cast<unsigned long long>(t.corrupted), r.rssKiB,
      r.threads, r.fds);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parseOptions(argc, argv);
  std::thread([] {}).join();  // a sanitizer runtime starts its helper thread here
  const Resources atStart;
  char drops[64] = "";
  if (options.dropEvery > 0)
    std::snprintf(drops, sizeof drops, ", the boards drop a connection every %g s", options.dropEvery);
  std::printf("varnel-soak: %u boards at 127.0.4.2.., %g packages/s each, %g s, a cycle every %g s%s\n",
              options.boards, options.rate, options.duration, options.cycleEvery, drops);
  printLine("start", 0, {}, 0, 0, 0, atStart);

  std::vector<std::unique_ptr<SoakBoard>> boards;
  try {
    for (unsigned i = 0; i < options.boards; ++i) {
      // Drops spread over the interval, one board after the other.
      const double firstDrop = options.dropEvery * (i + 1) / options.boards;
      boards.push_back(
          std::make_unique<SoakBoard>(boardAddress(i), options.rate, options.dropEvery, firstDrop));
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  std::vector<std::unique_ptr<SoakParser>> parsers;
  for (unsigned i = 0; i < options.boards; ++i)
    parsers.push_back(std::make_unique<SoakParser>(boardAddress(i)));

  std::uint64_t cycles = 0;
  std::uint64_t expectedErrors = 0;
  std::uint64_t unexpectedErrors = 0;
  std::string firstError;
  const auto unexpected = [&](const std::string& where, const std::string& what) {
    ++unexpectedErrors;
    if (firstError.empty()) firstError = where + ": " + what;
  };
  const auto droppedByBoard = [&](const std::string& what) {
    return options.dropEvery > 0 && what.find("reset by peer") != std::string::npos;
  };
  // Connects, trying again (after the disconnect that a failed connect
  // needs) when the board dropped the connection at once.
  const auto connect = [&](SoakParser& p) {
    for (int attempt = 0; attempt < 3; ++attempt) {
      try {
        (*p).connect();
        return;
      } catch (const std::exception& e) {
        if (!droppedByBoard(e.what())) {
          unexpected(p.address() + " connect", e.what());
          return;
        }
        ++expectedErrors;
      }
      try {
        (*p).disconnect();
      } catch (const std::exception&) {
        // the same error again
      }
    }
    unexpected(p.address() + " connect", "the board dropped three connections in a row");
  };
  // Disconnects; a recorded error is expected only when the board dropped
  // the connection.
  const auto disconnect = [&](SoakParser& p) {
    try {
      (*p).disconnect();
    } catch (const mirt::VarnelException& e) {
      const std::string what = e.what();
      if (droppedByBoard(what)) {
        ++expectedErrors;
      } else {
        unexpected(p.address() + " disconnect", what);
      }
    } catch (const std::exception& e) {
      unexpected(p.address() + " disconnect", e.what());
    }
  };

  const auto start = Clock::now();
  const auto seconds = [&] { return bench::secondsSince(start, Clock::now()); };
  for (auto& p : parsers) connect(*p);
  printLine("connected", seconds(), totals(parsers), cycles, expectedErrors, unexpectedErrors, Resources{});

  const auto end = start + toDuration(options.duration);
  auto nextReport = start + toDuration(options.interval);
  auto nextCycle = options.cycleEvery > 0 ? start + toDuration(options.cycleEvery) : Clock::time_point::max();
  std::size_t nextToCycle = 0;
  long firstIntervalRss = -1;
  while (Clock::now() < end) {
    std::this_thread::sleep_until(std::min({nextReport, nextCycle, end, Clock::now() + 100ms}));
    for (auto& p : parsers) {
      if ((**p).getState() == mirt::ConnectionState::Error) {
        disconnect(*p);
        connect(*p);
      }
    }
    if (Clock::now() >= nextCycle) {
      SoakParser& p = *parsers[nextToCycle];
      nextToCycle = (nextToCycle + 1) % parsers.size();
      disconnect(p);
      connect(p);
      ++cycles;
      nextCycle += toDuration(options.cycleEvery);
    }
    if (Clock::now() >= nextReport) {
      const Resources now;
      if (firstIntervalRss < 0) firstIntervalRss = now.rssKiB;
      printLine("interval", seconds(), totals(parsers), cycles, expectedErrors, unexpectedErrors, now);
      nextReport += toDuration(options.interval);
    }
  }

  const Totals final = totals(parsers);
  const double elapsed = seconds();
  const Resources streaming;
  for (auto& p : parsers) disconnect(*p);
  for (auto& p : parsers) {
    if (!p->firstProblem().empty())
      std::printf("  %s: %s\n", p->address().c_str(), p->firstProblem().c_str());
  }
  parsers.clear();
  printLine("end", elapsed, final, cycles, expectedErrors, unexpectedErrors, streaming);
  boards.clear();
  // Let the last threads of the library and of the boards finish exiting.
  Resources atEnd;
  for (int i = 0; i < 100 && (atEnd.threads != atStart.threads || atEnd.fds != atStart.fds); ++i) {
    std::this_thread::sleep_for(10ms);
    atEnd = Resources{};
  }
  printLine("released", elapsed, final, cycles, expectedErrors, unexpectedErrors, atEnd);
  std::printf("rate: %.0f packages/s; rss first interval %ld KiB, while streaming at the end %ld KiB\n",
              static_cast<double>(final.packages) / elapsed, firstIntervalRss, streaming.rssKiB);
  if (!firstError.empty()) std::printf("first error: %s\n", firstError.c_str());

  const bool leaked = atEnd.threads != atStart.threads || atEnd.fds != atStart.fds;
  const bool ok =
      final.misordered == 0 && final.corrupted == 0 && unexpectedErrors == 0 && !leaked && final.packages > 0;
  std::printf("%s\n", ok ? "soak: OK" : "soak: FAILED");
  return ok ? 0 : 1;
}
