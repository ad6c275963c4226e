#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "stream/PackageFormat.hpp"
#include "varnel/varnel.hpp"

// One decoded board package. Immutable once built; owns all its data.
class OstraDataPackageImpl : public mirt::OstraDataPackage {
 public:
  using Waveforms = std::array<std::vector<std::uint32_t>, package::maxChannels>;

  OstraDataPackageImpl(const mirt::OstraMetaData& metaData, std::vector<std::uint32_t> channelTypes,
                       Waveforms waveforms);
  ~OstraDataPackageImpl() override;

  std::size_t getSize() const override;
  std::size_t getChannelCount() const override;
  // Throws VarnelExceptionImpl (GeneralError) for a channel of 8 or more.
  const std::vector<std::uint32_t>& getWaveform(std::size_t channel) const override;
  // Throws VarnelExceptionImpl (GeneralError) for a channel at or beyond
  // getChannelCount().
  std::uint32_t getWaveformType(std::size_t channel) const override;
  const mirt::OstraMetaData& getMetaData() const override;

 private:
  mirt::OstraMetaData metaData;
  std::vector<std::uint32_t> channelTypes;
  Waveforms waveforms;
};
