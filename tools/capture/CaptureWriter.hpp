#pragma once

// varnel-monitor --capture: writes what the library received from the board
// (its receive observer's events) as a pcapng file of TCP conversations on
// Ethernet, one per connection, that tshark and Wireshark read as such and
// varnel-board --replay serves back byte for byte. The Ethernet, IP and TCP
// headers are synthesised around the bytes, with the connection's real
// addresses and ports, consistent sequence numbers and the receive times:
// a handshake at the connect, each read as one segment from the board (cut
// at 65495 bytes) acknowledged by the client, and the board's FIN or RST
// where the board closed or reset the connection.
//
// The observer runs on the library's I/O thread and only copies the bytes
// into a queue; a thread of the writer's own formats and writes them, so a
// slow disk does not hold up the reading. The queue holds at most
// maxQueuedBytes: beyond that the observer waits for the writer (the board
// then waits for the library, as TCP makes it), so nothing received is
// left out of the file.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "varnel/varnel.hpp"

namespace capture {

struct CaptureFigures {
  std::uint64_t connections = 0;
  std::uint64_t bytes = 0;   // received from the board
  std::uint64_t frames = 0;  // written, both directions
  std::uint64_t fileBytes = 0;
};

class CaptureWriter {
 public:
  static constexpr std::size_t maxQueuedBytes = 64u << 20;

  /// Creates (or replaces) the file and starts the writer's thread. Throws
  /// std::runtime_error with the system's text when the file cannot be
  /// made.
  CaptureWriter(const std::string& path, const std::string& application);
  /// finish(), its failure unreported.
  ~CaptureWriter();
  CaptureWriter(const CaptureWriter&) = delete;
  CaptureWriter& operator=(const CaptureWriter&) = delete;

  /// The receive observer: called on the library's I/O thread.
  void observe(const mirt::ReceivedBytes& event);
  /// Writes what is queued, closes the file and ends the thread; later
  /// events are ignored. Returns the figures of the whole capture.
  CaptureFigures finish();
  /// The text of the first write failure; nothing while all went well.
  std::optional<std::string> failure() const;

 private:
  struct Event {
    mirt::ReceivedBytes::Event kind;
    std::int64_t timeNs;
    std::vector<std::uint8_t> bytes;
    std::string localAddress;
    std::string boardAddress;
    std::uint16_t localPort;
    std::uint16_t boardPort;
  };
  struct Conversation;

  void run();
  void write(const Event& event);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Event> queue_;
  std::size_t queuedBytes_ = 0;
  bool finishing_ = false;
  std::optional<std::string> failure_;
  CaptureFigures figures_;
  // The figures at the last flush that succeeded: after a failure, what
  // the file surely holds.
  CaptureFigures flushedFigures_;

  // Only the writer's thread uses these while it runs.
  struct Output;
  std::unique_ptr<Output> output_;
  std::thread thread_;
};

}  // namespace capture
