#pragma once

// A board that serves the byte stream of a capture (varnel-board --replay):
// it listens on one address at port 63751 and sends each client that
// connects the board's bytes of the captured conversation, with the
// capture's timing (scaled by a speed) or as fast as the client reads, and
// then ends the connection as the board did in the capture: in order after
// a FIN, with a reset after a RST, and otherwise holds it open until the
// client closes it. With `loop` the stream starts again after its last
// byte instead, on the same connection. One client at a time: a client
// that connects meanwhile waits for its turn.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "boardsim/BoardServer.hpp"
#include "capture/StreamReassembler.hpp"

namespace boardsim {

struct ReplaySettings {
  /// Numeric IPv4 or IPv6 address to listen on.
  std::string address = "127.0.0.1";
  /// 1: as captured; 2: twice as fast; 0: as fast as the client reads.
  double speed = 1.0;
  bool loop = false;
  /// Stop after this many clients (0: no limit).
  std::uint64_t clients = 0;
  /// Stop after this time (0: no limit).
  std::chrono::milliseconds duration{0};
};

class ReplayServer {
 public:
  /// Binds the listening socket. Throws std::invalid_argument for a speed
  /// below 0 or an address that is not numeric, std::system_error with the
  /// system's text when the address cannot be bound.
  ReplayServer(ReplaySettings settings, capture::BoardStream stream, BoardServer::EventHandler onEvent = {});
  ~ReplayServer();
  ReplayServer(const ReplayServer&) = delete;
  ReplayServer& operator=(const ReplayServer&) = delete;

  /// Serves clients on the calling thread until a stop request or a limit
  /// of the settings (StopReason::Count is not used). Call it once. Throws
  /// std::system_error when a socket operation fails unexpectedly.
  StopReason run();
  /// Asks run() to return. Async-signal-safe; returns at once.
  void requestStop() noexcept;

  std::uint64_t bytesSent() const;
  std::uint64_t clientsServed() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace boardsim
