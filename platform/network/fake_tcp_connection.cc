#include "platform/network/fake_tcp_connection.h"

#include "platform/network/tcp_state_reporter.h"

namespace kelvo {

FakeTcpConnection::FakeTcpConnection(std::string host, uint16_t port,
                                     std::vector<TcpConnectionState> script)
    : host_(std::move(host)),
      port_(port),
      script_(std::move(script)),
      reporter_(std::make_shared<TcpStateReporter>()) {}

FakeTcpConnection::~FakeTcpConnection() { reporter_->Detach(); }

void FakeTcpConnection::SetStateHandler(StateHandler handler) {
  reporter_->SetHandler(std::move(handler));
}

void FakeTcpConnection::Start(std::shared_ptr<Queue> queue) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (started_) return;
    started_ = true;
  }
  if (!reporter_->Start(std::move(queue))) return;
  for (const TcpConnectionState& state : script_) reporter_->Report(state);
}

void FakeTcpConnection::Cancel() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    cancelled_ = true;
  }
  reporter_->Cancel();
}

bool FakeTcpConnection::started() const {
  std::lock_guard<std::mutex> lock(mu_);
  return started_;
}

bool FakeTcpConnection::cancelled() const {
  std::lock_guard<std::mutex> lock(mu_);
  return cancelled_;
}

bool FakeTcpConnection::Report(TcpConnectionState state) { return reporter_->Report(state); }

void FakeTcpConnector::SetScript(std::vector<TcpConnectionState> script) {
  std::lock_guard<std::mutex> lock(mu_);
  script_ = std::move(script);
}

std::shared_ptr<TcpConnection> FakeTcpConnector::Create(const std::string& host, uint16_t port) {
  std::lock_guard<std::mutex> lock(mu_);
  auto connection = std::make_shared<FakeTcpConnection>(host, port, script_);
  connections_.push_back(connection);
  return connection;
}

std::vector<std::shared_ptr<FakeTcpConnection>> FakeTcpConnector::connections() const {
  std::lock_guard<std::mutex> lock(mu_);
  return connections_;
}

}  // namespace kelvo
