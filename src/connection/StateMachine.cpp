#include "connection/StateMachine.hpp"

#include <chrono>
#include <iostream>
#include <mutex>
#include <thread>

namespace {
constexpr const char* unknownTransition = "Unknown Error happened in state transition to CONNECTED";
constexpr const char* connectionTimeout = "waitForConnectionLockFree: Connection timeout";

// One poll lasts about a millisecond, so that the poll limit (timeout ×
// 1000) reads as seconds. A sleep of one microsecond would last anything
// from a few to a thousand microseconds depending on the platform's timer
// granularity. The sleep is asked for as a duration of a whole millisecond:
// Windows sleeps in whole milliseconds and rounds a shorter request down to
// none, and in steps of up to 15.6 ms, so there the waiter's deadline
// (below), not the poll count, ends the wait.
constexpr std::chrono::milliseconds pollSleep{1};
}  // namespace

StateMachine::StateMachine()
    : state(IDLE), pollCount(0), errorCode(mirt::VarnelException::GeneralError), maxPolls(10000) {}

StateMachine::~StateMachine() {
  // The waiter uses every field; let it finish before any is destroyed.
  if (connectionResult.valid()) connectionResult.wait();
}

TCPStates StateMachine::signalState(TCPStates requested, const char* message, ErrorCode code,
                                    mirt::FailureCause cause) {
  // A replaced waiter result is released only after the lock: releasing the
  // last reference to an std::async result waits for the task, and the task
  // needs the lock for its next poll.
  std::shared_future<bool> released;
  std::unique_lock guard(lock);
  switch (requested) {
    case IDLE:
      state = IDLE;
      established = false;
      pollCount.store(0, std::memory_order_relaxed);
      waiterGeneration.fetch_add(1, std::memory_order_relaxed);
      released = std::move(connectionResult);
      connectionResult = {};
      break;
    case OPENING:
      state = OPENING;
      break;
    case CONNECTING:
      state = CONNECTING;
      established = false;
      pollCount.store(0, std::memory_order_relaxed);
      released = std::move(connectionResult);
      {
        // The task's first poll waits for the lock until this call returns.
        const std::uint32_t generation = waiterGeneration.fetch_add(1, std::memory_order_relaxed) + 1;
        connectionResult = std::async(std::launch::async, [this, generation] {
                             return waitForConnectionLockFree(generation);
                           }).share();
      }
      break;
    case CONNECTED:
      if (state == CONNECTING || state == RECEIVING) {
        if (state == CONNECTING) established = true;
        state = CONNECTED;
      } else if (state != ERROR) {
        state = ERROR;
        errorMessage = unknownTransition;
        failureCause = mirt::FailureCause::Other;
        statistics_.failed();
      }
      // In ERROR the recorded failure stays as it is: a connect that
      // completes after the waiter has given up must not replace the first
      // cause (the time-out) with a text that tells the caller nothing.
      break;
    case RECEIVING:
      if (state == CONNECTED) state = RECEIVING;
      break;
    case DISCONNECTED:
      if (state != ERROR) state = DISCONNECTED;
      break;
    case ERROR:
      if (state != DISCONNECTED && state != ERROR) {
        errorCode = code;
        errorMessage = message != nullptr ? message : "";
        failureCause = cause;
        state = ERROR;
        statistics_.failed();
      }
      break;
    default:
      break;
  }
  const TCPStates now = state;
  guard.unlock();
  return now;
}

TCPStates StateMachine::getState() const {
  std::shared_lock guard(lock);
  return state;
}

StateMachine::ErrorCode StateMachine::getErrorCode() const {
  std::shared_lock guard(lock);
  return errorCode;
}

std::string StateMachine::getErrorMessage() const {
  std::shared_lock guard(lock);
  return errorMessage;
}

StateMachine::Snapshot StateMachine::getSnapshot() const {
  std::shared_lock guard(lock);
  return {state, errorMessage, errorCode, failureCause};
}

void StateMachine::setTcpTimeout(std::uint32_t timeout) {
  if (timeout == 0) return;
  constexpr std::uint32_t pollsPerSecond = 1000;
  const std::uint32_t polls = timeout > UINT32_MAX / pollsPerSecond ? UINT32_MAX : timeout * pollsPerSecond;
  maxPolls.store(polls, std::memory_order_relaxed);
  tcpTimeoutSeconds.store(timeout, std::memory_order_relaxed);
}

std::uint32_t StateMachine::getTcpTimeout() const {
  return tcpTimeoutSeconds.load(std::memory_order_relaxed);
}

void StateMachine::setMaxPolls(std::uint32_t polls) { maxPolls.store(polls, std::memory_order_relaxed); }

std::uint32_t StateMachine::getMaxPolls() const { return maxPolls.load(std::memory_order_relaxed); }

bool StateMachine::waitForConnection() {
  std::shared_future<bool> result;
  {
    std::shared_lock guard(lock);
    result = connectionResult;
  }
  if (!result.valid()) return false;
  return result.get();
}

bool StateMachine::waitForConnectionLockFree(std::uint32_t generation) {
  // Besides the poll limit, the wait ends at a steady-clock deadline of as
  // many milliseconds (the TCP timeout in seconds), which is what bounds it
  // where a poll lasts longer than a millisecond. Where polls last a
  // millisecond, both end the wait at about the same time.
  const auto start = std::chrono::steady_clock::now();
  TCPStates sampled;
  bool connected;
  for (;;) {
    {
      std::shared_lock guard(lock);
      sampled = state;
      connected = established;
      // Superseded by a later IDLE or CONNECTING: nobody reads this result.
      if (waiterGeneration.load(std::memory_order_relaxed) != generation) return false;
    }
    // Established: the connection runs, or ran, whatever the state is now.
    if (connected) return true;
    std::this_thread::sleep_for(pollSleep);
    const std::uint32_t polls = pollCount.fetch_add(1, std::memory_order_relaxed) + 1;
    const std::uint32_t limit = maxPolls.load(std::memory_order_relaxed);
    const bool pending = sampled == IDLE || sampled == OPENING || sampled == CONNECTING;
    const bool expired = std::chrono::steady_clock::now() - start >= limit * pollSleep;
    if (!pending || polls >= limit || expired) break;
  }

  switch (sampled) {
    case CONNECTED:
    case RECEIVING:
      return true;
    case ERROR:
      return false;
    case CONNECTING: {
      std::unique_lock guard(lock);
      // The connection may have been established during the last sleep:
      // then it runs, and reporting a time-out would leave the caller with
      // a failed connect and a live connection.
      if (established) return true;
      if (state != DISCONNECTED && state != ERROR) {
        errorCode = mirt::VarnelException::GeneralError;
        errorMessage = connectionTimeout;
        failureCause = mirt::FailureCause::ConnectTimedOut;
        state = ERROR;
        statistics_.failed();
      }
      return false;
    }
    default:
      std::cout << "TCPState is not connected: " << static_cast<std::uint32_t>(sampled) << std::endl;
      return false;
  }
}
