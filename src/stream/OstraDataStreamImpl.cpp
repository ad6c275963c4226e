#include "stream/OstraDataStreamImpl.hpp"

#include <algorithm>
#include <cassert>
#include <utility>
#include <vector>

#include "stream/OstraDataPackageImpl.hpp"
#include "stream/PackageReader.hpp"

OstraDataStreamImpl::OstraDataStreamImpl() : endOfStream(false), pool(std::make_shared<PackagePool>()) {}

OstraDataStreamImpl::~OstraDataStreamImpl() {
  clear();
  pool->detachKept();
}

std::size_t OstraDataStreamImpl::getSize() const { return packages.size() - head; }

std::unique_ptr<mirt::OstraDataPackage> OstraDataStreamImpl::pop() {
  if (head == packages.size()) {
    return nullptr;
  }
  return std::move(packages[head++]);
}

void OstraDataStreamImpl::appendPackage(const PackageReader& reader, const mirt::ReceiveTime& receiveTime) {
  appendPackage(reader, reader.parseHeader(), receiveTime);
}

void OstraDataStreamImpl::appendPackage(const PackageReader& reader, const PackageHeader& header,
                                        const mirt::ReceiveTime& receiveTime) {
  // The header checks have refused more than eight channels, all the
  // channel table and the waveform slots have room for.
  assert(header.channelCount <= package::maxChannels);
  const std::uint32_t channelCount = std::min(header.channelCount, package::maxChannels);
  const mirt::OstraMetaData metaData = reader.parseMetaData();

  // Every channel holds the same number of samples (see readChannel).
  const std::size_t samplesPerChannel = channelCount == 0 ? 0 : header.dataSize / channelCount / 4;
  PackagePool::Block* const block =
      PackagePool::take(pool, sizeof(OstraDataPackageImpl), channelCount, samplesPerChannel);
  // Back to the pool if filling it fails (only memory can run out).
  struct Unused {
    PackagePool::Block* block;
    ~Unused() {
      if (block != nullptr) PackagePool::giveBack(block);
    }
  } unused{block};

  block->channelTypes.assign(header.waveformTypes.begin(), header.waveformTypes.begin() + channelCount);

  endOfStream = (header.flags & package::endOfStreamFlag) != 0;

  if (package::Waveforms* const received = reader.samplesInPlace()) {
    for (std::uint32_t c = 0; c < channelCount; ++c) {
      if (samplesPerChannel == 0) {
        block->waveforms[c].clear();
      } else {
        block->waveforms[c].swap((*received)[c]);
      }
    }
  } else {
    reader.readChannels(header, block->waveforms);
  }

  unused.block = nullptr;
  packages.push_back(OstraDataPackageImpl::make(*block, metaData, receiveTime));
}

void OstraDataStreamImpl::clear() {
  while (packages.size() > head) {
    packages.pop_back();
  }
  packages.clear();  // the slots of popped packages, empty already
  head = 0;
  // The queue's storage serves the next batch; only what an unusually long
  // one made it grow to is given back.
  if (packages.capacity() > keptQueueLength) {
    std::vector<std::unique_ptr<mirt::OstraDataPackage>>().swap(packages);
  }
}

const mirt::OstraDataPackage* OstraDataStreamImpl::back() const {
  return head == packages.size() ? nullptr : packages.back().get();
}

const mirt::OstraDataPackage* OstraDataStreamImpl::front() const {
  return head == packages.size() ? nullptr : packages[head].get();
}
