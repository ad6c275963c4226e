#include "Boards.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "Errors.hpp"
#include "Timing.hpp"

namespace bench {

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

bool startPacedBoard(const std::string& ip, std::chrono::microseconds interval, std::size_t count,
                     const CpuPinning& pinning, PacedBoard& board, std::string& error) {
  const auto intervalNs = static_cast<std::uint64_t>(interval.count()) * 1000;
  boardsim::PackageSpec spec = benchSpec(144, 1, 0);
  spec.endOfStream();
  Bytes package = boardsim::encode(spec);

  Fd listener;
  if (!guarded(error, [&] { listener = listenOn(ip); })) {
    return false;
  }
  board.go = makePipe();
  board.timeout = std::chrono::seconds(10) + std::chrono::duration_cast<std::chrono::milliseconds>(
                                                 std::chrono::nanoseconds(intervalNs * count));
  const int waitMs = static_cast<int>(board.timeout.count());
  Pipe& go = board.go;
  board.process.add(spawnChild(static_cast<unsigned>(waitMs / 1000 + 20), [&] {
    go.write.reset();
    pinning.pinBoard();
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

}  // namespace bench
