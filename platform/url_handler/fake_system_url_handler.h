// A SystemURLHandler for tests: the test says which schemes have an
// application and whether opening succeeds; the fake records every request.
// Threading: all methods are thread-safe.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/url_handler/system_url_handler.h"

namespace kelvo {

class FakeSystemURLHandler : public SystemURLHandler {
 public:
  // URLs with that scheme (lower case) are opened by `application_url`.
  void SetApplication(const std::string& scheme, const std::string& application_url);
  // What OpenURL answers for a URL that has an application (true at first);
  // a URL without one is never opened.
  void SetOpenResult(bool opened);

  bool OpenURL(const Url& url) override;
  std::optional<std::string> URLForApplicationToOpenURL(const Url& url) override;

  std::vector<std::string> open_requests() const;  // URL texts, in order
  std::vector<std::string> lookups() const;        // URL texts, in order
  std::vector<std::string> opened() const;         // the requests it opened

 private:
  mutable std::mutex mu_;
  std::map<std::string, std::string> applications_;
  bool open_result_ = true;
  std::vector<std::string> open_requests_;
  std::vector<std::string> lookups_;
  std::vector<std::string> opened_;
};

}  // namespace kelvo
