#include "connection/OstraReceiver.hpp"

#include "common/VarnelExceptionImpl.hpp"
#include "connection/OstraBoardConnection.hpp"
#include "connection/StateMachine.hpp"
#include "connection/StreamHandOver.hpp"
#include "stream/OstraDataStreamImpl.hpp"

using mirt::ConnectionState;
using mirt::VarnelException;

OstraReceiver::OstraReceiver(const std::string& address, std::function<void(mirt::OstraDataStream*)> callback)
    : stream(std::make_unique<OstraDataStreamImpl>()),
      stateMachine(std::make_shared<StateMachine>()),
      callback(std::move(callback)),
      address(address),
      packageCounter(25),
      waitTimeMs(250) {}

OstraReceiver::~OstraReceiver() {
  try {
    if (connection && StreamHandOver::isInsideCallback(stateMachine.get())) {
      // Released from inside the callback: the I/O thread cannot be joined
      // from itself, so the connection takes over itself and the stream and
      // winds down on its own thread once the callback has returned.
      OstraBoardConnection::abandon(std::move(connection), std::move(stream));
      return;
    }
    closeConnection();
  } catch (...) {
  }
}

bool OstraReceiver::closingAroundCallback() const {
  // Inside a callback the connection is gone only while a close, on the
  // thread that waits for this hand-over, has taken it.
  return !connection && StreamHandOver::isInsideCallback(stateMachine.get());
}

void OstraReceiver::connect() {
  if (closingAroundCallback()) {
    throw VarnelExceptionImpl(
        "connect: not possible in the hand-over that disconnect or the parser's destruction makes; "
        "connect again once that call has returned",
        VarnelException::GeneralError);
  }
  if (connection) {
    // A healthy connection is left alone. One that has failed (its connect
    // or later) can deliver nothing more: it is discarded as disconnect()
    // would, without throwing its error, and a new attempt starts.
    if (stateMachine->getState() != ERROR) return;
    closeConnection();
  }
  stateMachine->signalState(IDLE, nullptr, VarnelException::Unspecified);
  const OstraBoardConnection::ReadStreamEndCondition endCondition{packageCounter, waitTimeMs};
  // Once the I/O thread runs, the callback may destroy this parser, also
  // before the waiter has seen the connection. That attempt was
  // established (the callback runs only then), so all that is left to do is
  // learn so from the state machine, which this call keeps alive itself; it
  // touches no member after the thread has started unless the attempt
  // failed, and then the callback was never called.
  const std::shared_ptr<StateMachine> machine = stateMachine;
  try {
    connection = OstraBoardConnection::create(address, stream.get(), stateMachine, callback, endCondition,
                                              receiveObserver);
    connection->startIoThread();
  } catch (const mirt::VarnelException&) {
    // A wrong address: nothing of the attempt began.
    abandonAttempt();
    throw;
  } catch (const std::exception& e) {
    // The system refused what an attempt needs (a thread, a socket, an
    // event queue: limits on processes or open files). That is a failed
    // connect like any other: recorded, counted and thrown as the library's
    // own type.
    std::string text;
    try {
      text = std::string("connect: could not start the connection: ") + e.what();
      stateMachine->signalState(ERROR, text.c_str(), VarnelException::CommunicationError,
                                mirt::FailureCause::Other);
    } catch (...) {
      abandonAttempt();
      throw;
    }
    abandonAttempt();
    throw VarnelExceptionImpl(text, VarnelException::ConnectionFailed, mirt::FailureCause::Other);
  } catch (...) {
    abandonAttempt();
    throw;
  }
  if (machine->waitForConnection()) return;
  const StateMachine::Snapshot recorded = machine->getSnapshot();
  // Nothing of a failed attempt may run on behind the exception: the
  // connection is shut down (its thread joined) before connect throws.
  // The recorded error stays for getState, getAsyncError and disconnect.
  closeConnection();
  throw VarnelExceptionImpl(recorded.message, VarnelException::ConnectionFailed, recorded.cause);
}

void OstraReceiver::abandonAttempt() {
  // Nothing of the attempt runs: IDLE ends its waiter, which nobody asks
  // (a recorded failure stays), and the connection goes without a thread
  // to join.
  if (stateMachine->getState() != ERROR) {
    stateMachine->signalState(IDLE, nullptr, VarnelException::Unspecified);
  }
  connection.reset();
}

void OstraReceiver::disconnect() {
  if (StreamHandOver::isInsideCallback(stateMachine.get())) {
    throw VarnelExceptionImpl(
        "disconnect: not possible inside the data callback or the receive observer, which run on the "
        "connection's own thread; "
        "call it from another thread or return from the callback first",
        VarnelException::GeneralError);
  }
  closeConnection();
  getAsyncError();
}

void OstraReceiver::closeConnection() {
  if (!connection) {
    stateMachine->signalState(DISCONNECTED, nullptr, VarnelException::Unspecified);
    return;
  }
  // The receiver holds the only owning reference: releasing it shuts the
  // connection down here, joining its I/O thread.
  std::shared_ptr<OstraBoardConnection> released = std::move(connection);
  released.reset();
}

bool OstraReceiver::isConnected() {
  const ConnectionState state = getState();
  return state == ConnectionState::Connected || state == ConnectionState::Receiving;
}

ConnectionState OstraReceiver::getState() {
  try {
    switch (stateMachine->getState()) {
      case CONNECTED:
        return ConnectionState::Connected;
      case RECEIVING:
        return ConnectionState::Receiving;
      case IDLE:
      case OPENING:
      case CONNECTING:
      case DISCONNECTED:
        return ConnectionState::NotConnected;
      default:
        return ConnectionState::Error;
    }
  } catch (const std::exception&) {
    return ConnectionState::Error;
  }
}

void OstraReceiver::getAsyncError() {
  StateMachine::Snapshot recorded = stateMachine->getSnapshot();
  if (recorded.state != ERROR) return;
  throw VarnelExceptionImpl(recorded.message, recorded.code, recorded.cause);
}

void OstraReceiver::setTcpTimeout(std::uint32_t timeout) {
  getAsyncError();
  stateMachine->setTcpTimeout(timeout == 0 ? 1 : timeout);
}

void OstraReceiver::setPackageCounter(std::uint32_t count) {
  if (count != 0) packageCounter = count;
}

void OstraReceiver::setWaitTimeMs(std::uint32_t milliseconds) {
  if (milliseconds != 0) waitTimeMs = milliseconds;
}

mirt::VarnelStatistics OstraReceiver::getStatistics() const { return stateMachine->statistics().snapshot(); }

void OstraReceiver::setReceiveObserver(std::function<void(const mirt::ReceivedBytes&)> observer) {
  receiveObserver = std::move(observer);
}
