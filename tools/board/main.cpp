// varnel-board: a simulated Ostra6 board on a local address, port 63751.
//
// Streams generated signals as board packages to one client at a time (a
// second one is turned away at once), at a pace or as fast as the client
// reads, with faults on request. See
// usageText below (or --help) for every option.
#if defined(_WIN32)
#include <windows.h>
#else
#include <signal.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <string>
#include <variant>
#include <vector>

#include "board/BoardOptions.hpp"
#include "board/NatsServe.hpp"
#include "boardsim/BoardServer.hpp"
#include "boardsim/ReplayServer.hpp"
#include "capture/CaptureReader.hpp"
#include "capture/StreamReassembler.hpp"
#include "common/CommandLine.hpp"
#include "common/Wording.hpp"
#include "stream/PackageFormat.hpp"

namespace {

constexpr const char* usageText = R"(usage: varnel-board [--bind ADDRESS] [options]

Serves a simulated Ostra6 board on ADDRESS, TCP port 63751: it streams
numbered packages of generated signals to one client at a time; a client
that connects while another is served is turned away at once: the board
closes its connection and says so in its log. Package numbers
(headerValue) and signals run on from one client to the next.
Stops on SIGINT or SIGTERM (on Windows: Ctrl-C, Ctrl-Break or closing the
console), or when a limit below is reached.

Address:
  --bind ADDRESS           numeric IPv4 or IPv6 address or host name to
                           listen on (default 127.0.0.1); of a name's
                           addresses the first is used

Packages:
  --channels N             channels per package, 1 to 8 (default 4)
  --samples N              samples per channel (default 1000); at most
                           16352 / channels, so that a package fits the
                           receiver's 64 KiB buffer
  --sample-rate HZ         samples per second and channel: the time base of
                           the signals (default 100000)
  --shape SHAPE            shape of every channel not named by --signal:
                           sine, square, ramp, counter or noise (default:
                           channels 0, 1, 2, 3, 4, ... cycle through sine,
                           square, ramp, noise, counter)
  --amplitude A            peak value, 0 to 2147483647 (default 10000)
  --frequency HZ           periods per second (default 100)
  --signal C=SHAPE[:AMPLITUDE[:FREQUENCY]]
                           signal of channel C (0 to 7), overriding the
                           options above with what it gives; repeatable.
                           Samples are signed 32-bit values: sine and
                           square swing between -A and +A, ramp rises from
                           -A to +A once per period, noise is uniform in
                           [-A, A], counter is the running sample number of
                           the channel.
  --waveform-type C=CODE   waveform type code of channel C, 0 to 255
                           (default C + 1); repeatable
  --seed N                 seed of the noise shape (default 1)
  --first-number N         headerValue of the first package (default 1); it
                           counts up by one per package
  --status-word N          status word of every package (default 0; bit 30,
                           0x40000000, tells the receiver that the stream
                           goes on despite an end-of-stream flag)
  --dsp-version N          DSP version in the meta data (default 3646, read
                           as DSP 646)
  --firmware-version N     firmware version (default 0x127, read as
                           firmware 639)
  --bios-version N         BIOS version (default 0x40)
  --old-board              versions older than the receiver's minimum (DSP
                           645 (raw 1645), firmware 638 (raw 0x26), BIOS
                           0x3f): the receiver refuses the first package
  Numbers may be given in decimal or as 0x-prefixed hexadecimal. The
  receiver reads the DSP version modulo 1000 and the firmware version as
  its low seven bits plus 600; its minimum is DSP 646, firmware 639 and
  BIOS 0x40.

Pace and length:
  --rate N                 packages per second, fractions allowed
                           (default 100); 0: as fast as the client reads
  --fast                   the same as --rate 0
  --stream-length K        packages per stream: every K-th package carries
                           the end-of-stream flag (default 25); 0: one
                           endless stream, the flag is never set
  --count N                stop after N packages in all, closing the
                           connection in order after the last (default: no
                           limit)
  --duration SECONDS       stop after SECONDS, fractions allowed (default: no
                           limit)
  --clients N              stop after serving N clients (default: no limit)

Faults (none by default; played on every connection, N counts the packages
sent on it):
  --close-after N          close the connection in order after N packages
  --cut-after N            after N packages send only part of the next one,
                           then close the connection
  --cut-at BYTES           bytes of the cut package that are sent, fewer
                           than its size (default: half of it; below 36 the
                           header is cut)
  --reset-after N          abort the connection (TCP reset) after N packages
  --stall-after N          send nothing for --stall-ms after N packages, then
                           go on
  --stall-ms MS            length of the stall (default 2000)
  --bad-header KIND        after --bad-header-after packages send one package
                           whose header the receiver refuses, then wait for
                           the client to close. KIND: protocol-version (2),
                           empty (size 0), size-too-small (35),
                           size-too-large (65537), too-many-channels (9),
                           data-size (sample bytes beyond the buffer)
  --bad-header-after N     (default 0)
  --skip-every N           after every N packages leave out one package
                           number, a gap in headerValue (default: never)

Replay (instead of generated packages):
  --replay FILE            serve the board's byte stream of a capture (pcap or
                           pcapng, as tcpdump or varnel-monitor --capture
                           write it) to each client that connects, one at a
                           time: the TCP conversation on port 63751, its bytes
                           put together by sequence number (copies dropped,
                           segments put in order), with the capture's timing;
                           after the last byte the connection ends as in the
                           capture: closed after a FIN, reset after a RST,
                           else held open until the client closes it
  --flow N                 the conversation to serve, when the capture holds
                           several (without it they are listed)
  --holes stop|skip        at bytes the capture missed (each reported with its
                           byte range): end the stream there and close the
                           connection (stop, the default: the bytes after a
                           hole do not begin a package), or go on with the
                           bytes after the hole (skip)
  --speed X                X times as fast as captured (default 1); --fast:
                           as fast as the client reads
  --loop                   after the last byte start again, on the same
                           connection
  --write-stream OUT       write the board's bytes to OUT and exit, serving
                           nothing
  With --replay only --bind, --fast, --clients, --duration and --quiet of the
  options above apply. Replay needs a build with libpcap.

From NATS (instead of generated packages):
  --from-nats URL SUBJECT  serve the hand-overs that varnel-bridge publishes
                           to a JetStream subject, to any number of clients;
                           see varnel-board --from-nats URL SUBJECT --help

Output:
  --quiet                  no lines on standard error but errors
  --help                   this text

One line on standard error when the board listens, when a client connects,
when it disconnects and when a client is turned away, unless --quiet.

Exit status: 0 after a stop (signal, --count, --duration, --clients); 1 when
the address cannot be bound or a socket fails, or the --replay file is not
a capture or holds no conversation on port 63751; 2 for a wrong command
line (a host name that cannot be resolved included, and a capture of several
conversations without --flow).
)";

using board::BoardOptions;

std::atomic<boardsim::BoardServer*> runningBoard{nullptr};
std::atomic<boardsim::ReplayServer*> runningReplay{nullptr};
std::atomic<int> stopSignal{0};

// Makes a board reachable from the signal handler while it exists.
template <typename Server>
struct SignalTarget {
  SignalTarget(Server& board, std::atomic<Server*>& running) : running(running) {
    running.store(&board);
    if (stopSignal != 0) board.requestStop();  // a signal came before
  }
  ~SignalTarget() { running.store(nullptr); }
  SignalTarget(const SignalTarget&) = delete;
  SignalTarget& operator=(const SignalTarget&) = delete;
  std::atomic<Server*>& running;
};

void requestStop(int number) {
  stopSignal.store(number);
  if (boardsim::BoardServer* board = runningBoard.load()) board->requestStop();
  if (boardsim::ReplayServer* replay = runningReplay.load()) replay->requestStop();
}

#if defined(_WIN32)
// Ctrl-C, Ctrl-Break and the console's closing reach the console's control
// handler, which Windows runs on a thread of its own.
BOOL WINAPI onConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
  requestStop(static_cast<int>(event) + 1);
  return TRUE;
}

void installSignalHandlers() { ::SetConsoleCtrlHandler(onConsoleControl, TRUE); }
#else
extern "C" void onStopSignal(int number) { requestStop(number); }

void installSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}
#endif

std::string describe(const boardsim::BoardServer& board) {
  const auto& g = board.generator().settings();
  const auto& s = board.settings();
  std::string text = cli::counted(g.channels, "channel") + " x " +
                     cli::counted(g.samplesPerChannel, "sample") + " (" +
                     std::to_string(board.generator().packageSize()) + "-byte packages), ";
  if (s.packagesPerSecond > 0) {
    char rate[32];
    std::snprintf(rate, sizeof rate, "%g", s.packagesPerSecond);
    text += std::string(rate) + " packages/s, ";
  } else {
    text += "as fast as the client reads, ";
  }
  text += g.streamLength == 0 ? "one endless stream" : "streams of " + std::to_string(g.streamLength);
  return text;
}

std::string seconds(std::int64_t nanoseconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", static_cast<double>(nanoseconds) / 1e9);
  return text;
}

// The capture's board stream for --replay, with what was found on the way
// on standard error; nothing when the run ends here, with its exit status.
std::variant<capture::BoardStream, int> loadReplay(const BoardOptions& o, std::string& described) {
  capture::CaptureFile file;
  if (std::FILE* probe = std::fopen(o.replay.c_str(), "rb")) {
    std::fclose(probe);
  } else {
    std::cerr << "varnel-board: cannot open " << o.replay << ": " << std::strerror(errno) << std::endl;
    return 1;
  }
  // The frames go to the reassembler as they are read: only the board's
  // bytes are kept.
  capture::StreamReassembler reassembler(package::boardPort);
  try {
    file = capture::CaptureReader::read(o.replay, [&](int linkType, const capture::CapturedFrame& frame) {
      reassembler.add(linkType, frame);
    });
  } catch (const capture::CaptureError& e) {
    std::cerr << "varnel-board: " << o.replay
              << " is not a capture libpcap reads (pcap or pcapng): " << e.what() << std::endl;
    return 1;
  } catch (const std::invalid_argument& e) {
    std::cerr << "varnel-board: " << o.replay << ": " << e.what() << std::endl;
    return 1;
  }
  if (!file.truncated.empty()) {
    // A file cut short, or one libpcap cannot read on (frames of another
    // link type from a second interface, say).
    std::cerr << "varnel-board: reading " << o.replay << " stopped after "
              << cli::counted(file.frameCount, "frame") << " (" << file.truncated
              << "); replaying what was read" << std::endl;
  }
  if (reassembler.fragments() != 0) {
    std::cerr << "varnel-board: " << o.replay << ": " << cli::counted(reassembler.fragments(), "IP fragment")
              << " skipped (not put together)" << std::endl;
  }
  const std::vector<capture::Conversation> conversations = reassembler.conversations();
  if (conversations.empty()) {
    std::cerr << "varnel-board: " << o.replay << " holds no TCP conversation on port " << package::boardPort
              << " (" << cli::counted(file.frameCount, "frame") << ")" << std::endl;
    return 1;
  }
  const auto line = [&](std::size_t i) {
    const capture::Conversation& c = conversations[i];
    return std::to_string(i + 1) + ": board " + c.board + ", client " + c.client + ", " +
           cli::counted(c.boardBytes, "byte") + " from the board, from " +
           seconds(c.startNs - conversations.front().startNs) + " into the capture";
  };
  if (o.flow > conversations.size() || (o.flow == 0 && conversations.size() > 1)) {
    std::cerr << "varnel-board: " << o.replay << " holds "
              << cli::counted(conversations.size(), "conversation") << " on port " << package::boardPort
              << ":\n";
    for (std::size_t i = 0; i < conversations.size(); ++i) std::cerr << "  " << line(i) << '\n';
    std::cerr << "varnel-board: choose one with --flow N (1 to " << conversations.size() << ")" << std::endl;
    return 2;
  }
  const std::size_t index = o.flow == 0 ? 0 : o.flow - 1;
  capture::BoardStream stream = reassembler.takeStream(index, o.holes);
  if (!stream.startSeen) {
    std::cerr << "varnel-board: the capture begins inside the connection (without the board's SYN-ACK): the "
                 "stream starts at the first byte captured, which may be inside a package"
              << std::endl;
  }
  // The stream's length with its holes: a hole that ends there is the
  // capture's end, with nothing behind it.
  std::uint64_t span = stream.bytes.size();
  for (const capture::Hole& h : stream.holes) span += h.end - h.first;
  for (std::size_t i = 0; i < stream.holes.size(); ++i) {
    const capture::Hole& h = stream.holes[i];
    std::cerr << "varnel-board: the capture misses bytes " << h.first << " to " << h.end - 1
              << " of the board's stream (" << cli::counted(h.end - h.first, "byte") << ")"
              << (o.holes == capture::HolePolicy::Stop
                      ? "; the stream ends there (--holes skip goes on behind it)"
                  : h.end < span ? "; skipped, the stream goes on behind it"
                                 : "; the capture ends there")
              << std::endl;
  }
  const char* ending = stream.end == capture::StreamEnd::Closed  ? "then closed"
                       : stream.end == capture::StreamEnd::Reset ? "then reset"
                                                                 : "then held open";
  const std::int64_t last = stream.pieces.empty() ? stream.startNs : stream.pieces.back().timeNs;
  described = "replaying " + o.replay + ", conversation " + line(index) + "; " +
              cli::counted(stream.bytes.size(), "byte") + " over " + seconds(last - stream.startNs) + ", " +
              ending;
  return stream;
}

int runReplay(const BoardOptions& o) {
  std::string described;
  auto loaded = loadReplay(o, described);
  if (const int* status = std::get_if<int>(&loaded)) return *status;
  capture::BoardStream& stream = std::get<capture::BoardStream>(loaded);
  if (!o.writeStream.empty()) {
    std::FILE* out = std::fopen(o.writeStream.c_str(), "wb");
    bool written = out != nullptr;
    if (written) {
      // A conversation may carry no byte of the board's (fwrite takes no
      // null buffer, even for nothing).
      written = stream.bytes.empty() ||
                std::fwrite(stream.bytes.data(), 1, stream.bytes.size(), out) == stream.bytes.size();
      written = std::fflush(out) == 0 && written;
      const int error = errno;
      written = std::fclose(out) == 0 && written;
      if (!written && errno == 0) errno = error;
    }
    if (!written) {
      std::cerr << "varnel-board: cannot write " << o.writeStream << ": " << std::strerror(errno)
                << std::endl;
      return 1;
    }
    if (!o.quiet) {
      std::cerr << "varnel-board: wrote " << cli::counted(stream.bytes.size(), "byte")
                << " of the board's stream to " << o.writeStream << std::endl;
    }
    return 0;
  }
  boardsim::ReplaySettings settings;
  settings.address = o.server.address;
  settings.speed = o.server.packagesPerSecond == 0 ? 0.0 : o.speed.value_or(1.0);
  settings.loop = o.loop;
  settings.clients = o.server.clients;
  settings.duration = o.server.duration;
  if (settings.speed == 0) {
    described += ", as fast as the client reads";
  } else if (settings.speed != 1) {
    char speed[48];
    std::snprintf(speed, sizeof speed, ", %g times as fast as captured", settings.speed);
    described += speed;
  }
  if (settings.loop) described += ", looped";
  const bool quiet = o.quiet;
  auto report = [&](const boardsim::ServerEvent& e) {
    if (quiet) return;
    switch (e.kind) {
      case boardsim::ServerEvent::Kind::Listening:
        std::cerr << "varnel-board: listening on " << e.peer << ": " << described << std::endl;
        break;
      case boardsim::ServerEvent::Kind::Connected:
        std::cerr << "varnel-board: client " << e.client << " connected from " << e.peer << std::endl;
        break;
      case boardsim::ServerEvent::Kind::Disconnected:
        std::cerr << "varnel-board: client " << e.client << " (" << e.peer << ") disconnected after "
                  << cli::counted(e.bytes, "byte") << ": " << e.how << std::endl;
        break;
      case boardsim::ServerEvent::Kind::TurnedAway:
        std::cerr << "varnel-board: turned away a client from " << e.peer << ": client " << e.client << " ("
                  << e.how << ") is being served, one client at a time" << std::endl;
        break;
    }
  };
  boardsim::ReplayServer board(settings, std::move(stream), report);
  const SignalTarget target(board, runningReplay);
  const boardsim::StopReason reason = board.run();
  if (!quiet) {
    std::cerr << "varnel-board: " << boardsim::stopReasonText(reason) << "; "
              << cli::counted(board.bytesSent(), "byte") << " to "
              << cli::counted(board.clientsServed(), "client") << std::endl;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (const std::optional<int> status = boardnats::serveIfAsked(argc, argv)) return *status;
  const auto start =
      cli::readCommandLine<BoardOptions>("varnel-board", usageText, argc, argv, board::parseBoardOptions);
  if (const int* status = std::get_if<int>(&start)) return *status;
  const BoardOptions& options = std::get<BoardOptions>(start);

  installSignalHandlers();
#if !defined(_WIN32)
  // --write-stream past a file size limit fails with EFBIG and says so,
  // rather than the board being killed.
  ::signal(SIGXFSZ, SIG_IGN);
#endif
  if (!options.replay.empty()) {
    try {
      return runReplay(options);
    } catch (const std::invalid_argument& e) {
      return cli::usageFailure("varnel-board", e.what());
    } catch (const std::exception& e) {
      std::cerr << "varnel-board: " << e.what() << std::endl;
      return 1;
    }
  }
  const bool quiet = options.quiet;
  const boardsim::BoardServer* self = nullptr;
  auto report = [&](const boardsim::ServerEvent& e) {
    if (quiet) return;
    switch (e.kind) {
      case boardsim::ServerEvent::Kind::Listening:
        std::cerr << "varnel-board: listening on " << e.peer << ": " << describe(*self) << std::endl;
        break;
      case boardsim::ServerEvent::Kind::Connected:
        std::cerr << "varnel-board: client " << e.client << " connected from " << e.peer << std::endl;
        break;
      case boardsim::ServerEvent::Kind::Disconnected:
        std::cerr << "varnel-board: client " << e.client << " (" << e.peer << ") disconnected after "
                  << cli::counted(e.packages, "package") << ", " << cli::counted(e.bytes, "byte") << ": "
                  << e.how << std::endl;
        break;
      case boardsim::ServerEvent::Kind::TurnedAway:
        std::cerr << "varnel-board: turned away a client from " << e.peer << ": client " << e.client << " ("
                  << e.how << ") is being served, one client at a time" << std::endl;
        break;
    }
  };

  try {
    boardsim::BoardServer board(options.server, options.generator, report);
    self = &board;
    const SignalTarget target(board, runningBoard);
    const boardsim::StopReason reason = board.run();
    if (!quiet) {
      std::cerr << "varnel-board: " << boardsim::stopReasonText(reason) << "; "
                << cli::counted(board.packagesSent(), "package") << ", "
                << cli::counted(board.bytesSent(), "byte") << " to "
                << cli::counted(board.clientsServed(), "client") << std::endl;
    }
    return 0;
  } catch (const std::invalid_argument& e) {
    return cli::usageFailure("varnel-board", e.what());
  } catch (const std::exception& e) {
    std::cerr << "varnel-board: " << e.what() << std::endl;
    return 1;
  }
}
