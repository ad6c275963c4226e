#pragma once

// varnel-bridge's side towards one board: its parsers (one per address its
// name resolved to, tried in turn), a thread that keeps it connected
// (connecting again after a failure with the tools' back-off), and the
// library's callback, which turns every hand-over into one for the
// publisher. The packages go on exactly as the board sent them: the parser's
// receive observer cuts the bytes it reads into packages, and each hand-over
// takes as many of them as the library handed over (the library has
// checked them by then; a package it refuses ends the connection, and the
// next one starts the cutting afresh).

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <varnel/varnel.hpp>

#include "bridge/Publisher.hpp"
#include "nats/HandOver.hpp"

namespace bridge {

/// The library's settings for every board (not given: the library's own).
struct LibrarySettings {
  std::optional<std::uint32_t> packageCounter;
  std::optional<std::uint32_t> waitMs;
  std::optional<std::uint32_t> tcpTimeout;
};

struct FeedFigures {
  std::uint64_t packages = 0;
  std::uint64_t bytes = 0;
  std::uint64_t reconnects = 0;  // connections after the first
  /// Packages whose bytes did not match what the library handed over (not
  /// published; never seen unless the library and the cutting disagree).
  std::uint64_t unmatched = 0;
  bool connected = false;
};

class BoardFeed {
 public:
  using Log = Publisher::Log;

  /// `index` is the board's place among the publisher's boards; `host` as
  /// given, `addresses` what it resolved to.
  BoardFeed(std::size_t index, std::string name, std::string host, std::vector<std::string> addresses,
            const LibrarySettings& settings, Publisher& publisher, Log log);
  /// stop()
  ~BoardFeed();
  BoardFeed(const BoardFeed&) = delete;
  BoardFeed& operator=(const BoardFeed&) = delete;

  /// Starts the thread that connects and keeps the board connected.
  void start();
  /// Asks the thread to end, without waiting: a stop of several boards
  /// asks them all first, so that their connects in progress end together.
  void requestStop();
  /// Ends the thread and disconnects; the packages received until then are
  /// handed to the publisher first.
  void stop();

  const std::string& name() const { return name_; }
  const std::string& host() const { return host_; }
  FeedFigures figures() const;

 private:
  void run();
  bool waitFor(std::chrono::steady_clock::duration wait);  // false once stopping
  std::optional<std::string> connect();                    // the failure's text
  void disconnect();
  void onStream(mirt::OstraDataStream* stream);

  const std::size_t index_;
  const std::string name_;
  const std::string host_;
  const std::vector<std::string> addresses_;
  Publisher& publisher_;
  Log log_;
  std::vector<std::unique_ptr<mirt::Varnel>> parsers_;
  std::size_t current_ = 0;
  bool connectedOnce_ = false;

  // Touched only on the I/O thread of the connected parser (connections
  // follow one another: the last is disconnected before the next).
  handover::PackageCutter cutter_;

  std::atomic<std::uint64_t> packages_{0};
  std::atomic<std::uint64_t> bytes_{0};
  std::atomic<std::uint64_t> reconnects_{0};
  std::atomic<std::uint64_t> unmatched_{0};
  std::atomic<bool> connected_{false};

  std::mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace bridge
