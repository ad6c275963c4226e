// varnel-board as a process, checked with the library: what it sends
// (values, streams, numbering, pace), each fault it plays, its command line
// and how it stops. Every test binds its own address in the tools block
// (1 to 40).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <mutex>

#include "boardsim/SignalGenerator.hpp"
#include "support/Loopback.hpp"
#include "tools/ToolSupport.hpp"

using namespace tooltest;
using mirt::VarnelException;

namespace {

void expectBoardEnds(ChildProcess& board, const char* why) {
  EXPECT_EQ(board.wait(patience), 0) << board.outputs();
  EXPECT_NE(board.err().find(why), std::string::npos) << board.outputs();
}

void stopBoard(ChildProcess& board) {
  board.signal(SIGTERM);
  EXPECT_EQ(board.wait(patience), 0) << board.outputs();
}

}  // namespace

TEST(BoardProcess, SendsTheGeneratorsPackagesForEveryShapeInStreamsOfTheGivenLength) {
  const std::string address = support::loopback(support::Block::Tools, 1);
  auto board = startBoard(
      address,
      "--fast --count 60 --stream-length 10 --channels 5 --samples 64 --sample-rate 48000 "
      "--signal 0=sine:1000000:1234.5 --signal 1=square:2000:777 --signal 2=ramp:3000:500 "
      "--signal 3=counter --signal 4=noise:4000 --waveform-type 4=200 --status-word 0x1234 "
      "--seed 7 --first-number 500 --dsp-version 2646 --firmware-version 0xA7 --bios-version 0x41");
  boardsim::GeneratorSettings g;
  g.channels = 5;
  g.samplesPerChannel = 64;
  g.sampleRate = 48000;
  g.signals[0] = {boardsim::Shape::Sine, 1000000, 1234.5};
  g.signals[1] = {boardsim::Shape::Square, 2000, 777};
  g.signals[2] = {boardsim::Shape::Ramp, 3000, 500};
  g.signals[3] = {boardsim::Shape::Counter, 10000, 100};
  g.signals[4] = {boardsim::Shape::Noise, 4000, 100};
  g.waveformTypes[4] = 200;
  g.statusWord = 0x1234;
  g.seed = 7;
  g.firstNumber = 500;
  g.streamLength = 10;
  g.versions = {2646, 0xA7, 0x41};
  const boardsim::PackageGenerator generator(g);

  Parser parser(address, 1000, neverExpires,
                toolTcpTimeout);  // hand-overs come only from end-of-stream flags
  ASSERT_TRUE(connectToBoard(*parser, *board));
  ASSERT_TRUE(parser.collector.waitForPackages(60, patience)) << board->outputs();
  // After the last package the board closes the connection in order.
  EXPECT_EQ(awaitError(*parser), std::make_pair(static_cast<int>(VarnelException::CommunicationError),
                                                std::string("readHeader: ErrorCode: End of file")));
  const auto packages = parser.collector.takePackages();
  ASSERT_EQ(packages.size(), 60u);
  for (std::size_t i = 0; i < packages.size(); ++i) {
    SCOPED_TRACE(i);
    expectPackageEquals(*packages[i], generator.package(500 + i));
  }
  std::vector<std::size_t> sizes;
  for (const auto& h : parser.collector.takeHandOvers()) sizes.push_back(h.size);
  EXPECT_EQ(sizes, std::vector<std::size_t>(6, 10));
  // Spot checks of the shapes against their definitions, independent of
  // the generator's own code.
  // Square: 777 * 32000 / 48000 is a whole number of periods, so package
  // 500 starts at the beginning of the high half.
  EXPECT_EQ(static_cast<std::int32_t>(packages[0]->getWaveform(1)[0]), 2000);
  // Ramp: 6000 / 96 = 62.5 per sample at 500 Hz, falling back once a period.
  const auto& ramp = packages[1]->getWaveform(2);
  for (std::size_t i = 1; i < ramp.size(); ++i) {
    const std::int64_t step = static_cast<std::int64_t>(static_cast<std::int32_t>(ramp[i])) -
                              static_cast<std::int32_t>(ramp[i - 1]);
    EXPECT_TRUE(step == 62 || step == 63 || step < -5000) << i << ": " << step;
  }
  EXPECT_EQ(packages[3]->getWaveform(3)[5], 503u * 64 + 5);  // counter: running sample number
  for (std::uint32_t word : packages[7]->getWaveform(4)) {
    EXPECT_LE(std::abs(static_cast<std::int32_t>(word)), 4000);  // noise within A
  }
  EXPECT_NO_FATAL_FAILURE(expectBoardEnds(*board, "all packages sent"));
}

TEST(BoardProcess, DefaultsMakeFourChannelsOfAThousandSamplesInStreamsOf25) {
  const std::string address = support::loopback(support::Block::Tools, 2);
  auto board = startBoard(address, "--count 30");
  const boardsim::PackageGenerator generator{boardsim::GeneratorSettings{}};
  Parser parser(address, 1000, neverExpires, toolTcpTimeout);
  ASSERT_TRUE(connectToBoard(*parser, *board));
  ASSERT_TRUE(parser.collector.waitForPackages(25, patience)) << board->outputs();
  const auto packages = parser.collector.takePackages();
  ASSERT_EQ(packages.size(), 25u);  // one stream of 25; the next is not finished
  for (std::size_t i = 0; i < packages.size(); ++i) {
    SCOPED_TRACE(i);
    expectPackageEquals(*packages[i], generator.package(1 + i));
  }
  EXPECT_EQ(packages[0]->getSize(), 1000u);
  EXPECT_EQ(packages[0]->getWaveformType(3), 4u);
  EXPECT_NO_FATAL_FAILURE(expectBoardEnds(*board, "all packages sent"));
  EXPECT_NE(board->err().find("listening on " + address +
                              " port 63751: 4 channels x 1000 samples (16128-byte packages), 100 packages/s, "
                              "streams of 25"),
            std::string::npos)
      << board->err();
}

TEST(BoardProcess, EndlessStreamNeverSetsTheEndFlag) {
  const std::string address = support::loopback(support::Block::Tools, 3);
  auto board = startBoard(address, "--fast --count 21 --stream-length 0 --channels 1 --samples 8");
  Parser parser(address, 7, neverExpires, toolTcpTimeout);
  ASSERT_TRUE(connectToBoard(*parser, *board));
  ASSERT_TRUE(parser.collector.waitForPackages(21, patience)) << board->outputs();
  std::vector<std::size_t> sizes;
  for (const auto& h : parser.collector.takeHandOvers()) sizes.push_back(h.size);
  // A flag on any package would have handed over a shorter stream.
  EXPECT_EQ(sizes, (std::vector<std::size_t>{7, 7, 7}));
  EXPECT_EQ(numbers(parser.collector.takePackages()), range(1, 21));
  EXPECT_NO_FATAL_FAILURE(expectBoardEnds(*board, "all packages sent"));
}

TEST(BoardProcess, NumbersRunOnFromOneClientToTheNext) {
  const std::string address = support::loopback(support::Block::Tools, 4);
  auto board =
      startBoard(address, "--fast --close-after 5 --clients 2 --first-number 1000 --channels 1 --samples 4");
  Parser parser(address, 1, neverExpires, toolTcpTimeout);
  ASSERT_TRUE(connectToBoard(*parser, *board));
  EXPECT_EQ(awaitError(*parser).second, "readHeader: ErrorCode: End of file");
  EXPECT_EQ(numbers(parser.collector.takePackages()), range(1000, 5));
  EXPECT_THROW(parser->disconnect(), VarnelException);

  ASSERT_TRUE(connectToBoard(*parser, *board));  // the board takes the next client once the first is gone
  EXPECT_EQ(awaitError(*parser).second, "readHeader: ErrorCode: End of file");
  EXPECT_EQ(numbers(parser.collector.takePackages()), range(1005, 5));
  EXPECT_NO_FATAL_FAILURE(expectBoardEnds(*board, "all clients served"));
  EXPECT_NE(board->err().find("client 1 connected"), std::string::npos) << board->err();
  EXPECT_NE(board->err().find("client 2 connected"), std::string::npos) << board->err();
  EXPECT_NE(board->err().find("client 2 (127.0.0.1:"), std::string::npos) << board->err();
  EXPECT_NE(board->err().find("disconnected after 5 packages, 720 bytes: closed after 5 packages"),
            std::string::npos)
      << board->err();
}

TEST(BoardProcess, AClientThatLeavesIsFollowedByTheNextWhichGetsLaterNumbers) {
  const std::string address = support::loopback(support::Block::Tools, 5);
  auto board = startBoard(address, "--rate 500 --clients 2 --channels 1 --samples 4");
  std::uint64_t last = 0;
  {
    Parser first(address, 1, neverExpires, toolTcpTimeout);
    ASSERT_TRUE(connectToBoard(*first, *board));
    ASSERT_TRUE(first.collector.waitForPackages(5, patience));
    first->disconnect();
    const auto got = numbers(first.collector.takePackages());
    EXPECT_EQ(std::vector<std::uint64_t>(got.begin(), got.begin() + 5), range(1, 5));
    last = got.back();
  }
  ASSERT_TRUE(board->waitForOutput("client 1 (", patience, true)) << board->outputs();
  Parser second(address, 1, neverExpires, toolTcpTimeout);
  second->connect();
  ASSERT_TRUE(second.collector.waitForPackages(5, patience));
  second->disconnect();
  const auto got = numbers(second.collector.takePackages());
  EXPECT_GT(got.front(), last);
  EXPECT_EQ(std::vector<std::uint64_t>(got.begin(), got.begin() + 5), range(got.front(), 5));
  EXPECT_NO_FATAL_FAILURE(expectBoardEnds(*board, "all clients served"));
  EXPECT_NE(board->err().find("closed by the client"), std::string::npos) << board->err();
}

TEST(BoardProcess, SkipEveryLeavesOutOneNumberAfterEveryNPackages) {
  const std::string address = support::loopback(support::Block::Tools, 6);
  auto board =
      startBoard(address, "--fast --count 12 --skip-every 4 --channels 1 --samples 4 --stream-length 0");
  Parser parser(address, 1, neverExpires, toolTcpTimeout);
  ASSERT_TRUE(connectToBoard(*parser, *board));
  ASSERT_TRUE(parser.collector.waitForPackages(12, patience));
  EXPECT_EQ(numbers(parser.collector.takePackages()),
            (std::vector<std::uint64_t>{1, 2, 3, 4, 6, 7, 8, 9, 11, 12, 13, 14}));
  EXPECT_NO_FATAL_FAILURE(expectBoardEnds(*board, "all packages sent"));
}

TEST(BoardProcess, RateSpacesThePackagesAndAStallPausesTheStream) {
  const std::string address = support::loopback(support::Block::Tools, 7);
  auto board =
      startBoard(address, "--rate 40 --count 20 --stall-after 10 --stall-ms 700 --channels 1 --samples 4");
  std::mutex mutex;
  std::vector<Clock::time_point> times;
  std::size_t empty = 0;
  auto parser = mirt::createVarnel(address, [&](mirt::OstraDataStream* stream) {
    std::lock_guard lock(mutex);
    if (stream->getSize() == 0) ++empty;
    for (std::size_t i = 0; i < stream->getSize(); ++i) times.push_back(Clock::now());
  });
  parser->setPackageCounter(1);
  parser->setWaitTimeMs(50);
  const auto connectStart = Clock::now();  // before the board's accept
  ASSERT_TRUE(connectToBoard(*parser, *board));
  ASSERT_TRUE(support::eventually(
      [&] {
        std::lock_guard lock(mutex);
        return times.size() >= 20;
      },
      patience));
  EXPECT_EQ(awaitError(*parser).second, "readHeader: ErrorCode: End of file");
  std::lock_guard lock(mutex);
  ASSERT_EQ(times.size(), 20u);
  // 40 packages/s: package 9 is due 225 ms after the board accepted the
  // connection, package 19 another 700 ms of stall and 225 ms later. A board
  // that starts slowly (an emulated one, say) catches up on its schedule
  // with packages back to back, so the spacing is checked against the
  // connect and within the second half, where the board has warmed up.
  const auto ms = [](Clock::duration d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
  };
  EXPECT_GE(ms(times[9] - connectStart), 220);
  EXPECT_GE(ms(times[19] - connectStart), 1145);
  EXPECT_GE(ms(times[19] - times[10]), 180);
  EXPECT_GE(ms(times[10] - times[9]), 600);
  EXPECT_GE(empty, 5u);  // the timer's empty hand-overs while the board stalled
  EXPECT_NO_FATAL_FAILURE(expectBoardEnds(*board, "all packages sent"));
}

// ---------------------------------------------------------------- faults

using Cause = mirt::FailureCause;

struct FaultCase {
  const char* name;
  std::string options;
  VarnelException::ErrorCode code;
  mirt::FailureCause cause;
  std::string text;       // the whole message, or its start if `contains` is set
  const char* contains;   // a part the message must hold besides
  int packagesBefore;     // packages received before the fault; -1: not checked
  const char* boardSays;  // how the board reports the connection's end
};

const std::vector<FaultCase>& faultCases() {
  // clang-format off
  static const std::vector<FaultCase> cases = {
      {"CloseAfter", "--close-after 3", VarnelException::CommunicationError, Cause::ClosedBetweenPackages,
       "readHeader: ErrorCode: End of file", nullptr, 3, "closed after 3 packages"},
      {"CutInsideTheBody", "--cut-after 2", VarnelException::CommunicationError, Cause::ClosedInsidePackage,
       "readBody: ErrorCode: End of file", nullptr, 2, "closed inside package 3 after 80 of 160 bytes"},
      {"CutInsideTheHeader", "--cut-after 2 --cut-at 20", VarnelException::CommunicationError,
       Cause::ClosedInsidePackage,
       "readHeader: ErrorCode: End of file", nullptr, 2, "closed inside package 3 after 20 of 160 bytes"},
      {"Reset", "--reset-after 2", VarnelException::CommunicationError, Cause::Reset,
       "readHeader: ErrorCode: Connection reset by peer", nullptr, -1, "reset after 2 packages"},
      {"ProtocolVersion", "--bad-header protocol-version --bad-header-after 2", VarnelException::VersionMismatch,
       Cause::WrongProtocolVersion,
       "readHeader: TCP-Package Header has wrong protocol version. Found: 2; Required: 1; Hint: Minimum "
       "required Ostra6-Version is 1.16.3", nullptr, 2, "after a malformed header (protocol-version)"},
      {"EmptyPackage", "--bad-header empty --bad-header-after 2", VarnelException::CommunicationError,
       Cause::MalformedHeader,
       "readHeader: Empty Package", nullptr, 2, "after a malformed header (empty)"},
      {"SizeTooSmall", "--bad-header size-too-small --bad-header-after 2", VarnelException::CommunicationError,
       Cause::MalformedHeader,
       "readHeader: ", "35", 2, "after a malformed header (size-too-small)"},
      {"SizeTooLarge", "--bad-header size-too-large --bad-header-after 2", VarnelException::CommunicationError,
       Cause::MalformedHeader,
       "readHeader: ", "65537", 2, "after a malformed header (size-too-large)"},
      {"TooManyChannels", "--bad-header too-many-channels --bad-header-after 2",
       VarnelException::CommunicationError, Cause::MalformedHeader, "readHeader: ", "channel count 9", 2,
       "after a malformed header (too-many-channels)"},
      {"DataSizeBeyondTheBuffer", "--bad-header data-size --bad-header-after 0",
       VarnelException::CommunicationError, Cause::MalformedHeader, "readHeader: ", "65409", 0,
       "after a malformed header (data-size)"},
  };
  // clang-format on
  return cases;
}

class BoardFaults : public testing::TestWithParam<std::size_t> {};

TEST_P(BoardFaults, EndTheConnectionWithTheLibrarysError) {
  const FaultCase& f = faultCases()[GetParam()];
  const std::string address = support::loopback(support::Block::Tools, 10 + GetParam());
  auto board = startBoard(address, "--fast --channels 2 --samples 4 " + f.options);
  Parser parser(address, 1, neverExpires, toolTcpTimeout);
  ASSERT_TRUE(connectToBoard(*parser, *board));
  const auto [code, text, cause] = awaitFailure(*parser);
  EXPECT_EQ(code, f.code) << text;
  EXPECT_EQ(f.cause == Cause::Reset ? support::seenAsReset(cause) : cause, f.cause) << text;
  if (f.contains == nullptr) {
    EXPECT_EQ(text, f.text);
  } else {
    EXPECT_EQ(text.rfind(f.text, 0), 0u) << text;
    EXPECT_NE(text.find(f.contains), std::string::npos) << text;
  }
  if (f.packagesBefore >= 0) {
    EXPECT_EQ(numbers(parser.collector.takePackages()), range(1, static_cast<std::size_t>(f.packagesBefore)));
  }
  EXPECT_THROW(parser->disconnect(), VarnelException);
  EXPECT_TRUE(board->waitForOutput(f.boardSays, patience, true)) << board->outputs();
  stopBoard(*board);
}

INSTANTIATE_TEST_SUITE_P(Each, BoardFaults, testing::Range<std::size_t>(0, 10),
                         [](const testing::TestParamInfo<std::size_t>& info) {
                           return std::string(faultCases()[info.param].name);
                         });

// ---------------------------------------------------------------- command line and stopping

TEST(BoardCommandLine, HelpNamesEveryOptionAndEveryOptionIsAccepted) {
  const std::vector<std::pair<std::string, std::string>> all = {
      {"--bind", support::loopback(support::Block::Tools, 30)},
      {"--channels", "2"},
      {"--samples", "10"},
      {"--sample-rate", "1000"},
      {"--shape", "ramp"},
      {"--amplitude", "5"},
      {"--frequency", "2.5"},
      {"--signal", "1=noise:3:4"},
      {"--waveform-type", "0=7"},
      {"--seed", "3"},
      {"--first-number", "9"},
      {"--status-word", "0x40000000"},
      {"--dsp-version", "3646"},
      {"--firmware-version", "0x127"},
      {"--bios-version", "0x40"},
      {"--old-board", ""},
      {"--rate", "12.5"},
      {"--fast", ""},
      {"--stream-length", "0"},
      {"--count", "5"},
      {"--duration", "1.5"},
      {"--clients", "1"},
      {"--close-after", "1"},
      {"--cut-after", "1"},
      {"--cut-at", "7"},
      {"--reset-after", "1"},
      {"--stall-after", "1"},
      {"--stall-ms", "10"},
      {"--bad-header", "empty"},
      {"--bad-header-after", "1"},
      {"--skip-every", "2"},
      {"--quiet", ""},
  };
  ChildProcess help(boardPath, {"--help"});
  ASSERT_EQ(help.wait(patience), 0) << help.outputs();
  std::vector<std::string> args;
  for (const auto& [option, value] : all) {
    EXPECT_NE(help.out().find("  " + option + " "), std::string::npos) << option;
    args.push_back(option);
    if (!value.empty()) args.push_back(value);
  }
  EXPECT_NE(help.out().find("  --help"), std::string::npos);
  EXPECT_NE(help.out().find("default 127.0.0.1"), std::string::npos);
  EXPECT_NE(help.out().find("Exit status"), std::string::npos);
  args.push_back("--help");  // read after all the others, which must parse
  ChildProcess everything(boardPath, args);
  EXPECT_EQ(everything.wait(patience), 0) << everything.outputs();
}

TEST(BoardCommandLine, WrongCommandLinesExitWithStatus2AndSayWhy) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> wrong = {
      {{"--frobnicate"}, "unknown option --frobnicate"},
      {{"--channels", "9"}, "--channels: '9' is out of range"},
      {{"--channels"}, "--channels needs a value"},
      {{"--rate", "fast"}, "--rate: 'fast' is not a number"},
      {{"--samples", "4089"}, "at most 4088 samples per channel"},
      {{"--signal", "9=sine"}, "--signal: '9' is out of range"},
      {{"--signal", "0=triangle"}, "unknown shape 'triangle'"},
      {{"--channels", "2", "--signal", "3=sine"}, "channel 3 is named, but packages have 2 channels"},
      {{"--bad-header", "bogus"}, "unknown kind 'bogus'"},
      {{"--quiet=yes"}, "--quiet takes no value"},
      {{"127.0.0.1"}, "unexpected argument '127.0.0.1'"},
      {{"--bind", "no.such.board!"}, "cannot resolve the host name 'no.such.board!'"},
      // The whole package (4 channels of 1000 samples) would not be a cut.
      {{"--cut-after", "3", "--cut-at", "16128"}, "cut point 16128 is not inside the package of 16128 bytes"},
      {{"--cut-at", "5"}, "--cut-at needs --cut-after"},
      {{"--stall-ms", "5"}, "--stall-ms needs --stall-after"},
      {{"--bad-header-after", "3"}, "--bad-header-after needs --bad-header"},
  };
  for (const auto& [args, message] : wrong) {
    ChildProcess board(boardPath, args);
    EXPECT_EQ(board.wait(patience), 2) << args[0];
    EXPECT_NE(board.err().find(message), std::string::npos) << board.err();
  }
}

TEST(BoardCommandLine, AnAddressInUseExitsWithStatus1) {
  const std::string address = support::loopback(support::Block::Tools, 31);
  auto first = startBoard(address, "");
  Parser parser(address, 1, neverExpires, toolTcpTimeout);
  ASSERT_TRUE(connectToBoard(*parser, *first));  // it listens now
  auto second = startBoard(address, "");
  EXPECT_EQ(second->wait(patience), 1) << second->outputs();
  EXPECT_NE(second->err().find("cannot bind " + address + " port 63751"), std::string::npos) << second->err();
  parser->disconnect();
  stopBoard(*first);
}

TEST(BoardStopping, SigtermAndSigintStopTheBoardCleanlyAlsoWithAClient) {
  for (int signal : {SIGTERM, SIGINT}) {
    const std::string address = signal == SIGTERM ? support::loopback(support::Block::Tools, 32)
                                                  : support::loopback(support::Block::Tools, 33);
    auto board = startBoard(address, "--channels 1 --samples 4 --rate 200");
    Parser parser(address, 1, neverExpires, toolTcpTimeout);
    ASSERT_TRUE(connectToBoard(*parser, *board));
    ASSERT_TRUE(parser.collector.waitForPackages(2, patience));
    board->signal(signal);
    EXPECT_EQ(board->wait(patience), 0) << board->outputs();
    EXPECT_NE(board->err().find("board stopped"), std::string::npos) << board->err();
    EXPECT_NE(board->err().find("stopped on request"), std::string::npos) << board->err();
    // The connection was closed in order.
    EXPECT_EQ(awaitError(*parser).second.rfind("read", 0), 0u);
  }
}

// A stop while the client's socket is full: the client that reads on gets
// the package begun whole, then the end of the stream.
TEST(BoardStopping, AStopFinishesThePackageBegunForAClientThatReads) {
  const std::string address = support::loopback(support::Block::Tools, 36);
  auto board = startBoard(address, "--fast --channels 4 --samples 1000");  // 16128 bytes each
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(63751);
  ASSERT_EQ(::inet_pton(AF_INET, address.c_str(), &at.sin_addr), 1);
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  const int small = 4096;  // the board's send fills it within a package
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  ASSERT_TRUE(support::eventually(
      [&] { return ::connect(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0; }, patience));
  ASSERT_TRUE(board->waitForOutput("connected from", patience, true)) << board->outputs();
  // The board, which sends as fast as it can, is held up once what the
  // client holds has stopped growing (for 50 ms).
  int queued = 0;
  int before = -1;
  auto changed = Clock::now();
  ASSERT_TRUE(support::eventually(
      [&] {
        if (::ioctl(fd, FIONREAD, &queued) != 0) return false;
        if (queued != before) changed = Clock::now();
        before = queued;
        return queued > 0 && Clock::now() - changed >= 50ms;
      },
      patience));
  board->signal(SIGTERM);
  std::uint64_t received = 0;
  char chunk[65536];
  const auto deadline = Clock::now() + patience;
  for (pollfd p{fd, POLLIN, 0}; Clock::now() < deadline && ::poll(&p, 1, 100) >= 0;) {
    if (p.revents == 0) continue;
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    received += static_cast<std::uint64_t>(n);
  }
  ::close(fd);
  EXPECT_EQ(board->wait(patience), 0) << board->outputs();
  EXPECT_GT(received, 0u);
  EXPECT_EQ(received % 16128, 0u) << received << " bytes\n" << board->outputs();
  EXPECT_EQ(board->err().find("inside package"), std::string::npos) << board->outputs();
}

TEST(BoardStopping, DurationEndsTheBoardByItself) {
  auto board = startBoard(support::loopback(support::Block::Tools, 34), "--duration 0.3");
  EXPECT_NO_FATAL_FAILURE(expectBoardEnds(*board, "duration over"));
}

TEST(BoardStopping, QuietPrintsNothing) {
  const std::string address = support::loopback(support::Block::Tools, 35);
  auto board = startBoard(address, "--quiet --fast --count 3 --channels 1 --samples 4");
  Parser parser(address, 1, neverExpires, toolTcpTimeout);
  ASSERT_TRUE(connectToBoard(*parser, *board));
  EXPECT_EQ(board->wait(patience), 0);
  EXPECT_EQ(board->err(), "");
  EXPECT_EQ(board->out(), "");
  EXPECT_TRUE(parser.collector.waitForPackages(3, patience));
}
