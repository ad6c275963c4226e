#include "connection/OstraBoardConnection.hpp"

#include <fmt/format.h>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#if defined(_WIN32)
#include <mstcpip.h>  // SIO_KEEPALIVE_VALS
#endif

#include <cassert>
#include <chrono>
#include <future>
#include <iostream>
#include <stdexcept>

#include "common/ForcedUnwind.hpp"
#include "common/VarnelExceptionImpl.hpp"
#include "connection/KeepaliveSettings.hpp"
#include "connection/ScatterBuffers.hpp"
#include "connection/StateMachine.hpp"
#include "stream/PackageChecker.hpp"

namespace asio = boost::asio;
using ErrorCode = mirt::VarnelException::ErrorCode;
using mirt::VarnelException;

namespace {

constexpr const char* unknownExceptionText = "exception of unknown type";

using mirt::FailureCause;

// What a read of `pieces` asks for; a read that gets less has emptied the
// socket.
std::size_t bytesAsked(PackageFramer::ReadPieces pieces) {
  std::size_t bytes = 0;
  for (const auto& piece : pieces) bytes += piece.size();
  return bytes;
}

// What a failed connect means.
FailureCause connectCause(const boost::system::error_code& error) {
  if (error == asio::error::connection_refused) return FailureCause::Refused;
  if (error == asio::error::host_unreachable || error == asio::error::network_unreachable) {
    return FailureCause::Unreachable;
  }
  if (error == asio::error::timed_out) return FailureCause::ConnectTimedOut;
  if (error == asio::error::connection_reset || error == asio::error::connection_aborted) {
    return FailureCause::Reset;
  }
  return FailureCause::Other;
}

// What a failed read of an established connection means. An orderly end
// of the stream is told apart by where it fell: `insidePackage` when bytes
// of a header or body had arrived. A dead link is what the keepalive probes
// find (no answer: timed out), or what the network reports on the way.
FailureCause readCause(const boost::system::error_code& error, bool insidePackage) {
  if (error == asio::error::eof) {
    return insidePackage ? FailureCause::ClosedInsidePackage : FailureCause::ClosedBetweenPackages;
  }
  if (error == asio::error::connection_reset || error == asio::error::connection_aborted) {
    return FailureCause::Reset;
  }
  if (error == asio::error::timed_out || error == asio::error::host_unreachable ||
      error == asio::error::network_unreachable) {
    return FailureCause::DeadLink;
  }
  return FailureCause::Other;
}

// Out of line: the registers the message takes would otherwise be saved
// and restored for every read that went well, twice per package.
[[gnu::noinline, gnu::cold]] ReadOutcome failedRead(const boost::system::error_code& error,
                                                    std::size_t bytesTransferred, bool insidePackage) {
  ReadOutcome outcome;
  outcome.failed = true;
  outcome.errorMessage = error.message();
  outcome.cause = readCause(error, insidePackage);
  outcome.bytesTransferred = bytesTransferred;
  return outcome;
}

ReadOutcome readOutcome(const boost::system::error_code& error, std::size_t bytesTransferred,
                        bool insidePackage) {
  if (error) return failedRead(error, bytesTransferred, insidePackage);
  ReadOutcome outcome;
  outcome.bytesTransferred = bytesTransferred;
  return outcome;
}

// Stops the I/O context when the routine that owns it ends, also by an
// exception, so that run() returns right after the current handler.
struct StopOnExit {
  asio::io_context& context;
  ~StopOnExit() { context.stop(); }
};

}  // namespace

std::shared_ptr<OstraBoardConnection> OstraBoardConnection::create(
    const std::string& address, OstraDataStreamImpl* stream, std::shared_ptr<StateMachine> stateMachine,
    std::function<void(mirt::OstraDataStream*)> callback, ReadStreamEndCondition endCondition,
    ReceiveTap::Observer observer) {
  // One allocation for the object and its reference count, despite the
  // protected constructor.
  struct MakeSharedEnabler : OstraBoardConnection {
    MakeSharedEnabler(const std::string& address, OstraDataStreamImpl* stream,
                      std::shared_ptr<StateMachine> stateMachine,
                      std::function<void(mirt::OstraDataStream*)> callback,
                      ReadStreamEndCondition endCondition, ReceiveTap::Observer observer)
        : OstraBoardConnection(address, stream, std::move(stateMachine), std::move(callback), endCondition,
                               std::move(observer)) {}
  };
  return std::make_shared<MakeSharedEnabler>(address, stream, std::move(stateMachine), std::move(callback),
                                             endCondition, std::move(observer));
}

OstraBoardConnection::OstraBoardConnection(const std::string& address, OstraDataStreamImpl* stream,
                                           std::shared_ptr<StateMachine> stateMachine,
                                           std::function<void(mirt::OstraDataStream*)> callback,
                                           ReadStreamEndCondition endCondition, ReceiveTap::Observer observer)
    : timer(ioContext),
      socket(ioContext),
      stream(stream),
      stateMachine(std::move(stateMachine)),
      address(address),
      packageCounter(endCondition.packageCounter),
      tap(std::move(observer), this->stateMachine.get()),
      handOver(*this->stateMachine, std::move(callback), std::chrono::milliseconds(endCondition.waitTimeMs)) {
  start();
}

OstraBoardConnection::~OstraBoardConnection() {
  try {
    clearWork();
  } catch (...) {
    ioContext.stop();
  }
  // Not joinable on the I/O thread itself: abandon has detached it then.
  if (ioThread.joinable()) ioThread.join();
  if (phase != Phase::TornDown) {
    // The I/O thread had ended before the teardown could run (after a
    // failure or a failed connect); an error recorded then stays.
    try {
      stateMachine->signalState(DISCONNECTED, nullptr, VarnelException::Unspecified);
    } catch (...) {
    }
  }
}

void OstraBoardConnection::abandon(std::shared_ptr<OstraBoardConnection> self,
                                   std::unique_ptr<OstraDataStreamImpl> stream) {
  OstraBoardConnection& connection = *self;
  connection.abandonedStream = std::move(stream);
  connection.abandonedSelf = std::move(self);
  connection.enterPhase(Phase::Abandoned);
}

asio::ip::tcp::endpoint OstraBoardConnection::endpointFor(const std::string& address) {
  // make_address tries the IPv6 form first, then IPv4 dotted decimal; host
  // names and port suffixes are refused.
  boost::system::error_code error;
  const asio::ip::address parsed = asio::ip::make_address(address, error);
  bool refused = static_cast<bool>(error);
#if defined(_WIN32)
  // There it parses with WSAStringToAddress, which also takes brackets and
  // a port suffix ("[::1]:63751", "192.0.2.7:63751") and drops the port.
  refused = refused || address.find_first_of("[]") != std::string::npos ||
            (parsed.is_v4() && address.find(':') != std::string::npos);
#endif
  // The parser reads up to the first NUL: a text with one inside would
  // connect to its first part.
  const std::size_t nul = address.find('\0');
  refused = refused || nul != std::string::npos;
  if (refused) {
    // The application's mistake, reported through the library's own type
    // (so a catch of VarnelException sees it) with a text that says which
    // address and why.
    std::string shown = address;
    for (std::size_t at = nul; at != std::string::npos; at = shown.find('\0', at + 2))
      shown.replace(at, 1, "\\0");
    throw VarnelExceptionImpl(fmt::format("'{}' is not a numeric IPv4 or IPv6 address (host names and port "
                                          "suffixes are not accepted)",
                                          shown),
                              VarnelException::GeneralError);
  }
  return asio::ip::tcp::endpoint(parsed, package::boardPort);
}

void OstraBoardConnection::start() {
  const asio::ip::tcp::endpoint endpoint = endpointFor(address);
  stateMachine->signalState(OPENING, nullptr, VarnelException::Unspecified);
  // async_connect opens the socket for the endpoint's family; a failure to
  // open reaches onConnect as its error.
  socket.async_connect(endpoint, [this](const boost::system::error_code& error) { onConnect(error); });
  stateMachine->signalState(CONNECTING, nullptr, VarnelException::Unspecified);
}

void OstraBoardConnection::startIoThread() {
  // The thread waits until ioThread is stored (an abandoned connection
  // detaches it from the thread itself). After set_value the connection may
  // be released on that thread at any moment: only the promise, a local
  // that shares its state with the thread's future, is touched after it.
  std::promise<void> stored;
  ioThread = std::jthread([this, ready = stored.get_future()] {
    ready.wait();
    threadBody();
  });
  stored.set_value();
}

void OstraBoardConnection::threadBody() {
  try {
    boost::system::error_code error;
    const std::size_t count = ioContext.run(error);
    if (error) throw boost::system::system_error(error);
    // run() returns only once stopConnection has stopped the context, which
    // follows a recorded failure or DISCONNECTED; the state machine then
    // drops this report. It would stand only if the context ran out of work
    // on its own, which the pending connect, read or timer wait prevents.
    if (count != expectedIoHandlerCount && phase != Phase::Abandoned) {
      throw VarnelExceptionImpl(
          fmt::format("The number of IO Handlers {} does not match the expected number {}", count,
                      expectedIoHandlerCount),
          VarnelException::GeneralError);
    }
  } catch (const std::exception& e) {
    // Also what the teardown's last hand-over let escape (a callback that
    // threw), before DISCONNECTED.
    stateMachine->signalState(ERROR, fmt::format("Thread Context: {}", e.what()).c_str(),
                              VarnelException::CommunicationError, thrownCause());
  } catch (...) {
    letForcedUnwindPass();
    stateMachine->signalState(ERROR, fmt::format("Thread Context: {}", unknownExceptionText).c_str(),
                              VarnelException::CommunicationError, thrownCause());
  }
  if (phase == Phase::Abandoned) {
    // The owner went away inside the callback. Nobody can join this thread,
    // so it lets go of itself and releases the connection here; *this is
    // not touched after that.
    std::shared_ptr<OstraBoardConnection> self = std::move(abandonedSelf);
    ioThread.detach();
    self.reset();
  }
}

void OstraBoardConnection::enterPhase(Phase next) {
  // The steps of the table in the class declaration.
  [[maybe_unused]] const bool legal =
      (phase == Phase::Connecting &&
       (next == Phase::Established || next == Phase::Failed || next == Phase::TornDown)) ||
      (phase == Phase::Established &&
       (next == Phase::Failed || next == Phase::TornDown || next == Phase::Abandoned)) ||
      (phase == Phase::Failed && next == Phase::TornDown);
  assert(legal && "a step between connection phases that the table does not allow");
  phase = next;
}

FailureCause OstraBoardConnection::thrownCause() const {
  return handOver.callbackThrew() ? FailureCause::CallbackThrew : FailureCause::Other;
}

void OstraBoardConnection::fail(const std::string& message, ErrorCode code, FailureCause cause) {
  if (phase == Phase::Failed) return;
  // The packages that arrived complete before a failure of the board or the
  // link are often the most interesting ones: they go to the application in
  // one last hand-over, before the failure is recorded. Not when the
  // callback itself failed: it is not called again.
  if (phase == Phase::Established && !handOver.callbackThrew() && stream->getSize() != 0) {
    try {
      deliverStream();
    } catch (...) {
      letForcedUnwindPass();
      // The callback failed on this last hand-over; what is recorded is the
      // failure that ended the connection.
    }
  }
  if (phase == Phase::Connecting || phase == Phase::Established) enterPhase(Phase::Failed);
  stateMachine->signalState(ERROR, message.c_str(), code, cause);
  stopConnection(Stop::AfterFailure);
}

void OstraBoardConnection::onConnect(const boost::system::error_code& error) {
  try {
    if (error) {
      throw VarnelMinorException(fmt::format("start: {}", error.message()),
                                 VarnelException::CommunicationError, connectCause(error));
    }
    // Counted first: connect() returns as soon as CONNECTED is taken.
    stateMachine->statistics().connected(ParserStatistics::now());
    if (stateMachine->signalState(CONNECTED, nullptr, VarnelException::Unspecified) != CONNECTED) {
      // The connection waiter gave up before the connect completed, so the
      // application's connect() has failed: nothing may run behind it.
      stateMachine->statistics().connectionNotTaken();
      enterPhase(Phase::Failed);
      stopConnection(Stop::AfterFailure);
      return;
    }
    enterPhase(Phase::Established);
    if (tap) {
      tap.connected(socket);
      // The observer destroyed the parser.
      if (phase == Phase::Abandoned) {
        stopConnection(Stop::Abandoned);
        return;
      }
    }
    enableKeepalive();
    socket.non_blocking(true);  // reads return would_block instead of waiting
    // Samples straight into their storage; not for an observer, which sees
    // each read's bytes in one piece.
    if (!tap) framer.receiveSamplesInPlace();
    readWhileAvailable();
    handOver.startPeriod();
    rearmTimer();
    timer.async_wait([this](const boost::system::error_code& e) { timerHandler(e); });
  } catch (const VarnelMinorException& e) {
    fail(e.what(), e.getErrorCode(), e.getFailureCause());
  } catch (const std::exception& e) {
    fail(fmt::format("start: {}", e.what()), VarnelException::CommunicationError, FailureCause::Other);
  }
}

void OstraBoardConnection::enableKeepalive() {
  const KeepaliveSettings settings = keepaliveSettings(stateMachine->getTcpTimeout());
  const auto idle = static_cast<int>(settings.idleSeconds);
  const auto interval = static_cast<int>(settings.intervalSeconds);
  const auto count = static_cast<int>(settings.probeCount);
  socket.set_option(asio::socket_base::keep_alive(true));
#if defined(_WIN32)
  // Windows 10 takes the three settings per socket as Linux does (the
  // option numbers are those of its ws2ipdef.h). Older systems know only
  // SIO_KEEPALIVE_VALS, whose probe count is fixed at ten.
  using KeepIdle = asio::detail::socket_option::integer<IPPROTO_TCP, 3>;       // TCP_KEEPALIVE
  using KeepInterval = asio::detail::socket_option::integer<IPPROTO_TCP, 17>;  // TCP_KEEPINTVL
  using KeepCount = asio::detail::socket_option::integer<IPPROTO_TCP, 16>;     // TCP_KEEPCNT
  boost::system::error_code error;
  socket.set_option(KeepIdle(idle), error);
  if (!error) socket.set_option(KeepInterval(interval), error);
  if (!error) socket.set_option(KeepCount(count), error);
  if (error) {
    tcp_keepalive values{};
    values.onoff = 1;
    values.keepalivetime = static_cast<ULONG>(settings.idleSeconds) * 1000;
    values.keepaliveinterval = settings.tenProbeIntervalMs;
    DWORD returned = 0;
    if (::WSAIoctl(socket.native_handle(), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned,
                   nullptr, nullptr) != 0) {
      throw boost::system::system_error(
          boost::system::error_code(::WSAGetLastError(), boost::asio::error::get_system_category()),
          "keepalive");
    }
  }
#elif defined(TCP_KEEPIDLE) && defined(TCP_KEEPINTVL) && defined(TCP_KEEPCNT)
  socket.set_option(asio::detail::socket_option::integer<IPPROTO_TCP, TCP_KEEPIDLE>(idle));
  socket.set_option(asio::detail::socket_option::integer<IPPROTO_TCP, TCP_KEEPINTVL>(interval));
  socket.set_option(asio::detail::socket_option::integer<IPPROTO_TCP, TCP_KEEPCNT>(count));
#else
#error "no per-socket keepalive timing on this platform"
#endif
}

void OstraBoardConnection::rearmTimer() {
  // At most one wait is ever pending, so this cancels at most one.
  const std::size_t canceled = timer.expires_at(handOver.due());
  if (canceled > maxCanceledOperations) {
    throw VarnelExceptionImpl(
        fmt::format(
            "The deadline timer expired and the number of canceled asynchronous operations {} exceeded 1",
            canceled),
        VarnelException::GeneralError);
  }
}

void OstraBoardConnection::readWhileAvailable() {
  // While the socket has data, it is read right here, without a round trip
  // through the I/O context (which would poll epoll once more per read).
  // After a bounded number of reads in a row the loop yields, so that the
  // timer and posted work items get their turn.
  for (unsigned reads = 0; reads < maxReadsInARow; ++reads) {
    // The posted teardown runs as soon as this handler returns.
    if (teardownRequested.load(std::memory_order_relaxed)) return;
    boost::system::error_code error;
    const PackageFramer::ReadPieces pieces = framer.readPieces();
    // One piece (every read but those of samples read in place) goes
    // through recv: a vectored read costs the kernel more per call.
    const std::size_t requested = bytesAsked(pieces);
    const std::size_t n =
        pieces.size() == 1
            ? socket.read_some(asio::buffer(pieces.front().data(), pieces.front().size()), error)
            : socket.read_some(ScatterBuffers(pieces), error);
    if (error == asio::error::would_block || error == asio::error::try_again) {
      readAsync();
      return;
    }
    if (!onReceive(pieces.front().data(), error, n)) return;
    // A read that got less than it asked for has emptied the socket: asking
    // again here would only bring would_block.
    if (!error && n < requested) {
      readAsync();
      return;
    }
  }
  readAsync();
}

void OstraBoardConnection::readAsync() {
  // A read, not a wait for readability: with epoll, a wait re-registers the
  // socket each time (one system call), and as the connect registered it for
  // writability too, the re-registration also reports it writable, one
  // wake-up for nothing. A pending read stays registered as it is and is
  // done by the reactor as soon as data comes. One piece goes through recv.
  const PackageFramer::ReadPieces pieces = framer.readPieces();
  const std::size_t requested = bytesAsked(pieces);
  auto handler = [this, data = pieces.front().data(), requested](const boost::system::error_code& error,
                                                                 std::size_t n) {
    if (!onReceive(data, error, n)) return;
    // A short read emptied the socket: a read here first could only add a
    // would_block to the one the pending read starts with.
    if (!error && n < requested) {
      readAsync();
    } else {
      readWhileAvailable();
    }
  };
  if (pieces.size() == 1) {
    socket.async_read_some(asio::buffer(pieces.front().data(), pieces.front().size()), std::move(handler));
  } else {
    socket.async_read_some(ScatterBuffers(pieces), std::move(handler));
  }
}

bool OstraBoardConnection::onReceive(const std::uint8_t* data, const boost::system::error_code& error,
                                     std::size_t bytesTransferred) {
  // After a failure nothing more is framed, also from a read that had
  // completed before the failure stopped the loop.
  if (phase != Phase::Established) return false;
  // Once per read, however many packages it completes.
  if (bytesTransferred != 0) readTime = ParserStatistics::now();
  if (tap) {
    // The observer sees the bytes before any check, also those refused. A
    // parser it destroyed is told nothing more.
    try {
      tap.received(data, bytesTransferred);
      if (phase == Phase::Established && error) tap.ended(error);
    } catch (const VarnelMinorException& e) {
      if (phase == Phase::Established) {
        fail(e.what(), e.getErrorCode(), e.getFailureCause());
        return false;
      }
    }
    if (phase == Phase::Abandoned) {
      stopConnection(Stop::Abandoned);
      return false;
    }
  }
  framer.received(bytesTransferred);
  // Every header is checked as soon as its 36 bytes are in, every body once
  // all of it is. A failed read ends the piece in progress, even an empty
  // header.
  // Once a teardown is requested, what this read brought is still framed
  // (it was received before), but no further read follows.
  for (;;) {
    if (!framer.headerAccepted()) {
      if (!framer.headerReady()) {
        if (!error) return !teardownRequested.load(std::memory_order_relaxed);
        readHeader(error, framer.inHand());
        return false;
      }
      if (!readHeader(boost::system::error_code(), package::headerSize)) return false;
    }
    const std::size_t bodySize = framer.packageSize() - package::headerSize;
    if (!framer.packageReady()) {
      if (!error) return !teardownRequested.load(std::memory_order_relaxed);
      readBody(framer.packageSize(), error, framer.inHand() - package::headerSize);
      return false;
    }
    if (!readBody(framer.packageSize(), boost::system::error_code(), bodySize)) return false;
  }
}

bool OstraBoardConnection::readHeader(const boost::system::error_code& error, std::size_t bytesTransferred) {
  try {
    header = PackageChecker::checkHeader(framer.inProgress(),
                                         readOutcome(error, bytesTransferred, framer.inHand() != 0));
    framer.accept(header.packageSize);
    return true;
  } catch (const PackageRefusal& e) {
    fail(fmt::format("readHeader: {}", e.what()), e.code, e.cause);
  } catch (const std::exception& e) {
    fail(fmt::format("readHeader: {}", e.what()), VarnelException::Unspecified, FailureCause::Other);
  }
  return false;
}

bool OstraBoardConnection::readBody(std::uint64_t packageSize, const boost::system::error_code& error,
                                    std::size_t bytesTransferred) {
  try {
    // The reader sees this package only: positions it did not deliver read
    // as 0xCD, as in a buffer refilled with 0xCD after every package.
    const PackageReader reader = framer.inProgress();
    PackageChecker::checkBody(reader, packageSize, readOutcome(error, bytesTransferred, true),
                              boardVersionVerified);
    stream->appendPackage(reader, header, readTime);
    stateMachine->statistics().received(static_cast<std::uint32_t>(packageSize), readTime);
    framer.consume();
    // With a teardown requested, the teardown's hand-over takes what is
    // collected at once: the destroying thread waits for one more callback,
    // not for one per package counter's worth. A stream the board ended is
    // still handed over as it ended (the application sees its end only
    // there); there are at most as many as the last read brought.
    if ((stream->getSize() >= packageCounter && !teardownRequested.load(std::memory_order_relaxed)) ||
        stream->isEndOfStream()) {
      deliverStream();
      if (phase == Phase::Abandoned) return false;
    }
    return true;
  } catch (const PackageRefusal& e) {
    fail(fmt::format("readBody: {}", e.what()), e.code, e.cause);
  } catch (const std::exception& e) {
    fail(fmt::format("readBody: {}", e.what()), VarnelException::Unspecified, thrownCause());
  } catch (...) {
    letForcedUnwindPass();
    fail(fmt::format("readBody: {}", unknownExceptionText), VarnelException::Unspecified, thrownCause());
  }
  return false;
}

void OstraBoardConnection::deliverStream() {
  if (phase != Phase::Established) return;
  handOver.deliver(*stream);
  if (phase == Phase::Abandoned) stopConnection(Stop::Abandoned);
}

void OstraBoardConnection::timerHandler(const boost::system::error_code& error) {
  if (error == asio::error::operation_aborted || phase != Phase::Established) return;
  // The teardown queued behind this hands over what is collected.
  if (teardownRequested.load(std::memory_order_relaxed)) return;
  try {
    if (error) throw std::runtime_error("ErrorCode: " + error.message());
    // Hand-overs by package count move the due time on without touching the
    // timer (re-arming it for every hand-over would cost two system calls
    // each); a wait that ends before the due time just waits for the rest.
    if (asio::steady_timer::clock_type::now() >= handOver.due()) {
      deliverStream();
      if (phase == Phase::Abandoned) return;
    }
    rearmTimer();
    timer.async_wait([this](const boost::system::error_code& e) { timerHandler(e); });
  } catch (const std::exception& e) {
    fail(fmt::format("timerHandler: {}", e.what()), VarnelException::CommunicationError, thrownCause());
  } catch (...) {
    letForcedUnwindPass();
    fail(fmt::format("timerHandler: {}", unknownExceptionText), VarnelException::CommunicationError,
         thrownCause());
  }
}

void OstraBoardConnection::stopConnection(Stop how) {
  StopOnExit stopOnExit{ioContext};
  stateMachine->statistics().disconnected();
  if (how == Stop::Teardown) {
    const bool wasEstablished = phase == Phase::Established;
    enterPhase(Phase::TornDown);
    // The packages collected since the last hand-over go to the application
    // now, so that a disconnect loses nothing and the next connection starts
    // with an empty stream. Not for a connection whose connect has not
    // completed. (One that has failed, or whose owner went away inside the
    // callback, has stopped its I/O context: the teardown never runs there.)
    // A callback that throws here leaves this routine; the I/O thread
    // records it with the prefix "Thread Context: ", and DISCONNECTED is not
    // signalled.
    if (wasEstablished && stream->getSize() != 0) handOver.deliver(*stream);
    stateMachine->signalState(DISCONNECTED, nullptr, VarnelException::Unspecified);
  }
  // The pending timer wait is cancelled at once rather than waited for:
  // blocking the I/O thread until the timer's expiry would make every
  // disconnect after a failure wait up to waitTimeMs. At most one wait is
  // ever pending, so the line below cannot be written.
  const std::size_t canceled = timer.cancel();
  if (canceled > maxCanceledOperations) {
    std::cerr << fmt::format("The number of canceled operations {} exceeds the maximum {}", canceled,
                             maxCanceledOperations);
  }
  boost::system::error_code ignored;
  socket.shutdown(asio::socket_base::shutdown_receive, ignored);  // fails on a socket never connected
  socket.close(ignored);
}

void OstraBoardConnection::clearWork() {
  teardownRequested.store(true, std::memory_order_relaxed);
  try {
    asio::post(ioContext, [this] { stopConnection(Stop::Teardown); });
  } catch (const std::exception& e) {
    // Without the teardown item the I/O thread must still end.
    stateMachine->signalState(ERROR, fmt::format("clearWork: {}", e.what()).c_str(),
                              VarnelException::CommunicationError);
    ioContext.stop();
  } catch (...) {
    ioContext.stop();
  }
}
