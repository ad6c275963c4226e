#pragma once

#include <atomic>
#include <cstdint>
#include <future>
#include <shared_mutex>
#include <string>

#include "common/ParserStatistics.hpp"
#include "varnel/varnel.hpp"

// The internal states of one board connection.
enum TCPStates : std::uint32_t {
  IDLE = 0,          // no attempt under way; set at the start of every connect
  OPENING = 1,       // endpoint prepared, socket being opened
  CONNECTING = 2,    // connect issued; the connection waiter runs
  CONNECTED = 3,     // connected; no unfinished stream handed over
  RECEIVING = 4,     // an unfinished stream has been handed over
  DISCONNECTED = 5,  // the board connection has been shut down
  ERROR = 6          // an asynchronous error is recorded
};

// The state of the connection between a receiver and its board, with the
// first asynchronous error, shared by the receiver and its board
// connections. Every change goes through signalState, which applies a fixed
// transition rule; the lock is the library's only lock.
//
// Signalling CONNECTING starts the connection waiter, an asynchronous task
// that samples the state about once a millisecond until the connection is
// established, fails, or the poll limit (the TCP timeout in seconds × 1000)
// is used up or as many milliseconds have passed; waitForConnection blocks
// on its result. The result is true exactly when the attempt's CONNECTED
// was taken, also when the connection has failed again before the waiter
// looked: it then ran and may have called the callback, so its failure is
// that of an established connection, not of the connect.
class StateMachine {
 public:
  using ErrorCode = mirt::VarnelException::ErrorCode;

  StateMachine();
  // Waits for a connection waiter that is still polling.
  ~StateMachine();
  StateMachine(const StateMachine&) = delete;
  StateMachine& operator=(const StateMachine&) = delete;

  // Requests a transition; `message`, `code` and `cause` are used only for
  // ERROR (the text is copied), where the first recorded failure stays.
  // Returns the state after the call, so that the connection can tell
  // whether its CONNECTED was taken. Never throws a state back at the
  // caller; may throw std::system_error when the waiter task cannot be
  // started.
  TCPStates signalState(TCPStates requested, const char* message, ErrorCode code,
                        mirt::FailureCause cause = mirt::FailureCause::Other);

  TCPStates getState() const;
  ErrorCode getErrorCode() const;
  std::string getErrorMessage() const;

  // State, message, code and cause read together, so that they always
  // belong to the same record.
  struct Snapshot {
    TCPStates state;
    std::string message;
    ErrorCode code;
    mirt::FailureCause cause;
  };
  Snapshot getSnapshot() const;

  // Poll limit = timeout × 1000, saturating at the largest count; 0 is
  // ignored. A wait under way sees the new limit at its next comparison.
  void setTcpTimeout(std::uint32_t timeout);
  // The TCP timeout in seconds (10 until set); a connection reads it when it
  // is established, for the detection of a board that stops answering.
  std::uint32_t getTcpTimeout() const;

  // The connection waiter's result: false at once when no CONNECTING was
  // signalled since construction or the last IDLE; otherwise blocks until
  // the waiter has decided: true when the attempt was established. The
  // result stays available.
  bool waitForConnection();

  // The parser's figures; they live as long as the parser's state, and
  // every failure recorded here is counted in them.
  ParserStatistics& statistics() { return statistics_; }
  const ParserStatistics& statistics() const { return statistics_; }

  // The raw poll limit, for tests that need a short wait.
  void setMaxPolls(std::uint32_t polls);
  std::uint32_t getMaxPolls() const;

 private:
  bool waitForConnectionLockFree(std::uint32_t generation);

  TCPStates state;
  // CONNECTED was taken since the last IDLE or CONNECTING: the current
  // attempt was established, whatever state followed.
  bool established = false;
  std::atomic<std::uint32_t> pollCount;
  mutable std::shared_mutex lock;
  std::string errorMessage;
  ErrorCode errorCode;
  mirt::FailureCause failureCause = mirt::FailureCause::None;
  std::shared_future<bool> connectionResult;
  std::atomic<std::uint32_t> maxPolls;
  std::atomic<std::uint32_t> tcpTimeoutSeconds{10};
  // Bumped by IDLE and CONNECTING: a waiter whose result was discarded
  // stops at its next poll instead of polling on to its limit, so that
  // releasing its result (which waits for the task) never blocks for long.
  std::atomic<std::uint32_t> waiterGeneration{0};
  ParserStatistics statistics_;
};
