// varnel-bridge: receives the data streams of boards through the library
// and publishes every hand-over to NATS JetStream, where any number of
// consumers on other machines read it (varnel-board --from-nats,
// varnel-monitor nats://...). See usageText (or --help).
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bridge/BoardFeed.hpp"
#include "bridge/Publisher.hpp"
#include "common/CommandLine.hpp"
#include "common/HostName.hpp"
#include "nats/HandOver.hpp"
#include "nats/NatsLink.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* usageText = R"(usage: varnel-bridge --board ADDRESS[=NAME] [--board ...] [options]

Receives the data stream of each board through the Varnel library and
publishes every hand-over as one message to the subject varnel.NAME of a
NATS JetStream stream: the packages exactly as the board sent them, with
the headers Varnel-Board, Varnel-Count, Varnel-First and Varnel-Last (the
first and last headerValue), Varnel-Receive-First and Varnel-Receive-Last
(when the bridge received them: ns since 1970, UTC) and Nats-Msg-Id
(NAME:RUN:N, N counting the board's messages of this run of the bridge; a
message published again keeps it, so JetStream stores it once). A board's
hand-overs are stored in the order it sent them (see --window).
varnel-board --from-nats and varnel-monitor nats://... read them.

Boards:
  --board ADDRESS[=NAME]  a board (numeric IPv4 or IPv6 address or host name,
                          port 63751; a name's addresses are tried in turn)
                          published as varnel.NAME; NAME: 1 to 64
                          letters, digits, '-' and '_' (default: the
                          address with '_' for '.' and ':'); repeatable
  --package-counter N     packages per hand-over (library default 25)
  --wait-ms N             longest time between two hand-overs in
                          milliseconds (library default 250)
  --tcp-timeout S         how long connecting may take in seconds (library
                          default 10)
  A board that cannot be reached, or whose connection fails, is connected
  again: after 0.1 s, then after twice the previous wait, at most 5 s, back
  to 0.1 s once a connection brought packages.

NATS:
  --nats URL              nats://HOST[:PORT], several separated by commas
                          (the servers of a cluster); default
                          nats://127.0.0.1:4222. The connection is made
                          again by itself when it is lost.
  --stream NAME           the JetStream stream (default varnel): created
                          when missing, with the subjects varnel.> and file
                          storage (and again if it is deleted while the
                          bridge runs); an existing one must take
                          varnel.NAME of every board
  --max-age SECONDS       a new stream keeps messages this long (default: no
                          limit)
  --max-bytes BYTES       a new stream keeps at most this many bytes, the
                          oldest messages going first (default: no limit)
  --replicas N            copies of a new stream in a cluster, 1 to 5
                          (default 1)
  --duplicate-window SECONDS
                          how long a new stream remembers the id of a
                          message to drop a copy of it (default: the
                          server's, 2 minutes): a hand-over repeated after
                          a longer outage may be stored twice (the bridge
                          says so)
  --buffer BYTES          hand-overs not yet acknowledged that are kept, of
                          all boards together, while NATS is away or slow;
                          past it the oldest are dropped whole and counted
                          (default 268435456; K, M or G after the number:
                          times 1024, 1024^2, 1024^3)
  --ack-wait MS           how long a publish waits for JetStream's
                          acknowledgment before it is repeated (default 5000)
  --window N              hand-overs of one board on their way to JetStream
                          at once, 1 to 1024 (default 1: the next is sent
                          once the one before is acknowledged, which keeps
                          the board's order through every failure). More is
                          faster where acknowledgments take long, but a
                          hand-over whose publish fails is then stored
                          behind those sent after it; the summary counts
                          such hand-overs as reordered.

Run:
  --duration SECONDS      stop after SECONDS (default: until SIGINT or
                          SIGTERM)
  --drain SECONDS         at the stop, wait this long at most for the
                          hand-overs not yet acknowledged (default 10)
  --status-every SECONDS  print the summary every SECONDS (default 60; 0:
                          only at the end and on SIGUSR1)
  --quiet                 no lines on standard error but errors
  --help                  this text

Summary (standard output; at the end, on SIGUSR1 and with --status-every),
a line per board: packages and bytes received, hand-overs, published (sent
once), republished (sent again after a failure), acknowledged (stored by
JetStream, duplicates among them), dropped (from the full buffer, with their
packages), pending (not acknowledged yet) and reconnects; if any, also
the packages dropped as too large for a message of the server (raise its
max_payload) and, with --window above 1, the hand-overs stored out of order.

Exit status: 0 after a stop with every hand-over acknowledged; 1 when NATS
cannot be reached at the start or the stream cannot be made or does not
take the boards' subjects, or when the NATS client gave its connection up
for good (the server refused it, say); 2 for a wrong command line (a host name that
cannot be resolved included); 3 after a stop at which hand-overs or packages
were dropped or left unacknowledged (the summary counts them).
)";

struct BoardOption {
  std::string host;
  std::string name;
  std::vector<std::string> addresses;
};

struct Options {
  std::vector<BoardOption> boards;
  bridge::LibrarySettings library;
  bridge::PublisherSettings publisher;
  std::optional<Clock::duration> duration;
  Clock::duration drain = 10s;
  Clock::duration statusEvery = 60s;
  bool quiet = false;
  bool help = false;
};

Clock::duration seconds(double value) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(value));
}

// "256M" and the like.
// At most `most` bytes (the stream's settings are signed 64-bit numbers).
std::uint64_t byteCount(const std::string& text, const std::string& option,
                        std::uint64_t most = static_cast<std::uint64_t>(INT64_MAX)) {
  std::uint64_t unit = 1;
  std::string digits = text;
  if (!digits.empty()) {
    const char last = digits.back();
    unit = last == 'K' || last == 'k' ? 1ull << 10 : last == 'M' ? 1ull << 20 : last == 'G' ? 1ull << 30 : 1;
    if (unit != 1) digits.pop_back();
  }
  return cli::toUnsigned(digits, option, 1, most / unit) * unit;
}

BoardOption boardOption(const std::string& text) {
  BoardOption b;
  const std::size_t equals = text.find('=');
  b.host = text.substr(0, equals);
  if (equals != std::string::npos) {
    b.name = text.substr(equals + 1);
  } else {
    for (const char c : b.host) b.name += handover::validName(std::string(1, c)) ? c : '_';
  }
  if (b.host.empty()) throw cli::UsageError("--board '" + text + "' names no address");
  if (!handover::validName(b.name)) {
    throw cli::UsageError("--board: '" + b.name +
                          "' cannot name a subject (1 to 64 letters, digits, '-' and '_')");
  }
  return b;
}

Options parse(int argc, char** argv) {
  Options o;
  o.publisher.url = "nats://127.0.0.1:4222";
  cli::Arguments args(argc, argv);
  auto u32 = [&](std::uint64_t min) {
    const std::string option(args.name());
    return static_cast<std::uint32_t>(cli::toUnsigned(args.value(), option, min, UINT32_MAX));
  };
  std::set<std::string> names;
  while (args.next()) {
    const std::string option(args.name());
    if (args.is("--help")) {
      o.help = args.flag();
    } else if (args.is("--board")) {
      BoardOption b = boardOption(args.value());
      if (!names.insert(b.name).second)
        throw cli::UsageError("--board: the name '" + b.name + "' is taken twice");
      o.boards.push_back(std::move(b));
    } else if (args.is("--package-counter")) {
      o.library.packageCounter = u32(1);
    } else if (args.is("--wait-ms")) {
      o.library.waitMs = u32(1);
    } else if (args.is("--tcp-timeout")) {
      o.library.tcpTimeout = u32(1);
    } else if (args.is("--nats")) {
      o.publisher.url = args.value();
      if (!natslink::isNatsUrl(o.publisher.url)) {
        throw cli::UsageError("--nats: '" + o.publisher.url + "' is not a NATS URL (nats://HOST[:PORT])");
      }
    } else if (args.is("--stream")) {
      o.publisher.stream.name = args.value();
      if (!handover::validName(o.publisher.stream.name)) {
        throw cli::UsageError("--stream: '" + o.publisher.stream.name + "' is not a stream name");
      }
    } else if (args.is("--max-age")) {
      o.publisher.stream.maxAgeNs =
          static_cast<std::int64_t>(cli::toNumber(args.value(), option, 0.001, 3.15e9) * 1e9);
    } else if (args.is("--max-bytes")) {
      o.publisher.stream.maxBytes = static_cast<std::int64_t>(byteCount(args.value(), option));
    } else if (args.is("--duplicate-window")) {
      o.publisher.stream.duplicateWindowNs =
          static_cast<std::int64_t>(cli::toNumber(args.value(), option, 0.001, 3.15e9) * 1e9);
    } else if (args.is("--replicas")) {
      o.publisher.stream.replicas = static_cast<std::int64_t>(cli::toUnsigned(args.value(), option, 1, 5));
    } else if (args.is("--buffer")) {
      o.publisher.bufferBytes = byteCount(args.value(), option);
    } else if (args.is("--ack-wait")) {
      o.publisher.ackWaitMs = static_cast<std::int64_t>(cli::toUnsigned(args.value(), option, 10, 600000));
    } else if (args.is("--window")) {
      o.publisher.window = static_cast<std::size_t>(cli::toUnsigned(args.value(), option, 1, 1024));
    } else if (args.is("--duration")) {
      o.duration = seconds(cli::toNumber(args.value(), option, 0.001, 1e9));
    } else if (args.is("--drain")) {
      o.drain = seconds(cli::toNumber(args.value(), option, 0, 86400));
    } else if (args.is("--status-every")) {
      o.statusEvery = seconds(cli::toNumber(args.value(), option, 0, 86400));
    } else if (args.is("--quiet")) {
      o.quiet = args.flag();
    } else if (args.isOption()) {
      throw cli::UsageError("unknown option " + option);
    } else {
      throw cli::UsageError("unexpected argument '" + std::string(args.current()) +
                            "' (boards go after --board)");
    }
  }
  if (o.help) return o;
  if (o.boards.empty()) throw cli::UsageError("no board: give one with --board ADDRESS[=NAME]");
  for (BoardOption& b : o.boards) b.addresses = cli::resolveHost(b.host);
  return o;
}

std::atomic<int> stopSignal{0};
std::atomic<bool> summaryAsked{false};

extern "C" void onStopSignal(int number) { stopSignal.store(number); }
extern "C" void onSummarySignal(int) { summaryAsked.store(true); }

void installSignalHandlers() {
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_handler = onStopSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  action.sa_handler = onSummarySignal;
  sigaction(SIGUSR1, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

std::mutex logMutex;

void logLine(const std::string& line) {
  std::lock_guard lock(logMutex);
  std::cerr << "varnel-bridge: " << line << std::endl;
}

// One line per board; true when something was dropped or is still pending.
bool printSummary(const std::vector<std::unique_ptr<bridge::BoardFeed>>& feeds,
                  const bridge::Publisher& publisher) {
  bool lost = false;
  // The figures are taken before the output lock: the publisher logs while
  // it holds its own lock, so the two are never held the other way round.
  std::vector<std::pair<bridge::FeedFigures, bridge::PublishFigures>> figures;
  for (std::size_t i = 0; i < feeds.size(); ++i)
    figures.emplace_back(feeds[i]->figures(), publisher.figures(i));
  std::lock_guard lock(logMutex);
  for (std::size_t i = 0; i < feeds.size(); ++i) {
    const auto& [f, p] = figures[i];
    std::cout << feeds[i]->name() << " (" << feeds[i]->host() << "): packages " << f.packages << ", bytes "
              << f.bytes << ", hand-overs " << p.handOvers << ", published " << p.published
              << ", republished " << p.republished << ", acknowledged " << p.acknowledged << ", duplicates "
              << p.duplicates << ", dropped " << p.dropped << " (" << p.droppedPackages
              << " packages), pending " << p.pending << ", reconnects " << f.reconnects;
    if (p.tooLarge != 0) std::cout << ", too large " << p.tooLarge << " packages";
    if (p.reordered != 0) std::cout << ", reordered " << p.reordered;
    if (f.unmatched != 0) std::cout << ", unmatched " << f.unmatched << " packages";
    std::cout << '\n';
    lost = lost || p.dropped != 0 || p.tooLarge != 0 || p.pending != 0 || f.unmatched != 0;
  }
  std::cout << std::flush;
  return lost;
}

int run(const Options& o) {
  std::vector<std::string> names;
  for (const BoardOption& b : o.boards) names.push_back(b.name);
  const bridge::Publisher::Log log = o.quiet ? bridge::Publisher::Log([](const std::string&) {}) : logLine;
  std::string notes;
  bridge::Publisher publisher(o.publisher, names, logLine, log, notes);
  log(notes);
  std::vector<std::unique_ptr<bridge::BoardFeed>> feeds;
  for (std::size_t i = 0; i < o.boards.size(); ++i) {
    const BoardOption& b = o.boards[i];
    feeds.push_back(std::make_unique<bridge::BoardFeed>(i, b.name, cli::describeHost(b.host, b.addresses),
                                                        b.addresses, o.library, publisher, log));
  }
  for (auto& feed : feeds) feed->start();
  log("publishing " + std::to_string(feeds.size()) + (feeds.size() == 1 ? " board" : " boards") + " to " +
      o.publisher.url + ", stream " + o.publisher.stream.name);

  const auto start = Clock::now();
  auto nextStatus = o.statusEvery > 0s ? start + o.statusEvery : Clock::time_point::max();
  // Signals are looked at every 50 ms.
  while (stopSignal.load() == 0 && !publisher.linkClosed() &&
         (!o.duration || Clock::now() - start < *o.duration)) {
    std::this_thread::sleep_for(50ms);
    if (summaryAsked.exchange(false) || Clock::now() >= nextStatus) {
      printSummary(feeds, publisher);
      if (Clock::now() >= nextStatus) nextStatus += o.statusEvery;
    }
  }
  // The boards first: their last packages are handed over as they stop.
  for (auto& feed : feeds) feed->requestStop();
  for (auto& feed : feeds) feed->stop();
  const bool closed = publisher.linkClosed();
  if (!publisher.drain(closed ? 0s : o.drain))
    logLine("stopping with hand-overs not acknowledged (pending below)");
  const bool lost = printSummary(feeds, publisher);
  return closed ? 1 : lost ? 3 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const auto start = cli::readCommandLine<Options>("varnel-bridge", usageText, argc, argv, parse);
  if (const int* status = std::get_if<int>(&start)) return *status;
  installSignalHandlers();
  try {
    return run(std::get<Options>(start));
  } catch (const natslink::NatsError& e) {
    logLine(e.what());
    return 1;
  } catch (const std::exception& e) {
    logLine(e.what());
    return 1;
  }
}
