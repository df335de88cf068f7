#include "host/fake_tunnel_managers.h"

namespace kelvo {

FakeTunnelSession::FakeTunnelSession(std::shared_ptr<Queue> main) : main_(std::move(main)) {}

void FakeTunnelSession::SendProviderMessage(std::vector<uint8_t> message,
                                            std::function<void(ProviderResponse)> done) {
  ProviderResponse response;
  {
    std::lock_guard lock(mu_);
    messages_.push_back(std::move(message));
    response = response_;
  }
  main_->Async([done = std::move(done), response = std::move(response)] { done(response); });
}

void FakeTunnelSession::set_response(ProviderResponse response) {
  std::lock_guard lock(mu_);
  response_ = std::move(response);
}

std::vector<std::vector<uint8_t>> FakeTunnelSession::messages() const {
  std::lock_guard lock(mu_);
  return messages_;
}

FakeTunnelManagers::FakeTunnelManagers(std::shared_ptr<Queue> main) : main_(std::move(main)) {}

void FakeTunnelManagers::LoadAll(LoadDone done) {
  std::vector<TunnelConnection> connections;
  std::optional<std::string> error;
  {
    std::lock_guard lock(mu_);
    ++loads_;
    if (error_) {
      error = error_;
    } else {
      connections = connections_;
    }
  }
  main_->Async(
      [done = std::move(done), connections = std::move(connections),
       error = std::move(error)]() mutable { done(std::move(connections), std::move(error)); });
}

void FakeTunnelManagers::set_connections(std::vector<TunnelConnection> connections) {
  std::lock_guard lock(mu_);
  connections_ = std::move(connections);
}

void FakeTunnelManagers::set_load_error(std::optional<std::string> error) {
  std::lock_guard lock(mu_);
  error_ = std::move(error);
}

int FakeTunnelManagers::loads() const {
  std::lock_guard lock(mu_);
  return loads_;
}

}  // namespace kelvo
