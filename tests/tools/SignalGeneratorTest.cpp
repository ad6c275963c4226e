// The board's signal and package generator on its own: every shape against
// its defining formula, and packages as pure functions of their number.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numbers>
#include <set>
#include <stdexcept>

#include "boardsim/SignalGenerator.hpp"

using namespace boardsim;

namespace {

constexpr double rate = 1000.0;

ChannelSignal signal(Shape shape, std::uint32_t amplitude = 1000, double frequency = 10.0) {
  ChannelSignal s;
  s.shape = shape;
  s.amplitude = amplitude;
  s.frequency = frequency;
  return s;
}

std::vector<std::uint32_t> filled(const ChannelSignal& s, std::uint64_t first, std::size_t count,
                                  std::uint32_t channel = 0, std::uint64_t seed = 1) {
  std::vector<std::uint32_t> out(count);
  fillSamples(s, rate, seed, channel, first, out);
  return out;
}

std::int32_t value(const ChannelSignal& s, std::uint64_t k, std::uint32_t channel = 0,
                   std::uint64_t seed = 1) {
  return signalValue(s, rate, seed, channel, k);
}

TEST(SignalShapes, SineFollowsTheSineOfItsTimeBase) {
  const ChannelSignal s = signal(Shape::Sine, 1000, 10.0);  // 100 samples per period
  EXPECT_EQ(value(s, 0), 0);
  EXPECT_EQ(value(s, 25), 1000);
  EXPECT_EQ(value(s, 50), 0);
  EXPECT_EQ(value(s, 75), -1000);
  EXPECT_EQ(value(s, 125), 1000);  // periodic
  for (std::uint64_t k : {1ull, 7ull, 33ull, 999ull, 123456789ull}) {
    const double expected = 1000.0 * std::sin(2.0 * std::numbers::pi * 10.0 * static_cast<double>(k) / rate);
    EXPECT_LE(std::abs(value(s, k) - expected), 0.5 + 1e-6) << k;
  }
}

TEST(SignalShapes, FilledSineMatchesTheFormulaWithinOneCountFromAnyStart) {
  // Also far above the sample rate (a whole number of periods per sample).
  for (const double frequency : {37.5, 1e9}) {
    const ChannelSignal s = signal(Shape::Sine, 2000000000, frequency);
    for (std::uint64_t first : {0ull, 1000ull, 987654321ull}) {
      const auto words = filled(s, first, 2044);
      for (std::size_t i = 0; i < words.size(); ++i) {
        const std::int64_t got = static_cast<std::int32_t>(words[i]);
        ASSERT_LE(std::llabs(got - value(s, first + i)), 1) << frequency << " Hz: " << first << "+" << i;
      }
    }
  }
}

TEST(SignalShapes, SquareIsPlusAmplitudeInTheFirstHalfOfEachPeriodAndMinusInTheSecond) {
  const ChannelSignal s = signal(Shape::Square, 700, 10.0);
  for (std::uint64_t k = 0; k < 300; ++k) {
    ASSERT_EQ(value(s, k), (k % 100) < 50 ? 700 : -700) << k;
  }
}

TEST(SignalShapes, RampRisesFromMinusAmplitudeToJustBelowPlusAmplitudeOncePerPeriod) {
  const ChannelSignal s = signal(Shape::Ramp, 1000, 10.0);
  EXPECT_EQ(value(s, 0), -1000);
  EXPECT_EQ(value(s, 50), 0);
  EXPECT_EQ(value(s, 100), -1000);
  // 2A / 100 = 20 per sample; the floor of a product may land one below.
  EXPECT_NEAR(value(s, 99), 980, 1);
  for (std::uint64_t k = 1; k < 100; ++k) {
    ASSERT_NEAR(value(s, k) - value(s, k - 1), 20, 1) << k;
  }
}

TEST(SignalShapes, WholeFrequenciesStayExactAfterHoursOfStreaming) {
  // Package 3600000 at 100 packages/s: ten hours in; 100 Hz at 100 kHz puts
  // one period into each 1000-sample package.
  const std::uint64_t first = 3600000ull * 1000;
  std::vector<std::uint32_t> square(1000);
  fillSamples(signal(Shape::Square, 500, 100.0), 100000.0, 1, 0, first, square);
  EXPECT_EQ(std::count(square.begin(), square.end(), 500u), 500);
  EXPECT_EQ(static_cast<std::int32_t>(square[499]), 500);
  EXPECT_EQ(static_cast<std::int32_t>(square[500]), -500);
  std::vector<std::uint32_t> ramp(1000);
  fillSamples(signal(Shape::Ramp, 500, 100.0), 100000.0, 1, 0, first, ramp);
  for (std::size_t i = 0; i < ramp.size(); ++i) {
    ASSERT_EQ(static_cast<std::int32_t>(ramp[i]), -500 + static_cast<std::int32_t>(i)) << i;
  }
  // A frequency that is not a whole number keeps its phase to well within
  // a sample (one period per 2000 samples at 1 kHz; the switch lies at 1000).
  const ChannelSignal fraction = signal(Shape::Square, 1, 0.5);
  EXPECT_EQ(value(fraction, 1000ull * 1000000000 + 999), 1);
  EXPECT_EQ(value(fraction, 1000ull * 1000000000 + 1001), -1);
}

TEST(SignalShapes, CounterIsTheRunningSampleNumberAndWrapsAt32Bits) {
  const ChannelSignal s = signal(Shape::Counter);
  EXPECT_EQ(value(s, 0), 0);
  EXPECT_EQ(value(s, 123456), 123456);
  EXPECT_EQ(static_cast<std::uint32_t>(value(s, (1ull << 32) + 5)), 5u);
  const auto words = filled(s, 4000000000ull, 3);
  EXPECT_EQ(words, (std::vector<std::uint32_t>{4000000000u, 4000000001u, 4000000002u}));
}

TEST(SignalShapes, NoiseIsWithinTheAmplitudeDeterministicAndDiffersPerChannelAndSeed) {
  const ChannelSignal s = signal(Shape::Noise, 100);
  std::set<std::int32_t> seen;
  double sum = 0;
  for (std::uint64_t k = 0; k < 20000; ++k) {
    const std::int32_t v = value(s, k);
    ASSERT_GE(v, -100);
    ASSERT_LE(v, 100);
    seen.insert(v);
    sum += v;
  }
  EXPECT_EQ(seen.size(), 201u);           // every value of [-A, A] occurs
  EXPECT_LT(std::abs(sum / 20000), 3.0);  // centred on zero
  EXPECT_EQ(filled(s, 500, 64), filled(s, 500, 64));
  EXPECT_NE(filled(s, 500, 64, 0), filled(s, 500, 64, 1));
  EXPECT_NE(filled(s, 500, 64, 0, 1), filled(s, 500, 64, 0, 2));
}

TEST(SignalShapes, ZeroAmplitudeAndZeroFrequencyGiveConstants) {
  for (Shape shape : {Shape::Sine, Shape::Square, Shape::Ramp, Shape::Noise}) {
    EXPECT_EQ(value(signal(shape, 0), 17), 0) << shapeName(shape);
  }
  EXPECT_EQ(value(signal(Shape::Sine, 50, 0.0), 17), 0);
  EXPECT_EQ(value(signal(Shape::Square, 50, 0.0), 17), 50);
  EXPECT_EQ(value(signal(Shape::Ramp, 50, 0.0), 17), -50);
}

TEST(SignalShapes, ShapeAndFaultNamesRoundTrip) {
  for (Shape shape : {Shape::Sine, Shape::Square, Shape::Ramp, Shape::Counter, Shape::Noise}) {
    EXPECT_EQ(parseShape(shapeName(shape)), shape);
  }
  EXPECT_FALSE(parseShape("triangle"));
  for (HeaderFault fault : allHeaderFaults) {
    EXPECT_EQ(parseHeaderFault(headerFaultName(fault)), fault);
  }
  EXPECT_FALSE(parseHeaderFault("bogus"));
}

GeneratorSettings smallSettings() {
  GeneratorSettings g;
  g.channels = 3;
  g.samplesPerChannel = 16;
  g.sampleRate = rate;
  g.streamLength = 4;
  g.firstNumber = 10;
  g.statusWord = 0x40000007;
  g.waveformTypes = {9, 8, 7, 6, 5, 4, 3, 2};
  g.signals[0] = signal(Shape::Counter);
  g.signals[1] = signal(Shape::Square, 5, 125.0);
  g.signals[2] = signal(Shape::Noise, 1000);
  return g;
}

TEST(PackageGeneratorTest, PackagesCarryTheirNumberSettingsAndTheSamplesOfTheirTimeSlot) {
  const PackageGenerator generator(smallSettings());
  EXPECT_EQ(generator.packageSize(), 128u + 3 * 16 * 4);
  const PackageSpec p = generator.package(12);
  EXPECT_EQ(p.headerValue, 12u);
  EXPECT_EQ(p.statusWord, 0x40000007u);
  EXPECT_EQ(p.effectiveChannelCount(), 3u);
  EXPECT_EQ(p.effectivePackageSize(), generator.packageSize());
  EXPECT_EQ(p.waveformTypes, (std::array<std::uint8_t, 8>{9, 8, 7, 0, 0, 0, 0, 0}));
  EXPECT_EQ(p.meta.dspVersion, 3646u);
  EXPECT_EQ(p.meta.firmwareVersion, 0x127u);
  EXPECT_EQ(p.meta.biosVersion, 0x40u);
  ASSERT_EQ(p.samples.size(), 3u);
  for (std::uint32_t i = 0; i < 16; ++i) {
    EXPECT_EQ(p.samples[0][i], 12u * 16 + i);  // counter: running sample number
    EXPECT_EQ(static_cast<std::int32_t>(p.samples[1][i]),
              signalValue(smallSettings().signals[1], rate, 1, 1, 12 * 16 + i));
    EXPECT_EQ(static_cast<std::int32_t>(p.samples[2][i]),
              signalValue(smallSettings().signals[2], rate, 1, 2, 12 * 16 + i));
  }
  // The same number gives the same package, whatever was made before.
  EXPECT_EQ(encode(generator.package(12)), encode(p));
}

TEST(PackageGeneratorTest, EveryKthPackageFromTheFirstNumberOnEndsAStream) {
  GeneratorSettings g = smallSettings();
  const PackageGenerator four(g);
  std::vector<std::uint64_t> ends;
  for (std::uint64_t n = 10; n < 22; ++n) {
    const bool flag = (four.package(n).flags & endOfStreamFlag) != 0;
    EXPECT_EQ(flag, four.endsStream(n)) << n;
    if (flag) ends.push_back(n);
  }
  EXPECT_EQ(ends, (std::vector<std::uint64_t>{13, 17, 21}));
  g.streamLength = 0;
  const PackageGenerator endless(g);
  for (std::uint64_t n = 10; n < 100; ++n) ASSERT_FALSE(endless.endsStream(n)) << n;
  g.streamLength = 1;
  const PackageGenerator single(g);
  EXPECT_TRUE(single.endsStream(10));
  EXPECT_TRUE(single.endsStream(11));
  // Across the wrap of the numbers: 2^64 - 2, - 1, 0 and 1 make one stream.
  g.streamLength = 4;
  g.firstNumber = UINT64_MAX - 1;
  const PackageGenerator wrapping(g);
  EXPECT_FALSE(wrapping.endsStream(0));
  EXPECT_TRUE(wrapping.endsStream(1));
}

TEST(PackageGeneratorTest, EncodeIntoEqualsEncodingThePackage) {
  GeneratorSettings g = smallSettings();
  g.signals[0] = signal(Shape::Sine, 100000, 33.0);
  PackageGenerator generator(g);
  Bytes reused;
  for (std::uint64_t n : {10ull, 11ull, 13ull, 1000000ull, 10ull}) {
    generator.encodeInto(n, reused);
    ASSERT_EQ(reused, encode(generator.package(n))) << n;
  }
}

TEST(PackageGeneratorTest, MalformedPackagesBreakExactlyTheirOneHeaderField) {
  const PackageGenerator generator(smallSettings());
  const PackageSpec good = generator.package(10);
  auto header = [](const Bytes& b, std::size_t offset, std::size_t size) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < size; ++i) v |= static_cast<std::uint64_t>(b.at(offset + i)) << (8 * i);
    return v;
  };
  const Bytes protocol = generator.malformed(HeaderFault::ProtocolVersion, 10);
  EXPECT_EQ(header(protocol, 0, 2), 2u);
  EXPECT_EQ(protocol.size(), generator.packageSize());
  const Bytes wellFormed = encode(good);
  EXPECT_EQ(Bytes(protocol.begin() + 2, protocol.end()), Bytes(wellFormed.begin() + 2, wellFormed.end()));

  const Bytes empty = generator.malformed(HeaderFault::EmptyPackage, 10);
  EXPECT_EQ(empty.size(), 36u);
  EXPECT_EQ(header(empty, 4, 4), 0u);
  EXPECT_EQ(header(generator.malformed(HeaderFault::SizeTooSmall, 10), 4, 4), 35u);
  EXPECT_EQ(header(generator.malformed(HeaderFault::SizeTooLarge, 10), 4, 4), 65537u);

  const Bytes channels = generator.malformed(HeaderFault::TooManyChannels, 10);
  EXPECT_EQ(header(channels, 16, 4), 9u);
  EXPECT_EQ(header(channels, 4, 4), generator.packageSize());
  const Bytes data = generator.malformed(HeaderFault::DataSizeTooLarge, 10);
  EXPECT_EQ(header(data, 32, 4), 65536u - 128 + 1);
  EXPECT_EQ(header(data, 8, 8), 10u);
}

TEST(PackageGeneratorTest, SettingsOutOfRangeAreRefusedWithTheirName) {
  auto refused = [](GeneratorSettings g, const char* word) {
    try {
      PackageGenerator generator(g);
    } catch (const std::invalid_argument& e) {
      return std::string(e.what()).find(word) != std::string::npos;
    }
    return false;
  };
  GeneratorSettings g;
  g.channels = 0;
  EXPECT_TRUE(refused(g, "channels"));
  g.channels = 9;
  EXPECT_TRUE(refused(g, "channels"));
  g = GeneratorSettings{};
  g.channels = 8;
  g.samplesPerChannel = 2045;  // 8 * 2045 * 4 bytes do not fit behind offset 128
  EXPECT_TRUE(refused(g, "samples"));
  g.samplesPerChannel = 2044;
  EXPECT_NO_THROW(PackageGenerator{g});
  g.sampleRate = 0;
  EXPECT_TRUE(refused(g, "sample rate"));
  g = GeneratorSettings{};
  g.signals[1].amplitude = 0x80000000u;
  EXPECT_TRUE(refused(g, "amplitude"));
  g = GeneratorSettings{};
  g.signals[2].frequency = -1;
  EXPECT_TRUE(refused(g, "frequency"));
  g = GeneratorSettings{};
  g.signals[5].frequency = -1;  // beyond the 4 channels in use: never sampled
  EXPECT_NO_THROW(PackageGenerator{g});
  EXPECT_EQ(GeneratorSettings::maxSamplesPerChannel(1), 16352u);
  EXPECT_EQ(GeneratorSettings::maxSamplesPerChannel(4), 4088u);
}

TEST(PackageGeneratorTest, DefaultsMakeARealisticBoard) {
  const GeneratorSettings g;
  EXPECT_EQ(g.channels, 4u);
  EXPECT_EQ(g.samplesPerChannel, 1000u);
  EXPECT_EQ(g.streamLength, 25u);
  EXPECT_EQ(g.signals[0].shape, Shape::Sine);
  EXPECT_EQ(g.signals[1].shape, Shape::Square);
  EXPECT_EQ(g.signals[2].shape, Shape::Ramp);
  EXPECT_EQ(g.signals[3].shape, Shape::Noise);
  EXPECT_EQ(g.signals[4].shape, Shape::Counter);
  EXPECT_EQ(PackageGenerator(g).packageSize(), 16128u);
}

}  // namespace
