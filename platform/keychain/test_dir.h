// A fresh temporary directory for one test, removed with everything in it.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace kelvo {

class KeychainTestDir {
 public:
  KeychainTestDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kelvo-keychain-XXXXXX";
    char* made = mkdtemp(pattern.data());
    path_ = made ? made : "";
  }
  ~KeychainTestDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  KeychainTestDir(const KeychainTestDir&) = delete;
  KeychainTestDir& operator=(const KeychainTestDir&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace kelvo
