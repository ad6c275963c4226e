#pragma once

// Serves the hand-overs of a JetStream subject as a board would: it listens
// on one address at port 63751 and sends every client that connects the
// packages of the subject's messages, in the stream's order, as one byte
// stream. Any number of clients at once, each with a consumer of its own
// (an ordered consumer, which the server feeds no faster than the client
// reads and which resumes after the last message it delivered when NATS
// fails over). A message that is not a hand-over is skipped and reported.
//
//   natslink::SubjectSettings s;
//   s.url = "nats://10.0.0.5:4222";
//   s.subject = "varnel.hall1";
//   natslink::SubjectServer server(s, onEvent);  // connects, checks the stream
//   server.run();                            // until requestStop()

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace natslink {

/// Where a client's consumer begins.
enum class StartAt { First, New, Time };

struct SubjectSettings {
  /// Numeric IPv4 or IPv6 address to listen on.
  std::string address = "127.0.0.1";
  /// nats://HOST[:PORT], several separated by commas.
  std::string url;
  std::string subject;
  StartAt start = StartAt::First;
  /// StartAt::Time: ns since 1970-01-01 UTC.
  std::int64_t startTimeNs = 0;
  /// A client begins behind the last message sent whole to (or skipped for)
  /// the clients before it, and at `start` only while there was none: for
  /// one client at a time that connects again after a failure, which then
  /// gets nothing twice (what it had received but not taken when it failed
  /// is not sent again).
  bool resume = false;
  /// Stop after this many clients have been served (0: no limit).
  std::uint64_t clients = 0;
  /// Stop after this time (0: no limit).
  std::chrono::milliseconds duration{0};
};

struct SubjectEvent {
  enum class Kind { Listening, Connected, Disconnected, Skipped, NatsLost, NatsBack, NatsClosed };
  Kind kind = Kind::Listening;
  /// 1 for the first client, 2 for the next, ... (0 for the server's own).
  std::uint64_t client = 0;
  /// "address:port" of the client (Listening: "address port 63751";
  /// NatsBack: the server's URL).
  std::string peer;
  /// Disconnected: hand-overs and bytes sent to the client.
  std::uint64_t handOvers = 0;
  std::uint64_t bytes = 0;
  /// Disconnected: how the connection ended; Skipped: why the message is
  /// not a hand-over, with its stream sequence; NatsClosed: the client's
  /// last error (it gave the connection up for good; the server stops).
  std::string how;
};

/// Why run() returned.
enum class SubjectStop { Requested, Duration, Clients, NatsClosed };

class SubjectServer {
 public:
  /// Events come on the server's threads, one at a time.
  using EventHandler = std::function<void(const SubjectEvent&)>;

  /// Connects to NATS, checks that a stream holds the subject and binds the
  /// listening socket. Throws natslink::NatsError when NATS cannot be
  /// reached or no stream holds the subject, std::invalid_argument for an
  /// address that is not numeric, std::system_error when it cannot be bound.
  SubjectServer(SubjectSettings settings, EventHandler onEvent = {});
  /// Stops, and waits for every client's thread.
  ~SubjectServer();
  SubjectServer(const SubjectServer&) = delete;
  SubjectServer& operator=(const SubjectServer&) = delete;

  /// Accepts clients on the calling thread until a stop request or a limit
  /// of the settings, then ends every client's connection. Call it once.
  SubjectStop run();
  /// Asks run() to return. Async-signal-safe; returns at once.
  void requestStop() noexcept;

  std::uint64_t handOversSent() const;
  std::uint64_t bytesSent() const;
  std::uint64_t clientsServed() const;
  std::uint64_t skipped() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

/// Reads "2024-05-01T12:00:00Z" (fractions of a second allowed, UTC only)
/// or seconds since 1970 ("1714564800.5") as ns since 1970-01-01 UTC.
std::optional<std::int64_t> parseTime(const std::string& text);

}  // namespace natslink
