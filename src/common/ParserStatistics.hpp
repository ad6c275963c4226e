#pragma once

// The running figures of one parser (mirt::VarnelStatistics).
//
// Every figure is an atomic of its own, read and written with relaxed
// order: a snapshot may be taken from any thread at any time without a
// lock, and the I/O thread pays a plain load and store per update. The two
// clocks of a time are written under a version number, so that a snapshot
// never pairs halves of two different times. All
// figures but `failures` have one writer at a time, the I/O thread of the
// parser's current connection (a connection's thread is joined before the
// next one starts), so they are updated without a read-modify-write;
// failures are also recorded by the thread that gives a connect up, and are
// added atomically.

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "varnel/varnel.hpp"

class ParserStatistics {
 public:
  // Both clocks now.
  static mirt::ReceiveTime now();

  // I/O thread: a connection was established at `time`. Recorded before
  // the state machine hears of it, so that connect() never returns before
  // the figures show the connection.
  void connected(const mirt::ReceiveTime& time);
  // I/O thread: the connection just recorded was not taken (connect() had
  // given up); it is not counted.
  void connectionNotTaken();
  // I/O thread: the connection has ended; there is no current one.
  void disconnected();
  // Any thread: a failure was recorded.
  void failed();
  // I/O thread: a package of `bytes` bytes was received at `time`.
  void received(std::uint32_t bytes, const mirt::ReceiveTime& time);
  // I/O thread: a hand-over of `packages` packages; the callback took
  // `callbackNs` and left `notPopped` of them in the stream.
  void handedOver(std::size_t packages, std::size_t notPopped, std::uint64_t callbackNs);

  mirt::VarnelStatistics snapshot() const;

 private:
  using Counter = std::atomic<std::uint64_t>;
  using Time = std::atomic<std::int64_t>;

  Counter connections{0};
  Counter failures{0};
  Counter packages{0};
  Counter bytes{0};
  Counter handOvers{0};
  Counter emptyHandOvers{0};
  Counter largestHandOver{0};
  Counter packagesNotPopped{0};
  Counter callbackTotalNs{0};
  Counter callbackLongestNs{0};
  Time lastSystemNs{0};
  Time lastSteadyNs{0};
  Time connectedSystemNs{0};
  Time connectedSteadyNs{0};
  // Written around every change of the times above (see storeTimes).
  std::atomic<std::uint32_t> timesVersion{0};

  void storeTimes(Time& system, Time& steady, const mirt::ReceiveTime& time);
};
