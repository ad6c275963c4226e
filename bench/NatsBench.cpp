// varnel-nats-bench: what reading a board through NATS JetStream costs,
// beside the direct connection in the same run, on loopback.
//
//   board -> library                                         (direct)
//   board -> varnel-bridge -> nats-server -> varnel-board --from-nats -> library
//
// Before the shapes, 20000 packages of 16 KiB go through NATS once, not
// counted, so that the server has grown into its working memory.
//
// For 16 KiB and 144-byte packages:
//   rate      packages per second, the board sending as fast as it is read;
//             direct: from the consumer's first package's receive time to
//             its last's; through NATS: from the bridge's receive time of
//             the first package to the consumer's of the last, so that
//             what waited in the bridge and the stream counts. Three pairs
//             of runs, direct then through NATS; printed: the medians, and
//             the share through NATS of the direct rate per pair, median
//             [lowest-highest]
//   paced     the board's default rate (100 packages/s) for a few seconds,
//             three consumers at once: every package at every consumer, and
//             the latency the NATS path adds: a package's receive time at
//             the consumer minus the bridge's receive time of it (the
//             hand-over's Varnel-Receive-Last header, for its last
//             package), median and 99th percentile
//   CPU       per package on the fast runs through NATS, of nats-server,
//             the bridge and the NATS-fed board (from /proc, median of the
//             three), and the rate their sum allows on this machine's cores
//
// Arguments: the path of nats-server (default /usr/sbin/nats-server), and
// the shapes to run as NAME-WINDOW (16KiB-1 16KiB-16 144B-1 144B-16; all of
// them when none is named), in any order.
//
// Addresses 127.0.6.100 to 127.0.6.160; nats-server at a free port with a
// store directory of its own. Every child is killed at the end. Measure on
// the x64-release preset.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nats/nats.h>

#include "ProcessFigures.hpp"
#include "boardsim/Net.hpp"
#include "varnel/varnel.hpp"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::string host(int n) { return "127.0.6." + std::to_string(n); }

// A child process, killed and reaped when the object goes.
class Child {
 public:
  Child(const std::string& path, std::vector<std::string> args) {
    args.insert(args.begin(), path);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (::posix_spawn(&pid_, path.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
      throw std::runtime_error("cannot start " + path);
    }
  }
  ~Child() { stop(SIGKILL); }
  // Whether it has ended (and was reaped).
  bool exited() {
    int status = 0;
    if (pid_ <= 0) return true;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
    pid_ = -1;
    return true;
  }
  // CPU seconds (user and system) the process has used so far; -1 when
  // /proc cannot say.
  double cpuSeconds() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
    std::string text;
    std::getline(in, text);
    // The fields after the command name, which may hold spaces: utime and
    // stime are the 12th and 13th of them.
    const std::size_t close = text.rfind(')');
    if (pid_ <= 0 || close == std::string::npos) return -1;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 1; i <= 13 && fields >> field; ++i) {
      if (i >= 12) ticks += std::stod(field);
    }
    return fields ? ticks / static_cast<double>(::sysconf(_SC_CLK_TCK)) : -1;
  }
  void stop(int signal = SIGTERM) {
    if (pid_ <= 0) return;
    ::kill(pid_, signal);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

// A consumer: every package's headerValue and receive time (system clock).
struct Consumer {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::pair<std::uint64_t, std::int64_t>> received;
  std::unique_ptr<mirt::Varnel> parser;

  explicit Consumer(const std::string& address) {
    parser = mirt::createVarnel(address, [this](mirt::OstraDataStream* s) {
      std::lock_guard lock(mutex);
      while (auto p = s->pop())
        received.emplace_back(p->getMetaData().headerValue, p->getReceiveTime().systemTimeNs);
      changed.notify_all();
    });
    parser->setTcpTimeout(2);
  }
  // Connects, trying again while the board process starts.
  bool connect() {
    const auto deadline = Clock::now() + 20s;
    for (int i = 0; i < 4000 && Clock::now() < deadline; ++i) {
      try {
        parser->connect();
        return true;
      } catch (const mirt::VarnelException&) {
        std::this_thread::sleep_for(5ms);  // a process still starting; not a measurement
      }
    }
    return false;
  }
  // Until `count` packages came, `timeout` passed, or none came for `idle`
  // (a package the bridge had to drop never comes).
  bool waitFor(std::size_t count, Clock::duration timeout, Clock::duration idle = 10s) {
    std::unique_lock lock(mutex);
    const auto deadline = Clock::now() + timeout;
    std::size_t seen = received.size();
    auto quietUntil = Clock::now() + idle;
    while (received.size() < count) {
      const auto now = Clock::now();
      if (received.size() != seen) {
        seen = received.size();
        quietUntil = now + idle;
      }
      const auto until = std::min(deadline, quietUntil);
      if (now >= until) return false;
      changed.wait_until(lock, until);
    }
    return true;
  }
  // From the first package's receive time here, or from `startNs` (the
  // bridge's receive time of the first package, so that what waited on
  // the way counts), to the last's.
  double rate(std::optional<std::int64_t> startNs = std::nullopt) {
    std::lock_guard lock(mutex);
    if (received.size() < 2) return 0;
    const std::int64_t start = startNs.value_or(received.front().second);
    const double s = static_cast<double>(received.back().second - start) / 1e9;
    return s > 0 ? static_cast<double>(received.size() - (startNs ? 0 : 1)) / s : 0;
  }
  std::size_t lost(std::uint64_t count) {
    std::lock_guard lock(mutex);
    std::vector<std::uint64_t> numbers;
    for (const auto& r : received) numbers.push_back(r.first);
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    return count - std::min<std::size_t>(count, numbers.size());
  }
};

struct Paths {
  std::string board = VARNEL_BOARD_PATH;
  std::string bridge = VARNEL_BRIDGE_PATH;
  std::string natsServer;
};

// The bridge's receive time of the last package of every hand-over of
// `subject`, by its headerValue; with `firstOnly`, only the receive time
// of the subject's first package, under key 0.
std::map<std::uint64_t, std::int64_t> bridgeTimes(const std::string& url, const std::string& subject,
                                                  bool firstOnly = false) {
  std::map<std::uint64_t, std::int64_t> times;
  natsConnection* nc = nullptr;
  jsCtx* js = nullptr;
  natsSubscription* sub = nullptr;
  if (natsConnection_ConnectTo(&nc, url.c_str()) != NATS_OK) return times;
  natsConnection_JetStream(&js, nc, nullptr);
  jsSubOptions so;
  jsSubOptions_Init(&so);
  so.Ordered = true;
  if (js_SubscribeSync(&sub, js, subject.c_str(), nullptr, &so, nullptr) == NATS_OK) {
    natsMsg* msg = nullptr;
    while (natsSubscription_NextMsg(&msg, sub, 1000) == NATS_OK) {
      const char* last = nullptr;
      const char* when = nullptr;
      if (firstOnly) {
        if (natsMsgHeader_Get(msg, "Varnel-Receive-First", &when) == NATS_OK) times[0] = std::stoll(when);
        natsMsg_Destroy(msg);
        break;
      }
      if (natsMsgHeader_Get(msg, "Varnel-Last", &last) == NATS_OK &&
          natsMsgHeader_Get(msg, "Varnel-Receive-Last", &when) == NATS_OK) {
        times[std::stoull(last)] = std::stoll(when);
      }
      natsMsg_Destroy(msg);
    }
    // The consumer may still be delivering (firstOnly): end it before the
    // subscription goes.
    natsSubscription_Unsubscribe(sub);
    natsSubscription_Destroy(sub);
  }
  jsCtx_Destroy(js);
  natsConnection_Destroy(nc);
  return times;
}

struct Shape {
  const char* name;
  int channels;
  int samples;
  std::uint64_t fastCount;
  /// The bridge's --window: hand-overs on their way at once.
  int window;
};

// What the stream keeps, as a stream in service would have a limit: the
// runs before fall out of it, not the run in progress (20000 x 16 KiB).
const std::string streamBytes = "1073741824";

// Pairs of direct and through-NATS runs per shape.
constexpr int fastRounds = 3;

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

// The arguments of a simulated board of the shape's packages at `address`.
std::vector<std::string> boardArgs(const Shape& shape, const std::string& address, const std::string& more) {
  std::vector<std::string> a{"--bind", address};
  for (const std::string& w :
       {std::string("--channels"), std::to_string(shape.channels), std::string("--samples"),
        std::to_string(shape.samples), std::string("--quiet")}) {
    a.push_back(w);
  }
  std::size_t at = 0;
  while (at < more.size()) {
    const std::size_t space = std::min(more.find(' ', at), more.size());
    a.push_back(more.substr(at, space - at));
    at = space + 1;
  }
  return a;
}

// CPU of the processes on the NATS path: seconds used so far, or
// microseconds per package.
struct PathCpu {
  double server = 0;
  double bridge = 0;
  double fed = 0;  // varnel-board --from-nats
};

// Packages per second through board -> bridge -> NATS -> --from-nats ->
// library, the board sending as fast as it is read; `lost` counts what
// never came.
double fastThroughNats(const Paths& paths, const Shape& shape, int& nextHost, const std::string& url,
                       const std::string& name, std::size_t& lost, const Child& natsServer, PathCpu& cpu) {
  const std::string count = std::to_string(shape.fastCount);
  const std::string b = host(nextHost++);
  const std::string fed = host(nextHost++);
  std::vector<std::string> bridgeArgs{"--nats",         url, "--board", b + "=" + name, "--quiet",
                                      "--status-every", "0"};
  // Room for every package the board sends (20000 x 16 KiB is 328 MB,
  // beyond the default 256 MiB): the rate is then that of the whole path,
  // not of what was left after the bridge dropped the oldest.
  bridgeArgs.insert(bridgeArgs.end(), {"--window", std::to_string(shape.window), "--buffer", "1073741824"});
  bridgeArgs.insert(bridgeArgs.end(), {"--max-bytes", streamBytes});
  Child bridge(paths.bridge, bridgeArgs);
  std::this_thread::sleep_for(500ms);  // the bridge makes the stream; only a start-up wait
  Child server(paths.board, {"--from-nats", url, "varnel." + name, "--bind", fed, "--quiet"});
  Consumer c(fed);
  if (!c.connect()) return 0;
  const PathCpu before{natsServer.cpuSeconds(), bridge.cpuSeconds(), server.cpuSeconds()};
  Child board(paths.board, boardArgs(shape, b, "--fast --count " + count));
  // The rate of what came, also when some was lost (the loss is shown).
  c.waitFor(shape.fastCount, 300s);
  lost = c.lost(shape.fastCount);
  const double came = static_cast<double>(shape.fastCount - lost);
  const auto perPackage = [came](double from, double to) {
    return from < 0 || to < 0 || came == 0 ? 0.0 : (to - from) * 1e6 / came;
  };
  cpu = PathCpu{perPackage(before.server, natsServer.cpuSeconds()),
                perPackage(before.bridge, bridge.cpuSeconds()), perPackage(before.fed, server.cpuSeconds())};
  const auto first = bridgeTimes(url, "varnel." + name, true);
  return first.empty() ? 0 : c.rate(first.begin()->second);
}

void run(const Paths& paths, const Shape& shape, int& nextHost, const std::string& url,
         const Child& natsServer) {
  const std::string count = std::to_string(shape.fastCount);
  // Every run publishes to subjects of its own.
  const std::string label = std::string(shape.name) + "-" + std::to_string(shape.window);

  const auto started = Clock::now();
  const double stealStart = bench::stealSeconds();
  // Direct and through NATS in turns, as fast as the board is read: the
  // share is judged per pair, as the machine's speed moves between runs.
  std::vector<double> direct, throughNats, shares, serverCpu, bridgeCpu, fedCpu;
  std::size_t fastLost = 0;
  for (int round = 0; round < fastRounds; ++round) {
    double d = 0;
    {
      const std::string a = host(nextHost++);
      Child board(paths.board, boardArgs(shape, a, "--fast --count " + count));
      Consumer c(a);
      if (c.connect() && c.waitFor(shape.fastCount, 120s)) d = c.rate();
    }
    std::size_t lost = 0;
    PathCpu cpu;
    const double n = fastThroughNats(paths, shape, nextHost, url,
                                     "fast" + label + "r" + std::to_string(round), lost, natsServer, cpu);
    serverCpu.push_back(cpu.server);
    bridgeCpu.push_back(cpu.bridge);
    fedCpu.push_back(cpu.fed);
    fastLost += lost;
    direct.push_back(d);
    throughNats.push_back(n);
    shares.push_back(d > 0 ? 100 * n / d : 0.0);
  }
  // Paced, three consumers.
  std::vector<double> latencies;
  std::size_t pacedLost = 0;
  constexpr std::uint64_t pacedCount = 500;
  {
    const std::string b = host(nextHost++);
    const std::string fed = host(nextHost++);
    const std::string name = "paced" + label;
    Child bridge(paths.bridge, {"--nats", url, "--board", b + "=" + name, "--quiet", "--status-every", "0",
                                "--window", std::to_string(shape.window), "--max-bytes", streamBytes});
    std::this_thread::sleep_for(500ms);
    Child server(paths.board, {"--from-nats", url, "varnel." + name, "--bind", fed, "--quiet"});
    std::vector<std::unique_ptr<Consumer>> consumers;
    for (int i = 0; i < 3; ++i) {
      consumers.push_back(std::make_unique<Consumer>(fed));
      consumers.back()->connect();
    }
    Child board(paths.board, boardArgs(shape, b, "--count " + std::to_string(pacedCount)));
    for (auto& c : consumers) {
      c->waitFor(pacedCount, 60s);
      pacedLost += c->lost(pacedCount);
    }
    const auto times = bridgeTimes(url, "varnel." + name);
    for (auto& c : consumers) {
      std::lock_guard lock(c->mutex);
      for (const auto& [number, when] : c->received) {
        const auto it = times.find(number);
        if (it != times.end()) latencies.push_back(static_cast<double>(when - it->second) / 1e6);
      }
    }
  }
  std::printf(
      "%-6s bridge --window %-3d direct %8.0f packages/s | through NATS %8.0f packages/s | share %3.0f %% "
      "[%.0f-%.0f] (%zu lost) | 100/s x 3 consumers: %zu lost, added latency median %.2f ms, p99 %.2f ms | "
      "steal %.2f cores\n",
      shape.name, shape.window, percentile(direct, 0.5), percentile(throughNats, 0.5),
      percentile(shares, 0.5), *std::min_element(shares.begin(), shares.end()),
      *std::max_element(shares.begin(), shares.end()), fastLost, pacedLost, percentile(latencies, 0.5),
      percentile(latencies, 0.99),
      (bench::stealSeconds() - stealStart) / std::chrono::duration<double>(Clock::now() - started).count());
  // Where the NATS path spends its CPU: with the board and the consumer
  // beside them, their sum bounds the rate on this machine's cores.
  const double server = percentile(serverCpu, 0.5), bridge = percentile(bridgeCpu, 0.5),
               fed = percentile(fedCpu, 0.5);
  const double cores = static_cast<double>(std::max(1U, std::thread::hardware_concurrency()));
  std::printf(
      "%-6s   CPU per package through NATS, median us: nats-server %.1f, bridge %.1f, --from-nats %.1f; "
      "these three alone allow at most %.0f packages/s on %.0f cores\n",
      shape.name, server, bridge, fed,
      server + bridge + fed > 0 ? cores * 1e6 / (server + bridge + fed) : 0.0, cores);
  std::fflush(stdout);
}

// Until the server at `url` takes a connection: empty, or why it did not.
std::string serverUp(Child& server, const std::string& url) {
  const auto deadline = Clock::now() + 10s;
  for (int i = 0; i < 500 && Clock::now() < deadline; ++i) {
    natsConnection* nc = nullptr;
    if (natsConnection_ConnectTo(&nc, url.c_str()) == NATS_OK) {
      natsConnection_Destroy(nc);
      return {};
    }
    if (server.exited()) return "ended before it took a connection at " + url;
    std::this_thread::sleep_for(20ms);  // a process still starting; not a measurement
  }
  return "took no connection at " + url + " within 10 s";
}

std::string lastLines(const std::string& path, std::size_t count) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::string tail;
  for (std::size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i) {
    tail += "  " + lines[i] + "\n";
  }
  return tail;
}

}  // namespace

int main(int argc, char** argv) {
  Paths paths;
  const Shape all[] = {Shape{"16KiB", 4, 1016, 20000, 1}, Shape{"16KiB", 4, 1016, 20000, 16},
                       Shape{"144B", 1, 4, 200000, 1}, Shape{"144B", 1, 4, 200000, 16}};
  std::vector<Shape> shapes;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto it = std::find_if(std::begin(all), std::end(all), [&](const Shape& s) {
      return arg == std::string(s.name) + "-" + std::to_string(s.window);
    });
    if (it != std::end(all)) {
      shapes.push_back(*it);
    } else if (paths.natsServer.empty() && arg.find('/') != std::string::npos) {
      paths.natsServer = arg;
    } else {
      std::fprintf(stderr,
                   "varnel-nats-bench: no shape %s (16KiB-1, 16KiB-16, 144B-1, 144B-16)\n"
                   "usage: varnel-nats-bench [PATH-OF-NATS-SERVER] [SHAPE...]\n",
                   arg.c_str());
      return 2;
    }
  }
  if (paths.natsServer.empty()) paths.natsServer = "/usr/sbin/nats-server";
  if (::access(paths.natsServer.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "varnel-nats-bench: no nats-server at %s (give its path as the argument)\n",
                 paths.natsServer.c_str());
    return 1;
  }
  if (shapes.empty()) shapes.assign(std::begin(all), std::end(all));
  ::signal(SIGPIPE, SIG_IGN);
  const std::string address = host(100);
  const std::uint16_t port = boardsim::net::freePort(address);
  const std::string store =
      (std::filesystem::temp_directory_path() / ("varnel-nats-bench-" + std::to_string(::getpid()))).string();
  const std::string url = "nats://" + address + ":" + std::to_string(port);
  int status = 0;
  {
    Child server(paths.natsServer,
                 {"-js", "-a", address, "-p", std::to_string(port), "-sd", store, "-l", store + ".log"});
    int nextHost = 101;
    try {
      if (const std::string why = serverUp(server, url); !why.empty()) {
        const std::string log = lastLines(store + ".log", 10);
        throw std::runtime_error(paths.natsServer + " " + why +
                                 (log.empty() ? "; its log is empty" : "; the end of its log:\n" + log));
      }
      // A server fresh from its start grows its memory on the first stream
      // it stores and serves, which made whichever shape ran first up to
      // three times slower; a server in service has done that long before.
      std::size_t warmUpLost = 0;
      PathCpu ignoredCpu;
      fastThroughNats(paths, all[1], nextHost, url, "warmup", warmUpLost, server, ignoredCpu);
      for (const Shape& shape : shapes) run(paths, shape, nextHost, url, server);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "varnel-nats-bench: %s\n", e.what());
      status = 1;
    }
  }
  std::error_code ignored;
  std::filesystem::remove_all(store, ignored);
  std::filesystem::remove(store + ".log", ignored);
  return status;
}
