#pragma once

// The hand-over of a connection's data stream to the application's
// callback. It knows no socket and no timer: the connection calls deliver
// when the stream is complete or when the timer finds the hand-over due,
// and sets its timer to due(). Used only on the connection's I/O thread.
//
// One hand-over, in this order:
// - the next timer hand-over becomes due waitTime from now;
// - RECEIVING is signalled before the callback for a stream the board has
//   not finished; CONNECTED after it for a finished one, but only when
//   RECEIVING was signalled for that stream: a stream finished in one piece
//   leaves the state as it is. An empty stream signals nothing;
// - the callback is called with the stream, also an empty one, and timed
//   for the statistics;
// - the stream is cleared: what the callback did not pop is destroyed.

#include <chrono>
#include <functional>

#include "stream/OstraDataStreamImpl.hpp"
#include "varnel/varnel.hpp"

class StateMachine;

class StreamHandOver {
 public:
  using Clock = std::chrono::steady_clock;
  using Callback = std::function<void(mirt::OstraDataStream*)>;

  // Reports to `stateMachine`, which must outlive this object. The first
  // timer hand-over is due waitTime after construction (see startPeriod).
  StreamHandOver(StateMachine& stateMachine, Callback callback, std::chrono::milliseconds waitTime);

  // The next timer hand-over is due waitTime from now: at the connect.
  void startPeriod() { due_ = Clock::now() + waitTime; }
  // When the timer hands the stream over next: waitTime after the last
  // hand-over (or startPeriod).
  Clock::time_point due() const { return due_; }

  // One hand-over of `stream`, as described above. Throws what the callback
  // throws (a callback without target: std::bad_function_call); the stream
  // then keeps its packages, for the next connection, and callbackThrew()
  // is true from then on.
  void deliver(OstraDataStreamImpl& stream);

  // The callback has thrown: it is not to be called again.
  bool callbackThrew() const { return callbackThrew_; }

  // True while the calling thread runs the callback of a hand-over that
  // reports to `owner`, or the receive observer of its connection. Reads
  // nothing of any hand-over, so a receiver can ask it from inside its
  // callback at any moment.
  static bool isInsideCallback(const StateMachine* owner);

  // Marks the calling thread as inside a callback of `owner` while it lives
  // (the receive observer runs under one).
  class CallbackScope {
   public:
    explicit CallbackScope(const StateMachine* owner);
    ~CallbackScope();
    CallbackScope(const CallbackScope&) = delete;
    CallbackScope& operator=(const CallbackScope&) = delete;

   private:
    const StateMachine* previous;
  };

 private:
  StateMachine& stateMachine;
  Callback callback;
  std::chrono::milliseconds waitTime;
  Clock::time_point due_;
  // RECEIVING was signalled for the stream in progress.
  bool streamInProgress = false;
  bool callbackThrew_ = false;
};
