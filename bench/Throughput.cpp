// Throughput: one board writes pre-built packages as fast as the socket takes
// them; three receivers in turn on the same traffic, raw and varnel back to
// back in every round so that their ratio is taken per round:
//   raw     recv into a 64 KiB buffer, no parsing (transport limit)
//   2-read  recv exactly the header, then exactly the body
//   varnel  the library through its public interface

#include "Throughput.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <fmt/core.h>
#include <fmt/format.h>

#include "AllocationCount.hpp"
#include "Boards.hpp"
#include "ChildGroup.hpp"
#include "Errors.hpp"
#include "ProcessFigures.hpp"
#include "Receivers.hpp"
#include "Sockets.hpp"
#include "Statistics.hpp"
#include "Timing.hpp"
#include "stream/PackageFormat.hpp"

namespace bench {

namespace {

struct Traffic {
  std::uint32_t size = 0;
  std::uint32_t channels = 0;
  std::uint64_t packages = 0;
  Bytes block;
};

struct Round {
  bool ok = false;
  std::string error;
  double seconds = 0;
  double cpuSeconds = 0;
  long minorFaults = 0;
  std::uint64_t allocations = 0;
};

enum Receiver { Raw = 0, TwoRead = 1, Library = 2, receiverCount = 3 };
const char* const receiverNames[receiverCount] = {"raw", "2-read", "varnel"};

Round finishRound(Clock::time_point t0, const Usage& u0, Clock::time_point t1, const Usage& u1) {
  Round r;
  r.ok = true;
  r.seconds = secondsSince(t0, t1);
  r.cpuSeconds = u1.cpuSeconds - u0.cpuSeconds;
  r.minorFaults = u1.minorFaults - u0.minorFaults;
  return r;
}

Round receiveRaw(const std::string& ip, const Traffic& t, int goFd, Clock::time_point deadline) {
  Round r;
  Fd sock;
  if (!guarded(r.error, [&] { sock = connectTo(ip, 5000); })) {
    return r;
  }
  std::vector<std::uint8_t> buffer(65536);
  const std::uint64_t expected = t.packages * t.size;
  std::uint64_t received = 0;
  const Usage u0 = usageNow();
  const auto t0 = Clock::now();
  signalGo(goFd);
  for (std::uint64_t calls = 0; received < expected; ++calls) {
    const ssize_t n = ::recv(sock.get(), buffer.data(), buffer.size(), 0);
    if (n > 0) {
      received += static_cast<std::uint64_t>(n);
    } else if (!(n < 0 && errno == EINTR)) {
      r.error = n == 0 ? "connection closed early" : std::strerror(errno);
      return r;
    }
    if ((calls & 255) == 0 && Clock::now() >= deadline) {
      r.error = "timed out";
      return r;
    }
  }
  const auto t1 = Clock::now();
  return finishRound(t0, u0, t1, usageNow());
}

Round receiveTwoRead(const std::string& ip, const Traffic& t, int goFd, Clock::time_point deadline) {
  Round r;
  Fd sock;
  if (!guarded(r.error, [&] { sock = connectTo(ip, 5000); })) {
    return r;
  }
  std::vector<std::uint8_t> buffer(65536);
  const Usage u0 = usageNow();
  const auto t0 = Clock::now();
  signalGo(goFd);
  for (std::uint64_t i = 0; i < t.packages; ++i) {
    if (!recvAll(sock.get(), buffer.data(), package::headerSize)) {
      r.error = fmt::format("header {} not received", i);
      return r;
    }
    const std::uint32_t size = readLe32(buffer.data() + 4);
    if (size < package::headerSize || size > buffer.size()) {
      r.error = fmt::format("package {}: bad packageSize {}", i, size);
      return r;
    }
    if (size > package::headerSize &&
        !recvAll(sock.get(), buffer.data() + package::headerSize, size - package::headerSize)) {
      r.error = fmt::format("body {} not received", i);
      return r;
    }
    if ((i & 255) == 0 && Clock::now() >= deadline) {
      r.error = "timed out";
      return r;
    }
  }
  const auto t1 = Clock::now();
  return finishRound(t0, u0, t1, usageNow());
}

Round receiveVarnel(const std::string& ip, const Traffic& t, int goFd, Clock::time_point deadline) {
  Round r;
  PackageCount count;
  count.target = t.packages;
  std::unique_ptr<mirt::Varnel> parser;
  if (!guarded(r.error, [&] {
        parser = connectVarnel(ip, [&count](mirt::OstraDataStream* stream) {
          std::uint64_t n = 0;
          while (auto package = stream->pop()) {
            ++n;
          }
          count.add(n);
        });
      })) {
    return r;
  }
  const std::uint64_t allocations = allocationCount();
  const Usage u0 = usageNow();
  const auto t0 = Clock::now();
  signalGo(goFd);
  if (count.wait(*parser, deadline, r.error)) {
    r = finishRound(t0, u0, count.end, count.usageEnd);
    r.allocations = count.allocationsEnd - allocations;
  }
  parser.reset();
  return r;
}

// One round: a fresh board child, one receiver.
Round throughputRound(const Traffic& t, Receiver receiver, std::chrono::seconds timeout,
                      const CpuPinning& pinning) {
  Round r;
  const std::string ip = loopbackAddress(throughputHost);
  Fd listener;
  if (!guarded(r.error, [&] { listener = listenOn(ip); })) {
    return r;
  }
  Pipe go = makePipe();
  const int waitMs = static_cast<int>(timeout.count()) * 1000;
  ChildGroup board;
  board.add(spawnChild(static_cast<unsigned>(timeout.count()) + 20, [&] {
    go.write.reset();
    pinning.pinBoard();
    return streamingBoard(listener.get(), go.read.get(), t.block, t.packages * t.size, 0, waitMs);
  }));
  listener.reset();
  go.read.reset();
  const auto deadline = Clock::now() + timeout;
  switch (receiver) {
    case Raw:
      r = receiveRaw(ip, t, go.write.get(), deadline);
      break;
    case TwoRead:
      r = receiveTwoRead(ip, t, go.write.get(), deadline);
      break;
    default:
      r = receiveVarnel(ip, t, go.write.get(), deadline);
      break;
  }
  go.write.reset();
  board.reap(3000);
  return r;
}

// Packages per throughput round, chosen so that the slowest receiver of the
// baseline library takes a second or so and the plain receivers a fraction
// of that (two cores; the raw receiver at 144 bytes is far faster still).
// Sizes between those of the default run (--sizes) take the count of the
// next larger one.
std::uint64_t packagesFor(std::uint32_t size) {
  if (size <= 144) return 500'000;
  if (size <= 1024) return 250'000;
  if (size <= 8192) return 100'000;
  return 25'000;
}

struct ThroughputCase {
  std::uint32_t size = 0;
  std::uint32_t channels = 0;
  std::uint64_t packages = 0;
  int failed[receiverCount] = {};
  std::string firstError[receiverCount];
  double packagesPerSecond[receiverCount] = {NAN, NAN, NAN};
  double megabytesPerSecond[receiverCount] = {NAN, NAN, NAN};
  double cpuMicrosPerPackage[receiverCount] = {NAN, NAN, NAN};
  double faultsPerPackage[receiverCount] = {NAN, NAN, NAN};
  // Varnel beside raw and 2-read in the same round, one ratio per round.
  Spread rateToRaw{NAN, NAN, NAN};
  Spread cpuToRaw{NAN, NAN, NAN};
  Spread rateToTwoRead{NAN, NAN, NAN};
  Spread varnelCpu{NAN, NAN, NAN};
  double allocationsPerPackage = NAN;  // varnel, median over rounds
};

}  // namespace

void runThroughput(const Settings& s, Report& report) {
  const std::vector<std::uint32_t>& sizes = s.sizes;
  const std::uint32_t channelCounts[] = {1, 8};
  std::vector<ThroughputCase> cases;

  fmt::print("\nThroughput: one board, the receivers in turn on the same traffic (median of {} round{})\n",
             s.rounds, s.rounds == 1 ? "" : "s");
  fmt::print(
      "  raw = recv into 64 KiB, no parsing; 2-read = blocking recv of exactly the header, then the body;\n"
      "  varnel = the library, package counter {}, callback pops and frees every package. MB = 10^6 bytes.\n",
      packageCounter);
  std::fflush(stdout);

  // Goals are judged on the median of the ratios of paired rounds: raw and
  // varnel run back to back in every round, so a change of load on the
  // machine falls on both alike.
  const Limit rateGoal{true, 0.95, "varnel >= 0.95 x raw, paired", "rate >= 0.95"};
  const Limit largeCpuGoal{false, 1.15, "varnel CPU <= 1.15 x raw, paired", "CPU <= 1.15"};
  const Limit mediumCpuGoal{false, 1.4, "varnel CPU <= 1.4 x raw, paired", "CPU <= 1.4"};
  const Limit smallCpuGoal{false, 0.16, "varnel CPU <= 0.16 us per package", "CPU <= 0.16"};
  const Limit allocationGoal{false, 0.05, "varnel <= 0.05 allocations per package", "alloc <= 0.05"};
  const Limit twoReadGoal{true, 2.0, "varnel >= 2.0 x 2-read, paired", "v/2rd >= 2.0"};
  const auto addSpread = [&](const std::string& name, const char* metric, const Spread& v,
                             const std::optional<Limit>& limit, const char* unit = "") {
    std::string goalText =
        report.figure("throughput", name, "varnel", std::string(metric) + "_median", v.median, unit, limit);
    report.add("throughput", name, "varnel", std::string(metric) + "_min", v.min, unit);
    report.add("throughput", name, "varnel", std::string(metric) + "_max", v.max, unit);
    return goalText.empty() ? goalText : goalText + " ";
  };
  const auto printCase = [&](const ThroughputCase& c) {
    const std::string name = fmt::format("{}B/{}ch", c.size, c.channels);
    report.add("throughput", name, "", "packages_per_round", static_cast<double>(c.packages), "");
    for (int k = 0; k < receiverCount; ++k) {
      report.add("throughput", name, receiverNames[k], "rounds_failed", c.failed[k], "");
      report.add("throughput", name, receiverNames[k], "packages_per_s", c.packagesPerSecond[k], "1/s");
      report.add("throughput", name, receiverNames[k], "mb_per_s", c.megabytesPerSecond[k], "MB/s");
      report.add("throughput", name, receiverNames[k], "cpu_per_package", c.cpuMicrosPerPackage[k], "us");
      report.add("throughput", name, receiverNames[k], "minor_faults_per_package", c.faultsPerPackage[k], "");
    }
    std::string goalText;
    goalText += addSpread(name, "paired_rate_to_raw", c.rateToRaw,
                          c.size == 65535 ? std::optional(rateGoal) : std::nullopt);
    goalText += addSpread(name, "paired_cpu_to_raw", c.cpuToRaw,
                          c.size == 65535  ? std::optional(largeCpuGoal)
                          : c.size == 8192 ? std::optional(mediumCpuGoal)
                                           : std::nullopt);
    goalText += addSpread(name, "paired_rate_to_2read", c.rateToTwoRead,
                          c.size == 144 ? std::optional(twoReadGoal) : std::nullopt);
    goalText += addSpread(name, "cpu_per_package", c.varnelCpu,
                          c.size == 144 ? std::optional(smallCpuGoal) : std::nullopt, "us");
    goalText += report.figure("throughput", name, "varnel", "allocations_per_package",
                              c.allocationsPerPackage, "", allocationGoal);
    fmt::print(
        "  {:>5} {:>2} {:>7} | {:>9.0f} {:>7.1f} | {:>9.0f} | {:>9.0f} {:>7.1f} | {:>4.2f} {:>4.2f}-{:<4.2f} "
        "| "
        "{:>4.2f} {:>4.2f}-{:<4.2f} | {:>5.1f} | {}\n",
        c.size, c.channels, c.packages, c.packagesPerSecond[Raw], c.megabytesPerSecond[Raw],
        c.packagesPerSecond[TwoRead], c.packagesPerSecond[Library], c.megabytesPerSecond[Library],
        c.rateToRaw.median, c.rateToRaw.min, c.rateToRaw.max, c.cpuToRaw.median, c.cpuToRaw.min,
        c.cpuToRaw.max, c.rateToTwoRead.median, goalText);
  };

  fmt::print("\n  {:>5} {:>2} {:>7} | {:>9} {:>7} | {:>9} | {:>9} {:>7} | {:>14} | {:>14} | {:>5} | {}\n",
             "size", "ch", "packages", "raw pkg/s", "MB/s", "2-rd pkg/s", "varn pkg/s", "MB/s", "rate v/raw",
             "CPU v/raw", "v/2rd", "goals (paired: median [min-max] of the rounds)");
  std::fflush(stdout);
  // The parsers' I/O threads start from this thread and inherit its CPU.
  s.pinning.pinReceiver();
  for (const std::uint32_t size : sizes) {
    for (const std::uint32_t channels : channelCounts) {
      ThroughputCase c;
      c.size = size;
      c.channels = channels;
      Traffic t;
      t.size = size;
      t.channels = channels;
      // A multiple of the package counter, so that the last batch is handed
      // over by count and not by the timer.
      t.packages = std::max<std::uint64_t>(
          packageCounter * 10, packagesFor(size) / s.packageDivisor / packageCounter * packageCounter);
      t.block = buildBlock(size, channels, 1 << 20);
      c.packages = t.packages;

      std::vector<double> rate[receiverCount], cpu[receiverCount], faults[receiverCount];
      std::vector<double> rateToRaw, cpuToRaw, rateToTwoRead, allocations;
      for (int round = 0; round < s.rounds; ++round) {
        // Raw and varnel back to back, which of them first alternating from
        // round to round; 2-read, the slow one, after the pair.
        const Receiver order[receiverCount] = {round % 2 == 0 ? Raw : Library, round % 2 == 0 ? Library : Raw,
                                               TwoRead};
        Round got[receiverCount];
        for (const Receiver receiver : order) {
          const Round r = throughputRound(t, receiver, s.roundTimeout, s.pinning);
          got[receiver] = r;
          if (!r.ok) {
            if (c.failed[receiver]++ == 0) {
              c.firstError[receiver] = r.error;
            }
            continue;
          }
          const auto n = static_cast<double>(t.packages);
          rate[receiver].push_back(n / r.seconds);
          cpu[receiver].push_back(r.cpuSeconds * 1e6 / n);
          faults[receiver].push_back(static_cast<double>(r.minorFaults) / n);
        }
        if (!got[Library].ok) {
          continue;
        }
        allocations.push_back(static_cast<double>(got[Library].allocations) /
                              static_cast<double>(t.packages));
        if (got[Raw].ok) {
          rateToRaw.push_back(got[Raw].seconds / got[Library].seconds);
          cpuToRaw.push_back(got[Library].cpuSeconds / got[Raw].cpuSeconds);
        }
        if (got[TwoRead].ok) {
          rateToTwoRead.push_back(got[TwoRead].seconds / got[Library].seconds);
        }
      }
      for (int k = 0; k < receiverCount; ++k) {
        c.packagesPerSecond[k] = median(rate[k]);
        c.megabytesPerSecond[k] = c.packagesPerSecond[k] * size / 1e6;
        c.cpuMicrosPerPackage[k] = median(cpu[k]);
        c.faultsPerPackage[k] = median(faults[k]);
        if (c.failed[k] != 0) {
          fmt::print(stderr, "  {} B / {} ch, {}: {} of {} rounds failed; first: {}\n", size, channels,
                     receiverNames[k], c.failed[k], s.rounds, c.firstError[k]);
        }
      }
      c.rateToRaw = spread(rateToRaw);
      c.cpuToRaw = spread(cpuToRaw);
      c.rateToTwoRead = spread(rateToTwoRead);
      c.varnelCpu = spread(cpu[Library]);
      c.allocationsPerPackage = median(allocations);
      printCase(c);
      std::fflush(stdout);
      cases.push_back(c);
    }
  }
  s.pinning.release();

  fmt::print(
      "\n  Cost per package in the receiving process (CPU = user + system time, all threads;\n"
      "  flt = minor page faults; alloc = calls of operator new while varnel received)\n");
  fmt::print("  {:>5} {:>2} | {:>10} {:>9} {:>9} {:>15} | {:>8} {:>8} {:>8} | {:>7}\n", "size", "ch",
             "CPU us raw", "2-read", "varnel", "[min-max]", "flt raw", "2-read", "varnel", "alloc");
  for (const ThroughputCase& c : cases) {
    fmt::print(
        "  {:>5} {:>2} | {:>10.3f} {:>9.3f} {:>9.3f} {:>7.3f}-{:<7.3f} | {:>8.3f} {:>8.3f} {:>8.3f} | "
        "{:>7.4f}\n",
        c.size, c.channels, c.cpuMicrosPerPackage[Raw], c.cpuMicrosPerPackage[TwoRead],
        c.cpuMicrosPerPackage[Library], c.varnelCpu.min, c.varnelCpu.max, c.faultsPerPackage[Raw],
        c.faultsPerPackage[TwoRead], c.faultsPerPackage[Library], c.allocationsPerPackage);
  }
  std::fflush(stdout);
}

}  // namespace bench
