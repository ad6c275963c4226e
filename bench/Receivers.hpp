#pragma once

// The library as the receiver under test: a parser set up as every part of
// the benchmark uses it, and the count of the packages it hands over.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <string>

#include "AllocationCount.hpp"
#include "ProcessFigures.hpp"
#include "Timing.hpp"
#include "varnel/varnel.hpp"

namespace capture {
class CaptureWriter;
}

namespace bench {

inline constexpr std::uint32_t packageCounter = 25;

/// The error the parser recorded, as text.
std::string asyncError(mirt::Varnel& parser);

/// Makes every parser that connectVarnel connects from now on feed its
/// received bytes to `writer` (varnel-bench --capture; null: none).
void captureInto(capture::CaptureWriter* writer);

/// A parser of `ip` with package counter 25 and a 3 s TCP time-out,
/// connected. Throws what connect throws.
std::unique_ptr<mirt::Varnel> connectVarnel(const std::string& ip,
                                            std::function<void(mirt::OstraDataStream*)> callback);

// Counts the packages of one parser and wakes the waiting thread once the
// target is reached; the time and the resource usage of that moment are taken
// on the I/O thread itself.
struct PackageCount {
  std::atomic<std::uint64_t> packages{0};
  std::uint64_t target = std::numeric_limits<std::uint64_t>::max();
  std::mutex mutex;
  std::condition_variable reached;
  bool done = false;
  Clock::time_point end;
  Usage usageEnd;
  std::uint64_t allocationsEnd = 0;  // allocationCount() at that moment

  void add(std::uint64_t n) {
    if (n == 0) {
      return;
    }
    const std::uint64_t total = packages.fetch_add(n, std::memory_order_relaxed) + n;
    if (total >= target && total - n < target) {
      const auto now = Clock::now();
      const Usage usage = usageNow();
      const std::uint64_t allocations = allocationCount();
      {
        std::lock_guard lock(mutex);
        end = now;
        usageEnd = usage;
        allocationsEnd = allocations;
        done = true;
      }
      reached.notify_all();
    }
  }

  // True when the target was reached before `deadline`; stops early when the
  // parser records an error.
  bool wait(mirt::Varnel& parser, Clock::time_point deadline, std::string& error);
};

}  // namespace bench
