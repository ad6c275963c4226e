// varnel-monitor --record against varnel-board: the HDF5 file is read back
// with h5py (check_recording.py, run by Debian's interpreter) and every
// sample and meta data field compared with what the board sent, which this
// test makes again with the board's own package generator. Every test binds
// its own address in the recording block (1 to 20).
#include <signal.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "boardsim/SignalGenerator.hpp"
#include "support/Loopback.hpp"
#include "tools/ToolSupport.hpp"

using namespace tooltest;

#ifndef VARNEL_RECORDING_CHECKER
#error "VARNEL_RECORDING_CHECKER must name check_recording.py"
#endif
#ifndef VARNEL_PYTHON_DIR
#error "VARNEL_PYTHON_DIR must name the directory of the Python package"
#endif

namespace {

const std::string python = "/usr/bin/python3";

// The board's settings, once as its command line and once for the
// generator that predicts its packages.
struct BoardSetup {
  std::string options;
  boardsim::GeneratorSettings settings;
};

BoardSetup deterministicBoard(const std::string& pace) {
  BoardSetup b;
  b.options = pace +
              " --channels 3 --samples 40 --first-number 1000 --signal 0=counter --signal 1=ramp:1000:250"
              " --signal 2=sine:30000:77 --waveform-type 2=200";
  b.settings.channels = 3;
  b.settings.samplesPerChannel = 40;
  b.settings.firstNumber = 1000;
  b.settings.signals[0] = {boardsim::Shape::Counter, 10000, 100};
  b.settings.signals[1] = {boardsim::Shape::Ramp, 1000, 250};
  b.settings.signals[2] = {boardsim::Shape::Sine, 30000, 77};
  b.settings.waveformTypes[2] = 200;
  return b;
}

// A fresh directory for the files of one test, removed when the test passed.
struct WorkDirectory {
  std::filesystem::path path;
  WorkDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "varnel-recording-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = pattern;
  }
  ~WorkDirectory() {
    if (!::testing::Test::HasFailure()) {
      std::error_code ignored;
      std::filesystem::remove_all(path, ignored);
    }
  }
};

// The number behind "NAME: " at the start of a line of `text`; -1 if none.
double figure(const std::string& text, const std::string& name) {
  const std::string key = "\n" + name + ": ";
  const std::size_t at = text.find(key);
  if (at == std::string::npos) return -1;
  return std::strtod(text.c_str() + at + key.size(), nullptr);
}

// Writes the samples of the packages numbered first .. first + count - 1,
// channel c to DIR/c.u32 (little-endian uint32, package after package).
void writeExpectedSamples(const boardsim::GeneratorSettings& settings, std::uint64_t count,
                          const std::filesystem::path& dir) {
  const boardsim::PackageGenerator generator(settings);
  std::vector<std::ofstream> files;
  for (std::uint32_t c = 0; c < settings.channels; ++c) {
    files.emplace_back(dir / (std::to_string(c) + ".u32"), std::ios::binary);
  }
  for (std::uint64_t i = 0; i < count; ++i) {
    const boardsim::PackageSpec spec = generator.package(settings.firstNumber + i);
    for (std::uint32_t c = 0; c < settings.channels; ++c) {
      files[c].write(reinterpret_cast<const char*>(spec.samples[c].data()),
                     static_cast<std::streamsize>(spec.samples[c].size() * sizeof(std::uint32_t)));
    }
  }
  for (auto& f : files) {
    f.close();
    ASSERT_TRUE(f.good());
  }
}

// Runs the checker on `file` for `packages` packages of `setup`; its
// findings become the test's.
void checkRecording(const std::filesystem::path& file, const BoardSetup& setup, std::uint64_t packages,
                    const std::filesystem::path& dir, const std::string& address,
                    const std::string& monitorSettings) {
  writeExpectedSamples(setup.settings, packages, dir);
  const mirt::VersionInfo v = mirt::getVersionInfo();
  std::string types;
  for (std::uint32_t c = 0; c < setup.settings.channels; ++c) {
    types += (c == 0 ? "" : ",") + std::to_string(setup.settings.waveformTypes[c]);
  }
  std::vector<std::string> args = {
      VARNEL_RECORDING_CHECKER,
      file.string(),
      "--expected",
      dir.string(),
      "--packages",
      std::to_string(packages),
      "--first-number",
      std::to_string(setup.settings.firstNumber),
      "--channels",
      std::to_string(setup.settings.channels),
      "--samples",
      std::to_string(setup.settings.samplesPerChannel),
      "--waveform-types",
      types,
      "--address",
      address,
      "--library-version",
      std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.patch)};
  for (const std::string& word : words(monitorSettings)) args.push_back(word);
  ChildProcess checker(python, args);
  EXPECT_EQ(checker.wait(patience), 0) << checker.outputs();
  EXPECT_NE(checker.out().find("recording ok"), std::string::npos) << checker.outputs();
}

}  // namespace

TEST(Recording, EverySampleAndMetaFieldArrivesInTheFile) {
  const std::string address = support::loopback(support::Block::Recording, 1);
  WorkDirectory dir;
  const std::filesystem::path file = dir.path / "run.h5";
  const BoardSetup setup = deterministicBoard("--rate 1000");
  auto board = startBoard(address, setup.options);
  const std::string settings = "--package-counter 10 --wait-ms 100 --tcp-timeout 5";
  ChildProcess monitor(monitorPath, words(address + " --retry 20 --quiet --count 147 " + settings +
                                          " --record " + file.string()));
  ASSERT_EQ(monitor.wait(patience), 0) << monitor.outputs() << "\n--- board:\n" << board->outputs();
  const std::string& out = monitor.out();
  EXPECT_NE(out.find("stopped: count reached"), std::string::npos) << out;
  const double packages = figure(out, "packages");
  EXPECT_EQ(packages, 147) << out;  // within a hand-over of 10: the rest is not recorded
  // Everything received is recorded: nothing dropped, nothing skipped.
  EXPECT_EQ(figure(out, "recorded"), packages) << out;
  EXPECT_NE(out.find(" packages of 3 ch x 40 to " + file.string() + " ("), std::string::npos) << out;
  EXPECT_EQ(figure(out, "dropped"), 0) << out;
  EXPECT_EQ(figure(out, "skipped"), 0) << out;
  EXPECT_GT(std::filesystem::file_size(file), 147u * 3 * 40 * 4);
  EXPECT_EQ(monitor.err(), "");
  checkRecording(file, setup, static_cast<std::uint64_t>(packages), dir.path, address, settings);
  board->signal(SIGTERM);
  EXPECT_EQ(board->wait(patience), 0) << board->outputs();
}

TEST(Recording, SigintClosesTheFileWithAConsistentPrefix) {
  const std::string address = support::loopback(support::Block::Recording, 2);
  WorkDirectory dir;
  const std::filesystem::path file = dir.path / "interrupted.h5";
  const BoardSetup setup = deterministicBoard("--rate 300");
  auto board = startBoard(address, setup.options);
  ChildProcess monitor(monitorPath, words(address + " --retry 20 --record " + file.string()));
  // The first status line comes after a second of receiving: mid-run.
  ASSERT_TRUE(monitor.waitForOutput(" packages/s ", patience)) << monitor.outputs();
  monitor.signal(SIGINT);
  ASSERT_EQ(monitor.wait(patience), 0) << monitor.outputs();
  const std::string& out = monitor.out();
  EXPECT_NE(out.find("stopped: interrupted (SIGINT)"), std::string::npos) << out;
  const double packages = figure(out, "packages");
  EXPECT_GT(packages, 0) << out;
  EXPECT_EQ(figure(out, "recorded"), packages) << out;
  EXPECT_EQ(figure(out, "dropped"), 0) << out;
  checkRecording(file, setup, static_cast<std::uint64_t>(packages), dir.path, address,
                 "--package-counter 25 --wait-ms 250 --tcp-timeout 10");
  board->signal(SIGTERM);
  EXPECT_EQ(board->wait(patience), 0) << board->outputs();
}

TEST(Recording, AFileThatCannotBeMadeFailsBeforeConnecting) {
  ChildProcess monitor(monitorPath, {support::loopback(support::Block::Recording, 3), "--record",
                                     "/nonexistent-directory/run.h5"});
  EXPECT_EQ(monitor.wait(patience), 1) << monitor.outputs();
  EXPECT_NE(
      monitor.err().find("varnel-monitor: recording to /nonexistent-directory/run.h5 failed: cannot create"),
      std::string::npos)
      << monitor.err();
  EXPECT_EQ(monitor.out(), "");

  // Nor is a recording of that name replaced when the capture cannot be made:
  // its folder is missing, or the system refuses the name.
  WorkDirectory dir;
  const std::filesystem::path kept = dir.path / "run.h5";
  std::ofstream(kept) << "an earlier run";
  for (const std::string& capture : {std::string("/nonexistent-directory/run.pcapng"),
                                     (dir.path / (std::string(300, 'c') + ".pcapng")).string()}) {
    ChildProcess both(monitorPath, {support::loopback(support::Block::Recording, 3), "--record",
                                    kept.string(), "--capture", capture});
    EXPECT_EQ(both.wait(patience), 1) << both.outputs();
    EXPECT_NE(both.err().find("capture to " + capture + " failed"), std::string::npos) << both.err();
    EXPECT_EQ(std::filesystem::file_size(kept), std::string("an earlier run").size()) << capture;
  }
}

// The full disk of the next tests, for a capture: the run ends at once, and
// the summary claims no more than the file holds.
TEST(Recording, ACaptureOnAFullDiskEndsTheRunAndClaimsWhatTheFileHolds) {
  const std::string address = support::loopback(support::Block::Recording, 6);
  WorkDirectory dir;
  const std::filesystem::path file = dir.path / "full.pcapng";
  auto board = startBoard(address, "--rate 500 --channels 4 --samples 1000");
  ChildProcess monitor("/bin/sh", {"-c", "ulimit -f 4096; exec " + monitorPath + " " + address +
                                             " --retry 20 --quiet --duration 15 --capture " + file.string()});
  ASSERT_EQ(monitor.wait(patience), 1) << monitor.outputs() << "\n--- board:\n" << board->outputs();
  const std::string& out = monitor.out();
  EXPECT_NE(out.find("stopped: capture failed"), std::string::npos) << out;
  EXPECT_NE(monitor.err().find("failed: cannot write " + file.string() + ": File too large"),
            std::string::npos)
      << monitor.err();
  // "captured: N bytes of 1 connection to PATH (M bytes)"
  const std::size_t line = out.find("captured: ");
  ASSERT_NE(line, std::string::npos) << out;
  const std::size_t open = out.find(" (", line);
  const double claimed = std::strtod(out.c_str() + open + 2, nullptr);
  EXPECT_GT(claimed, 1u << 20) << out;
  // What the failed write left of a block behind them is cut away again.
  EXPECT_EQ(claimed, std::filesystem::file_size(file)) << out;
  board->signal(SIGTERM);
  EXPECT_EQ(board->wait(patience), 0) << board->outputs();
}

// A disk that fills up during the recording, made by a file size limit of
// 2 MiB (ulimit -f counts 512-byte blocks in /bin/sh): the monitor ignores
// SIGXFSZ, so that writing past it fails with EFBIG as a full disk fails
// with ENOSPC. Packages of 16 kB: at 500 per second the old writer ran out of
// room inside a data write, at 50 inside a flush.
struct FullDisk {
  const char* name;
  unsigned host;
  const char* rate;
};

void PrintTo(const FullDisk& param, std::ostream* out) { *out << param.rate << " packages/s"; }

class RecordingOnAFullDisk : public ::testing::TestWithParam<FullDisk> {};

TEST_P(RecordingOnAFullDisk, EndsWithExit1AndAFileThatHoldsWhatItClaims) {
  const FullDisk& param = GetParam();
  const std::string address = support::loopback(support::Block::Recording, param.host);
  WorkDirectory dir;
  const std::filesystem::path file = dir.path / "full.h5";
  BoardSetup setup;
  setup.options = std::string("--rate ") + param.rate + " --channels 4 --samples 1000 --shape counter";
  setup.settings.channels = 4;
  setup.settings.samplesPerChannel = 1000;
  for (auto& signal : setup.settings.signals) signal.shape = boardsim::Shape::Counter;
  auto board = startBoard(address, setup.options);
  const std::string settings = "--package-counter 25 --wait-ms 250 --tcp-timeout 10";
  ChildProcess monitor("/bin/sh", {"-c", "ulimit -f 4096; exec " + monitorPath + " " + address +
                                             " --retry 20 --quiet --duration 15 --record " + file.string()});
  ASSERT_EQ(monitor.wait(patience), 1) << monitor.outputs() << "\n--- board:\n" << board->outputs();
  const std::string& out = monitor.out();
  EXPECT_NE(out.find("stopped: recording failed"), std::string::npos) << out;
  const double recorded = figure(out, "recorded");
  EXPECT_GT(recorded, 0) << out;
  EXPECT_EQ(figure(out, "dropped"), 0) << out;
  EXPECT_GT(figure(out, "not recorded"), 0) << out;
  EXPECT_LE(std::filesystem::file_size(file), 2u << 20);
  // One line of the monitor's own, no HDF5 error stack.
  EXPECT_EQ(monitor.err(), "varnel-monitor: recording to " + file.string() +
                               " failed: File too large; the file holds " +
                               std::to_string(static_cast<std::uint64_t>(recorded)) + " packages\n");
  // Every row claimed is there: the first packages the board sent.
  checkRecording(file, setup, static_cast<std::uint64_t>(recorded), dir.path, address, settings);

  // plot draws the rows, or says in one line why it cannot (no matplotlib).
  const std::filesystem::path png = dir.path / "full.png";
  ChildProcess plot("/usr/bin/env", {"PYTHONPATH=" VARNEL_PYTHON_DIR, "MPLBACKEND=Agg", python, "-m",
                                     "varnel", "plot", file.string(), "-o", png.string()});
  const std::optional<int> status = plot.wait(patience);
  if (status == 0) {
    EXPECT_NE(plot.out().find("packages: " + std::to_string(static_cast<std::uint64_t>(recorded)) +
                              " (numbers 1 to "),
              std::string::npos)
        << plot.outputs();
    EXPECT_TRUE(std::filesystem::exists(png));
  } else {
    EXPECT_EQ(status, 1) << plot.outputs();
    EXPECT_EQ(std::count(plot.err().begin(), plot.err().end(), '\n'), 1) << plot.outputs();
  }
  board->signal(SIGTERM);
  EXPECT_EQ(board->wait(patience), 0) << board->outputs();
}

INSTANTIATE_TEST_SUITE_P(Recording, RecordingOnAFullDisk,
                         ::testing::Values(FullDisk{"FailingInADataWrite", 4, "500"},
                                           FullDisk{"FailingInAFlush", 5, "50"}),
                         [](const auto& info) { return std::string(info.param.name); });
