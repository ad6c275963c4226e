#include "connection/StreamHandOver.hpp"

#include <cstdint>

#include "connection/StateMachine.hpp"
#include "stream/PackageFormat.hpp"

using mirt::VarnelException;

namespace {

// The state machine of the hand-over whose callback this thread runs.
thread_local const StateMachine* callbackOwner = nullptr;

}  // namespace

StreamHandOver::CallbackScope::CallbackScope(const StateMachine* owner) : previous(callbackOwner) {
  callbackOwner = owner;
}

StreamHandOver::CallbackScope::~CallbackScope() { callbackOwner = previous; }

StreamHandOver::StreamHandOver(StateMachine& stateMachine, Callback callback,
                               std::chrono::milliseconds waitTime)
    : stateMachine(stateMachine),
      callback(std::move(callback)),
      waitTime(waitTime),
      due_(Clock::now() + waitTime) {}

bool StreamHandOver::isInsideCallback(const StateMachine* owner) {
  return owner != nullptr && callbackOwner == owner;
}

void StreamHandOver::deliver(OstraDataStreamImpl& stream) {
  // The pending timer wait is left as it is: when it completes before the
  // new due time, the connection only waits for the rest.
  startPeriod();

  bool connectedAfter = false;
  if (stream.getSize() != 0) {
    const bool goesOn = (stream.back()->getMetaData().statusWord & package::streamContinuesBit) != 0;
    if (goesOn || !stream.isEndOfStream()) {
      stateMachine.signalState(RECEIVING, nullptr, VarnelException::Unspecified);
      streamInProgress = true;
    } else {
      connectedAfter = streamInProgress;
      streamInProgress = false;
    }
  }

  ParserStatistics& statistics = stateMachine.statistics();
  const std::size_t handed = stream.getSize();
  const auto called = Clock::now();
  const auto callbackNs = [&called] {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - called).count());
  };
  // What the callback and the clearing below destroy on this thread comes
  // back to the stream's pool directly.
  const PackagePool::LocalReturns returns = stream.returnsHere();
  {
    const CallbackScope inside(&stateMachine);
    try {
      callback(&stream);
    } catch (...) {
      callbackThrew_ = true;
      // What it left stays in the stream for the next connection.
      statistics.handedOver(handed, 0, callbackNs());
      throw;
    }
  }
  statistics.handedOver(handed, stream.getSize(), callbackNs());

  if (connectedAfter) stateMachine.signalState(CONNECTED, nullptr, VarnelException::Unspecified);
  stream.clear();
}
