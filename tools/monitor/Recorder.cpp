#include "monitor/Recorder.hpp"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <utility>

#ifdef VARNEL_MONITOR_RECORDING
#include <hdf5.h>
#endif

namespace monitor {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto flushInterval = std::chrono::seconds(1);

}  // namespace

#ifdef VARNEL_MONITOR_RECORDING

namespace {

std::string isoTimeNow() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + length, sizeof text - length, ".%03lldZ", static_cast<long long>(millis));
  return text;
}

// The innermost message of HDF5's error stack, for the failure text.
std::string hdf5Message() {
  std::string message;
  H5Ewalk2(
      H5E_DEFAULT, H5E_WALK_UPWARD,
      [](unsigned n, const H5E_error2_t* error, void* data) -> herr_t {
        if (n == 0 && error->desc != nullptr) *static_cast<std::string*>(data) = error->desc;
        return 0;
      },
      &message);
  H5Eclear2(H5E_DEFAULT);
  return message;
}

[[noreturn]] void fail(const std::string& what) {
  const std::string message = hdf5Message();
  throw std::runtime_error(message.empty() ? what : what + ": " + message);
}

template <typename Id>
Id check(Id id, const std::string& what) {
  if (id < 0) fail(what);
  return id;
}

// An HDF5 identifier, closed with its close function.
class Handle {
 public:
  Handle() = default;
  Handle(hid_t id, herr_t (*close)(hid_t)) : id_(id), close_(close) {}
  ~Handle() { reset(); }
  Handle(Handle&& other) noexcept : id_(std::exchange(other.id_, -1)), close_(other.close_) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      reset();
      id_ = std::exchange(other.id_, -1);
      close_ = other.close_;
    }
    return *this;
  }
  operator hid_t() const { return id_; }
  // Closes now; false when the close failed.
  bool reset() {
    const bool ok = id_ < 0 || close_(id_) >= 0;
    id_ = -1;
    return ok;
  }

 private:
  hid_t id_ = -1;
  herr_t (*close_)(hid_t) = nullptr;
};

Handle type(hid_t id, const std::string& what) { return {check(id, what), H5Tclose}; }
Handle space(hid_t id, const std::string& what) { return {check(id, what), H5Sclose}; }

// One record of /packages.
struct Row {
  std::uint32_t statusWord;
  std::uint64_t headerValue;
  std::uint32_t word36;
  std::uint32_t dspVersion;
  std::uint32_t firmwareVersion;
  std::uint32_t biosVersion;
  std::uint32_t word52;
  std::uint32_t word56;
  std::uint32_t word60;
  std::uint32_t word64;
  std::uint32_t word68;
  double real72;
  double real80;
  std::uint32_t word88;
  std::uint32_t word92;
  std::uint32_t word96;
  std::uint16_t half100;
  std::uint16_t half102;
  std::uint32_t word104;
  std::uint32_t word108;
  std::uint32_t waveformTypes[8];
  double receiveTime;
  double handOverTime;
};

Row toRow(const mirt::OstraDataPackage& package, double handOverTime) {
  const mirt::OstraMetaData& m = package.getMetaData();
  const double receiveTime = static_cast<double>(package.getReceiveTime().systemTimeNs) / 1e9;
  Row r{m.statusWord, m.headerValue, m.word36, m.dspVersion, m.firmwareVersion, m.biosVersion,
        m.word52,     m.word56,      m.word60, m.word64,     m.word68,          m.real72,
        m.real80,     m.word88,      m.word92, m.word96,     m.half100,         m.half102,
        m.word104,    m.word108,     {},       receiveTime,  handOverTime};
  for (std::size_t c = 0; c < package.getChannelCount() && c < 8; ++c) {
    r.waveformTypes[c] = package.getWaveformType(c);
  }
  return r;
}

Handle rowType() {
  Handle t = type(H5Tcreate(H5T_COMPOUND, sizeof(Row)), "H5Tcreate");
  auto insert = [&](const char* name, std::size_t offset, hid_t member) {
    check(H5Tinsert(t, name, offset, member), std::string("H5Tinsert ") + name);
  };
#define VARNEL_ROW_FIELD(name, member) insert(#name, HOFFSET(Row, name), member)
  VARNEL_ROW_FIELD(statusWord, H5T_NATIVE_UINT32);
  VARNEL_ROW_FIELD(headerValue, H5T_NATIVE_UINT64);
  VARNEL_ROW_FIELD(word36, H5T_NATIVE_UINT32);
  VARNEL_ROW_FIELD(dspVersion, H5T_NATIVE_UINT32);
  VARNEL_ROW_FIELD(firmwareVersion, H5T_NATIVE_UINT32);
  VARNEL_ROW_FIELD(biosVersion, H5T_NATIVE_UINT32);
  VARNEL_ROW_FIELD(word52, H5T_NATIVE_UINT32);
  VARNEL_ROW_FIELD(word56, H5T_NATIVE_UINT32);
  VARNEL_ROW_FIELD(word60, H5T_NATIVE_UINT32);
  VARNEL_ROW_FIELD(word64, H5T_NATIVE_UINT32);
  VARNEL_ROW_FIELD(word68, H5T_NATIVE_UINT32);
  VARNEL_ROW_FIELD(real72, H5T_NATIVE_DOUBLE);
  VARNEL_ROW_FIELD(real80, H5T_NATIVE_DOUBLE);
  VARNEL_ROW_FIELD(word88, H5T_NATIVE_UINT32);
  VARNEL_ROW_FIELD(word92, H5T_NATIVE_UINT32);
  VARNEL_ROW_FIELD(word96, H5T_NATIVE_UINT32);
  VARNEL_ROW_FIELD(half100, H5T_NATIVE_UINT16);
  VARNEL_ROW_FIELD(half102, H5T_NATIVE_UINT16);
  VARNEL_ROW_FIELD(word104, H5T_NATIVE_UINT32);
  VARNEL_ROW_FIELD(word108, H5T_NATIVE_UINT32);
  const hsize_t eight = 8;
  Handle types = type(H5Tarray_create2(H5T_NATIVE_UINT32, 1, &eight), "H5Tarray_create2");
  VARNEL_ROW_FIELD(waveformTypes, types);
  VARNEL_ROW_FIELD(receiveTime, H5T_NATIVE_DOUBLE);
  VARNEL_ROW_FIELD(handOverTime, H5T_NATIVE_DOUBLE);
#undef VARNEL_ROW_FIELD
  return t;
}

// An extendible dataset of `width` columns (1-D when width is 0).
Handle createGrowing(hid_t parent, const char* name, hid_t fileType, hsize_t width, hsize_t chunkRows) {
  const int rank = width == 0 ? 1 : 2;
  const hsize_t dims[2] = {0, width};
  const hsize_t max[2] = {H5S_UNLIMITED, width};
  const hsize_t chunk[2] = {chunkRows, width};
  Handle s = space(H5Screate_simple(rank, dims, max), "H5Screate_simple");
  Handle properties(check(H5Pcreate(H5P_DATASET_CREATE), "H5Pcreate"), H5Pclose);
  check(H5Pset_chunk(properties, rank, chunk), "H5Pset_chunk");
  return {check(H5Dcreate2(parent, name, fileType, s, H5P_DEFAULT, properties, H5P_DEFAULT),
                std::string("cannot create dataset ") + name),
          H5Dclose};
}

// Appends `rows` rows of `width` columns (1-D when 0) at row `at`.
void append(hid_t dataset, hid_t memoryType, hsize_t at, hsize_t rows, hsize_t width, const void* data) {
  const int rank = width == 0 ? 1 : 2;
  const hsize_t extent[2] = {at + rows, width};
  check(H5Dset_extent(dataset, extent), "H5Dset_extent");
  Handle fileSpace = space(H5Dget_space(dataset), "H5Dget_space");
  const hsize_t start[2] = {at, 0};
  const hsize_t count[2] = {rows, width};
  check(H5Sselect_hyperslab(fileSpace, H5S_SELECT_SET, start, nullptr, count, nullptr),
        "H5Sselect_hyperslab");
  Handle memorySpace = space(H5Screate_simple(rank, count, nullptr), "H5Screate_simple");
  check(H5Dwrite(dataset, memoryType, memorySpace, fileSpace, H5P_DEFAULT, data), "H5Dwrite");
}

void setAttribute(hid_t object, const char* name, hid_t fileType, hid_t memoryType, const void* value) {
  Handle scalar = space(H5Screate(H5S_SCALAR), "H5Screate");
  const htri_t exists = check(H5Aexists(object, name), "H5Aexists");
  Handle attribute(exists > 0 ? H5Aopen(object, name, H5P_DEFAULT)
                              : H5Acreate2(object, name, fileType, scalar, H5P_DEFAULT, H5P_DEFAULT),
                   H5Aclose);
  check(static_cast<hid_t>(attribute), std::string("cannot create attribute ") + name);
  check(H5Awrite(attribute, memoryType, value), std::string("cannot write attribute ") + name);
}

void setText(hid_t object, const char* name, const std::string& text) {
  Handle t = type(H5Tcopy(H5T_C_S1), "H5Tcopy");
  check(H5Tset_size(t, H5T_VARIABLE), "H5Tset_size");
  check(H5Tset_cset(t, H5T_CSET_UTF8), "H5Tset_cset");
  const char* value = text.c_str();
  setAttribute(object, name, t, t, &value);
}

void setU32(hid_t object, const char* name, std::uint32_t value) {
  setAttribute(object, name, H5T_STD_U32LE, H5T_NATIVE_UINT32, &value);
}

void setU64(hid_t object, const char* name, std::uint64_t value) {
  setAttribute(object, name, H5T_STD_U64LE, H5T_NATIVE_UINT64, &value);
}

}  // namespace

// The open file; used by one thread at a time.
class RecordingFile {
 public:
  explicit RecordingFile(const RecordingSettings& settings) : path_(settings.path) {
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);  // failures become exceptions with HDF5's message
    file_ = Handle(
        check(H5Fcreate(path_.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), "cannot create " + path_),
        H5Fclose);
    const mirt::VersionInfo version = mirt::getVersionInfo();
    setText(file_, "board_address", settings.address);
    setU32(file_, "package_counter", settings.packageCounter);
    setU32(file_, "wait_ms", settings.waitMs);
    setU32(file_, "tcp_timeout", settings.tcpTimeout);
    setText(file_, "start_time", isoTimeNow());
    setText(file_, "library_version",
            std::to_string(version.major) + "." + std::to_string(version.minor) + "." +
                std::to_string(version.patch));
    channelGroup_ = Handle(check(H5Gcreate2(file_, "channels", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT),
                                 "cannot create group channels"),
                           H5Gclose);
    rowType_ = rowType();
    Handle packedRow = type(H5Tcopy(rowType_), "H5Tcopy");
    check(H5Tpack(packedRow), "H5Tpack");
    packages_ = createGrowing(file_, "packages", packedRow, 0, 1024);
    writeFigures(0, 0);
    flush();
  }

  // Appends the packages of the recording's shape; returns how many were
  // skipped for another shape.
  std::uint64_t write(const std::vector<std::pair<SharedPackage, double>>& items) {
    std::uint64_t skipped = 0;
    std::vector<const std::pair<SharedPackage, double>*> accepted;
    accepted.reserve(items.size());
    for (const auto& item : items) {
      const mirt::OstraDataPackage& p = *item.first;
      if (channels_.empty() && p.getChannelCount() != 0 && p.getSize() != 0) createChannels(p);
      if (!channels_.empty() && p.getChannelCount() == channels_.size() && p.getSize() == samples_ &&
          sameLengths(p)) {
        accepted.push_back(&item);
      } else {
        ++skipped;
      }
    }
    if (accepted.empty()) return skipped;
    const hsize_t n = accepted.size();
    std::vector<Row> rows;
    rows.reserve(n);
    for (const auto* item : accepted) rows.push_back(toRow(*item->first, item->second));
    std::vector<std::uint32_t> buffer(n * samples_);
    for (std::size_t c = 0; c < channels_.size(); ++c) {
      for (std::size_t i = 0; i < n; ++i) {
        const std::vector<std::uint32_t>& w = accepted[i]->first->getWaveform(c);
        std::copy(w.begin(), w.end(), buffer.begin() + static_cast<std::ptrdiff_t>(i * samples_));
      }
      append(channels_[c], H5T_NATIVE_UINT32, rows_, n, samples_, buffer.data());
    }
    append(packages_, rowType_, rows_, n, 0, rows.data());
    rows_ += n;
    return skipped;
  }

  void writeFigures(std::uint64_t dropped, std::uint64_t skipped) {
    setU64(file_, "packages", rows_);
    setU64(file_, "dropped_packages", dropped);
    setU64(file_, "skipped_packages", skipped);
  }

  void flush() { check(H5Fflush(file_, H5F_SCOPE_GLOBAL), "H5Fflush"); }

  // Closes every object and the file; throws when the close failed.
  void close() {
    bool ok = packages_.reset();
    for (Handle& c : channels_) ok = c.reset() && ok;
    ok = channelGroup_.reset() && ok;
    ok = rowType_.reset() && ok;
    ok = file_.reset() && ok;
    if (!ok) fail("cannot close " + path_);
  }

  std::uint64_t rows() const { return rows_; }
  std::size_t channels() const { return channels_.size(); }
  std::size_t samplesPerChannel() const { return samples_; }

 private:
  void createChannels(const mirt::OstraDataPackage& first) {
    samples_ = first.getSize();
    // Chunks of about 64 KiB: a few rows of long packages, many of short ones.
    const hsize_t chunkRows = std::max<hsize_t>(1, 16384 / samples_);
    for (std::size_t c = 0; c < first.getChannelCount(); ++c) {
      channels_.push_back(
          createGrowing(channelGroup_, std::to_string(c).c_str(), H5T_STD_U32LE, samples_, chunkRows));
    }
  }
  bool sameLengths(const mirt::OstraDataPackage& p) const {
    for (std::size_t c = 0; c < channels_.size(); ++c) {
      if (p.getWaveform(c).size() != samples_) return false;
    }
    return true;
  }

  std::string path_;
  Handle file_;
  Handle channelGroup_;
  Handle rowType_;
  Handle packages_;
  std::vector<Handle> channels_;
  std::size_t samples_ = 0;
  hsize_t rows_ = 0;
};

bool Recorder::available() { return true; }

#else  // no HDF5 in this build

class RecordingFile {
 public:
  explicit RecordingFile(const RecordingSettings&) {
    throw std::runtime_error("this build of varnel-monitor has no HDF5 recording");
  }
  std::uint64_t write(const std::vector<std::pair<SharedPackage, double>>&) { return 0; }
  void writeFigures(std::uint64_t, std::uint64_t) {}
  void flush() {}
  void close() {}
  std::uint64_t rows() const { return 0; }
  std::size_t channels() const { return 0; }
  std::size_t samplesPerChannel() const { return 0; }
};

bool Recorder::available() { return false; }

#endif

Recorder::Recorder(const RecordingSettings& settings)
    : path_(settings.path),
      file_(std::make_unique<RecordingFile>(settings)),
      writer_([this] { writeLoop(); }) {}

Recorder::~Recorder() {
  try {
    finish();
  } catch (...) {
  }
}

void Recorder::add(std::vector<SharedPackage>& packages, double receiveTime) {
  {
    std::lock_guard lock(mutex_);
    for (SharedPackage& p : packages) {
      if (queue_.size() < queueCapacity && !failure_ && !stopping_) {
        queue_.push_back({std::move(p), receiveTime});
      } else {
        ++dropped_;
      }
    }
  }
  packages.clear();
  wake_.notify_one();
}

std::optional<std::string> Recorder::failure() const {
  std::lock_guard lock(mutex_);
  return failure_;
}

void Recorder::fail(const std::string& text) {
  std::lock_guard lock(mutex_);
  if (!failure_) failure_ = text;
  queue_.clear();
}

void Recorder::writeLoop() {
  std::uint64_t skipped = 0;
  auto nextFlush = Clock::now() + flushInterval;
  std::vector<std::pair<SharedPackage, double>> batch;
  for (;;) {
    bool last = false;
    std::uint64_t dropped = 0;
    {
      std::unique_lock lock(mutex_);
      wake_.wait_until(lock, nextFlush, [&] { return !queue_.empty() || stopping_; });
      if (failure_) return;
      // At most a few hundred packages at a time, so that rows are written
      // while more arrive.
      while (!queue_.empty() && batch.size() < 256) {
        batch.emplace_back(std::move(queue_.front().package), queue_.front().receiveTime);
        queue_.pop_front();
      }
      last = stopping_ && queue_.empty();
      dropped = dropped_;
    }
    try {
      if (!batch.empty()) skipped += file_->write(batch);
      batch.clear();  // releases the packages outside the lock
      if (last || Clock::now() >= nextFlush) {
        file_->writeFigures(dropped, skipped);
        file_->flush();
        nextFlush = Clock::now() + flushInterval;
      }
    } catch (const std::exception& e) {
      fail(e.what());
      return;
    }
    {
      std::lock_guard lock(mutex_);
      skipped_ = skipped;
    }
    if (last) return;
  }
}

RecordingFigures Recorder::finish() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  if (writer_.joinable()) writer_.join();
  RecordingFigures figures;
  {
    std::lock_guard lock(mutex_);
    figures.dropped = dropped_;
    figures.skipped = skipped_;
  }
  if (file_) {
    figures.recorded = file_->rows();
    figures.channels = file_->channels();
    figures.samplesPerChannel = file_->samplesPerChannel();
    try {
      file_->close();
    } catch (const std::exception& e) {
      fail(e.what());
    }
    std::error_code error;
    figures.fileBytes = std::filesystem::file_size(path_, error);
    if (error) figures.fileBytes = 0;
  }
  return figures;
}

}  // namespace monitor
