// varnel-bench: how fast Varnel takes a board's stream off the wire, measured
// beside what plain sockets manage on the same machine in the same run.
//
// Everything runs on loopback, 127.0.6.1 to 127.0.6.60 at the board port.
// Every board is a forked child process, so the parent's resource usage
// (getrusage RUSAGE_SELF) is that of the receiving side alone.
//
//   throughput  one board writes pre-built packages as fast as the socket
//               takes them; three receivers in turn on the same traffic:
//                 raw     recv into a 64 KiB buffer, no parsing (transport limit)
//                 2-read  recv exactly the header, then exactly the body
//                 varnel  the library through its public interface
//   latency     one package at a time with the end-of-stream flag and its send
//               time in headerValue; time until the callback sees it, beside the
//               one-way time of a plain blocking receiver, an epoll receiver
//               and a plain socket ping-pong at the same pace
//   scale       1, 8 and 32 boards at once (aggregate rate); resident memory
//               per idle parser, measured in a freshly started process
//
// Every wait has a deadline, every child is killed if need be and always
// reaped, and the program ends by itself.
//
// The parts live in Throughput.cpp, Latency.cpp and Scale.cpp; this file
// holds the options, the run's frame and its summary.

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fmt/core.h>
#include <fmt/format.h>

#include "ChildGroup.hpp"
#include "Errors.hpp"
#include "Latency.hpp"
#include "ProcessFigures.hpp"
#include "Receivers.hpp"
#include "Report.hpp"
#include "Scale.hpp"
#include "Settings.hpp"
#include "Sockets.hpp"
#include "Throughput.hpp"
#include "Timing.hpp"
#include "capture/CaptureWriter.hpp"
#include "stream/PackageFormat.hpp"
#include "varnel/varnel.hpp"

namespace {

using namespace bench;

struct Options {
  int rounds = 5;
  std::vector<std::uint32_t> sizes;
  bool quick = false;
  bool pin = true;
  std::string only;
  std::string csvPath;
  std::string capture;
};

// Two runs at once would share the loopback addresses and the two cores, so
// a run waits for the one before it (at most `waitSeconds`).
Fd takeRunLock(int waitSeconds) {
  const char* const path = "/tmp/varnel-bench.lock";
  Fd fd(::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666));
  if (!fd) {
    return fd;  // no lock to be had; run anyway
  }
  const auto deadline = Clock::now() + std::chrono::seconds(waitSeconds);
  bool told = false;
  while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (Clock::now() >= deadline) {
      throw std::runtime_error(fmt::format("another run still holds {}", path));
    }
    if (!told) {
      fmt::print("varnel-bench: waiting up to {} s for another run to finish ({})\n", waitSeconds, path);
      std::fflush(stdout);
      told = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return fd;
}

// The last resort against a hang: the whole run has a time limit. Children
// die with this process (PR_SET_PDEATHSIG).
extern "C" void onRunLimit(int) {
  static const char message[] = "varnel-bench: run time limit exceeded, giving up\n";
  [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, message, sizeof message - 1);
  _exit(3);
}

void printUsage() {
  fmt::print(
      "usage: varnel-bench [--rounds N] [--quick] [--only throughput|latency|scale] [--sizes LIST]\n"
      "                    [--csv PATH] [--no-pin]\n"
      "\n"
      "Measures the Varnel receiver on loopback (127.0.6.1 to 127.0.6.60, port {}) beside plain\n"
      "socket receivers in the same run, prints tables and writes the figures as CSV.\n"
      "\n"
      "  --rounds N   rounds per throughput case and scale size, median reported (default 5)\n"
      "  --quick      a short smoke run: fewer packages and samples, one round\n"
      "  --only PART  run one part: throughput, latency or scale\n"
      "  --sizes LIST throughput package sizes, comma-separated, 144 to 65536 (default\n"
      "               144,1024,8192,65535)\n"
      "  --csv PATH   CSV output (default varnel-bench.csv in the build folder, next to this\n"
      "               program; the tracked figures in bench/results change only when named)\n"
      "  --capture FILE  with --only throughput: every parser captures what it receives into\n"
      "               FILE as varnel-monitor --capture does (/dev/null: the cost without the disk)\n"
      "  --no-pin     leave boards and receivers to the scheduler (by default the boards run on\n"
      "               the first allowed CPU and the receivers on the last, the same for both\n"
      "               receivers of a pair)\n"
      "  --help       this text\n",
      package::boardPort);
}

// Next to the program, in the build folder: a run (a quick one too) never
// replaces the figures kept in the repository unless --csv names them.
std::string defaultCsvPath() {
  std::error_code ec;
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec || !program.has_parent_path()) {
    return "varnel-bench.csv";
  }
  return (program.parent_path() / "varnel-bench.csv").string();
}

int benchMain(const Options& options) {
  Settings s;
  s.rounds = options.rounds;
  if (!options.sizes.empty()) s.sizes = options.sizes;
  if (options.quick) {
    s.rounds = std::min(s.rounds, 1);
    s.packageDivisor = 20;
    s.latencySamples = 500;
    s.latencyRounds = 2;
    s.scaleWindowSeconds = 0.3;
    s.roundTimeout = std::chrono::seconds(8);
  }
  s.pinning = CpuPinning::choose(options.pin);
  const Fd runLock = takeRunLock(options.quick ? 60 : 600);
  signal(SIGALRM, onRunLimit);
  alarm(options.quick ? 120 : 1800);
  const auto started = Clock::now();
  const double machineCpuStart = machineCpuSeconds();
  const double ownCpuStart = ownCpuSeconds();
  const double stealStart = stealSeconds();
  const mirt::VersionInfo version = mirt::getVersionInfo();
  const std::string loadStart = loadAverage();
  const unsigned cores = std::thread::hardware_concurrency();
  fmt::print("varnel-bench: Varnel {}.{}.{}, {} core{}, rounds {}{}, load average {} at start\n",
             version.major, version.minor, version.patch, cores, cores == 1 ? "" : "s", s.rounds,
             options.quick ? " (quick)" : "", loadStart);

  Report report;
  report.addText("run", "library_version",
                 fmt::format("{}.{}.{}", version.major, version.minor, version.patch));
  report.addText("run", "cores", std::to_string(cores));
  report.addText("run", "rounds", std::to_string(s.rounds));
  report.addText("run", "quick", options.quick ? "1" : "0");
  report.addText("run", "pinning", s.pinning.describe());
  fmt::print("CPUs: {}\n", s.pinning.describe());
  report.addText("run", "load_average_start", loadStart);

  std::unique_ptr<capture::CaptureWriter> captureWriter;
  if (!options.capture.empty()) {
    captureWriter = std::make_unique<capture::CaptureWriter>(options.capture, "varnel-bench");
    captureInto(captureWriter.get());
    report.addText("run", "capture", options.capture);
  }

  const auto wanted = [&](const char* part) { return options.only.empty() || options.only == part; };
  if (wanted("throughput")) {
    runThroughput(s, report);
  }
  if (wanted("latency")) {
    runLatency(s, report);
  }
  if (wanted("scale")) {
    runScale(s, report);
  }

  if (captureWriter) {
    captureInto(nullptr);
    const capture::CaptureFigures c = captureWriter->finish();
    fmt::print("\ncaptured {} bytes of {} connections to {}{}\n", c.bytes, c.connections, options.capture,
               captureWriter->failure() ? ": " + *captureWriter->failure() : std::string());
  }

  const std::string loadEnd = loadAverage();
  const double elapsed = secondsSince(started, Clock::now());
  killAllChildren();  // all reaped already; their time counts as our own
  const double otherCores =
      std::max(0.0, (machineCpuSeconds() - machineCpuStart) - (ownCpuSeconds() - ownCpuStart)) / elapsed;
  report.addText("run", "load_average_end", loadEnd);
  const double stealCores = (stealSeconds() - stealStart) / elapsed;
  report.addText("run", "other_processes_cores", number(otherCores));
  report.addText("run", "steal_cores", number(stealCores));
  report.addText("run", "elapsed_s", number(elapsed));

  fmt::print("\nGoals\n");
  for (const Goal& g : report.goals()) {
    fmt::print("  {:<40} {:>8}   {:<34} {}\n", g.name, number(g.value), g.text, verdict(g.pass));
  }
  const std::string csvPath = options.csvPath.empty() ? defaultCsvPath() : options.csvPath;
  const bool written = report.writeCsv(csvPath);
  fmt::print(
      "\nload average {} at end (this run's own processes included); other processes used {:.2f} of {} "
      "cores\non average during the run, the hypervisor took {:.2f} (steal); {:.1f} s in all; CSV {}{}\n",
      loadEnd, otherCores, cores, stealCores, elapsed, csvPath, written ? "" : " could NOT be written");
  return written ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  Options options;
  std::optional<std::pair<std::string, int>> probe;
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      const auto value = [&]() -> std::string {
        if (i + 1 >= argc) {
          throw std::invalid_argument(arg + " needs a value");
        }
        return argv[++i];
      };
      if (arg == "--help" || arg == "-h") {
        printUsage();
        return 0;
      } else if (arg == "--rounds") {
        options.rounds = std::stoi(value());
        if (options.rounds < 1 || options.rounds > 100) {
          throw std::invalid_argument("--rounds takes 1 to 100");
        }
      } else if (arg == "--no-pin") {
        options.pin = false;
      } else if (arg == "--quick") {
        options.quick = true;
      } else if (arg == "--only") {
        options.only = value();
        if (options.only != "throughput" && options.only != "latency" && options.only != "scale") {
          throw std::invalid_argument("--only takes throughput, latency or scale");
        }
      } else if (arg == "--sizes") {
        const std::string list = value();
        for (std::size_t at = 0; at <= list.size();) {
          const std::size_t comma = std::min(list.find(',', at), list.size());
          const unsigned long size = std::stoul(list.substr(at, comma - at));
          if (size < 144 || size > 65536) {
            throw std::invalid_argument("--sizes takes sizes from 144 to 65536");
          }
          options.sizes.push_back(static_cast<std::uint32_t>(size));
          at = comma + 1;
        }
      } else if (arg == "--csv") {
        options.csvPath = value();
      } else if (arg == "--capture") {
        options.capture = value();
      } else if (arg == "--rss-probe" || arg == "--rss-probe-threads") {
        probe = std::make_pair(arg, std::stoi(value()));
      } else {
        throw std::invalid_argument("unknown option " + arg);
      }
    }
    if (!options.capture.empty() && options.only != "throughput") {
      throw std::invalid_argument("--capture goes with --only throughput (one parser at a time)");
    }
  } catch (const std::exception& e) {
    fmt::print(stderr, "varnel-bench: {} (see --help)\n", e.what());
    return 2;
  }

  int rc = 1;
  try {
    if (probe) {
      rc = rssProbeMain(probe->second, probe->first == "--rss-probe-threads");
    } else {
      rc = benchMain(options);
    }
  } catch (const mirt::VarnelException& e) {
    fmt::print(stderr, "varnel-bench: {}\n", errorText(e));
  } catch (const std::exception& e) {
    fmt::print(stderr, "varnel-bench: {}\n", e.what());
  }
  killAllChildren();
  return rc;
}
