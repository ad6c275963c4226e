#include "stream/OstraDataPackageImpl.hpp"

#include <utility>

#include <fmt/format.h>

#include "common/VarnelExceptionImpl.hpp"

namespace {

// What a channel slot beyond the package's channels holds.
const std::vector<std::uint32_t> noSamples;

}  // namespace

std::unique_ptr<OstraDataPackageImpl> OstraDataPackageImpl::make(
    PackagePool::Block& block, const mirt::OstraMetaData& metaData,
    const mirt::ReceiveTime& receiveTime) noexcept {
  return std::unique_ptr<OstraDataPackageImpl>(new (block)
                                                   OstraDataPackageImpl(block, metaData, receiveTime));
}

OstraDataPackageImpl::OstraDataPackageImpl(PackagePool::Block& block, const mirt::OstraMetaData& metaData,
                                           const mirt::ReceiveTime& receiveTime) noexcept
    : metaData(metaData), receiveTime(receiveTime), block(block) {}

void* OstraDataPackageImpl::operator new(std::size_t, PackagePool::Block& block) noexcept {
  return block.object();
}

// Only reached when the constructor throws, which it does not.
void OstraDataPackageImpl::operator delete(void* object, PackagePool::Block&) noexcept {
  PackagePool::giveBack(PackagePool::Block::of(object));
}

// The destructor has run; the block goes home with the storage.
void OstraDataPackageImpl::operator delete(void* object) noexcept {
  PackagePool::giveBack(PackagePool::Block::of(object));
}

// Every channel of a package holds the same number of samples.
std::size_t OstraDataPackageImpl::getSize() const { return getWaveform(0).size(); }

std::size_t OstraDataPackageImpl::getChannelCount() const { return block.channelTypes.size(); }

const std::vector<std::uint32_t>& OstraDataPackageImpl::getWaveform(std::size_t channel) const {
  if (channel >= block.waveforms.size()) {
    throw VarnelExceptionImpl(
        fmt::format("Invalid channel {}; valid channels are 0 to {}", channel, block.waveforms.size() - 1),
        mirt::VarnelException::GeneralError);
  }
  return channel < block.channelTypes.size() ? block.waveforms[channel] : noSamples;
}

std::uint32_t OstraDataPackageImpl::getWaveformType(std::size_t channel) const {
  const std::vector<std::uint32_t>& channelTypes = block.channelTypes;
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
