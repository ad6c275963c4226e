#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "stream/PackagePool.hpp"
#include "stream/PackageReader.hpp"
#include "varnel/varnel.hpp"

// The batch of packages handed to the callback. One per parser; filled,
// handed over and emptied on the board connection's I/O thread, so it has
// no lock. Packages leave it first in, first out.
class OstraDataStreamImpl : public mirt::OstraDataStream {
 public:
  OstraDataStreamImpl();
  ~OstraDataStreamImpl() override;
  OstraDataStreamImpl(const OstraDataStreamImpl&) = delete;
  OstraDataStreamImpl& operator=(const OstraDataStreamImpl&) = delete;

  std::size_t getSize() const override;
  std::unique_ptr<mirt::OstraDataPackage> pop() override;

  // Decodes the package (already checked), received at `receiveTime`, and
  // appends it; endOfStream takes that package's end-of-stream bit. Samples
  // the reader carries in their own storage are taken over, and that
  // storage is given recycled storage in exchange.
  void appendPackage(const PackageReader& package, const mirt::ReceiveTime& receiveTime = {});
  // The same with the package's header parsed already (by the checks).
  void appendPackage(const PackageReader& package, const PackageHeader& header,
                     const mirt::ReceiveTime& receiveTime);
  // For the thread that appends, around a hand-over: packages it destroys
  // meanwhile come back to the pool at the lowest cost.
  PackagePool::LocalReturns returnsHere() { return PackagePool::LocalReturns(*pool); }
  // Destroys every package still held, newest first. The queue keeps its
  // storage for the next batch unless it grew beyond room for
  // keptQueueLength packages. endOfStream is left as it is.
  void clear();
  bool isEndOfStream() const { return endOfStream; }
  // The package appended last; null when the stream is empty.
  const mirt::OstraDataPackage* back() const;
  // The package pop would return next; null when the stream is empty.
  const mirt::OstraDataPackage* front() const;

 private:
  static constexpr std::size_t keptQueueLength = 1024;

  // First in, first out: pop takes from `head` on and leaves an empty slot
  // behind; clear starts the queue afresh. Packages are only appended
  // between hand-overs, so the popped slots never pile up for long.
  std::vector<std::unique_ptr<mirt::OstraDataPackage>> packages;
  std::size_t head = 0;
  bool endOfStream;
  // Shared with every package decoded here, which may outlive the stream.
  std::shared_ptr<PackagePool> pool;
};
