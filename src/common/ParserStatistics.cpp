#include "common/ParserStatistics.hpp"

#include <chrono>
#include <thread>

namespace {

constexpr auto relaxed = std::memory_order_relaxed;

// The one writer adds without a read-modify-write (no locked instruction).
template <typename T>
void add(std::atomic<T>& figure, T amount) {
  figure.store(figure.load(relaxed) + amount, relaxed);
}

std::int64_t nanoseconds(auto duration) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count();
}

}  // namespace

mirt::ReceiveTime ParserStatistics::now() {
  mirt::ReceiveTime time;
  time.systemTimeNs = nanoseconds(std::chrono::system_clock::now().time_since_epoch());
  time.steadyTimeNs = nanoseconds(std::chrono::steady_clock::now().time_since_epoch());
  return time;
}

void ParserStatistics::storeTimes(Time& system, Time& steady, const mirt::ReceiveTime& time) {
  // An odd version marks the times as being written; a reader that saw it,
  // or saw it change, reads again.
  const std::uint32_t version = timesVersion.load(relaxed);
  timesVersion.store(version + 1, relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  system.store(time.systemTimeNs, relaxed);
  steady.store(time.steadyTimeNs, relaxed);
  timesVersion.store(version + 2, std::memory_order_release);
}

void ParserStatistics::connected(const mirt::ReceiveTime& time) {
  add(connections, std::uint64_t{1});
  storeTimes(connectedSystemNs, connectedSteadyNs, time);
}

void ParserStatistics::connectionNotTaken() {
  connections.store(connections.load(relaxed) - 1, relaxed);
  disconnected();
}

void ParserStatistics::disconnected() {
  storeTimes(connectedSystemNs, connectedSteadyNs, mirt::ReceiveTime{});
}

void ParserStatistics::failed() { failures.fetch_add(1, relaxed); }

void ParserStatistics::received(std::uint32_t packageBytes, const mirt::ReceiveTime& time) {
  add(packages, std::uint64_t{1});
  add(bytes, std::uint64_t{packageBytes});
  // The packages of one read share its time: written once for them.
  if (time.steadyTimeNs != lastSteadyNs.load(relaxed) || time.systemTimeNs != lastSystemNs.load(relaxed)) {
    storeTimes(lastSystemNs, lastSteadyNs, time);
  }
}

void ParserStatistics::handedOver(std::size_t handed, std::size_t notPopped, std::uint64_t callbackNs) {
  add(handOvers, std::uint64_t{1});
  if (handed == 0) add(emptyHandOvers, std::uint64_t{1});
  if (handed > largestHandOver.load(relaxed)) largestHandOver.store(handed, relaxed);
  add(packagesNotPopped, std::uint64_t{notPopped});
  add(callbackTotalNs, callbackNs);
  if (callbackNs > callbackLongestNs.load(relaxed)) callbackLongestNs.store(callbackNs, relaxed);
}

mirt::VarnelStatistics ParserStatistics::snapshot() const {
  mirt::VarnelStatistics s{};
  s.connections = connections.load(relaxed);
  s.failures = failures.load(relaxed);
  s.packages = packages.load(relaxed);
  s.bytes = bytes.load(relaxed);
  s.handOvers = handOvers.load(relaxed);
  s.emptyHandOvers = emptyHandOvers.load(relaxed);
  s.largestHandOver = largestHandOver.load(relaxed);
  s.packagesNotPopped = packagesNotPopped.load(relaxed);
  s.callbackTotalNs = callbackTotalNs.load(relaxed);
  s.callbackLongestNs = callbackLongestNs.load(relaxed);
  // Each time is a pair of clocks: both halves come from one writing.
  // The writer is the I/O thread, which stores them in a few instructions,
  // so a retry is rare and short.
  for (;;) {
    const std::uint32_t before = timesVersion.load(std::memory_order_acquire);
    s.lastReceiveTime.systemTimeNs = lastSystemNs.load(relaxed);
    s.lastReceiveTime.steadyTimeNs = lastSteadyNs.load(relaxed);
    s.connectedTime.systemTimeNs = connectedSystemNs.load(relaxed);
    s.connectedTime.steadyTimeNs = connectedSteadyNs.load(relaxed);
    std::atomic_thread_fence(std::memory_order_acquire);
    if ((before & 1u) == 0 && timesVersion.load(relaxed) == before) break;
    std::this_thread::yield();
  }
  return s;
}
