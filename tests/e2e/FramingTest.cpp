// The read loop frames packages wherever reads split them: many packages in
// one read, one package over many reads, small and large ones mixed. Every
// package decodes as if it had been read alone into a buffer of 0xCD.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "boardsim/FakeBoard.hpp"
#include "boardsim/PackageBuilder.hpp"
#include "support/Collector.hpp"
#include "support/Loopback.hpp"

using namespace support;
using boardsim::FakeBoard;
using boardsim::PackageSpec;
using boardsim::Script;

namespace {

constexpr std::uint32_t filler = 0xCDCDCDCDu;

PackageSpec sized(std::uint64_t number, std::uint32_t channels, std::uint32_t samplesPerChannel) {
  PackageSpec spec = boardsim::numberedPackages(number, 1, channels, samplesPerChannel)[0];
  return spec;
}

// Receives everything the board sends as packages of one stream each.
std::vector<std::unique_ptr<mirt::OstraDataPackage>> receive(const std::string& address, Script script,
                                                             std::size_t count) {
  FakeBoard board(address, std::move(script));
  Collector collector;
  auto parser = mirt::createVarnel(address, collector.callback());
  parser->setPackageCounter(1);
  parser->setWaitTimeMs(50);
  parser->connect();
  // A bound for a failure only: under Wine, where every read of the tiny
  // pieces goes through Wine's server, 7-byte pieces take several seconds.
  EXPECT_TRUE(collector.waitForPackages(count, 30s));
  EXPECT_NO_THROW(parser->disconnect());
  return collector.takePackages();
}

// Streams from the board at `address` with a package counter of 1 until the
// connection fails; returns the recorded error (code and text). A failure
// within connect's first poll is reported by connect itself.
std::pair<int, std::string> recordedFailure(const std::string& address, Collector& collector) {
  auto parser = mirt::createVarnel(address, collector.callback());
  parser->setPackageCounter(1);
  try {
    parser->connect();
  } catch (const mirt::VarnelException&) {
  }
  EXPECT_TRUE(eventually([&] { return parser->getState() == mirt::ConnectionState::Error; }));
  return varnelError([&] { parser->disconnect(); });
}

void expectSameMeta(const mirt::OstraMetaData& a, const mirt::OstraMetaData& b) {
  EXPECT_EQ(a.statusWord, b.statusWord);
  EXPECT_EQ(a.headerValue, b.headerValue);
  const std::uint32_t wa[] = {a.word36,  a.dspVersion, a.firmwareVersion, a.biosVersion, a.word52, a.word56,
                              a.word60,  a.word64,     a.word68,          a.word88,      a.word92, a.word96,
                              a.half100, a.half102,    a.word104,         a.word108};
  const std::uint32_t wb[] = {b.word36,  b.dspVersion, b.firmwareVersion, b.biosVersion, b.word52, b.word56,
                              b.word60,  b.word64,     b.word68,          b.word88,      b.word92, b.word96,
                              b.half100, b.half102,    b.word104,         b.word108};
  EXPECT_EQ(std::memcmp(wa, wb, sizeof wa), 0);
  EXPECT_EQ(std::memcmp(&a.real72, &b.real72, 8), 0);
  EXPECT_EQ(std::memcmp(&a.real80, &b.real80, 8), 0);
}

void expectSame(const mirt::OstraDataPackage& got, const PackageSpec& sent) {
  ASSERT_EQ(got.getChannelCount(), sent.samples.size());
  expectSameMeta(got.getMetaData(), sent.expectedMetaData());
  for (std::size_t c = 0; c < sent.samples.size(); ++c) {
    ASSERT_EQ(got.getWaveform(c), sent.samples[c]) << "channel " << c;
  }
}

TEST(Framing, MixedSizesArriveIntactWhateverTheChunking) {
  // Small, large and largest packages in an order that makes every
  // transition between read-ahead and exact reads happen.
  std::vector<PackageSpec> specs;
  const std::uint32_t samples[] = {4, 16352, 1, 200, 16352, 16352, 3, 2000, 0, 16352, 7};
  std::uint64_t number = 1;
  for (std::uint32_t n : samples) specs.push_back(sized(number++, 1, n));
  specs.push_back(sized(number++, 8, 2044));  // 65536 bytes: fills the buffer exactly
  for (int i = 0; i < 40; ++i) specs.push_back(sized(number++, 2, 4 + i));
  const auto bytes = boardsim::encodeAll(specs);
  ASSERT_EQ(boardsim::encode(specs[11]).size(), 65536u);

  const std::size_t chunks[] = {0, 1000, 65535, 37, 7};
  for (std::size_t i = 0; i < std::size(chunks); ++i) {
    SCOPED_TRACE("chunk " + std::to_string(chunks[i]));
    // One byte at a time is slow over loopback; 7-byte pieces cover the
    // same splits of headers and fields.
    const auto got = receive(support::loopback(support::Block::EndToEnd, 70 + i),
                             Script().send(bytes, chunks[i]).silent(), specs.size());
    ASSERT_EQ(got.size(), specs.size());
    for (std::size_t p = 0; p < specs.size(); ++p) {
      SCOPED_TRACE("package " + std::to_string(p));
      expectSame(*got[p], specs[p]);
    }
  }
}

TEST(Framing, WhatAPackageDidNotDeliverReadsAsFillerEvenWhenTheNextOneFollows) {
  // A header-only package: its meta data comes from the filler, not from
  // the package behind it.
  PackageSpec headerOnly = sized(1, 0, 0);
  headerOnly.packageSize = 36;
  // A package whose samples run past its end: 2 channels of 8 samples, but
  // only the first 5 samples of channel 0 are sent.
  PackageSpec shortSamples = sized(2, 2, 8);
  shortSamples.packageSize = 128 + 5 * 4;
  const PackageSpec after = sized(3, 2, 8);
  const auto bytes = boardsim::encodeAll({headerOnly, shortSamples, after});

  const auto got = receive(support::loopback(support::Block::EndToEnd, 76), Script().send(bytes).silent(), 3);
  ASSERT_EQ(got.size(), 3u);
  const auto& meta = got[0]->getMetaData();
  EXPECT_EQ(meta.headerValue, 1u);
  EXPECT_EQ(meta.word36, filler);
  EXPECT_EQ(meta.dspVersion, filler);
  EXPECT_EQ(meta.half102, 0xCDCDu);
  EXPECT_EQ(meta.word108, filler);

  std::vector<std::uint32_t> expected0 = shortSamples.samples[0];
  for (std::size_t i = 5; i < 8; ++i) expected0[i] = filler;
  EXPECT_EQ(got[1]->getWaveform(0), expected0);
  EXPECT_EQ(got[1]->getWaveform(1), std::vector<std::uint32_t>(8, filler));
  expectSame(*got[2], after);
}

TEST(Framing, AFailureInsideABatchStopsAtThatPackage) {
  std::vector<PackageSpec> specs = boardsim::numberedPackages(1, 6);
  specs[4].protocolVersion = 3;
  const auto bytes = boardsim::encodeAll(specs);  // all in one read
  FakeBoard board(support::loopback(support::Block::EndToEnd, 77), Script().send(bytes).silent());
  Collector collector;
  const auto [code, text] = recordedFailure(support::loopback(support::Block::EndToEnd, 77), collector);
  EXPECT_EQ(code, mirt::VarnelException::VersionMismatch);
  EXPECT_EQ(text.rfind("readHeader: TCP-Package Header has wrong protocol version. Found: 3;", 0), 0u);
  EXPECT_EQ(collector.packageCount(), 4u);  // the ones before it, none after
}

// A large package is read together with the header behind it; that header
// is checked as any other, and a connection that ends inside it reports
// the end of the header read, with the large package kept.
TEST(Framing, TheHeaderBehindALargePackageIsCheckedAndItsEndReported) {
  const PackageSpec large = sized(1, 2, 8000);
  PackageSpec bad = sized(2, 1, 4);
  bad.protocolVersion = 3;
  struct Case {
    std::size_t headerBytes;  // of the package behind the large one
    int code;
    std::string prefix;
  };
  const Case cases[] = {
      {36, mirt::VarnelException::VersionMismatch,
       "readHeader: TCP-Package Header has wrong protocol version. Found: 3;"},
      {0, mirt::VarnelException::CommunicationError, "readHeader: ErrorCode: End of file"},
      {1, mirt::VarnelException::CommunicationError, "readHeader: ErrorCode: End of file"},
      {35, mirt::VarnelException::CommunicationError, "readHeader: ErrorCode: End of file"},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE("header bytes " + std::to_string(c.headerBytes));
    auto bytes = boardsim::encode(large);
    const auto next = boardsim::encode(bad);
    bytes.insert(bytes.end(), next.begin(), next.begin() + static_cast<std::ptrdiff_t>(c.headerBytes));
    const std::string address = support::loopback(support::Block::EndToEnd, 80 + i);
    FakeBoard board(address, Script().send(bytes).close());
    Collector collector;
    const auto [code, text] = recordedFailure(address, collector);
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(text.rfind(c.prefix, 0), 0u) << text;
    auto got = collector.takePackages();
    ASSERT_EQ(got.size(), 1u);
    expectSame(*got[0], large);
  }
}

}  // namespace
