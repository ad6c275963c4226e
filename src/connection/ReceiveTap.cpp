#include "connection/ReceiveTap.hpp"

#include <fmt/format.h>
#include <boost/asio/error.hpp>

#include <chrono>
#include <exception>

#include "common/ForcedUnwind.hpp"
#include "common/VarnelExceptionImpl.hpp"
#include "connection/StreamHandOver.hpp"

using mirt::ReceivedBytes;

void ReceiveTap::connected(const boost::asio::ip::tcp::socket& socket) {
  boost::system::error_code ignored;
  const auto local = socket.local_endpoint(ignored);
  const auto board = socket.remote_endpoint(ignored);
  localAddress_ = local.address().to_string();
  boardAddress_ = board.address().to_string();
  localPort_ = local.port();
  boardPort_ = board.port();
  tell(ReceivedBytes::Connected, nullptr, 0, "");
}

void ReceiveTap::received(const std::uint8_t* data, std::size_t size) {
  if (size != 0) tell(ReceivedBytes::Data, data, size, "");
}

void ReceiveTap::ended(const boost::system::error_code& error) {
  namespace error_values = boost::asio::error;
  ReceivedBytes::Event event = ReceivedBytes::Failed;
  if (error == error_values::eof) {
    event = ReceivedBytes::Closed;
  } else if (error == error_values::connection_reset) {
    event = ReceivedBytes::Reset;
  }
  const std::string text = error.message();
  tell(event, nullptr, 0, text.c_str());
}

void ReceiveTap::tell(ReceivedBytes::Event event, const std::uint8_t* data, std::size_t size,
                      const char* text) {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  ReceivedBytes bytes{};
  bytes.event = event;
  bytes.receiveTimeNs = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
  bytes.data = data;
  bytes.size = size;
  bytes.localAddress = localAddress_.c_str();
  bytes.boardAddress = boardAddress_.c_str();
  bytes.localPort = localPort_;
  bytes.boardPort = boardPort_;
  bytes.text = text;
  try {
    const StreamHandOver::CallbackScope inside(owner_);
    observer_(bytes);
  } catch (const std::exception& e) {
    throw VarnelMinorException(fmt::format("receiveObserver: {}", e.what()),
                               mirt::VarnelException::GeneralError, mirt::FailureCause::Other);
  } catch (...) {
    letForcedUnwindPass();
    throw VarnelMinorException("receiveObserver: exception of unknown type",
                               mirt::VarnelException::GeneralError, mirt::FailureCause::Other);
  }
}
