#include "stream/OstraDataStreamImpl.hpp"

#include <algorithm>
#include <cassert>
#include <utility>
#include <vector>

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

void OstraDataStreamImpl::appendPackage(const PackageReader& reader, const mirt::ReceiveTime& receiveTime) {
  const PackageHeader header = reader.parseHeader();
  // The header checks have refused more than eight channels, all the
  // channel table and the waveform slots have room for.
  assert(header.channelCount <= package::maxChannels);
  const std::uint32_t channelCount = std::min(header.channelCount, package::maxChannels);
  const mirt::OstraMetaData metaData = reader.parseMetaData();

  std::vector<std::uint32_t> channelTypes;
  channelTypes.reserve(channelCount);
  for (std::uint32_t c = 0; c < channelCount; ++c) {
    channelTypes.push_back(header.waveformTypes[c]);
  }

  endOfStream = (header.flags & package::endOfStreamFlag) != 0;

  // Every channel holds the same number of samples (see readChannel).
  const std::size_t samplesPerChannel = channelCount == 0 ? 0 : header.dataSize / channelCount / 4;
  OstraDataPackageImpl::Waveforms waveforms;
  for (std::uint32_t c = 0; c < channelTypes.size(); ++c) {
    waveforms[c] = recycler->take(samplesPerChannel);
    reader.readChannel(c, waveforms[c]);
  }

  auto built = std::make_unique<OstraDataPackageImpl>(metaData, std::move(channelTypes), std::move(waveforms),
                                                      recycler, receiveTime);
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
