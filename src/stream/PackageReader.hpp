#pragma once

#include <cstdint>
#include <vector>

#include "stream/PackageFormat.hpp"
#include "varnel/varnel.hpp"

// Reads the header, the meta data and one channel's samples of a package.
// Fields are assembled from little-endian bytes, so no alignment of the data
// is assumed and the result is the same on any host. Owns nothing; the bytes
// must outlive the reader.
//
// A reader covers `available` bytes from the package's first byte on. Every
// position at or beyond that reads as the filler byte 0xCD, exactly as if
// the package lay alone at the start of a receive buffer filled with 0xCD;
// nothing beyond `available` is ever touched.
//
// The samples of a package may have been received straight into sample
// storage of their own instead of into the package's bytes (see
// PackageFramer): the reader then carries that storage, whose channels hold
// exactly what readChannel would read, and the positions of the sample
// area among the bytes are not to be read.
class PackageReader {
 public:
  // Over one package of `available` bytes (its packageSize, or less).
  PackageReader(const std::uint8_t* package, std::size_t available) : data(package), available(available) {}
  // Over one complete package whose samples lie in `samples`, a channel per
  // slot; the caller may take them over.
  PackageReader(const std::uint8_t* package, std::size_t available, package::Waveforms* samples)
      : data(package), available(available), samples(samples) {}

  PackageHeader parseHeader() const;
  // statusWord and headerValue from the header, the rest from offsets 36-111.
  mirt::OstraMetaData parseMetaData() const;
  // The samples of `channel` into `samples`, in wire order, reusing its
  // storage; none for a channel at or beyond the header's channelCount.
  // The header checks have refused sample areas beyond the 65536 bytes a
  // package may take; and nothing beyond `available` is read in any case.
  void readChannel(std::uint32_t channel, std::vector<std::uint32_t>& samples) const;
  // What readChannel reads for each of the first min(channelCount, 8)
  // channels, into the slots of `waveforms`; `header` is this package's.
  // Finds the channels' shares without a division per channel.
  void readChannels(const PackageHeader& header, package::Waveforms& waveforms) const;
  // The samples received in their own storage; null when they lie among
  // the package's bytes.
  package::Waveforms* samplesInPlace() const { return samples; }

 private:
  std::uint8_t byteAt(std::size_t offset) const {
    return offset < available ? data[offset] : package::fillerByte;
  }
  // Inline: a package's fields are read a few dozen times per package.
  std::uint16_t u16(std::size_t offset) const {
    return static_cast<std::uint16_t>(byteAt(offset) | (byteAt(offset + 1) << 8));
  }
  std::uint32_t u32(std::size_t offset) const {
    if (offset + 4 <= available) {
      return static_cast<std::uint32_t>(data[offset]) | (static_cast<std::uint32_t>(data[offset + 1]) << 8) |
             (static_cast<std::uint32_t>(data[offset + 2]) << 16) |
             (static_cast<std::uint32_t>(data[offset + 3]) << 24);
    }
    return static_cast<std::uint32_t>(byteAt(offset)) |
           (static_cast<std::uint32_t>(byteAt(offset + 1)) << 8) |
           (static_cast<std::uint32_t>(byteAt(offset + 2)) << 16) |
           (static_cast<std::uint32_t>(byteAt(offset + 3)) << 24);
  }
  std::uint64_t u64(std::size_t offset) const {
    return static_cast<std::uint64_t>(u32(offset)) | (static_cast<std::uint64_t>(u32(offset + 4)) << 32);
  }
  double f64(std::size_t offset) const;
  // `count` samples from offset `first` on (at most the 65536 bytes a
  // package may take); those not delivered read as filler.
  void copySamples(std::size_t first, std::uint32_t count, std::vector<std::uint32_t>& samples) const;

  // The meta data record from `fields`, a reader or one that reads the
  // bytes of a whole meta data block without bounds.
  template <typename Fields>
  static mirt::OstraMetaData metaDataFrom(const Fields& fields);

  const std::uint8_t* data;
  std::size_t available;
  package::Waveforms* samples = nullptr;
};
