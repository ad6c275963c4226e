#include "stream/OstraDataPackageImpl.hpp"

#include <utility>

#include <fmt/format.h>

#include "common/VarnelExceptionImpl.hpp"

OstraDataPackageImpl::OstraDataPackageImpl(const mirt::OstraMetaData& metaData,
                                           std::vector<std::uint32_t> channelTypes, Waveforms waveforms,
                                           std::shared_ptr<SampleRecycler> recycler,
                                           const mirt::ReceiveTime& receiveTime)
    : metaData(metaData),
      receiveTime(receiveTime),
      channelTypes(std::move(channelTypes)),
      waveforms(std::move(waveforms)),
      recycler(std::move(recycler)) {}

OstraDataPackageImpl::~OstraDataPackageImpl() {
  if (recycler) {
    for (auto& samples : waveforms) recycler->give(samples);
  }
}

// Every channel of a package holds the same number of samples.
std::size_t OstraDataPackageImpl::getSize() const { return waveforms[0].size(); }

std::size_t OstraDataPackageImpl::getChannelCount() const { return channelTypes.size(); }

const std::vector<std::uint32_t>& OstraDataPackageImpl::getWaveform(std::size_t channel) const {
  if (channel >= waveforms.size()) {
    throw VarnelExceptionImpl(
        fmt::format("Invalid channel {}; valid channels are 0 to {}", channel, waveforms.size() - 1),
        mirt::VarnelException::GeneralError);
  }
  return waveforms[channel];
}

std::uint32_t OstraDataPackageImpl::getWaveformType(std::size_t channel) const {
  if (channel >= channelTypes.size()) {
    throw VarnelExceptionImpl(
        channelTypes.empty()
            ? fmt::format("Invalid channel {}; the package has no channels", channel)
            : fmt::format("Invalid channel {}; valid channels are 0 to {}", channel, channelTypes.size() - 1),
        mirt::VarnelException::GeneralError);
  }
  return channelTypes[channel];
}

const mirt::OstraMetaData& OstraDataPackageImpl::getMetaData() const { return metaData; }

mirt::ReceiveTime OstraDataPackageImpl::getReceiveTime() const { return receiveTime; }
