// Faults on the application's side: disconnecting or destroying the parser
// at awkward moments, repeated connects, settings changed while connected,
// a slow callback, a callback that throws.
//
// The parser's operations are meant for one application thread at a time;
// only getState, isConnected and getAsyncError may run concurrently with
// the library's I/O thread. A disconnect on one thread racing a connect on
// another is outside that contract and not tested. What is tested is what
// an application can do within it: disconnect or destroy right after
// connect returns, and disconnect or destroy from the application thread
// while the callback runs on the I/O thread.
#if defined(__linux__)
#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <random>

#include "faults/FaultSupport.hpp"
#include "varnel/varnel.h"

using namespace faults;
using boardsim::FakeBoard;
using boardsim::Script;
using mirt::ConnectionState;
using mirt::VarnelException;

namespace {

constexpr std::uint32_t neverExpires = 600000;  // ms

// Packages of cycle c are numbered c * 1000 + 1, c * 1000 + 2, ...
constexpr std::uint64_t perCycle = 1000;

std::vector<PackageSpec> cyclePackages(unsigned cycle, std::size_t count, std::size_t endEvery = 0) {
  auto specs = boardsim::numberedPackages(cycle * perCycle + 1, count);
  if (endEvery != 0) {
    for (std::size_t i = endEvery - 1; i < count; i += endEvery) specs[i].endOfStream();
  }
  return specs;
}

// The packages of each connection arrive as a prefix of what its board
// sent (1, 2, ... k), and the connections follow each other in order.
void expectPrefixPerCycle(const std::vector<std::uint64_t>& numbers) {
  std::uint64_t last = 0;
  for (const std::uint64_t n : numbers) {
    if (n / perCycle == last / perCycle) {
      ASSERT_EQ(n, last + 1) << "after " << last;
    } else {
      ASSERT_GT(n / perCycle, last / perCycle) << "after " << last;
      ASSERT_EQ(n % perCycle, 1u) << "after " << last;
    }
    last = n;
  }
}

enum class Release { Disconnect, Destroy };
void PrintTo(Release r, std::ostream* os) { *os << (r == Release::Disconnect ? "disconnect" : "destroy"); }

// ------------------------------------------- right after connect returns

class ReleaseRightAfterConnect : public FaultTest, public testing::WithParamInterface<Release> {};

// While the board pours packages in, the parser is released the moment
// connect returns: the teardown meets the first reads and hand-overs.
TEST_P(ReleaseRightAfterConnect, NeverThrowsNorHangsAndKeepsOrder) {
  constexpr unsigned cycles = 25;
  const std::string address = faultAddress(slot::application + static_cast<unsigned>(GetParam()));
  SentPackages sent;
  Script script;
  for (unsigned c = 1; c <= cycles; ++c) {
    const auto specs = cyclePackages(c, 400, 7);
    sent.add(specs);
    script.send(boardsim::encodeAll(specs), 4096).waitForClientClose().acceptNext();
  }
  FakeBoard board(address, std::move(script));

  auto parser = std::make_unique<Parser>(address, 5, 5);
  std::vector<std::uint64_t> numbers;
  for (unsigned c = 1; c <= cycles; ++c) {
    SCOPED_TRACE("cycle " + std::to_string(c));
    if (!parser) parser = std::make_unique<Parser>(address, 5, 5);
    bounded("connect", 10s, [&] { ASSERT_NO_THROW((*parser)->connect()); });
    if (GetParam() == Release::Disconnect) {
      bounded("disconnect right after connect", 5s, [&] { EXPECT_NO_THROW((*parser)->disconnect()); });
      EXPECT_EQ((*parser)->getState(), ConnectionState::NotConnected);
    } else {
      bounded("destroy right after connect", 5s, [&] { parser->varnel.reset(); });
      const auto popped = sent.numbersOf(parser->collector.takePackages());
      numbers.insert(numbers.end(), popped.begin(), popped.end());
      parser.reset();
    }
    ASSERT_TRUE(board.waitForClientClosed(scaled(5s), c));
  }
  if (parser) {
    const auto popped = sent.numbersOf(parser->collector.takePackages());
    numbers.insert(numbers.end(), popped.begin(), popped.end());
  }
  expectPrefixPerCycle(numbers);
  bounded("destroy", 5s, [&] { parser.reset(); });
}

INSTANTIATE_TEST_SUITE_P(Both, ReleaseRightAfterConnect,
                         testing::Values(Release::Disconnect, Release::Destroy), [](const auto& info) {
                           return info.param == Release::Disconnect ? "Disconnect" : "Destroy";
                         });

// ------------------------------------------- while the callback is running

struct WhileInCallback {
  Release release;
  std::size_t handOver;  // 0: a stream in progress; 1: the stream's last part
};

void PrintTo(const WhileInCallback& w, std::ostream* os) {
  PrintTo(w.release, os);
  *os << (w.handOver == 0 ? " in a stream in progress" : " in the finishing hand-over");
}

class ReleaseWhileCallbackRuns : public FaultTest, public testing::WithParamInterface<WhileInCallback> {};

// Packages 1 and 2 are handed over as a stream in progress, package 3 (end
// of stream) finishes it, so that its hand-over signals CONNECTED after the
// callback. The application thread releases the parser while the callback
// of one of the two hand-overs runs: the release waits for the callback,
// leaves no error, and no callback runs after it has returned.
TEST_P(ReleaseWhileCallbackRuns, WaitsForTheCallbackAndLeavesNoError) {
  const WhileInCallback param = GetParam();
  const std::string address = faultAddress(slot::application + 2 + static_cast<unsigned>(param.release) * 2 +
                                           static_cast<unsigned>(param.handOver));
  auto specs = cyclePackages(0, 3);
  specs[2].endOfStream();
  SentPackages sent;
  sent.add(specs);
  FakeBoard board(address, Script().send(boardsim::encodeAll(specs)).silent());

  std::mutex mutex;
  std::condition_variable changed;
  std::size_t calls = 0;
  bool inside = false;
  bool releasing = false;
  bool finished = false;
  std::atomic<bool> released{false};
  std::atomic<int> lateCalls{0};

  auto parser = std::make_unique<Parser>(address, 2, neverExpires);
  parser->collector.extra = [&](mirt::OstraDataStream*) {
    if (released.load()) ++lateCalls;
    std::unique_lock lock(mutex);
    if (calls++ != param.handOver) return;
    inside = true;
    changed.notify_all();
    changed.wait_for(lock, scaled(10s), [&] { return releasing; });
    lock.unlock();
    // The callback's own work, during which the release is under way.
    std::this_thread::sleep_for(20ms);
    lock.lock();
    finished = true;
  };
  bounded("connect", 10s, [&] { ASSERT_NO_THROW((*parser)->connect()); });
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, scaled(10s), [&] { return inside; }));
    releasing = true;
  }
  changed.notify_all();

  Packages popped;
  if (param.release == Release::Disconnect) {
    bounded("disconnect while the callback runs", 5s, [&] { EXPECT_NO_THROW((*parser)->disconnect()); });
    released = true;
    EXPECT_EQ((*parser)->getState(), ConnectionState::NotConnected);
    popped = parser->collector.takePackages();
    bounded("destroy", 5s, [&] { parser.reset(); });
  } else {
    Collector* collector = &parser->collector;
    bounded("destroy while the callback runs", 5s, [&] { parser->varnel.reset(); });
    released = true;
    popped = collector->takePackages();
    parser.reset();
  }
  {
    std::lock_guard lock(mutex);
    EXPECT_TRUE(finished);  // the release waited for the callback
  }
  EXPECT_EQ(lateCalls.load(), 0);
  // Popped packages outlive the parser, intact. Package 3 may have been
  // read and handed over before the release took effect.
  const auto numbers = sent.numbersOf(popped);
  EXPECT_GE(numbers.size(), param.handOver == 0 ? 2u : 3u);
  EXPECT_EQ(numbers, range(1, numbers.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReleaseWhileCallbackRuns,
    testing::Values(WhileInCallback{Release::Disconnect, 0}, WhileInCallback{Release::Disconnect, 1},
                    WhileInCallback{Release::Destroy, 0}, WhileInCallback{Release::Destroy, 1}),
    [](const auto& info) {
      return std::string(info.param.release == Release::Disconnect ? "Disconnect" : "Destroy") +
             (info.param.handOver == 0 ? "InStreamInProgress" : "InFinishingHandOver");
    });

// The parser is destroyed from inside its own callback, forty times over,
// with a board that sends everything at once and a hand-over per package:
// the first hand-over mostly comes while connect() is still waiting for
// the connection on the test thread. connect() then returns (the
// connection was established) and touches nothing of the parser; the
// connection winds down on its own thread, the callback is not called
// again, and every thread and descriptor goes with it.
TEST_F(FaultTest, ParserDestroyedInsideItsCallbackWindsDownEveryTime) {
  constexpr unsigned cycles = 40;
  const std::string address = faultAddress(slot::application + 16);
  SentPackages sent;
  Script script;
  for (unsigned c = 1; c <= cycles; ++c) {
    const auto specs = cyclePackages(c, 50);
    sent.add(specs);
    script.send(boardsim::encodeAll(specs)).waitForClientClose().acceptNext();
  }
  FakeBoard board(address, std::move(script));
  unsigned duringConnect = 0;
  for (unsigned c = 1; c <= cycles; ++c) {
    SCOPED_TRACE("cycle " + std::to_string(c));
    std::unique_ptr<mirt::Varnel> parser;
    std::atomic<bool> connectReturned{false};
    std::atomic<bool> destroyedDuringConnect{false};
    std::atomic<int> calls{0};
    std::mutex mutex;
    Packages kept;
    parser = mirt::createVarnel(address, [&](mirt::OstraDataStream* stream) {
      if (stream->getSize() == 0) return;
      std::lock_guard lock(mutex);
      kept.push_back(stream->pop());
      destroyedDuringConnect = !connectReturned.load();
      parser.reset();  // on the parser's own I/O thread
      // The stream lives until the callback returns.
      if (auto second = stream->pop()) kept.push_back(std::move(second));
      ++calls;
    });
    parser->setPackageCounter(1);
    parser->setWaitTimeMs(5);
    // The parser may be gone as soon as connect() has started the I/O thread.
    mirt::Varnel* const connecting = parser.get();
    bounded("connect", 10s, [&] { ASSERT_NO_THROW(connecting->connect()); });
    connectReturned = true;
    ASSERT_TRUE(eventually([&] { return calls.load() == 1; }));
    ASSERT_TRUE(board.waitForClientClosed(scaled(5s), c));
    EXPECT_EQ(calls.load(), 1);
    std::lock_guard lock(mutex);
    if (destroyedDuringConnect) ++duringConnect;
    const auto numbers = sent.numbersOf(kept);
    ASSERT_FALSE(numbers.empty());
    EXPECT_EQ(numbers, range(numbers[0], numbers.size()));
    EXPECT_EQ(numbers[0] / perCycle, c);
  }
  RecordProperty("destroyedDuringConnect", static_cast<int>(duringConnect));
}

// The receive observer runs as the callback does: a disconnect inside it
// is refused (GeneralError) and the connection goes on; the parser
// destroyed inside it winds down on its own thread, and neither the
// observer nor the callback is called again.
class ReleaseInsideTheObserver : public FaultTest, public testing::WithParamInterface<Release> {};

TEST_P(ReleaseInsideTheObserver, IsRefusedOrWindsDown) {
  const Release release = GetParam();
  const std::string address = faultAddress(slot::application + 19 + static_cast<unsigned>(release));
  FakeBoard board(address, Script().send(boardsim::encodeAll(boardsim::numberedPackages(1, 8))).silent());
  std::atomic<int> dataEvents{0};
  std::atomic<int> refused{0};
  std::atomic<bool> released{false};
  std::atomic<bool> destroyed{false};
  std::atomic<int> callsAfter{0};
  std::unique_ptr<mirt::Varnel> parser = mirt::createVarnel(address, [&](mirt::OstraDataStream*) {
    if (released.load()) ++callsAfter;
  });
  parser->setReceiveObserver([&](const mirt::ReceivedBytes& bytes) {
    if (released.load()) ++callsAfter;
    if (bytes.event != mirt::ReceivedBytes::Data || dataEvents++ != 0) return;
    if (release == Release::Disconnect) {
      try {
        parser->disconnect();
      } catch (const VarnelException& e) {
        if (e.getErrorCode() == VarnelException::GeneralError) ++refused;
      }
    } else {
      released = true;
      parser.reset();  // on the parser's own I/O thread
      destroyed = true;
    }
  });
  mirt::Varnel* const connecting = parser.get();
  bounded("connect", 10s, [&] { ASSERT_NO_THROW(connecting->connect()); });
  if (release == Release::Disconnect) {
    ASSERT_TRUE(eventually([&] { return refused.load() == 1; }));
    EXPECT_TRUE(parser->isConnected());
    bounded("disconnect", 5s, [&] { EXPECT_NO_THROW(parser->disconnect()); });
  } else {
    ASSERT_TRUE(eventually([&] { return destroyed.load(); }));
    ASSERT_TRUE(board.waitForClientClosed(scaled(5s)));
    EXPECT_EQ(callsAfter.load(), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Both, ReleaseInsideTheObserver,
                         testing::Values(Release::Disconnect, Release::Destroy), [](const auto& info) {
                           return info.param == Release::Disconnect ? "Disconnect" : "Destroy";
                         });

// The hand-over that disconnect or delete makes runs while that call still
// uses the parser: a connect or a delete from its callback is refused (the
// delete would free the parser under that call), and the parser is
// deleted once disconnect has returned.
class TeardownHandOver : public FaultTest, public testing::WithParamInterface<Release> {};

TEST_P(TeardownHandOver, RefusesAConnectOrADeleteFromTheCallback) {
  const Release release = GetParam();
  const std::string address = faultAddress(slot::application + 21 + static_cast<unsigned>(release));
  FakeBoard board(address, Script().send(boardsim::encodeAll(boardsim::numberedPackages(1, 3))).silent());
  struct Context {
    mirt_varnel* handle = nullptr;
    int calls = 0;
    mirt_error_code connect = MIRT_ERROR_NONE;
    mirt_error_code remove = MIRT_ERROR_NONE;
  } context;
  const mirt_varnel_callback callback = [](mirt_ostra_data_stream*, void* data) {
    auto& c = *static_cast<Context*>(data);
    if (c.calls++ != 0) return;
    mirt_varnel_connect(c.handle, &c.connect);
    mirt_varnel_delete(c.handle, &c.remove);
  };
  mirt_error_code error = MIRT_ERROR_NONE;
  context.handle = mirt_varnel_create(address.c_str(), callback, &context, &error);
  ASSERT_NE(context.handle, nullptr);
  // Nothing is handed over before the teardown.
  mirt_varnel_set_package_counter(context.handle, 100, nullptr);
  mirt_varnel_set_wait_time_ms(context.handle, neverExpires, nullptr);
  bounded("connect", 10s, [&] { mirt_varnel_connect(context.handle, &error); });
  ASSERT_EQ(error, MIRT_ERROR_NONE);
  mirt_varnel_statistics statistics{};
  statistics.size = sizeof statistics;
  ASSERT_TRUE(eventually([&] {
    mirt_varnel_get_statistics(context.handle, &statistics, nullptr);
    return statistics.packages == 3;
  }));
  if (release == Release::Disconnect) {
    bounded("disconnect", 5s, [&] { mirt_varnel_disconnect(context.handle, &error); });
    EXPECT_EQ(error, MIRT_ERROR_NONE);
    EXPECT_EQ(mirt_varnel_get_state(context.handle, &error), MIRT_STATE_NOT_CONNECTED);
  }
  bounded("delete", 5s, [&] { mirt_varnel_delete(context.handle, &error); });
  EXPECT_EQ(error, MIRT_ERROR_NONE);
  EXPECT_EQ(context.calls, 1);
  EXPECT_EQ(context.connect, MIRT_ERROR_GENERAL);
  EXPECT_EQ(context.remove, MIRT_ERROR_GENERAL);
}

INSTANTIATE_TEST_SUITE_P(Both, TeardownHandOver, testing::Values(Release::Disconnect, Release::Destroy),
                         [](const auto& info) {
                           return info.param == Release::Disconnect ? "OfDisconnect" : "OfDelete";
                         });

// A disconnect from another thread while the callback runs waits for that
// callback and one last hand-over of what was collected (with what the
// last read brought), not for a hand-over per package counter's worth of
// what the board keeps sending: with a package counter of 1 and a slow
// callback, the old teardown handed over every package of up to 16 reads
// of 64 KiB first, one by one (a minute and more).
TEST_F(FaultTest, ADisconnectDoesNotHandOverWhatTheBoardSentAfterIt) {
  const std::string address = faultAddress(slot::application + 24);
  FakeBoard board(address, Script().send(boardsim::encodeAll(boardsim::numberedPackages(1, 2000))).silent());
  std::atomic<bool> inCallback{false};
  std::atomic<bool> disconnecting{false};
  std::atomic<int> callsDuringDisconnect{0};
  auto parser = mirt::createVarnel(address, [&](mirt::OstraDataStream*) {
    if (disconnecting.load()) {
      ++callsDuringDisconnect;
      std::this_thread::sleep_for(1ms);  // a slow application, not a wait for anything
      return;
    }
    inCallback = true;
    eventually([&] { return disconnecting.load(); });
  });
  parser->setPackageCounter(1);
  bounded("connect", 10s, [&] { ASSERT_NO_THROW(parser->connect()); });
  ASSERT_TRUE(eventually([&] { return inCallback.load(); }));
  bounded("disconnect", 30s, [&] {
    disconnecting = true;
    EXPECT_NO_THROW(parser->disconnect());
  });
  // The callback that ran, and those that the I/O thread began before the
  // disconnect reached it (a millisecond each); not the 2,000 packages the
  // board sent.
  EXPECT_LT(callsDuringDisconnect.load(), 1000);
  EXPECT_EQ(parser->getState(), ConnectionState::NotConnected);
}

// ---------------------------------------------- repeated connect/disconnect

// Forty connections, each disconnected at a moment drawn from a seeded
// generator: at once, after one to four hand-overs, or after everything
// arrived. Packages read but not handed over stay in the stream and come
// first in the next connection's first hand-over; otherwise every
// hand-over of a connection carries its own board's packages.
TEST_F(FaultTest, RepeatedConnectAndDisconnectAtRandomMomentsKeepsEveryPackageInOrder) {
  constexpr unsigned cycles = 40;
  constexpr std::size_t perConnection = 60;
  const std::string address = faultAddress(slot::application + 6);
  SentPackages sent;
  Script script;
  for (unsigned c = 1; c <= cycles; ++c) {
    const auto specs = cyclePackages(c, perConnection, 7);
    sent.add(specs);
    script.send(boardsim::encodeAll(specs), 800, 1ms).waitForClientClose().acceptNext();
  }
  FakeBoard board(address, std::move(script));
  std::mt19937 random(7);

  Parser parser(address, 3, 5);
  std::vector<std::size_t> firstHandOver;  // per connection
  for (unsigned c = 1; c <= cycles; ++c) {
    SCOPED_TRACE("cycle " + std::to_string(c));
    const std::size_t before = parser.collector.takeHandOvers().size();
    firstHandOver.push_back(before);
    const std::uint64_t sentBefore = board.bytesSent();
    bounded("connect", 10s, [&] { ASSERT_NO_THROW(parser->connect()); });
    const unsigned moment = random() % 6;
    if (moment == 5) {
      // Once the board has sent everything, two more (timer) hand-overs.
      ASSERT_TRUE(board.waitForBytesSent(sentBefore + perConnection * 160, scaled(5s)));
      const std::size_t now = parser.collector.takeHandOvers().size();
      ASSERT_TRUE(parser.collector.waitForHandOvers(now + 2, scaled(5s)));
    } else if (moment > 0) {
      ASSERT_TRUE(parser.collector.waitForHandOvers(before + moment, scaled(5s)));
    }
    bounded("disconnect", 5s, [&] { EXPECT_NO_THROW(parser->disconnect()); });
    EXPECT_EQ(parser->getState(), ConnectionState::NotConnected);
    ASSERT_TRUE(board.waitForClientClosed(scaled(5s), c));
  }

  const auto handOvers = parser.collector.takeHandOvers();
  const auto numbers = sent.numbersOf(parser.collector.takePackages());
  expectPrefixPerCycle(numbers);
  std::size_t next = 0;
  for (std::size_t h = 0, connection = 0; h < handOvers.size(); ++h) {
    while (connection + 1 < firstHandOver.size() && firstHandOver[connection + 1] <= h) ++connection;
    const bool first = h == firstHandOver[connection];
    for (std::size_t i = next; i < next + handOvers[h].size && i < numbers.size(); ++i) {
      const std::uint64_t cycle = numbers[i] / perCycle;
      if (first) {
        EXPECT_LE(cycle, connection + 1) << "hand-over " << h;
      } else {
        EXPECT_EQ(cycle, connection + 1) << "hand-over " << h;
      }
    }
    next += handOvers[h].size;
  }
  EXPECT_EQ(next, numbers.size());
}

// Refused connects, each followed by disconnect: the failure path leaves
// nothing behind either.
TEST_F(FaultTest, RepeatedRefusedConnectsLeaveNothingBehind) {
  const std::string address = faultAddress(slot::application + 7);  // nothing listens there
  Parser parser(address, 25, 10);
  for (int i = 0; i < 20; ++i) {
    bounded("refused connect", 10s, [&] {
      const auto [code, text, cause] = support::varnelFailure([&] { parser->connect(); });
      EXPECT_EQ(code, VarnelException::ConnectionFailed);
      EXPECT_EQ(text, "start: Connection refused");
      EXPECT_EQ(cause, mirt::FailureCause::Refused);
    });
    bounded("disconnect", 5s, [&] {
      EXPECT_EQ(support::varnelError([&] { parser->disconnect(); }),
                std::make_pair(static_cast<int>(VarnelException::CommunicationError),
                               std::string("start: Connection refused")));
    });
  }
  EXPECT_EQ(parser.collector.takeHandOvers().size(), 0u);
}

#if defined(__linux__)
// The process may open no more files: the attempt cannot get its event
// queue. That is a failed connect of the library's own type, counted, and
// the next connect, with files to spare again, receives.
TEST_F(FaultTest, AConnectTheSystemCannotStartIsAFailedConnect) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizers' runtime opens files of its own for its checks";
#endif
  const std::string address = faultAddress(slot::application + 23);
  const auto specs = cyclePackages(0, 10);
  SentPackages sent;
  sent.add(specs);
  FakeBoard board(address, Script().send(boardsim::encodeAll(specs)).silent());
  Parser parser(address, 25, 10);
  rlimit original{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
  std::vector<int> fillers;
  {
    // Every descriptor below the lowered limit is taken.
    rlimit lowered = original;
    lowered.rlim_cur = 64;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    for (int i = 0; i < 64; ++i) {
      const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
      if (fd < 0) break;
      fillers.push_back(fd);
    }
    const auto [code, text, cause] = support::varnelFailure([&] { parser->connect(); });
    for (const int fd : fillers) ::close(fd);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &original), 0);
    EXPECT_EQ(code, VarnelException::ConnectionFailed);
    EXPECT_EQ(text.rfind("connect: could not start the connection: ", 0), 0u) << text;
    EXPECT_EQ(cause, mirt::FailureCause::Other);
  }
  EXPECT_EQ(parser->getState(), ConnectionState::Error);
  EXPECT_EQ(parser->getStatistics().failures, 1u);
  bounded("connect", 10s, [&] { ASSERT_NO_THROW(parser->connect()); });
  ASSERT_TRUE(parser.collector.waitForPackages(specs.size(), scaled(20s)));
  EXPECT_EQ(sent.numbersOf(parser.collector.takePackages()), range(1, specs.size()));
}
#endif

// The connect is still pending in the network stack when the parser gives
// up; releasing the parser then cancels it without waiting for the stack.
class ReleaseWhileTcpConnectPending : public FaultTest, public testing::WithParamInterface<Release> {};

TEST_P(ReleaseWhileTcpConnectPending, ReturnsPromptlyWithTheTimeout) {
  const std::string address = faultAddress(slot::application + 8 + static_cast<unsigned>(GetParam()));
  FakeBoard board(address, FakeBoard::NeverAccept{});
  auto parser = std::make_unique<Parser>(address, 25, 10);
  (*parser)->setTcpTimeout(1);
  bounded("connect that times out", 10s, [&] {
    EXPECT_EQ(support::varnelError([&] { (*parser)->connect(); }),
              std::make_pair(static_cast<int>(VarnelException::ConnectionFailed),
                             std::string("waitForConnectionLockFree: Connection timeout")));
  });
  if (GetParam() == Release::Disconnect) {
    bounded("disconnect with the connect pending", 2s, [&] {
      EXPECT_EQ(support::varnelError([&] { (*parser)->disconnect(); }).first, VarnelException::GeneralError);
    });
    EXPECT_EQ((*parser)->getState(), ConnectionState::Error);
  }
  bounded("destroy with the connect pending", 2s, [&] { parser.reset(); });
}

INSTANTIATE_TEST_SUITE_P(Both, ReleaseWhileTcpConnectPending,
                         testing::Values(Release::Disconnect, Release::Destroy), [](const auto& info) {
                           return info.param == Release::Disconnect ? "Disconnect" : "Destroy";
                         });

// --------------------------------------------------------------- settings

// The application thread changes every setting and reads the state while
// the I/O thread hands streams over: the running connection keeps its
// package counter and wait time; the next connection takes the new ones.
TEST_F(FaultTest, SettingsChangedWhileStreamingApplyOnlyFromTheNextConnect) {
  const std::string address = faultAddress(slot::application + 10);
  const auto first = cyclePackages(1, 40);
  const auto second = cyclePackages(2, 40);
  SentPackages sent;
  sent.add(first).add(second);
  FakeBoard board(address, Script()
                               .send(boardsim::encodeAll(first), 320, 1ms)
                               .waitForClientClose()
                               .acceptNext()
                               .send(boardsim::encodeAll(second))
                               .silent());
  Parser parser(address, 4, neverExpires);
  bounded("connect", 10s, [&] { ASSERT_NO_THROW(parser->connect()); });
  // At least once: on a slow machine the first batch may be in before the
  // loop starts, and the second connection must still get the new settings.
  for (int i = 0; i < 100000 && (i == 0 || parser.collector.packageCount() < first.size()); ++i) {
    parser->setPackageCounter(7);
    parser->setWaitTimeMs(10);
    parser->setTcpTimeout(static_cast<std::uint32_t>(3 * timeScale()));
    EXPECT_TRUE(parser->isConnected());
    EXPECT_NE(parser->getState(), ConnectionState::Error);
    EXPECT_EQ(asyncError(*parser.varnel).first, -1);
  }
  ASSERT_TRUE(parser.collector.waitForPackages(first.size(), scaled(10s)));
  EXPECT_EQ(sizesOf(parser.collector.takeHandOvers()), std::vector<std::size_t>(10, 4));
  bounded("disconnect", 5s, [&] { EXPECT_NO_THROW(parser->disconnect()); });

  bounded("connect", 10s, [&] { ASSERT_NO_THROW(parser->connect()); });
  ASSERT_TRUE(parser.collector.waitForPackages(first.size() + second.size(), scaled(10s)));
  ASSERT_TRUE(parser.collector.waitForHandOvers(parser.collector.takeHandOvers().size() + 3, scaled(10s)));
  // Hand-overs of at most 7 packages, 7 when the read loop hands over, and
  // empty ones from the timer, which never expired on the first connection.
  const auto sizes = sizesOf(parser.collector.takeHandOvers());
  const std::vector<std::size_t> secondSizes(sizes.begin() + 10, sizes.end());
  std::size_t total = 0;
  for (const std::size_t n : secondSizes) {
    EXPECT_LE(n, 7u);
    total += n;
  }
  EXPECT_EQ(total, second.size());
  EXPECT_NE(std::find(secondSizes.begin(), secondSizes.end(), 7u), secondSizes.end());
  EXPECT_EQ(secondSizes.back(), 0u);
  std::vector<std::uint64_t> expected = range(perCycle + 1, 40);
  const auto more = range(2 * perCycle + 1, 40);
  expected.insert(expected.end(), more.begin(), more.end());
  EXPECT_EQ(sent.numbersOf(parser.collector.takePackages()), expected);
  bounded("disconnect", 5s, [&] { EXPECT_NO_THROW(parser->disconnect()); });
}

// ------------------------------------------------------------ slow callback

// Every call of the callback takes three wait times, so the timer is always
// overdue when a hand-over ends: nothing is lost, nothing fails.
TEST_F(FaultTest, SlowCallbackLosesNothingAndRecordsNoError) {
  const std::string address = faultAddress(slot::application + 11);
  const auto specs = cyclePackages(0, 30, 9);
  SentPackages sent;
  sent.add(specs);
  FakeBoard board(address, Script().send(boardsim::encodeAll(specs), 1600, 2ms).silent());
  Parser parser(address, 4, 3);
  // The callback's work: more than three wait times.
  parser.collector.extra = [](mirt::OstraDataStream*) { std::this_thread::sleep_for(10ms); };
  bounded("connect", 10s, [&] { ASSERT_NO_THROW(parser->connect()); });
  ASSERT_TRUE(parser.collector.waitForPackages(specs.size(), scaled(20s)));
  EXPECT_EQ(sent.numbersOf(parser.collector.takePackages()), range(1, specs.size()));
  EXPECT_TRUE(parser->isConnected());
  EXPECT_EQ(asyncError(*parser.varnel).first, -1);
  for (const auto& h : parser.collector.takeHandOvers()) EXPECT_LE(h.size, 4u);
  bounded("disconnect during a slow callback", 5s, [&] { EXPECT_NO_THROW(parser->disconnect()); });
}

// ------------------------------------------------------- throwing callback

struct Throwing {
  bool fromTimer;  // a timer hand-over; otherwise one of the read loop
  bool standard;   // a std::runtime_error; otherwise an int
  int code;
  const char* message;
};

class ThrowingCallback : public FaultTest, public testing::WithParamInterface<std::size_t> {};

const std::vector<Throwing> throwing = {
    {false, true, VarnelException::Unspecified, "readBody: thrown by the callback"},
    {false, false, VarnelException::Unspecified, "readBody: exception of unknown type"},
    {true, true, VarnelException::CommunicationError, "timerHandler: thrown by the callback"},
    {true, false, VarnelException::CommunicationError, "timerHandler: exception of unknown type"},
};

// The callback pops one package of its first non-empty stream and throws.
// The failure is recorded, the connection stops, and the packages the
// callback left in the stream are handed over again with the next
// connection's first hand-over: nothing is lost, nothing comes twice.
TEST_P(ThrowingCallback, IsRecordedAndTheStreamKeepsWhatWasNotPopped) {
  const Throwing t = throwing[GetParam()];
  const std::string address = faultAddress(slot::application + 12 + static_cast<unsigned>(GetParam()));
  const auto specs = cyclePackages(0, 5);
  PackageSpec marker = cyclePackages(1, 1)[0];
  marker.endOfStream();
  SentPackages sent;
  sent.add(specs).add({marker});
  FakeBoard board(address, Script()
                               .send(boardsim::encodeAll(specs))
                               .waitForClientClose()
                               .acceptNext()
                               .send(boardsim::encode(marker))
                               .silent());

  std::mutex mutex;
  Packages kept;
  bool thrown = false;
  std::unique_ptr<mirt::Varnel> parser = mirt::createVarnel(address, [&](mirt::OstraDataStream* stream) {
    std::lock_guard lock(mutex);
    if (!thrown && stream->getSize() != 0) {
      thrown = true;
      kept.push_back(stream->pop());
      if (t.standard) throw std::runtime_error("thrown by the callback");
      throw 42;
    }
    while (auto p = stream->pop()) kept.push_back(std::move(p));
  });
  // The timer expires once all five packages are in the stream.
  parser->setPackageCounter(t.fromTimer ? 25 : 2);
  parser->setWaitTimeMs(t.fromTimer ? static_cast<std::uint32_t>(200 * timeScale()) : neverExpires);
  bounded("connect", 10s, [&] { connectAllowingEarlyFailure(*parser); });
  ASSERT_TRUE(eventually([&] { return parser->getState() == ConnectionState::Error; }));
  const support::Failure recorded = recordedFailure(*parser);
  EXPECT_EQ(std::make_pair(recorded.code, recorded.text), std::make_pair(t.code, std::string(t.message)));
  EXPECT_EQ(recorded.cause, mirt::FailureCause::CallbackThrew);
  bounded("disconnect", 5s,
          [&] { EXPECT_EQ(support::varnelError([&] { parser->disconnect(); }).first, t.code); });

  bounded("reconnect", 10s, [&] { ASSERT_NO_THROW(parser->connect()); });
  ASSERT_TRUE(eventually([&] {
    std::lock_guard lock(mutex);
    return !kept.empty() && kept.back() && kept.back()->getMetaData().headerValue == marker.headerValue;
  }));
  std::vector<std::uint64_t> numbers;
  {
    std::lock_guard lock(mutex);
    numbers = sent.numbersOf(kept);
  }
  // Package 1 popped by the throwing call, the rest of its stream (two
  // packages from the read loop, five from the timer) kept for the marker's
  // hand-over.
  std::vector<std::uint64_t> expected = range(1, t.fromTimer ? 5 : 2);
  expected.push_back(marker.headerValue);
  EXPECT_EQ(numbers, expected);
  bounded("disconnect", 5s, [&] { EXPECT_NO_THROW(parser->disconnect()); });
  bounded("destroy", 5s, [&] { parser.reset(); });
}

INSTANTIATE_TEST_SUITE_P(Kinds, ThrowingCallback, testing::Range<std::size_t>(0, throwing.size()));

// The callback throws on a timer hand-over while the board pours packages
// in: whatever the read loop still gets, it frames nothing more and never
// calls the callback again.
TEST_F(FaultTest, ACallbackThatFailedOnATimerHandOverIsNeverCalledAgain) {
  const std::string address = faultAddress(slot::application + 17);
  constexpr std::uint32_t counter = 4;
  FakeBoard board(address,
                  Script().send(boardsim::encodeAll(boardsim::numberedPackages(1, 20000)), 65536).silent());
  std::atomic<bool> thrown{false};
  std::atomic<int> callsAfter{0};
  std::size_t popped = 0;
  std::unique_ptr<mirt::Varnel> parser = mirt::createVarnel(address, [&](mirt::OstraDataStream* stream) {
    if (thrown.load()) {
      ++callsAfter;
      return;
    }
    // Hand-overs by count hold exactly `counter` packages; fewer means the
    // timer made this one. Once reading is in full swing, it throws.
    if (stream->getSize() < counter && popped >= 100) {
      thrown.store(true);
      throw std::runtime_error("thrown on a timer hand-over");
    }
    while (stream->pop()) ++popped;
  });
  parser->setPackageCounter(counter);
  parser->setWaitTimeMs(1);
  bounded("connect", 10s, [&] { connectAllowingEarlyFailure(*parser); });
  ASSERT_TRUE(eventually([&] { return parser->getState() == ConnectionState::Error; }));
  EXPECT_EQ(asyncError(*parser), std::make_pair(static_cast<int>(VarnelException::CommunicationError),
                                                std::string("timerHandler: thrown on a timer hand-over")));
  bounded("destroy", 5s, [&] { parser.reset(); });  // the I/O thread has ended
  EXPECT_EQ(callsAfter.load(), 0);
}

#if defined(__linux__) && defined(__GLIBCXX__)
// A callback that ends the thread it runs on (pthread_exit; an interpreter
// that shuts down while its callback runs does the same) unwinds the I/O
// thread through the library's handlers, which let it pass: the process
// goes on, and the parser can still be destroyed.
TEST_F(FaultTest, ACallbackThatEndsItsThreadLeavesTheProcessRunning) {
  const std::string address = faultAddress(slot::application + 18);
  FakeBoard board(address, Script().send(boardsim::encodeAll(boardsim::numberedPackages(1, 8))).silent());
  std::atomic<int> calls{0};
  std::unique_ptr<mirt::Varnel> parser = mirt::createVarnel(address, [&](mirt::OstraDataStream*) {
    ++calls;
    pthread_exit(nullptr);
  });
  parser->setPackageCounter(2);
  bounded("connect", 10s, [&] { ASSERT_NO_THROW(parser->connect()); });
  ASSERT_TRUE(eventually([&] { return calls.load() == 1; }));
  bounded("destroy", 5s, [&] { parser.reset(); });
  EXPECT_EQ(calls.load(), 1);
}
#endif

}  // namespace
