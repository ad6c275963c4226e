#include "stream/PackageFramer.hpp"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>

void PackageFramer::makeRoom() {
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
}

std::span<std::uint8_t> PackageFramer::readWindow() {
  assert(!headerReady() && !packageReady());
  assert(!inPlace_);
  makeRoom();
  std::size_t windowEnd = package::bufferSize;
  if (accepted_) {
    if (packageSize_ >= largePackageSize) windowEnd = start_ + packageSize_ + package::headerSize;
  } else if (lastPackageSize_ >= largePackageSize) {
    windowEnd = start_ + package::headerSize;
  }
  assert(windowEnd > end_ && windowEnd <= capacity);
  return {buffer_.data() + end_, windowEnd - end_};
}

void PackageFramer::receiveSamplesInPlace() {
  // On a big-endian host the samples are converted on their way out of the
  // buffer, so they are never read in place.
  inPlaceEnabled_ = std::endian::native == std::endian::little;
}

PackageFramer::ReadPieces PackageFramer::readPieces() {
  if (!inPlace_) {
    pieces_[0] = readWindow();
    return {pieces_.data(), 1};
  }
  assert(!packageReady());
  makeRoom();
  // The rest of the package and the next header, as positions from the
  // package's first byte: each channel's samples into its storage, all
  // else into the buffer.
  const std::size_t have = end_ - start_;
  const std::size_t limit = packageSize_ + package::headerSize;
  assert(start_ + limit <= capacity);
  std::size_t count = 0;
  // Positions `segmentStart` to `segmentEnd` go to `at` on; only what is
  // still to come is read.
  const auto add = [&](std::size_t segmentStart, std::size_t segmentEnd, std::uint8_t* at) {
    const std::size_t from = std::max(segmentStart, have);
    const std::size_t to = std::min(segmentEnd, limit);
    if (from < to) pieces_[count++] = {at + (from - segmentStart), to - from};
  };
  std::uint8_t* const package = buffer_.data() + start_;
  const std::size_t sampleBytes = static_cast<std::size_t>(samplesPerChannel_) * 4;
  std::size_t position = 0;  // where the pieces so far end
  for (std::uint32_t c = 0; c < channels_; ++c) {
    const auto first = static_cast<std::size_t>(package::sampleDataOffset +
                                                static_cast<std::uint64_t>(c) * dataSize_ / channels_);
    add(position, first, package + position);
    add(first, first + sampleBytes, reinterpret_cast<std::uint8_t*>(samples_[c].data()));
    position = first + sampleBytes;
  }
  add(position, limit, package + position);
  assert(count > 0 && count <= maxPieces);
  return {pieces_.data(), count};
}

void PackageFramer::received(std::size_t bytes) {
  assert(end_ + bytes <= capacity);
  assert(!inPlace_ || end_ + bytes <= start_ + packageSize_ + package::headerSize);
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

PackageReader PackageFramer::inProgress() {
  const std::span<const std::uint8_t> bytes = inProgressBytes();
  if (inPlace_ && packageReady()) return PackageReader(bytes.data(), bytes.size(), &samples_);
  return PackageReader(bytes.data(), bytes.size());
}

void PackageFramer::accept(std::uint32_t packageSize) {
  assert(headerReady());
  assert(packageSize >= package::headerSize && packageSize <= package::bufferSize);
  accepted_ = true;
  packageSize_ = packageSize;
  planInPlace();
}

void PackageFramer::planInPlace() {
  inPlace_ = false;
  // Samples already among the bytes in hand stay there with the rest.
  if (!inPlaceEnabled_ || packageSize_ < inPlaceSize || end_ - start_ > package::sampleDataOffset) return;
  const PackageHeader header = PackageReader(buffer_.data() + start_, package::headerSize).parseHeader();
  if (header.channelCount == 0 || header.channelCount > package::maxChannels) return;
  const std::uint32_t count = header.dataSize / header.channelCount / 4;
  if (count == 0) return;
  // Every sample must be carried: the last channel's end within the package.
  const std::uint64_t lastFirst =
      package::sampleDataOffset +
      static_cast<std::uint64_t>(header.channelCount - 1) * header.dataSize / header.channelCount;
  if (lastFirst + static_cast<std::uint64_t>(count) * 4 > packageSize_) return;
  for (std::uint32_t c = 0; c < header.channelCount; ++c) {
    // The storage becomes the package's: not much more than its samples.
    if (samples_[c].capacity() > 2 * static_cast<std::size_t>(count)) {
      std::vector<std::uint32_t>().swap(samples_[c]);
    }
    samples_[c].resize(count);
  }
  channels_ = header.channelCount;
  samplesPerChannel_ = count;
  dataSize_ = header.dataSize;
  inPlace_ = true;
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
  inPlace_ = false;
}
