#include "monitor/Receiver.hpp"

#include <chrono>

namespace monitor {

void Receiver::operator()(mirt::OstraDataStream* stream) {
  const double receiveTime =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  const bool counting = counted_ < countLimit_;
  Totals add;
  std::shared_ptr<const mirt::OstraDataPackage> last;
  ranges_.clear();
  while (counted_ < countLimit_) {
    std::shared_ptr<const mirt::OstraDataPackage> package = stream->pop();
    if (!package) break;
    ++counted_;
    ++add.packages;
    const std::uint64_t number = package->getMetaData().headerValue;
    if (lastNumber_ && number != *lastNumber_ + 1) {
      ++add.gaps;
      if (firstOfConnection_) ++add.gapsAcrossReconnects;
      if (number > *lastNumber_) {
        add.missing += number - *lastNumber_ - 1;
        ranges_.emplace_back(*lastNumber_ + 1, number - 1);
      }
    }
    lastNumber_ = number;
    firstOfConnection_ = false;
    if (recorder_ != nullptr) received_.push_back(package);
    last = std::move(package);
  }
  while (stream->pop()) {
  }
  if (!counting) return;
  if (recorder_ != nullptr && !received_.empty()) recorder_->add(received_, receiveTime);
  if (add.packages != 0) {
    add.streams = 1;
  } else {
    add.emptyHandOvers = 1;
  }
  {
    std::lock_guard lock(shared_.mutex);
    Totals& t = shared_.totals;
    t.packages += add.packages;
    t.streams += add.streams;
    t.emptyHandOvers += add.emptyHandOvers;
    t.gaps += add.gaps;
    t.missing += add.missing;
    t.gapsAcrossReconnects += add.gapsAcrossReconnects;
    MissingNumbers& m = shared_.missing;
    for (const auto& range : ranges_) {
      if (m.first.size() < MissingNumbers::kept) m.first.push_back(range);
      ++m.ranges;
    }
    if (last) std::swap(shared_.latest, last);
    shared_.countReached = counted_ == countLimit_;
  }
  shared_.changed.notify_all();
  // `last` now holds the package that was latest before; released here,
  // outside the lock.
}

}  // namespace monitor
