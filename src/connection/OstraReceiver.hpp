#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "varnel/varnel.hpp"

class OstraBoardConnection;
class OstraDataStreamImpl;
class StateMachine;

// The parser behind mirt::Varnel: holds the settings, owns the stream,
// shares the state machine with its board connection, creates the
// connection on connect and drops it on disconnect. Does no I/O itself.
class OstraReceiver : public mirt::Varnel {
 public:
  OstraReceiver(const std::string& address, std::function<void(mirt::OstraDataStream*)> callback);
  ~OstraReceiver() override;

  void connect() override;
  void disconnect() override;
  bool isConnected() override;
  mirt::ConnectionState getState() override;
  void getAsyncError() override;
  void setTcpTimeout(std::uint32_t timeout) override;
  void setPackageCounter(std::uint32_t count) override;
  void setWaitTimeMs(std::uint32_t milliseconds) override;
  mirt::VarnelStatistics getStatistics() const override;
  void setReceiveObserver(std::function<void(const mirt::ReceivedBytes&)> observer) override;

  // True inside the hand-over that a disconnect or the destruction of this
  // parser makes: the call that makes it is still using the parser, which
  // must not be destroyed or connected from the callback then.
  bool closingAroundCallback() const;

 private:
  void closeConnection();
  // Undoes an attempt that could not start.
  void abandonAttempt();

  // Declared so that destruction releases the connection first and the
  // stream it fills last.
  std::unique_ptr<OstraDataStreamImpl> stream;
  std::shared_ptr<StateMachine> stateMachine;
  std::function<void(mirt::OstraDataStream*)> callback;
  std::string address;
  std::shared_ptr<OstraBoardConnection> connection;
  std::uint32_t packageCounter;
  std::uint32_t waitTimeMs;
  std::function<void(const mirt::ReceivedBytes&)> receiveObserver;
};
