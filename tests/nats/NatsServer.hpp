#pragma once

// nats-server with JetStream started by a test on a loopback address of its
// own, at a free port, with a store directory of its own that is removed at
// the end; stopped (killed if need be) when the object goes. Servers of a
// cluster route to each other on their own free ports.

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "boardsim/Net.hpp"
#include "tools/ChildProcess.hpp"
#include "tools/ToolSupport.hpp"

namespace natstest {

#ifndef VARNEL_NATS_SERVER
#define VARNEL_NATS_SERVER ""
#endif
inline const std::string natsServerPath = VARNEL_NATS_SERVER;

using boardsim::net::freePort;

class NatsServer {
 public:
  NatsServer(std::string address, std::string name)
      : address_(std::move(address)),
        name_(std::move(name)),
        port_(freePort(address_)),
        clusterPort_(freePort(address_)),
        store_((std::filesystem::temp_directory_path() /
                ("varnel-nats-" + std::to_string(::getpid()) + "-" + name_))
                   .string()) {}
  ~NatsServer() {
    process_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(store_, ignored);
    std::filesystem::remove(store_ + ".conf", ignored);
  }
  NatsServer(const NatsServer&) = delete;
  NatsServer& operator=(const NatsServer&) = delete;

  std::string url() const { return "nats://" + address_ + ":" + std::to_string(port_); }
  std::string routeUrl() const { return "nats://" + address_ + ":" + std::to_string(clusterPort_); }
  const std::string& address() const { return address_; }
  tooltest::ChildProcess& process() { return *process_; }

  /// Starts the server (again, with the same store); `routes` makes it one
  /// of a cluster, `more` are further options. True once it is ready for
  /// clients.
  bool start(const std::vector<std::string>& routes = {}, const std::vector<std::string>& more = {}) {
    std::vector<std::string> args{"-js", "-a",   address_, "-p", std::to_string(port_),
                                  "-sd", store_, "-n",     name_};
    args.insert(args.end(), more.begin(), more.end());
    if (!routes.empty()) {
      std::string list;
      for (const std::string& r : routes) list += (list.empty() ? "" : ",") + r;
      args.insert(args.end(), {"--cluster_name", "varnel", "--cluster", routeUrl(), "--routes", list});
    }
    process_ = std::make_unique<tooltest::ChildProcess>(natsServerPath, args);
    const bool ready = process_->waitForOutput("Server is ready", tooltest::patience, true);
    EXPECT_TRUE(ready) << process_->outputs();
    return ready;
  }
  /// Writes `text` as the server's configuration file; the options that
  /// make `start` read it.
  std::vector<std::string> configuration(const std::string& text) {
    std::ofstream(store_ + ".conf") << text << '\n';
    return {"-c", store_ + ".conf"};
  }
  /// Stops the server with `signal` and waits for its end.
  void stop(int signal = SIGTERM) {
    process_->signal(signal);
    EXPECT_TRUE(process_->wait(tooltest::patience).has_value()) << process_->outputs();
  }

 private:
  std::string address_;
  std::string name_;
  std::uint16_t port_;
  std::uint16_t clusterPort_;
  std::string store_;
  std::unique_ptr<tooltest::ChildProcess> process_;
};

/// Skips the test where this machine has no nats-server.
#define SKIP_WITHOUT_NATS_SERVER()                                                               \
  if (natstest::natsServerPath.empty() || ::access(natstest::natsServerPath.c_str(), X_OK) != 0) \
  GTEST_SKIP() << "nats-server is not installed (Debian nats-server)"

}  // namespace natstest
