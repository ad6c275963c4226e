#pragma once

// The benchmark's boards: forked child processes that write packages built
// with boardsim's PackageBuilder. Not boardsim::BoardServer, which encodes
// each package as it sends it and paces in whole milliseconds: these boards
// write pre-built bytes with blocking calls, so that the board is never what
// limits a measurement, and the paced board keeps a 200 us pace.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "ChildGroup.hpp"
#include "CpuPinning.hpp"
#include "Sockets.hpp"
#include "boardsim/PackageBuilder.hpp"

namespace bench {

using Bytes = boardsim::Bytes;

// Little-endian fields as a plain receiver reads them from the bytes.
inline std::uint32_t readLe32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

inline std::uint64_t readLe64(const std::uint8_t* p) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) {
    value = value << 8 | p[i];
  }
  return value;
}

inline void writeLe64(std::uint8_t* p, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) {
    p[i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

/// A valid package of exactly `size` bytes with `channels` channels: dataSize
/// is size - 128, each channel carries (size - 128) / 4 / channels samples.
boardsim::PackageSpec benchSpec(std::uint32_t size, std::uint32_t channels, std::uint64_t headerValue);

/// At least `minBytes` of whole packages, each with its own headerValue.
Bytes buildBlock(std::uint32_t size, std::uint32_t channels, std::size_t minBytes);

/// Board side of a throughput round or a scale run, run in the board's
/// child: accepts one connection, waits for the go byte, then writes the
/// block over and over (wrapping at its end, which is a package boundary):
/// `totalBytes` in all, or with totalBytes = 0 until the receiver goes away
/// or `stopAtNs` has passed. Afterwards it holds the connection open until
/// the parent closes the go pipe. Returns the child's exit status.
int streamingBoard(int listenFd, int goFd, const Bytes& block, std::uint64_t totalBytes,
                   std::uint64_t stopAtNs, int waitMs);

// A board process that sends one small package at a time, with the
// end-of-stream flag and its CLOCK_MONOTONIC send time in headerValue, every
// `interval` once `go` is signalled; it holds the connection until `go`
// is closed.
struct PacedBoard {
  ChildGroup process;
  Pipe go;
  std::chrono::milliseconds timeout{0};
};

/// Starts `board` on `ip` for `count` packages, on the boards' CPU of
/// `pinning`; false with `error` if it cannot listen there.
bool startPacedBoard(const std::string& ip, std::chrono::microseconds interval, std::size_t count,
                     const CpuPinning& pinning, PacedBoard& board, std::string& error);

}  // namespace bench
