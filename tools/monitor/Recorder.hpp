#pragma once

// Records the packages the monitor receives into an HDF5 file.
//
// The library's callback hands the packages over with `add`, which only
// queues them (a bounded queue; when it is full the packages are dropped
// and counted). A writer thread of the recorder takes them out, appends
// them to the file and flushes it about once a second, and sooner when
// much has been written, so that the file is readable at any time but
// within that second. What the file claims (the extents, the packages
// attribute, the figures) is what a flush has put on disk. The room the
// next flush needs is reserved on disk before rows are written; when there
// is none (a full disk), the rows written so far are flushed and the
// recording ends. When a write or a flush fails all the same, the rows
// since the last flush are cut away again. `finish` writes what is queued
// and closes the file.
//
// File layout (every dataset grows along its first dimension, one row per
// recorded package, all of the same length):
//   /channels/<c>   uint32 (packages, samples per channel), the samples of
//                   channel c in wire order (signed values: view as int32)
//   /packages       compound, one record per package: the twenty meta data
//                   fields under their names in mirt::OstraMetaData,
//                   waveformTypes (uint32[8], 0 beyond the channel count),
//                   receiveTime (float64, seconds since 1970 UTC: the
//                   library's receive time of the package) and handOverTime
//                   (likewise, when its hand-over reached the monitor).
//                   Recordings made before the library knew receive times
//                   have no handOverTime, and their receiveTime is that of
//                   the hand-over.
//   root attributes board_address, package_counter, wait_ms, tcp_timeout,
//                   start_time (ISO 8601 UTC), library_version, and the
//                   running figures packages, dropped_packages,
//                   skipped_packages
// The first package decides the channel count and samples per channel;
// packages of another shape are skipped and counted.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <varnel/varnel.hpp>

namespace monitor {

struct RecordingSettings {
  std::string path;
  std::string address;
  std::uint32_t packageCounter = 0;
  std::uint32_t waitMs = 0;
  std::uint32_t tcpTimeout = 0;
};

struct RecordingFigures {
  std::uint64_t recorded = 0;     // packages written to the file
  std::uint64_t dropped = 0;      // packages that found the queue full
  std::uint64_t skipped = 0;      // packages of another shape than the first
  std::uint64_t notRecorded = 0;  // packages lost with a failed recording, or that came after it
  std::size_t channels = 0;
  std::size_t samplesPerChannel = 0;
  std::uint64_t fileBytes = 0;
};

// A member of the /packages record as the recorder describes it to HDF5:
// its name, and its offset and size in bytes in the record in memory.
struct RecordMember {
  std::string name;
  std::size_t offset = 0;
  std::size_t size = 0;
};

using SharedPackage = std::shared_ptr<const mirt::OstraDataPackage>;

class RecordingFile;

class Recorder {
 public:
  /// Packages the queue holds at most (at most 64 MiB of samples).
  static constexpr std::size_t queueCapacity = 1024;
  /// Whether this build can record.
  static bool available();
  /// The members of a /packages record, in their order (none in a build
  /// that cannot record).
  static std::vector<RecordMember> packageRecord();

  /// Creates (truncates) the file, writes the root attributes and starts
  /// the writer thread. Throws std::runtime_error when the file cannot be
  /// made or this build cannot record.
  explicit Recorder(const RecordingSettings& settings);
  /// Finishes the recording if that has not been done; never throws.
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  /// Queues the packages of one hand-over, which reached the monitor at
  /// `receiveTime` (seconds since 1970 UTC; recorded as handOverTime);
  /// never waits for the file. Packages that do not fit the queue are
  /// dropped and counted.
  void add(std::vector<SharedPackage>& packages, double receiveTime);
  /// The writer's failure, if it has failed; it then records nothing more.
  std::optional<std::string> failure() const;
  /// Writes what is queued, closes the file and returns the figures.
  /// A failure to write or close is returned by failure() afterwards, as
  /// one line with its cause and what the file holds.
  RecordingFigures finish();

 private:
  struct Item {
    SharedPackage package;
    double receiveTime;
  };
  void writeLoop();
  // Ends the recording: `lost` packages of the writer's were not recorded,
  // the queued ones neither; `damaged` when the file could not be brought
  // back to its last flushed state.
  void fail(const std::string& text, std::uint64_t lost, bool damaged);

  std::string path_;
  std::unique_ptr<RecordingFile> file_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Item> queue_;
  std::uint64_t dropped_ = 0;
  std::uint64_t skipped_ = 0;  // written by the writer thread
  std::uint64_t notRecorded_ = 0;
  bool stopping_ = false;
  std::optional<std::string> failure_;
  bool damaged_ = false;
  std::thread writer_;
};

}  // namespace monitor
