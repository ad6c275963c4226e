#pragma once

// Cuts the byte stream of a board connection into packages. It does no I/O
// of its own: the connection asks where the next read goes (readWindow),
// reports how many bytes the read delivered (received), and then takes
// what has become complete, one piece at a time:
//
//   while (the header of the package in progress is in, not yet accepted)
//     check it, then accept(packageSize)        -- or refuse it and stop
//   while (the accepted package is complete)
//     check and decode inProgress(), then consume()
//
// The buffer holds the 65536 bytes a package may take plus 36 spare bytes.
// Small packages are read many at a time, as many as the buffer has room
// for behind the package in progress. A large one (32 KiB or more) is read
// as its header, then its body together with the header behind it, which
// lands in the spare bytes; only those 36 bytes move to the front before
// the next body is read, so a large package costs one read and no move.
// A header-only package (36 bytes) that lands there is already complete
// and is taken where it lies: it has no body to read, so nothing moves for
// it. Every complete package thus lies inside the buffer, and only a
// header-only one reaches into the spare bytes.
// A package in progress that would not fit where it starts moves to the
// front of the buffer before the next read (at most one package's worth).
//
// With receiveSamplesInPlace, on a little-endian host, the samples of a
// large package go straight from the socket into sample storage of their
// own, so that they are copied once, by the system: once its header is
// accepted, with no more than its header and meta data in hand, the rest
// of it is read as a scatter read (readPieces): the samples of each channel
// into that channel's storage, every other byte (meta data, the bytes of a
// channel's share that make no whole sample, what follows the sample area)
// and the next header into the buffer where they would have landed anyway.
// It costs no system call more, as a large package is read on its own
// anyway. Only packages that carry their whole sample area qualify; the
// others, and every package on a big-endian host, where the samples are
// converted on the way, take the buffer as above. Smaller packages are not
// read in place: reading them one at a time costs more than the copy.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "stream/PackageFormat.hpp"
#include "stream/PackageReader.hpp"

class PackageFramer {
 public:
  static constexpr std::size_t capacity = package::bufferSize + package::headerSize;
  // From this size on a package is read as its header, then its body with
  // only the next header behind it, instead of with full read-ahead.
  static constexpr std::size_t largePackageSize = 32768;
  // From this size on a package's samples may be read in place.
  static constexpr std::size_t inPlaceSize = largePackageSize;
  // The most pieces a scatter read has: the bytes before the samples, then
  // per channel its samples and the bytes up to the next channel's (or the
  // next header).
  static constexpr std::size_t maxPieces = 1 + 2 * package::maxChannels;
  using ReadPieces = std::span<const std::span<std::uint8_t>>;

  // The buffer is left uninitialised: every reader is bounded to the bytes
  // its package delivered and reads the filler byte beyond them, and an
  // idle connection's buffer stays out of memory until data arrives.
  PackageFramer() = default;
  PackageFramer(const PackageFramer&) = delete;
  PackageFramer& operator=(const PackageFramer&) = delete;

  // Where the next read goes: never empty, inside the buffer. Only while
  // more bytes are needed, that is neither a header waits for accept nor a
  // complete package for consume.
  std::span<std::uint8_t> readWindow();
  // A read put `bytes` bytes at the start of the window last returned, or
  // into the first `bytes` bytes of the pieces last returned, in order.
  void received(std::size_t bytes);

  // Reads samples in place from the next accepted header on (see above).
  // Has no effect on a big-endian host.
  void receiveSamplesInPlace();
  // Where the next read goes, as a scatter read: never empty, the pieces
  // in order. The read window alone unless the package in progress has its
  // samples read in place; readWindow must not be used for such a package.
  ReadPieces readPieces();
  // The samples of the package in progress are read in place; inProgress()
  // carries them once the package is complete.
  bool samplesInPlace() const { return inPlace_; }

  // Bytes in hand of the package in progress, at most its size once its
  // header is accepted (the bytes behind belong to the next package).
  std::size_t inHand() const;
  bool headerAccepted() const { return accepted_; }
  // The header of the package in progress is complete and waits for accept.
  bool headerReady() const { return !accepted_ && inHand() >= package::headerSize; }
  // The accepted package is complete and waits for consume.
  bool packageReady() const { return accepted_ && inHand() >= packageSize_; }
  // The size of the package in progress; 0 until its header is accepted.
  std::uint32_t packageSize() const { return accepted_ ? packageSize_ : 0; }

  // The package in progress as far as it has arrived (its header alone
  // until the header is accepted); positions not delivered read as filler.
  // A complete package whose samples were read in place carries them (see
  // PackageReader); the reader's caller may take them over.
  PackageReader inProgress();
  // The bytes that inProgress() reads, where they lie in the buffer (for a
  // package read in place, the positions of its samples hold nothing).
  std::span<const std::uint8_t> inProgressBytes() const;

  // The header was checked: the package in progress has `packageSize`
  // bytes, 36 to 65536. Decides whether its samples are read in place, and
  // then sizes their storage (which may throw std::bad_alloc).
  void accept(std::uint32_t packageSize);
  // The complete package has been dealt with; framing goes on behind it.
  void consume();

 private:
  // Moves the package in progress to the front if it does not fit behind
  // its start; resets an empty buffer.
  void makeRoom();
  void planInPlace();

  std::array<std::uint8_t, capacity> buffer_;
  std::size_t start_ = 0;  // first byte of the package in progress
  std::size_t end_ = 0;    // end of the bytes in hand
  bool accepted_ = false;
  std::uint32_t packageSize_ = 0;
  std::uint32_t lastPackageSize_ = 0;  // of the package consumed last

  bool inPlaceEnabled_ = false;
  // The package in progress has its samples read in place: `channels_`
  // channels of `samplesPerChannel_` samples, the sample area `dataSize_`
  // bytes long.
  bool inPlace_ = false;
  std::uint32_t channels_ = 0;
  std::uint32_t samplesPerChannel_ = 0;
  std::uint32_t dataSize_ = 0;
  package::Waveforms samples_;
  std::array<std::span<std::uint8_t>, maxPieces> pieces_;
};
