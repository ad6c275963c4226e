// Latency: one package at a time with the end-of-stream flag and its send
// time in headerValue; the time until the callback sees it, beside the
// one-way time of an epoll receiver (judged against, paired per round), a
// plain blocking receiver and a plain socket ping-pong at the same pace.

#include "Latency.hpp"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
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

struct LatencyResult {
  bool ok = false;
  std::string error;
  std::size_t samples = 0;
  double medianUs = NAN;
  double p99Us = NAN;
  double maxUs = NAN;
};

// The samples of one connection in nanoseconds, without the first 5 %, which
// warm up caches and the connection.
struct LatencySamples {
  bool ok = false;
  std::string error;
  std::vector<double> ns;
  std::vector<double> forwardNs;  // ping-pong only: the leg towards the echo
  double cpuSeconds = 0;          // Varnel only: CPU time of the process while receiving
  std::size_t handOvers = 0;
};

LatencySamples keepAfterWarmUp(std::vector<double> ns) {
  LatencySamples r;
  ns.erase(ns.begin(), ns.begin() + static_cast<std::ptrdiff_t>(ns.size() / 20));
  r.ok = true;
  r.ns = std::move(ns);
  return r;
}

LatencyResult summarise(std::vector<double> ns) {
  LatencyResult r;
  if (ns.empty()) {
    r.error = "no samples";
    return r;
  }
  for (double& v : ns) {
    v /= 1000.0;
  }
  r.ok = true;
  r.samples = ns.size();
  r.medianUs = median(ns);
  r.p99Us = percentile(ns, 0.99);
  r.maxUs = *std::max_element(ns.begin(), ns.end());
  return r;
}

// Varnel on the paced board: the callback records the time from send to
// hand-over.
LatencySamples measureHandOver(const Settings& s, std::size_t count) {
  LatencySamples r;
  const std::string ip = loopbackAddress(latencyHost);
  PacedBoard board;
  if (!startPacedBoard(ip, s.latencyInterval, count, s.pinning, board, r.error)) {
    return r;
  }

  std::vector<double> latencies(count, 0.0);
  std::atomic<std::size_t> filled{0};
  PackageCount received;
  received.target = count;
  std::unique_ptr<mirt::Varnel> parser;
  if (!guarded(r.error, [&] {
        parser = connectVarnel(ip, [&](mirt::OstraDataStream* stream) {
          const std::uint64_t now = monotonicNs();
          std::uint64_t n = 0;
          while (auto package = stream->pop()) {
            const std::size_t i = filled.fetch_add(1, std::memory_order_relaxed);
            if (i < latencies.size()) {
              latencies[i] = static_cast<double>(now - package->getMetaData().headerValue);
            }
            ++n;
          }
          received.add(n);
        });
      })) {
    return r;
  }
  const Usage start = usageNow();
  signalGo(board.go.write.get());
  const bool complete = received.wait(*parser, Clock::now() + board.timeout, r.error);
  const double cpuSeconds = received.usageEnd.cpuSeconds - start.cpuSeconds;
  parser.reset();  // joins the I/O thread: the samples are ours from here on
  board.go.write.reset();
  board.process.reap(3000);
  if (!complete) {
    return r;
  }
  latencies.resize(std::min(filled.load(), latencies.size()));
  r = keepAfterWarmUp(std::move(latencies));
  r.cpuSeconds = cpuSeconds;
  r.handOvers = count;
  return r;
}

// A plain receiver on its own paced board: `receive(fd, timeoutMs, go,
// latencies, error)` signals the board with go() once it is ready, reads
// `count` packages and records each one's latency; false on a failure.
template <typename Receive>
LatencySamples measurePlainReceiver(const Settings& s, std::size_t count, int host, Receive receive) {
  LatencySamples r;
  const std::string ip = loopbackAddress(host);
  PacedBoard board;
  if (!startPacedBoard(ip, s.latencyInterval, count, s.pinning, board, r.error)) {
    return r;
  }
  std::vector<double> latencies;
  latencies.reserve(count);
  {
    Fd sock;
    if (!guarded(r.error, [&] { sock = connectTo(ip, 5000); })) {
      return r;
    }
    const auto go = [&] { signalGo(board.go.write.get()); };
    if (!receive(sock.get(), static_cast<int>(board.timeout.count()), go, latencies, r.error)) {
      return r;
    }
  }
  board.go.write.reset();
  board.process.reap(3000);
  return keepAfterWarmUp(std::move(latencies));
}

// The floor for any receiver that sleeps between packages: a thread blocked
// in recv of exactly one package on the same paced board, timed as soon as
// recv returns. It wakes once per package, as Varnel's I/O thread does.
LatencySamples measureBlockingReceiver(const Settings& s, std::size_t count) {
  return measurePlainReceiver(
      s, count, blockingHost,
      [count](int fd, int timeoutMs, auto go, std::vector<double>& latencies, std::string& error) {
        setTimeouts(fd, timeoutMs);
        go();
        std::uint8_t buffer[144];
        for (std::size_t i = 0; i < count; ++i) {
          if (!recvAll(fd, buffer, sizeof buffer)) {
            error = fmt::format("package {} not received", i);
            return false;
          }
          const std::uint64_t now = monotonicNs();
          latencies.push_back(static_cast<double>(now - readLe64(buffer + 8)));
        }
        return true;
      });
}

// The floor for an event-driven receiver such as Varnel's I/O thread: a
// thread that sleeps in epoll_wait on a non-blocking socket and then reads
// what is there, on the same paced board.
LatencySamples measureEpollReceiver(const Settings& s, std::size_t count) {
  return measurePlainReceiver(
      s, count, epollHost,
      [count](int fd, int timeoutMs, auto go, std::vector<double>& latencies, std::string& error) {
        Fd poller(epoll_create1(EPOLL_CLOEXEC));
        epoll_event interest{};
        interest.events = EPOLLIN | EPOLLET;
        if (!poller || fcntl(fd, F_SETFL, O_NONBLOCK) != 0 ||
            epoll_ctl(poller.get(), EPOLL_CTL_ADD, fd, &interest) != 0) {
          error = fmt::format("epoll set-up: {}", std::strerror(errno));
          return false;
        }
        go();
        std::uint8_t buffer[4096];
        std::size_t have = 0;
        while (latencies.size() < count) {
          epoll_event ready{};
          if (epoll_wait(poller.get(), &ready, 1, timeoutMs) <= 0) {
            error = fmt::format("package {} not received", latencies.size());
            return false;
          }
          for (;;) {
            const ssize_t got = recv(fd, buffer + have, sizeof buffer - have, 0);
            if (got <= 0) {
              if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                break;
              }
              error = fmt::format("package {} not received", latencies.size());
              return false;
            }
            have += static_cast<std::size_t>(got);
            const std::uint64_t now = monotonicNs();
            std::size_t at = 0;
            for (; have - at >= 144; at += 144) {
              latencies.push_back(static_cast<double>(now - readLe64(buffer + at + 8)));
            }
            std::memmove(buffer, buffer + at, have - at);
            have -= at;
          }
        }
        return true;
      });
}

// One-way latency of a plain TCP ping-pong between two processes (RTT / 2),
// paced like the board above so that both sides wake from sleep each time.
LatencySamples measurePingPong(const Settings& s, std::size_t count) {
  LatencySamples r;
  const std::string ip = loopbackAddress(pingPongHost);
  const auto intervalNs = static_cast<std::uint64_t>(s.latencyInterval.count()) * 1000;
  constexpr std::size_t messageSize = 144;

  Fd listener;
  if (!guarded(r.error, [&] { listener = listenOn(ip); })) {
    return r;
  }
  ChildGroup echo;
  echo.add(spawnChild(60, [&] {
    s.pinning.pinBoard();
    Fd conn = acceptOne(listener.get(), 10000);
    if (!conn) {
      return 3;
    }
    setNoDelay(conn.get());
    setTimeouts(conn.get(), 5000);
    std::uint8_t buffer[messageSize];
    // The echo stamps its receive time into the message, so the pinging side
    // can split the round trip into its two legs.
    while (recvAll(conn.get(), buffer, messageSize)) {
      writeLe64(buffer, monotonicNs());
      if (!sendAll(conn.get(), buffer, messageSize)) {
        break;
      }
    }
    return 0;
  }));
  listener.reset();

  std::vector<double> oneWay, forward;
  oneWay.reserve(count);
  forward.reserve(count);
  {
    Fd sock;
    if (!guarded(r.error, [&] { sock = connectTo(ip, 5000); })) {
      return r;
    }
    setNoDelay(sock.get());
    std::uint8_t buffer[messageSize] = {};
    std::uint64_t next = monotonicNs();
    for (std::size_t i = 0; i < count; ++i) {
      sleepUntilNs(next);
      const std::uint64_t t0 = monotonicNs();
      if (!sendAll(sock.get(), buffer, messageSize) || !recvAll(sock.get(), buffer, messageSize)) {
        r.error = fmt::format("ping {} failed", i);
        return r;
      }
      oneWay.push_back(static_cast<double>(monotonicNs() - t0) / 2);
      forward.push_back(static_cast<double>(readLe64(buffer) - t0));
      next += intervalNs;
    }
  }
  echo.reap(3000);
  LatencySamples legs = keepAfterWarmUp(std::move(forward));
  r = keepAfterWarmUp(std::move(oneWay));
  r.forwardNs = std::move(legs.ns);
  return r;
}

}  // namespace

// The measurements run in turns, one connection each per round, so that a
// change of load during the run falls on all alike.
void runLatency(const Settings& s, Report& report) {
  const std::size_t perRound =
      std::max<std::size_t>(100, s.latencySamples / static_cast<std::size_t>(s.latencyRounds));
  fmt::print(
      "\nLatency: one 144-byte package every {} us; {} rounds of {} samples each, the three receivers\n"
      "  in turns (first 5 % of each round left out)\n",
      s.latencyInterval.count(), s.latencyRounds, perRound);
  std::fflush(stdout);
  struct Series {
    const char* name;
    const char* subject;
    LatencySamples (*measure)(const Settings&, std::size_t);
    std::vector<double> ns;
    std::string error;
    LatencyResult result;
    double cpuSeconds = 0;
    std::size_t handOvers = 0;
  };
  Series series[] = {
      {"varnel hand-over (send -> callback)", "varnel", measureHandOver, {}, {}, {}},
      {"blocking recv, same board (send -> recv)", "blocking", measureBlockingReceiver, {}, {}, {}},
      {"epoll_wait + recv, same board", "epoll", measureEpollReceiver, {}, {}, {}},
      {"socket ping-pong one-way (RTT / 2)", "pingpong", measurePingPong, {}, {}, {}},
      {"ping-pong forward leg (echo wakes from sleep)", "pingpong_forward", nullptr, {}, {}, {}},
  };
  // Varnel and the epoll receiver, which wakes the same way, run back to back
  // in every round, which of them first alternating; their p99 and median
  // are compared per round. The other two follow as information.
  std::vector<double> p99Ratios, medianDifferences;
  // The parsers' I/O threads start from this thread and inherit its CPU.
  s.pinning.pinReceiver();
  for (int round = 0; round < s.latencyRounds; ++round) {
    const int order[] = {round % 2 == 0 ? 0 : 2, round % 2 == 0 ? 2 : 0, 1, 3};
    std::vector<double> paired[2];
    for (const int k : order) {
      Series& one = series[k];
      LatencySamples part = one.measure(s, perRound);
      if (part.ok) {
        one.ns.insert(one.ns.end(), part.ns.begin(), part.ns.end());
        one.cpuSeconds += part.cpuSeconds;
        one.handOvers += part.handOvers;
        series[4].ns.insert(series[4].ns.end(), part.forwardNs.begin(), part.forwardNs.end());
        if (k == 0 || k == 2) {
          paired[k / 2] = std::move(part.ns);
        }
      } else if (one.error.empty()) {
        one.error = part.error;
      }
    }
    if (!paired[0].empty() && !paired[1].empty()) {
      p99Ratios.push_back(percentile(paired[0], 0.99) / percentile(paired[1], 0.99));
      medianDifferences.push_back((median(paired[0]) - median(paired[1])) / 1000.0);
    }
  }
  s.pinning.release();
  fmt::print("  {:<44} {:>9} {:>9} {:>9}\n", "", "median us", "p99 us", "max us");
  for (Series& one : series) {
    one.result = summarise(std::move(one.ns));
    if (!one.error.empty()) {
      fmt::print(stderr, "  {}: a round failed: {}\n", one.subject, one.error);
    }
    const LatencyResult& r = one.result;
    if (!r.ok) {
      fmt::print("  {:<44} failed: {}\n", one.name, r.error);
    } else {
      fmt::print("  {:<44} {:>9.1f} {:>9.1f} {:>9.1f}\n", one.name, r.medianUs, r.p99Us, r.maxUs);
    }
    report.add("latency", "144B/1ch", one.subject, "samples", static_cast<double>(r.samples), "");
    report.add("latency", "144B/1ch", one.subject, "median", r.medianUs, "us");
    report.add("latency", "144B/1ch", one.subject, "p99", r.p99Us, "us");
    report.add("latency", "144B/1ch", one.subject, "max", r.maxUs, "us");
  }
  const LatencyResult& varnel = series[0].result;
  const LatencyResult& blocking = series[1].result;
  const LatencyResult& epoll = series[2].result;
  const LatencyResult& pingPong = series[3].result;
  const double toBlocking = varnel.p99Us / blocking.p99Us;
  const double toEpoll = varnel.p99Us / epoll.p99Us;
  report.add("latency", "144B/1ch", "varnel", "p99_to_blocking_p99", toBlocking, "");
  report.add("latency", "144B/1ch", "varnel", "p99_to_epoll_p99", toEpoll, "");
  const double ratio = varnel.p99Us / pingPong.p99Us;
  report.add("latency", "144B/1ch", "varnel", "p99_to_pingpong_p99", ratio, "");
  const Spread p99ToEpoll = spread(p99Ratios);
  const Spread medianToEpoll = spread(medianDifferences);
  const std::string p99Goal =
      report.figure("latency", "144B/1ch", "varnel", "paired_p99_to_epoll_median", p99ToEpoll.median, "",
                    Limit{false, 1.2, "varnel p99 <= 1.2 x epoll p99, paired", "goal <= 1.2"});
  report.add("latency", "144B/1ch", "varnel", "paired_p99_to_epoll_min", p99ToEpoll.min, "");
  report.add("latency", "144B/1ch", "varnel", "paired_p99_to_epoll_max", p99ToEpoll.max, "");
  const std::string medianGoal =
      report.figure("latency", "144B/1ch", "varnel", "paired_median_minus_epoll_median", medianToEpoll.median,
                    "us", Limit{false, 2.0, "varnel median <= epoll median + 2 us, paired", "goal <= 2"});
  report.add("latency", "144B/1ch", "varnel", "paired_median_minus_epoll_min", medianToEpoll.min, "us");
  report.add("latency", "144B/1ch", "varnel", "paired_median_minus_epoll_max", medianToEpoll.max, "us");
  fmt::print("  paired over {} rounds, median [min-max]:\n", p99Ratios.size());
  fmt::print("    p99 varnel / epoll receiver:      {:.2f} [{:.2f}-{:.2f}]   {}\n", p99ToEpoll.median,
             p99ToEpoll.min, p99ToEpoll.max, p99Goal);
  fmt::print("    median varnel - epoll receiver:   {:.1f} [{:.1f}-{:.1f}] us   {}\n", medianToEpoll.median,
             medianToEpoll.min, medianToEpoll.max, medianGoal);
  fmt::print("  all rounds pooled: p99 varnel / epoll {:.2f}, / blocking recv {:.2f}, / ping-pong {:.2f}\n",
             toEpoll, toBlocking, ratio);
  if (series[0].handOvers != 0) {
    const double cpuUs = series[0].cpuSeconds * 1e6 / static_cast<double>(series[0].handOvers);
    report.add("latency", "144B/1ch", "varnel", "cpu_per_handover", cpuUs, "us");
    fmt::print("  varnel CPU time per hand-over of one package (whole process): {:.2f} us\n", cpuUs);
  }
  std::fflush(stdout);
}

}  // namespace bench
