#include "platform/url_handler/fake_system_url_handler.h"

namespace kelvo {

void FakeSystemURLHandler::SetApplication(const std::string& scheme,
                                          const std::string& application_url) {
  std::lock_guard lock(mu_);
  applications_[scheme] = application_url;
}

void FakeSystemURLHandler::SetOpenResult(bool opened) {
  std::lock_guard lock(mu_);
  open_result_ = opened;
}

bool FakeSystemURLHandler::OpenURL(const Url& url) {
  std::lock_guard lock(mu_);
  open_requests_.push_back(url.text);
  if (applications_.count(url.scheme) == 0 || !open_result_) return false;
  opened_.push_back(url.text);
  return true;
}

std::optional<std::string> FakeSystemURLHandler::URLForApplicationToOpenURL(const Url& url) {
  std::lock_guard lock(mu_);
  lookups_.push_back(url.text);
  auto it = applications_.find(url.scheme);
  if (it == applications_.end()) return std::nullopt;
  return it->second;
}

std::vector<std::string> FakeSystemURLHandler::open_requests() const {
  std::lock_guard lock(mu_);
  return open_requests_;
}

std::vector<std::string> FakeSystemURLHandler::lookups() const {
  std::lock_guard lock(mu_);
  return lookups_;
}

std::vector<std::string> FakeSystemURLHandler::opened() const {
  std::lock_guard lock(mu_);
  return opened_;
}

}  // namespace kelvo
