// varnel-monitor: receives a board's data stream through the library's
// class interface and shows what arrives.
//
// This file reads the command line; Session.cpp runs the monitor. The
// library's callback (Receiver.hpp) only pops the packages and adds them to
// the totals under a mutex, keeping the latest package; the main thread
// prints the status (Report.hpp) and watches the connection. With --record
// the callback also queues the packages for the recorder's writer thread
// (Recorder.hpp). See usageText (or --help).
#if !defined(_WIN32)
#include <signal.h>
#endif

#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>
#include <variant>

#include "common/CommandLine.hpp"
#include "common/HostName.hpp"
#include "monitor/NatsSource.hpp"
#include "monitor/Options.hpp"
#include "monitor/Recorder.hpp"
#include "monitor/Session.hpp"

namespace {

using monitor::Clock;
using monitor::Options;

constexpr const char* usageText = R"(usage: varnel-monitor ADDRESS [options]

Connects to the board at ADDRESS (numeric IPv4 or IPv6 address or host
name, port 63751; a name's addresses are tried in turn; or
nats://HOST[:PORT]/SUBJECT: the hand-overs that varnel-bridge publishes to
the JetStream subject varnel.NAME, from the start of the stream, with
everything below as for a board), receives its data
stream through the Varnel library and shows what arrives: on a terminal a
status line refreshed once a second, otherwise a plain line each second.
Ctrl-C (SIGINT) or SIGTERM (on Windows: Ctrl-C, Ctrl-Break or closing the
console) disconnects and prints the summary; while a connect is in
progress, once it ends (at most --tcp-timeout for each address). A second
one ends the monitor at once, without the summary or closing a recording.

Library settings:
  --package-counter N   packages per hand-over to the monitor (library
                        default 25)
  --wait-ms N           longest time between two hand-overs in milliseconds
                        (library default 250)
  --tcp-timeout S       how long connecting may take in seconds (library
                        default 10)

Run:
  --duration SECONDS    stop after SECONDS of receiving, fractions allowed
                        (default: until Ctrl-C)
  --count PACKAGES      stop after exactly PACKAGES packages; later ones
                        are neither counted nor recorded
  --retry SECONDS       while nothing listens at ADDRESS, try connecting
                        again for up to SECONDS (default 0: fail at once)
  --reconnect           when the connection fails (the board closed or
                        reset it, is restarting, sent what the library
                        refuses, or stopped answering), say so on standard
                        error and connect again: after 0.1 s, then after
                        twice the previous wait, at most 5 s, back to 0.1 s
                        once a connection brought packages; until the run
                        ends. The summary counts the reconnects and the
                        gaps in the package numbers across them.
  --quiet               no status lines; only the summary and errors
  --help                this text

Recording:
  --record FILE.h5      write every package received into the HDF5 file
                        FILE.h5 (replaced if it exists): per channel a
                        dataset /channels/<c> of uint32 samples (package x
                        sample), the meta data, waveform types, receive
                        time (when the library read it) and hand-over time
                        of each package in the table /packages, the
                        settings, start time (UTC) and library version as
                        attributes of the root. Written while it arrives and
                        flushed once a second; closed on every stop. The
                        first package with samples decides channels and
                        samples per channel; packages of another shape or
                        without samples are skipped.
                        Packages that find the writer's queue (1024
                        packages) full are dropped. Both are counted in the
                        summary. A full disk ends the recording (exit 1);
                        the file keeps the packages of its last flush.

Capture:
  --capture FILE.pcapng write the bytes the library receives from the board,
                        with their receive times, as a pcapng file (replaced
                        if it exists) of one TCP conversation per connection
                        (Ethernet, IP and TCP headers made up around the
                        bytes, with the real addresses and ports), which
                        tshark and Wireshark open and varnel-board --replay
                        serves again. Also what the library refuses is in
                        it. Written on a thread of its own; closed on every
                        stop. A write failure (a full disk) ends the run
                        (exit 1). With --record, neither file is made while
                        the other cannot be; they must be two files.

Status: state, packages, streams (hand-overs that carried packages) and
megabytes (10^6 bytes of the complete packages the library accepted, as
they came over the wire) per second over the last second, channels x
samples per channel, gaps (jumps in the running package number
headerValue), the board versions from the meta data as the library's
version check reads them (DSP: modulo 1000; firmware: its low seven bits
plus 600), with the raw value beside where it differs, and per channel
minimum/maximum/mean of the latest package, its samples read as signed
32-bit values.

Summary (standard output, after every run that connected): packages,
streams and empty hand-overs, each with the library's own count in
parentheses (they differ only when --count left packages uncounted), the
bytes of the complete packages the library accepted, gaps with the count
of package numbers missing, the missing numbers as ranges (the first 20
ranges and how many more), the library's connections, failures, largest
hand-over, packages it destroyed unpopped and the time spent in the
callback, duration and mean rates; with --reconnect the reconnects and the
gaps across them; with --record also the packages recorded, dropped and
skipped and the file's size.

Exit status:
   0  stopped by --duration, --count, Ctrl-C or SIGTERM (with --reconnect
      also after failed connections, unless no connection brought a
      package: then the exit status of the last failure)
   1  any other failure (a recording that cannot be written included)
   2  wrong command line (a host name that cannot be resolved included)
  10 + the library's error code, with its text on standard error:
  10  Unspecified
  11  ConnectionFailed: the connect failed (refused, unreachable, timed out;
      also when Ctrl-C or SIGTERM stops the monitor before any connection)
  12  CommunicationError: the connection broke or a package was malformed
  13  GeneralError
  14  VersionMismatch: wrong protocol version or board firmware too old
A board that accepts the connection but whose first packages are refused
exits with the code of that refusal, also when it came before the connect
had returned. A board that closes the connection exits with 12, and the
monitor says that the board closed it after how many complete packages,
and whether between two packages or inside one (its header or body). A
board that serves another client closes the connection of a second one
before its first package.
)";

Clock::duration seconds(double value) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(value));
}

// Where a file of that name would be made: absolute (weakly_canonical
// leaves a relative path relative when none of it exists yet: "run.h5"
// against "./run.h5"), through a last link that leads nowhere yet (which
// weakly_canonical leaves alone) and through every other link.
std::filesystem::path placeOf(const std::string& name, std::error_code& error) {
  namespace fs = std::filesystem;
  fs::path place = fs::absolute(name, error);
  for (int links = 0; links < 40 && !error && fs::is_symlink(fs::symlink_status(place, error)); ++links) {
    const fs::path target = fs::read_symlink(place, error);
    place = target.is_absolute() ? target : place.parent_path() / target;
  }
  return fs::weakly_canonical(place, error);
}

// Whether two paths name one file: the same file through links or other
// spellings when it is there, the same place when it is not yet.
bool sameFile(const std::string& a, const std::string& b) {
  namespace fs = std::filesystem;
  std::error_code error;
  if (fs::equivalent(a, b, error)) return true;
  std::error_code errorA, errorB;
  const fs::path placeA = placeOf(a, errorA);
  const fs::path placeB = placeOf(b, errorB);
  if (errorA || errorB) return fs::path(a).lexically_normal() == fs::path(b).lexically_normal();
  return placeA == placeB;
}

Options parse(int argc, char** argv) {
  Options o;
  cli::Arguments args(argc, argv);
  auto u32 = [&](std::uint64_t min) {
    // The name is copied first: value() may step on to the next argument,
    // and the order in which call arguments are evaluated differs between
    // compilers and CPUs.
    const std::string option(args.name());
    return static_cast<std::uint32_t>(cli::toUnsigned(args.value(), option, min, UINT32_MAX));
  };
  while (args.next()) {
    const std::string option(args.name());
    if (args.is("--help")) {
      o.help = args.flag();
    } else if (args.is("--package-counter")) {
      o.packageCounter = u32(1);
    } else if (args.is("--wait-ms")) {
      o.waitMs = u32(1);
    } else if (args.is("--tcp-timeout")) {
      o.tcpTimeout = u32(1);
    } else if (args.is("--duration")) {
      o.duration = seconds(cli::toNumber(args.value(), option, 0.001, 1e9));
    } else if (args.is("--count")) {
      o.count = cli::toUnsigned(args.value(), option, 1, UINT64_MAX);
    } else if (args.is("--retry")) {
      o.retry = seconds(cli::toNumber(args.value(), option, 0, 86400));
    } else if (args.is("--reconnect")) {
      o.reconnect = args.flag();
    } else if (args.is("--record")) {
      o.record = args.value();
      if (o.record.empty()) throw cli::UsageError("--record needs a file name");
    } else if (args.is("--capture")) {
      o.capture = args.value();
      if (o.capture.empty()) throw cli::UsageError("--capture needs a file name");
    } else if (args.is("--quiet")) {
      o.quiet = args.flag();
    } else if (args.isOption()) {
      throw cli::UsageError("unknown option " + option);
    } else if (o.address.empty()) {
      o.address = std::string(args.current());
    } else {
      throw cli::UsageError("unexpected argument '" + std::string(args.current()) + "'");
    }
  }
  if (o.help) return o;
  if (o.address.empty()) throw cli::UsageError("the board's ADDRESS is missing");
  if (!o.record.empty() && !o.capture.empty() && sameFile(o.record, o.capture)) {
    throw cli::UsageError("--record and --capture name the same file, " + o.capture);
  }
  if (o.duration && o.count != 0) throw cli::UsageError("--duration and --count exclude each other");
  if (!o.record.empty() && !monitor::Recorder::available()) {
    throw cli::UsageError("--record: this build of varnel-monitor has no HDF5 recording");
  }
  if (!monitor::NatsSource::names(o.address)) {
    o.addresses = cli::resolveHost(o.address);
  } else if (const std::string wrong = monitor::NatsSource::problem(o.address); !wrong.empty()) {
    throw cli::UsageError(wrong);
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
#if !defined(_WIN32)
  // A write past a file size limit (ulimit -f) fails with EFBIG, which the
  // recording and the capture report as a full disk, instead of killing
  // the monitor with nothing said and the file not closed.
  ::signal(SIGXFSZ, SIG_IGN);
#endif
  const auto start = cli::readCommandLine<Options>("varnel-monitor", usageText, argc, argv, parse);
  if (const int* status = std::get_if<int>(&start)) return *status;
  return monitor::runMonitor(std::get<Options>(start));
}
