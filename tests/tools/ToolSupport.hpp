#pragma once

// Shared by the tests that run the built tools as processes: starting
// varnel-board on a test's own loopback address, connecting a parser to it
// once it listens, and reading the recorded error.

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "boardsim/SignalGenerator.hpp"
#include "support/Collector.hpp"
#include "support/Parser.hpp"
#include "tools/ChildProcess.hpp"
#include "varnel/varnel.hpp"

namespace tooltest {

using namespace std::chrono_literals;

#ifndef VARNEL_BOARD_PATH
#error "VARNEL_BOARD_PATH must name the built varnel-board"
#endif
#ifndef VARNEL_MONITOR_PATH
#error "VARNEL_MONITOR_PATH must name the built varnel-monitor"
#endif
inline const std::string boardPath = VARNEL_BOARD_PATH;
inline const std::string monitorPath = VARNEL_MONITOR_PATH;

/// Generous bound for a tool to start, finish or react; the sanitizer builds
/// are slow.
inline constexpr auto patience = 20s;

/// The words of `text`, split at spaces.
inline std::vector<std::string> words(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string word; in >> word;) out.push_back(word);
  return out;
}

/// varnel-board listening on `address` with `options` ("--fast --count 5").
inline std::unique_ptr<ChildProcess> startBoard(const std::string& address, const std::string& options) {
  return std::make_unique<ChildProcess>(boardPath, words("--bind " + address + " " + options));
}

/// The recorded asynchronous error of `parser` as (code, text); (-1, "") if
/// there is none.
inline std::pair<int, std::string> recordedError(mirt::Varnel& parser) {
  try {
    parser.getAsyncError();
  } catch (const mirt::VarnelException& e) {
    return {static_cast<int>(e.getErrorCode()), e.what()};
  }
  return {-1, ""};
}

/// Connects `parser` to the board that `board` runs, trying again while
/// nothing listens yet (the process is still starting). A failure after the
/// board was reached (its first data refused before connect saw the
/// connection) stays recorded in the parser for the test to check; true
/// when the board was reached.
inline bool connectToBoard(mirt::Varnel& parser, ChildProcess& board) {
  const auto deadline = Clock::now() + patience;
  for (int attempt = 0; attempt < 10000; ++attempt) {
    try {
      parser.connect();
      return true;
    } catch (const mirt::VarnelException& e) {
      // The board was not reached: refused while it starts, or reset before
      // the connection was taken (a fast board's fault); tried again. A
      // connect time-out is the test's to check.
      if (e.getFailureCause() == mirt::FailureCause::ConnectTimedOut) return true;
      if (!board.running() || Clock::now() >= deadline) {
        ADD_FAILURE() << "no board to connect to: " << e.what() << "\n" << board.outputs();
        return false;
      }
      try {
        parser.disconnect();
      } catch (const mirt::VarnelException&) {
      }
      board.pump(5ms);  // reads the board's output meanwhile; returns early when it prints
    }
  }
  ADD_FAILURE() << "no board to connect to after 10000 attempts";
  return false;
}

/// A parser for a tool's board: hand-overs by count only (the timer of a
/// minute never comes), a TCP timeout for a board still starting.
inline constexpr std::uint32_t neverExpires = 60000;
inline constexpr std::uint32_t toolTcpTimeout = 5;
using support::Parser;

/// Waits until `parser` has recorded an error and returns it.
inline std::pair<int, std::string> awaitError(mirt::Varnel& parser) {
  EXPECT_TRUE(
      support::eventually([&] { return parser.getState() == mirt::ConnectionState::Error; }, patience));
  return recordedError(parser);
}

/// Checks a received package against the generator's, field by field.
inline void expectPackageEquals(const mirt::OstraDataPackage& got, const boardsim::PackageSpec& want) {
  const mirt::OstraMetaData& m = got.getMetaData();
  ASSERT_EQ(m.headerValue, want.headerValue);
  EXPECT_EQ(m.statusWord, want.statusWord);
  EXPECT_EQ(m.dspVersion, want.meta.dspVersion);
  EXPECT_EQ(m.firmwareVersion, want.meta.firmwareVersion);
  EXPECT_EQ(m.biosVersion, want.meta.biosVersion);
  ASSERT_EQ(got.getChannelCount(), want.samples.size());
  for (std::size_t c = 0; c < want.samples.size(); ++c) {
    EXPECT_EQ(got.getWaveformType(c), want.waveformTypes[c]) << "channel " << c;
    ASSERT_EQ(got.getWaveform(c), want.samples[c]) << "package " << want.headerValue << " channel " << c;
  }
}

/// Waits until `parser` has recorded an error and returns it with its cause.
inline support::Failure awaitFailure(mirt::Varnel& parser) {
  EXPECT_TRUE(
      support::eventually([&] { return parser.getState() == mirt::ConnectionState::Error; }, patience));
  return support::varnelFailure([&] { parser.getAsyncError(); });
}

/// Numbers (headerValue) of `packages`, in order.
inline std::vector<std::uint64_t> numbers(
    const std::vector<std::unique_ptr<mirt::OstraDataPackage>>& packages) {
  std::vector<std::uint64_t> out;
  for (const auto& p : packages) out.push_back(p->getMetaData().headerValue);
  return out;
}

inline std::vector<std::uint64_t> range(std::uint64_t first, std::size_t count) {
  std::vector<std::uint64_t> out(count);
  for (std::size_t i = 0; i < count; ++i) out[i] = first + i;
  return out;
}

}  // namespace tooltest
