#pragma once

// The TCP connection between a receiver and its board.
//
// Design notes
// - One io_context and one I/O thread per connection. Every completion,
//   every posted work item and the application's callback run on that
//   thread; the connection takes no lock. Handlers hold a plain pointer to
//   the connection, which outlives them because the destructor joins the
//   I/O thread before it releases anything.
// - Two loops run on the thread: the read loop (read what the socket has,
//   let the framer cut it into packages, check each header and body, decode
//   into the stream, hand over at packageCounter packages or at the end of
//   a stream; the socket is read on the spot while it has data) and the
//   timer loop (hand the stream over waitTimeMs after the last hand-over,
//   even empty; the timer is set again only when it fires). What a
//   hand-over does is StreamHandOver's; the connection decides when.
// - Every event and failure is reported to the shared StateMachine. No read
//   is retried.
// - Nothing received is lost: a failure of the board or the link first
//   hands over the complete packages collected so far, then records the
//   failure; after it nothing is framed and the callback is not called.
// - Every way down goes through stopConnection on the I/O thread: after a
//   failure, at the teardown (the destroying thread posts it; it hands over
//   what was collected, then signals DISCONNECTED, after everything queued
//   before it, so no report of the I/O thread can follow DISCONNECTED), and
//   when the owner went away inside the callback. It stops the I/O context,
//   so no completion runs after it.

#include <utility>  // before Boost.Asio with -std=c++20 (Boost 1.74)

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "connection/ReceiveTap.hpp"
#include "connection/StreamHandOver.hpp"
#include "stream/OstraDataStreamImpl.hpp"
#include "stream/PackageFramer.hpp"
#include "varnel/varnel.hpp"

class StateMachine;

class OstraBoardConnection {
 public:
  // The hand-over rule, fixed for the life of a connection.
  struct ReadStreamEndCondition {
    std::uint32_t packageCounter;  // hand over once the stream holds this many
    std::uint32_t waitTimeMs;      // ... or this long after the last hand-over
  };

  static constexpr std::size_t expectedIoHandlerCount = 2;
  static constexpr std::size_t maxCanceledOperations = 1;
  // Reads in a row on the I/O thread before the timer and posted work get
  // their turn.
  static constexpr unsigned maxReadsInARow = 16;

  // Parses the address (numeric IPv6 or IPv4, no port), signals OPENING,
  // issues the connect and signals CONNECTING; startIoThread then lets it
  // run. Throws VarnelException (GeneralError) for an address that is not
  // numeric (before anything is signalled). `observer`, if any, sees the
  // raw bytes of every read.
  static std::shared_ptr<OstraBoardConnection> create(const std::string& address, OstraDataStreamImpl* stream,
                                                      std::shared_ptr<StateMachine> stateMachine,
                                                      std::function<void(mirt::OstraDataStream*)> callback,
                                                      ReadStreamEndCondition endCondition,
                                                      ReceiveTap::Observer observer = {});

  // Starts the I/O thread, which completes the connect and from then on
  // reads and calls the callback. Separate from create, so that the owner
  // holds its reference before anything runs: from this call on the
  // callback may release the owner (see abandon), and this call touches
  // nothing of the connection once the thread runs. Throws
  // std::system_error when the thread cannot be started.
  void startIoThread();

  // Stops the connection and joins its I/O thread, after the packages
  // collected so far have been handed over. Must not run on that thread
  // (see abandon).
  virtual ~OstraBoardConnection();

  OstraBoardConnection(const OstraBoardConnection&) = delete;
  OstraBoardConnection& operator=(const OstraBoardConnection&) = delete;

  // The board's endpoint for a numeric IPv6 (scope suffix allowed) or IPv4
  // address text, port 63751. Throws VarnelException (GeneralError) naming
  // the address otherwise.
  static boost::asio::ip::tcp::endpoint endpointFor(const std::string& address);

  // For an owner that goes away inside the callback, where the I/O thread
  // cannot be joined: the connection takes over the last reference to
  // itself and the stream, calls the callback no more, and releases both on
  // its own thread once it has wound down. Only valid on the I/O thread,
  // inside the callback (StreamHandOver::isInsideCallback).
  static void abandon(std::shared_ptr<OstraBoardConnection> self,
                      std::unique_ptr<OstraDataStreamImpl> stream);

 protected:
  OstraBoardConnection(const std::string& address, OstraDataStreamImpl* stream,
                       std::shared_ptr<StateMachine> stateMachine,
                       std::function<void(mirt::OstraDataStream*)> callback,
                       ReadStreamEndCondition endCondition, ReceiveTap::Observer observer);

 private:
  // The phase of the connection. Only the I/O thread changes it, in
  // enterPhase, which asserts that the step is one of these:
  //
  //   from         to           when
  //   Connecting   Established  the connect completed and CONNECTED was taken
  //   Connecting   Failed       the connect failed, or connect() had given up on it
  //   Connecting   TornDown     the owner disconnected before the connect completed
  //   Established  Failed       a failure was recorded (board, link, callback)
  //   Established  TornDown     the owner disconnected (last hand-over, DISCONNECTED)
  //   Established  Abandoned    the owner went away inside the callback
  //   Failed       TornDown     the owner disconnected after a failure, before
  //                             the I/O context stopped (Windows runs what was
  //                             queued before the stop); nothing is handed over
  //
  // TornDown and Abandoned are final: once the phase is one of them or
  // Failed, the I/O context is stopped, or stops when the current handler
  // returns. A failure after the teardown leaves the phase at TornDown.
  // A failure recorded after the owner went away (the callback destroyed
  // the owner, then threw) leaves the phase at Abandoned. Nothing is framed
  // or handed over outside Established, except the teardown's last
  // hand-over.
  enum class Phase { Connecting, Established, Failed, TornDown, Abandoned };

  // How the connection goes down; see stopConnection.
  enum class Stop {
    AfterFailure,  // a failure is recorded (or the connect was given up)
    Teardown,      // the owner disconnects: hand over, then DISCONNECTED
    Abandoned      // the owner went away inside the callback
  };

  void start();
  void threadBody();
  void enterPhase(Phase next);
  void onConnect(const boost::system::error_code& error);
  // Asks the system to probe an idle connection (see KeepaliveSettings), so
  // that a board that stops answering is reported within about the TCP
  // timeout.
  void enableKeepalive();
  // The read loop: reads while the socket has data (a bounded number of
  // times in a row), then waits for more.
  void readWhileAvailable();
  // Leaves the next read to the I/O context, which does it when the socket
  // is readable.
  void readAsync();
  // Frames what a read delivered at `data`; false when the read loop ends.
  bool onReceive(const std::uint8_t* data, const boost::system::error_code& error,
                 std::size_t bytesTransferred);
  // The completion steps of one header (checked, then accepted by the
  // framer) and one body (checked, decoded into the stream, handed over at
  // the end condition); false when the read loop ends.
  bool readHeader(const boost::system::error_code& error, std::size_t bytesTransferred);
  bool readBody(std::uint64_t packageSize, const boost::system::error_code& error,
                std::size_t bytesTransferred);
  // A hand-over while Established; stops the connection when the callback
  // abandoned it.
  void deliverStream();
  void timerHandler(const boost::system::error_code& error);
  // Sets the timer to the hand-over's due time.
  void rearmTimer();
  // Records a failure of the I/O thread, after the last hand-over of what
  // was collected, and stops the connection.
  void fail(const std::string& message, mirt::VarnelException::ErrorCode code, mirt::FailureCause cause);
  // The cause of an exception that ended a handler: the callback's, when
  // it was the callback that threw.
  mirt::FailureCause thrownCause() const;
  // The one way down, on the I/O thread: cancels the timer, closes the
  // socket and stops the I/O context, so that run() returns after the
  // current handler and nothing queued behind it runs.
  void stopConnection(Stop how);
  // On the destroying thread: posts the teardown (Stop::Teardown), and
  // tells the I/O thread to read and hand over nothing more before it.
  void clearWork();

  boost::asio::io_context ioContext;
  std::jthread ioThread;
  boost::asio::steady_timer timer;
  boost::asio::ip::tcp::socket socket;
  OstraDataStreamImpl* stream;
  std::shared_ptr<StateMachine> stateMachine;
  std::string address;
  std::uint32_t packageCounter;  // hand over once the stream holds this many
  PackageFramer framer;
  ReceiveTap tap;
  StreamHandOver handOver;
  // Set by clearWork: the teardown is on its way. The I/O thread then makes
  // no further read and hands nothing over by count or by time (only a
  // stream the board ended): what the last read brought goes with the
  // teardown's hand-over, so that the destroying thread waits for the
  // callback that runs and one more, not for what the board keeps sending
  // meanwhile.
  std::atomic<bool> teardownRequested{false};
  // When the last read that delivered bytes returned: the receive time of
  // the packages it completes.
  mirt::ReceiveTime readTime{};
  // The header of the package in progress, as its checks parsed it; valid
  // once the framer has accepted it.
  PackageHeader header{};

  // Only the I/O thread uses these, and the destroying thread after it has
  // joined the I/O thread.
  Phase phase = Phase::Connecting;
  // A body of this connection passed the board version check, which is not
  // run again on it. Every connection checks its own board.
  bool boardVersionVerified = false;
  // Filled only by abandon; released on the I/O thread after it wound down.
  std::unique_ptr<OstraDataStreamImpl> abandonedStream;
  std::shared_ptr<OstraBoardConnection> abandonedSelf;
};
