#include "nats/HandOver.hpp"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <random>

#include "stream/PackageFormat.hpp"

namespace handover {

namespace {

std::optional<std::uint64_t> number(const std::optional<std::string>& text) {
  if (!text || text->empty()) return std::nullopt;
  std::uint64_t value = 0;
  const char* end = text->data() + text->size();
  const auto [at, error] = std::from_chars(text->data(), end, value);
  if (error != std::errc() || at != end) return std::nullopt;
  return value;
}

std::uint32_t littleEndian32(const std::uint8_t* data) {
  return static_cast<std::uint32_t>(data[0]) | static_cast<std::uint32_t>(data[1]) << 8 |
         static_cast<std::uint32_t>(data[2]) << 16 | static_cast<std::uint32_t>(data[3]) << 24;
}

}  // namespace

bool validName(std::string_view name) {
  if (name.empty() || name.size() > 64) return false;
  for (const char c : name) {
    const bool ok =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

std::string messageId(std::string_view board, std::string_view run, std::uint64_t n) {
  std::string id;
  id.reserve(board.size() + run.size() + 22);
  id.append(board).append(":").append(run).append(":").append(std::to_string(n));
  return id;
}

std::string newRun() {
  std::random_device device;
  const std::uint64_t value = (static_cast<std::uint64_t>(device()) << 32) ^ device();
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

std::uint32_t packageSize(const std::uint8_t* data) { return littleEndian32(data + 4); }

std::uint64_t headerValue(const std::uint8_t* data) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | data[8 + i];
  return value;
}

std::optional<std::vector<std::size_t>> cutPackages(const std::uint8_t* payload, std::size_t size,
                                                    std::string& why) {
  std::vector<std::size_t> starts;
  std::size_t at = 0;
  while (at < size) {
    if (size - at < smallestPackage) {
      why = "the payload ends inside a package header at byte " + std::to_string(at);
      return std::nullopt;
    }
    const std::uint32_t length = packageSize(payload + at);
    if (length < smallestPackage || length > largestPackage) {
      why = "package " + std::to_string(starts.size() + 1) + " gives a size of " + std::to_string(length) +
            " bytes";
      return std::nullopt;
    }
    if (length > size - at) {
      why = "package " + std::to_string(starts.size() + 1) + " of " + std::to_string(length) +
            " bytes is cut short by the payload's end";
      return std::nullopt;
    }
    // What every client refuses in a header (and then drops the
    // connection): better skipped here with its reason.
    const std::uint8_t* const p = payload + at;
    const std::uint32_t version = static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8;
    const std::uint32_t channels = littleEndian32(p + 16);
    const std::uint32_t dataSize = littleEndian32(p + 32);
    const std::string which = "package " + std::to_string(starts.size() + 1);
    if (version != package::requiredProtocolVersion) {
      why = which + " has protocol version " + std::to_string(version) + ", not " +
            std::to_string(package::requiredProtocolVersion);
      return std::nullopt;
    }
    if (channels > package::maxChannels) {
      why = which + " gives " + std::to_string(channels) + " channels, at most " +
            std::to_string(package::maxChannels) + " are allowed";
      return std::nullopt;
    }
    if (dataSize > largestPackage - package::sampleDataOffset) {
      why = which + " gives a sample area of " + std::to_string(dataSize) + " bytes, at most " +
            std::to_string(largestPackage - package::sampleDataOffset) + " are allowed";
      return std::nullopt;
    }
    starts.push_back(at);
    at += length;
  }
  return starts;
}

std::optional<Described> check(const HeaderLookup& header, const std::uint8_t* payload, std::size_t size,
                               std::string& why) {
  Described d;
  const auto count = number(header(countHeader));
  const auto first = number(header(firstHeader));
  const auto last = number(header(lastHeader));
  if (!count || !first || !last || *count == 0) {
    why = std::string("it lacks the headers ") + countHeader + ", " + firstHeader + " and " + lastHeader +
          " of a hand-over";
    return std::nullopt;
  }
  const auto starts = cutPackages(payload, size, why);
  if (!starts) return std::nullopt;
  if (starts->size() != *count) {
    why = "its payload holds " + std::to_string(starts->size()) + " packages, its " + countHeader + " says " +
          std::to_string(*count);
    return std::nullopt;
  }
  if (headerValue(payload + starts->front()) != *first || headerValue(payload + starts->back()) != *last) {
    why = std::string("its packages' numbers do not match ") + firstHeader + " and " + lastHeader;
    return std::nullopt;
  }
  d.count = *count;
  d.first = *first;
  d.last = *last;
  return d;
}

void PackageCutter::reset() {
  bytes_.clear();
  sizes_.clear();
  cutEnd_ = 0;
  broken_ = false;
}

void PackageCutter::feed(const std::uint8_t* data, std::size_t size) {
  if (broken_) return;
  bytes_.insert(bytes_.end(), data, data + size);
  cut();
}

void PackageCutter::cut() {
  while (bytes_.size() - cutEnd_ >= smallestPackage) {
    const std::uint32_t length = packageSize(bytes_.data() + cutEnd_);
    if (length < smallestPackage || length > largestPackage) {
      broken_ = true;
      bytes_.resize(cutEnd_);
      return;
    }
    if (bytes_.size() - cutEnd_ < length) return;
    sizes_.push_back(length);
    cutEnd_ += length;
  }
}

void PackageCutter::take(std::size_t count, std::vector<std::uint8_t>& out) {
  if (count > sizes_.size()) count = sizes_.size();
  std::size_t end = 0;
  for (std::size_t i = 0; i < count; ++i) end += sizes_[i];
  out.insert(out.end(), bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(end));
  bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(end));
  sizes_.erase(sizes_.begin(), sizes_.begin() + static_cast<std::ptrdiff_t>(count));
  cutEnd_ -= end;
}

std::uint64_t PackageCutter::number(std::size_t index) const {
  std::size_t at = 0;
  for (std::size_t i = 0; i < index; ++i) at += sizes_[i];
  return headerValue(bytes_.data() + at);
}

}  // namespace handover
