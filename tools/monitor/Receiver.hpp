#pragma once

// The monitor's side of the library's callback: what it counts, and what it
// shares with the main thread.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include <varnel/varnel.hpp>

#include "monitor/Recorder.hpp"

namespace monitor {

struct Totals {
  std::uint64_t packages = 0;
  std::uint64_t streams = 0;  // hand-overs that carried packages
  std::uint64_t emptyHandOvers = 0;
  std::uint64_t bytes = 0;                 // the library's count (set where the figures are shown)
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
  // While the main thread waits in a connect: the longest it may still
  // take in seconds (0 otherwise), for the word a stop signal gets then.
  std::uint64_t connectingFor = 0;
};

// The library's callback, on the I/O thread of the parser that is
// connected: takes every package out of the stream (none is left for the
// library to drop), counts it, keeps only the latest for the status line
// and, when recording, queues them all for the recorder (which never waits
// for the file). Packages past --count are released unseen.
class Receiver {
 public:
  Receiver(Shared& shared, Recorder* recorder, std::uint64_t countLimit)
      : shared_(shared), recorder_(recorder), countLimit_(countLimit == 0 ? UINT64_MAX : countLimit) {}

  /// Called by the main thread before every connect: the next package is
  /// the first of a new connection. No callback runs meanwhile (the last
  /// connection has failed, or there was none), and connecting orders this
  /// before the next callback.
  void startConnection() { firstOfConnection_ = true; }

  void operator()(mirt::OstraDataStream* stream);

 private:
  Shared& shared_;
  Recorder* recorder_;
  const std::uint64_t countLimit_;
  // Only touched on the I/O thread, and by startConnection between connections.
  std::uint64_t counted_ = 0;
  std::optional<std::uint64_t> lastNumber_;
  bool firstOfConnection_ = true;
  std::vector<std::shared_ptr<const mirt::OstraDataPackage>> received_;  // reused
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges_;          // likewise
};

}  // namespace monitor
