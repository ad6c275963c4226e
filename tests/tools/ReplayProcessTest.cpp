// varnel-board --replay as a process, checked with the library: captures of
// a board's stream made by tcpdump and by varnel-monitor --capture replay
// every package equal to the original, the monitor's capture is one clean
// conversation for tshark, files that cannot be replayed are refused
// before anything is served, and the regression corpus of tests/data
// replays with the packages, causes and texts it was made with. Every test
// binds its own addresses in the capture block (1 to 40).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "capture/PcapngWriter.hpp"
#include "capture/TcpFrame.hpp"
#include "support/Loopback.hpp"
#include "tools/ToolSupport.hpp"

using namespace tooltest;
using mirt::VarnelException;
namespace fs = std::filesystem;

namespace {

const std::pair<int, std::string> endOfStream{VarnelException::CommunicationError,
                                              "readHeader: ErrorCode: End of file"};

// A file of the test's own in the temporary folder, removed at the end.
struct TempFile {
  std::string path;
  explicit TempFile(const std::string& name)
      : path((fs::temp_directory_path() / ("varnel-replay-" + std::to_string(::getpid()) + "-" + name))
                 .string()) {}
  ~TempFile() {
    std::error_code ignored;
    fs::remove(path, ignored);
  }
};

struct Replayed {
  std::vector<std::unique_ptr<mirt::OstraDataPackage>> packages;
  std::pair<int, std::string> error;
};

// What the library receives from varnel-board replaying `file` on
// `address` (as fast as it reads, or with `options`), to one client, until
// it records an error.
Replayed replay(const std::string& file, const std::string& address, std::size_t packages,
                const std::string& options = "--fast") {
  ChildProcess board(boardPath, words("--replay " + file + " --bind " + address + " --clients 1 " + options));
  Parser parser(address, 1000, neverExpires, toolTcpTimeout);
  Replayed r;
  if (!connectToBoard(*parser, board)) return r;
  EXPECT_TRUE(parser.collector.waitForPackages(packages, patience)) << board.outputs();
  r.error = awaitError(*parser);
  r.packages = parser.collector.takePackages();
  EXPECT_EQ(board.wait(patience), 0) << board.outputs();
  return r;
}

void expectGeneratorsPackages(const Replayed& r, const boardsim::GeneratorSettings& settings,
                              std::size_t count) {
  const boardsim::PackageGenerator generator(settings);
  ASSERT_EQ(r.packages.size(), count);
  for (std::size_t i = 0; i < count; ++i) {
    SCOPED_TRACE(i);
    expectPackageEquals(*r.packages[i], generator.package(settings.firstNumber + i));
  }
}

boardsim::GeneratorSettings shape(std::uint32_t channels, std::uint32_t samples,
                                  std::uint64_t firstNumber = 1) {
  boardsim::GeneratorSettings g;
  g.channels = channels;
  g.samplesPerChannel = samples;
  g.firstNumber = firstNumber;
  return g;
}

}  // namespace

TEST(ReplayProcess, TcpdumpCaptureOfABoardReplaysEveryPackageEqual) {
  if (::geteuid() != 0) GTEST_SKIP() << "tcpdump -i lo needs root";
  if (!fs::exists("/usr/bin/tcpdump")) GTEST_SKIP() << "tcpdump is not installed (scripts/setup test)";
  const std::string address = support::loopback(support::Block::Capture, 1);
  const TempFile file("tcpdump.pcap");
  // A kernel buffer that holds the whole stream (0.7 MB), so that a busy
  // machine that lets tcpdump wait drops nothing.
  ChildProcess tcpdump("/usr/bin/tcpdump", {"-i", "lo", "--immediate-mode", "-U", "-B", "32768", "-w",
                                            file.path, "host", address, "and", "tcp", "port", "63751"});
  ASSERT_TRUE(tcpdump.waitForOutput("listening on", patience, true)) << tcpdump.outputs();
  {
    auto board = startBoard(address, "--rate 1000 --count 200 --channels 3 --samples 300 --clients 1");
    Parser parser(address, 1000, neverExpires, toolTcpTimeout);
    ASSERT_TRUE(connectToBoard(*parser, *board));
    ASSERT_TRUE(parser.collector.waitForPackages(200, patience)) << board->outputs();
    EXPECT_EQ(awaitError(*parser), endOfStream);
    EXPECT_EQ(board->wait(patience), 0) << board->outputs();
  }
  tcpdump.signal(SIGINT);
  ASSERT_EQ(tcpdump.wait(patience), 0) << tcpdump.outputs();
  EXPECT_NE(tcpdump.err().find("\n0 packets dropped by kernel"), std::string::npos) << tcpdump.outputs();

  const Replayed r = replay(file.path, support::loopback(support::Block::Capture, 2), 200);
  EXPECT_NO_FATAL_FAILURE(expectGeneratorsPackages(r, shape(3, 300), 200));
  EXPECT_EQ(r.error, endOfStream);
}

TEST(ReplayProcess, MonitorCaptureReplaysEveryPackageEqualAndIsOneCleanConversationForTshark) {
  const std::string address = support::loopback(support::Block::Capture, 3);
  const TempFile file("monitor.pcapng");
  auto board = startBoard(address, "--fast --count 300 --channels 5 --samples 700 --clients 1");
  ChildProcess monitor(monitorPath, words(address + " --retry 20 --quiet --capture " + file.path));
  EXPECT_EQ(monitor.wait(patience), 12) << monitor.outputs();  // the board closed the connection
  const std::uint64_t bytes = 300ull * (128 + 5 * 700 * 4);
  EXPECT_NE(
      monitor.out().find("captured: " + std::to_string(bytes) + " bytes of 1 connection to " + file.path),
      std::string::npos)
      << monitor.outputs();
  EXPECT_EQ(board->wait(patience), 0) << board->outputs();

  const Replayed r = replay(file.path, support::loopback(support::Block::Capture, 4), 300);
  EXPECT_NO_FATAL_FAILURE(expectGeneratorsPackages(r, shape(5, 700), 300));
  EXPECT_EQ(r.error, endOfStream);

  if (!fs::exists("/usr/bin/tshark")) {
    std::cout << "tshark is not installed (scripts/setup test): the capture's check by tshark is left out\n";
    return;
  }
  // With the checksums checked, which tshark leaves out by default.
  ChildProcess tshark("/usr/bin/tshark",
                      {"-r", file.path, "-o", "ip.check_checksum:TRUE", "-o", "tcp.check_checksum:TRUE", "-q",
                       "-z", "conv,tcp", "-z", "expert,warn"});
  ASSERT_EQ(tshark.wait(patience), 0) << tshark.outputs();
  std::size_t conversations = 0;
  std::istringstream lines(tshark.out());
  for (std::string line; std::getline(lines, line);) {
    if (line.find("<->") == std::string::npos) continue;
    ++conversations;
    EXPECT_NE(line.find(address + ":63751"), std::string::npos) << line;
  }
  EXPECT_EQ(conversations, 1u) << tshark.out();
  // Nothing of warning or error severity among tshark's findings.
  EXPECT_EQ(tshark.out().find("Warns ("), std::string::npos) << tshark.out();
  EXPECT_EQ(tshark.out().find("Errors ("), std::string::npos) << tshark.out();
}

TEST(ReplayProcess, FilesThatCannotBeReplayedAreRefusedBeforeAnythingIsServed) {
  const TempFile text("text.pcapng");
  std::ofstream(text.path) << "not a capture at all\n";
  // Two conversations, neither chosen.
  const TempFile two("two.pcapng");
  const TempFile empty("empty.bin");
  {
    capture::PcapngWriter file(two.path, "test");
    std::vector<std::uint8_t> frame;
    for (std::uint16_t port : {40001, 40002}) {
      capture::TcpSegment s;
      s.source = capture::TcpEndpoint::parse("127.0.13.9", 63751);
      s.destination = capture::TcpEndpoint::parse("127.0.13.10", port);
      s.flags = capture::tcpSyn | capture::tcpAck;
      frame.clear();
      capture::appendFrame(s, frame);
      file.write(port, frame);
    }
  }
  const struct {
    std::string file;
    std::string options;
    int status;
    std::vector<std::string> texts;
  } cases[] = {
      {text.path,
       "",
       1,
       {text.path + " is not a capture libpcap reads (pcap or pcapng): unknown file format"}},
      {"/nonexistent-directory/x.pcapng",
       "",
       1,
       {"cannot open /nonexistent-directory/x.pcapng: No such file"}},
      {two.path,
       "",
       2,
       {"holds 2 conversations on port 63751:\n  1: board 127.0.13.9:63751, client 127.0.13.10:40001, 0 "
        "bytes",
        "\n  2: board 127.0.13.9:63751, client 127.0.13.10:40002", "choose one with --flow N (1 to 2)"}},
      {two.path, "--flow 3", 2, {"choose one with --flow N (1 to 2)"}},
      // Not refused: a conversation without a byte of the board's is written as it is.
      {two.path, "--flow 1 --write-stream " + empty.path, 0, {"wrote 0 bytes of the board's stream"}},
  };
  const std::string address = support::loopback(support::Block::Capture, 5);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file + " " + c.options);
    ChildProcess board(boardPath, words("--replay " + c.file + " --bind " + address + " " + c.options));
    EXPECT_EQ(board.wait(patience), c.status) << board.outputs();
    for (const std::string& t : c.texts) EXPECT_NE(board.err().find(t), std::string::npos) << board.err();
    EXPECT_EQ(board.err().find("listening on"), std::string::npos) << board.err();
  }
}

// The corpus of tests/data (tests/data/make_captures.sh made it with the
// board options in the comments), replayed with the captured timing: a
// board that resets the connection at once, before the connect has
// completed on the client's side, is reported by the library as a failed
// connect, so the reset comes at a fifth of its pace.
TEST(ReplayCorpus, EveryCaptureReplaysItsPackagesAndItsEnd) {
  const struct {
    const char* file;
    boardsim::GeneratorSettings settings;
    std::size_t packages;
    std::pair<int, std::string> error;
    const char* options = "";
  } corpus[] = {
      // --rate 500 --count 12 --channels 4 --samples 200 --stream-length 5
      {"monitor-stream.pcapng",
       [] {
         auto g = shape(4, 200);
         g.streamLength = 5;
         return g;
       }(),
       12, endOfStream},
      // --rate 1000 --channels 3 --samples 256 --reset-after 8
      {"monitor-reset.pcapng",
       shape(3, 256),
       8,
       {VarnelException::CommunicationError, "readHeader: ErrorCode: Connection reset by peer"},
       "--speed 0.2"},
      // --rate 1000 --channels 3 --samples 256 --bad-header size-too-large --bad-header-after 5
      {"monitor-refused-header.pcapng",
       shape(3, 256),
       5,
       {VarnelException::CommunicationError,
        "readHeader: Invalid package size 65537; allowed are 36 to 65536 bytes"}},
      // --rate 1000 --channels 3 --samples 256 --cut-after 6
      {"monitor-cut-body.pcapng",
       shape(3, 256),
       6,
       {VarnelException::CommunicationError, "readBody: ErrorCode: End of file"}},
      // tcpdump: --rate 200 --count 10 --channels 2 --samples 500 --first-number 1000
      {"tcpdump-stream.pcap", shape(2, 500, 1000), 10, endOfStream},
  };
  unsigned host = 10;
  for (const auto& c : corpus) {
    SCOPED_TRACE(c.file);
    const Replayed r = replay(std::string(VARNEL_CAPTURE_CORPUS) + "/" + c.file,
                              support::loopback(support::Block::Capture, host++), c.packages, c.options);
    EXPECT_NO_FATAL_FAILURE(expectGeneratorsPackages(r, c.settings, c.packages));
    EXPECT_EQ(r.error, c.error);
  }
}

// As the generated board does, a replay turns a second client away at once
// while it serves one; here while the capture holds its connection open.
TEST(ReplayProcess, ASecondClientIsTurnedAwayWhileOneIsServed) {
  const std::string address = support::loopback(support::Block::Capture, 6);
  ChildProcess board(boardPath, words("--replay " + std::string(VARNEL_CAPTURE_CORPUS) +
                                      "/monitor-refused-header.pcapng --fast --bind " + address));
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(63751);
  ASSERT_EQ(::inet_pton(AF_INET, address.c_str(), &at.sin_addr), 1);
  const auto connectTo = [&](int fd) {
    return support::eventually(
        [&] { return ::connect(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0; }, patience);
  };
  const int first = ::socket(AF_INET, SOCK_STREAM, 0);
  const int second = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_TRUE(connectTo(first)) << board.outputs();
  ASSERT_TRUE(board.waitForOutput("client 1 connected", patience, true)) << board.outputs();
  ASSERT_TRUE(connectTo(second)) << board.outputs();
  // The end of the stream, with nothing before it.
  pollfd p{second, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, static_cast<int>(std::chrono::milliseconds(patience).count())), 1)
      << board.outputs();
  char byte = 0;
  EXPECT_EQ(::recv(second, &byte, 1, 0), 0);
  EXPECT_TRUE(board.waitForOutput("turned away a client from", patience, true)) << board.outputs();
  ::close(second);
  ::close(first);
  board.signal(SIGTERM);
  EXPECT_EQ(board.wait(patience), 0) << board.outputs();
}
