#pragma once

// The pieces of a scatter read (PackageFramer::readPieces) as a buffer
// sequence for Boost.Asio, which turns it into one vectored read.

#include <utility>  // before Boost.Asio with -std=c++20 (Boost 1.74)

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include <boost/asio/buffer.hpp>

#include "stream/PackageFramer.hpp"

class ScatterBuffers {
 public:
  explicit ScatterBuffers(PackageFramer::ReadPieces pieces) : count(pieces.size()) {
    for (std::size_t i = 0; i < count; ++i)
      buffers[i] = boost::asio::buffer(pieces[i].data(), pieces[i].size());
  }

  const boost::asio::mutable_buffer* begin() const { return buffers.data(); }
  const boost::asio::mutable_buffer* end() const { return buffers.data() + count; }

 private:
  std::array<boost::asio::mutable_buffer, PackageFramer::maxPieces> buffers;
  std::size_t count;
};
