#include "connection/OstraBoardConnection.hpp"

#include <fmt/format.h>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <stdexcept>

#include "api/VarnelExceptionImpl.hpp"
#include "connection/StateMachine.hpp"
#include "stream/PackageChecker.hpp"
#include "stream/PackageReader.hpp"

namespace asio = boost::asio;
using ErrorCode = mirt::VarnelException::ErrorCode;
using mirt::VarnelException;

namespace {

constexpr const char* unknownExceptionText = "exception of unknown type";

ReadOutcome readOutcome(const boost::system::error_code& error, std::size_t bytesTransferred) {
  ReadOutcome outcome;
  outcome.failed = static_cast<bool>(error);
  if (error) outcome.errorMessage = error.message();
  outcome.bytesTransferred = bytesTransferred;
  return outcome;
}

// Stops the I/O context when the work item that owns it ends, also by an
// exception, so that run() returns right after that item.
struct StopOnExit {
  asio::io_context& context;
  ~StopOnExit() { context.stop(); }
};

// The state machine of the connection whose callback this thread runs.
thread_local const StateMachine* callbackOwner = nullptr;

struct InsideCallback {
  const StateMachine* previous;
  explicit InsideCallback(const StateMachine* owner) : previous(callbackOwner) { callbackOwner = owner; }
  ~InsideCallback() { callbackOwner = previous; }
};

}  // namespace

std::shared_ptr<OstraBoardConnection> OstraBoardConnection::create(
    const std::string& address, OstraDataStreamImpl* stream, std::shared_ptr<StateMachine> stateMachine,
    std::function<void(mirt::OstraDataStream*)> callback, ReadStreamEndCondition endCondition) {
  // One allocation for the object and its reference count, despite the
  // protected constructor.
  struct MakeSharedEnabler : OstraBoardConnection {
    MakeSharedEnabler(const std::string& address, OstraDataStreamImpl* stream,
                      std::shared_ptr<StateMachine> stateMachine,
                      std::function<void(mirt::OstraDataStream*)> callback,
                      ReadStreamEndCondition endCondition)
        : OstraBoardConnection(address, stream, std::move(stateMachine), std::move(callback), endCondition) {}
  };
  return std::make_shared<MakeSharedEnabler>(address, stream, std::move(stateMachine), std::move(callback),
                                             endCondition);
}

OstraBoardConnection::OstraBoardConnection(const std::string& address, OstraDataStreamImpl* stream,
                                           std::shared_ptr<StateMachine> stateMachine,
                                           std::function<void(mirt::OstraDataStream*)> callback,
                                           ReadStreamEndCondition endCondition)
    : timer(ioContext),
      socket(ioContext),
      stream(stream),
      stateMachine(std::move(stateMachine)),
      address(address),
      callback(std::move(callback)),
      endCondition(endCondition) {
  // The buffer is not filled with 0xCD up front: packages are decoded
  // through readers bounded to the bytes they delivered, which read 0xCD
  // beyond them. Leaving it untouched keeps an idle connection's pages out
  // of memory until data arrives.
  start();
}

OstraBoardConnection::~OstraBoardConnection() {
  const bool onIoThread = isIoThread();
  try {
    clearWork();
  } catch (...) {
  }
  // On the I/O thread only after abandon, which has detached the thread.
  if (ioThread.joinable() && !onIoThread) ioThread.join();
  if (!flushRan.load()) {
    // The I/O thread had ended before the final flush could run (after a
    // failure or a failed connect); an error recorded then stays.
    try {
      stateMachine->signalState(DISCONNECTED, nullptr, VarnelException::Unspecified);
    } catch (...) {
    }
  }
}

bool OstraBoardConnection::isIoThread() const { return ioThreadId.load() == std::this_thread::get_id(); }

bool OstraBoardConnection::isInsideCallback(const StateMachine* owner) {
  return owner != nullptr && callbackOwner == owner;
}

void OstraBoardConnection::abandon(std::shared_ptr<OstraBoardConnection> self,
                                   std::unique_ptr<OstraDataStreamImpl> stream) {
  OstraBoardConnection& connection = *self;
  connection.abandonedStream = std::move(stream);
  connection.abandonedSelf = std::move(self);
  connection.abandoned.store(true);
}

asio::ip::tcp::endpoint OstraBoardConnection::endpointFor(const std::string& address) {
  // make_address tries the IPv6 form first, then IPv4 dotted decimal; host
  // names and port suffixes are refused.
  const asio::ip::address parsed = asio::ip::make_address(address);
#if defined(_WIN32)
  // There it parses with WSAStringToAddress, which also takes brackets and
  // a port suffix ("[::1]:63751", "192.0.2.7:63751") and drops the port.
  if (address.find_first_of("[]") != std::string::npos ||
      (parsed.is_v4() && address.find(':') != std::string::npos)) {
    throw boost::system::system_error(asio::error::make_error_code(asio::error::invalid_argument));
  }
#endif
  return asio::ip::tcp::endpoint(parsed, boardPort);
}

void OstraBoardConnection::start() {
  const asio::ip::tcp::endpoint endpoint = endpointFor(address);
  stateMachine->signalState(OPENING, nullptr, VarnelException::Unspecified);
  // async_connect opens the socket for the endpoint's family; a failure to
  // open reaches onConnect as its error.
  socket.async_connect(endpoint, [this](const boost::system::error_code& error) { onConnect(error); });
  stateMachine->signalState(CONNECTING, nullptr, VarnelException::Unspecified);
  ioThread = std::jthread([this] { threadBody(); });
}

void OstraBoardConnection::threadBody() {
  ioThreadId.store(std::this_thread::get_id());
  try {
    boost::system::error_code error;
    const std::size_t count = ioContext.run(error);
    if (error) throw boost::system::system_error(error);
    if (count != expectedIoHandlerCount && !abandoned.load()) {
      throw VarnelExceptionImpl(
          fmt::format("The number of IO Handlers {} does not match the expected number {}", count,
                      expectedIoHandlerCount),
          VarnelException::GeneralError);
    }
  } catch (const std::exception& e) {
    reportError(fmt::format("Thread Context: {}", e.what()), VarnelException::CommunicationError);
  } catch (...) {
    reportError(fmt::format("Thread Context: {}", unknownExceptionText), VarnelException::CommunicationError);
  }
  if (abandoned.load()) {
    // The owner went away inside the callback. Nobody can join this thread,
    // so it lets go of itself and releases the connection here; *this is
    // not touched after that.
    std::shared_ptr<OstraBoardConnection> self = std::move(abandonedSelf);
    ioThread.detach();
    self.reset();
  }
}

void OstraBoardConnection::reportError(const std::string& message, ErrorCode code) {
  stateMachine->signalState(ERROR, message.c_str(), code);
}

void OstraBoardConnection::onConnect(const boost::system::error_code& error) {
  try {
    if (error) {
      throw VarnelMinorException(fmt::format("start: {}", error.message()),
                                 VarnelException::CommunicationError);
    }
    stateMachine->signalState(CONNECTED, nullptr, VarnelException::Unspecified);
    socket.non_blocking(true);  // reads return would_block instead of waiting
    startRead();
    handOverDue = dueAfterWaitTime();
    rearmTimer();
    timer.async_wait([this](const boost::system::error_code& e) { timerHandler(e); });
  } catch (const VarnelMinorException& e) {
    reportError(e.what(), e.getErrorCode());
    closeSocket();
  } catch (const std::exception& e) {
    reportError(fmt::format("start: {}", e.what()), VarnelException::CommunicationError);
    stopConnection();
  }
}

asio::deadline_timer::time_type OstraBoardConnection::dueAfterWaitTime() const {
  return asio::deadline_timer::traits_type::now() + boost::posix_time::milliseconds(endCondition.waitTimeMs);
}

void OstraBoardConnection::rearmTimer() {
  const std::size_t canceled = timer.expires_at(handOverDue);
  if (canceled > maxCanceledOperations) {
    throw VarnelExceptionImpl(
        fmt::format(
            "The deadline timer expired and the number of canceled asynchronous operations {} exceeded 1",
            canceled),
        VarnelException::GeneralError);
  }
}

asio::mutable_buffer OstraBoardConnection::readWindow() {
  const std::size_t have = bufferEnd - packageStart;
  if (have == 0) {
    packageStart = 0;
    bufferEnd = 0;
  }
  // The package in progress must fit behind its start; if it does not, its
  // first bytes move to the front (at most one package's worth).
  const std::size_t needed =
      headerChecked ? static_cast<std::size_t>(currentPackageSize) : package::headerSize;
  if (packageStart + needed > package::bufferSize) {
    std::memmove(packageBuffer.data(), packageBuffer.data() + packageStart, have);
    packageStart = 0;
    bufferEnd = have;
  }
  // Small packages are taken as many at a time as the socket has ready.
  // A large one is read as its header, then its body together with the next
  // header, which lands behind it; only those 36 bytes move to the front
  // before the next body is read.
  std::size_t windowEnd = package::bufferSize;
  if (headerChecked) {
    if (currentPackageSize >= largePackageSize)
      windowEnd = packageStart + static_cast<std::size_t>(currentPackageSize) + package::headerSize;
  } else if (lastPackageSize >= largePackageSize) {
    windowEnd = packageStart + package::headerSize;
  }
  return asio::buffer(packageBuffer.data() + bufferEnd, windowEnd - bufferEnd);
}

void OstraBoardConnection::startRead() {
  // While the socket has data, it is read right here, without a round trip
  // through the I/O context (which would poll epoll once more per read).
  // After a bounded number of reads in a row the loop yields, so that the
  // timer and posted work items get their turn.
  for (unsigned reads = 0; reads < maxReadsInARow; ++reads) {
    boost::system::error_code error;
    const std::size_t n = socket.read_some(readWindow(), error);
    if (error == asio::error::would_block || error == asio::error::try_again) {
      socket.async_wait(asio::socket_base::wait_read, [this](const boost::system::error_code& e) {
        // Readable (data, end of stream or a failure): the next read reports
        // which. A failed wait ends the read in progress like a failed read.
        if (!e || onReceive(e, 0)) startRead();
      });
      return;
    }
    if (!onReceive(error, n)) return;
  }
  socket.async_read_some(readWindow(), [this](const boost::system::error_code& error, std::size_t n) {
    if (onReceive(error, n)) startRead();
  });
}

bool OstraBoardConnection::onReceive(const boost::system::error_code& error, std::size_t bytesTransferred) {
  if (abandoned.load()) return false;
  bufferEnd += bytesTransferred;
  // Frame every package that is complete in the buffer: its header is
  // checked as soon as its 36 bytes are in, its body once all of it is.
  for (;;) {
    const std::size_t have = bufferEnd - packageStart;
    if (!headerChecked) {
      if (have < package::headerSize) {
        // A failed read ends the header in progress, even an empty one.
        if (!error) return true;
        readHeader(error, have);
        return false;
      }
      if (!readHeader(boost::system::error_code(), package::headerSize)) return false;
    }
    const std::size_t bodyHave = have - package::headerSize;
    const std::size_t bodyNeeded = static_cast<std::size_t>(currentPackageSize) - package::headerSize;
    if (bodyHave < bodyNeeded) {
      if (!error) return true;
      readBody(currentPackageSize, error, bodyHave);
      return false;
    }
    if (!readBody(currentPackageSize, boost::system::error_code(), bodyNeeded)) return false;
  }
}

bool OstraBoardConnection::readHeader(const boost::system::error_code& error, std::size_t bytesTransferred) {
  ErrorCode code = VarnelException::Unspecified;
  try {
    const PackageReader header(packageBuffer.data() + packageStart, bytesTransferred);
    currentPackageSize =
        PackageChecker::checkHeader(header, readOutcome(error, bytesTransferred), code).packageSize;
    headerChecked = true;
    return true;
  } catch (const std::exception& e) {
    reportError(fmt::format("readHeader: {}", e.what()), code);
    stopConnection();
    return false;
  }
}

bool OstraBoardConnection::readBody(std::uint64_t packageSize, const boost::system::error_code& error,
                                    std::size_t bytesTransferred) {
  ErrorCode code = VarnelException::Unspecified;
  try {
    // The reader sees this package only: positions it did not deliver read
    // as 0xCD, as in a buffer refilled with 0xCD after every package.
    const std::size_t delivered =
        std::min(static_cast<std::size_t>(packageSize), package::headerSize + bytesTransferred);
    const PackageReader reader(packageBuffer.data() + packageStart, delivered);
    PackageChecker::checkBody(reader, packageSize, readOutcome(error, bytesTransferred), code);
    stream->appendPackage(reader);
    packageStart += static_cast<std::size_t>(packageSize);
    headerChecked = false;
    lastPackageSize = packageSize;
    if (static_cast<std::uint64_t>(stream->getSize()) >=
            static_cast<std::uint64_t>(endCondition.packageCounter) ||
        stream->isEndOfStream()) {
      deliverStream();
      if (abandoned.load()) return false;
    }
    return true;
  } catch (const std::exception& e) {
    reportError(fmt::format("readBody: {}", e.what()), code);
    stopConnection();
  } catch (...) {
    reportError(fmt::format("readBody: {}", unknownExceptionText), code);
    stopConnection();
  }
  return false;
}

void OstraBoardConnection::deliverStream() {
  if (abandoned.load()) return;
  // The next timer hand-over is due waitTimeMs after this one. The pending
  // timer wait is left as it is: when it completes before that, the timer
  // handler only waits for the rest (see timerHandler).
  handOverDue = dueAfterWaitTime();

  // After the final flush has signalled DISCONNECTED nothing else is
  // signalled, so the teardown's state stays as it is.
  const bool signal = !flushRan.load();
  bool connectedAfter = false;
  if (stream->getSize() != 0) {
    const bool goesOn = (stream->back()->getMetaData().statusWord & package::streamContinuesBit) != 0;
    if (goesOn || !stream->isEndOfStream()) {
      if (signal) stateMachine->signalState(RECEIVING, nullptr, VarnelException::Unspecified);
      streamInProgress = true;
    } else {
      connectedAfter = streamInProgress && signal;
      streamInProgress = false;
    }
  }

  {
    const InsideCallback inside(stateMachine.get());
    callback(stream);
  }

  if (connectedAfter) stateMachine->signalState(CONNECTED, nullptr, VarnelException::Unspecified);
  stream->clear();
  if (abandoned.load()) windDown();
}

void OstraBoardConnection::timerHandler(const boost::system::error_code& error) {
  if (error == asio::error::operation_aborted || stopping.load() || abandoned.load()) return;
  try {
    if (error) throw std::runtime_error("ErrorCode: " + error.message());
    // Hand-overs by package count move the due time on without touching the
    // timer (re-arming it for every hand-over would cost two system calls
    // each); a wait that ends before the due time just waits for the rest.
    if (asio::deadline_timer::traits_type::now() >= handOverDue) {
      deliverStream();
      if (abandoned.load()) return;
    }
    rearmTimer();
    timer.async_wait([this](const boost::system::error_code& e) { timerHandler(e); });
  } catch (const std::exception& e) {
    reportError(fmt::format("timerHandler: {}", e.what()), VarnelException::CommunicationError);
    closeSocket();
  } catch (...) {
    reportError(fmt::format("timerHandler: {}", unknownExceptionText), VarnelException::CommunicationError);
    closeSocket();
  }
}

void OstraBoardConnection::stopConnection() {
  // The item stops the context itself: a stop() here would keep the item
  // from running at all.
  asio::post(ioContext, [this] {
    StopOnExit stopOnExit{ioContext};
    stopping.exchange(true);
    // The pending timer wait is cancelled at once rather than waited for:
    // blocking the I/O thread until the timer's expiry would make every
    // disconnect after a failure wait up to waitTimeMs.
    const std::size_t canceled = timer.cancel();
    if (canceled > maxCanceledOperations) {
      std::cerr << fmt::format("The number of canceled operations {} exceeds the maximum {}", canceled,
                               maxCanceledOperations);
    }
    boost::system::error_code error;
    socket.close(error);  // a failure to close changes nothing here
  });
}

void OstraBoardConnection::closeSocket() {
  asio::post(ioContext, [this] {
    boost::system::error_code error;
    socket.close(error);
    if (error) throw boost::system::system_error(error, "close");
  });
}

void OstraBoardConnection::clearWork() {
  try {
    asio::post(ioContext, [this] { finalFlush(); });
  } catch (const std::exception& e) {
    reportError(fmt::format("clearWork: {}", e.what()), VarnelException::CommunicationError);
    stopConnection();
  }
}

void OstraBoardConnection::finalFlush() {
  // DISCONNECTED goes first, on this thread and after everything queued
  // before the flush, so no report of this thread can follow it.
  flushRan.store(true);
  stateMachine->signalState(DISCONNECTED, nullptr, VarnelException::Unspecified);
  stopping.exchange(true);
  StopOnExit stopOnExit{ioContext};

  if (timer.cancel() != 0) {
    throw VarnelExceptionImpl("Asynchronous operation was canceled", VarnelException::GeneralError);
  }
  boost::system::error_code error;
  socket.shutdown(asio::socket_base::shutdown_receive, error);
  if (error) throw boost::system::system_error(error, "shutdown");
  socket.close(error);
  if (error) throw boost::system::system_error(error, "close");
  deliverStream();
}

void OstraBoardConnection::windDown() {
  asio::post(ioContext, [this] {
    StopOnExit stopOnExit{ioContext};
    stopping.exchange(true);
    timer.cancel();
    boost::system::error_code error;
    socket.close(error);
  });
}
