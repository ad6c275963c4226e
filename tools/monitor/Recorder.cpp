#include "monitor/Recorder.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <utility>

#ifdef VARNEL_MONITOR_RECORDING
#include <hdf5.h>
#if defined(__unix__)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif
#endif

namespace monitor {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto flushInterval = std::chrono::seconds(1);
// Rows written since the last flush hold at most about this many bytes: a
// flush follows at the latest then. Each dataset's chunk cache holds its
// share of them (see createGrowing), so that HDF5 never writes rows to the
// file on its own, outside a flush. Every flush costs room reserved and
// given back (Reservation), hence not much more often than needed.
constexpr std::uint64_t flushBytes = 4 * 1024 * 1024;
// Packages the writer takes from the queue at a time, so that rows are
// written while more arrive.
constexpr std::size_t batchPackages = 256;

std::uint64_t sampleBytes(const mirt::OstraDataPackage& p) {
  return 4 * static_cast<std::uint64_t>(p.getSize()) * p.getChannelCount();
}

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

// The cause of HDF5's failure, on one line: the system's message where a
// system call failed ("No space left on device"), else the innermost
// description of HDF5's error stack, which it then clears.
std::string hdf5Message() {
  struct Found {
    std::string innermost;
    std::string system;
  } found;
  H5Ewalk2(
      H5E_DEFAULT, H5E_WALK_UPWARD,
      [](unsigned n, const H5E_error2_t* error, void* data) -> herr_t {
        auto& f = *static_cast<Found*>(data);
        if (error->desc == nullptr) return 0;
        try {  // nothing may leave this callback of a C library
          const std::string desc = error->desc;
          if (n == 0) f.innermost = desc.substr(0, desc.find('\n'));
          // The file drivers describe a failed call as "..., error message = 'TEXT', ...".
          const std::string key = "error message = '";
          const std::size_t at = desc.find(key);
          if (f.system.empty() && at != std::string::npos) {
            const std::size_t from = at + key.size();
            f.system = desc.substr(from, desc.find('\'', from) - from);
          }
        } catch (...) {
        }
        return 0;
      },
      &found);
  H5Eclear2(H5E_DEFAULT);
  return found.system.empty() ? found.innermost : found.system;
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

// The members of a compound type: names, offsets and sizes.
std::vector<RecordMember> recordMembers(hid_t row) {
  const int count = check(H5Tget_nmembers(row), "H5Tget_nmembers");
  std::vector<RecordMember> members;
  for (unsigned i = 0; i < static_cast<unsigned>(count); ++i) {
    char* name = H5Tget_member_name(row, i);
    if (name == nullptr) fail("H5Tget_member_name");
    RecordMember member{name, H5Tget_member_offset(row, i), 0};
    H5free_memory(name);
    const Handle type(check(H5Tget_member_type(row, i), "H5Tget_member_type"), H5Tclose);
    member.size = H5Tget_size(type);
    members.push_back(std::move(member));
  }
  return members;
}

// An extendible dataset of `width` columns (1-D when width is 0), whose
// chunk cache holds `cachedRows` rows and two chunks more.
Handle createGrowing(hid_t parent, const char* name, hid_t fileType, hsize_t width, hsize_t chunkRows,
                     hsize_t cachedRows) {
  const int rank = width == 0 ? 1 : 2;
  const hsize_t dims[2] = {0, width};
  const hsize_t max[2] = {H5S_UNLIMITED, width};
  const hsize_t chunk[2] = {chunkRows, width};
  Handle s = space(H5Screate_simple(rank, dims, max), "H5Screate_simple");
  Handle properties(check(H5Pcreate(H5P_DATASET_CREATE), "H5Pcreate"), H5Pclose);
  check(H5Pset_chunk(properties, rank, chunk), "H5Pset_chunk");
  const std::size_t rowBytes = H5Tget_size(fileType) * std::max<hsize_t>(width, 1);
  Handle access(check(H5Pcreate(H5P_DATASET_ACCESS), "H5Pcreate"), H5Pclose);
  check(H5Pset_chunk_cache(access, H5D_CHUNK_CACHE_NSLOTS_DEFAULT, (cachedRows + 2 * chunkRows) * rowBytes,
                           H5D_CHUNK_CACHE_W0_DEFAULT),
        "H5Pset_chunk_cache");
  return {check(H5Dcreate2(parent, name, fileType, s, H5P_DEFAULT, properties, access),
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

// Cuts a dataset of `width` columns back to its first `rows` rows.
void shrink(hid_t dataset, hsize_t rows, hsize_t width) {
  const hsize_t extent[2] = {rows, width};
  check(H5Dset_extent(dataset, extent), "H5Dset_extent");
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

// The disk (or the file size limit) has no room for the rows to write.
class NoRoom : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Room on disk for what HDF5 is about to write. HDF5 cannot take back a
// write that fails half-way: blocks it has allocated past the end of the
// disk stay in the file's metadata and make it unreadable. So the room for
// the rows of a flush is taken before HDF5 writes them, and a full disk is
// found while the file is still whole. Where the system cannot tell
// (no posix_fallocate), nothing is reserved.
class Reservation {
 public:
  explicit Reservation(const std::string& path) {
#if defined(__unix__)
    fd_ = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
#else
    (void)path;
#endif
  }
  ~Reservation() {
#if defined(__unix__)
    if (fd_ >= 0) ::close(fd_);
#endif
  }
  Reservation(const Reservation&) = delete;
  Reservation& operator=(const Reservation&) = delete;

  // Makes the file at least `end` bytes long, on disk; throws NoRoom.
  void reserve(std::uint64_t end) {
#if defined(__unix__)
    if (fd_ < 0) return;
    struct stat status {};
    if (::fstat(fd_, &status) != 0 || static_cast<std::uint64_t>(status.st_size) >= end) return;
    const int error = ::posix_fallocate(fd_, status.st_size, static_cast<off_t>(end) - status.st_size);
    if (error == ENOSPC || error == EFBIG || error == EDQUOT) throw NoRoom(std::strerror(error));
#else
    (void)end;
#endif
  }

  // Gives back what was reserved beyond `end`, HDF5's end of the file.
  void release(std::uint64_t end) {
#if defined(__unix__)
    struct stat status {};
    if (fd_ >= 0 && ::fstat(fd_, &status) == 0 && static_cast<std::uint64_t>(status.st_size) > end) {
      (void)::ftruncate(fd_, static_cast<off_t>(end));
    }
#else
    (void)end;
#endif
  }

 private:
  int fd_ = -1;
};

}  // namespace

// The open file; used by one thread at a time.
//
// The rows it reports (rows(), the root attribute packages, the extents of
// the datasets) are those of the last successful flush once a write or a
// flush has failed: restore() flushes the rows whose room was reserved, or
// cuts the rows written since the last flush away again, so that the file
// states what it holds.
class RecordingFile {
 public:
  explicit RecordingFile(const RecordingSettings& settings) : path_(settings.path) {
    // The file is closed here on every path. HDF5's own clean-up at exit
    // would close a file whose close failed once more, from a damaged state.
    H5dont_atexit();
    quietErrors();
    const hid_t file = H5Fcreate(path_.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
    if (file < 0) {
      std::string why = hdf5Message();
      // HDF5 locks a file while a program has it open (a reader, another
      // recording): the system's word for that names no file.
      if (why == std::strerror(EWOULDBLOCK) || why == std::strerror(EAGAIN)) {
        why = "another program has it open (" + why + ")";
      }
      throw std::runtime_error("cannot create " + path_ + (why.empty() ? "" : ": " + why));
    }
    file_ = Handle(file, H5Fclose);
    room_ = std::make_unique<Reservation>(path_);
    room_->reserve(metadataRoom);
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
    // Rows of a package: its samples (at least 4 bytes) and its record.
    packages_ =
        createGrowing(file_, "packages", packedRow, 0, tableChunkRows, flushBytes / (4 + sizeof(Row)) + 1);
    flush(0, 0);
  }

  /// HDF5 prints its error stack on its own, per thread, unless told not
  /// to; its failures become exceptions with the cause instead.
  static void quietErrors() { H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr); }

  // Appends the packages of the recording's shape; returns how many were
  // skipped for another shape. The rows reach the file with the next flush.
  std::uint64_t write(const std::vector<std::pair<SharedPackage, double>>& items) {
    try {
      return appendRows(items);
    } catch (const NoRoom&) {
      full_ = true;
      throw;
    }
  }

  // Writes the figures and flushes: the rows so far are in the file.
  void flush(std::uint64_t dropped, std::uint64_t skipped) {
    writeFigures(rows_, dropped, skipped);
    check(H5Fflush(file_, H5F_SCOPE_GLOBAL), "H5Fflush");
    flushedRows_ = rows_;
    unflushedBytes_ = 0;
    room_->release(endOfFile());
  }

  // After a failed write or flush: flushes the rows written so far when
  // the failure was a full disk found before writing (their room was
  // reserved); otherwise, or when that flush fails, cuts the datasets back
  // to the rows of the last flush and flushes that state. False when HDF5
  // could not write it either; the file may then be unreadable. Never
  // throws.
  bool restore(std::uint64_t dropped, std::uint64_t skipped) noexcept {
    try {
      if (full_) {
        flush(dropped, skipped);
        return true;
      }
    } catch (...) {
      H5Eclear2(H5E_DEFAULT);
    }
    rows_ = flushedRows_;
    unflushedBytes_ = 0;
    try {
      for (Handle& c : channels_) shrink(c, rows_, samples_);
      shrink(packages_, rows_, 0);
      flush(dropped, skipped);
      return true;
    } catch (...) {
      H5Eclear2(H5E_DEFAULT);
      return false;
    }
  }

  // Closes every object and the file, once; throws when the close failed.
  void close() {
    bool ok = packages_.reset();
    for (Handle& c : channels_) ok = c.reset() && ok;
    ok = channelGroup_.reset() && ok;
    ok = rowType_.reset() && ok;
    ok = file_.reset() && ok;
    room_.reset();
    if (!ok) fail("cannot close the file");
  }

  std::uint64_t unflushedBytes() const { return unflushedBytes_; }
  std::uint64_t rows() const { return rows_; }
  std::size_t channels() const { return channels_.size(); }
  std::size_t samplesPerChannel() const { return samples_; }

 private:
  std::uint64_t appendRows(const std::vector<std::pair<SharedPackage, double>>& items) {
    // The first package makes the channels' datasets.
    if (channels_.empty()) room_->reserve(endOfFile() + metadataRoom);
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
    room_->reserve(endOfFile() + roomFor(n));
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
    unflushedBytes_ += n * (4 * samples_ * channels_.size() + sizeof(Row));
    return skipped;
  }

  // Chunk rows of /packages.
  static constexpr hsize_t tableChunkRows = 1024;
  // Room for the metadata a flush writes beside the chunks: object
  // headers, the superblock and the attributes are written in place, new
  // datasets and the nodes of the chunk indexes (a few kilobytes each) take
  // new room; amply.
  static constexpr std::uint64_t metadataRoom = 64 * 1024;
  static constexpr std::uint64_t indexRoomPerChunk = 4096;

  // HDF5's end of the file: what it has allocated so far.
  std::uint64_t endOfFile() const {
    haddr_t end = 0;
    check(H5Fget_eoa(file_, &end), "H5Fget_eoa");
    return end;
  }

  // What the next flush may add to the file when `n` rows are written now:
  // the chunks of the rows since the last flush that no flushed row has
  // placed in the file yet (whole chunks, as HDF5 allocates them), and
  // the metadata.
  std::uint64_t roomFor(hsize_t n) const {
    const hsize_t end = rows_ + n;
    auto newChunks = [&](hsize_t rowsPerChunk) {
      const hsize_t firstNew = (flushedRows_ + rowsPerChunk - 1) / rowsPerChunk;
      const hsize_t last = (end - 1) / rowsPerChunk;
      return last < firstNew ? 0 : last - firstNew + 1;
    };
    const std::uint64_t channelChunks = channels_.size() * newChunks(chunkRows_);
    const std::uint64_t tableChunks = newChunks(tableChunkRows);
    return channelChunks * chunkRows_ * samples_ * 4 + tableChunks * tableChunkRows * sizeof(Row) +
           (channelChunks + tableChunks) * indexRoomPerChunk + metadataRoom;
  }

  void writeFigures(std::uint64_t rows, std::uint64_t dropped, std::uint64_t skipped) {
    setU64(file_, "packages", rows);
    setU64(file_, "dropped_packages", dropped);
    setU64(file_, "skipped_packages", skipped);
  }
  void createChannels(const mirt::OstraDataPackage& first) {
    samples_ = first.getSize();
    // Chunks of about 64 KiB: a few rows of long packages, many of short ones.
    chunkRows_ = std::max<hsize_t>(1, 16384 / samples_);
    for (std::size_t c = 0; c < first.getChannelCount(); ++c) {
      channels_.push_back(createGrowing(channelGroup_, std::to_string(c).c_str(), H5T_STD_U32LE, samples_,
                                        chunkRows_,
                                        flushBytes / (4 * samples_ * first.getChannelCount()) + 1));
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
  std::unique_ptr<Reservation> room_;
  std::size_t samples_ = 0;
  hsize_t chunkRows_ = 1;
  hsize_t rows_ = 0;
  hsize_t flushedRows_ = 0;
  std::uint64_t unflushedBytes_ = 0;
  bool full_ = false;  // a write found no room on disk
};

bool Recorder::available() { return true; }

std::vector<RecordMember> Recorder::packageRecord() { return recordMembers(rowType()); }

#else  // no HDF5 in this build

class RecordingFile {
 public:
  explicit RecordingFile(const RecordingSettings&) {
    throw std::runtime_error("this build of varnel-monitor has no HDF5 recording");
  }
  static void quietErrors() {}
  std::uint64_t write(const std::vector<std::pair<SharedPackage, double>>&) { return 0; }
  void flush(std::uint64_t, std::uint64_t) {}
  bool restore(std::uint64_t, std::uint64_t) noexcept { return true; }
  void close() {}
  std::uint64_t unflushedBytes() const { return 0; }
  std::uint64_t rows() const { return 0; }
  std::size_t channels() const { return 0; }
  std::size_t samplesPerChannel() const { return 0; }
};

bool Recorder::available() { return false; }

std::vector<RecordMember> Recorder::packageRecord() { return {}; }

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
      if (failure_) {
        ++notRecorded_;
      } else if (queue_.size() < queueCapacity && !stopping_) {
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

void Recorder::fail(const std::string& text, std::uint64_t lost, bool damaged) {
  std::lock_guard lock(mutex_);
  if (!failure_) failure_ = text;
  damaged_ = damaged_ || damaged;
  notRecorded_ += lost + queue_.size();
  queue_.clear();
}

void Recorder::writeLoop() {
  RecordingFile::quietErrors();
  std::uint64_t skipped = 0;
  auto nextFlush = Clock::now() + flushInterval;
  std::vector<std::pair<SharedPackage, double>> batch;
  for (;;) {
    bool last = false;
    std::uint64_t dropped = 0;
    // The batch keeps the rows since the last flush within flushBytes (at
    // least one package is taken).
    const std::uint64_t room = flushBytes - std::min(flushBytes, file_->unflushedBytes());
    {
      std::unique_lock lock(mutex_);
      wake_.wait_until(lock, nextFlush, [&] { return !queue_.empty() || stopping_; });
      std::uint64_t bytes = 0;
      while (!queue_.empty() && batch.size() < batchPackages) {
        bytes += sampleBytes(*queue_.front().package);
        if (!batch.empty() && bytes > room) break;
        batch.emplace_back(std::move(queue_.front().package), queue_.front().receiveTime);
        queue_.pop_front();
      }
      last = stopping_ && queue_.empty();
      dropped = dropped_;
    }
    std::uint64_t unwritten = batch.size();
    try {
      if (!batch.empty()) skipped += file_->write(batch);
      unwritten = 0;
      batch.clear();  // releases the packages outside the lock
      if (last || Clock::now() >= nextFlush || file_->unflushedBytes() >= flushBytes) {
        file_->flush(dropped, skipped);
        nextFlush = Clock::now() + flushInterval;
      }
    } catch (const std::exception& e) {
      // The rows since the last flush are given up with the batch.
      const std::uint64_t written = file_->rows();
      const bool restored = file_->restore(dropped, skipped);
      batch.clear();
      {
        // Packages of another shape in a batch written before the flush
        // failed are skipped ones, as the file's attribute says.
        std::lock_guard lock(mutex_);
        skipped_ = skipped;
      }
      fail(e.what(), unwritten + written - file_->rows(), !restored);
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
  if (file_) {
    figures.recorded = file_->rows();
    figures.channels = file_->channels();
    figures.samplesPerChannel = file_->samplesPerChannel();
    std::optional<std::string> closeFailure;
    try {
      file_->close();
    } catch (const std::exception& e) {
      closeFailure = e.what();
    }
    file_.reset();
    std::error_code error;
    figures.fileBytes = std::filesystem::file_size(path_, error);
    if (error) figures.fileBytes = 0;
    // The failure's one line: its cause, and what the file holds.
    std::lock_guard lock(mutex_);
    if (closeFailure) failure_ = failure_ ? *failure_ + "; " + *closeFailure : *closeFailure;
    if (failure_) {
      const std::string packages = std::to_string(figures.recorded) + " packages";
      *failure_ += damaged_ || closeFailure
                       ? "; the file may be unreadable (its last complete state: " + packages + ")"
                       : "; the file holds " + packages;
    }
  }
  std::lock_guard lock(mutex_);
  figures.dropped = dropped_;
  figures.skipped = skipped_;
  figures.notRecorded = notRecorded_;
  return figures;
}

}  // namespace monitor
