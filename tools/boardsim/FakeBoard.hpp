#pragma once

// A fake board for tests: a TCP server on a loopback address, port 63751,
// that serves clients one after another and plays a script to them.
//
//   boardsim::Script script;
//   script.sendEach(boardsim::encodeEach(boardsim::numberedPackages(1, 10)), 5ms)
//       .waitForClientClose()
//       .acceptNext()
//       .send(boardsim::encode(spec), 7)  // in 7-byte chunks
//       .close();
//   boardsim::FakeBoard board("127.0.0.5", std::move(script));
//   ... connect the receiver to 127.0.0.5 ...
//   ASSERT_TRUE(board.waitForDone(2s));
//
// The board listens from the end of its constructor on, so a client may
// connect at once. Only the board's own thread touches the sockets; the
// observers below may be called from any thread. Every wait of the board's
// thread ends promptly when the board is stopped.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace boardsim {

/// What the board does, step by step. The first client is accepted before
/// the first step; acceptNext starts the part of the script for the next
/// client. When a connection ends early (the client closed it, or a close or
/// reset step ended it), the remaining steps up to the next acceptNext are
/// skipped. After the last step the board holds the connection open without
/// sending until it is stopped, and still notices when the client closes.
/// A client that connects while the board does not wait for one (beyond the
/// script, or while another connection is served) stays in the system's
/// accept queue: its connect succeeds, but it receives nothing and is not
/// counted by clientsAccepted (see clientsWaiting).
class Script {
 public:
  /// Sends `bytes`, in pieces of `chunkSize` bytes (0: all at once),
  /// pausing `pace` between two pieces.
  Script& send(std::vector<std::uint8_t> bytes, std::size_t chunkSize = 0,
               std::chrono::milliseconds pace = std::chrono::milliseconds(0));
  /// Sends each element whole, pausing `pace` between two elements.
  Script& sendEach(const std::vector<std::vector<std::uint8_t>>& pieces,
                   std::chrono::milliseconds pace = std::chrono::milliseconds(0));
  /// Waits for `duration` without sending.
  Script& pause(std::chrono::milliseconds duration);
  /// Waits without sending until the client closes its end.
  Script& waitForClientClose();
  /// Closes the connection in order (FIN after all bytes sent so far).
  Script& close();
  /// Waits until the client has acknowledged every byte sent so far (at
  /// most 2 s), then aborts the connection (RST).
  Script& reset();
  /// Holds the connection open without sending until the board is stopped;
  /// later steps never run.
  Script& silent();
  /// Closes the current connection in order if it is still open, then
  /// accepts the next client.
  Script& acceptNext();

  std::size_t size() const { return steps_.size(); }

 private:
  friend class FakeBoard;
  enum class Kind { Send, Pause, WaitForClientClose, Close, Reset, Silent, AcceptNext };
  struct Step {
    Kind kind;
    std::vector<std::uint8_t> bytes;
    std::size_t chunkSize = 0;
    std::chrono::milliseconds duration{0};  // pace for Send, length for Pause
  };
  std::vector<Step> steps_;
};

class FakeBoard {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::uint16_t port = 63751;

  /// Tag for the board that never accepts (see below).
  struct NeverAccept {};

  /// Listens on `address` (numeric IPv4 or IPv6, e.g. "127.0.0.5" or
  /// "::1"), port 63751, and plays `script` on its own thread. Throws
  /// std::system_error with the system's text when the address cannot be
  /// bound, for example because another board listens there.
  FakeBoard(const std::string& address, Script script);

  /// A board that listens but never accepts: its accept queue is filled by
  /// connections the board makes to itself, so the system drops the
  /// connection requests of every further client, which then neither
  /// connect nor fail until the board is stopped (the client's connect
  /// time-out case). No thread runs. Throws std::system_error as above, and
  /// std::runtime_error when the queue cannot be filled.
  FakeBoard(const std::string& address, NeverAccept);

  /// Stops the board.
  ~FakeBoard();

  FakeBoard(const FakeBoard&) = delete;
  FakeBoard& operator=(const FakeBoard&) = delete;

  /// Ends the script, closes every socket (an open connection in order) and
  /// joins the thread. Returns promptly; calling it again does nothing.
  void stop();

  /// For the never-accepting board: takes the fillers out of the accept
  /// queue and closes them, so that the system completes the next
  /// connection request again (typically a client's retransmitted SYN),
  /// which then waits in the queue, still not accepted (see clientsWaiting).
  void drainQueue();

  /// Clients accepted so far.
  std::size_t clientsAccepted() const;
  /// Connections the client closed (noticed while the board waited, paused,
  /// sent or held the connection; not those the board closed first).
  std::size_t clientsClosed() const;
  /// Clients whose connection the system has completed but the board has
  /// not accepted yet (for the never-accepting board: its fillers).
  std::size_t clientsWaiting() const;
  /// Bytes handed to the system for sending, over all connections.
  std::uint64_t bytesSent() const;
  /// True once every step has been played or skipped.
  bool done() const;
  /// Text of an unexpected failure of the board's thread; empty if none.
  std::string error() const;
  /// Connections the never-accepting board made to fill its queue.
  std::size_t fillerConnections() const;

  /// Each waits until its condition holds (true) or `deadline` has passed
  /// or the board's thread failed (false).
  bool waitForClient(Clock::time_point deadline, std::size_t count = 1) const;
  bool waitForClientClosed(Clock::time_point deadline, std::size_t count = 1) const;
  bool waitForBytesSent(std::uint64_t count, Clock::time_point deadline) const;
  bool waitForDone(Clock::time_point deadline) const;

  bool waitForClient(Clock::duration timeout, std::size_t count = 1) const {
    return waitForClient(Clock::now() + timeout, count);
  }
  bool waitForClientClosed(Clock::duration timeout, std::size_t count = 1) const {
    return waitForClientClosed(Clock::now() + timeout, count);
  }
  bool waitForBytesSent(std::uint64_t count, Clock::duration timeout) const {
    return waitForBytesSent(count, Clock::now() + timeout);
  }
  bool waitForDone(Clock::duration timeout) const { return waitForDone(Clock::now() + timeout); }

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace boardsim
