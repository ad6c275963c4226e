#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/VarnelExceptionImpl.hpp"
#include "stream/OstraDataStreamImpl.hpp"
#include "support/PackageBytes.hpp"

using mirt::OstraDataPackage;
using mirt::VarnelException;
using Samples = std::vector<std::uint32_t>;

namespace {

std::unique_ptr<OstraDataPackage> decode(const bytes::Header& h) {
  OstraDataStreamImpl stream;
  stream.appendPackage(bytes::readerOf(*bytes::package(h)));
  return stream.pop();
}

template <typename Call>
std::string refusal(Call call) {
  try {
    call();
  } catch (const VarnelException& e) {
    EXPECT_EQ(e.getErrorCode(), VarnelException::GeneralError);
    EXPECT_NE(dynamic_cast<const VarnelExceptionImpl*>(&e), nullptr);
    return e.what();
  }
  return "no refusal";
}

TEST(DataPackage, ExamplePackageDecodesIntoItsChannels) {
  const auto p = decode({.flags = 1});
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->getChannelCount(), 2u);
  EXPECT_EQ(p->getSize(), 2u);
  EXPECT_EQ(p->getWaveformType(0), 5u);
  EXPECT_EQ(p->getWaveformType(1), 9u);
  EXPECT_EQ(p->getWaveform(0), (Samples{0x1000, 0x1001}));
  EXPECT_EQ(p->getWaveform(1), (Samples{0x1002, 0x1003}));
  for (std::size_t c = 0; c < 2; ++c) EXPECT_EQ(p->getWaveform(c).capacity(), 2u);
  for (std::size_t c = 2; c < 8; ++c) EXPECT_TRUE(p->getWaveform(c).empty());
  EXPECT_EQ(p->getMetaData().dspVersion, 3646u);
}

TEST(DataPackage, PackageWithoutChannelsHasNoSamples) {
  const auto p = decode({.channelCount = 0});
  EXPECT_EQ(p->getChannelCount(), 0u);
  EXPECT_EQ(p->getSize(), 0u);
  for (std::size_t c = 0; c < 8; ++c) EXPECT_TRUE(p->getWaveform(c).empty());
  EXPECT_EQ(refusal([&] { p->getWaveformType(0); }), "Invalid channel 0; the package has no channels");
}

TEST(DataPackage, OutOfRangeChannelsAreRefused) {
  const auto p = decode({});
  EXPECT_EQ(refusal([&] { p->getWaveform(8); }), "Invalid channel 8; valid channels are 0 to 7");
  EXPECT_EQ(refusal([&] { p->getWaveform(SIZE_MAX); }),
            "Invalid channel " + std::to_string(SIZE_MAX) + "; valid channels are 0 to 7");
  EXPECT_EQ(refusal([&] { p->getWaveformType(2); }), "Invalid channel 2; valid channels are 0 to 1");
  EXPECT_NO_THROW(p->getWaveform(7));
}

TEST(DataStream, PopsFirstInFirstOut) {
  OstraDataStreamImpl stream;
  EXPECT_EQ(stream.pop(), nullptr);
  for (std::uint64_t id = 1; id <= 3; ++id) {
    stream.appendPackage(bytes::readerOf(*bytes::package({.headerValue = id})));
    EXPECT_EQ(stream.back()->getMetaData().headerValue, id);
  }
  for (std::uint64_t id = 1; id <= 3; ++id) {
    EXPECT_EQ(stream.getSize(), 4 - id);
    const auto p = stream.pop();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->getMetaData().headerValue, id);
  }
  EXPECT_EQ(stream.getSize(), 0u);
  EXPECT_EQ(stream.pop(), nullptr);
  EXPECT_EQ(stream.back(), nullptr);
}

TEST(DataStream, EndOfStreamFollowsThePackageAppendedLast) {
  OstraDataStreamImpl stream;
  EXPECT_FALSE(stream.isEndOfStream());
  stream.appendPackage(bytes::readerOf(*bytes::package({.flags = 0xFFFF})));
  EXPECT_TRUE(stream.isEndOfStream());
  stream.appendPackage(bytes::readerOf(*bytes::package({.flags = 0xFFFE})));
  EXPECT_FALSE(stream.isEndOfStream());
  stream.appendPackage(bytes::readerOf(*bytes::package({.flags = 1})));
  stream.clear();
  EXPECT_TRUE(stream.isEndOfStream());
}

TEST(DataStream, PoppedPackagesOutliveClearAndTheStream) {
  std::unique_ptr<OstraDataPackage> kept;
  {
    OstraDataStreamImpl stream;
    for (std::uint64_t id = 1; id <= 3; ++id)
      stream.appendPackage(bytes::readerOf(*bytes::package({.headerValue = id})));
    kept = stream.pop();
    stream.clear();
    EXPECT_EQ(stream.getSize(), 0u);
    EXPECT_EQ(stream.pop(), nullptr);
    stream.appendPackage(bytes::readerOf(*bytes::package({.headerValue = 4})));
    EXPECT_EQ(stream.getSize(), 1u);
  }  // destroyed holding one package
  EXPECT_EQ(kept->getMetaData().headerValue, 1u);
  EXPECT_EQ(kept->getWaveform(1), (Samples{0x1002, 0x1003}));
}

}  // namespace

// The memory of destroyed packages is reused for the next ones; what it
// held before never shows through, whether the new channel is shorter or
// longer than the old one, or the package has fewer channels (their slots
// stay empty).
TEST(DataStream, RecycledSampleStorageIsOverwrittenExactly) {
  OstraDataStreamImpl stream;
  const std::pair<std::uint32_t, std::uint32_t> rounds[] = {{64, 8}, {8, 2},  {100, 1},
                                                            {1, 3},  {64, 2}, {16, 0}};
  for (const auto& [n, channels] : rounds) {
    const std::uint32_t dataSize = channels * 4 * n;
    const std::uint32_t base = 0x10000 * n;
    stream.appendPackage(bytes::readerOf(*bytes::package(
        {.packageSize = 128 + dataSize, .channelCount = channels, .dataSize = dataSize}, base)));
    const auto p = stream.pop();  // destroyed at the end of the round
    EXPECT_EQ(p->getChannelCount(), channels);
    for (std::uint32_t c = 0; c < package::maxChannels; ++c) {
      Samples expected(c < channels ? n : 0);
      for (std::uint32_t k = 0; k < expected.size(); ++k) expected[k] = base + c * n + k;
      EXPECT_EQ(p->getWaveform(c), expected) << n << " samples, " << channels << " channels, channel " << c;
    }
  }
}
