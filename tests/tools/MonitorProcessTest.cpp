// varnel-monitor as a process against varnel-board: the status it shows,
// its summary, how it stops and its exit statuses. Every test binds its own
// address in the tools block (41 to 60), but the one on host names, which
// uses localhost and is skipped while another process (a user's own board,
// say) holds port 63751 there; each monitor is a fresh process, so the
// library's process-wide board version check starts anew each time.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

#include "support/Loopback.hpp"
#include "tools/ToolSupport.hpp"

using namespace tooltest;

namespace {

std::unique_ptr<ChildProcess> startMonitor(const std::string& address, const std::string& options) {
  return std::make_unique<ChildProcess>(monitorPath, words(address + " " + options));
}

// The number behind "NAME: " at the start of a line of `text`; -1 if none.
double figure(const std::string& text, const std::string& name) {
  const std::string key = "\n" + name + ": ";
  const std::size_t at = text.find(key);
  if (at == std::string::npos) return -1;
  return std::strtod(text.c_str() + at + key.size(), nullptr);
}

// The library's count behind "NAME: N (library: " on a line of `text`; -1
// if none.
double libraryFigure(const std::string& text, const std::string& name) {
  const std::size_t line = text.find("\n" + name + ": ");
  const std::string key = " (library: ";
  const std::size_t at = line == std::string::npos ? line : text.find(key, line);
  if (at == std::string::npos || at > text.find('\n', line + 1)) return -1;
  return std::strtod(text.c_str() + at + key.size(), nullptr);
}

std::size_t lineCount(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// A monitor that waits for the board (--retry) with the given options.
struct BoardAndMonitor {
  std::unique_ptr<ChildProcess> board;
  std::unique_ptr<ChildProcess> monitor;
  BoardAndMonitor(const std::string& address, const std::string& boardOptions,
                  const std::string& monitorOptions) {
    board = startBoard(address, boardOptions);
    monitor = startMonitor(address, "--retry 20 " + monitorOptions);
  }
  std::string outputs() const { return monitor->outputs() + "\n--- board:\n" + board->outputs(); }
};

// "127.0.0.1:63751" if a process holds the board port on an address of
// localhost, which a socket of our own then cannot bind (it binds nothing
// else: SO_REUSEADDR lets it past connections still closing); empty if
// every address is free.
std::string busyLocalhostPort() {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (::getaddrinfo("localhost", "63751", &hints, &found) != 0) return "";
  std::string busy;
  for (const addrinfo* a = found; a != nullptr && busy.empty(); a = a->ai_next) {
    const int fd = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (fd < 0) continue;
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 && errno == EADDRINUSE) {
      char host[NI_MAXHOST] = "";
      ::getnameinfo(a->ai_addr, a->ai_addrlen, host, sizeof host, nullptr, 0, NI_NUMERICHOST);
      busy = a->ai_family == AF_INET6 ? "[" + std::string(host) + "]:63751" : std::string(host) + ":63751";
    }
    ::close(fd);
  }
  ::freeaddrinfo(found);
  return busy;
}

}  // namespace

TEST(Monitor, CountsTheStreamAndSummarisesIt) {
  // The count ends inside a hand-over: the packages after it are not counted.
  const std::string address = support::loopback(support::Block::Tools, 41);
  BoardAndMonitor run(address, "--rate 200 --channels 3 --samples 500", "--count 99 --package-counter 10");
  ASSERT_EQ(run.monitor->wait(patience), 0) << run.outputs();
  const std::string& out = run.monitor->out();
  EXPECT_NE(out.find("connected to " + address + " port 63751"), std::string::npos) << out;
  EXPECT_NE(out.find("stopped: count reached"), std::string::npos) << out;
  const double packages = figure(out, "packages");
  EXPECT_EQ(packages, 99) << out;
  // The bytes are the library's: on the wire, uncounted packages included.
  EXPECT_EQ(figure(out, "bytes"), libraryFigure(out, "packages") * (128 + 3 * 500 * 4)) << out;
  // Hand-overs of 10, cut short by the end of each stream of 25.
  EXPECT_GE(figure(out, "streams"), packages / 10) << out;
  EXPECT_LE(figure(out, "streams"), packages / 5 + 1) << out;
  EXPECT_NE(out.find("\ngaps: 0 (0 packages missing)"), std::string::npos) << out;
  const double rate = figure(out, "rate");
  EXPECT_GT(rate, 20) << out;
  EXPECT_LT(rate, 260) << out;  // the board's pace is 200 packages/s
  EXPECT_EQ(run.monitor->err(), "");
  run.board->signal(SIGTERM);
  EXPECT_EQ(run.board->wait(patience), 0) << run.outputs();
}

TEST(Monitor, PrintsAStatusLineEverySecondWithFiguresOfTheLatestPackage) {
  BoardAndMonitor run(
      support::loopback(support::Block::Tools, 42),
      "--rate 100 --channels 2 --signal 0=square:500:100 --signal 1=counter --bios-version 0x41",
      "--duration 2.6");
  ASSERT_EQ(run.monitor->wait(patience), 0) << run.outputs();
  const std::string& out = run.monitor->out();
  // Not a terminal: plain lines, one a second.
  EXPECT_GE(lineCount(out, " packages/s "), 2u) << out;
  EXPECT_EQ(out.find('\r'), std::string::npos);
  const std::regex status(
      R"(\n +[12]\.[0-9] s  (connected|receiving) +[0-9.]+ packages/s +[0-9.]+ streams/s +[0-9.]+ MB/s  gaps 0  2 ch x 1000  DSP 646 \(raw 3646\), firmware 639 \(raw 0x127\), BIOS 0x41  ch0 -500/500/0\.0  ch1 [0-9]+/[0-9]+/[0-9.]+\n)");
  EXPECT_TRUE(std::regex_search(out, status)) << out;
  EXPECT_NE(out.find("stopped: duration over"), std::string::npos) << out;
  EXPECT_NEAR(figure(out, "duration"), 2.6, 0.3) << out;
  EXPECT_GT(figure(out, "packages"), 100) << out;
  // The library has counted what the monitor counted.
  for (const char* name : {"packages", "streams", "empty hand-overs"}) {
    EXPECT_EQ(libraryFigure(out, name), figure(out, name)) << name << "\n" << out;
  }
  EXPECT_TRUE(std::regex_search(
      out,
      std::regex(R"(\nlibrary: 1 connection, [0-9]+ failures?, largest hand-over [1-9][0-9]*, 0 not popped, )"
                 R"(callback [0-9]+\.[0-9]{3} ms in all, [0-9]+\.[0-9]{3} ms at most\n)")))
      << out;
  run.board->signal(SIGTERM);
  EXPECT_EQ(run.board->wait(patience), 0);
}

TEST(Monitor, CountsGapsInThePackageNumbersAndListsTheMissingOnes) {
  BoardAndMonitor run(support::loopback(support::Block::Tools, 43),
                      "--fast --skip-every 9 --channels 1 --samples 10", "--count 300");
  ASSERT_EQ(run.monitor->wait(patience), 0) << run.outputs();
  const std::string& out = run.monitor->out();
  // One number left out after every nine packages: 300 packages end at 333,
  // past 33 gaps, of which the first 20 are listed.
  EXPECT_NE(
      out.find("\ngaps: 33 (33 packages missing)\nmissing: 10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, "
               "120, 130, 140, 150, 160, 170, 180, 190, 200 and 13 more ranges\n"),
      std::string::npos)
      << out;
  run.board->signal(SIGTERM);
  EXPECT_EQ(run.board->wait(patience), 0);
}

TEST(Monitor, SigintDisconnectsPrintsTheSummaryAndExits0) {
  for (int signal : {SIGINT, SIGTERM}) {
    BoardAndMonitor run(signal == SIGINT ? support::loopback(support::Block::Tools, 44)
                                         : support::loopback(support::Block::Tools, 45),
                        "--rate 100", "");
    ASSERT_TRUE(run.monitor->waitForOutput(" packages/s ", patience)) << run.outputs();
    run.monitor->signal(signal);
    ASSERT_EQ(run.monitor->wait(patience), 0) << run.outputs();
    const std::string& out = run.monitor->out();
    EXPECT_NE(out.find(signal == SIGINT ? "stopped: interrupted (SIGINT)" : "stopped: terminated (SIGTERM)"),
              std::string::npos)
        << out;
    EXPECT_GT(figure(out, "packages"), 0) << out;
    EXPECT_TRUE(run.board->waitForOutput("closed by the client", patience, true)) << run.outputs();
    run.board->signal(SIGTERM);
    EXPECT_EQ(run.board->wait(patience), 0);
  }
}

TEST(Monitor, RefusedConnectExitsWith11) {
  const std::string address = support::loopback(support::Block::Tools, 46);
  auto monitor = startMonitor(address, "");  // nothing listens there
  EXPECT_EQ(monitor->wait(patience), 11) << monitor->outputs();
  EXPECT_NE(monitor->err().find("cannot connect to " + address + " (1 attempt)"), std::string::npos)
      << monitor->err();
  EXPECT_NE(monitor->err().find("error 1 (ConnectionFailed): start: Connection refused"), std::string::npos)
      << monitor->err();
  EXPECT_EQ(monitor->out().find("summary"), std::string::npos);
}

TEST(Monitor, RetryGivesUpAfterItsTime) {
  const auto start = Clock::now();
  auto monitor = startMonitor(support::loopback(support::Block::Tools, 47), "--retry 0.5");
  EXPECT_EQ(monitor->wait(patience), 11) << monitor->outputs();
  EXPECT_GE(Clock::now() - start, 500ms);
  EXPECT_EQ(monitor->err().find("(1 attempt)"), std::string::npos) << monitor->err();
}

// A board whose accept queue is full drops the SYN: the connect waits for
// its TCP timeout, and a Ctrl-C in that time says how long the stop may
// take, then ends the run when the connect gives up.
TEST(Monitor, CtrlCWhileConnectingSaysHowLongTheStopTakes) {
  const std::string address = support::loopback(support::Block::Tools, 58);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(63751);
  ASSERT_EQ(::inet_pton(AF_INET, address.c_str(), &at.sin_addr), 1);
  const auto sockaddrOf = [&] { return reinterpret_cast<const sockaddr*>(&at); };
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  const int queued = ::socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;  // past connections of an earlier run still closing
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  ASSERT_EQ(::bind(listener, sockaddrOf(), sizeof at), 0) << std::strerror(errno);
  ASSERT_EQ(::listen(listener, 0), 0);
  ASSERT_EQ(::connect(queued, sockaddrOf(), sizeof at), 0) << std::strerror(errno);  // fills the queue

  auto monitor = startMonitor(address, "--tcp-timeout 3");
  // The monitor's SYN waits in /proc/net/tcp (state 02) towards the board's
  // address, printed as a number in the kernel's byte order.
  char forward[16], backward[16];
  const auto* b = reinterpret_cast<const unsigned char*>(&at.sin_addr);
  std::snprintf(forward, sizeof forward, "%02X%02X%02X%02X:F907", b[0], b[1], b[2], b[3]);
  std::snprintf(backward, sizeof backward, "%02X%02X%02X%02X:F907", b[3], b[2], b[1], b[0]);
  const auto connecting = [&] {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    while (std::getline(table, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state;
      fields >> slot >> local >> remote >> state;
      if ((remote == forward || remote == backward) && state == "02") return true;
    }
    return false;
  };
  ASSERT_TRUE(support::eventually(connecting, patience)) << monitor->outputs();
  monitor->signal(SIGINT);
  EXPECT_TRUE(monitor->waitForOutput("stopping once the connect in progress ends (at most 3 seconds)",
                                     patience, true))
      << monitor->outputs();
  EXPECT_EQ(monitor->wait(patience), 11) << monitor->outputs();
  EXPECT_NE(monitor->err().find("(1 attempt; stopped by SIGINT)"), std::string::npos) << monitor->err();
  ::close(queued);
  ::close(listener);
}

TEST(Monitor, TooOldBoardExitsWith14) {
  // Also with --reconnect, where every connection is refused and none
  // brought a package.
  for (const char* monitorOptions : {"", "--reconnect --duration 1"}) {
    SCOPED_TRACE(monitorOptions);
    BoardAndMonitor run(support::loopback(support::Block::Tools, 48), "--old-board", monitorOptions);
    EXPECT_EQ(run.monitor->wait(patience), 14) << run.outputs();
    EXPECT_NE(
        run.monitor->err().find("error 4 (VersionMismatch): readBody: Connected Ostra6 has wrong version"),
        std::string::npos)
        << run.monitor->err();
    run.board->signal(SIGTERM);
    EXPECT_EQ(run.board->wait(patience), 0);
  }
}

TEST(Monitor, MalformedHeaderExitsWith10PlusItsCode) {
  BoardAndMonitor protocol(support::loopback(support::Block::Tools, 49),
                           "--bad-header protocol-version --bad-header-after 3", "");
  BoardAndMonitor empty(support::loopback(support::Block::Tools, 50),
                        "--bad-header empty --bad-header-after 3", "");
  EXPECT_EQ(protocol.monitor->wait(patience), 14) << protocol.outputs();
  EXPECT_NE(protocol.monitor->err().find("wrong protocol version"), std::string::npos);
  EXPECT_NE(protocol.monitor->err().find("a header after 3 complete packages named another protocol version: "
                                         "the stream has most likely lost its framing"),
            std::string::npos)
      << protocol.monitor->err();
  EXPECT_EQ(empty.monitor->wait(patience), 12) << empty.outputs();
  EXPECT_NE(empty.monitor->err().find("error 2 (CommunicationError): readHeader: Empty Package"),
            std::string::npos)
      << empty.monitor->err();
  for (BoardAndMonitor* run : {&protocol, &empty}) {
    run->board->signal(SIGTERM);
    EXPECT_EQ(run->board->wait(patience), 0);
  }
}

TEST(Monitor, BoardThatClosesTheConnectionExitsWith12AfterTheSummaryAndSaysSo) {
  // The first board is as fast as it goes: it is mostly done before
  // connect() returns, and the connection was established all the same, so
  // the monitor reports the close, never a failed connect. An end inside a
  // header is one inside a package.
  struct Case {
    unsigned host;
    const char* board;
    std::uint64_t packages;
    const char* says;
    const char* error;
  };
  const Case cases[] = {
      {51, "--fast --count 50", 50, "after 50 complete packages, between two packages", "readHeader"},
      {55, "--rate 500 --cut-after 1 --cut-at 20", 1, "inside a package, after 1 complete package",
       "readHeader"},
      {56, "--rate 500 --cut-after 1 --cut-at 200", 1, "inside a package, after 1 complete package",
       "readBody"},
  };
  for (const Case& c : cases) {
    BoardAndMonitor run(support::loopback(support::Block::Tools, c.host),
                        std::string("--channels 1 --samples 100 ") + c.board, "");
    EXPECT_EQ(run.monitor->wait(patience), 12) << run.outputs();
    const std::string& out = run.monitor->out();
    EXPECT_EQ(figure(out, "packages"), c.packages) << out;
    EXPECT_NE(out.find("stopped: board closed the connection\n"), std::string::npos) << out;
    EXPECT_NE(run.monitor->err().find(std::string("varnel-monitor: the board closed the connection ") +
                                      c.says + "\nvarnel-monitor: error 2 (CommunicationError): " + c.error +
                                      ": ErrorCode: End of file"),
              std::string::npos)
        << run.monitor->err();
    if (c.packages == 50) {
      EXPECT_EQ(figure(out, "streams"), 2) << out;  // two streams of 25, then the end
      EXPECT_EQ(run.board->wait(patience), 0) << run.outputs();
    } else {
      run.board->signal(SIGTERM);
      EXPECT_EQ(run.board->wait(patience), 0) << run.outputs();
    }
  }
}

TEST(Monitor, ASecondClientIsTurnedAwayAtOnceAndTheMonitorSaysWhy) {
  const std::string address = support::loopback(support::Block::Tools, 57);
  BoardAndMonitor first(address, "--rate 100 --channels 1 --samples 4", "");
  ASSERT_TRUE(first.monitor->waitForOutput("connected to ", patience)) << first.outputs();
  auto second = startMonitor(address, "");
  EXPECT_EQ(second->wait(patience), 12) << second->outputs() << "\n--- board:\n" << first.board->outputs();
  EXPECT_NE(second->err().find("varnel-monitor: the board closed the connection before a complete package (a "
                               "board that is serving another client turns a second one away)"),
            std::string::npos)
      << second->err();
  EXPECT_TRUE(first.board->waitForOutput("is being served, one client at a time", patience, true))
      << first.outputs();
  EXPECT_NE(first.board->err().find("varnel-board: turned away a client from "), std::string::npos)
      << first.board->err();
  // The first went on undisturbed, the only client the board numbered.
  first.monitor->signal(SIGTERM);
  EXPECT_EQ(first.monitor->wait(patience), 0) << first.outputs();
  EXPECT_GT(figure(first.monitor->out(), "packages"), 0) << first.outputs();
  EXPECT_EQ(first.monitor->err(), "");
  first.board->signal(SIGTERM);
  EXPECT_EQ(first.board->wait(patience), 0) << first.outputs();
  EXPECT_EQ(first.board->err().find("client 2"), std::string::npos) << first.board->err();
}

TEST(Monitor, AResetAfterPackage160DeliversAll160WithTheDefaultCounter) {
  BoardAndMonitor run(support::loopback(support::Block::Tools, 53), "--reset-after 160 --fast", "");
  EXPECT_EQ(run.monitor->wait(patience), 12) << run.outputs();
  EXPECT_EQ(figure(run.monitor->out(), "packages"), 160) << run.outputs();
  EXPECT_NE(run.monitor->err().find(
                "error 2 (CommunicationError): readHeader: ErrorCode: Connection reset by peer"),
            std::string::npos)
      << run.monitor->err();
  run.board->signal(SIGTERM);
  EXPECT_EQ(run.board->wait(patience), 0) << run.outputs();
}

TEST(Monitor, ReconnectGoesOnAcrossABoardRestartAndCountsIt) {
  const std::string address = support::loopback(support::Block::Tools, 54);
  BoardAndMonitor run(address, "--rate 100 --channels 1 --samples 4", "--reconnect --count 1000");
  // Killed once the monitor has shown a package: the system closes the
  // listening socket before the connection, so no reconnect reaches it.
  ASSERT_TRUE(run.monitor->waitForOutput(" 1 ch x 4 ", patience)) << run.outputs();
  run.board->signal(SIGKILL);
  EXPECT_EQ(run.board->wait(patience), 128 + SIGKILL);
  ASSERT_TRUE(run.monitor->waitForOutput("; connecting again in ", patience, true)) << run.outputs();
  // The restarted board numbers anew, beyond a gap.
  auto restarted = startBoard(address, "--fast --first-number 1000001 --channels 1 --samples 4");
  ASSERT_EQ(run.monitor->wait(patience), 0) << run.monitor->outputs() << "\n--- board:\n"
                                            << restarted->outputs();
  const std::string& out = run.monitor->out();
  EXPECT_NE(out.find("connected again to " + address + " port 63751"), std::string::npos) << out;
  EXPECT_NE(out.find("stopped: count reached"), std::string::npos) << out;
  EXPECT_EQ(figure(out, "packages"), 1000) << out;
  EXPECT_EQ(figure(out, "reconnects"), 1) << out;
  EXPECT_EQ(figure(out, "gaps across reconnects"), 1) << out;
  EXPECT_EQ(figure(out, "gaps"), 1) << out;
  EXPECT_TRUE(std::regex_search(out, std::regex(R"(\nmissing: [1-9][0-9]*-1000000\n)"))) << out;
  restarted->signal(SIGTERM);
  EXPECT_EQ(restarted->wait(patience), 0) << restarted->outputs();
}

TEST(Monitor, TakesAHostNameAsBothToolsDo) {
  // The board binds the first of localhost's addresses; the monitor tries
  // them all, and would reach another board listening on any of them.
  if (const std::string busy = busyLocalhostPort(); !busy.empty()) {
    GTEST_SKIP() << "another process listens on " << busy
                 << " (a varnel-board of your own?), where this test's board has to listen";
  }
  BoardAndMonitor run("localhost", "--rate 1000 --channels 1 --samples 4", "--count 5");
  ASSERT_EQ(run.monitor->wait(patience), 0) << run.outputs();
  EXPECT_NE(run.monitor->out().find("connected to localhost at "), std::string::npos) << run.outputs();
  run.board->signal(SIGTERM);
  EXPECT_EQ(run.board->wait(patience), 0) << run.outputs();
}

TEST(Monitor, HelpAndWrongCommandLines) {
  ChildProcess help(monitorPath, {"--help"});
  ASSERT_EQ(help.wait(patience), 0);
  for (const char* option :
       {"--package-counter", "--wait-ms", "--tcp-timeout", "--duration", "--count", "--retry", "--quiet",
        "--reconnect", "--help", "Exit status", "10 + the library's error code", "14  VersionMismatch"}) {
    EXPECT_NE(help.out().find(option), std::string::npos) << option;
  }
  const std::vector<std::pair<std::vector<std::string>, std::string>> wrong = {
      {{}, "the board's ADDRESS is missing"},
      // '!' keeps the name from the name servers: the system refuses it unasked.
      {{"no.such.board!"}, "cannot resolve the host name 'no.such.board!'"},
      // The resolver takes it for 87.0.0.1 (octal), 127.1 for 127.0.0.1.
      {{"0127.0.0.1"}, "'0127.0.0.1' is not an IPv4 address: write four decimal numbers"},
      {{"127.1"}, "'127.1' is not an IPv4 address"},
      {{"0x7f.0.0.1"}, "'0x7f.0.0.1' is not an IPv4 address"},
      {{"127.0.0.1", "--duration", "1", "--count", "5"}, "--duration and --count exclude each other"},
      {{"127.0.0.1", "--wait-ms", "0"}, "--wait-ms: '0' is out of range"},
      {{"127.0.0.1", "--bogus"}, "unknown option --bogus"},
      {{"127.0.0.1", "127.0.0.2"}, "unexpected argument '127.0.0.2'"},
      {{"nats://127.0.0.1:4222/"}, "'nats://127.0.0.1:4222/' names no subject"},
      // Neither file is there yet; no board listens there, should the
      // monitor take them for two.
      {{support::loopback(support::Block::Tools, 59), "--record", "run.data", "--capture", "./run.data"},
       "--record and --capture name the same file"},
  };
  for (const auto& [args, message] : wrong) {
    ChildProcess monitor(monitorPath, args);
    EXPECT_EQ(monitor.wait(patience), 2) << message;
    EXPECT_NE(monitor.err().find(message), std::string::npos) << monitor.err();
  }
}

TEST(Monitor, QuietShowsOnlyTheSummary) {
  BoardAndMonitor run(support::loopback(support::Block::Tools, 52), "--fast --channels 1 --samples 10",
                      "--quiet --duration 1.5");
  ASSERT_EQ(run.monitor->wait(patience), 0) << run.outputs();
  const std::string& out = run.monitor->out();
  EXPECT_EQ(out.rfind("--- varnel-monitor summary ---\n", 0), 0u) << out;
  EXPECT_EQ(out.find("packages/s "), std::string::npos) << out;
  EXPECT_GT(figure(out, "packages"), 0) << out;
  run.board->signal(SIGTERM);
  EXPECT_EQ(run.board->wait(patience), 0);
}
