// varnel-bench: how fast Varnel takes a board's stream off the wire, measured
// beside what plain sockets manage on the same machine in the same run.
//
// Everything runs on loopback (127.0.6.1 to 127.0.6.60, board port 63751).
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

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fmt/core.h>
#include <fmt/format.h>

#include "boardsim/PackageBuilder.hpp"
#include "varnel/varnel.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = boardsim::Bytes;

constexpr std::uint16_t boardPort = 63751;
constexpr std::uint32_t headerBytes = 36;
constexpr std::uint32_t packageCounter = 25;

// Hosts in 127.0.6.0/24 used by the parts of a run.
constexpr int throughputHost = 1;
constexpr int latencyHost = 2;
constexpr int pingPongHost = 3;
constexpr int blockingHost = 4;
constexpr int epollHost = 5;
constexpr int scaleFirstHost = 11;  // up to 11 + 31 = 42
constexpr int maxBoards = 32;

std::string loopbackAddress(int host) { return fmt::format("127.0.6.{}", host); }

std::uint64_t monotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000ull + static_cast<std::uint64_t>(ts.tv_nsec);
}

void sleepUntilNs(std::uint64_t ns) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(ns / 1'000'000'000ull);
  ts.tv_nsec = static_cast<long>(ns % 1'000'000'000ull);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

double secondsSince(Clock::time_point start, Clock::time_point end) {
  return std::chrono::duration<double>(end - start).count();
}

[[noreturn]] void throwErrno(const std::string& what) {
  throw std::runtime_error(fmt::format("{}: {}", what, std::strerror(errno)));
}

std::uint32_t readLe32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::uint64_t readLe64(const std::uint8_t* p) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) {
    value = value << 8 | p[i];
  }
  return value;
}

void writeLe64(std::uint8_t* p, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) {
    p[i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

// ---------------------------------------------------------------------------
// Process figures

struct Usage {
  double cpuSeconds = 0;  // user + system, all threads of the process
  long minorFaults = 0;
};

Usage usageNow() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  Usage u;
  u.cpuSeconds = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                 static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  u.minorFaults = ru.ru_minflt;
  return u;
}

long vmRssKiB() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) {
      return std::strtol(line.c_str() + 6, nullptr, 10);
    }
  }
  return -1;
}

std::string loadAverage() {
  std::ifstream in("/proc/loadavg");
  double one = 0, five = 0, fifteen = 0;
  in >> one >> five >> fifteen;
  return fmt::format("{:.2f} {:.2f} {:.2f}", one, five, fifteen);
}

// CPU seconds spent by the whole machine in user and system mode, and by this
// process with its waited-for descendants; their difference over a run is
// what other processes took from it (approximately: interrupt time is left
// out on both sides).
double machineCpuSeconds() {
  std::ifstream in("/proc/stat");
  std::string cpu;
  unsigned long long user = 0, nice = 0, system = 0;
  in >> cpu >> user >> nice >> system;
  return static_cast<double>(user + nice + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double ownCpuSeconds() {
  double total = 0;
  for (const int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
    rusage ru{};
    getrusage(who, &ru);
    total += static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
             static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  }
  return total;
}

std::size_t defaultThreadStackBytes() {
  pthread_attr_t attr;
  std::size_t size = 0;
  if (pthread_getattr_default_np(&attr) == 0) {
    pthread_attr_getstacksize(&attr, &size);
    pthread_attr_destroy(&attr);
  }
  return size;
}

// ---------------------------------------------------------------------------
// Sockets

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void reset() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

struct Pipe {
  Fd read;
  Fd write;
};

Pipe makePipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    throwErrno("pipe2");
  }
  return Pipe{Fd(fds[0]), Fd(fds[1])};
}

sockaddr_in socketAddress(const std::string& ip, std::uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (inet_pton(AF_INET, ip.c_str(), &addr.sin_addr) != 1) {
    throw std::runtime_error("bad address " + ip);
  }
  return addr;
}

void setTimeouts(int fd, int milliseconds) {
  timeval tv{};
  tv.tv_sec = milliseconds / 1000;
  tv.tv_usec = (milliseconds % 1000) * 1000;
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

void setNoDelay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

Fd listenOn(const std::string& ip, std::uint16_t port) {
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) {
    throwErrno("socket");
  }
  int one = 1;
  setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  const sockaddr_in addr = socketAddress(ip, port);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    throwErrno(fmt::format("bind {}:{}", ip, port));
  }
  if (::listen(fd.get(), 64) != 0) {
    throwErrno("listen");
  }
  return fd;
}

Fd connectTo(const std::string& ip, std::uint16_t port, int timeoutMs) {
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) {
    throwErrno("socket");
  }
  setTimeouts(fd.get(), timeoutMs);
  const sockaddr_in addr = socketAddress(ip, port);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    throwErrno(fmt::format("connect {}:{}", ip, port));
  }
  return fd;
}

bool waitReadable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    const int r = ::poll(&p, 1, static_cast<int>(std::max<long long>(left, 0)));
    if (r > 0) {
      return true;
    }
    if (r == 0 || errno != EINTR) {
      return false;
    }
  }
}

bool sendAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool recvAll(int fd, std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::recv(fd, data, size, MSG_WAITALL);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) {
        continue;
      }
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

Fd acceptOne(int listenFd, int timeoutMs) {
  if (!waitReadable(listenFd, timeoutMs)) {
    return Fd();
  }
  return Fd(::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC));
}

// The go signal: one byte from the parent once its receiver is ready and the
// clock runs.
bool waitForGo(int goFd, int timeoutMs) {
  char go = 0;
  return waitReadable(goFd, timeoutMs) && ::read(goFd, &go, 1) == 1;
}

void signalGo(int goFd) {
  const char go = 'g';
  [[maybe_unused]] const ssize_t n = ::write(goFd, &go, 1);
}

// ---------------------------------------------------------------------------
// Child processes

std::vector<pid_t> liveChildren;

// Runs `body` in a forked child that dies with the parent and, at the latest,
// after `limitSeconds`. The child ends with body's return value and never
// returns here.
template <typename Body>
pid_t spawnChild(unsigned limitSeconds, Body&& body) {
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    throwErrno("fork");
  }
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) {
      _exit(2);
    }
    signal(SIGALRM, SIG_DFL);
    alarm(limitSeconds);
    int rc = 1;
    try {
      rc = body();
    } catch (...) {
      rc = 1;
    }
    _exit(rc);
  }
  liveChildren.push_back(pid);
  return pid;
}

// Gives the child `graceMs` to end by itself, then kills it; always reaps.
void reapChild(pid_t pid, int graceMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(graceMs);
  int status = 0;
  for (;;) {
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) {
      break;
    }
    if (Clock::now() >= deadline) {
      kill(pid, SIGKILL);
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  liveChildren.erase(std::remove(liveChildren.begin(), liveChildren.end(), pid), liveChildren.end());
}

void killAllChildren() {
  for (const pid_t pid : liveChildren) {
    kill(pid, SIGKILL);
  }
  for (const pid_t pid : liveChildren) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  liveChildren.clear();
}

// Kills and reaps a group of children on every way out of a scope.
class ChildGroup {
 public:
  ChildGroup() = default;
  ChildGroup(const ChildGroup&) = delete;
  ChildGroup& operator=(const ChildGroup&) = delete;
  ~ChildGroup() { reap(0); }
  void add(pid_t pid) { pids_.push_back(pid); }
  void reap(int graceMs) {
    for (const pid_t pid : pids_) {
      reapChild(pid, graceMs);
    }
    pids_.clear();
  }

 private:
  std::vector<pid_t> pids_;
};

// ---------------------------------------------------------------------------
// Packages

// A valid package of exactly `size` bytes with `channels` channels: dataSize
// is size - 128, each channel carries (size - 128) / 4 / channels samples.
boardsim::PackageSpec benchSpec(std::uint32_t size, std::uint32_t channels, std::uint64_t headerValue) {
  boardsim::PackageSpec spec;
  spec.headerValue = headerValue;
  const std::uint32_t dataSize = size - boardsim::packageSampleOffset;
  const std::uint32_t perChannel = dataSize / 4 / channels;
  for (std::uint32_t c = 0; c < channels; ++c) {
    spec.samples.push_back(boardsim::numberedSamples(headerValue, c, perChannel));
    spec.waveformTypes[c] = static_cast<std::uint8_t>(c + 1);
  }
  spec.channelCount = channels;
  spec.dataSize = dataSize;
  spec.packageSize = size;
  return spec;
}

// At least `minBytes` of whole packages, each with its own headerValue.
Bytes buildBlock(std::uint32_t size, std::uint32_t channels, std::size_t minBytes) {
  const std::size_t count = std::max<std::size_t>(8, (minBytes + size - 1) / size);
  Bytes block;
  block.reserve(count * size);
  for (std::size_t k = 0; k < count; ++k) {
    const Bytes one = boardsim::encode(benchSpec(size, channels, 1000 + k));
    block.insert(block.end(), one.begin(), one.end());
  }
  return block;
}

// Board side of a throughput round or a scale run: accepts one connection,
// waits for the go byte, then writes the block over and over (wrapping at its
// end, which is a package boundary): `totalBytes` in all, or with totalBytes
// = 0 until the receiver goes away or `stopAtNs` has passed. Afterwards it
// holds the connection open until the parent closes the go pipe.
int streamingBoard(int listenFd, int goFd, const Bytes& block, std::uint64_t totalBytes,
                   std::uint64_t stopAtNs, int waitMs) {
  Fd conn = acceptOne(listenFd, waitMs);
  if (!conn) {
    return 3;
  }
  setTimeouts(conn.get(), waitMs);
  if (!waitForGo(goFd, waitMs)) {
    return 4;
  }
  std::size_t pos = 0;
  std::uint64_t left = totalBytes;
  for (;;) {
    std::size_t chunk = block.size() - pos;
    if (totalBytes != 0) {
      if (left == 0) {
        break;
      }
      chunk = static_cast<std::size_t>(std::min<std::uint64_t>(chunk, left));
    } else if (monotonicNs() >= stopAtNs) {
      break;
    }
    const ssize_t n = ::send(conn.get(), block.data() + pos, chunk, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return totalBytes != 0 ? 5 : 0;
    }
    pos += static_cast<std::size_t>(n);
    if (pos == block.size()) {
      pos = 0;
    }
    left -= totalBytes != 0 ? static_cast<std::uint64_t>(n) : 0;
  }
  waitReadable(goFd, waitMs);  // end of file once the parent is done
  return 0;
}

// ---------------------------------------------------------------------------
// Varnel receivers

std::string asyncError(mirt::Varnel& parser) {
  try {
    parser.getAsyncError();
  } catch (const mirt::VarnelException& e) {
    return fmt::format("{} (code {})", e.what(), static_cast<int>(e.getErrorCode()));
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no error recorded";
}

// Counts the packages of one parser and wakes the waiting thread once the
// target is reached; the time and the resource usage of that moment are taken
// on the I/O thread itself.
struct PackageCount {
  std::atomic<std::uint64_t> packages{0};
  std::uint64_t target = std::numeric_limits<std::uint64_t>::max();
  std::mutex mutex;
  std::condition_variable reached;
  bool done = false;
  Clock::time_point end;
  Usage usageEnd;

  void add(std::uint64_t n) {
    if (n == 0) {
      return;
    }
    const std::uint64_t total = packages.fetch_add(n, std::memory_order_relaxed) + n;
    if (total >= target && total - n < target) {
      const auto now = Clock::now();
      const Usage usage = usageNow();
      {
        std::lock_guard lock(mutex);
        end = now;
        usageEnd = usage;
        done = true;
      }
      reached.notify_all();
    }
  }

  // True when the target was reached before `deadline`; stops early when the
  // parser records an error.
  bool wait(mirt::Varnel& parser, Clock::time_point deadline, std::string& error) {
    for (;;) {
      {
        std::unique_lock lock(mutex);
        const auto until = std::min(deadline, Clock::now() + std::chrono::milliseconds(100));
        if (reached.wait_until(lock, until, [this] { return done; })) {
          return true;
        }
      }
      if (parser.getState() == mirt::ConnectionState::Error) {
        error = fmt::format("after {} of {} packages: {}", packages.load(), target, asyncError(parser));
        return false;
      }
      if (Clock::now() >= deadline) {
        error = fmt::format("timed out after {} of {} packages", packages.load(), target);
        return false;
      }
    }
  }
};

std::unique_ptr<mirt::Varnel> connectVarnel(const std::string& ip,
                                            std::function<void(mirt::OstraDataStream*)> callback) {
  auto parser = mirt::createVarnel(ip, std::move(callback));
  parser->setPackageCounter(packageCounter);
  parser->setTcpTimeout(3);
  parser->connect();
  return parser;
}

// Runs `body` and turns the exceptions of the library or of the sockets into
// a message.
template <typename Body>
bool guarded(std::string& error, Body&& body) {
  try {
    body();
    return true;
  } catch (const mirt::VarnelException& e) {
    error = fmt::format("{} (code {})", e.what(), static_cast<int>(e.getErrorCode()));
  } catch (const std::exception& e) {
    error = e.what();
  }
  return false;
}

// ---------------------------------------------------------------------------
// Throughput

struct Traffic {
  std::uint32_t size = 0;
  std::uint32_t channels = 0;
  std::uint64_t packages = 0;
  Bytes block;
};

struct Round {
  bool ok = false;
  std::string error;
  double seconds = 0;
  double cpuSeconds = 0;
  long minorFaults = 0;
};

enum Receiver { Raw = 0, TwoRead = 1, Library = 2, receiverCount = 3 };
const char* const receiverNames[receiverCount] = {"raw", "2-read", "varnel"};

Round finishRound(Clock::time_point t0, const Usage& u0, Clock::time_point t1, const Usage& u1) {
  Round r;
  r.ok = true;
  r.seconds = secondsSince(t0, t1);
  r.cpuSeconds = u1.cpuSeconds - u0.cpuSeconds;
  r.minorFaults = u1.minorFaults - u0.minorFaults;
  return r;
}

Round receiveRaw(const std::string& ip, const Traffic& t, int goFd, Clock::time_point deadline) {
  Round r;
  Fd sock;
  if (!guarded(r.error, [&] { sock = connectTo(ip, boardPort, 5000); })) {
    return r;
  }
  std::vector<std::uint8_t> buffer(65536);
  const std::uint64_t expected = t.packages * t.size;
  std::uint64_t received = 0;
  const Usage u0 = usageNow();
  const auto t0 = Clock::now();
  signalGo(goFd);
  for (std::uint64_t calls = 0; received < expected; ++calls) {
    const ssize_t n = ::recv(sock.get(), buffer.data(), buffer.size(), 0);
    if (n > 0) {
      received += static_cast<std::uint64_t>(n);
    } else if (!(n < 0 && errno == EINTR)) {
      r.error = n == 0 ? "connection closed early" : std::strerror(errno);
      return r;
    }
    if ((calls & 255) == 0 && Clock::now() >= deadline) {
      r.error = "timed out";
      return r;
    }
  }
  const auto t1 = Clock::now();
  return finishRound(t0, u0, t1, usageNow());
}

Round receiveTwoRead(const std::string& ip, const Traffic& t, int goFd, Clock::time_point deadline) {
  Round r;
  Fd sock;
  if (!guarded(r.error, [&] { sock = connectTo(ip, boardPort, 5000); })) {
    return r;
  }
  std::vector<std::uint8_t> buffer(65536);
  const Usage u0 = usageNow();
  const auto t0 = Clock::now();
  signalGo(goFd);
  for (std::uint64_t i = 0; i < t.packages; ++i) {
    if (!recvAll(sock.get(), buffer.data(), headerBytes)) {
      r.error = fmt::format("header {} not received", i);
      return r;
    }
    const std::uint32_t size = readLe32(buffer.data() + 4);
    if (size < headerBytes || size > buffer.size()) {
      r.error = fmt::format("package {}: bad packageSize {}", i, size);
      return r;
    }
    if (size > headerBytes && !recvAll(sock.get(), buffer.data() + headerBytes, size - headerBytes)) {
      r.error = fmt::format("body {} not received", i);
      return r;
    }
    if ((i & 255) == 0 && Clock::now() >= deadline) {
      r.error = "timed out";
      return r;
    }
  }
  const auto t1 = Clock::now();
  return finishRound(t0, u0, t1, usageNow());
}

Round receiveVarnel(const std::string& ip, const Traffic& t, int goFd, Clock::time_point deadline) {
  Round r;
  PackageCount count;
  count.target = t.packages;
  std::unique_ptr<mirt::Varnel> parser;
  if (!guarded(r.error, [&] {
        parser = connectVarnel(ip, [&count](mirt::OstraDataStream* stream) {
          std::uint64_t n = 0;
          while (auto package = stream->pop()) {
            ++n;
          }
          count.add(n);
        });
      })) {
    return r;
  }
  const Usage u0 = usageNow();
  const auto t0 = Clock::now();
  signalGo(goFd);
  if (count.wait(*parser, deadline, r.error)) {
    r = finishRound(t0, u0, count.end, count.usageEnd);
  }
  parser.reset();
  return r;
}

// One round: a fresh board child, one receiver.
Round throughputRound(const Traffic& t, Receiver receiver, std::chrono::seconds timeout) {
  Round r;
  const std::string ip = loopbackAddress(throughputHost);
  Fd listener;
  if (!guarded(r.error, [&] { listener = listenOn(ip, boardPort); })) {
    return r;
  }
  Pipe go = makePipe();
  const int waitMs = static_cast<int>(timeout.count()) * 1000;
  ChildGroup board;
  board.add(spawnChild(static_cast<unsigned>(timeout.count()) + 20, [&] {
    go.write.reset();
    return streamingBoard(listener.get(), go.read.get(), t.block, t.packages * t.size, 0, waitMs);
  }));
  listener.reset();
  go.read.reset();
  const auto deadline = Clock::now() + timeout;
  switch (receiver) {
    case Raw:
      r = receiveRaw(ip, t, go.write.get(), deadline);
      break;
    case TwoRead:
      r = receiveTwoRead(ip, t, go.write.get(), deadline);
      break;
    default:
      r = receiveVarnel(ip, t, go.write.get(), deadline);
      break;
  }
  go.write.reset();
  board.reap(3000);
  return r;
}

// ---------------------------------------------------------------------------
// Statistics

double median(std::vector<double> values) {
  if (values.empty()) {
    return NAN;
  }
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Nearest-rank percentile, q in (0, 1].
double percentile(std::vector<double> values, double q) {
  if (values.empty()) {
    return NAN;
  }
  std::sort(values.begin(), values.end());
  const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(values.size())));
  return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

// ---------------------------------------------------------------------------
// Report: printed tables and the CSV rows

struct Row {
  std::string section, caseName, subject, metric, value, unit, goal, result;
};

std::string number(double v) {
  if (std::isnan(v)) {
    return "";
  }
  if (std::fabs(v) >= 100) {
    return fmt::format("{:.1f}", v);
  }
  return fmt::format("{:.4g}", v);
}

std::string verdict(bool pass) { return pass ? "PASS" : "MISS"; }

// A goal "value >= limit" or "value <= limit"; missing figures are a MISS.
struct Goal {
  std::string name;
  std::string text;
  double value = NAN;
  bool pass = false;
};

class Report {
 public:
  void add(std::string section, std::string caseName, std::string subject, std::string metric, double value,
           std::string unit, std::string goal = "", std::string result = "") {
    rows_.push_back(Row{std::move(section), std::move(caseName), std::move(subject), std::move(metric),
                        number(value), std::move(unit), std::move(goal), std::move(result)});
  }
  void addText(std::string section, std::string metric, std::string value) {
    rows_.push_back(Row{std::move(section), "", "", std::move(metric), std::move(value), "", "", ""});
  }
  // Adds the figure like `add`, with the goal and its verdict in the last two
  // columns, and keeps it for the summary.
  Goal goal(std::string section, std::string caseName, std::string subject, std::string metric, double value,
            std::string unit, bool atLeast, double limit, std::string text) {
    Goal g;
    g.name = caseName + " " + metric;
    g.value = value;
    g.pass = !std::isnan(value) && (atLeast ? value >= limit : value <= limit);
    g.text = std::move(text);
    add(std::move(section), std::move(caseName), std::move(subject), std::move(metric), value,
        std::move(unit), fmt::format("{} {}", atLeast ? ">=" : "<=", limit), verdict(g.pass));
    goals_.push_back(g);
    return g;
  }
  const std::vector<Goal>& goals() const { return goals_; }

  bool writeCsv(const std::string& path) const {
    std::ofstream out(path);
    if (!out) {
      return false;
    }
    out << "section,case,subject,metric,value,unit,goal,result\n";
    for (const Row& r : rows_) {
      out << quote(r.section) << ',' << quote(r.caseName) << ',' << quote(r.subject) << ',' << quote(r.metric)
          << ',' << quote(r.value) << ',' << quote(r.unit) << ',' << quote(r.goal) << ',' << quote(r.result)
          << '\n';
    }
    return static_cast<bool>(out);
  }

 private:
  static std::string quote(const std::string& s) {
    if (s.find_first_of(",\"\n") == std::string::npos) {
      return s;
    }
    std::string q = "\"";
    for (const char c : s) {
      q += c;
      if (c == '"') {
        q += '"';
      }
    }
    return q + "\"";
  }

  std::vector<Row> rows_;
  std::vector<Goal> goals_;
};

// ---------------------------------------------------------------------------
// Options

struct Options {
  int rounds = 5;
  bool quick = false;
  std::string only;
  std::string csvPath;
};

struct Settings {
  int rounds = 5;
  std::uint64_t packageDivisor = 1;  // quick runs send a fraction of the packages
  std::size_t latencySamples = 10000;
  // Latency rounds are short and many, so that a burst of load on the machine
  // falls on all receivers alike rather than on one of them.
  int latencyRounds = 20;
  std::chrono::microseconds latencyInterval{200};
  double scaleWindowSeconds = 1.0;
  std::chrono::seconds roundTimeout{20};
};

// Packages per throughput round, chosen so that the slowest receiver of the
// baseline library takes a second or so and the plain receivers a fraction
// of that (two cores; the raw receiver at 144 bytes is far faster still).
std::uint64_t packagesFor(std::uint32_t size) {
  switch (size) {
    case 144:
      return 500'000;
    case 1024:
      return 250'000;
    case 8192:
      return 100'000;
    default:
      return 25'000;
  }
}

// ---------------------------------------------------------------------------
// Throughput

struct ThroughputCase {
  std::uint32_t size = 0;
  std::uint32_t channels = 0;
  std::uint64_t packages = 0;
  int failed[receiverCount] = {};
  std::string firstError[receiverCount];
  double packagesPerSecond[receiverCount] = {NAN, NAN, NAN};
  double megabytesPerSecond[receiverCount] = {NAN, NAN, NAN};
  double cpuMicrosPerPackage[receiverCount] = {NAN, NAN, NAN};
  double faultsPerPackage[receiverCount] = {NAN, NAN, NAN};
};

void runThroughput(const Settings& s, Report& report) {
  const std::uint32_t sizes[] = {144, 1024, 8192, 65535};
  const std::uint32_t channelCounts[] = {1, 8};
  std::vector<ThroughputCase> cases;

  fmt::print("\nThroughput: one board, the receivers in turn on the same traffic (median of {} round{})\n",
             s.rounds, s.rounds == 1 ? "" : "s");
  fmt::print(
      "  raw = recv into 64 KiB, no parsing; 2-read = blocking recv of exactly the header, then the body;\n"
      "  varnel = the library, package counter {}, callback pops and frees every package. MB = 10^6 bytes.\n",
      packageCounter);
  std::fflush(stdout);

  // One line per case as soon as it is measured; the figures go to the CSV.
  const auto printCase = [&](const ThroughputCase& c) {
    const std::string name = fmt::format("{}B/{}ch", c.size, c.channels);
    const double toRaw = c.packagesPerSecond[Library] / c.packagesPerSecond[Raw];
    const double toTwoRead = c.packagesPerSecond[Library] / c.packagesPerSecond[TwoRead];
    report.add("throughput", name, "", "packages_per_round", static_cast<double>(c.packages), "");
    for (int k = 0; k < receiverCount; ++k) {
      report.add("throughput", name, receiverNames[k], "rounds_failed", c.failed[k], "");
      report.add("throughput", name, receiverNames[k], "packages_per_s", c.packagesPerSecond[k], "1/s");
      report.add("throughput", name, receiverNames[k], "mb_per_s", c.megabytesPerSecond[k], "MB/s");
      report.add("throughput", name, receiverNames[k], "cpu_per_package", c.cpuMicrosPerPackage[k], "us");
      report.add("throughput", name, receiverNames[k], "minor_faults_per_package", c.faultsPerPackage[k], "");
    }
    std::string goalText;
    if (c.size == 65535) {
      const Goal g = report.goal("throughput", name, "varnel", "ratio_to_raw", toRaw, "", true, 0.9,
                                 "varnel >= 0.9 x raw");
      goalText = fmt::format("v/raw >= 0.9 {}", verdict(g.pass));
    } else {
      report.add("throughput", name, "varnel", "ratio_to_raw", toRaw, "");
    }
    if (c.size == 144) {
      const Goal g = report.goal("throughput", name, "varnel", "ratio_to_2read", toTwoRead, "", true, 2.0,
                                 "varnel >= 2.0 x 2-read");
      goalText = fmt::format("v/2rd >= 2.0 {}", verdict(g.pass));
    } else {
      report.add("throughput", name, "varnel", "ratio_to_2read", toTwoRead, "");
    }
    fmt::print(
        "  {:>5} {:>2} {:>8} | {:>10.0f} {:>7.1f} | {:>10.0f} {:>7.1f} | {:>10.0f} {:>7.1f} | {:>5.2f} "
        "{:>5.2f} | {}\n",
        c.size, c.channels, c.packages, c.packagesPerSecond[Raw], c.megabytesPerSecond[Raw],
        c.packagesPerSecond[TwoRead], c.megabytesPerSecond[TwoRead], c.packagesPerSecond[Library],
        c.megabytesPerSecond[Library], toRaw, toTwoRead, goalText);
  };

  fmt::print("\n  {:>5} {:>2} {:>8} | {:>10} {:>7} | {:>10} {:>7} | {:>10} {:>7} | {:>5} {:>5} | {}\n",
             "size", "ch", "packages", "raw pkg/s", "MB/s", "2-rd pkg/s", "MB/s", "varn pkg/s", "MB/s",
             "v/raw", "v/2rd", "goal");
  std::fflush(stdout);
  for (const std::uint32_t size : sizes) {
    for (const std::uint32_t channels : channelCounts) {
      ThroughputCase c;
      c.size = size;
      c.channels = channels;
      Traffic t;
      t.size = size;
      t.channels = channels;
      // A multiple of the package counter, so that the last batch is handed
      // over by count and not by the timer.
      t.packages = std::max<std::uint64_t>(
          packageCounter * 10, packagesFor(size) / s.packageDivisor / packageCounter * packageCounter);
      t.block = buildBlock(size, channels, 1 << 20);
      c.packages = t.packages;

      std::vector<double> rate[receiverCount], cpu[receiverCount], faults[receiverCount];
      for (int round = 0; round < s.rounds; ++round) {
        for (int k = 0; k < receiverCount; ++k) {
          // Rotate the order so that no receiver always runs first.
          const auto receiver = static_cast<Receiver>((k + round) % receiverCount);
          const Round r = throughputRound(t, receiver, s.roundTimeout);
          if (!r.ok) {
            if (c.failed[receiver]++ == 0) {
              c.firstError[receiver] = r.error;
            }
            continue;
          }
          const auto n = static_cast<double>(t.packages);
          rate[receiver].push_back(n / r.seconds);
          cpu[receiver].push_back(r.cpuSeconds * 1e6 / n);
          faults[receiver].push_back(static_cast<double>(r.minorFaults) / n);
        }
      }
      for (int k = 0; k < receiverCount; ++k) {
        c.packagesPerSecond[k] = median(rate[k]);
        c.megabytesPerSecond[k] = c.packagesPerSecond[k] * size / 1e6;
        c.cpuMicrosPerPackage[k] = median(cpu[k]);
        c.faultsPerPackage[k] = median(faults[k]);
        if (c.failed[k] != 0) {
          fmt::print(stderr, "  {} B / {} ch, {}: {} of {} rounds failed; first: {}\n", size, channels,
                     receiverNames[k], c.failed[k], s.rounds, c.firstError[k]);
        }
      }
      printCase(c);
      std::fflush(stdout);
      cases.push_back(c);
    }
  }

  fmt::print(
      "\n  Cost per package in the receiving process (CPU = user + system time, all threads;\n"
      "  flt = minor page faults)\n");
  fmt::print("  {:>5} {:>2} | {:>10} {:>9} {:>9} | {:>8} {:>8} {:>8}\n", "size", "ch", "CPU us raw", "2-read",
             "varnel", "flt raw", "2-read", "varnel");
  for (const ThroughputCase& c : cases) {
    fmt::print("  {:>5} {:>2} | {:>10.3f} {:>9.3f} {:>9.3f} | {:>8.3f} {:>8.3f} {:>8.3f}\n", c.size,
               c.channels, c.cpuMicrosPerPackage[Raw], c.cpuMicrosPerPackage[TwoRead],
               c.cpuMicrosPerPackage[Library], c.faultsPerPackage[Raw], c.faultsPerPackage[TwoRead],
               c.faultsPerPackage[Library]);
  }
  std::fflush(stdout);
}

// ---------------------------------------------------------------------------
// Latency

struct LatencyResult {
  bool ok = false;
  std::string error;
  std::size_t samples = 0;
  double medianUs = NAN;
  double p99Us = NAN;
  double maxUs = NAN;
};

// The samples of one connection in nanoseconds, without the first 5 %, which
// warm up caches and the connection.
struct LatencySamples {
  bool ok = false;
  std::string error;
  std::vector<double> ns;
  std::vector<double> forwardNs;  // ping-pong only: the leg towards the echo
  double cpuSeconds = 0;          // Varnel only: CPU time of the process while receiving
  std::size_t handOvers = 0;
};

LatencySamples keepAfterWarmUp(std::vector<double> ns) {
  LatencySamples r;
  ns.erase(ns.begin(), ns.begin() + static_cast<std::ptrdiff_t>(ns.size() / 20));
  r.ok = true;
  r.ns = std::move(ns);
  return r;
}

LatencyResult summarise(std::vector<double> ns) {
  LatencyResult r;
  if (ns.empty()) {
    r.error = "no samples";
    return r;
  }
  for (double& v : ns) {
    v /= 1000.0;
  }
  r.ok = true;
  r.samples = ns.size();
  r.medianUs = median(ns);
  r.p99Us = percentile(ns, 0.99);
  r.maxUs = *std::max_element(ns.begin(), ns.end());
  return r;
}

// A board process that sends one small package at a time, with the
// end-of-stream flag and its CLOCK_MONOTONIC send time in headerValue, every
// latencyInterval once `go` is signalled; it holds the connection until `go`
// is closed.
struct PacedBoard {
  ChildGroup process;
  Pipe go;
  std::chrono::milliseconds timeout{0};
};

bool startPacedBoard(const std::string& ip, const Settings& s, std::size_t count, PacedBoard& board,
                     std::string& error) {
  const auto intervalNs = static_cast<std::uint64_t>(s.latencyInterval.count()) * 1000;
  boardsim::PackageSpec spec = benchSpec(144, 1, 0);
  spec.endOfStream();
  Bytes package = boardsim::encode(spec);

  Fd listener;
  if (!guarded(error, [&] { listener = listenOn(ip, boardPort); })) {
    return false;
  }
  board.go = makePipe();
  board.timeout = std::chrono::seconds(10) + std::chrono::duration_cast<std::chrono::milliseconds>(
                                                 std::chrono::nanoseconds(intervalNs * count));
  const int waitMs = static_cast<int>(board.timeout.count());
  Pipe& go = board.go;
  board.process.add(spawnChild(static_cast<unsigned>(waitMs / 1000 + 20), [&] {
    go.write.reset();
    Fd conn = acceptOne(listener.get(), waitMs);
    if (!conn) {
      return 3;
    }
    setNoDelay(conn.get());
    setTimeouts(conn.get(), 5000);
    if (!waitForGo(go.read.get(), waitMs)) {
      return 4;
    }
    std::uint64_t next = monotonicNs();
    for (std::size_t i = 0; i < count; ++i) {
      sleepUntilNs(next);
      writeLe64(package.data() + 8, monotonicNs());
      if (!sendAll(conn.get(), package.data(), package.size())) {
        return 5;
      }
      next += intervalNs;
    }
    waitReadable(go.read.get(), waitMs);
    return 0;
  }));
  go.read.reset();
  return true;
}

// Varnel on the paced board: the callback records the time from send to
// hand-over.
LatencySamples measureHandOver(const Settings& s, std::size_t count) {
  LatencySamples r;
  const std::string ip = loopbackAddress(latencyHost);
  PacedBoard board;
  if (!startPacedBoard(ip, s, count, board, r.error)) {
    return r;
  }

  std::vector<double> latencies(count, 0.0);
  std::atomic<std::size_t> filled{0};
  PackageCount received;
  received.target = count;
  std::unique_ptr<mirt::Varnel> parser;
  if (!guarded(r.error, [&] {
        parser = connectVarnel(ip, [&](mirt::OstraDataStream* stream) {
          const std::uint64_t now = monotonicNs();
          std::uint64_t n = 0;
          while (auto package = stream->pop()) {
            const std::size_t i = filled.fetch_add(1, std::memory_order_relaxed);
            if (i < latencies.size()) {
              latencies[i] = static_cast<double>(now - package->getMetaData().headerValue);
            }
            ++n;
          }
          received.add(n);
        });
      })) {
    return r;
  }
  const Usage start = usageNow();
  signalGo(board.go.write.get());
  const bool complete = received.wait(*parser, Clock::now() + board.timeout, r.error);
  const double cpuSeconds = received.usageEnd.cpuSeconds - start.cpuSeconds;
  parser.reset();  // joins the I/O thread: the samples are ours from here on
  board.go.write.reset();
  board.process.reap(3000);
  if (!complete) {
    return r;
  }
  latencies.resize(std::min(filled.load(), latencies.size()));
  r = keepAfterWarmUp(std::move(latencies));
  r.cpuSeconds = cpuSeconds;
  r.handOvers = count;
  return r;
}

// A plain receiver on its own paced board: `receive(fd, timeoutMs, go,
// latencies, error)` signals the board with go() once it is ready, reads
// `count` packages and records each one's latency; false on a failure.
template <typename Receive>
LatencySamples measurePlainReceiver(const Settings& s, std::size_t count, int host, Receive receive) {
  LatencySamples r;
  const std::string ip = loopbackAddress(host);
  PacedBoard board;
  if (!startPacedBoard(ip, s, count, board, r.error)) {
    return r;
  }
  std::vector<double> latencies;
  latencies.reserve(count);
  {
    Fd sock;
    if (!guarded(r.error, [&] { sock = connectTo(ip, boardPort, 5000); })) {
      return r;
    }
    const auto go = [&] { signalGo(board.go.write.get()); };
    if (!receive(sock.get(), static_cast<int>(board.timeout.count()), go, latencies, r.error)) {
      return r;
    }
  }
  board.go.write.reset();
  board.process.reap(3000);
  return keepAfterWarmUp(std::move(latencies));
}

// The floor for any receiver that sleeps between packages: a thread blocked
// in recv of exactly one package on the same paced board, timed as soon as
// recv returns. It wakes once per package, as Varnel's I/O thread does.
LatencySamples measureBlockingReceiver(const Settings& s, std::size_t count) {
  return measurePlainReceiver(
      s, count, blockingHost,
      [count](int fd, int timeoutMs, auto go, std::vector<double>& latencies, std::string& error) {
        setTimeouts(fd, timeoutMs);
        go();
        std::uint8_t buffer[144];
        for (std::size_t i = 0; i < count; ++i) {
          if (!recvAll(fd, buffer, sizeof buffer)) {
            error = fmt::format("package {} not received", i);
            return false;
          }
          const std::uint64_t now = monotonicNs();
          latencies.push_back(static_cast<double>(now - readLe64(buffer + 8)));
        }
        return true;
      });
}

// The floor for an event-driven receiver such as Varnel's I/O thread: a
// thread that sleeps in epoll_wait on a non-blocking socket and then reads
// what is there, on the same paced board.
LatencySamples measureEpollReceiver(const Settings& s, std::size_t count) {
  return measurePlainReceiver(
      s, count, epollHost,
      [count](int fd, int timeoutMs, auto go, std::vector<double>& latencies, std::string& error) {
        Fd poller(epoll_create1(EPOLL_CLOEXEC));
        epoll_event interest{};
        interest.events = EPOLLIN | EPOLLET;
        if (!poller || fcntl(fd, F_SETFL, O_NONBLOCK) != 0 ||
            epoll_ctl(poller.get(), EPOLL_CTL_ADD, fd, &interest) != 0) {
          error = fmt::format("epoll set-up: {}", std::strerror(errno));
          return false;
        }
        go();
        std::uint8_t buffer[4096];
        std::size_t have = 0;
        while (latencies.size() < count) {
          epoll_event ready{};
          if (epoll_wait(poller.get(), &ready, 1, timeoutMs) <= 0) {
            error = fmt::format("package {} not received", latencies.size());
            return false;
          }
          for (;;) {
            const ssize_t got = recv(fd, buffer + have, sizeof buffer - have, 0);
            if (got <= 0) {
              if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                break;
              }
              error = fmt::format("package {} not received", latencies.size());
              return false;
            }
            have += static_cast<std::size_t>(got);
            const std::uint64_t now = monotonicNs();
            std::size_t at = 0;
            for (; have - at >= 144; at += 144) {
              latencies.push_back(static_cast<double>(now - readLe64(buffer + at + 8)));
            }
            std::memmove(buffer, buffer + at, have - at);
            have -= at;
          }
        }
        return true;
      });
}

// One-way latency of a plain TCP ping-pong between two processes (RTT / 2),
// paced like the board above so that both sides wake from sleep each time.
LatencySamples measurePingPong(const Settings& s, std::size_t count) {
  LatencySamples r;
  const std::string ip = loopbackAddress(pingPongHost);
  const auto intervalNs = static_cast<std::uint64_t>(s.latencyInterval.count()) * 1000;
  constexpr std::size_t messageSize = 144;

  Fd listener;
  if (!guarded(r.error, [&] { listener = listenOn(ip, boardPort); })) {
    return r;
  }
  ChildGroup echo;
  echo.add(spawnChild(60, [&] {
    Fd conn = acceptOne(listener.get(), 10000);
    if (!conn) {
      return 3;
    }
    setNoDelay(conn.get());
    setTimeouts(conn.get(), 5000);
    std::uint8_t buffer[messageSize];
    // The echo stamps its receive time into the message, so the pinging side
    // can split the round trip into its two legs.
    while (recvAll(conn.get(), buffer, messageSize)) {
      writeLe64(buffer, monotonicNs());
      if (!sendAll(conn.get(), buffer, messageSize)) {
        break;
      }
    }
    return 0;
  }));
  listener.reset();

  std::vector<double> oneWay, forward;
  oneWay.reserve(count);
  forward.reserve(count);
  {
    Fd sock;
    if (!guarded(r.error, [&] { sock = connectTo(ip, boardPort, 5000); })) {
      return r;
    }
    setNoDelay(sock.get());
    std::uint8_t buffer[messageSize] = {};
    std::uint64_t next = monotonicNs();
    for (std::size_t i = 0; i < count; ++i) {
      sleepUntilNs(next);
      const std::uint64_t t0 = monotonicNs();
      if (!sendAll(sock.get(), buffer, messageSize) || !recvAll(sock.get(), buffer, messageSize)) {
        r.error = fmt::format("ping {} failed", i);
        return r;
      }
      oneWay.push_back(static_cast<double>(monotonicNs() - t0) / 2);
      forward.push_back(static_cast<double>(readLe64(buffer) - t0));
      next += intervalNs;
    }
  }
  echo.reap(3000);
  LatencySamples legs = keepAfterWarmUp(std::move(forward));
  r = keepAfterWarmUp(std::move(oneWay));
  r.forwardNs = std::move(legs.ns);
  return r;
}

// The measurements run in turns, one connection each per round, so that a
// change of load during the run falls on all alike.
void runLatency(const Settings& s, Report& report) {
  const std::size_t perRound =
      std::max<std::size_t>(100, s.latencySamples / static_cast<std::size_t>(s.latencyRounds));
  fmt::print(
      "\nLatency: one 144-byte package every {} us; {} rounds of {} samples each, the three receivers\n"
      "  in turns (first 5 % of each round left out)\n",
      s.latencyInterval.count(), s.latencyRounds, perRound);
  std::fflush(stdout);
  struct Series {
    const char* name;
    const char* subject;
    LatencySamples (*measure)(const Settings&, std::size_t);
    std::vector<double> ns;
    std::string error;
    LatencyResult result;
    double cpuSeconds = 0;
    std::size_t handOvers = 0;
  };
  Series series[] = {
      {"varnel hand-over (send -> callback)", "varnel", measureHandOver, {}, {}, {}},
      {"blocking recv, same board (send -> recv)", "blocking", measureBlockingReceiver, {}, {}, {}},
      {"epoll_wait + recv, same board", "epoll", measureEpollReceiver, {}, {}, {}},
      {"socket ping-pong one-way (RTT / 2)", "pingpong", measurePingPong, {}, {}, {}},
      {"ping-pong forward leg (echo wakes from sleep)", "pingpong_forward", nullptr, {}, {}, {}},
  };
  for (int round = 0; round < s.latencyRounds; ++round) {
    for (Series& one : series) {
      if (one.measure == nullptr) {
        continue;
      }
      LatencySamples part = one.measure(s, perRound);
      if (part.ok) {
        one.ns.insert(one.ns.end(), part.ns.begin(), part.ns.end());
        one.cpuSeconds += part.cpuSeconds;
        one.handOvers += part.handOvers;
        series[4].ns.insert(series[4].ns.end(), part.forwardNs.begin(), part.forwardNs.end());
      } else if (one.error.empty()) {
        one.error = part.error;
      }
    }
  }
  fmt::print("  {:<44} {:>9} {:>9} {:>9}\n", "", "median us", "p99 us", "max us");
  for (Series& one : series) {
    one.result = summarise(std::move(one.ns));
    if (!one.error.empty()) {
      fmt::print(stderr, "  {}: a round failed: {}\n", one.subject, one.error);
    }
    const LatencyResult& r = one.result;
    if (!r.ok) {
      fmt::print("  {:<44} failed: {}\n", one.name, r.error);
    } else {
      fmt::print("  {:<44} {:>9.1f} {:>9.1f} {:>9.1f}\n", one.name, r.medianUs, r.p99Us, r.maxUs);
    }
    report.add("latency", "144B/1ch", one.subject, "samples", static_cast<double>(r.samples), "");
    report.add("latency", "144B/1ch", one.subject, "median", r.medianUs, "us");
    report.add("latency", "144B/1ch", one.subject, "p99", r.p99Us, "us");
    report.add("latency", "144B/1ch", one.subject, "max", r.maxUs, "us");
  }
  const LatencyResult& varnel = series[0].result;
  const LatencyResult& blocking = series[1].result;
  const LatencyResult& epoll = series[2].result;
  const LatencyResult& pingPong = series[3].result;
  const double toBlocking = varnel.p99Us / blocking.p99Us;
  const double toEpoll = varnel.p99Us / epoll.p99Us;
  report.add("latency", "144B/1ch", "varnel", "p99_to_blocking_p99", toBlocking, "");
  report.add("latency", "144B/1ch", "varnel", "p99_to_epoll_p99", toEpoll, "");
  const double ratio = varnel.p99Us / pingPong.p99Us;
  const Goal g = report.goal("latency", "144B/1ch", "varnel", "p99_to_pingpong_p99", ratio, "", false, 2.0,
                             "varnel p99 <= 2 x ping-pong p99");
  fmt::print("  p99 varnel / ping-pong: {:.2f}   goal <= 2.0 {}\n", ratio, verdict(g.pass));
  fmt::print("  p99 varnel / epoll receiver: {:.2f}   p99 varnel / blocking recv: {:.2f}\n", toEpoll,
             toBlocking);
  if (series[0].handOvers != 0) {
    const double cpuUs = series[0].cpuSeconds * 1e6 / static_cast<double>(series[0].handOvers);
    report.add("latency", "144B/1ch", "varnel", "cpu_per_handover", cpuUs, "us");
    fmt::print("  varnel CPU time per hand-over of one package (whole process): {:.2f} us\n", cpuUs);
  }
  std::fflush(stdout);
}

// ---------------------------------------------------------------------------
// Scale

struct alignas(64) BoardCount {
  std::atomic<std::uint64_t> packages{0};
};

struct ScaleRound {
  bool ok = false;
  std::string error;
  double packagesPerSecond = 0;
};

// `boards` boards stream 1 KiB packages as fast as they can; `boards` parsers
// in this process receive them. The rate is taken over a window after a short
// warm-up.
ScaleRound scaleRound(int boards, const Bytes& block, double windowSeconds) {
  ScaleRound r;
  const auto warmUp = std::chrono::milliseconds(200);
  const auto window = std::chrono::duration<double>(windowSeconds);
  const std::uint64_t stopAtNs = monotonicNs() + 30'000'000'000ull;
  ChildGroup children;
  std::vector<Fd> goWrite;
  for (int b = 0; b < boards; ++b) {
    Fd listener;
    if (!guarded(r.error, [&] { listener = listenOn(loopbackAddress(scaleFirstHost + b), boardPort); })) {
      return r;
    }
    Pipe go = makePipe();
    children.add(spawnChild(45, [&] {
      for (Fd& other : goWrite) {
        other.reset();
      }
      go.write.reset();
      return streamingBoard(listener.get(), go.read.get(), block, 0, stopAtNs, 10000);
    }));
    goWrite.push_back(std::move(go.write));
  }

  auto counts = std::make_unique<BoardCount[]>(static_cast<std::size_t>(boards));
  std::vector<std::unique_ptr<mirt::Varnel>> parsers;
  for (int b = 0; b < boards; ++b) {
    BoardCount* slot = &counts[static_cast<std::size_t>(b)];
    if (!guarded(r.error, [&] {
          parsers.push_back(
              connectVarnel(loopbackAddress(scaleFirstHost + b), [slot](mirt::OstraDataStream* stream) {
                std::uint64_t n = 0;
                while (auto package = stream->pop()) {
                  ++n;
                }
                slot->packages.fetch_add(n, std::memory_order_relaxed);
              }));
        })) {
      return r;
    }
  }
  const auto total = [&] {
    std::uint64_t sum = 0;
    for (int b = 0; b < boards; ++b) {
      sum += counts[static_cast<std::size_t>(b)].packages.load(std::memory_order_relaxed);
    }
    return sum;
  };
  for (Fd& go : goWrite) {
    signalGo(go.get());
  }
  std::this_thread::sleep_for(warmUp);
  const std::uint64_t c0 = total();
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(window);
  const std::uint64_t c1 = total();
  const auto t1 = Clock::now();
  r.ok = true;
  for (auto& parser : parsers) {
    if (parser->getState() == mirt::ConnectionState::Error) {
      r.ok = false;
      r.error = asyncError(*parser);
    }
  }
  r.packagesPerSecond = static_cast<double>(c1 - c0) / secondsSince(t0, t1);
  parsers.clear();
  goWrite.clear();
  children.reap(3000);
  return r;
}

struct RssProbe {
  bool ok = false;
  long beforeKiB = 0;
  long afterKiB = 0;
};

// Starts this program afresh with `--rss-probe` and reads its one line, so
// that the figures do not depend on what earlier parts of the run left in the
// heap or in the thread stack cache.
RssProbe runRssProbe(const char* mode, int count) {
  RssProbe probe;
  Pipe out = makePipe();
  const std::string countText = std::to_string(count);
  ChildGroup child;
  child.add(spawnChild(60, [&] {
    if (dup2(out.write.get(), STDOUT_FILENO) < 0) {
      return 126;
    }
    execl("/proc/self/exe", "varnel-bench", mode, countText.c_str(), static_cast<char*>(nullptr));
    return 127;
  }));
  out.write.reset();
  std::string text;
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  char buffer[256];
  while (Clock::now() < deadline) {
    if (!waitReadable(out.read.get(), 1000)) {
      continue;
    }
    const ssize_t n = ::read(out.read.get(), buffer, sizeof buffer);
    if (n <= 0) {
      break;
    }
    text.append(buffer, static_cast<std::size_t>(n));
  }
  child.reap(3000);
  std::istringstream in(text);
  probe.ok = static_cast<bool>(in >> probe.beforeKiB >> probe.afterKiB);
  return probe;
}

void runScale(const Settings& s, Report& report) {
  const int boardCounts[] = {1, 8, 32};
  const Bytes block = buildBlock(1024, 1, 1 << 20);
  fmt::print(
      "\nScale: N boards stream 1024-byte packages (1 channel) at once, one parser each\n"
      "  (aggregate over {:.1f} s after 0.2 s warm-up; median of {} round{})\n",
      s.scaleWindowSeconds, s.rounds, s.rounds == 1 ? "" : "s");
  std::fflush(stdout);
  double rate[3] = {NAN, NAN, NAN};
  for (int i = 0; i < 3; ++i) {
    std::vector<double> rates;
    std::string firstError;
    for (int round = 0; round < s.rounds; ++round) {
      const ScaleRound r = scaleRound(boardCounts[i], block, s.scaleWindowSeconds);
      if (r.ok) {
        rates.push_back(r.packagesPerSecond);
      } else if (firstError.empty()) {
        firstError = r.error;
      }
    }
    if (!firstError.empty()) {
      fmt::print(stderr, "  {} boards: {} of {} rounds failed; first: {}\n", boardCounts[i],
                 s.rounds - static_cast<int>(rates.size()), s.rounds, firstError);
    }
    rate[i] = median(rates);
  }
  fmt::print("  {:>6} | {:>12} {:>8} | {:>12} | {:>8} | {}\n", "boards", "pkg/s total", "MB/s", "pkg/s each",
             "to one", "goal");
  for (int i = 0; i < 3; ++i) {
    const int n = boardCounts[i];
    const std::string name = fmt::format("{}boards", n);
    const double toOne = rate[i] / rate[0];
    report.add("scale", name, "varnel", "packages_per_s", rate[i], "1/s");
    report.add("scale", name, "varnel", "mb_per_s", rate[i] * 1024 / 1e6, "MB/s");
    std::string goalText;
    if (n == maxBoards) {
      const Goal g = report.goal("scale", name, "varnel", "ratio_to_one", toOne, "", true, 0.7,
                                 "32 boards >= 0.7 x one");
      goalText = fmt::format(">= 0.7 {}", verdict(g.pass));
    } else {
      report.add("scale", name, "varnel", "ratio_to_one", toOne, "");
    }
    fmt::print("  {:>6} | {:>12.0f} {:>8.1f} | {:>12.0f} | {:>8.2f} | {}\n", n, rate[i], rate[i] * 1024 / 1e6,
               rate[i] / n, toOne, goalText);
  }
  std::fflush(stdout);

  const std::size_t stackKiB = defaultThreadStackBytes() / 1024;
  fmt::print(
      "\n  Resident memory per idle parser (VmRSS before and after creating and connecting N parsers\n"
      "  to silent boards, in a fresh process; a bare thread blocked on a condition variable beside it)\n");
  fmt::print("  {:>6} | {:>11} {:>11} | {:>14} | {:>14} | {}\n", "N", "before KiB", "after KiB",
             "per parser KiB", "bare thread KiB", "goal");
  for (const int n : boardCounts) {
    const RssProbe parsers = runRssProbe("--rss-probe", n);
    const RssProbe threads = runRssProbe("--rss-probe-threads", n);
    const double perParser = parsers.ok ? static_cast<double>(parsers.afterKiB - parsers.beforeKiB) / n : NAN;
    const double perThread = threads.ok ? static_cast<double>(threads.afterKiB - threads.beforeKiB) / n : NAN;
    const std::string name = fmt::format("{}parsers", n);
    report.add("scale", name, "varnel", "rss_before", static_cast<double>(parsers.beforeKiB), "KiB");
    report.add("scale", name, "varnel", "rss_after", static_cast<double>(parsers.afterKiB), "KiB");
    report.add("scale", name, "bare_thread", "rss_per_thread", perThread, "KiB");
    std::string goalText;
    if (n == maxBoards) {
      const Goal g = report.goal("scale", name, "varnel", "rss_per_idle_parser", perParser, "KiB", false, 256,
                                 "RSS per idle parser <= 256 KiB");
      goalText = fmt::format("<= 256 {}", verdict(g.pass));
    } else {
      report.add("scale", name, "varnel", "rss_per_idle_parser", perParser, "KiB");
    }
    fmt::print("  {:>6} | {:>11} {:>11} | {:>14.1f} | {:>14.1f} | {}\n", n, parsers.beforeKiB,
               parsers.afterKiB, perParser, perThread, goalText);
  }
  report.add("scale", "", "", "default_thread_stack", static_cast<double>(stackKiB), "KiB");
  fmt::print(
      "  Each parser runs one I/O thread; the default thread stack is {} KiB of address space,\n"
      "  of which only the touched pages are resident and counted above.\n",
      stackKiB);
  std::fflush(stdout);
}

// The probe process: silent boards, then N parsers (or N bare threads), and
// one line "rssBeforeKiB rssAfterKiB" on standard output.
int rssProbeMain(int count, bool bareThreads) {
  count = std::clamp(count, 1, maxBoards);
  ChildGroup boards;
  if (!bareThreads) {
    for (int b = 0; b < count; ++b) {
      Fd listener = listenOn(loopbackAddress(scaleFirstHost + b), boardPort);
      boards.add(spawnChild(40, [&] {
        Fd conn = acceptOne(listener.get(), 20000);
        if (conn) {
          waitReadable(conn.get(), 30000);  // until the parser goes away
        }
        return 0;
      }));
    }
  }
  const auto settle = std::chrono::milliseconds(300);
  const long before = vmRssKiB();
  long after = -1;
  if (bareThreads) {
    std::mutex mutex;
    std::condition_variable release;
    bool go = false;
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i) {
      threads.emplace_back([&] {
        std::unique_lock lock(mutex);
        release.wait_for(lock, std::chrono::seconds(20), [&] { return go; });
      });
    }
    std::this_thread::sleep_for(settle);
    after = vmRssKiB();
    {
      std::lock_guard lock(mutex);
      go = true;
    }
    release.notify_all();
    for (auto& t : threads) {
      t.join();
    }
  } else {
    std::vector<std::unique_ptr<mirt::Varnel>> parsers;
    for (int b = 0; b < count; ++b) {
      parsers.push_back(connectVarnel(loopbackAddress(scaleFirstHost + b), [](mirt::OstraDataStream* stream) {
        while (auto package = stream->pop()) {
        }
      }));
    }
    std::this_thread::sleep_for(settle);  // past the first timer hand-over
    after = vmRssKiB();
    parsers.clear();
  }
  fmt::print("{} {}\n", before, after);
  std::fflush(stdout);
  boards.reap(3000);
  return 0;
}

// ---------------------------------------------------------------------------

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
      "usage: varnel-bench [--rounds N] [--quick] [--only throughput|latency|scale] [--csv PATH]\n"
      "\n"
      "Measures the Varnel receiver on loopback (127.0.6.1 to 127.0.6.60, port 63751) beside plain\n"
      "socket receivers in the same run, prints tables and writes the figures as CSV.\n"
      "\n"
      "  --rounds N   rounds per throughput case and scale size, median reported (default 5)\n"
      "  --quick      a short smoke run: fewer packages and samples, one round\n"
      "  --only PART  run one part: throughput, latency or scale\n"
      "  --csv PATH   CSV output (default bench/results/latest.csv if that directory exists\n"
      "               below the current one, else ./varnel-bench.csv)\n"
      "  --help       this text\n");
}

std::string defaultCsvPath() {
  std::error_code ec;
  if (std::filesystem::is_directory("bench/results", ec)) {
    return "bench/results/latest.csv";
  }
  return "varnel-bench.csv";
}

int benchMain(const Options& options) {
  Settings s;
  s.rounds = options.rounds;
  if (options.quick) {
    s.rounds = std::min(s.rounds, 1);
    s.packageDivisor = 20;
    s.latencySamples = 500;
    s.latencyRounds = 2;
    s.scaleWindowSeconds = 0.3;
    s.roundTimeout = std::chrono::seconds(8);
  }
  const Fd runLock = takeRunLock(options.quick ? 60 : 600);
  signal(SIGALRM, onRunLimit);
  alarm(options.quick ? 120 : 1800);
  const auto started = Clock::now();
  const double machineCpuStart = machineCpuSeconds();
  const double ownCpuStart = ownCpuSeconds();
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
  report.addText("run", "load_average_start", loadStart);

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

  const std::string loadEnd = loadAverage();
  const double elapsed = secondsSince(started, Clock::now());
  killAllChildren();  // all reaped already; their time counts as our own
  const double otherCores =
      std::max(0.0, (machineCpuSeconds() - machineCpuStart) - (ownCpuSeconds() - ownCpuStart)) / elapsed;
  report.addText("run", "load_average_end", loadEnd);
  report.addText("run", "other_processes_cores", number(otherCores));
  report.addText("run", "elapsed_s", number(elapsed));

  fmt::print("\nGoals\n");
  for (const Goal& g : report.goals()) {
    fmt::print("  {:<40} {:>8}   {:<34} {}\n", g.name, number(g.value), g.text, verdict(g.pass));
  }
  const std::string csvPath = options.csvPath.empty() ? defaultCsvPath() : options.csvPath;
  const bool written = report.writeCsv(csvPath);
  fmt::print(
      "\nload average {} at end (this run's own processes included); other processes used {:.2f} of {} "
      "cores\non average during the run; {:.1f} s in all; CSV {}{}\n",
      loadEnd, otherCores, cores, elapsed, csvPath, written ? "" : " could NOT be written");
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
      } else if (arg == "--quick") {
        options.quick = true;
      } else if (arg == "--only") {
        options.only = value();
        if (options.only != "throughput" && options.only != "latency" && options.only != "scale") {
          throw std::invalid_argument("--only takes throughput, latency or scale");
        }
      } else if (arg == "--csv") {
        options.csvPath = value();
      } else if (arg == "--rss-probe" || arg == "--rss-probe-threads") {
        probe = std::make_pair(arg, std::stoi(value()));
      } else {
        throw std::invalid_argument("unknown option " + arg);
      }
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
    fmt::print(stderr, "varnel-bench: {} (code {})\n", e.what(), static_cast<int>(e.getErrorCode()));
  } catch (const std::exception& e) {
    fmt::print(stderr, "varnel-bench: {}\n", e.what());
  }
  killAllChildren();
  return rc;
}
