#include "board/BoardOptions.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "capture/CaptureReader.hpp"
#include "common/CommandLine.hpp"
#include "common/HostName.hpp"
#include "common/Wording.hpp"

namespace board {

namespace {

constexpr std::uint32_t maxChannels = boardsim::GeneratorSettings::maxChannels;
constexpr std::uint64_t maxAmplitude = 2147483647;
constexpr double maxFrequency = 1e9;

// The options that apply to a replay, and those that only do there.
constexpr std::array<std::string_view, 7> replayAlso{"--help",     "--bind",  "--fast",  "--clients",
                                                     "--duration", "--quiet", "--replay"};
constexpr std::array<std::string_view, 5> replayOnly{"--flow", "--holes", "--speed", "--loop",
                                                     "--write-stream"};

// What the command line says of the signals and of the board's versions,
// before it is applied to the channels: --shape, --amplitude and
// --frequency for every channel, --signal per channel over them.
struct SignalChoices {
  std::optional<boardsim::Shape> shape;
  std::optional<std::uint32_t> amplitude;
  std::optional<double> frequency;
  struct Override {
    std::optional<boardsim::Shape> shape;
    std::optional<std::uint32_t> amplitude;
    std::optional<double> frequency;
  };
  std::array<Override, maxChannels> overrides{};
  std::array<bool, maxChannels> named{};  // by --signal or --waveform-type
  bool oldBoard = false;
  std::optional<std::uint32_t> dsp, firmware, bios;
};

// The current option's value as a whole number from 0 to `max`. The name
// is copied first: value() may step on to the next argument, and the order
// in which call arguments are evaluated differs between compilers and CPUs.
std::uint64_t count(cli::Arguments& args, std::uint64_t max = UINT64_MAX) {
  const std::string option(args.name());
  return cli::toUnsigned(args.value(), option, 0, max);
}

// "C=REST": the channel number and the text behind '='.
std::pair<std::uint32_t, std::string> channelAssignment(const std::string& text, std::string_view option) {
  const std::size_t equals = text.find('=');
  if (equals == std::string::npos) {
    throw cli::UsageError(std::string(option) + ": '" + text + "' is not of the form C=...");
  }
  const auto channel = static_cast<std::uint32_t>(
      cli::toUnsigned(std::string_view(text).substr(0, equals), option, 0, maxChannels - 1));
  return {channel, text.substr(equals + 1)};
}

boardsim::Shape shapeOf(std::string_view text, std::string_view option) {
  const auto shape = boardsim::parseShape(text);
  if (!shape) {
    throw cli::UsageError(std::string(option) + ": unknown shape '" + std::string(text) +
                          "' (sine, square, ramp, counter, noise)");
  }
  return *shape;
}

// Each of the following reads the current option when it is one of its
// group and returns true; false for any other option.

// --replay and the options that go with it.
bool readReplayOption(cli::Arguments& args, const std::string& option, BoardOptions& o) {
  if (args.is("--replay")) {
    o.replay = args.value();
    if (o.replay.empty()) throw cli::UsageError("--replay needs a file name");
  } else if (args.is("--flow")) {
    o.flow = static_cast<std::size_t>(cli::toUnsigned(args.value(), option, 1, 1000000));
  } else if (args.is("--holes")) {
    const std::string policy = args.value();
    if (policy != "stop" && policy != "skip") {
      throw cli::UsageError("--holes: '" + policy + "' is neither stop nor skip");
    }
    o.holes = policy == "skip" ? capture::HolePolicy::Skip : capture::HolePolicy::Stop;
  } else if (args.is("--speed")) {
    o.speed = cli::toNumber(args.value(), option, 1e-6, 1e6);
  } else if (args.is("--loop")) {
    o.loop = args.flag();
  } else if (args.is("--write-stream")) {
    o.writeStream = args.value();
    if (o.writeStream.empty()) throw cli::UsageError("--write-stream needs a file name");
  } else {
    return false;
  }
  return true;
}

// What the packages carry: channels, samples, signals, meta data.
bool readPackageOption(cli::Arguments& args, const std::string& option, boardsim::GeneratorSettings& g,
                       SignalChoices& c) {
  if (args.is("--channels")) {
    g.channels = static_cast<std::uint32_t>(cli::toUnsigned(args.value(), option, 1, 8));
  } else if (args.is("--samples")) {
    g.samplesPerChannel = static_cast<std::uint32_t>(
        cli::toUnsigned(args.value(), option, 1, boardsim::GeneratorSettings::maxSamplesPerChannel(1)));
  } else if (args.is("--sample-rate")) {
    g.sampleRate = cli::toNumber(args.value(), option, 1e-3, 1e12);
  } else if (args.is("--shape")) {
    c.shape = shapeOf(args.value(), option);
  } else if (args.is("--amplitude")) {
    c.amplitude = static_cast<std::uint32_t>(count(args, maxAmplitude));
  } else if (args.is("--frequency")) {
    c.frequency = cli::toNumber(args.value(), option, 0, maxFrequency);
  } else if (args.is("--signal")) {
    const auto [channel, rest] = channelAssignment(args.value(), option);
    SignalChoices::Override& v = c.overrides[channel];
    const std::size_t first = rest.find(':');
    v.shape = shapeOf(std::string_view(rest).substr(0, first), option);
    if (first != std::string::npos) {
      const std::size_t second = rest.find(':', first + 1);
      v.amplitude = static_cast<std::uint32_t>(cli::toUnsigned(
          std::string_view(rest).substr(first + 1, second - first - 1), option, 0, maxAmplitude));
      if (second != std::string::npos) {
        v.frequency = cli::toNumber(std::string_view(rest).substr(second + 1), option, 0, maxFrequency);
      }
    }
    c.named[channel] = true;
  } else if (args.is("--waveform-type")) {
    const auto [channel, code] = channelAssignment(args.value(), option);
    g.waveformTypes[channel] = static_cast<std::uint8_t>(cli::toUnsigned(code, option, 0, 255));
    c.named[channel] = true;
  } else if (args.is("--seed")) {
    g.seed = count(args);
  } else if (args.is("--first-number")) {
    g.firstNumber = count(args);
  } else if (args.is("--status-word")) {
    g.statusWord = static_cast<std::uint32_t>(count(args, UINT32_MAX));
  } else if (args.is("--dsp-version")) {
    c.dsp = static_cast<std::uint32_t>(count(args, UINT32_MAX));
  } else if (args.is("--firmware-version")) {
    c.firmware = static_cast<std::uint32_t>(count(args, UINT32_MAX));
  } else if (args.is("--bios-version")) {
    c.bios = static_cast<std::uint32_t>(count(args, UINT32_MAX));
  } else if (args.is("--old-board")) {
    c.oldBoard = args.flag();
  } else {
    return false;
  }
  return true;
}

// Where the board listens, its pace, and how long it serves.
bool readServingOption(cli::Arguments& args, const std::string& option, boardsim::ServerSettings& s,
                       boardsim::GeneratorSettings& g) {
  if (args.is("--bind")) {
    s.address = args.value();
  } else if (args.is("--rate")) {
    s.packagesPerSecond = cli::toNumber(args.value(), option, 0, 1e6);
  } else if (args.is("--fast")) {
    args.flag();
    s.packagesPerSecond = 0;
  } else if (args.is("--stream-length")) {
    g.streamLength = static_cast<std::uint32_t>(count(args, UINT32_MAX));
  } else if (args.is("--count")) {
    s.count = count(args);
  } else if (args.is("--duration")) {
    s.duration = std::chrono::milliseconds(
        static_cast<std::int64_t>(cli::toNumber(args.value(), option, 0.001, 1e9) * 1000.0 + 0.5));
  } else if (args.is("--clients")) {
    s.clients = count(args);
  } else {
    return false;
  }
  return true;
}

// The faults played on every connection.
bool readFaultOption(cli::Arguments& args, const std::string& option, boardsim::ServerSettings& s) {
  if (args.is("--close-after")) {
    s.faults.closeAfter = count(args);
  } else if (args.is("--cut-after")) {
    s.faults.cutAfter = count(args);
  } else if (args.is("--cut-at")) {
    s.faults.cutAt = static_cast<std::uint32_t>(cli::toUnsigned(args.value(), option, 1, UINT32_MAX));
  } else if (args.is("--reset-after")) {
    s.faults.resetAfter = count(args);
  } else if (args.is("--stall-after")) {
    s.faults.stallAfter = count(args);
  } else if (args.is("--stall-ms")) {
    s.faults.stallFor = std::chrono::milliseconds(count(args, 86400000));
  } else if (args.is("--bad-header")) {
    const std::string kind = args.value();
    s.faults.badHeader = boardsim::parseHeaderFault(kind);
    if (!s.faults.badHeader) {
      throw cli::UsageError(option + ": unknown kind '" + kind +
                            "' (protocol-version, empty, size-too-small, size-too-large, "
                            "too-many-channels, data-size)");
    }
  } else if (args.is("--bad-header-after")) {
    s.faults.badHeaderAfter = count(args);
  } else if (args.is("--skip-every")) {
    s.skipEvery = cli::toUnsigned(args.value(), option, 1, UINT64_MAX);
  } else {
    return false;
  }
  return true;
}

// With --replay only the options of replayAlso and replayOnly, without it
// none of replayOnly.
void checkReplayOptions(const std::vector<std::string>& given, const BoardOptions& o) {
  for (const std::string& option : given) {
    const auto among = [&](const auto& list) {
      return std::find(list.begin(), list.end(), option) != list.end();
    };
    if (!o.replay.empty() && !among(replayAlso) && !among(replayOnly)) {
      throw cli::UsageError(option + " does not go with --replay, which serves the capture's bytes");
    }
    if (o.replay.empty() && among(replayOnly)) throw cli::UsageError(option + " needs --replay");
  }
  if (!o.replay.empty() && !o.help && !capture::CaptureReader::available()) {
    throw cli::UsageError("--replay: this build of varnel-board reads no captures (built without libpcap)");
  }
  if (o.speed && o.server.packagesPerSecond == 0)
    throw cli::UsageError("--speed and --fast exclude each other");
}

// Gives every channel its signal, and the board its versions.
void applySignalChoices(const SignalChoices& c, boardsim::GeneratorSettings& g) {
  for (std::uint32_t channel = 0; channel < maxChannels; ++channel) {
    if (c.named[channel] && channel >= g.channels) {
      throw cli::UsageError("channel " + std::to_string(channel) + " is named, but packages have " +
                            cli::counted(g.channels, "channel") + " (--channels)");
    }
    boardsim::ChannelSignal& signal = g.signals[channel];
    const SignalChoices::Override& v = c.overrides[channel];
    signal.shape = v.shape.value_or(c.shape.value_or(signal.shape));
    signal.amplitude = v.amplitude.value_or(c.amplitude.value_or(signal.amplitude));
    signal.frequency = v.frequency.value_or(c.frequency.value_or(signal.frequency));
  }
  if (c.oldBoard) g.versions = boardsim::BoardVersions::tooOld();
  if (c.dsp) g.versions.dsp = *c.dsp;
  if (c.firmware) g.versions.firmware = *c.firmware;
  if (c.bios) g.versions.bios = *c.bios;
}

}  // namespace

BoardOptions parseBoardOptions(int argc, char** argv) {
  BoardOptions o;
  SignalChoices choices;
  std::vector<std::string> given;
  cli::Arguments args(argc, argv);
  while (args.next()) {
    const std::string option(args.name());
    if (args.isOption()) given.push_back(option);
    if (args.is("--help")) {
      o.help = args.flag();
    } else if (args.is("--quiet")) {
      o.quiet = args.flag();
    } else if (readReplayOption(args, option, o) || readPackageOption(args, option, o.generator, choices) ||
               readServingOption(args, option, o.server, o.generator) ||
               readFaultOption(args, option, o.server)) {
      continue;
    } else if (args.isOption()) {
      throw cli::UsageError("unknown option " + option);
    } else {
      throw cli::UsageError("unexpected argument '" + std::string(args.current()) +
                            "' (the address goes after --bind)");
    }
  }

  checkReplayOptions(given, o);
  // A detail of a fault without the fault would be taken without effect.
  for (const auto& [detail, fault] :
       {std::pair{"--cut-at", "--cut-after"}, std::pair{"--stall-ms", "--stall-after"},
        std::pair{"--bad-header-after", "--bad-header"}}) {
    const auto has = [&](const char* name) {
      return std::find(given.begin(), given.end(), name) != given.end();
    };
    if (has(detail) && !has(fault)) throw cli::UsageError(std::string(detail) + " needs " + fault);
  }
  applySignalChoices(choices, o.generator);
  o.server.address = cli::resolveHost(o.server.address).front();
  const std::uint32_t most = boardsim::GeneratorSettings::maxSamplesPerChannel(o.generator.channels);
  if (o.generator.samplesPerChannel > most) {
    throw cli::UsageError("--samples: at most " + std::to_string(most) +
                          " samples per channel fit a package of " + std::to_string(o.generator.channels) +
                          " channels");
  }
  return o;
}

}  // namespace board
