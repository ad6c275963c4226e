#pragma once

// The TCP connection between a receiver and its board.
//
// Design notes
// - One io_context and one I/O thread per connection. Every completion,
//   every posted work item and the application's callback run on that
//   thread; the connection takes no lock. Handlers hold a plain pointer to
//   the connection, which outlives them because the destructor joins the
//   I/O thread before it releases anything.
// - Two loops run on the thread: the read loop (36-byte header, checks,
//   body, checks, decode into the stream, maybe hand over, next header;
//   small packages are read many at a time and framed in the buffer; the
//   socket is read on the spot while it has data) and the timer loop (hand
//   the stream over waitTimeMs after the last hand-over, even empty; the
//   timer is set again only when it fires).
// - Every event and failure is reported to the shared StateMachine; the
//   connection never reads the state back. No read is retried.
// - Nothing received is lost: a failure of the board or the link first
//   hands over the complete packages collected so far, then records the
//   failure; after it nothing is framed and the callback is not called.
// - Teardown: the destroying thread posts a final flush; the flush hands
//   over what was collected, then signals DISCONNECTED on the I/O thread,
//   after everything queued before it, so no report of the I/O thread can
//   follow DISCONNECTED.

#include <utility>  // before Boost.Asio with -std=c++20 (Boost 1.74)

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "stream/OstraDataStreamImpl.hpp"
#include "stream/PackageFormat.hpp"
#include "varnel/varnel.hpp"

class StateMachine;

class OstraBoardConnection {
 public:
  // The hand-over rule, fixed for the life of a connection.
  struct ReadStreamEndCondition {
    std::uint32_t packageCounter;  // hand over once the stream holds this many
    std::uint32_t waitTimeMs;      // ... or this long after the last hand-over
  };

  static constexpr unsigned short boardPort = 63751;
  static constexpr std::size_t expectedIoHandlerCount = 2;
  static constexpr std::size_t maxCanceledOperations = 1;
  // From this size on a package is read as its header, then its body with
  // only the next header behind it, instead of with full read-ahead.
  static constexpr std::size_t largePackageSize = 32768;
  // Reads in a row on the I/O thread before the timer and posted work get
  // their turn.
  static constexpr unsigned maxReadsInARow = 16;
  // The system's limits for the keepalive settings (Linux).
  static constexpr std::uint32_t maxKeepaliveSeconds = 32767;
  static constexpr std::uint32_t maxKeepaliveProbes = 127;

  // Parses the address (numeric IPv6 or IPv4, no port), signals OPENING,
  // issues the connect, signals CONNECTING and starts the I/O thread.
  // Throws boost::system::system_error for an address that is not numeric
  // (before anything is signalled) and std::system_error when the thread
  // cannot be started; no thread of the connection is left running then.
  static std::shared_ptr<OstraBoardConnection> create(const std::string& address, OstraDataStreamImpl* stream,
                                                      std::shared_ptr<StateMachine> stateMachine,
                                                      std::function<void(mirt::OstraDataStream*)> callback,
                                                      ReadStreamEndCondition endCondition);

  // Stops the connection and joins its I/O thread. Must not run on that
  // thread (see abandon).
  virtual ~OstraBoardConnection();

  OstraBoardConnection(const OstraBoardConnection&) = delete;
  OstraBoardConnection& operator=(const OstraBoardConnection&) = delete;

  // The board's endpoint for a numeric IPv6 (scope suffix allowed) or IPv4
  // address text, port 63751. Throws boost::system::system_error otherwise.
  static boost::asio::ip::tcp::endpoint endpointFor(const std::string& address);

  // True on the connection's own I/O thread.
  bool isIoThread() const;

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
                       ReadStreamEndCondition endCondition);

 private:
  void start();
  void threadBody();
  void onConnect(const boost::system::error_code& error);
  // The read loop: reads while the socket has data, then waits for more.
  void startRead();
  boost::asio::mutable_buffer readWindow();
  // Frames what a read delivered; false when the read loop ends.
  bool onReceive(const boost::system::error_code& error, std::size_t bytesTransferred);
  // The checks of one header and one body; false when the read loop ends.
  bool readHeader(const boost::system::error_code& error, std::size_t bytesTransferred);
  bool readBody(std::uint64_t packageSize, const boost::system::error_code& error,
                std::size_t bytesTransferred);
  void deliverStream();
  void timerHandler(const boost::system::error_code& error);
  void stopConnection();
  void closeSocket();
  void clearWork();
  void finalFlush();
  void windDown();
  void rearmTimer();
  // waitTimeMs from now, on the timer's clock.
  boost::asio::steady_timer::time_point dueAfterWaitTime() const;
  // Asks the system to probe an idle connection, so that a board that
  // stops answering is reported within about the TCP timeout.
  void enableKeepalive();
  void reportError(const std::string& message, mirt::VarnelException::ErrorCode code);
  // Records a failure of the I/O thread; nothing is framed or handed over
  // after it.
  void fail(const std::string& message, mirt::VarnelException::ErrorCode code);

  boost::asio::io_context ioContext;
  std::jthread ioThread;
  boost::asio::steady_timer timer;
  boost::asio::ip::tcp::socket socket;
  OstraDataStreamImpl* stream;
  std::shared_ptr<StateMachine> stateMachine;
  std::string address;
  // A package lies within the first package::bufferSize bytes; the bytes
  // behind take the next header when a large package's body is read, so that
  // such a package costs one read instead of two.
  std::array<std::uint8_t, package::bufferSize + package::headerSize>
      packageBuffer;  // deliberately left uninitialised; see the constructor
  std::function<void(mirt::OstraDataStream*)> callback;
  ReadStreamEndCondition endCondition;
  std::atomic<bool> stopping{false};
  // When the timer hands the stream over next: waitTimeMs after the last
  // hand-over (or after the connect).
  boost::asio::steady_timer::time_point handOverDue;
  // A failure has been recorded on the I/O thread: from then on no package
  // is framed and the callback is not called. Only the I/O thread uses it.
  bool failed = false;
  // The connect completed and CONNECTED was taken. Only the I/O thread uses it.
  bool established = false;
  // The callback threw: the packages it left stay in the stream, and it is
  // not called again. Only the I/O thread uses it.
  bool callbackFailed = false;

  // Framing state of the read loop: the package in progress starts at
  // packageStart, bytes up to bufferEnd have arrived. Several small packages
  // arrive with one read and are framed here; see startRead.
  std::size_t packageStart = 0;
  std::size_t bufferEnd = 0;
  bool headerChecked = false;
  std::uint64_t currentPackageSize = 0;
  std::uint64_t lastPackageSize = 0;

  // RECEIVING was signalled for the stream in progress, so a finished
  // stream answers with CONNECTED after its hand-over. A stream finished
  // in one piece signals nothing and leaves the state as it is.
  bool streamInProgress = false;
  // Set by the final flush when it runs; otherwise the destroying thread
  // signals DISCONNECTED itself after the join.
  std::atomic<bool> flushRan{false};
  // Set by abandon: the owner is gone, the callback is not called again.
  std::atomic<bool> abandoned{false};
  std::atomic<std::thread::id> ioThreadId{};
  // Filled only by abandon; released on the I/O thread after it wound down.
  std::unique_ptr<OstraDataStreamImpl> abandonedStream;
  std::shared_ptr<OstraBoardConnection> abandonedSelf;
};
