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
//   even empty; the timer is set again only when it fires).
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

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "connection/ReceiveTap.hpp"
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

  // True while the calling thread runs the callback of a connection that
  // reports to `owner`. Reads nothing of any connection, so a receiver can
  // ask it from inside its callback while its connect() is still storing
  // the connection on another thread.
  static bool isInsideCallback(const StateMachine* owner);

  // For an owner that goes away inside the callback, where the I/O thread
  // cannot be joined: the connection takes over the last reference to
  // itself and the stream, calls the callback no more, and releases both on
  // its own thread once it has wound down. Only valid on the I/O thread.
  static void abandon(std::shared_ptr<OstraBoardConnection> self,
                      std::unique_ptr<OstraDataStreamImpl> stream);

 protected:
  OstraBoardConnection(const std::string& address, OstraDataStreamImpl* stream,
                       std::shared_ptr<StateMachine> stateMachine,
                       std::function<void(mirt::OstraDataStream*)> callback,
                       ReadStreamEndCondition endCondition, ReceiveTap::Observer observer);

 private:
  // How the connection goes down; see stopConnection.
  enum class Stop {
    AfterFailure,  // a failure is recorded (or the connect was given up)
    Teardown,      // the owner disconnects: hand over, then DISCONNECTED
    Abandoned      // the owner went away inside the callback
  };

  void start();
  void threadBody();
  void onConnect(const boost::system::error_code& error);
  // Asks the system to probe an idle connection, so that a board that
  // stops answering is reported within about the TCP timeout.
  void enableKeepalive();
  // The read loop: reads while the socket has data, then waits for more.
  void startRead();
  // Frames what a read delivered at `data`; false when the read loop ends.
  bool onReceive(const std::uint8_t* data, const boost::system::error_code& error,
                 std::size_t bytesTransferred);
  // The checks of one header and one body; false when the read loop ends.
  bool readHeader(const boost::system::error_code& error, std::size_t bytesTransferred);
  bool readBody(std::uint64_t packageSize, const boost::system::error_code& error,
                std::size_t bytesTransferred);
  void deliverStream();
  void timerHandler(const boost::system::error_code& error);
  void rearmTimer();
  // waitTimeMs from now, on the timer's clock.
  boost::asio::steady_timer::time_point dueAfterWaitTime() const;
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
  // On the destroying thread: posts the teardown.
  void clearWork();

  boost::asio::io_context ioContext;
  std::jthread ioThread;
  boost::asio::steady_timer timer;
  boost::asio::ip::tcp::socket socket;
  OstraDataStreamImpl* stream;
  std::shared_ptr<StateMachine> stateMachine;
  std::string address;
  std::function<void(mirt::OstraDataStream*)> callback;
  ReadStreamEndCondition endCondition;
  PackageFramer framer;
  ReceiveTap tap;
  // When the timer hands the stream over next: waitTimeMs after the last
  // hand-over (or after the connect).
  boost::asio::steady_timer::time_point handOverDue;
  // When the last read that delivered bytes returned: the receive time of
  // the packages it completes.
  mirt::ReceiveTime readTime{};

  // The progress of the connection. Only the I/O thread uses these, and
  // the destroying thread after it has joined the I/O thread.
  bool established = false;       // the connect completed and CONNECTED was taken
  bool streamInProgress = false;  // RECEIVING was signalled for the stream in progress
  bool failed = false;            // a failure is recorded: nothing is framed or handed over
  bool callbackFailed = false;    // the callback threw: its packages stay in the stream
  bool tornDown = false;          // the teardown ran and signalled DISCONNECTED
  bool abandoned = false;         // the owner is gone: the callback is not called again
  // A body of this connection passed the board version check, which is not
  // run again on it. Every connection checks its own board.
  bool boardVersionVerified = false;
  // Filled only by abandon; released on the I/O thread after it wound down.
  std::unique_ptr<OstraDataStreamImpl> abandonedStream;
  std::shared_ptr<OstraBoardConnection> abandonedSelf;
};
