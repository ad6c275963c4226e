#pragma once

// A simulated board that streams generated packages: it listens on one
// address at port 63751, serves one client at a time and sends it numbered
// packages from a PackageGenerator, at a fixed pace or as fast as the
// client takes them, with faults on request. A client that connects while
// another is served is turned away: its connection is closed at once, and
// a TurnedAway event says so. (Left waiting in the accept queue it would
// count as connected and receive nothing, with no hint why.)
//
//   boardsim::ServerSettings server;
//   server.address = "127.0.0.9";
//   server.packagesPerSecond = 0;  // as fast as possible
//   boardsim::BoardServer board(server, boardsim::GeneratorSettings{});
//   board.start();                  // or run() on this thread
//   ... connect a receiver to 127.0.0.9 ...
//   board.stop();
//
// Package numbers run on over the board's life: the next client gets the
// package after the last one sent (or cut) to the previous client.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "boardsim/SignalGenerator.hpp"

namespace boardsim {

/// Faults played on every connection; N counts the packages sent on it.
struct ConnectionFaults {
  /// Close the connection in order after N packages.
  std::optional<std::uint64_t> closeAfter;
  /// After N packages send only the first cutAt bytes of the next package
  /// (0: half of it; else less than the package's size), then close in
  /// order.
  std::optional<std::uint64_t> cutAfter;
  std::uint32_t cutAt = 0;
  /// Abort the connection (RST) after N packages, once the client has
  /// acknowledged everything sent.
  std::optional<std::uint64_t> resetAfter;
  /// Send nothing for stallFor after N packages, then go on.
  std::optional<std::uint64_t> stallAfter;
  std::chrono::milliseconds stallFor{2000};
  /// After badHeaderAfter packages send a package with this malformed
  /// header, then hold the connection until the client closes it.
  std::optional<HeaderFault> badHeader;
  std::uint64_t badHeaderAfter = 0;
};

struct ServerSettings {
  /// Numeric IPv4 or IPv6 address to listen on.
  std::string address = "127.0.0.1";
  /// Packages per second; 0: as fast as the client takes them.
  double packagesPerSecond = 100.0;
  /// Stop after this many packages in all (0: no limit); the connection is
  /// closed in order after the last one.
  std::uint64_t count = 0;
  /// Stop after this time (0: no limit).
  std::chrono::milliseconds duration{0};
  /// Stop after this many clients have been served (0: no limit).
  std::uint64_t clients = 0;
  /// After every N packages sent, leave out one package number (0: never),
  /// so that a receiver sees a gap in headerValue.
  std::uint64_t skipEvery = 0;
  ConnectionFaults faults;
};

/// Why run() returned.
enum class StopReason { Requested, Count, Duration, Clients };
std::string_view stopReasonText(StopReason reason);

/// What the board reports while it runs, on the thread that runs it.
struct ServerEvent {
  enum class Kind { Listening, Connected, Disconnected, TurnedAway };
  Kind kind = Kind::Listening;
  /// 1 for the first client, 2 for the next, ... (TurnedAway: the client
  /// being served; a client turned away gets no number).
  std::uint64_t client = 0;
  /// "address:port" of the client (Listening: "address port 63751";
  /// TurnedAway: the client turned away).
  std::string peer;
  /// Disconnected: well-formed packages and bytes sent on the connection.
  std::uint64_t packages = 0;
  std::uint64_t bytes = 0;
  /// Disconnected: how the connection ended. TurnedAway: "address:port" of
  /// the client being served.
  std::string how;
};

class BoardServer {
 public:
  using EventHandler = std::function<void(const ServerEvent&)>;

  /// Binds the listening socket. Throws std::invalid_argument for settings
  /// out of range (a cut point outside the package included) or an address
  /// that is not numeric, std::system_error with
  /// the system's text when the address cannot be bound.
  BoardServer(ServerSettings server, GeneratorSettings generator, EventHandler onEvent = {});
  /// Stops the board and waits for its thread, if start() made one.
  ~BoardServer();
  BoardServer(const BoardServer&) = delete;
  BoardServer& operator=(const BoardServer&) = delete;

  /// Serves clients on the calling thread until a stop request or a limit
  /// of the settings. Call it (or start) once. Throws std::system_error
  /// when a socket operation fails unexpectedly.
  StopReason run();
  /// run() on a thread of the board's own.
  void start();
  /// Asks run() to return: the current connection is closed in order.
  /// Async-signal-safe; returns at once.
  void requestStop() noexcept;
  /// requestStop, then waits for the thread that start() made.
  void stop();

  const ServerSettings& settings() const;
  const PackageGenerator& generator() const;
  std::uint64_t packagesSent() const;
  std::uint64_t bytesSent() const;
  std::uint64_t clientsServed() const;
  /// Text of a failure of start()'s thread; empty if none.
  std::string error() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace boardsim
