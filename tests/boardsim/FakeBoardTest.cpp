#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <bit>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

#include "boardsim/FakeBoard.hpp"
#include "boardsim/Net.hpp"
#include "boardsim/PackageBuilder.hpp"
#include "support/Loopback.hpp"

using namespace std::chrono_literals;
using namespace boardsim;

namespace {

// A plain blocking client whose reads give up after 5 s.
struct Client {
  int fd = -1;
  explicit Client(const std::string& address, bool blocking = true) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(FakeBoard::port);
    EXPECT_EQ(::inet_pton(AF_INET, address.c_str(), &a.sin_addr), 1);
    fd = ::socket(AF_INET, SOCK_STREAM | (blocking ? 0 : SOCK_NONBLOCK), 0);
    const timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    connectResult = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? 0 : errno;
  }
  ~Client() { ::close(fd); }
  int connectResult = 0;

  // Reads until the end of the stream or an error; `endErrno` is 0 for the
  // end of the stream, else the error (EAGAIN when the 5 s ran out).
  Bytes readToEnd(int& endErrno) {
    Bytes out;
    std::uint8_t buffer[4096];
    for (int i = 0; i < 10000; ++i) {
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) {
        endErrno = n == 0 ? 0 : errno;
        return out;
      }
      out.insert(out.end(), buffer, buffer + n);
    }
    endErrno = E2BIG;
    return out;
  }
};

Bytes numberedBytes(std::size_t count, std::uint8_t first) {
  Bytes out(count);
  for (std::size_t i = 0; i < count; ++i) {
    out[i] = static_cast<std::uint8_t>(first + i);
  }
  return out;
}

template <typename T>
T readLe(const Bytes& b, std::size_t offset) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    v |= std::uint64_t{b.at(offset + i)} << (8 * i);
  }
  return static_cast<T>(v);
}

}  // namespace

// ---------------------------------------------------------------- builder

TEST(BoardsimPackageBuilder, EncodesTheTwoChannelEndOfStreamExampleExactly) {
  PackageSpec spec;
  spec.endOfStream();
  spec.waveformTypes = {5, 9};
  spec.samples = {{0x11223344, 0x55667788}, {0x99AABBCC, 0xDDEEFF00}};
  const Bytes bytes = encode(spec);

  const Bytes header = {0x01, 0x00, 0x01, 0x00, 0x90, 0x00, 0x00, 0x00, 0,    0,    0,    0,
                        0,    0,    0,    0,    0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                        0x05, 0x09, 0,    0,    0,    0,    0,    0,    0x10, 0x00, 0x00, 0x00};
  ASSERT_EQ(bytes.size(), 144u);
  EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 36), header);
  // Default board versions: DSP 3646, firmware 0x127, BIOS 0x40.
  EXPECT_EQ(Bytes(bytes.begin() + 40, bytes.begin() + 52),
            (Bytes{0x3E, 0x0E, 0, 0, 0x27, 0x01, 0, 0, 0x40, 0, 0, 0}));
  EXPECT_EQ(Bytes(bytes.begin() + 112, bytes.begin() + 128), Bytes(16, 0));
  EXPECT_EQ(Bytes(bytes.begin() + 128, bytes.end()), (Bytes{0x44, 0x33, 0x22, 0x11, 0x88, 0x77, 0x66, 0x55,
                                                            0xCC, 0xBB, 0xAA, 0x99, 0x00, 0xFF, 0xEE, 0xDD}));
}

TEST(BoardsimPackageBuilder, WritesEveryFieldAtItsOffset) {
  PackageSpec spec;
  spec.protocolVersion = 0x0102;
  spec.headerValue = 0x0102030405060708;
  spec.statusWord = 0x0A0B0C0D;
  spec.streamContinues();
  spec.waveformTypes = {1, 2, 3, 4, 5, 6, 7, 8};
  mirt::OstraMetaData& m = spec.meta;
  m.statusWord = 0xFFFFFFFF;  // the header's value wins
  m.word36 = 36, m.dspVersion = 40, m.firmwareVersion = 44, m.biosVersion = 48, m.word52 = 52;
  m.word56 = 56, m.word60 = 60, m.word64 = 64, m.word68 = 68, m.real72 = -72.5, m.real80 = 1e80;
  m.word88 = 88, m.word92 = 92, m.word96 = 96, m.half100 = 0xA100, m.half102 = 0xA102;
  m.word104 = 0xF0000104, m.word108 = 108;
  const Bytes b = encode(spec);

  EXPECT_EQ(readLe<std::uint16_t>(b, 0), 0x0102);
  EXPECT_EQ(readLe<std::uint64_t>(b, 8), 0x0102030405060708u);
  EXPECT_EQ(readLe<std::uint32_t>(b, 20), 0x4A0B0C0Du);
  EXPECT_EQ(readLe<std::uint64_t>(b, 24), 0x0807060504030201u);
  for (std::size_t offset : {36, 40, 44, 48, 52, 56, 60, 64, 68, 88, 92, 96, 108}) {
    EXPECT_EQ(readLe<std::uint32_t>(b, offset), offset) << "offset " << offset;
  }
  EXPECT_EQ(std::bit_cast<double>(readLe<std::uint64_t>(b, 72)), -72.5);
  EXPECT_EQ(std::bit_cast<double>(readLe<std::uint64_t>(b, 80)), 1e80);
  EXPECT_EQ(readLe<std::uint16_t>(b, 100), 0xA100);
  EXPECT_EQ(readLe<std::uint16_t>(b, 102), 0xA102);
  EXPECT_EQ(readLe<std::uint32_t>(b, 104), 0xF0000104u);
  EXPECT_EQ(spec.expectedMetaData().statusWord, 0x4A0B0C0Du);
  EXPECT_EQ(spec.expectedMetaData().headerValue, spec.headerValue);
}

TEST(BoardsimPackageBuilder, OverridesReachTheHeaderAndTheLength) {
  PackageSpec spec = numberedPackages(7, 1, 3, 2).front();
  EXPECT_EQ(encode(spec).size(), 128u + 24u);

  spec.packageSize = 36;  // header only: the body is cut off
  spec.channelCount = 9;
  spec.dataSize = 40;
  Bytes b = encode(spec);
  ASSERT_EQ(b.size(), 36u);
  EXPECT_EQ(readLe<std::uint32_t>(b, 4), 36u);
  EXPECT_EQ(readLe<std::uint32_t>(b, 16), 9u);
  EXPECT_EQ(readLe<std::uint32_t>(b, 32), 40u);
  EXPECT_EQ(encodeHeader(spec), b);

  spec.packageSize = 200;  // longer than the content: zero padding
  b = encode(spec);
  ASSERT_EQ(b.size(), 200u);
  EXPECT_EQ(readLe<std::uint32_t>(b, 128), numberedSample(7, 0, 0));
  EXPECT_EQ(Bytes(b.begin() + 152, b.end()), Bytes(48, 0));

  spec.packageSize = 0;  // still a whole header on the wire
  EXPECT_EQ(encode(spec).size(), 36u);
  spec.packageSize = 0xFFFFFFFF;
  EXPECT_THROW(encode(spec), std::invalid_argument);
  EXPECT_EQ(encodeHeader(spec).size(), 36u);
}

TEST(BoardsimPackageBuilder, NumberedPackagesCarryTheirNumberInHeaderAndSamples) {
  const auto specs = numberedPackages(41, 3, 2, 5);
  ASSERT_EQ(specs.size(), 3u);
  const Bytes all = encodeAll(specs);
  ASSERT_EQ(all.size(), 3u * (128 + 2 * 5 * 4));
  for (std::size_t k = 0; k < 3; ++k) {
    const std::size_t base = k * (128 + 40);
    EXPECT_EQ(readLe<std::uint64_t>(all, base + 8), 41 + k);
    EXPECT_EQ(readLe<std::uint16_t>(all, base + 2), 0u) << "no flags";
    EXPECT_EQ(readLe<std::uint32_t>(all, base + 128 + 20 + 4 * 3), numberedSample(41 + k, 1, 3));
  }
  EXPECT_EQ(numberedSamples(41, 1, 3), (std::vector<std::uint32_t>{411000, 411001, 411002}));
  EXPECT_EQ(encodeEach(specs).at(2), encode(specs[2]));
}

// ---------------------------------------------------------------- board

TEST(BoardsimFakeBoard, PlaysWholeChunkedAndPacedSendsByteExactThenCloses) {
  const Bytes a = numberedBytes(100, 0);
  const Bytes b = numberedBytes(1000, 100);
  const Bytes c = numberedBytes(37, 50);
  Script script;
  script.send(a).send(b, 7, 1ms).sendEach({c, a}, 20ms).close();
  FakeBoard board(support::loopback(support::Block::EndToEnd, 200), std::move(script));

  Client client(support::loopback(support::Block::EndToEnd, 200));
  ASSERT_EQ(client.connectResult, 0);
  const auto start = std::chrono::steady_clock::now();
  int endErrno = -1;
  const Bytes received = client.readToEnd(endErrno);
  EXPECT_EQ(endErrno, 0) << "an orderly close gives the end of the stream";
  EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms) << "the pace between pieces";

  Bytes expected = a;
  for (const Bytes* part : {&b, &c, &a}) {
    expected.insert(expected.end(), part->begin(), part->end());
  }
  EXPECT_EQ(received, expected);
  EXPECT_TRUE(board.waitForDone(2s));
  EXPECT_EQ(board.bytesSent(), expected.size());
  EXPECT_EQ(board.clientsAccepted(), 1u);
  EXPECT_EQ(board.error(), "");
}

TEST(BoardsimFakeBoard, ResetAfterDataGivesConnectionReset) {
  const Bytes header = encodeHeader(numberedPackages(1, 1).front());
  Script script;
  script.send(Bytes(header.begin(), header.begin() + 20)).reset();
  FakeBoard board(support::loopback(support::Block::EndToEnd, 201), std::move(script));

  Client client(support::loopback(support::Block::EndToEnd, 201));
  ASSERT_EQ(client.connectResult, 0);
  int endErrno = -1;
  const Bytes received = client.readToEnd(endErrno);
  EXPECT_EQ(endErrno, ECONNRESET);
  EXPECT_EQ(received, Bytes(header.begin(), header.begin() + 20));
}

TEST(BoardsimFakeBoard, ServesClientsOneAfterAnotherAndNoticesTheirClose) {
  Script script;
  script.send({1, 2, 3}).waitForClientClose().send({99}).acceptNext().send({4, 5}).silent().send({99});
  FakeBoard board(support::loopback(support::Block::EndToEnd, 202), std::move(script));

  {
    Client first(support::loopback(support::Block::EndToEnd, 202));
    std::uint8_t buffer[3];
    ASSERT_EQ(::recv(first.fd, buffer, 3, MSG_WAITALL), 3);
    EXPECT_EQ(Bytes(buffer, buffer + 3), (Bytes{1, 2, 3}));
  }
  ASSERT_TRUE(board.waitForClientClosed(2s, 1));
  Client second(support::loopback(support::Block::EndToEnd, 202));
  ASSERT_TRUE(board.waitForDone(2s));
  std::uint8_t buffer[3];
  EXPECT_EQ(::recv(second.fd, buffer, 3, 0), 2);
  EXPECT_EQ(Bytes(buffer, buffer + 2), (Bytes{4, 5})) << "skipped after the close: 99; after silent: 99";
  ::close(second.fd);
  second.fd = -1;
  EXPECT_TRUE(board.waitForClientClosed(2s, 2)) << "a close is noticed while the board holds the connection";
  EXPECT_EQ(board.clientsAccepted(), 2u);
  EXPECT_EQ(board.bytesSent(), 5u);
}

TEST(BoardsimFakeBoard, StopEndsWaitsPromptlyAndClosesInOrder) {
  {
    FakeBoard idle(support::loopback(support::Block::EndToEnd, 203),
                   Script{});  // stops while waiting for a client
    EXPECT_FALSE(idle.waitForClient(20ms));
  }
  Script script;
  script.send({7}).pause(10min).send({8});
  FakeBoard board(support::loopback(support::Block::EndToEnd, 203), std::move(script));
  Client client(support::loopback(support::Block::EndToEnd, 203));
  ASSERT_TRUE(board.waitForBytesSent(1, 2s));
  const auto start = std::chrono::steady_clock::now();
  board.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_FALSE(board.done());
  int endErrno = -1;
  EXPECT_EQ(client.readToEnd(endErrno), Bytes{7});
  EXPECT_EQ(endErrno, 0);
}

TEST(BoardsimFakeBoard, RefusesAnAddressInUse) {
  FakeBoard first(support::loopback(support::Block::EndToEnd, 204), Script{});
  try {
    FakeBoard second(support::loopback(support::Block::EndToEnd, 204), Script{});
    FAIL() << "bound twice";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code().value(), EADDRINUSE);
    EXPECT_NE(std::string(e.what()).find(support::loopback(support::Block::EndToEnd, 204)), std::string::npos)
        << e.what();
  }
}

TEST(BoardsimFakeBoard, NeverAcceptingBoardLeavesAFurtherConnectHanging) {
  FakeBoard board(support::loopback(support::Block::EndToEnd, 205), FakeBoard::NeverAccept{});
  EXPECT_GE(board.fillerConnections(), 1u);
  EXPECT_GE(board.clientsWaiting(), 1u);

  Client client(support::loopback(support::Block::EndToEnd, 205), false);
  ASSERT_EQ(client.connectResult, EINPROGRESS);
  pollfd p{client.fd, POLLOUT, 0};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(::poll(&p, 1, 1200), 0) << "the connect completed or failed";
  EXPECT_GE(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_EQ(board.clientsAccepted(), 0u);
}

// poll() takes an int of milliseconds: a deadline weeks away must not turn
// into a negative time-out, which waits for ever.
TEST(BoardSockets, APollWaitsAtMostAnHourAtATime) {
  EXPECT_EQ(net::pollTimeoutMs(std::nullopt), -1);
  const int far = net::pollTimeoutMs(net::Clock::now() + std::chrono::hours(24 * 30));
  EXPECT_GT(far, 0);
  EXPECT_LE(far, 3600 * 1000);
}
