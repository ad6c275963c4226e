#pragma once

// Simulated acquisition: per channel a signal shape, sampled on a common
// time base, cut into numbered packages.
//
// Every value is a pure function of the settings and of its position, so a
// package can be made again from its number alone: a receiver (or a test)
// that knows the settings can tell exactly what a package must hold.
//
// Time base: sample i of the package numbered n is the running sample
// k = n * samplesPerChannel + i of its channel, taken at t = k / sampleRate.
// Packages that are never sent (skipped numbers) leave a gap in time too,
// as lost packages of a real board would.
//
// Values are signed 32-bit integers around zero, put on the wire as their
// two's complement bit pattern:
//   sine     round(A * sin(2 pi f t))
//   square   +A in the first half of each period, -A in the second
//   ramp     rises from -A to just below +A once per period
//   counter  k itself (amplitude and frequency unused), wrapping at 2^32
//   noise    uniform in [-A, A], from a hash of (seed, channel, k)

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "boardsim/PackageBuilder.hpp"

namespace boardsim {

enum class Shape : std::uint8_t { Sine, Square, Ramp, Counter, Noise };

/// "sine", "square", "ramp", "counter", "noise".
std::string_view shapeName(Shape shape);
/// The shape of that name; nothing for any other text.
std::optional<Shape> parseShape(std::string_view name);

/// The signal of one channel.
struct ChannelSignal {
  Shape shape = Shape::Sine;
  /// Peak value, at most 2^31 - 1.
  std::uint32_t amplitude = 10000;
  /// Periods per second; 0 gives a constant (sine 0, square +A, ramp -A).
  double frequency = 100.0;
};

/// Value of running sample `k` of `channel`.
std::int32_t signalValue(const ChannelSignal& signal, double sampleRate, std::uint64_t seed,
                         std::uint32_t channel, std::uint64_t k);

/// Values of the running samples first, first + 1, ... of `channel` into
/// `out` (its size says how many), as wire words. Equal to signalValue for
/// every shape but sine, which is computed by rotation from an exact start
/// and may differ from signalValue by one where the product lies within
/// rounding error of a half.
void fillSamples(const ChannelSignal& signal, double sampleRate, std::uint64_t seed, std::uint32_t channel,
                 std::uint64_t first, std::vector<std::uint32_t>& out);

/// Board versions that pass the library's minimum (DSP 3646, firmware
/// 0x127, BIOS 0x40) and ones that fail it (DSP 1645, firmware 38, BIOS 0x3f).
struct BoardVersions {
  std::uint32_t dsp = 3646;
  std::uint32_t firmware = 0x127;
  std::uint32_t bios = 0x40;
  static BoardVersions tooOld() { return {1645, 38, 0x3F}; }
};

struct GeneratorSettings {
  static constexpr std::uint32_t maxChannels = 8;
  /// Largest sample area a package may carry (the receiver's 65536-byte
  /// buffer behind the 128-byte sample offset).
  static constexpr std::uint32_t maxSampleBytes = 65536 - packageSampleOffset;

  std::uint32_t channels = 4;
  std::uint32_t samplesPerChannel = 1000;
  /// Samples per second and channel: the time base of the signals.
  double sampleRate = 100000.0;
  /// Defaults cycle through sine, square, ramp, noise, counter.
  std::array<ChannelSignal, maxChannels> signals = defaultSignals();
  /// Waveform type code per channel; defaults 1 to 8.
  std::array<std::uint8_t, maxChannels> waveformTypes{1, 2, 3, 4, 5, 6, 7, 8};
  /// Seed of the noise shape.
  std::uint64_t seed = 1;
  /// Packages per stream: the package numbered first + K - 1, first + 2K - 1,
  /// ... carries the end-of-stream flag. 0: endless, the flag is never set.
  std::uint32_t streamLength = 25;
  /// Number (headerValue) of the first package.
  std::uint64_t firstNumber = 1;
  std::uint32_t statusWord = 0;
  BoardVersions versions;

  static std::array<ChannelSignal, maxChannels> defaultSignals();
  /// Most samples per channel that fit a package of `channels` channels.
  static std::uint32_t maxSamplesPerChannel(std::uint32_t channels);

  /// Throws std::invalid_argument naming the first setting out of range.
  void validate() const;
};

/// The malformed headers the receiver refuses.
enum class HeaderFault {
  ProtocolVersion,  // protocol version 2
  EmptyPackage,     // package size 0
  SizeTooSmall,     // package size 35, shorter than the header
  SizeTooLarge,     // package size 65537, larger than the receive buffer
  TooManyChannels,  // 9 channels
  DataSizeTooLarge  // sample bytes reaching past the receive buffer
};

/// "protocol-version", "empty", "size-too-small", "size-too-large",
/// "too-many-channels", "data-size".
std::string_view headerFaultName(HeaderFault fault);
std::optional<HeaderFault> parseHeaderFault(std::string_view name);
inline constexpr std::array<HeaderFault, 6> allHeaderFaults{
    HeaderFault::ProtocolVersion, HeaderFault::EmptyPackage,    HeaderFault::SizeTooSmall,
    HeaderFault::SizeTooLarge,    HeaderFault::TooManyChannels, HeaderFault::DataSizeTooLarge};

class PackageGenerator {
 public:
  /// Throws std::invalid_argument for settings out of range.
  explicit PackageGenerator(GeneratorSettings settings);

  const GeneratorSettings& settings() const { return settings_; }

  /// The package numbered `number`: headerValue `number`, the end-of-stream
  /// flag as the stream length says, status word, waveform types, board
  /// versions and the samples of every channel.
  PackageSpec package(std::uint64_t number) const;
  /// encode(package(number)) into `out`, reusing its storage.
  void encodeInto(std::uint64_t number, Bytes& out);
  /// The package numbered `number` with the header fault applied: as many
  /// bytes as the board sends (only the header where the stated size
  /// cannot be sent as it is).
  Bytes malformed(HeaderFault fault, std::uint64_t number) const;

  bool endsStream(std::uint64_t number) const;
  /// Bytes of every well-formed package.
  std::uint32_t packageSize() const;

 private:
  void fill(std::uint64_t number, PackageSpec& spec) const;

  GeneratorSettings settings_;
  PackageSpec scratch_;
};

}  // namespace boardsim
