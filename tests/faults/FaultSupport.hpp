#pragma once

// Shared by the fault tests: addresses, bounded operations, the release of
// threads and descriptors, and the check of received packages against the
// packages the board sent.
//
// Every test binds its own loopback address, so that CTest can run the
// tests in parallel. Deadlines are upper bounds that only a fault reaches;
// VARNEL_TEST_TIME_SCALE multiplies them for slow runs (valgrind).

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "boardsim/FakeBoard.hpp"
#include "boardsim/PackageBuilder.hpp"
#include "support/Collector.hpp"
#include "support/Loopback.hpp"
#include "support/Parser.hpp"
#include "support/ProcessResources.hpp"

namespace faults {

using namespace std::chrono_literals;
using support::Clock;
using support::Collector;
using Packages = std::vector<std::unique_ptr<mirt::OstraDataPackage>>;

using support::eventually;
using support::scaled;
using support::timeScale;

// ------------------------------------------------------------- addresses

// Slot n of the fault tests: 127.0.5.1 to 127.0.5.254, then 127.0.3.40 to
// 127.0.3.254 (127.0.3.2 to 127.0.3.33 belong to the many-boards test).
namespace slot {
inline constexpr unsigned closeSmall = 0;     // 160 offsets
inline constexpr unsigned closeLarge = 160;   // up to 16
inline constexpr unsigned reset = 176;        // up to 16
inline constexpr unsigned delivery = 192;     // up to 16
inline constexpr unsigned stall = 208;        // up to 8
inline constexpr unsigned malformed = 216;    // up to 24
inline constexpr unsigned random = 240;       // up to 16
inline constexpr unsigned application = 256;  // up to 64
inline constexpr unsigned link = 320;         // up to 16
inline constexpr unsigned end = 336;
}  // namespace slot

inline std::string faultAddress(unsigned n) {
  using support::Block;
  if (n < 254) return support::loopback(Block::Faults, n + 1);
  n -= 254;
  if (n < 215) return support::loopback(Block::ManyBoards, n + 40);
  ADD_FAILURE() << "no loopback address left for slot " << n + 254;
  return support::loopback(Block::Faults, 255);
}

// ------------------------------------------------- threads and descriptors

using support::fdCount;
using support::threadCount;

// The process's threads and descriptors at construction.
class ResourceBaseline {
 public:
  ResourceBaseline() {
    threads_ = support::baselineThreadCount();
    fds_ = fdCount();
  }
  void expectReleased() const {
    EXPECT_TRUE(eventually([&] { return threadCount() == threads_; }))
        << "threads: " << threadCount() << ", before: " << threads_;
    EXPECT_TRUE(eventually([&] { return fdCount() == fds_; }))
        << "descriptors: " << fdCount() << ", before: " << fds_;
  }

 private:
  std::size_t threads_ = 0;
  std::size_t fds_ = 0;
};

// Ends the process with a message when an operation does not return in
// time, so that a hang shows up as what it is and not as a CTest time-out.
class Watchdog {
 public:
  Watchdog() : thread_([this] { watch(); }) {}
  ~Watchdog() { stop(); }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  // Runs `f` on the calling thread; `limit` (scaled) bounds it.
  template <typename F>
  void bounded(const char* what, Clock::duration limit, F&& f) {
    arm(what, Clock::now() + scaled(limit));
    struct Disarm {
      Watchdog* dog;
      ~Disarm() { dog->arm(nullptr, Clock::time_point::max()); }
    } disarm{this};
    f();
  }

 private:
  void arm(const char* what, Clock::time_point deadline) {
    {
      std::lock_guard lock(mutex_);
      what_ = what;
      deadline_ = deadline;
    }
    changed_.notify_all();
  }

  void watch() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      if (what_ != nullptr && Clock::now() >= deadline_) {
        std::fprintf(stderr, "HANG: %s did not return in time\n", what_);
        std::fflush(stderr);
        std::abort();
      }
      if (what_ == nullptr) {
        changed_.wait(lock);
      } else {
        changed_.wait_until(lock, deadline_);
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  const char* what_ = nullptr;
  Clock::time_point deadline_ = Clock::time_point::max();
  bool stopping_ = false;
  std::thread thread_;
};

// Base of the fault tests: every test ends with its threads and descriptors
// released (checked after the test body has destroyed its boards and
// parsers), and bounds its blocking calls with the watchdog.
class FaultTest : public testing::Test {
 protected:
  void TearDown() override {
    watchdog_->stop();
    watchdog_.reset();
    baseline_.expectReleased();
  }

  template <typename F>
  void bounded(const char* what, Clock::duration limit, F&& f) {
    watchdog_->bounded(what, limit, std::forward<F>(f));
  }

 private:
  ResourceBaseline baseline_;
  std::unique_ptr<Watchdog> watchdog_ = std::make_unique<Watchdog>();
};

// ---------------------------------------------------------------- parser

using support::connectAllowingEarlyFailure;
using support::Parser;

inline std::pair<int, std::string> asyncError(mirt::Varnel& parser) {
  return support::varnelError([&] { parser.getAsyncError(); });
}

// The recorded error with its cause.
inline support::Failure recordedFailure(mirt::Varnel& parser) {
  return support::varnelFailure([&] { parser.getAsyncError(); });
}

// ------------------------------------------------------------- packages

using boardsim::Bytes;
using boardsim::PackageSpec;

inline Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

inline Bytes prefix(const Bytes& bytes, std::size_t n) { return Bytes(bytes.begin(), bytes.begin() + n); }
inline Bytes suffix(const Bytes& bytes, std::size_t n) { return Bytes(bytes.begin() + n, bytes.end()); }

inline bool sameMeta(const mirt::OstraMetaData& a, const mirt::OstraMetaData& b) {
  const auto bits = [](double d) {
    std::uint64_t u;
    std::memcpy(&u, &d, sizeof u);
    return u;
  };
  return a.statusWord == b.statusWord && a.headerValue == b.headerValue && a.word36 == b.word36 &&
         a.dspVersion == b.dspVersion && a.firmwareVersion == b.firmwareVersion &&
         a.biosVersion == b.biosVersion && a.word52 == b.word52 && a.word56 == b.word56 &&
         a.word60 == b.word60 && a.word64 == b.word64 && a.word68 == b.word68 &&
         bits(a.real72) == bits(b.real72) && bits(a.real80) == bits(b.real80) && a.word88 == b.word88 &&
         a.word92 == b.word92 && a.word96 == b.word96 && a.half100 == b.half100 && a.half102 == b.half102 &&
         a.word104 == b.word104 && a.word108 == b.word108;
}

// True when `p` carries exactly what `spec` put on the wire (a package
// whose samples fill its channels evenly).
inline testing::AssertionResult carries(const mirt::OstraDataPackage& p, const PackageSpec& spec) {
  if (!sameMeta(p.getMetaData(), spec.expectedMetaData())) {
    return testing::AssertionFailure() << "meta data of package " << spec.headerValue << " differs";
  }
  if (p.getChannelCount() != spec.samples.size()) {
    return testing::AssertionFailure() << "package " << spec.headerValue << ": " << p.getChannelCount()
                                       << " channels instead of " << spec.samples.size();
  }
  for (std::size_t c = 0; c < 8; ++c) {
    if (c < spec.samples.size() && p.getWaveformType(c) != spec.waveformTypes[c]) {
      return testing::AssertionFailure() << "package " << spec.headerValue << ": type of channel " << c;
    }
    static const std::vector<std::uint32_t> none;
    const auto& expected = c < spec.samples.size() ? spec.samples[c] : none;
    if (p.getWaveform(c) != expected) {
      return testing::AssertionFailure() << "package " << spec.headerValue << ": samples of channel " << c;
    }
  }
  return testing::AssertionSuccess();
}

// What the board sent, by number (headerValue).
class SentPackages {
 public:
  SentPackages& add(const std::vector<PackageSpec>& specs) {
    for (const auto& s : specs) byNumber_[s.headerValue] = s;
    return *this;
  }
  // The numbers of `popped`, in order; every package must carry exactly
  // what was sent under its number.
  std::vector<std::uint64_t> numbersOf(const Packages& popped) const {
    std::vector<std::uint64_t> numbers;
    for (const auto& p : popped) {
      const std::uint64_t n = p->getMetaData().headerValue;
      numbers.push_back(n);
      const auto it = byNumber_.find(n);
      if (it == byNumber_.end()) {
        ADD_FAILURE() << "received package " << n << ", which was never sent";
      } else {
        EXPECT_TRUE(carries(*p, it->second));
      }
    }
    return numbers;
  }

 private:
  std::map<std::uint64_t, PackageSpec> byNumber_;
};

inline std::vector<std::uint64_t> range(std::uint64_t first, std::size_t count) {
  std::vector<std::uint64_t> v(count);
  for (std::size_t i = 0; i < count; ++i) v[i] = first + i;
  return v;
}

inline std::vector<std::size_t> sizesOf(const std::vector<support::HandOver>& handOvers) {
  std::vector<std::size_t> sizes;
  for (const auto& h : handOvers) sizes.push_back(h.size);
  return sizes;
}

}  // namespace faults
