#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "stream/PackageFormat.hpp"
#include "stream/PackagePool.hpp"
#include "varnel/varnel.hpp"

// One decoded board package. Immutable once built; owns all its data.
//
// Its memory comes from a PackagePool block (see make), so it is created
// only through make and destroyed through delete like any other object,
// on any thread: the deletion gives the block back to the pool. Its channel
// types and samples are the block's storage, used where it lies.
class OstraDataPackageImpl : public mirt::OstraDataPackage {
 public:
  using Waveforms = PackagePool::Waveforms;

  // Builds the package in `block` (from PackagePool::take), whose channel
  // types and the samples of the channels they name must be filled. The
  // block's storage of the other channels may hold anything: the package
  // shows their slots empty.
  static std::unique_ptr<OstraDataPackageImpl> make(PackagePool::Block& block,
                                                    const mirt::OstraMetaData& metaData,
                                                    const mirt::ReceiveTime& receiveTime) noexcept;

  std::size_t getSize() const override;
  std::size_t getChannelCount() const override;
  // Throws VarnelExceptionImpl (GeneralError) for a channel of 8 or more.
  const std::vector<std::uint32_t>& getWaveform(std::size_t channel) const override;
  // Throws VarnelExceptionImpl (GeneralError) for a channel at or beyond
  // getChannelCount().
  std::uint32_t getWaveformType(std::size_t channel) const override;
  const mirt::OstraMetaData& getMetaData() const override;
  mirt::ReceiveTime getReceiveTime() const override;

  // Packages live only in pool blocks.
  static void* operator new(std::size_t size, PackagePool::Block& block) noexcept;
  static void operator delete(void* object, PackagePool::Block& block) noexcept;
  static void operator delete(void* object) noexcept;

 private:
  OstraDataPackageImpl(PackagePool::Block& block, const mirt::OstraMetaData& metaData,
                       const mirt::ReceiveTime& receiveTime) noexcept;

  mirt::OstraMetaData metaData;
  mirt::ReceiveTime receiveTime;
  // Holds the channel types and, for those channels, the samples.
  const PackagePool::Block& block;
};
