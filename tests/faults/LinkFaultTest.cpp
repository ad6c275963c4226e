// Faults of the link and of the connect: a board that vanishes (its link
// cut, inside a network namespace of the test's own), a board that is alive
// but sends nothing, a connect that completes only after the time-out, and
// a new connect after a failed connection.
#if !defined(_WIN32)
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>

#include "faults/FaultSupport.hpp"

namespace faults {
namespace {

using boardsim::FakeBoard;
using boardsim::Script;
using mirt::ConnectionState;
using mirt::VarnelException;

// ----------------------------------------------------- network namespace

#if !defined(_WIN32)
// A network namespace joined to this one by a veth pair: 10.250.<index>.1
// on this side, 10.250.<index>.2 inside. A board started inside can have its
// link cut, which a loopback board cannot. Needs root and iproute2; both
// ends are removed again by the destructor, also when the test fails, and
// leftovers of a crashed earlier run are removed by the next one.
class LinkedNamespace {
 public:
  // Empty when namespaces can be made here, else why not.
  static std::string unavailable() {
    if (::geteuid() != 0) return "network namespaces need root";
    if (std::system("ip -V >/dev/null 2>&1") != 0) return "iproute2 (ip) is not installed";
    return {};
  }

  explicit LinkedNamespace(unsigned index) : index_(index) {
    removeLeftovers();
    const std::string pid = std::to_string(::getpid());
    name_ = prefix + pid + "-" + std::to_string(index);
    hostLink_ = "vt" + pid + "h" + std::to_string(index);
    boardLink_ = "vt" + pid + "b" + std::to_string(index);
    const std::string net = "10.250." + std::to_string(index);
    ok_ = run("ip netns add " + name_) &&
          run("ip link add " + hostLink_ + " type veth peer name " + boardLink_ + " netns " + name_) &&
          run("ip addr add " + net + ".1/24 dev " + hostLink_) && run("ip link set " + hostLink_ + " up") &&
          run("ip -n " + name_ + " addr add " + net + ".2/24 dev " + boardLink_) &&
          run("ip -n " + name_ + " link set " + boardLink_ + " up") &&
          run("ip -n " + name_ + " link set lo up");
  }

  ~LinkedNamespace() {
    run("ip link del " + hostLink_ + " 2>/dev/null");
    run("ip netns del " + name_ + " 2>/dev/null");
  }

  LinkedNamespace(const LinkedNamespace&) = delete;
  LinkedNamespace& operator=(const LinkedNamespace&) = delete;

  bool ok() const { return ok_; }
  std::string boardAddress() const { return "10.250." + std::to_string(index_) + ".2"; }

  // The board loses its link, as when it is switched off or its cable is
  // pulled: nothing reaches it any more, and nothing comes back.
  bool cut() { return run("ip -n " + name_ + " link set " + boardLink_ + " down"); }

  // Runs `f` on a thread that has entered the namespace; sockets made
  // there, and threads started from there, belong to it.
  template <typename F>
  auto inside(F f) -> decltype(f()) {
    decltype(f()) result{};
    std::string failure;
    std::thread thread([&] {
      const int fd = ::open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0 || ::setns(fd, CLONE_NEWNET) != 0) {
        failure = std::string("entering the namespace: ") + std::strerror(errno);
      } else {
        result = f();
      }
      if (fd >= 0) ::close(fd);
    });
    thread.join();
    EXPECT_EQ(failure, "");
    return result;
  }

 private:
  static constexpr const char* prefix = "varnel-test-";

  static bool run(const std::string& command) {
    const int status = std::system(command.c_str());
    if (status != 0) ADD_FAILURE() << "failed: " << command;
    return status == 0;
  }

  // Namespaces of test processes that no longer exist (their veth pairs go
  // with them).
  static void removeLeftovers() {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator("/run/netns", ignored)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind(prefix, 0) != 0) continue;
      const int pid = std::atoi(name.c_str() + std::strlen(prefix));
      if (pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH) {
        std::system(("ip netns del " + name + " 2>/dev/null").c_str());
      }
    }
  }

  unsigned index_;
  std::string name_;
  std::string hostLink_;
  std::string boardLink_;
  bool ok_ = false;
};

using Seconds = std::chrono::duration<double>;

std::optional<Clock::time_point> whenInState(mirt::Varnel& parser, ConnectionState state,
                                             Clock::duration timeout) {
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    if (parser.getState() == state) return Clock::now();
    std::this_thread::sleep_for(5ms);
  }
  return std::nullopt;
}
#endif

// ------------------------------------------------------------- dead link

// The board pours packages, then its link goes down. The parser has nothing
// to send, so only the keepalive probes can find out: the failure must be
// recorded after about the TCP timeout t (not before t, at most 2t + 2 s).
TEST_F(FaultTest, ABoardWhoseLinkIsCutIsReportedAfterAboutTheTcpTimeout) {
#if defined(_WIN32)
  GTEST_SKIP() << "cutting a board's link needs a Linux network namespace";
#else
  if (const std::string why = LinkedNamespace::unavailable(); !why.empty()) GTEST_SKIP() << why;
  LinkedNamespace ns(1);
  ASSERT_TRUE(ns.ok());
  constexpr std::uint32_t t = 2;
  const auto specs = boardsim::numberedPackages(1, 5000);
  auto board = ns.inside([&] {
    return std::make_unique<FakeBoard>(ns.boardAddress(),
                                       Script().sendEach(boardsim::encodeEach(specs), 2ms).silent());
  });
  ASSERT_TRUE(board);
  Parser parser(ns.boardAddress(), 10, 100);
  parser->setTcpTimeout(t);
  bounded("connect", 10s, [&] { ASSERT_NO_THROW(parser->connect()); });
  ASSERT_TRUE(parser.collector.waitForPackages(100, scaled(10s)));

  ASSERT_TRUE(ns.cut());
  const auto cutAt = Clock::now();
  const auto failedAt = whenInState(*parser.varnel, ConnectionState::Error, scaled(2 * t * 1s + 2s) + 1s);
  ASSERT_TRUE(failedAt) << "still " << static_cast<int>(parser->getState()) << " after "
                        << Seconds(Clock::now() - cutAt).count() << " s";
  const double after = Seconds(*failedAt - cutAt).count();
  // The last byte arrived a few milliseconds before the cut at most.
  EXPECT_GE(after, t - 0.25) << "reported before the TCP timeout";
  EXPECT_LE(after, Seconds(scaled(2 * t * 1s + 2s)).count());
  const auto [code, text, cause] = recordedFailure(*parser.varnel);
  EXPECT_EQ(code, VarnelException::CommunicationError);
  EXPECT_TRUE(text.rfind("readHeader: ErrorCode: ", 0) == 0 || text.rfind("readBody: ErrorCode: ", 0) == 0)
      << text;
  EXPECT_EQ(cause, mirt::FailureCause::DeadLink) << text;

  bounded("disconnect", 5s, [&] { parser.varnel.reset(); });
  board->stop();

  // From inside the namespace, whose only route is its own /24, a board
  // elsewhere in 10.250.0.0/16 cannot be reached: the system says so at
  // once, and no packet leaves.
  const auto [unreachableCode, unreachableText, unreachableCause] = ns.inside([&] {
    Parser elsewhere("10.250.255.1", 10, 100);
    return support::varnelFailure([&] { elsewhere->connect(); });
  });
  EXPECT_EQ(unreachableCode, VarnelException::ConnectionFailed);
  EXPECT_EQ(unreachableText.rfind("start: ", 0), 0u) << unreachableText;
  EXPECT_EQ(unreachableCause, mirt::FailureCause::Unreachable) << unreachableText;
#endif
}

// Probes are answered by a board that is alive, however long it is silent:
// an idle board is not a failure.
TEST_F(FaultTest, ASilentBoardThatIsAliveStaysConnected) {
  const std::string address = faultAddress(slot::link);
  FakeBoard board(address, Script().silent());
  Parser parser(address, 25, 250);
  constexpr std::uint32_t t = 2;
  parser->setTcpTimeout(t);
  bounded("connect", 10s, [&] { ASSERT_NO_THROW(parser->connect()); });
  const auto until = Clock::now() + 3 * t * 1s;
  while (Clock::now() < until) {
    ASSERT_EQ(parser->getState(), ConnectionState::Connected);
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(asyncError(*parser.varnel).first, -1);
  bounded("disconnect", 5s, [&] { EXPECT_NO_THROW(parser->disconnect()); });
}

// ------------------------------------------------------------ the connect

// The board's accept queue stays full until the connect has timed out, so
// the system would complete the connect on a later SYN retransmission (after
// 3 s). A failed connect leaves nothing behind that could do so: no
// connection appears, the callback is never called, and the recorded error
// stays the time-out.
TEST_F(FaultTest, AConnectThatCouldCompleteAfterTheTimeOutLeavesNothingRunning) {
  const std::string address = faultAddress(slot::link + 1);
  FakeBoard board(address, FakeBoard::NeverAccept{});
  Parser parser(address, 1, 20);
  parser->setTcpTimeout(2);
  const auto started = Clock::now();
  bounded("connect", 10s, [&] {
    EXPECT_EQ(support::varnelError([&] { parser->connect(); }),
              std::make_pair(static_cast<int>(VarnelException::ConnectionFailed),
                             std::string("waitForConnectionLockFree: Connection timeout")));
  });
  board.drainQueue();
  EXPECT_FALSE(
      eventually([&] { return board.clientsWaiting() > 0 || !parser.collector.takeHandOvers().empty(); },
                 started + 5s - Clock::now()))
      << "a connection was made after connect had failed: " << board.clientsWaiting() << " waiting, "
      << parser.collector.takeHandOvers().size() << " hand-overs";
  const support::Failure recorded = recordedFailure(*parser.varnel);
  EXPECT_EQ(std::make_pair(recorded.code, recorded.text),
            std::make_pair(static_cast<int>(VarnelException::GeneralError),
                           std::string("waitForConnectionLockFree: Connection timeout")));
  EXPECT_EQ(recorded.cause, mirt::FailureCause::ConnectTimedOut);
  EXPECT_EQ(parser->getState(), ConnectionState::Error);
}

// After the board has closed the connection, connect starts a new one at
// once (no disconnect needed) and receives from the board's next accept.
TEST_F(FaultTest, ConnectAfterABrokenConnectionReceivesAgain) {
  const std::string address = faultAddress(slot::link + 2);
  const auto specs = boardsim::numberedPackages(1, 6);
  SentPackages sent;
  sent.add(specs);
  FakeBoard board(address, Script()
                               .send(boardsim::encodeAll({specs.begin(), specs.begin() + 3}))
                               .close()
                               .acceptNext()
                               .send(boardsim::encodeAll({specs.begin() + 3, specs.end()}))
                               .silent());
  Parser parser(address, 25, 50);
  bounded("connect", 10s, [&] { connectAllowingEarlyFailure(*parser.varnel); });
  ASSERT_TRUE(eventually([&] { return parser->getState() == ConnectionState::Error; }));
  EXPECT_EQ(asyncError(*parser.varnel).second, "readHeader: ErrorCode: End of file");

  bounded("connect again", 10s, [&] { ASSERT_NO_THROW(parser->connect()); });
  EXPECT_TRUE(parser->isConnected());
  ASSERT_TRUE(parser.collector.waitForPackages(6));
  EXPECT_EQ(sent.numbersOf(parser.collector.takePackages()), range(1, 6));
  EXPECT_EQ(board.clientsAccepted(), 2u);
  bounded("disconnect", 5s, [&] { EXPECT_NO_THROW(parser->disconnect()); });
}

}  // namespace
}  // namespace faults
