#include "boardsim/SignalGenerator.hpp"

#include <cmath>
#include <limits>
#include <numbers>
#include <stdexcept>

namespace boardsim {

namespace {

constexpr std::uint32_t maxAmplitude = static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max());

std::uint64_t mix(std::uint64_t z) {
  z += 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

bool isWhole(double value) { return value >= 0 && value < 4294967296.0 && value == std::floor(value); }

// Where a running sample lies within its period: phase in [0, 1) and, for
// a whole frequency and sample rate, the exact numerator of phase * rate,
// so that squares and ramps stay exact over any number of periods.
struct Position {
  double phase;
  std::uint64_t numerator;
};

// What the values of one channel share, computed once per channel.
struct Sampler {
  bool exact;
  std::uint64_t frequency;  // exact: the whole frequency, reduced modulo the rate
  std::uint64_t rate;       // exact: the whole sample rate
  // Otherwise periods per sample, in extended precision, so that the phase
  // keeps its digits when k * f / rate runs into the millions.
  long double periodsPerSample;
  std::uint64_t noiseBase;

  Sampler(const ChannelSignal& signal, double sampleRate, std::uint64_t seed, std::uint32_t channel)
      : exact(isWhole(signal.frequency) && isWhole(sampleRate) && sampleRate >= 1),
        frequency(exact
                      ? static_cast<std::uint64_t>(signal.frequency) % static_cast<std::uint64_t>(sampleRate)
                      : 0),
        rate(exact ? static_cast<std::uint64_t>(sampleRate) : 1),
        periodsPerSample(static_cast<long double>(signal.frequency) / static_cast<long double>(sampleRate)),
        noiseBase(mix(seed ^ (static_cast<std::uint64_t>(channel) << 56))) {}

  Position at(std::uint64_t k) const {
    if (exact) {
      return position(frequency * (k % rate) % rate);  // both factors below 2^32
    }
    const long double x = periodsPerSample * static_cast<long double>(k);
    const auto fraction = static_cast<double>(x - std::floor(x));
    return {fraction < 1.0 ? fraction : 0.0, 0};
  }
  Position position(std::uint64_t numerator) const {
    return {static_cast<double>(numerator) / static_cast<double>(rate), numerator};
  }
  // The position of the next sample; in whole numbers without a division.
  Position next(const Position& p, std::uint64_t k) const {
    if (!exact) return at(k + 1);
    const std::uint64_t numerator = p.numerator + frequency;
    return position(numerator >= rate ? numerator - rate : numerator);
  }
};

// Rounds half away from zero, like llround, without its library call.
std::int64_t rounded(double value) {
  return static_cast<std::int64_t>(value < 0 ? value - 0.5 : value + 0.5);
}

std::int32_t toInt32(std::int64_t value) {
  constexpr std::int64_t low = std::numeric_limits<std::int32_t>::min();
  constexpr std::int64_t high = std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(value < low ? low : (value > high ? high : value));
}

std::int32_t valueAt(const ChannelSignal& signal, const Sampler& sampler, const Position& p,
                     std::uint64_t k) {
  const std::int64_t a = signal.amplitude;
  switch (signal.shape) {
    case Shape::Sine:
      return toInt32(rounded(static_cast<double>(a) * std::sin(2.0 * std::numbers::pi * p.phase)));
    case Shape::Square:
      return toInt32((sampler.exact ? 2 * p.numerator < sampler.rate : p.phase < 0.5) ? a : -a);
    case Shape::Ramp: {
      if (a == 0) return 0;
      // Not negative, so truncation is the floor; 2A * numerator < 2^64.
      const auto rise =
          sampler.exact
              ? static_cast<std::int64_t>(2 * static_cast<std::uint64_t>(a) * p.numerator / sampler.rate)
              : static_cast<std::int64_t>(2.0 * static_cast<double>(a) * p.phase);
      return toInt32(-a + (rise < 2 * a ? rise : 2 * a - 1));
    }
    case Shape::Counter:
      return static_cast<std::int32_t>(static_cast<std::uint32_t>(k));
    case Shape::Noise: {
      // The high half of the hash scaled to [0, 2A + 1) by a multiplication.
      const std::uint64_t h = mix(sampler.noiseBase + k) >> 32;
      return toInt32(static_cast<std::int64_t>((h * static_cast<std::uint64_t>(2 * a + 1)) >> 32) - a);
    }
  }
  return 0;
}

// Sine by rotation from an exact start: two multiplications and additions
// per sample instead of a sine.
void fillSine(const ChannelSignal& signal, const Sampler& sampler, std::uint64_t first,
              std::vector<std::uint32_t>& out) {
  const double amplitude = signal.amplitude;
  const double start = 2.0 * std::numbers::pi * sampler.at(first).phase;
  // The step within one period: a frequency far above the sample rate
  // would otherwise turn by a huge angle whose rounding grows sample by
  // sample.
  const long double perSample = sampler.periodsPerSample - std::floor(sampler.periodsPerSample);
  const double step =
      2.0 * std::numbers::pi *
      (sampler.exact ? static_cast<double>(sampler.frequency) / static_cast<double>(sampler.rate)
                     : static_cast<double>(perSample));
  double c = std::cos(start);
  double s = std::sin(start);
  const double cd = std::cos(step);
  const double sd = std::sin(step);
  for (std::uint32_t& word : out) {
    word = static_cast<std::uint32_t>(toInt32(rounded(amplitude * s)));
    const double next = s * cd + c * sd;
    c = c * cd - s * sd;
    s = next;
  }
}

}  // namespace

std::string_view shapeName(Shape shape) {
  switch (shape) {
    case Shape::Sine:
      return "sine";
    case Shape::Square:
      return "square";
    case Shape::Ramp:
      return "ramp";
    case Shape::Counter:
      return "counter";
    case Shape::Noise:
      return "noise";
  }
  return "?";
}

std::optional<Shape> parseShape(std::string_view name) {
  for (Shape shape : {Shape::Sine, Shape::Square, Shape::Ramp, Shape::Counter, Shape::Noise}) {
    if (name == shapeName(shape)) {
      return shape;
    }
  }
  return std::nullopt;
}

std::int32_t signalValue(const ChannelSignal& signal, double sampleRate, std::uint64_t seed,
                         std::uint32_t channel, std::uint64_t k) {
  const Sampler sampler(signal, sampleRate, seed, channel);
  return valueAt(signal, sampler, sampler.at(k), k);
}

void fillSamples(const ChannelSignal& signal, double sampleRate, std::uint64_t seed, std::uint32_t channel,
                 std::uint64_t first, std::vector<std::uint32_t>& out) {
  const Sampler sampler(signal, sampleRate, seed, channel);
  if (signal.shape == Shape::Sine) {
    fillSine(signal, sampler, first, out);
    return;
  }
  std::uint64_t k = first;
  if (signal.shape == Shape::Counter || signal.shape == Shape::Noise) {
    for (std::uint32_t& word : out) {  // no position needed
      word = static_cast<std::uint32_t>(valueAt(signal, sampler, Position{}, k++));
    }
    return;
  }
  Position p = sampler.at(k);
  for (std::uint32_t& word : out) {
    word = static_cast<std::uint32_t>(valueAt(signal, sampler, p, k));
    p = sampler.next(p, k);
    ++k;
  }
}

// ---------------------------------------------------------------- settings

std::array<ChannelSignal, GeneratorSettings::maxChannels> GeneratorSettings::defaultSignals() {
  constexpr Shape cycle[] = {Shape::Sine, Shape::Square, Shape::Ramp, Shape::Noise, Shape::Counter};
  std::array<ChannelSignal, maxChannels> out{};
  for (std::size_t c = 0; c < out.size(); ++c) {
    out[c].shape = cycle[c % std::size(cycle)];
  }
  return out;
}

std::uint32_t GeneratorSettings::maxSamplesPerChannel(std::uint32_t channels) {
  return channels == 0 ? 0 : maxSampleBytes / (4 * channels);
}

void GeneratorSettings::validate() const {
  auto fail = [](const std::string& what) { throw std::invalid_argument(what); };
  if (channels < 1 || channels > maxChannels) {
    fail("channels must be 1 to 8, not " + std::to_string(channels));
  }
  const std::uint32_t most = maxSamplesPerChannel(channels);
  if (samplesPerChannel < 1 || samplesPerChannel > most) {
    fail("samples per channel must be 1 to " + std::to_string(most) + " with " + std::to_string(channels) +
         " channels, not " + std::to_string(samplesPerChannel));
  }
  if (!std::isfinite(sampleRate) || sampleRate <= 0) {
    fail("the sample rate must be a positive number");
  }
  for (std::uint32_t c = 0; c < channels; ++c) {
    if (signals[c].amplitude > maxAmplitude) {
      fail("the amplitude of channel " + std::to_string(c) + " must be at most " +
           std::to_string(maxAmplitude));
    }
    if (!std::isfinite(signals[c].frequency) || signals[c].frequency < 0) {
      fail("the frequency of channel " + std::to_string(c) + " must be a number of 0 or more");
    }
  }
}

// ---------------------------------------------------------------- header faults

std::string_view headerFaultName(HeaderFault fault) {
  switch (fault) {
    case HeaderFault::ProtocolVersion:
      return "protocol-version";
    case HeaderFault::EmptyPackage:
      return "empty";
    case HeaderFault::SizeTooSmall:
      return "size-too-small";
    case HeaderFault::SizeTooLarge:
      return "size-too-large";
    case HeaderFault::TooManyChannels:
      return "too-many-channels";
    case HeaderFault::DataSizeTooLarge:
      return "data-size";
  }
  return "?";
}

std::optional<HeaderFault> parseHeaderFault(std::string_view name) {
  for (HeaderFault fault : allHeaderFaults) {
    if (name == headerFaultName(fault)) {
      return fault;
    }
  }
  return std::nullopt;
}

// ---------------------------------------------------------------- packages

PackageGenerator::PackageGenerator(GeneratorSettings settings) : settings_(settings) { settings_.validate(); }

bool PackageGenerator::endsStream(std::uint64_t number) const {
  // Counted from the first number in 64-bit arithmetic, so that streams
  // go on across the wrap of the numbers to 0.
  const std::uint32_t k = settings_.streamLength;
  return k != 0 && (number - settings_.firstNumber) % k == k - 1;
}

std::uint32_t PackageGenerator::packageSize() const {
  return packageSampleOffset + 4 * settings_.channels * settings_.samplesPerChannel;
}

void PackageGenerator::fill(std::uint64_t number, PackageSpec& spec) const {
  const GeneratorSettings& s = settings_;
  spec.protocolVersion = 1;
  spec.flags = 0;
  spec.endOfStream(endsStream(number));
  spec.headerValue = number;
  spec.statusWord = s.statusWord;
  spec.waveformTypes = {};
  spec.packageSize.reset();
  spec.channelCount.reset();
  spec.dataSize.reset();
  spec.meta = defaultMetaData();
  spec.meta.dspVersion = s.versions.dsp;
  spec.meta.firmwareVersion = s.versions.firmware;
  spec.meta.biosVersion = s.versions.bios;
  spec.samples.resize(s.channels);
  const std::uint64_t first = number * s.samplesPerChannel;
  for (std::uint32_t c = 0; c < s.channels; ++c) {
    spec.waveformTypes[c] = s.waveformTypes[c];
    spec.samples[c].resize(s.samplesPerChannel);
    fillSamples(s.signals[c], s.sampleRate, s.seed, c, first, spec.samples[c]);
  }
}

PackageSpec PackageGenerator::package(std::uint64_t number) const {
  PackageSpec spec;
  fill(number, spec);
  return spec;
}

void PackageGenerator::encodeInto(std::uint64_t number, Bytes& out) {
  fill(number, scratch_);
  boardsim::encodeInto(scratch_, out);
}

Bytes PackageGenerator::malformed(HeaderFault fault, std::uint64_t number) const {
  PackageSpec spec = package(number);
  switch (fault) {
    case HeaderFault::ProtocolVersion:
      spec.protocolVersion = 2;
      return encode(spec);
    case HeaderFault::EmptyPackage:
      spec.packageSize = 0;
      return encodeHeader(spec);
    case HeaderFault::SizeTooSmall:
      spec.packageSize = packageHeaderSize - 1;
      return encodeHeader(spec);
    case HeaderFault::SizeTooLarge:
      spec.packageSize = 65536 + 1;
      return encodeHeader(spec);
    case HeaderFault::TooManyChannels:
      spec.channelCount = GeneratorSettings::maxChannels + 1;
      return encode(spec);
    case HeaderFault::DataSizeTooLarge:
      spec.dataSize = GeneratorSettings::maxSampleBytes + 1;
      return encode(spec);
  }
  return encode(spec);
}

}  // namespace boardsim
