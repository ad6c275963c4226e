#pragma once

// varnel-bridge's side towards NATS: one connection (which reconnects by
// itself), the stream that takes the boards' subjects, and an outbox per
// board from which hand-overs are published to varnel.NAME.
//
// Order: by default a board's hand-overs are published one at a time, the
// next only once JetStream has acknowledged the one before, so they are
// stored in the order the board sent them even when a publish fails and is
// repeated (a repeat carries the message id it had, so a copy that did get
// stored is dropped by JetStream as a duplicate). A window of more lets
// several be on their way at once (faster where each acknowledgment takes
// long) at a price: when one fails and a later one is stored meanwhile,
// its repeat is stored behind the later one; that is counted as reordered.
// A hand-over waiting to be repeated holds back the ones behind it that
// were not sent yet. Boards are published side by side.
//
// Buffer: the hand-overs not yet acknowledged, of all boards together, take
// at most `bufferBytes`; past that, the oldest hand-overs never sent yet are
// dropped whole and counted (those sent once are kept: they may be stored
// already, and a dropped one must be missing from the stream).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "nats/HandOver.hpp"
#include "nats/NatsLink.hpp"

namespace bridge {

struct StreamSettings {
  std::string name = "varnel";
  /// Given: what a stream made now gets, and what an existing one is
  /// compared with. Not given: the server's defaults (no limit, 1 replica).
  std::optional<std::int64_t> maxAgeNs;
  std::optional<std::int64_t> maxBytes;
  std::optional<std::int64_t> replicas;
  /// How long the stream remembers a message id to drop a copy.
  std::optional<std::int64_t> duplicateWindowNs;
};

struct PublisherSettings {
  std::string url;
  StreamSettings stream;
  std::uint64_t bufferBytes = 256ull * 1024 * 1024;
  /// How long a publish may wait for its acknowledgment before it is
  /// repeated.
  std::int64_t ackWaitMs = 5000;
  /// Hand-overs of one board on their way at once (see Order above).
  std::size_t window = 1;
};

/// A hand-over of a board as the bridge publishes it.
struct HandOver {
  std::vector<std::uint8_t> payload;    // the packages as the board sent them
  std::vector<std::uint64_t> numbers;   // headerValue of each package
  std::vector<std::int64_t> receiveNs;  // when each package arrived (system clock)
};

/// What the bridge did with one board's hand-overs.
struct PublishFigures {
  std::uint64_t handOvers = 0;     // given to the publisher (a split one counts each part)
  std::uint64_t published = 0;     // sent to NATS for the first time
  std::uint64_t republished = 0;   // sent again after a failed or missing acknowledgment
  std::uint64_t acknowledged = 0;  // stored by JetStream (duplicates included)
  std::uint64_t duplicates = 0;    // acknowledged as a copy of a stored one
  std::uint64_t dropped = 0;       // hand-overs dropped from a full buffer
  std::uint64_t droppedPackages = 0;
  std::uint64_t tooLarge = 0;   // packages larger than the server takes in a message, dropped
  std::uint64_t reordered = 0;  // stored while an earlier one waited for its repeat (window > 1)
  std::uint64_t pending = 0;    // hand-overs waiting or being published
  std::uint64_t pendingBytes = 0;
};

class Publisher {
 public:
  /// Lines for people: failed publishes and what is dropped (`log`); NATS
  /// lost and back, publishing working again (`info`).
  using Log = std::function<void(const std::string& line)>;

  /// Connects to NATS, creates the stream or checks that it takes the
  /// boards' subjects (varnel.NAME for each of `boards`) and starts
  /// publishing. Throws natslink::NatsError for NATS that cannot be reached,
  /// or a stream that cannot be made or does not fit. `notes` gets what was
  /// found (stream made, or kept with settings other than those asked).
  Publisher(PublisherSettings settings, std::vector<std::string> boards, Log log, Log info,
            std::string& notes);
  /// Stops publishing and closes the connection; what is not acknowledged
  /// by then is lost. Tears the NATS client library down: one publisher per
  /// process.
  ~Publisher();
  Publisher(const Publisher&) = delete;
  Publisher& operator=(const Publisher&) = delete;

  /// Queues a hand-over of board `board` (an index into `boards`); split
  /// into parts of whole packages where it exceeds the server's largest
  /// message (a package larger than that alone is dropped, counted as
  /// `tooLarge` and said once). Any thread; never waits for NATS.
  void add(std::size_t board, HandOver handOver);
  /// Waits until every hand-over is acknowledged, at most `timeout`.
  /// True when none is left.
  bool drain(std::chrono::steady_clock::duration timeout);

  PublishFigures figures(std::size_t board) const;

  /// True once the NATS client has closed its connection for good by
  /// itself (said in a line): nothing more can be published.
  bool linkClosed() const { return linkClosed_.load(); }

 private:
  struct Entry {
    std::uint64_t arrival = 0;  // order over all boards, for dropping the oldest
    std::string id;
    std::vector<std::uint8_t> payload;    // whole packages, never none
    std::vector<std::uint64_t> numbers;   // headerValue of each
    std::vector<std::int64_t> receiveNs;  // receive time of each
    bool inFlight = false;
    bool sentBefore = false;
    bool failed = false;  // a publish of it failed: its repeat is stored behind what went meanwhile
    // The lowest stream sequence of a later hand-over of the board that
    // was stored while this one waited (0: none): stored above it, this
    // one is out of order.
    std::uint64_t laterStoredAt = 0;
    std::chrono::steady_clock::time_point notBefore;  // a failed publish waits a little
    std::chrono::steady_clock::time_point sentAt;
    std::chrono::steady_clock::time_point firstSentAt;
    bool lateRepeatSaid = false;
  };
  struct Board {
    std::string name;
    std::string subject;
    std::list<Entry> outbox;  // oldest first; only the first `window` are ever in flight
    PublishFigures figures;
    std::uint64_t messages = 0;  // made so far: the N of their ids
    bool failing = false;        // a publish failed; said once until one succeeds again
    bool dropping = false;       // likewise for dropping from a full buffer
    bool tooLargeSaid = false;   // a package too large for a message was dropped
  };
  // Reached by the client's acknowledgment thread; turned off before the
  // connection closes.
  struct AckSink {
    std::mutex mutex;
    Publisher* publisher = nullptr;
  };

  void ensureStream(std::string& notes);
  std::string createStream();
  void remakeStreamIfGone();
  void queue(std::size_t board, HandOver& handOver, std::size_t from, std::size_t to);
  void dropOldest();
  void run();
  // A message made under the lock, published after it.
  struct Outgoing {
    std::size_t board = 0;
    std::string id;
    natsMsg* msg = nullptr;
    natsStatus status = NATS_OK;
    bool repeat = false;  // the hand-over was sent before
  };
  Outgoing message(std::size_t board, const Entry& entry) const;
  void failed(std::size_t board, const std::string& id, const std::string& why, natsStatus status);
  void recut(std::size_t board, const std::string& id, bool repeat);
  static std::vector<Entry> cut(HandOver& handOver, std::size_t largest, std::vector<std::size_t>& tooLarge);
  void sayTooLarge(Board& b, const HandOver& handOver, std::size_t index, std::size_t largest);
  void noteLargestPayload();
  static void onAck(jsCtx*, natsMsg* msg, jsPubAck* ack, jsPubAckErr* error, void* sink);
  void acknowledged(natsMsg* msg, jsPubAck* ack, jsPubAckErr* error);

  PublisherSettings settings_;
  Log log_;
  Log info_;
  std::unique_ptr<AckSink> sink_;
  std::unique_ptr<natslink::Link> link_;
  std::atomic<bool> linkClosed_{false};
  // A publish found nobody to answer it: the stream is looked up.
  std::atomic<bool> streamCheckDue_{false};
  bool streamGoneSeen_ = false;  // the last look found the stream gone (the run thread's)
  // The payload a message may carry beside the headers on the server now
  // serving; read by the boards' threads.
  std::atomic<std::size_t> largestPayload_{0};
  std::atomic<bool> largestPayloadStale_{false};  // reconnected: read it again
  // The stream's duplicate window: a repeat later than this after the first
  // try may be stored a second time.
  std::int64_t duplicateWindowNs_ = 0;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Board> boards_;
  const std::string run_ = handover::newRun();  // in every message id of this run
  std::uint64_t arrivals_ = 0;
  std::uint64_t bytes_ = 0;  // of every entry of every outbox
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace bridge
