#pragma once

// Test-side callback for a parser: records every hand-over and keeps the
// popped packages, with bounded waits for what the test expects.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/Waiting.hpp"
#include "varnel/varnel.hpp"

namespace support {

// The text of an error recorded for a connection that the board reset, as
// the checks compare it: on Linux as it is. Under Wine the read of a reset
// connection may find the end of the stream instead: Wine's server takes
// the socket's pending error when it sees the connection fail, before the
// read gets to it. There an end-of-file text of a reset reads as the reset
// text ("Connection reset by peer" on Linux and Wine alike); a board that
// closes is still checked for the end-of-file text.
inline std::string seenAsReset(std::string text) {
#if defined(_WIN32)
  constexpr std::string_view endOfFile = "End of file";
  if (text.ends_with(endOfFile)) {
    text.replace(text.size() - endOfFile.size(), endOfFile.size(), "Connection reset by peer");
  }
#endif
  return text;
}

// The same for a failure cause: under Wine a reset may read as the end of
// the stream, between two packages or inside one.
inline mirt::FailureCause seenAsReset(mirt::FailureCause cause) {
#if defined(_WIN32)
  if (cause == mirt::FailureCause::ClosedBetweenPackages ||
      cause == mirt::FailureCause::ClosedInsidePackage) {
    return mirt::FailureCause::Reset;
  }
#endif
  return cause;
}

struct HandOver {
  std::size_t size = 0;               // packages in the stream at the call
  mirt::ConnectionState stateInside;  // parser state seen inside the callback
  Clock::time_point entered;          // when the callback was entered
};

class Collector {
 public:
  // What the callback does besides popping; runs on the I/O thread.
  std::function<void(mirt::OstraDataStream*)> extra;
  // Pop every package (true) or leave them in the stream (false).
  bool popAll = true;
  mirt::Varnel* parser = nullptr;  // for the state seen inside the callback

  std::function<void(mirt::OstraDataStream*)> callback() {
    return [this](mirt::OstraDataStream* stream) { onStream(stream); };
  }

  bool waitForHandOvers(std::size_t count, Clock::duration timeout = 5s) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return handOvers.size() >= count; });
  }
  bool waitForPackages(std::size_t count, Clock::duration timeout = 5s) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return packages.size() >= count; });
  }
  std::vector<HandOver> takeHandOvers() {
    std::lock_guard lock(mutex);
    return handOvers;
  }
  std::vector<std::unique_ptr<mirt::OstraDataPackage>> takePackages() {
    std::lock_guard lock(mutex);
    return std::move(packages);
  }
  std::size_t packageCount() {
    std::lock_guard lock(mutex);
    return packages.size();
  }

 private:
  void onStream(mirt::OstraDataStream* stream) {
    HandOver h;
    h.entered = Clock::now();
    h.size = stream->getSize();
    h.stateInside = parser != nullptr ? parser->getState() : mirt::ConnectionState::Error;
    std::vector<std::unique_ptr<mirt::OstraDataPackage>> popped;
    if (popAll) {
      while (auto p = stream->pop()) popped.push_back(std::move(p));
    }
    if (extra) extra(stream);
    {
      std::lock_guard lock(mutex);
      handOvers.push_back(h);
      for (auto& p : popped) packages.push_back(std::move(p));
    }
    changed.notify_all();
  }

  std::mutex mutex;
  std::condition_variable changed;
  std::vector<HandOver> handOvers;
  std::vector<std::unique_ptr<mirt::OstraDataPackage>> packages;
};

// Runs `f`, expecting a VarnelException; returns it as (code, text).
template <typename F>
std::pair<int, std::string> varnelError(F f) {
  try {
    f();
  } catch (const mirt::VarnelException& e) {
    return {static_cast<int>(e.getErrorCode()), e.what()};
  }
  return {-1, "no exception"};
}

// A VarnelException's code, text and cause, which belong together.
struct Failure {
  int code = -1;
  std::string text = "no exception";
  mirt::FailureCause cause = mirt::FailureCause::None;
};

// Runs `f`, expecting a VarnelException; returns it as a Failure.
template <typename F>
Failure varnelFailure(F f) {
  try {
    f();
  } catch (const mirt::VarnelException& e) {
    return {static_cast<int>(e.getErrorCode()), e.what(), e.getFailureCause()};
  }
  return {};
}

}  // namespace support
