#include "stream/PackageFramer.hpp"

#include <algorithm>
#include <cassert>
#include <cstring>

std::span<std::uint8_t> PackageFramer::readWindow() {
  assert(!headerReady() && !packageReady());
  if (end_ == start_) {
    start_ = 0;
    end_ = 0;
  }
  // The package in progress must fit behind its start; if it does not, its
  // first bytes move to the front.
  const std::size_t needed = accepted_ ? packageSize_ : package::headerSize;
  if (start_ + needed > package::bufferSize) {
    std::memmove(buffer_.data(), buffer_.data() + start_, end_ - start_);
    end_ -= start_;
    start_ = 0;
  }
  std::size_t windowEnd = package::bufferSize;
  if (accepted_) {
    if (packageSize_ >= largePackageSize) windowEnd = start_ + packageSize_ + package::headerSize;
  } else if (lastPackageSize_ >= largePackageSize) {
    windowEnd = start_ + package::headerSize;
  }
  assert(windowEnd > end_ && windowEnd <= capacity);
  return {buffer_.data() + end_, windowEnd - end_};
}

void PackageFramer::received(std::size_t bytes) {
  assert(end_ + bytes <= capacity);
  end_ += bytes;
}

std::size_t PackageFramer::inHand() const {
  const std::size_t have = end_ - start_;
  return accepted_ ? std::min<std::size_t>(have, packageSize_) : have;
}

std::span<const std::uint8_t> PackageFramer::inProgressBytes() const {
  const std::size_t delivered = accepted_ ? inHand() : std::min<std::size_t>(inHand(), package::headerSize);
  return {buffer_.data() + start_, delivered};
}

PackageReader PackageFramer::inProgress() const {
  const std::span<const std::uint8_t> bytes = inProgressBytes();
  return PackageReader(bytes.data(), bytes.size());
}

void PackageFramer::accept(std::uint32_t packageSize) {
  assert(headerReady());
  assert(packageSize >= package::headerSize && packageSize <= package::bufferSize);
  accepted_ = true;
  packageSize_ = packageSize;
}

void PackageFramer::consume() {
  assert(packageReady());
  // A complete package lies where it started, inside the first 65536 bytes;
  // only a header-only package may lie in the spare bytes behind them,
  // where it landed as the header behind a large package.
  assert(start_ + packageSize_ <= package::bufferSize ||
         (packageSize_ == package::headerSize && start_ + packageSize_ <= capacity));
  start_ += packageSize_;
  lastPackageSize_ = packageSize_;
  accepted_ = false;
  packageSize_ = 0;
}
