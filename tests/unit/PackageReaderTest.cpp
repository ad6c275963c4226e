#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "boardsim/PackageBuilder.hpp"
#include "stream/PackageReader.hpp"
#include "support/MetaDataFields.hpp"
#include "support/PackageBytes.hpp"

using Samples = std::vector<std::uint32_t>;

namespace {

TEST(PackageReader, DecodesTheExampleHeaderByteForByte) {
  auto buffer = bytes::filledBuffer();
  const std::uint8_t header[36] = {
      0x01, 0x00,                          // protocol version 1
      0x01, 0x00,                          // flags: end of stream
      0x90, 0x00, 0x00, 0x00,              // 144 bytes
      0,    0,    0,    0,    0, 0, 0, 0,  // header value
      0x02, 0x00, 0x00, 0x00,              // two channels
      0x00, 0x00, 0x00, 0x00,              // status word
      0x05, 0x09, 0,    0,    0, 0, 0, 0,  // waveform types
      0x10, 0x00, 0x00, 0x00,              // 16 sample bytes
  };
  std::memcpy(buffer->data(), header, sizeof header);
  for (std::uint8_t i = 0; i < 16; ++i) (*buffer)[128 + i] = i + 1;

  const PackageReader reader = bytes::readerOf(*buffer);
  const PackageHeader h = reader.parseHeader();
  EXPECT_EQ(h.protocolVersion, 1);
  EXPECT_EQ(h.flags, 1);
  EXPECT_EQ(h.packageSize, 144u);
  EXPECT_EQ(h.headerValue, 0u);
  EXPECT_EQ(h.channelCount, 2u);
  EXPECT_EQ(h.statusWord, 0u);
  EXPECT_EQ(h.waveformTypes, (std::array<std::uint8_t, 8>{5, 9, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(h.dataSize, 16u);
  // Bytes 01 02 03 04 make the sample 0x04030201.
  EXPECT_EQ(bytes::samplesOf(reader, 0), (Samples{0x04030201, 0x08070605}));
  EXPECT_EQ(bytes::samplesOf(reader, 1), (Samples{0x0c0b0a09, 0x100f0e0d}));
  EXPECT_TRUE(bytes::samplesOf(reader, 2).empty());
}

TEST(PackageReader, ChannelsStartAtCTimesDOverNAndSkipPartialSamples) {
  // Three channels in 40 bytes: 13 bytes each, three samples each, starting
  // at 128, 141 and 154 (not 128 + 12c).
  auto buffer = bytes::filledBuffer();
  bytes::writeHeader(*buffer, {.packageSize = 168, .channelCount = 3, .dataSize = 40});
  for (std::uint32_t c = 0; c < 3; ++c) {
    for (std::uint32_t i = 0; i < 3; ++i) bytes::put32(*buffer, 128 + 13 * c + 4 * i, 100 * c + i);
  }
  const PackageReader reader = bytes::readerOf(*buffer);
  for (std::uint32_t c = 0; c < 3; ++c) {
    const Samples samples = bytes::samplesOf(reader, c);
    EXPECT_EQ(samples, (Samples{100 * c, 100 * c + 1, 100 * c + 2})) << "channel " << c;
    EXPECT_EQ(samples.capacity(), samples.size()) << "one allocation per channel";
  }
}

// All channels at once (what the stream decodes) read what each channel
// read on its own reads, for every channel count and sample areas that
// divide evenly or not, complete or cut short.
TEST(PackageReader, AllChannelsAtOnceReadWhatEachChannelReads) {
  auto buffer = bytes::filledBuffer();
  for (std::size_t i = 0; i < buffer->size(); ++i) (*buffer)[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  for (std::uint32_t channels = 1; channels <= 8; ++channels) {
    for (const std::uint32_t dataSize : {0u, 3u, 31u, 40u, 41u, 1003u, 65408u}) {
      bytes::writeHeader(*buffer, {.packageSize = 65536, .channelCount = channels, .dataSize = dataSize});
      for (const std::size_t available : {std::size_t{65536}, std::size_t{700}}) {
        const PackageReader reader(buffer->data(), available);
        std::array<Samples, 8> all;
        for (Samples& samples : all) samples.assign(3, 0xEEEEEEEE);  // old contents
        reader.readChannels(reader.parseHeader(), all);
        for (std::uint32_t c = 0; c < channels; ++c) {
          EXPECT_EQ(all[c], bytes::samplesOf(reader, c))
              << channels << " channels, " << dataSize << " bytes, " << available << " available, channel "
              << c;
        }
      }
    }
  }
}

TEST(PackageReader, ChannelsWithoutAWholeSampleAreEmpty) {
  auto buffer = bytes::filledBuffer();
  bytes::writeHeader(*buffer, {.channelCount = 2, .dataSize = 7});
  EXPECT_TRUE(bytes::samplesOf(bytes::readerOf(*buffer), 0).empty());
  bytes::writeHeader(*buffer, {.channelCount = 0, .dataSize = 16});
  EXPECT_TRUE(bytes::samplesOf(bytes::readerOf(*buffer), 0).empty());
}

TEST(PackageReader, LargestSampleAreaEndsExactlyAtTheBufferEnd) {
  auto buffer = bytes::filledBuffer();
  bytes::writeHeader(*buffer, {.packageSize = 65536, .channelCount = 8, .dataSize = 65536 - 128});
  bytes::put32(*buffer, 65532, 0xCAFEF00D);
  const Samples last = bytes::samplesOf(bytes::readerOf(*buffer), 7);
  ASSERT_EQ(last.size(), 65408u / 8 / 4);
  EXPECT_EQ(last.back(), 0xCAFEF00Du);
}

TEST(PackageReader, MetaDataComesFromTheTabledOffsets) {
  auto buffer = bytes::filledBuffer();
  bytes::writeHeader(*buffer, {.headerValue = 0x8877665544332211, .statusWord = 0x40000001});
  // Each 32-bit word holds its own offset, so a shifted read shows at once.
  for (std::size_t offset = 36; offset < 112; offset += 4) bytes::put32(*buffer, offset, offset);
  bytes::putDouble(*buffer, 72, -1.5e-300);
  bytes::putDouble(*buffer, 80, 6.02214076e23);
  bytes::put16(*buffer, 100, 0xBEEF);
  bytes::put16(*buffer, 102, 0x1234);

  const mirt::OstraMetaData m = bytes::readerOf(*buffer).parseMetaData();
  EXPECT_EQ(m.statusWord, 0x40000001u);
  EXPECT_EQ(m.headerValue, 0x8877665544332211u);
  const std::uint32_t words[] = {m.word36, m.dspVersion, m.firmwareVersion, m.biosVersion, m.word52,
                                 m.word56, m.word60,     m.word64,          m.word68};
  for (std::uint32_t i = 0; i < 9; ++i) EXPECT_EQ(words[i], 36 + 4 * i);
  EXPECT_EQ(m.real72, -1.5e-300);
  EXPECT_EQ(m.real80, 6.02214076e23);
  EXPECT_EQ(m.word88, 88u);
  EXPECT_EQ(m.word92, 92u);
  EXPECT_EQ(m.word96, 96u);
  EXPECT_EQ(m.half100, 0xBEEF);
  EXPECT_EQ(m.half102, 0x1234);
  EXPECT_EQ(m.word104, 104u);
  EXPECT_EQ(m.word108, 108u);
}

// The simulated board's encoder (tools/boardsim) writes every field of the
// C interface's record where the reader takes it from. Each byte of the
// record has a value of its own (which makes both doubles plain numbers,
// no NaN whose bits a copy might change), and every field must come back
// whole; a field added to the header that either side leaves out fails.
TEST(PackageReader, ReadsEveryMetaDataFieldWhereTheSimulatedBoardWritesIt) {
  std::array<std::uint8_t, sizeof(mirt::OstraMetaData)> pattern{};
  for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<std::uint8_t>(i + 1);
  boardsim::PackageSpec spec = boardsim::numberedPackages(1, 1, 1, 4)[0];
  std::memcpy(&spec.meta, pattern.data(), pattern.size());
  spec.statusWord = spec.meta.statusWord;  // these two travel in the header
  spec.headerValue = spec.meta.headerValue;
  const boardsim::Bytes encoded = boardsim::encode(spec);
  auto buffer = bytes::filledBuffer();
  std::copy(encoded.begin(), encoded.end(), buffer->begin());

  const mirt::OstraMetaData m = bytes::readerOf(*buffer).parseMetaData();
  const auto* read = reinterpret_cast<const std::uint8_t*>(&m);
  for (const support::MetaDataField& field : support::metaDataFields) {
    EXPECT_EQ(std::memcmp(read + field.offset, pattern.data() + field.offset, field.size), 0) << field.name;
  }
}

TEST(PackageReader, HeaderOnlyPackageReadsTheFiller) {
  auto buffer = bytes::filledBuffer();
  bytes::writeHeader(*buffer, {.packageSize = 36, .channelCount = 1, .dataSize = 8});
  const PackageReader reader = bytes::readerOf(*buffer);
  const mirt::OstraMetaData m = reader.parseMetaData();
  EXPECT_EQ(m.word36, 0xCDCDCDCDu);
  EXPECT_EQ(m.biosVersion, 0xCDCDCDCDu);
  EXPECT_EQ(m.half102, 0xCDCD);
  std::uint64_t bits;
  std::memcpy(&bits, &m.real80, sizeof bits);
  EXPECT_EQ(bits, 0xCDCDCDCDCDCDCDCDu);
  EXPECT_EQ(bytes::samplesOf(reader, 0), (Samples{0xCDCDCDCD, 0xCDCDCDCD}));
}

TEST(BoundedPackageReader, PositionsBeyondWhatArrivedReadAsFiller) {
  std::vector<std::uint8_t> bytes(200, 0x11);
  // A header of 2 channels with 8 bytes each, samples from offset 128.
  std::fill(bytes.begin(), bytes.begin() + 36, 0);
  bytes[16] = 2;
  bytes[32] = 16;
  const PackageReader reader(bytes.data(), 132);  // only one sample arrived
  EXPECT_EQ(reader.parseMetaData().word36, 0x11111111u);
  EXPECT_EQ(bytes::samplesOf(reader, 0), (std::vector<std::uint32_t>{0x11111111u, 0xCDCDCDCDu}));
  EXPECT_EQ(bytes::samplesOf(reader, 1), (std::vector<std::uint32_t>{0xCDCDCDCDu, 0xCDCDCDCDu}));
  const PackageReader headerOnly(bytes.data(), 36);
  EXPECT_EQ(headerOnly.parseMetaData().dspVersion, 0xCDCDCDCDu);
  EXPECT_EQ(headerOnly.parseMetaData().half100, 0xCDCDu);
  EXPECT_EQ(headerOnly.parseHeader().channelCount, 2u);
}

}  // namespace
