// Faults on the board's side of the connection: the board closes or resets
// the connection anywhere inside a package, bytes arrive one at a time or
// in odd pieces, the board stalls, headers are malformed, bytes are random.
//
// A fault that ends the connection is checked in two steps. The first
// connection carries K complete packages and then the fault; the parser
// (package counter 2, a timer that never expires) hands over K - K % 2 of
// them by count and the rest in one last hand-over before it records the
// failure. The board then accepts the next connection and sends one package
// with the end-of-stream flag, which must come alone: nothing of the first
// connection is left in the stream. Together the hand-overs must carry
// exactly packages 1 to K and the marker, each intact, in order.
#include <algorithm>
#include <array>
#include <random>

#include "faults/FaultSupport.hpp"

using namespace faults;
using boardsim::FakeBoard;
using boardsim::Script;
using mirt::ConnectionState;
using mirt::VarnelException;
using Cause = mirt::FailureCause;

namespace {

constexpr std::uint64_t markerNumber = 900000;
constexpr std::uint32_t neverExpires = 600000;  // ms
constexpr std::uint32_t counter = 2;

// 160 bytes: 2 channels of 4 samples.
std::vector<PackageSpec> smallPackages(std::uint64_t first, std::size_t count) {
  return boardsim::numberedPackages(first, count, 2, 4);
}
// 65536 bytes, the largest package: 8 channels of 2044 samples.
std::vector<PackageSpec> largePackages(std::uint64_t first, std::size_t count) {
  return boardsim::numberedPackages(first, count, 8, 2044);
}
PackageSpec marker() {
  PackageSpec spec = boardsim::numberedPackages(markerNumber, 1)[0];
  spec.endOfStream();
  return spec;
}

// What the parser records: code, text and cause together.
struct Expected {
  int code = VarnelException::CommunicationError;
  std::string message;
  Cause cause = Cause::None;
};

enum class End { Close, Reset, Silent };
void PrintTo(End e, std::ostream* os) {
  *os << (e == End::Close ? "close" : e == End::Reset ? "reset" : "silent");
}

struct BoardFault {
  std::vector<PackageSpec> good;  // complete packages before the fault
  Bytes faultBytes;               // what the board sends after them
  End end = End::Close;
  Expected expected;
};

class BoardFaultTest : public FaultTest {
 protected:
  // Runs `fault` against a parser on slot `slotNumber`, as described at the
  // top of the file.
  void run(unsigned slotNumber, const BoardFault& fault);
};

void BoardFaultTest::run(unsigned slotNumber, const BoardFault& fault) {
  const std::string address = faultAddress(slotNumber);
  Script script;
  script.send(concat({boardsim::encodeAll(fault.good), fault.faultBytes}));
  switch (fault.end) {
    case End::Close:
      script.close();
      break;
    case End::Reset:
      script.reset();
      break;
    case End::Silent:
      script.waitForClientClose();  // the parser stops the connection
      break;
  }
  script.acceptNext().send(boardsim::encode(marker())).silent();
  FakeBoard board(address, std::move(script));
  SentPackages sent;
  sent.add(fault.good).add({marker()});

  auto parser = std::make_unique<Parser>(address, counter, neverExpires);
  bool connected = false;
  bounded("connect to a failing board", 10s,
          [&] { connected = connectAllowingEarlyFailure(*parser->varnel); });
  ASSERT_TRUE(eventually([&] { return (*parser)->getState() == ConnectionState::Error; }));

  const auto [code, recorded, recordedCause] = recordedFailure(*parser->varnel);
  const bool reset = fault.end == End::Reset;
  const std::string text = reset ? support::seenAsReset(recorded) : recorded;
  const Cause cause = reset ? support::seenAsReset(recordedCause) : recordedCause;
  // A reset that arrives before the connect completion has run fails the
  // connect itself; nothing was read then.
  const bool readNothing = reset && !connected;
  if (!readNothing) {
    EXPECT_EQ(code, fault.expected.code) << text;
    EXPECT_EQ(text, fault.expected.message);
  }
  EXPECT_EQ(cause, fault.expected.cause) << text;
  const std::size_t received = readNothing ? 0 : fault.good.size();
  // Every complete package was handed over before the failure was recorded.
  std::vector<std::size_t> sizes(received / counter, counter);
  if (received % counter != 0) sizes.push_back(received % counter);
  EXPECT_EQ(sizesOf(parser->collector.takeHandOvers()), sizes);

  bounded("disconnect after a failure", 5s, [&] {
    EXPECT_EQ(support::varnelError([&] { (*parser)->disconnect(); }), std::make_pair(code, recorded));
  });
  EXPECT_EQ((*parser)->getState(), ConnectionState::Error);

  bounded("reconnect", 10s, [&] { EXPECT_NO_THROW((*parser)->connect()); });
  // The marker comes alone with the first hand-over of the second connection.
  ASSERT_TRUE(parser->collector.waitForHandOvers(sizes.size() + 1, scaled(10s)));

  std::vector<std::uint64_t> expected = range(1, received);
  expected.push_back(markerNumber);
  EXPECT_EQ(sent.numbersOf(parser->collector.takePackages()), expected);
  sizes.push_back(1);
  EXPECT_EQ(sizesOf(parser->collector.takeHandOvers()), sizes);

  bounded("disconnect", 5s, [&] { EXPECT_NO_THROW((*parser)->disconnect()); });
  EXPECT_EQ((*parser)->getState(), ConnectionState::NotConnected);
  bounded("destroy the parser", 5s, [&] { parser.reset(); });
  EXPECT_TRUE(board.waitForDone(scaled(5s)));
  EXPECT_EQ(board.error(), "");
}

// ------------------------------------------------- close at every offset

constexpr std::size_t smallSize = 160;
constexpr std::size_t goodBeforeFault = 5;

Expected endOfFileAt(std::size_t offset) {
  return {VarnelException::CommunicationError,
          offset < 36 ? "readHeader: ErrorCode: End of file" : "readBody: ErrorCode: End of file",
          offset == 0 ? Cause::ClosedBetweenPackages : Cause::ClosedInsidePackage};
}

class CloseInsideSmallPackage : public BoardFaultTest, public testing::WithParamInterface<std::size_t> {};

TEST_P(CloseInsideSmallPackage, KeepsEveryCompletePackageAndRecordsEndOfFile) {
  const std::size_t offset = GetParam();
  const Bytes next = boardsim::encode(smallPackages(goodBeforeFault + 1, 1)[0]);
  ASSERT_EQ(next.size(), smallSize);
  run(slot::closeSmall + static_cast<unsigned>(offset),
      {smallPackages(1, goodBeforeFault), prefix(next, offset), End::Close, endOfFileAt(offset)});
}

INSTANTIATE_TEST_SUITE_P(EveryOffset, CloseInsideSmallPackage, testing::Range<std::size_t>(0, smallSize));

// A sample of offsets of the largest package: around the header, the meta
// data, the samples and the end.
const std::vector<std::size_t> largeOffsets = {0,   1,   35,   36,    37,    111,  127,
                                               128, 129, 4096, 32768, 65534, 65535};

class CloseInsideLargePackage : public BoardFaultTest, public testing::WithParamInterface<std::size_t> {};

TEST_P(CloseInsideLargePackage, KeepsEveryCompletePackageAndRecordsEndOfFile) {
  const std::size_t index = GetParam();
  const std::size_t offset = largeOffsets[index];
  const Bytes next = boardsim::encode(largePackages(4, 1)[0]);
  ASSERT_EQ(next.size(), 65536u);
  run(slot::closeLarge + static_cast<unsigned>(index),
      {largePackages(1, 3), prefix(next, offset), End::Close, endOfFileAt(offset)});
}

INSTANTIATE_TEST_SUITE_P(SampledOffsets, CloseInsideLargePackage,
                         testing::Range<std::size_t>(0, largeOffsets.size()));

// The board accepts and ends the connection before sending anything.
class EndRightAfterAccept : public BoardFaultTest, public testing::WithParamInterface<End> {};

TEST_P(EndRightAfterAccept, IsRecordedAsAHeaderReadFailure) {
  const bool reset = GetParam() == End::Reset;
  run(slot::closeLarge + 14 + (reset ? 1 : 0),
      {{},
       {},
       GetParam(),
       {VarnelException::CommunicationError,
        reset ? "readHeader: ErrorCode: Connection reset by peer" : "readHeader: ErrorCode: End of file",
        reset ? Cause::Reset : Cause::ClosedBetweenPackages}});
}

INSTANTIATE_TEST_SUITE_P(CloseAndReset, EndRightAfterAccept, testing::Values(End::Close, End::Reset),
                         [](const auto& info) { return info.param == End::Close ? "Close" : "Reset"; });

// ---------------------------------------------------------------- resets

struct ResetAt {
  bool large;
  std::size_t offset;
};
const std::vector<ResetAt> resets = {{false, 0},   {false, 17}, {false, 36},   {false, 100},
                                     {false, 159}, {true, 0},   {true, 20000}, {true, 65535}};

class ResetInsidePackage : public BoardFaultTest, public testing::WithParamInterface<std::size_t> {};

TEST_P(ResetInsidePackage, KeepsEveryCompletePackageAndRecordsTheReset) {
  const ResetAt at = resets[GetParam()];
  const auto good = at.large ? largePackages(1, 3) : smallPackages(1, goodBeforeFault);
  const Bytes next = boardsim::encode(at.large ? largePackages(4, 1)[0] : smallPackages(6, 1)[0]);
  const Expected expected{VarnelException::CommunicationError,
                          at.offset < 36 ? "readHeader: ErrorCode: Connection reset by peer"
                                         : "readBody: ErrorCode: Connection reset by peer",
                          Cause::Reset};
  run(slot::reset + static_cast<unsigned>(GetParam()), {good, prefix(next, at.offset), End::Reset, expected});
}

INSTANTIATE_TEST_SUITE_P(SampledPositions, ResetInsidePackage, testing::Range<std::size_t>(0, resets.size()));

// Packages of 20 KiB, which the parser reads ahead several at a time
// rather than header and body on their own.
std::vector<PackageSpec> midSizePackages(std::uint64_t first, std::size_t count) {
  return boardsim::numberedPackages(first, count, 5, 1018);  // 128 + 5 * 1018 * 4 = 20488 bytes
}

struct MidSizeFault {
  End end;
  std::size_t offset;
};
const std::vector<MidSizeFault> midSizeFaults = {{End::Close, 0},     {End::Close, 35},    {End::Close, 36},
                                                 {End::Close, 10000}, {End::Close, 20487}, {End::Reset, 0},
                                                 {End::Reset, 10000}};

class FaultInsideMidSizePackage : public BoardFaultTest, public testing::WithParamInterface<std::size_t> {};

TEST_P(FaultInsideMidSizePackage, KeepsEveryCompletePackage) {
  const MidSizeFault f = midSizeFaults[GetParam()];
  const Bytes next = boardsim::encode(midSizePackages(4, 1)[0]);
  ASSERT_EQ(next.size(), 20488u);
  const char* what = f.end == End::Close ? "End of file" : "Connection reset by peer";
  const Expected expected{
      VarnelException::CommunicationError,
      std::string(f.offset < 36 ? "readHeader: ErrorCode: " : "readBody: ErrorCode: ") + what,
      f.end == End::Reset ? Cause::Reset
      : f.offset == 0     ? Cause::ClosedBetweenPackages
                          : Cause::ClosedInsidePackage};
  run(slot::reset + 8 + static_cast<unsigned>(GetParam()),
      {midSizePackages(1, 3), prefix(next, f.offset), f.end, expected});
}

INSTANTIATE_TEST_SUITE_P(SampledOffsets, FaultInsideMidSizePackage,
                         testing::Range<std::size_t>(0, midSizeFaults.size()));

// ------------------------------------------------------ malformed headers

struct Malformed {
  const char* name;
  std::function<void(PackageSpec&)> change;
  Expected expected;
};

const std::string versionText =
    "TCP-Package Header has wrong protocol version. Found: {}; Required: 1; Hint: Minimum required "
    "Ostra6-Version is 1.16.3";
std::string versionMessage(int found) {
  std::string text = "readHeader: " + versionText;
  text.replace(text.find("{}"), 2, std::to_string(found));
  return text;
}
std::string sizeMessage(std::uint64_t size) {
  return "readHeader: Invalid package size " + std::to_string(size) + "; allowed are 36 to 65536 bytes";
}
std::string channelMessage(std::uint64_t count) {
  return "readHeader: Invalid channel count " + std::to_string(count) + "; allowed are 0 to 8 channels";
}
std::string dataSizeMessage(std::uint64_t size) {
  return "readHeader: Invalid data size " + std::to_string(size) + "; allowed are 0 to 65408 bytes";
}

const std::vector<Malformed> malformed = {
    {"protocol version 0",
     [](PackageSpec& s) { s.protocolVersion = 0; },
     {VarnelException::VersionMismatch, versionMessage(0), Cause::WrongProtocolVersion}},
    {"protocol version 2",
     [](PackageSpec& s) { s.protocolVersion = 2; },
     {VarnelException::VersionMismatch, versionMessage(2), Cause::WrongProtocolVersion}},
    {"protocol version 65535",
     [](PackageSpec& s) { s.protocolVersion = 65535; },
     {VarnelException::VersionMismatch, versionMessage(65535), Cause::WrongProtocolVersion}},
    {"empty package",
     [](PackageSpec& s) { s.packageSize = 0; },
     {VarnelException::CommunicationError, "readHeader: Empty Package", Cause::MalformedHeader}},
    {"empty package of protocol 7",
     [](PackageSpec& s) {
       s.packageSize = 0;
       s.protocolVersion = 7;
     },
     {VarnelException::CommunicationError, "readHeader: Empty Package", Cause::MalformedHeader}},
    {"package size 1",
     [](PackageSpec& s) { s.packageSize = 1; },
     {VarnelException::CommunicationError, sizeMessage(1), Cause::MalformedHeader}},
    {"package size 35",
     [](PackageSpec& s) { s.packageSize = 35; },
     {VarnelException::CommunicationError, sizeMessage(35), Cause::MalformedHeader}},
    {"package size 65537",
     [](PackageSpec& s) { s.packageSize = 65537; },
     {VarnelException::CommunicationError, sizeMessage(65537), Cause::MalformedHeader}},
    {"package size 2^32-1",
     [](PackageSpec& s) { s.packageSize = 0xFFFFFFFFu; },
     {VarnelException::CommunicationError, sizeMessage(0xFFFFFFFFu), Cause::MalformedHeader}},
    {"9 channels",
     [](PackageSpec& s) { s.channelCount = 9; },
     {VarnelException::CommunicationError, channelMessage(9), Cause::MalformedHeader}},
    {"2^32-1 channels",
     [](PackageSpec& s) { s.channelCount = 0xFFFFFFFFu; },
     {VarnelException::CommunicationError, channelMessage(0xFFFFFFFFu), Cause::MalformedHeader}},
    {"data size one beyond the buffer",
     [](PackageSpec& s) { s.dataSize = 65536 - 128 + 1; },
     {VarnelException::CommunicationError, dataSizeMessage(65409), Cause::MalformedHeader}},
    {"data size 2^32-1",
     [](PackageSpec& s) { s.dataSize = 0xFFFFFFFFu; },
     {VarnelException::CommunicationError, dataSizeMessage(0xFFFFFFFFu), Cause::MalformedHeader}},
};

class MalformedHeader : public BoardFaultTest, public testing::WithParamInterface<std::size_t> {};

TEST_P(MalformedHeader, IsRefusedBeforeItsBodyAndKeepsEveryCompletePackage) {
  const Malformed& m = malformed[GetParam()];
  SCOPED_TRACE(m.name);
  PackageSpec bad = smallPackages(goodBeforeFault + 1, 1)[0];
  m.change(bad);
  // The header and a body's worth of bytes behind it: none of it may be
  // read as a package.
  const Bytes bytes = concat({boardsim::encodeHeader(bad), Bytes(200, 0x01)});
  run(slot::malformed + static_cast<unsigned>(GetParam()),
      {smallPackages(1, goodBeforeFault), bytes, End::Silent, m.expected});
}

INSTANTIATE_TEST_SUITE_P(EveryKind, MalformedHeader, testing::Range<std::size_t>(0, malformed.size()));

// ------------------------------------------------------------ random bytes

std::uint32_t le32(const Bytes& b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
         static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

// The refusal that a header made of `b` must get, in the order in which the
// header checks run; an empty message for a header that passes.
Expected refusalOf(const Bytes& b) {
  const std::uint32_t version = static_cast<std::uint32_t>(b[0] | b[1] << 8);
  const std::uint32_t size = le32(b, 4);
  const std::uint32_t channels = le32(b, 16);
  const std::uint32_t dataSize = le32(b, 32);
  if (size == 0)
    return {VarnelException::CommunicationError, "readHeader: Empty Package", Cause::MalformedHeader};
  if (version != 1)
    return {VarnelException::VersionMismatch, versionMessage(static_cast<int>(version)),
            Cause::WrongProtocolVersion};
  if (size < 36 || size > 65536)
    return {VarnelException::CommunicationError, sizeMessage(size), Cause::MalformedHeader};
  if (channels > 8)
    return {VarnelException::CommunicationError, channelMessage(channels), Cause::MalformedHeader};
  if (dataSize > 65408)
    return {VarnelException::CommunicationError, dataSizeMessage(dataSize), Cause::MalformedHeader};
  return {};
}

class RandomBytes : public BoardFaultTest, public testing::WithParamInterface<unsigned> {};

// Seeds 1 to 4 send plain random bytes; seeds 5 to 8 put protocol version 1
// in front of them, so that the size and count checks decide.
TEST_P(RandomBytes, AfterGoodPackagesAreRefusedAtTheFirstHeader) {
  const unsigned seed = GetParam();
  std::mt19937 random(seed);
  Bytes garbage(4096);
  for (auto& b : garbage) b = static_cast<std::uint8_t>(random());
  if (seed > 4) {
    garbage[0] = 1;
    garbage[1] = 0;
  }
  const Expected expected = refusalOf(garbage);
  ASSERT_FALSE(expected.message.empty()) << "seed " << seed << " makes a valid header";
  SCOPED_TRACE(expected.message);
  run(slot::random + seed, {smallPackages(1, seed % 4), garbage, End::Silent, expected});
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomBytes, testing::Range(1u, 9u));

// --------------------------------------- packages of every shape, decoded

// What a correct reader makes of `package` (its bytes as sent): header
// fields, meta data and samples taken where the package format puts them,
// and the filler byte 0xCD wherever that lies beyond the package's end.
struct Decoded {
  mirt::OstraMetaData meta{};
  std::vector<std::uint32_t> types;
  std::vector<std::vector<std::uint32_t>> waveforms = std::vector<std::vector<std::uint32_t>>(8);
  bool endOfStream = false;
};

Decoded decodeAsSent(const Bytes& package) {
  const auto byte = [&](std::size_t i) -> std::uint32_t { return i < package.size() ? package[i] : 0xCD; };
  const auto u16 = [&](std::size_t i) { return static_cast<std::uint16_t>(byte(i) | byte(i + 1) << 8); };
  const auto u32 = [&](std::size_t i) { return u16(i) | static_cast<std::uint32_t>(u16(i + 2)) << 16; };
  const auto u64 = [&](std::size_t i) { return u32(i) | static_cast<std::uint64_t>(u32(i + 4)) << 32; };
  const auto f64 = [&](std::size_t i) {
    const std::uint64_t bits = u64(i);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
  };
  Decoded d;
  d.endOfStream = (u16(2) & 1) != 0;
  mirt::OstraMetaData& m = d.meta;
  m.statusWord = u32(20);
  m.headerValue = u64(8);
  m.word36 = u32(36);
  m.dspVersion = u32(40);
  m.firmwareVersion = u32(44);
  m.biosVersion = u32(48);
  m.word52 = u32(52);
  m.word56 = u32(56);
  m.word60 = u32(60);
  m.word64 = u32(64);
  m.word68 = u32(68);
  m.real72 = f64(72);
  m.real80 = f64(80);
  m.word88 = u32(88);
  m.word92 = u32(92);
  m.word96 = u32(96);
  m.half100 = u16(100);
  m.half102 = u16(102);
  m.word104 = u32(104);
  m.word108 = u32(108);
  const std::uint32_t channels = u32(16);
  const std::uint32_t dataSize = u32(32);
  for (std::uint32_t c = 0; c < channels; ++c) {
    d.types.push_back(byte(24 + c));
    const std::uint32_t start = 128 + c * dataSize / channels;
    for (std::uint32_t i = 0; i < dataSize / channels / 4; ++i) d.waveforms[c].push_back(u32(start + 4 * i));
  }
  return d;
}

testing::AssertionResult decodedAsSent(const mirt::OstraDataPackage& p, const Bytes& sent) {
  const Decoded d = decodeAsSent(sent);
  const auto failure = [&] {
    return testing::AssertionFailure() << "package " << d.meta.headerValue << ": ";
  };
  if (!sameMeta(p.getMetaData(), d.meta)) return failure() << "meta data";
  if (p.getChannelCount() != d.types.size()) return failure() << "channel count " << p.getChannelCount();
  for (std::size_t c = 0; c < d.types.size(); ++c) {
    if (p.getWaveformType(c) != d.types[c]) return failure() << "type of channel " << c;
  }
  for (std::size_t c = 0; c < 8; ++c) {
    if (p.getWaveform(c) != d.waveforms[c]) return failure() << "samples of channel " << c;
  }
  return testing::AssertionSuccess();
}

// Every package arrives, in order, decoded as sent; a package with the
// end-of-stream flag closes its hand-over, and no hand-over holds more
// than `counter` packages.
void expectStreamedAsSent(Parser& parser, const std::vector<Bytes>& sent, std::size_t counter) {
  ASSERT_TRUE(parser.collector.waitForPackages(sent.size(), scaled(20s)));
  const Packages popped = parser.collector.takePackages();
  ASSERT_EQ(popped.size(), sent.size());
  for (std::size_t i = 0; i < sent.size(); ++i) {
    ASSERT_EQ(popped[i]->getMetaData().headerValue, i + 1);
    EXPECT_TRUE(decodedAsSent(*popped[i], sent[i]));
  }
  std::size_t next = 0;
  for (const support::HandOver& h : parser.collector.takeHandOvers()) {
    EXPECT_LE(h.size, counter);
    for (std::size_t i = next; i + 1 < next + h.size; ++i) {
      EXPECT_FALSE(decodeAsSent(sent[i]).endOfStream) << "package " << i + 1 << " did not end its hand-over";
    }
    next += h.size;
  }
  EXPECT_EQ(next, sent.size());
  EXPECT_TRUE(parser->isConnected());
}

void putLe32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) {
    if (at + i < b.size()) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  }
}

// A valid package of random shape and content: 0 to 8 channels; a length
// from the header alone up to the whole receive buffer, often near 8 KiB,
// 32 KiB and 64 KiB; a sample area that may reach beyond the package's end
// (read from the filler then) or end before it; random flags, meta data and
// samples; versions that pass the board check.
Bytes randomPackage(std::mt19937& random, std::uint64_t number) {
  const auto uniform = [&](std::uint32_t lo, std::uint32_t hi) {
    return std::uniform_int_distribution<std::uint32_t>(lo, hi)(random);
  };
  const std::uint32_t channels = uniform(0, 8);
  std::uint32_t size = 0;
  switch (uniform(0, 9)) {
    case 0:
      size = uniform(36, 127);
      break;
    case 1:
      size = std::min<std::uint32_t>(
          65536, std::array<std::uint32_t, 3>{8192, 32768, 65536}[uniform(0, 2)] + uniform(0, 64) - 32);
      break;
    case 2:
      size = uniform(128, 65536);
      break;
    default:
      size = uniform(128, 3000);
      break;
  }
  const std::uint32_t room = size > 128 ? size - 128 : 0;
  const std::uint32_t dataSize = uniform(0, 4) == 0 ? uniform(0, 65408) : uniform(room / 2, room);
  Bytes b(size);
  for (auto& x : b) x = static_cast<std::uint8_t>(random());
  b[0] = 1;
  b[1] = 0;
  b[2] = uniform(0, 6) == 0 ? 1 : 0;  // end of stream
  b[3] = 0;
  putLe32(b, 4, size);
  putLe32(b, 8, static_cast<std::uint32_t>(number));
  putLe32(b, 12, static_cast<std::uint32_t>(number >> 32));
  putLe32(b, 16, channels);
  putLe32(b, 32, dataSize);
  putLe32(b, 40, 3646);  // DSP, firmware and BIOS versions that pass
  putLe32(b, 44, 0x127);
  putLe32(b, 48, 0x40);
  return b;
}

class RandomPackages : public FaultTest, public testing::WithParamInterface<unsigned> {};

// Random shapes in random pieces, so that every boundary falls somewhere
// else; the timer (10 ms) hands over in between.
TEST_P(RandomPackages, ArriveDecodedAsSentAndEndOfStreamClosesEachHandOver) {
  const unsigned seed = GetParam();
  std::mt19937 random(seed);
  std::vector<Bytes> sent;
  for (std::uint64_t n = 1; n <= 60; ++n) sent.push_back(randomPackage(random, n));
  Bytes all;
  for (const Bytes& b : sent) all.insert(all.end(), b.begin(), b.end());
  Script script;
  for (std::size_t at = 0; at < all.size();) {
    const std::size_t piece = random() % 4 == 0 ? random() % 70000 + 1 : random() % 3000 + 1;
    const std::size_t length = std::min<std::size_t>(all.size() - at, piece);
    script.send(Bytes(all.begin() + at, all.begin() + at + length));
    at += length;
  }
  script.silent();
  const std::uint32_t counter = random() % 6 + 1;
  const std::string address = faultAddress(slot::delivery + 8 + seed);
  FakeBoard board(address, std::move(script));
  Parser parser(address, counter, 10);
  bounded("connect", 10s, [&] { parser->connect(); });
  expectStreamedAsSent(parser, sent, counter);
  bounded("disconnect", 5s, [&] { EXPECT_NO_THROW(parser->disconnect()); });
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomPackages, testing::Range(1u, 7u));

// A package whose sample area reaches beyond its end (but not beyond the
// receive buffer) is accepted; what lies beyond reads as the filler, never
// as what an earlier, larger package left there.
TEST_F(FaultTest, SamplesBeyondThePackageEndReadTheFillerNotTheLastPackage) {
  PackageSpec claimsMore = smallPackages(2, 1)[0];
  claimsMore.dataSize = 1000;  // carries 32 sample bytes
  claimsMore.endOfStream();
  const std::vector<Bytes> sent = {boardsim::encode(largePackages(1, 1)[0]), boardsim::encode(claimsMore),
                                   boardsim::encode(smallPackages(3, 1)[0])};
  ASSERT_EQ(sent[1].size(), smallSize);
  const Decoded expected = decodeAsSent(sent[1]);
  ASSERT_EQ(expected.waveforms[0].size(), 125u);
  ASSERT_EQ(expected.waveforms[1][0], 0xCDCDCDCDu);

  const std::string address = faultAddress(slot::random + 12);
  FakeBoard board(address, Script().send(concat({sent[0], sent[1], sent[2]})).silent());
  Parser parser(address, 25, 10);
  bounded("connect", 10s, [&] { parser->connect(); });
  expectStreamedAsSent(parser, sent, 25);
  bounded("disconnect", 5s, [&] { EXPECT_NO_THROW(parser->disconnect()); });
}

// ------------------------------------------- pieces, trickles and stalls

// The connection stays up and every package arrives intact and in order.
void expectAllDelivered(Parser& parser, const SentPackages& sent, std::size_t count) {
  ASSERT_TRUE(parser.collector.waitForPackages(count, scaled(20s)));
  EXPECT_EQ(sent.numbersOf(parser.collector.takePackages()), range(1, count));
  EXPECT_TRUE(parser->isConnected());
  EXPECT_EQ(asyncError(*parser.varnel).first, -1);
}

struct Pieces {
  const char* name;
  std::vector<PackageSpec> packages;
  std::size_t chunk;
  std::chrono::milliseconds pace;
};

const std::vector<Pieces> pieces = {
    {"one byte at a time, 1 ms apart", smallPackages(1, 2), 1, 1ms},
    {"one byte per send", smallPackages(1, 20), 1, 0ms},
    {"7-byte segments of 4 KiB packages", boardsim::numberedPackages(1, 3, 4, 248), 7, 0ms},
    {"37-byte segments across header and body, 1 ms apart", smallPackages(1, 6), 37, 1ms},
    {"1000-byte segments of 64 KiB packages, 1 ms apart", largePackages(1, 2), 1000, 1ms},
    {"segments of 36 bytes", smallPackages(1, 8), 36, 0ms},
};

class SplitPackages : public FaultTest, public testing::WithParamInterface<std::size_t> {};

// The timer (10 ms) hands streams over while packages are half received.
TEST_P(SplitPackages, ArriveIntactWhileTheTimerHandsOverMeanwhile) {
  const Pieces& p = pieces[GetParam()];
  SCOPED_TRACE(p.name);
  const std::string address = faultAddress(slot::delivery + static_cast<unsigned>(GetParam()));
  FakeBoard board(address, Script().send(boardsim::encodeAll(p.packages), p.chunk, p.pace).silent());
  SentPackages sent;
  sent.add(p.packages);
  Parser parser(address, 25, 10);
  bounded("connect", 10s, [&] { parser->connect(); });
  expectAllDelivered(parser, sent, p.packages.size());
  bounded("disconnect", 5s, [&] { EXPECT_NO_THROW(parser->disconnect()); });
  EXPECT_EQ(parser->getState(), ConnectionState::NotConnected);
}

INSTANTIATE_TEST_SUITE_P(Kinds, SplitPackages, testing::Range<std::size_t>(0, pieces.size()));

// Where the board stops sending for a while: between two packages, inside a
// header, inside a body.
const std::vector<std::size_t> stallOffsets = {0, 10, 80};

class Stall : public FaultTest, public testing::WithParamInterface<std::size_t> {};

TEST_P(Stall, LongerThanManyWaitTimesLosesNothingAndKeepsTheConnection) {
  constexpr std::uint32_t waitMs = 10;
  const std::size_t offset = stallOffsets[GetParam()];
  const auto specs = smallPackages(1, 8);
  const Bytes all = boardsim::encodeAll(specs);
  const std::size_t before = 4 * smallSize + offset;
  const std::string address = faultAddress(slot::stall + static_cast<unsigned>(GetParam()));
  FakeBoard board(address, Script()
                               .send(prefix(all, before))
                               .pause(std::chrono::milliseconds(40 * waitMs))
                               .send(suffix(all, before))
                               .silent());
  SentPackages sent;
  sent.add(specs);
  Parser parser(address, 3, waitMs);
  bounded("connect", 10s, [&] { parser->connect(); });

  // During the stall the timer goes on handing over, empty streams once
  // the four complete packages are out.
  ASSERT_TRUE(board.waitForBytesSent(before, scaled(5s)));
  ASSERT_TRUE(parser.collector.waitForPackages(4, scaled(5s)));
  const std::size_t handOvers = parser.collector.takeHandOvers().size();
  ASSERT_TRUE(parser.collector.waitForHandOvers(handOvers + 3, scaled(5s)));
  EXPECT_TRUE(parser->isConnected());

  expectAllDelivered(parser, sent, specs.size());
  const auto h = parser.collector.takeHandOvers();
  EXPECT_GE(std::count_if(h.begin(), h.end(), [](const support::HandOver& x) { return x.size == 0; }), 3);
  bounded("disconnect", 5s, [&] { EXPECT_NO_THROW(parser->disconnect()); });
}

INSTANTIATE_TEST_SUITE_P(Positions, Stall, testing::Range<std::size_t>(0, stallOffsets.size()));

// The board stops sending for good in the middle of a body: the complete
// packages are handed over by the timer, empty hand-overs follow, and a
// disconnect with the body read still pending returns at once.
TEST_F(FaultTest, DisconnectDuringAStallInsideABodyIsClean) {
  const auto specs = smallPackages(1, 5);
  const Bytes all = boardsim::encodeAll(specs);
  const std::size_t before = 4 * smallSize + 80;
  const std::string address = faultAddress(slot::stall + 3);
  FakeBoard board(address, Script().send(prefix(all, before)).silent());
  SentPackages sent;
  sent.add(specs);
  Parser parser(address, 3, 10);
  bounded("connect", 10s, [&] { parser->connect(); });
  ASSERT_TRUE(parser.collector.waitForPackages(4, scaled(5s)));
  ASSERT_TRUE(parser.collector.waitForHandOvers(parser.collector.takeHandOvers().size() + 3, scaled(5s)));
  EXPECT_EQ(sent.numbersOf(parser.collector.takePackages()), range(1, 4));
  bounded("disconnect with a body read pending", 5s, [&] { EXPECT_NO_THROW(parser->disconnect()); });
  EXPECT_EQ(parser->getState(), ConnectionState::NotConnected);
  EXPECT_TRUE(board.waitForClientClosed(scaled(5s)));
}

}  // namespace
