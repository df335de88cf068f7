// For tests: a fresh temporary directory under $TMPDIR (else /tmp), removed
// with everything in it when the object goes.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace kelvo {

class TestDir {
 public:
  TestDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kelvo-test-XXXXXX";
    char* made = mkdtemp(pattern.data());
    path_ = made ? made : "";
  }
  ~TestDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TestDir(const TestDir&) = delete;
  TestDir& operator=(const TestDir&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace kelvo
