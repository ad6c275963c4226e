#include "monitor/Session.hpp"

#if defined(_WIN32)
#include <io.h>
#include <signal.h>
#include <windows.h>
#else
#include <pthread.h>
#include <signal.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <varnel/varnel.hpp>

#include "capture/CaptureWriter.hpp"
#include "common/HostName.hpp"
#include "common/Wording.hpp"
#include "monitor/Board.hpp"
#include "monitor/NatsSource.hpp"
#include "monitor/Receiver.hpp"
#include "monitor/Recorder.hpp"
#include "monitor/Report.hpp"

namespace monitor {

namespace {

using namespace std::chrono_literals;

// A first stop signal while the main thread waits in a connect, which the
// library does not let go of before its TCP timeout: says how long the stop
// may take and how to stop at once.
void sayStopWaitsForConnect(const Shared& shared) {
  if (shared.connectingFor == 0) return;
  std::cerr << "varnel-monitor: stopping once the connect in progress ends (at most "
            << cli::counted(shared.connectingFor, "second")
            << "); Ctrl-C again ends at once, without the summary or closing a recording" << std::endl;
}

#if defined(_WIN32)
// Ctrl-C and Ctrl-Break (as SIGINT) and the console's closing (as SIGTERM)
// reach the console's control handler, which Windows runs on a thread of
// its own; it wakes the main thread. A second one ends the process at once.
class SignalWatcher {
 public:
  explicit SignalWatcher(Shared& shared) {
    watched.store(&shared);
    ::SetConsoleCtrlHandler(onControl, TRUE);
  }
  ~SignalWatcher() {
    ::SetConsoleCtrlHandler(onControl, FALSE);
    watched.store(nullptr);
  }
  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

 private:
  static BOOL WINAPI onControl(DWORD event) {
    int number = 0;
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) number = SIGINT;
    if (event == CTRL_CLOSE_EVENT) number = SIGTERM;
    Shared* shared = watched.load();
    if (number == 0 || shared == nullptr) return FALSE;
    std::unique_lock lock(shared->mutex);
    if (shared->stopSignal != 0) std::_Exit(128 + number);
    shared->stopSignal = number;
    sayStopWaitsForConnect(*shared);
    lock.unlock();
    shared->changed.notify_all();
    return TRUE;
  }
  static inline std::atomic<Shared*> watched{nullptr};
};
#else
// SIGINT and SIGTERM are blocked in every thread (the library's threads
// inherit the mask) and taken by one thread with sigwait, which wakes the
// main thread. A second signal ends the process at once.
class SignalWatcher {
 public:
  explicit SignalWatcher(Shared& shared) {
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    sigaddset(&set_, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &set_, nullptr);
    thread_ = std::thread([this, &shared] {
      for (;;) {
        int number = 0;
        if (sigwait(&set_, &number) != 0 || number == SIGUSR1) return;
        std::unique_lock lock(shared.mutex);
        if (shared.stopSignal != 0) std::_Exit(128 + number);
        shared.stopSignal = number;
        sayStopWaitsForConnect(shared);
        lock.unlock();
        shared.changed.notify_all();
      }
    });
  }
  ~SignalWatcher() {
    pthread_kill(thread_.native_handle(), SIGUSR1);
    thread_.join();
  }
  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

 private:
  sigset_t set_{};
  std::thread thread_;
};
#endif

// --reconnect: the wait before the first try, and the most it grows to.
constexpr Clock::duration firstBackOff = 100ms;
constexpr Clock::duration longestBackOff = 5s;
constexpr Clock::time_point never = Clock::time_point::max();

int recordingFailure(const std::string& path, const std::string& text) {
  std::cerr << "varnel-monitor: recording to " << path << " failed: " << text << std::endl;
  return 1;
}

int captureFailure(const std::string& path, const std::string& text) {
  std::cerr << "varnel-monitor: capture to " << path << " failed: " << text << std::endl;
  return 1;
}

// Why a file cannot be made at `path` (its folder is missing or is no
// folder, the path names a folder, or the system refuses to open it for
// writing: no permission, a name too long, ...); nothing if it can. Tried
// without changing a file that is there; a file made for the try is
// removed again. Only a regular file or a plain name not there yet is
// tried: opening a FIFO would end its reader's stream, and a file made
// through a link that leads nowhere could not be removed by its name.
std::optional<std::string> cannotMake(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path file(path);
  if (fs::is_directory(file, error)) return "it is a folder";
  const fs::path folder = file.has_parent_path() ? file.parent_path() : fs::path(".");
  if (!fs::is_directory(folder, error)) return "the folder " + folder.string() + " does not exist";
  const fs::file_status status = fs::symlink_status(file, error);
  const bool existed = fs::exists(status);
  if (existed && !fs::is_regular_file(fs::status(file, error))) return std::nullopt;
  errno = 0;
  std::FILE* const opened = std::fopen(path.c_str(), "ab");
  if (opened == nullptr) {
    const int cause = errno;
    return "cannot create " + path + ": " + (cause != 0 ? std::strerror(cause) : "the system refused it");
  }
  std::fclose(opened);
  if (!existed) fs::remove(file, error);
  return std::nullopt;
}

// The steps of a run. The members are made in the order of their
// declaration and destroyed the other way round: the recorder, the capture
// and the receiver outlive the parsers, which use them.
class Session {
 public:
  explicit Session(const Options& options) : options_(options), signals_(shared_) {}

  int run() {
    if (const std::optional<int> status = openOutputs()) return *status;
    receiver_ = std::make_unique<Receiver>(shared_, recorder_.get(), options_.count);
    board_ = std::make_unique<Board>(options_, *receiver_, capture_.get());
    if (const std::optional<int> status = connect()) return *status;
    watch();
    return finish();
  }

 private:
  // The recording and the capture; the exit status when either cannot be
  // made.
  std::optional<int> openOutputs() {
    // Neither file is made while the other cannot be: making one replaces
    // a file of that name. (The command line has refused one file named
    // twice.)
    if (!options_.record.empty() && !options_.capture.empty()) {
      if (const std::optional<std::string> why = cannotMake(options_.record)) {
        return recordingFailure(options_.record, *why);
      }
      if (const std::optional<std::string> why = cannotMake(options_.capture)) {
        return captureFailure(options_.capture, *why);
      }
    }
    if (!options_.record.empty()) {
      try {
        recorder_ = std::make_unique<Recorder>(
            RecordingSettings{options_.record, options_.address, options_.packageCounter.value_or(25),
                              options_.waitMs.value_or(250), options_.tcpTimeout.value_or(10)});
      } catch (const std::exception& e) {
        return recordingFailure(options_.record, e.what());
      }
    }
    if (!options_.capture.empty()) {
      try {
        capture_ = std::make_unique<capture::CaptureWriter>(options_.capture, "varnel-monitor");
      } catch (const std::exception& e) {
        return captureFailure(options_.capture, e.what());
      }
    }
    return std::nullopt;
  }

  // The first connect, tried again for --retry; the exit status when it
  // failed. A board that was reached connects even when it fails at once
  // (its first package refused, or closed after a few): the watch takes
  // that as a failed connection, after the packages it brought.
  std::optional<int> connect() {
    const auto retryUntil = Clock::now() + options_.retry;
    for (int attempt = 1;; ++attempt) {
      // The figures count every package of the connection, so their clock
      // starts with the connect that made it: the board sends from the
      // moment the connection exists, which on a slow machine can be a good
      // while before connect() returns here.
      start_ = Clock::now();
      const std::optional<Failure> failed = connectBoard();
      if (!failed) return std::nullopt;
      const int signal = stopSignal();
      if (Clock::now() >= retryUntil || signal != 0) {
        std::cerr << "varnel-monitor: cannot connect to "
                  << cli::describeHost(options_.address, options_.addresses) << " ("
                  << cli::counted(static_cast<std::uint64_t>(attempt), "attempt")
                  << (signal == 0         ? ""
                      : signal == SIGTERM ? "; stopped by SIGTERM"
                                          : "; stopped by SIGINT")
                  << ")" << std::endl;
        return reportFailure({mirt::VarnelException::ConnectionFailed, failed->text, failed->cause});
      }
      std::unique_lock lock(shared_.mutex);
      shared_.changed.wait_for(lock, 100ms, [&] { return shared_.stopSignal != 0; });
    }
  }

  // Until the run's end, a signal, the count or a failure (or, with
  // --reconnect, only the first three); each turn waits at most 50 ms, the
  // time in which a failure is noticed, and makes at most one connect.
  void watch() {
#if defined(_WIN32)
    terminal_ = ::_isatty(::_fileno(stdout)) != 0;
#else
    terminal_ = ::isatty(STDOUT_FILENO) == 1;
#endif
    if (!options_.quiet) std::cout << "connected to " << connectedTo() << std::endl;
    end_ = options_.duration ? start_ + *options_.duration : Clock::time_point::max();
    nextStatus_ = start_ + 1s;
    lastStatus_ = start_;
    for (;;) {
      if (waitForStop()) break;
      const auto now = Clock::now();
      if (now >= end_) {
        stopped_ = "duration over";
        break;
      }
      if (now >= reconnectAt_) reconnect();
      const mirt::ConnectionState state = board_->parser().getState();
      if (state == mirt::ConnectionState::Error && reconnectAt_ == never) {
        // A failed connection has handed over all it received before it
        // reports the failure: one that brought the count has done what
        // the run was for, and is neither reported nor followed by another.
        if (countReachedNow()) break;
        if (!connectionFailed(now)) break;
      }
      if (recorder_ && (recordingError_ = recorder_->failure())) {
        stopped_ = "recording failed";
        break;
      }
      if (capture_ && capture_->failure()) {
        stopped_ = "capture failed";
        break;
      }
      if (now >= nextStatus_) showStatus(state, now);
    }
    elapsed_ = Clock::now() - start_;
    if (statusShown_) std::cout << std::endl;  // ends the refreshed line before anything else is printed
  }

  // Waits for a signal or the count, up to the next status line and at
  // most 50 ms; true when the run ends with either.
  bool waitForStop() {
    std::unique_lock lock(shared_.mutex);
    const auto until = std::min({nextStatus_, Clock::now() + 50ms, end_});
    shared_.changed.wait_until(lock, until, [&] { return shared_.stopSignal != 0 || shared_.countReached; });
    if (shared_.stopSignal != 0) {
      stopped_ = shared_.stopSignal == SIGTERM ? "terminated (SIGTERM)" : "interrupted (SIGINT)";
      return true;
    }
    if (shared_.countReached) {
      stopped_ = "count reached";
      countReached_ = true;
      return true;
    }
    return false;
  }

  // The count, reached by now: the run ends with it.
  bool countReachedNow() {
    std::lock_guard lock(shared_.mutex);
    if (!shared_.countReached) return false;
    stopped_ = "count reached";
    countReached_ = true;
    return true;
  }

  // --reconnect: one try, when it is due.
  void reconnect() {
    packagesBefore_ = packagesSoFar();
    receiver_->startConnection();
    const std::optional<Failure> failed = connectBoard();
    if (!failed) {
      reconnectAt_ = never;
      lastFailure_.reset();
      ++reconnects_;
      if (!options_.quiet) std::cout << "connected again to " << connectedTo() << std::endl;
    } else {
      // The recorded code of a failed connect is the connection's; the
      // connect itself failed, as at the first connect.
      lastFailure_ = Failure{mirt::VarnelException::ConnectionFailed, failed->text, failed->cause};
      std::cerr << "varnel-monitor: connecting again failed: " << failed->text << "; next try in "
                << format("%.1f s", seconds(backOff_)) << std::endl;
      reconnectAt_ = Clock::now() + backOff_;
      backOff_ = std::min(2 * backOff_, longestBackOff);
    }
  }

  // The connection has failed: ends the run (false), or with --reconnect
  // says so and sets the time of the next try (true).
  bool connectionFailed(Clock::time_point now) {
    const Failure f = recordedError(board_->parser()).value_or(Failure{0, "unknown failure"});
    const std::uint64_t packages = packagesSoFar() - packagesBefore_;
    if (!options_.reconnect) {
      stopped_ = closedByBoard(f) ? "board closed the connection" : "error";
      failure_ = f;
      closedAfter_ = packages;
      return false;
    }
    lastFailure_ = f;
    reportClose(f, packages);
    if (packages != 0) backOff_ = firstBackOff;
    std::cerr << "varnel-monitor: " << failureText(f) << "; connecting again in "
              << format("%.1f s", seconds(backOff_)) << std::endl;
    reconnectAt_ = now + backOff_;
    backOff_ = std::min(2 * backOff_, longestBackOff);
    return true;
  }

  // The status line of the last interval, unless --quiet.
  void showStatus(mirt::ConnectionState state, Clock::time_point now) {
    const std::uint64_t bytes = board_->statistics().bytes;
    std::unique_lock lock(shared_.mutex);
    Totals totals = shared_.totals;
    totals.bytes = bytes;
    const std::string line = statusLine(state, seconds(now - start_), totals, before_,
                                        seconds(now - lastStatus_), shared_.latest.get(), terminal_);
    const std::string board = shared_.latest ? boardLine(*shared_.latest) : std::string();
    lock.unlock();
    before_ = totals;
    lastStatus_ = now;
    nextStatus_ += 1s;
    if (now > nextStatus_) nextStatus_ = now + 1s;
    if (options_.quiet) return;
    if (terminal_) {
      if (board != shownBoard_) {
        std::cout << "\r\x1b[Kboard: " << board << '\n';
        shownBoard_ = board;
      }
      std::cout << '\r' << line.substr(0, terminalWidth() - 1) << "\x1b[K" << std::flush;
      statusShown_ = true;
    } else {
      std::cout << line << std::endl;
    }
  }

  // Disconnects, prints the summary and closes the recording and the
  // capture; returns the exit status. A failure that the disconnect reports
  // first ends the run with its code, unless it came after the count was
  // reached (all was received) or --reconnect takes failures as part of
  // the run.
  int finish() {
    try {
      board_->parser().disconnect();
    } catch (const mirt::VarnelException& e) {
      if (!failure_ && !options_.reconnect && !countReached_) {
        failure_ = failureOf(e);
        closedAfter_ = packagesSoFar() - packagesBefore_;
        stopped_ = "error";
      } else if (options_.reconnect && !countReached_ && !lastFailure_) {
        // The connection had failed before the watch saw it.
        lastFailure_ = failureOf(e);
      }
    }
    Totals totals;
    MissingNumbers missing;
    {
      std::lock_guard lock(shared_.mutex);
      totals = shared_.totals;
      missing = shared_.missing;
    }
    printSummary(totals, missing, board_->statistics(),
                 options_.reconnect ? std::optional(reconnects_) : std::nullopt, elapsed_, stopped_);
    if (recorder_) {
      printRecording(options_.record, recorder_->finish());
      recordingError_ = recorder_->failure();  // now with what the file holds
    }
    std::optional<std::string> captureError;
    if (capture_) {
      // Every connection has ended: the last event of the observers is in.
      const capture::CaptureFigures c = capture_->finish();
      captureError = capture_->failure();
      std::cout << "captured: " << cli::counted(c.bytes, "byte") << " of "
                << cli::counted(c.connections, "connection") << " to " << options_.capture << " ("
                << c.fileBytes << " bytes)\n"
                << std::flush;
    }
    if (failure_) {
      reportClose(*failure_, closedAfter_);
    } else if (lastFailure_ && totals.packages == 0) {
      // --reconnect, not one package in the whole run, and the last
      // connection failed too: the run did not do what it was for.
      std::cerr << "varnel-monitor: no connection of the run brought a package, and the last one failed"
                << std::endl;
      failure_ = lastFailure_;
    }
    if (failure_) {
      if (captureError) captureFailure(options_.capture, *captureError);
      if (recordingError_) recordingFailure(options_.record, *recordingError_);
      return reportFailure(*failure_);
    }
    int status = 0;
    if (captureError) status = captureFailure(options_.capture, *captureError);
    if (recordingError_) status = recordingFailure(options_.record, *recordingError_);
    return status;
  }

  // The board's connect, during which a stop signal is told how long it
  // may have to wait: the TCP timeout for each of the board's addresses.
  std::optional<Failure> connectBoard() {
    struct Connecting {
      Shared& shared;
      Connecting(Shared& s, std::uint64_t seconds) : shared(s) { set(seconds); }
      ~Connecting() { set(0); }
      void set(std::uint64_t seconds) {
        std::lock_guard lock(shared.mutex);
        shared.connectingFor = seconds;
      }
    } connecting(shared_,
                 std::max<std::uint64_t>(options_.tcpTimeout.value_or(10), 1) * board_->addressCount());
    return board_->connect();
  }

  int stopSignal() {
    std::lock_guard lock(shared_.mutex);
    return shared_.stopSignal;
  }
  std::uint64_t packagesSoFar() {
    std::lock_guard lock(shared_.mutex);
    return shared_.totals.packages;
  }
  std::string connectedTo() const {
    return cli::describeHost(options_.address, {board_->address()}) + " port 63751";
  }

  const Options& options_;
  Shared shared_;
  const SignalWatcher signals_;
  std::unique_ptr<Recorder> recorder_;
  std::unique_ptr<capture::CaptureWriter> capture_;  // fed by the parsers' receive observers
  std::unique_ptr<Receiver> receiver_;
  std::unique_ptr<Board> board_;

  Clock::time_point start_;  // of the connect that made the connection
  Clock::time_point end_;    // of the run (--duration)
  Clock::duration elapsed_{};
  const char* stopped_ = "interrupted";
  bool countReached_ = false;
  std::optional<Failure> failure_;
  std::optional<Failure> lastFailure_;  // --reconnect: the failure of the last connection, if it failed
  std::uint64_t closedAfter_ = 0;       // packages of the connection that failed
  std::optional<std::string> recordingError_;
  // The status lines.
  bool terminal_ = false;
  Clock::time_point nextStatus_;
  Clock::time_point lastStatus_;
  Totals before_;
  bool statusShown_ = false;
  std::string shownBoard_;
  // --reconnect: the connections made after the first, the time of the
  // next try while the connection is down (never: connected), the wait
  // after that try, and the packages of the connections before this one.
  std::uint64_t reconnects_ = 0;
  Clock::time_point reconnectAt_ = never;
  Clock::duration backOff_ = firstBackOff;
  std::uint64_t packagesBefore_ = 0;
};

}  // namespace

int runMonitor(const Options& given) {
#if !defined(_WIN32)
  // Blocked before any thread exists (the NATS client's and the subject
  // server's come first), so that every thread inherits the mask and the
  // session's signal watcher alone takes them.
  sigset_t stopping;
  sigemptyset(&stopping);
  sigaddset(&stopping, SIGINT);
  sigaddset(&stopping, SIGTERM);
  sigaddset(&stopping, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &stopping, nullptr);
#endif
  try {
    Options options = given;
    std::unique_ptr<NatsSource> nats;  // serves the subject to the parser; outlives it
    if (NatsSource::names(options.address)) {
      nats = std::make_unique<NatsSource>(options.address);
      options.addresses = {nats->address()};
    }
    return Session(options).run();
  } catch (const mirt::VarnelException& e) {
    return reportFailure(failureOf(e));
  } catch (const std::exception& e) {
    std::cerr << "varnel-monitor: " << e.what() << std::endl;
    return 1;
  }
}

}  // namespace monitor
