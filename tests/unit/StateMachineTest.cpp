#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "connection/StateMachine.hpp"

using mirt::VarnelException;
using namespace std::chrono_literals;

namespace {

constexpr const char* unknownTransition = "Unknown Error happened in state transition to CONNECTED";

// A state machine whose waiter (if one is started) polls for a long time,
// and which ends any waiter quickly when it goes out of scope.
struct Machine {
  std::unique_ptr<StateMachine> sm = std::make_unique<StateMachine>();
  Machine() { sm->setMaxPolls(1000000); }
  ~Machine() {
    sm->setMaxPolls(1);
    sm.reset();
  }
  StateMachine* operator->() { return sm.get(); }
};

void signal(StateMachine& sm, TCPStates s) {
  if (s == ERROR) {
    sm.signalState(ERROR, "first failure", VarnelException::CommunicationError);
  } else {
    sm.signalState(s, nullptr, VarnelException::Unspecified);
  }
}

// Brings a new machine into `target` by legal signals.
void driveTo(StateMachine& sm, TCPStates target) {
  switch (target) {
    case IDLE:
      break;
    case OPENING:
      signal(sm, OPENING);
      break;
    case CONNECTING:
      signal(sm, CONNECTING);
      break;
    case CONNECTED:
      signal(sm, CONNECTING);
      signal(sm, CONNECTED);
      break;
    case RECEIVING:
      signal(sm, CONNECTING);
      signal(sm, CONNECTED);
      signal(sm, RECEIVING);
      break;
    case DISCONNECTED:
      signal(sm, DISCONNECTED);
      break;
    case ERROR:
      signal(sm, ERROR);
      break;
  }
  ASSERT_EQ(sm.getState(), target);
}

// R: ERROR by a rejected CONNECTED; E: ERROR with the given message.
enum Outcome { I, O, C, D, R, V, X, E, U };  // U: ERROR unchanged

TCPStates expectedState(Outcome o) {
  switch (o) {
    case I:
      return IDLE;
    case O:
      return OPENING;
    case C:
      return CONNECTING;
    case D:
      return CONNECTED;
    case V:
      return RECEIVING;
    case X:
      return DISCONNECTED;
    default:
      return ERROR;
  }
}

TEST(StateMachineTransitions, FollowTheWholeTable) {
  // Rows: current state; columns: signalled state, both in enum order.
  const std::array<std::array<Outcome, 7>, 7> table{{
      /* IDLE         */ {I, O, C, R, I, X, E},
      /* OPENING      */ {I, O, C, R, O, X, E},
      /* CONNECTING   */ {I, O, C, D, C, X, E},
      /* CONNECTED    */ {I, O, C, R, V, X, E},
      /* RECEIVING    */ {I, O, C, D, V, X, E},
      /* DISCONNECTED */ {I, O, C, R, X, X, X},
      /* ERROR        */ {I, O, C, U, U, U, U},
  }};
  for (unsigned from = 0; from < 7; ++from) {
    for (unsigned to = 0; to < 7; ++to) {
      SCOPED_TRACE("from " + std::to_string(from) + " signal " + std::to_string(to));
      Machine m;
      driveTo(*m.sm, static_cast<TCPStates>(from));
      const auto codeBefore = m->getErrorCode();
      const auto messageBefore = m->getErrorMessage();
      if (to == ERROR) {
        m->signalState(ERROR, "second failure", VarnelException::VersionMismatch);
      } else {
        m->signalState(static_cast<TCPStates>(to), nullptr, VarnelException::Unspecified);
      }
      const Outcome o = table[from][to];
      EXPECT_EQ(m->getState(), expectedState(o));
      switch (o) {
        case R:
          EXPECT_EQ(m->getErrorMessage(), unknownTransition);
          EXPECT_EQ(m->getErrorCode(), codeBefore);
          break;
        case E:
          EXPECT_EQ(m->getErrorMessage(), "second failure");
          EXPECT_EQ(m->getErrorCode(), VarnelException::VersionMismatch);
          break;
        default:
          EXPECT_EQ(m->getErrorMessage(), messageBefore);
          EXPECT_EQ(m->getErrorCode(), codeBefore);
          break;
      }
    }
  }
}

TEST(StateMachineTransitions, ValuesAboveSixChangeNothing) {
  Machine m;
  driveTo(*m.sm, CONNECTED);
  m->signalState(static_cast<TCPStates>(7), "x", VarnelException::GeneralError);
  m->signalState(static_cast<TCPStates>(0xFFFFFFFFu), "x", VarnelException::GeneralError);
  EXPECT_EQ(m->getState(), CONNECTED);
  EXPECT_EQ(m->getErrorMessage(), "");
}

TEST(StateMachineTransitions, RejectedConnectedBeforeAnyErrorReportsGeneralError) {
  StateMachine sm;
  sm.signalState(CONNECTED, nullptr, VarnelException::Unspecified);
  EXPECT_EQ(sm.getState(), ERROR);
  EXPECT_EQ(sm.getErrorCode(), VarnelException::GeneralError);
  EXPECT_EQ(sm.getErrorMessage(), unknownTransition);
}

TEST(StateMachineErrors, FirstErrorWinsAndSurvivesIdle) {
  StateMachine sm;
  sm.signalState(ERROR, "first", VarnelException::CommunicationError);
  sm.signalState(ERROR, "second", VarnelException::VersionMismatch);
  EXPECT_EQ(sm.getErrorMessage(), "first");
  EXPECT_EQ(sm.getErrorCode(), VarnelException::CommunicationError);
  sm.signalState(IDLE, nullptr, VarnelException::Unspecified);
  EXPECT_EQ(sm.getState(), IDLE);
  EXPECT_EQ(sm.getErrorMessage(), "first");
  EXPECT_EQ(sm.getErrorCode(), VarnelException::CommunicationError);
  // After a new attempt a new error is recorded again.
  sm.signalState(ERROR, "third", VarnelException::GeneralError);
  EXPECT_EQ(sm.getErrorMessage(), "third");
}

TEST(StateMachineErrors, NullMessageRecordsAnEmptyText) {
  StateMachine sm;
  sm.signalState(ERROR, nullptr, VarnelException::GeneralError);
  EXPECT_EQ(sm.getState(), ERROR);
  EXPECT_EQ(sm.getErrorMessage(), "");
}

TEST(StateMachineErrors, ErrorAfterDisconnectedIsDropped) {
  StateMachine sm;
  sm.signalState(DISCONNECTED, nullptr, VarnelException::Unspecified);
  sm.signalState(ERROR, "late", VarnelException::CommunicationError);
  EXPECT_EQ(sm.getState(), DISCONNECTED);
  EXPECT_EQ(sm.getErrorMessage(), "");
}

TEST(StateMachineTimeout, SetTcpTimeoutScalesByAThousandAndIgnoresZero) {
  StateMachine sm;
  EXPECT_EQ(sm.getMaxPolls(), 10000u);
  sm.setTcpTimeout(5);
  EXPECT_EQ(sm.getMaxPolls(), 5000u);
  sm.setTcpTimeout(0);
  EXPECT_EQ(sm.getMaxPolls(), 5000u);
  sm.setTcpTimeout(30);
  EXPECT_EQ(sm.getMaxPolls(), 30000u);
  EXPECT_EQ(sm.getTcpTimeout(), 30u);
  sm.setTcpTimeout(4294968u);  // would wrap to 704 polls in 32-bit arithmetic
  EXPECT_EQ(sm.getMaxPolls(), 4294967295u);
  EXPECT_EQ(sm.getTcpTimeout(), 4294968u);
}

TEST(ConnectionWaiter, WithoutConnectingReturnsFalseAtOnce) {
  StateMachine sm;
  EXPECT_EQ(sm.getState(), IDLE);
  EXPECT_FALSE(sm.waitForConnection());
  sm.signalState(CONNECTING, nullptr, VarnelException::Unspecified);
  sm.signalState(CONNECTED, nullptr, VarnelException::Unspecified);
  sm.signalState(IDLE, nullptr, VarnelException::Unspecified);  // discards the result
  EXPECT_FALSE(sm.waitForConnection());
}

TEST(ConnectionWaiter, TimesOutAfterItsPollLimitAndRecordsGeneralError) {
  StateMachine sm;
  sm.setMaxPolls(50);
  const auto start = std::chrono::steady_clock::now();
  sm.signalState(CONNECTING, nullptr, VarnelException::Unspecified);
  EXPECT_FALSE(sm.waitForConnection());
  // Each poll lasts at least a millisecond, so the limit reads as time.
  EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
  EXPECT_EQ(sm.getState(), ERROR);
  EXPECT_EQ(sm.getErrorCode(), VarnelException::GeneralError);
  EXPECT_EQ(sm.getErrorMessage(), "waitForConnectionLockFree: Connection timeout");
  EXPECT_FALSE(sm.waitForConnection());  // the result stays available
}

#if defined(_WIN32)
// Windows sleeps in whole milliseconds, in steps of up to 15.6 ms (and a
// shorter sleep may return at once), so a poll rarely lasts a millisecond:
// the waiter's deadline keeps the TCP timeout in seconds.
TEST(ConnectionWaiter, ATcpTimeoutOfTwoSecondsLastsTwoSeconds) {
  StateMachine sm;
  sm.setTcpTimeout(2);
  const auto start = std::chrono::steady_clock::now();
  sm.signalState(CONNECTING, nullptr, VarnelException::Unspecified);
  EXPECT_FALSE(sm.waitForConnection());
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 2s);
  EXPECT_LE(took, 2500ms);
  EXPECT_EQ(sm.getErrorMessage(), "waitForConnectionLockFree: Connection timeout");
}
#endif

TEST(ConnectionWaiter, AConnectionEstablishedDuringTheLastPollIsASuccess) {
  // With a limit of one poll, CONNECTED arrives before the waiter's first
  // sample, while it sleeps after sampling CONNECTING, or (on a busy
  // machine) after it has given up. The waiter and the connection must
  // agree: success exactly when CONNECTED was taken, never a time-out
  // behind a running connection.
  for (int attempt = 0; attempt < 100; ++attempt) {
    StateMachine sm;
    sm.setMaxPolls(1);
    sm.signalState(CONNECTING, nullptr, VarnelException::Unspecified);
    const TCPStates taken = sm.signalState(CONNECTED, nullptr, VarnelException::Unspecified);
    const bool connected = sm.waitForConnection();
    ASSERT_EQ(connected, taken == CONNECTED) << "attempt " << attempt << ": " << sm.getErrorMessage();
    if (!connected) {
      ASSERT_EQ(sm.getErrorMessage(), "waitForConnectionLockFree: Connection timeout");
    }
  }
}

TEST(ConnectionWaiter, AConnectAfterTheTimeOutKeepsTheTimeOutAsTheCause) {
  StateMachine sm;
  sm.setMaxPolls(2);
  sm.signalState(CONNECTING, nullptr, VarnelException::Unspecified);
  EXPECT_FALSE(sm.waitForConnection());
  // The connection learns that its CONNECTED was not taken.
  EXPECT_EQ(sm.signalState(CONNECTED, nullptr, VarnelException::Unspecified), ERROR);
  EXPECT_EQ(sm.getErrorMessage(), "waitForConnectionLockFree: Connection timeout");
  EXPECT_EQ(sm.getErrorCode(), VarnelException::GeneralError);
}

TEST(ConnectionWaiter, SucceedsWhenConnectedIsSignalledFromAnotherThread) {
  StateMachine sm;
  sm.setMaxPolls(20000);
  sm.signalState(CONNECTING, nullptr, VarnelException::Unspecified);
  std::thread io([&] { sm.signalState(CONNECTED, nullptr, VarnelException::Unspecified); });
  EXPECT_TRUE(sm.waitForConnection());
  io.join();
  EXPECT_TRUE(sm.waitForConnection());
  EXPECT_EQ(sm.getState(), CONNECTED);
}

TEST(ConnectionWaiter, ErrorDuringTheWaitEndsItWithFalseAndKeepsTheError) {
  StateMachine sm;
  sm.setMaxPolls(20000);
  sm.signalState(CONNECTING, nullptr, VarnelException::Unspecified);
  std::thread io([&] { sm.signalState(ERROR, "start: refused", VarnelException::CommunicationError); });
  EXPECT_FALSE(sm.waitForConnection());
  io.join();
  EXPECT_EQ(sm.getErrorMessage(), "start: refused");
  EXPECT_EQ(sm.getErrorCode(), VarnelException::CommunicationError);
}

TEST(ConnectionWaiter, AConnectionThatFailsBeforeTheWaiterLooksIsStillASuccess) {
  // CONNECTED was taken, so the connection ran (and may have delivered);
  // its failure is an error of an established connection, not of connect.
  for (const TCPStates after : {ERROR, DISCONNECTED}) {
    StateMachine sm;
    sm.setMaxPolls(20000);
    sm.signalState(CONNECTING, nullptr, VarnelException::Unspecified);
    sm.signalState(CONNECTED, nullptr, VarnelException::Unspecified);
    signal(sm, after);
    EXPECT_TRUE(sm.waitForConnection()) << after;
    EXPECT_EQ(sm.getState(), after);
    // A new attempt starts without it.
    sm.signalState(IDLE, nullptr, VarnelException::Unspecified);
    sm.setMaxPolls(2);
    sm.signalState(CONNECTING, nullptr, VarnelException::Unspecified);
    EXPECT_FALSE(sm.waitForConnection()) << after;
  }
}

TEST(ConnectionWaiter, DisconnectedDuringTheWaitPrintsTheStateAndRecordsNothing) {
  StateMachine sm;
  sm.setMaxPolls(20000);
  testing::internal::CaptureStdout();
  sm.signalState(CONNECTING, nullptr, VarnelException::Unspecified);
  sm.signalState(DISCONNECTED, nullptr, VarnelException::Unspecified);
  EXPECT_FALSE(sm.waitForConnection());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "TCPState is not connected: 5\n");
  EXPECT_EQ(sm.getState(), DISCONNECTED);
  EXPECT_EQ(sm.getErrorMessage(), "");
}

TEST(ConnectionWaiter, ALimitChangedDuringTheWaitAppliesAtTheNextPoll) {
  StateMachine sm;
  sm.setMaxPolls(10000000);  // hours
  sm.signalState(CONNECTING, nullptr, VarnelException::Unspecified);
  auto result = std::async(std::launch::async, [&] { return sm.waitForConnection(); });
  sm.setMaxPolls(3);
  ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
  EXPECT_FALSE(result.get());
  EXPECT_EQ(sm.getErrorMessage(), "waitForConnectionLockFree: Connection timeout");
}

TEST(ConnectionWaiter, ANewAttemptAfterATimeoutStartsAFreshWaiter) {
  StateMachine sm;
  sm.setMaxPolls(5);
  sm.signalState(CONNECTING, nullptr, VarnelException::Unspecified);
  EXPECT_FALSE(sm.waitForConnection());
  sm.signalState(IDLE, nullptr, VarnelException::Unspecified);
  sm.signalState(OPENING, nullptr, VarnelException::Unspecified);
  sm.setMaxPolls(20000);
  sm.signalState(CONNECTING, nullptr, VarnelException::Unspecified);
  sm.signalState(CONNECTED, nullptr, VarnelException::Unspecified);
  EXPECT_TRUE(sm.waitForConnection());
}

TEST(StateMachineConcurrency, ReadersAndWritersOnSeveralThreads) {
  StateMachine sm;
  sm.setMaxPolls(20000);
  sm.signalState(CONNECTING, nullptr, VarnelException::Unspecified);
  std::thread writer([&] {
    sm.signalState(CONNECTED, nullptr, VarnelException::Unspecified);
    for (int i = 0; i < 2000; ++i) {
      sm.signalState(RECEIVING, nullptr, VarnelException::Unspecified);
      sm.signalState(CONNECTED, nullptr, VarnelException::Unspecified);
    }
    sm.signalState(ERROR, "end", VarnelException::CommunicationError);
  });
  int errors = 0;
  for (int i = 0; i < 2000; ++i) {
    const auto s = sm.getState();
    EXPECT_TRUE(s == CONNECTING || s == CONNECTED || s == RECEIVING || s == ERROR);
    if (s == ERROR) ++errors;
    (void)sm.getErrorMessage();
  }
  writer.join();
  EXPECT_TRUE(sm.waitForConnection());  // CONNECTED was taken, whatever followed
  EXPECT_EQ(sm.getErrorMessage(), "end");
  (void)errors;
}

// A snapshot taken while the I/O thread connects, receives and disconnects
// never pairs the clocks of two different times.
TEST(StateMachineConcurrency, StatisticsTimesAreNeverTorn) {
  StateMachine sm;
  ParserStatistics& statistics = sm.statistics();
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (std::int64_t i = 1; i <= 200000; ++i) {
      statistics.connected({i, i});
      statistics.received(128, {i, i});
      statistics.disconnected();
    }
    done = true;
  });
  std::uint64_t torn = 0;
  while (!done) {
    const mirt::VarnelStatistics s = statistics.snapshot();
    if (s.connectedTime.systemTimeNs != s.connectedTime.steadyTimeNs) ++torn;
    if (s.lastReceiveTime.systemTimeNs != s.lastReceiveTime.steadyTimeNs) ++torn;
  }
  writer.join();
  EXPECT_EQ(torn, 0u);
}

}  // namespace
