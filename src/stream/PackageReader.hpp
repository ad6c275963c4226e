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
class PackageReader {
 public:
  // Over one package of `available` bytes (its packageSize, or less).
  PackageReader(const std::uint8_t* package, std::size_t available) : data(package), available(available) {}

  PackageHeader parseHeader() const;
  // statusWord and headerValue from the header, the rest from offsets 36-111.
  mirt::OstraMetaData parseMetaData() const;
  // The samples of `channel` into `samples`, in wire order, reusing its
  // storage; none for a channel at or beyond the header's channelCount.
  // The header checks have refused sample areas beyond the 65536 bytes a
  // package may take; and nothing beyond `available` is read in any case.
  void readChannel(std::uint32_t channel, std::vector<std::uint32_t>& samples) const;

 private:
  std::uint8_t byteAt(std::size_t offset) const {
    return offset < available ? data[offset] : package::fillerByte;
  }
  std::uint16_t u16(std::size_t offset) const;
  std::uint32_t u32(std::size_t offset) const;
  std::uint64_t u64(std::size_t offset) const;
  double f64(std::size_t offset) const;

  const std::uint8_t* data;
  std::size_t available;
};
