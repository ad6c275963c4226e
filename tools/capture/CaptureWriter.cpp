#include "capture/CaptureWriter.hpp"

#include <algorithm>
#include <chrono>
#include <exception>
#include <filesystem>
#include <stdexcept>

#include "capture/PcapngWriter.hpp"
#include "capture/TcpFrame.hpp"

namespace capture {

namespace {

// Initial sequence numbers of the synthesised handshake.
constexpr std::uint32_t boardIsn = 0x40000000;
constexpr std::uint32_t clientIsn = 0x20000000;
constexpr std::array<std::uint8_t, 6> boardMac{0x02, 0, 0, 0, 0, 0x01};
constexpr std::array<std::uint8_t, 6> clientMac{0x02, 0, 0, 0, 0, 0x02};
constexpr auto flushPeriod = std::chrono::seconds(1);

}  // namespace

// The file and the state of the conversation being written.
struct CaptureWriter::Output {
  PcapngWriter file;
  bool open = false;  // a conversation has begun (a connect was seen)
  TcpEndpoint board;
  TcpEndpoint client;
  std::uint32_t boardNext = 0;  // sequence number of the board's next byte
  std::uint32_t clientNext = 0;
  std::uint16_t boardIpId = 0;
  std::uint16_t clientIpId = 0;
  std::vector<std::uint8_t> frame;  // reused
  std::uint64_t frames = 0;

  Output(const std::string& path, const std::string& application) : file(path, application) {}

  void segment(std::int64_t timeNs, bool fromBoard, std::uint8_t flags,
               std::span<const std::uint8_t> payload = {}) {
    TcpSegment s;
    s.source = fromBoard ? board : client;
    s.destination = fromBoard ? client : board;
    s.seq = fromBoard ? boardNext : clientNext;
    s.ack = fromBoard ? clientNext : boardNext;
    s.flags = flags;
    s.ipId = fromBoard ? boardIpId++ : clientIpId++;
    s.payload = payload;
    frame.clear();
    appendFrameHeaders(s, frame);
    file.write(timeNs, frame, payload);
    ++frames;
  }
};

CaptureWriter::CaptureWriter(const std::string& path, const std::string& application)
    : output_(std::make_unique<Output>(path, application)) {
  thread_ = std::thread([this] { run(); });
}

CaptureWriter::~CaptureWriter() {
  try {
    finish();
  } catch (...) {
  }
}

void CaptureWriter::observe(const mirt::ReceivedBytes& event) {
  Event e{event.event, event.receiveTimeNs, {}, {}, {}, event.localPort, event.boardPort};
  if (event.event == mirt::ReceivedBytes::Connected) {
    e.localAddress = event.localAddress;
    e.boardAddress = event.boardAddress;
  }
  if (event.size != 0) e.bytes.assign(event.data, event.data + event.size);
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] {
    return finishing_ || failure_ || queuedBytes_ == 0 || queuedBytes_ + e.bytes.size() <= maxQueuedBytes;
  });
  if (finishing_ || failure_) return;
  queuedBytes_ += e.bytes.size();
  queue_.push_back(std::move(e));
  lock.unlock();
  changed_.notify_all();
}

void CaptureWriter::run() {
  std::unique_lock lock(mutex_);
  auto nextFlush = std::chrono::steady_clock::now() + flushPeriod;
  for (;;) {
    changed_.wait_until(lock, nextFlush, [&] { return finishing_ || !queue_.empty(); });
    if (queue_.empty() && finishing_) break;
    const bool flushNow = std::chrono::steady_clock::now() >= nextFlush;
    std::optional<Event> event;
    if (!queue_.empty()) {
      event = std::move(queue_.front());
      queue_.pop_front();
    }
    lock.unlock();
    std::optional<std::string> failed;
    bool flushed = false;
    try {
      // Each read's frames are handed to the system at once, so that after
      // a failed write the figures say what the file holds.
      if (event) write(*event);
      if (event || flushNow) {
        output_->file.flush();
        flushed = true;
      }
    } catch (const std::exception& e) {
      failed = e.what();
    }
    lock.lock();
    if (flushed) {
      flushedFigures_ = figures_;
      flushedFigures_.frames = output_->frames;
      flushedFigures_.fileBytes = output_->file.flushedSize();
    }
    if (event) {
      queuedBytes_ -= event->bytes.size();
      changed_.notify_all();
    }
    if (flushNow) nextFlush = std::chrono::steady_clock::now() + flushPeriod;
    if (failed) {
      failure_ = *failed;
      queue_.clear();
      queuedBytes_ = 0;
      changed_.notify_all();
      break;
    }
  }
}

void CaptureWriter::write(const Event& event) {
  Output& o = *output_;
  using E = mirt::ReceivedBytes;
  if (event.kind == E::Connected) {
    o.board = TcpEndpoint::parse(event.boardAddress, event.boardPort);
    o.client = TcpEndpoint::parse(event.localAddress, event.localPort);
    o.board.mac = boardMac;
    o.client.mac = clientMac;
    o.open = true;
    o.clientNext = clientIsn;
    o.boardNext = boardIsn;
    o.segment(event.timeNs, false, tcpSyn);
    ++o.clientNext;
    o.boardNext = boardIsn;
    o.segment(event.timeNs, true, tcpSyn | tcpAck);
    ++o.boardNext;
    o.segment(event.timeNs, false, tcpAck);
    std::lock_guard lock(mutex_);
    ++figures_.connections;
    return;
  }
  if (!o.open) return;  // nothing without a connect before it
  switch (event.kind) {
    case E::Data: {
      std::span<const std::uint8_t> rest(event.bytes);
      while (!rest.empty()) {
        const std::size_t n = std::min(rest.size(), maxSegmentPayload);
        o.segment(event.timeNs, true, tcpPsh | tcpAck, rest.first(n));
        o.boardNext += static_cast<std::uint32_t>(n);
        rest = rest.subspan(n);
      }
      o.segment(event.timeNs, false, tcpAck);
      std::lock_guard lock(mutex_);
      figures_.bytes += event.bytes.size();
      break;
    }
    case E::Closed:
      o.segment(event.timeNs, true, tcpFin | tcpAck);
      ++o.boardNext;
      o.segment(event.timeNs, false, tcpAck);
      o.open = false;
      break;
    case E::Reset:
      o.segment(event.timeNs, true, tcpRst | tcpAck);
      o.open = false;
      break;
    default:
      // Failed otherwise (a time-out, an unreachable board): the board
      // sent nothing that says so.
      o.open = false;
      break;
  }
}

CaptureFigures CaptureWriter::finish() {
  {
    std::lock_guard lock(mutex_);
    finishing_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
  std::lock_guard lock(mutex_);
  if (output_) {
    try {
      output_->file.close();
    } catch (const std::exception& e) {
      if (!failure_) failure_ = e.what();
    }
    figures_.frames = output_->frames;
    figures_.fileBytes = output_->file.size();
    // After a failed write the file holds what the last flush handed over,
    // and perhaps a part of what followed: that part is cut away again, so
    // that the file ends with a whole block, as the figures say.
    if (failure_) {
      figures_ = flushedFigures_;
      std::error_code error;
      std::filesystem::resize_file(output_->file.path(), flushedFigures_.fileBytes, error);
    }
  }
  return figures_;
}

std::optional<std::string> CaptureWriter::failure() const {
  std::lock_guard lock(mutex_);
  return failure_;
}

}  // namespace capture
