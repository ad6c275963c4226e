#pragma once

#include <cstdint>
#include <vector>

#include "stream/PackageFormat.hpp"
#include "varnel/varnel.hpp"

// Reads the header, the meta data and one channel's samples out of a
// receive buffer. Fields are assembled byte by byte from little-endian
// order, so no alignment of the buffer is assumed and the result is the same
// on any host. Owns nothing; the buffer must outlive the reader.
class PackageReader {
 public:
  explicit PackageReader(const PackageBuffer& buffer) : buffer(buffer.data()) {}

  PackageHeader parseHeader() const;
  // statusWord and headerValue from the header, the rest from offsets 36-111.
  mirt::OstraMetaData parseMetaData() const;
  // The samples of `channel`, in wire order; empty for a channel at or
  // beyond the header's channelCount. Reads only inside the buffer: the
  // header checks refuse packages whose sample area does not fit it.
  std::vector<std::uint32_t> readChannel(std::uint32_t channel) const;

 private:
  const std::uint8_t* buffer;
};
