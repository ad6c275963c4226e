#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "stream/PackageFormat.hpp"
#include "stream/SampleRecycler.hpp"
#include "varnel/varnel.hpp"

// One decoded board package. Immutable once built; owns all its data.
class OstraDataPackageImpl : public mirt::OstraDataPackage {
 public:
  using Waveforms = std::array<std::vector<std::uint32_t>, package::maxChannels>;

  // `recycler`, if given, takes the sample storage back when the package
  // is destroyed, on whatever thread that happens.
  OstraDataPackageImpl(const mirt::OstraMetaData& metaData, std::vector<std::uint32_t> channelTypes,
                       Waveforms waveforms, std::shared_ptr<SampleRecycler> recycler = nullptr,
                       const mirt::ReceiveTime& receiveTime = {});
  ~OstraDataPackageImpl() override;

  std::size_t getSize() const override;
  std::size_t getChannelCount() const override;
  // Throws VarnelExceptionImpl (GeneralError) for a channel of 8 or more.
  const std::vector<std::uint32_t>& getWaveform(std::size_t channel) const override;
  // Throws VarnelExceptionImpl (GeneralError) for a channel at or beyond
  // getChannelCount().
  std::uint32_t getWaveformType(std::size_t channel) const override;
  const mirt::OstraMetaData& getMetaData() const override;
  mirt::ReceiveTime getReceiveTime() const override;

 private:
  mirt::OstraMetaData metaData;
  mirt::ReceiveTime receiveTime;
  std::vector<std::uint32_t> channelTypes;
  Waveforms waveforms;
  std::shared_ptr<SampleRecycler> recycler;
};
