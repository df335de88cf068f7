#include "platform/dispatch/task_guard.h"

#include <cstdio>
#include <exception>

namespace kelvo {
namespace {

thread_local const std::string* tl_failure = nullptr;

}  // namespace

void RunGuarded(const std::string& label, Work& work) {
  std::string failure;
  try {
    work();
    work = nullptr;
    return;
  } catch (const std::exception& e) {
    failure = e.what();
  } catch (...) {
    failure = "unknown exception";
  }
  // stderr reaches the journal; the text is the exception's, never a value.
  std::fprintf(stderr, "kelvo: a task on queue '%s' failed: %s\n", label.c_str(), failure.c_str());
  const std::string* outer = tl_failure;
  tl_failure = &failure;
  try {
    work = nullptr;
  } catch (...) {
    std::fprintf(stderr, "kelvo: releasing a failed task on queue '%s' threw\n", label.c_str());
  }
  tl_failure = outer;
}

const std::string* CurrentTaskFailure() { return tl_failure; }

}  // namespace kelvo
