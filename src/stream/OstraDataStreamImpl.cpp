#include "stream/OstraDataStreamImpl.hpp"

#include <stdexcept>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "stream/OstraDataPackageImpl.hpp"
#include "stream/PackageReader.hpp"

OstraDataStreamImpl::OstraDataStreamImpl()
    : endOfStream(false), recycler(std::make_shared<SampleRecycler>()) {}

OstraDataStreamImpl::~OstraDataStreamImpl() { clear(); }

std::size_t OstraDataStreamImpl::getSize() const { return packages.size(); }

std::unique_ptr<mirt::OstraDataPackage> OstraDataStreamImpl::pop() {
  if (packages.empty()) {
    return nullptr;
  }
  std::unique_ptr<mirt::OstraDataPackage> oldest = std::move(packages.front());
  packages.pop_front();
  return oldest;
}

void OstraDataStreamImpl::appendPackage(const PackageBuffer& buffer) { appendPackage(PackageReader(buffer)); }

void OstraDataStreamImpl::appendPackage(const PackageReader& reader) {
  const PackageHeader header = reader.parseHeader();
  // The header checks refuse such packages; the channel table and the
  // waveform slots have room for eight channels only.
  if (header.channelCount > package::maxChannels) {
    throw std::length_error(fmt::format("Invalid channel count {}; allowed are 0 to {} channels",
                                        header.channelCount, package::maxChannels));
  }
  const mirt::OstraMetaData metaData = reader.parseMetaData();

  std::vector<std::uint32_t> channelTypes;
  channelTypes.reserve(header.channelCount);
  for (std::uint32_t c = 0; c < header.channelCount; ++c) {
    channelTypes.push_back(header.waveformTypes[c]);
  }

  endOfStream = (header.flags & package::endOfStreamFlag) != 0;

  // Every channel holds the same number of samples (see readChannel).
  const std::size_t samplesPerChannel =
      header.channelCount == 0 ? 0 : header.dataSize / header.channelCount / 4;
  OstraDataPackageImpl::Waveforms waveforms;
  for (std::uint32_t c = 0; c < channelTypes.size(); ++c) {
    waveforms[c] = recycler->take(samplesPerChannel);
    reader.readChannel(c, waveforms[c]);
  }

  auto built = std::make_unique<OstraDataPackageImpl>(metaData, std::move(channelTypes), std::move(waveforms),
                                                      recycler);
  packages.push_back(std::move(built));
}

void OstraDataStreamImpl::clear() {
  while (!packages.empty()) {
    packages.pop_back();
  }
  // Give the queue's blocks back as well, not only its packages.
  std::deque<std::unique_ptr<mirt::OstraDataPackage>>().swap(packages);
}

const mirt::OstraDataPackage* OstraDataStreamImpl::back() const {
  return packages.empty() ? nullptr : packages.back().get();
}

const mirt::OstraDataPackage* OstraDataStreamImpl::front() const {
  return packages.empty() ? nullptr : packages.front().get();
}
