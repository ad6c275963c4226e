// Scale: 1, 8 and 32 boards at once (aggregate rate); resident memory per
// idle parser, measured in a freshly started process.

#include "Scale.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fmt/core.h>
#include <fmt/format.h>

#include "Boards.hpp"
#include "ChildGroup.hpp"
#include "Errors.hpp"
#include "ProcessFigures.hpp"
#include "Receivers.hpp"
#include "Sockets.hpp"
#include "Statistics.hpp"
#include "Timing.hpp"

namespace bench {

namespace {

struct alignas(64) BoardCount {
  std::atomic<std::uint64_t> packages{0};
};

struct ScaleRound {
  bool ok = false;
  std::string error;
  double packagesPerSecond = 0;
};

// `boards` boards stream 1 KiB packages as fast as they can; `boards` parsers
// in this process receive them. The rate is taken over a window after a short
// warm-up.
ScaleRound scaleRound(int boards, const Bytes& block, double windowSeconds) {
  ScaleRound r;
  const auto warmUp = std::chrono::milliseconds(200);
  const auto window = std::chrono::duration<double>(windowSeconds);
  const std::uint64_t stopAtNs = monotonicNs() + 30'000'000'000ull;
  ChildGroup children;
  std::vector<Fd> goWrite;
  for (int b = 0; b < boards; ++b) {
    Fd listener;
    if (!guarded(r.error, [&] { listener = listenOn(loopbackAddress(scaleFirstHost + b)); })) {
      return r;
    }
    Pipe go = makePipe();
    children.add(spawnChild(45, [&] {
      for (Fd& other : goWrite) {
        other.reset();
      }
      go.write.reset();
      return streamingBoard(listener.get(), go.read.get(), block, 0, stopAtNs, 10000);
    }));
    goWrite.push_back(std::move(go.write));
  }

  auto counts = std::make_unique<BoardCount[]>(static_cast<std::size_t>(boards));
  std::vector<std::unique_ptr<mirt::Varnel>> parsers;
  for (int b = 0; b < boards; ++b) {
    BoardCount* slot = &counts[static_cast<std::size_t>(b)];
    if (!guarded(r.error, [&] {
          parsers.push_back(
              connectVarnel(loopbackAddress(scaleFirstHost + b), [slot](mirt::OstraDataStream* stream) {
                std::uint64_t n = 0;
                while (auto package = stream->pop()) {
                  ++n;
                }
                slot->packages.fetch_add(n, std::memory_order_relaxed);
              }));
        })) {
      return r;
    }
  }
  const auto total = [&] {
    std::uint64_t sum = 0;
    for (int b = 0; b < boards; ++b) {
      sum += counts[static_cast<std::size_t>(b)].packages.load(std::memory_order_relaxed);
    }
    return sum;
  };
  for (Fd& go : goWrite) {
    signalGo(go.get());
  }
  std::this_thread::sleep_for(warmUp);
  const std::uint64_t c0 = total();
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(window);
  const std::uint64_t c1 = total();
  const auto t1 = Clock::now();
  r.ok = true;
  for (auto& parser : parsers) {
    if (parser->getState() == mirt::ConnectionState::Error) {
      r.ok = false;
      r.error = asyncError(*parser);
    }
  }
  r.packagesPerSecond = static_cast<double>(c1 - c0) / secondsSince(t0, t1);
  parsers.clear();
  goWrite.clear();
  children.reap(3000);
  return r;
}

struct RssProbe {
  bool ok = false;
  long beforeKiB = 0;
  long afterKiB = 0;
};

// Starts this program afresh with `--rss-probe` and reads its one line, so
// that the figures do not depend on what earlier parts of the run left in the
// heap or in the thread stack cache.
RssProbe runRssProbe(const char* mode, int count) {
  RssProbe probe;
  Pipe out = makePipe();
  const std::string countText = std::to_string(count);
  ChildGroup child;
  child.add(spawnChild(60, [&] {
    if (dup2(out.write.get(), STDOUT_FILENO) < 0) {
      return 126;
    }
    execl("/proc/self/exe", "varnel-bench", mode, countText.c_str(), static_cast<char*>(nullptr));
    return 127;
  }));
  out.write.reset();
  std::string text;
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  char buffer[256];
  while (Clock::now() < deadline) {
    if (!waitReadable(out.read.get(), 1000)) {
      continue;
    }
    const ssize_t n = ::read(out.read.get(), buffer, sizeof buffer);
    if (n <= 0) {
      break;
    }
    text.append(buffer, static_cast<std::size_t>(n));
  }
  child.reap(3000);
  std::istringstream in(text);
  probe.ok = static_cast<bool>(in >> probe.beforeKiB >> probe.afterKiB);
  return probe;
}

}  // namespace

void runScale(const Settings& s, Report& report) {
  const int boardCounts[] = {1, 8, 32};
  const Bytes block = buildBlock(1024, 1, 1 << 20);
  fmt::print(
      "\nScale: N boards stream 1024-byte packages (1 channel) at once, one parser each\n"
      "  (aggregate over {:.1f} s after 0.2 s warm-up; median of {} round{})\n",
      s.scaleWindowSeconds, s.rounds, s.rounds == 1 ? "" : "s");
  std::fflush(stdout);
  double rate[3] = {NAN, NAN, NAN};
  for (int i = 0; i < 3; ++i) {
    std::vector<double> rates;
    std::string firstError;
    for (int round = 0; round < s.rounds; ++round) {
      const ScaleRound r = scaleRound(boardCounts[i], block, s.scaleWindowSeconds);
      if (r.ok) {
        rates.push_back(r.packagesPerSecond);
      } else if (firstError.empty()) {
        firstError = r.error;
      }
    }
    if (!firstError.empty()) {
      fmt::print(stderr, "  {} boards: {} of {} rounds failed; first: {}\n", boardCounts[i],
                 s.rounds - static_cast<int>(rates.size()), s.rounds, firstError);
    }
    rate[i] = median(rates);
  }
  const Limit rateGoal{true, 0.7, "32 boards >= 0.7 x one", ">= 0.7"};
  fmt::print("  {:>6} | {:>12} {:>8} | {:>12} | {:>8} | {}\n", "boards", "pkg/s total", "MB/s", "pkg/s each",
             "to one", "goal");
  for (int i = 0; i < 3; ++i) {
    const int n = boardCounts[i];
    const std::string name = fmt::format("{}boards", n);
    const double toOne = rate[i] / rate[0];
    report.add("scale", name, "varnel", "packages_per_s", rate[i], "1/s");
    report.add("scale", name, "varnel", "mb_per_s", rate[i] * 1024 / 1e6, "MB/s");
    const std::string goalText = report.figure("scale", name, "varnel", "ratio_to_one", toOne, "",
                                               n == maxBoards ? std::optional(rateGoal) : std::nullopt);
    fmt::print("  {:>6} | {:>12.0f} {:>8.1f} | {:>12.0f} | {:>8.2f} | {}\n", n, rate[i], rate[i] * 1024 / 1e6,
               rate[i] / n, toOne, goalText);
  }
  std::fflush(stdout);

  const std::size_t stackKiB = defaultThreadStackBytes() / 1024;
  const Limit rssGoal{false, 256, "RSS per idle parser <= 256 KiB", "<= 256"};
  fmt::print(
      "\n  Resident memory per idle parser (VmRSS before and after creating and connecting N parsers\n"
      "  to silent boards, in a fresh process; a bare thread blocked on a condition variable beside it)\n");
  fmt::print("  {:>6} | {:>11} {:>11} | {:>14} | {:>14} | {}\n", "N", "before KiB", "after KiB",
             "per parser KiB", "bare thread KiB", "goal");
  for (const int n : boardCounts) {
    const RssProbe parsers = runRssProbe("--rss-probe", n);
    const RssProbe threads = runRssProbe("--rss-probe-threads", n);
    const double perParser = parsers.ok ? static_cast<double>(parsers.afterKiB - parsers.beforeKiB) / n : NAN;
    const double perThread = threads.ok ? static_cast<double>(threads.afterKiB - threads.beforeKiB) / n : NAN;
    const std::string name = fmt::format("{}parsers", n);
    report.add("scale", name, "varnel", "rss_before", static_cast<double>(parsers.beforeKiB), "KiB");
    report.add("scale", name, "varnel", "rss_after", static_cast<double>(parsers.afterKiB), "KiB");
    report.add("scale", name, "bare_thread", "rss_per_thread", perThread, "KiB");
    const std::string goalText = report.figure("scale", name, "varnel", "rss_per_idle_parser", perParser,
                                               "KiB", n == maxBoards ? std::optional(rssGoal) : std::nullopt);
    fmt::print("  {:>6} | {:>11} {:>11} | {:>14.1f} | {:>14.1f} | {}\n", n, parsers.beforeKiB,
               parsers.afterKiB, perParser, perThread, goalText);
  }
  report.add("scale", "", "", "default_thread_stack", static_cast<double>(stackKiB), "KiB");
  fmt::print(
      "  Each parser runs one I/O thread; the default thread stack is {} KiB of address space,\n"
      "  of which only the touched pages are resident and counted above.\n",
      stackKiB);
  std::fflush(stdout);
}

int rssProbeMain(int count, bool bareThreads) {
  count = std::clamp(count, 1, maxBoards);
  ChildGroup boards;
  if (!bareThreads) {
    // Silent boards in child processes, not boardsim::FakeBoard, whose thread
    // and buffers would count in this process's resident memory.
    for (int b = 0; b < count; ++b) {
      Fd listener = listenOn(loopbackAddress(scaleFirstHost + b));
      boards.add(spawnChild(40, [&] {
        Fd conn = acceptOne(listener.get(), 20000);
        if (conn) {
          waitReadable(conn.get(), 30000);  // until the parser goes away
        }
        return 0;
      }));
    }
  }
  const auto settle = std::chrono::milliseconds(300);
  const long before = vmRssKiB();
  long after = -1;
  if (bareThreads) {
    std::mutex mutex;
    std::condition_variable release;
    bool go = false;
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i) {
      threads.emplace_back([&] {
        std::unique_lock lock(mutex);
        release.wait_for(lock, std::chrono::seconds(20), [&] { return go; });
      });
    }
    std::this_thread::sleep_for(settle);
    after = vmRssKiB();
    {
      std::lock_guard lock(mutex);
      go = true;
    }
    release.notify_all();
    for (auto& t : threads) {
      t.join();
    }
  } else {
    std::vector<std::unique_ptr<mirt::Varnel>> parsers;
    for (int b = 0; b < count; ++b) {
      parsers.push_back(connectVarnel(loopbackAddress(scaleFirstHost + b), [](mirt::OstraDataStream* stream) {
        while (auto package = stream->pop()) {
        }
      }));
    }
    std::this_thread::sleep_for(settle);  // past the first timer hand-over
    after = vmRssKiB();
    parsers.clear();
  }
  fmt::print("{} {}\n", before, after);
  std::fflush(stdout);
  boards.reap(3000);
  return 0;
}

}  // namespace bench
