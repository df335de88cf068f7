// Kernel route tables set by hand, for the path monitor's tests: watches
// opened through Opener() read the tables, and begun watches report each
// Change or break on Break, synchronously on the calling thread (the test
// drives the monitor's queue in virtual time).
//
// Threading: every method is safe from any thread; events run outside the
// kernel's lock. Ownership: watches share the kernel.
#pragma once

#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "platform/path_monitor/route_watch.h"

namespace kelvo {

class FakeRouteWatch;

class FakeRouteKernel : public std::enable_shared_from_this<FakeRouteKernel> {
 public:
  static std::shared_ptr<FakeRouteKernel> Create(NetSnapshot tables = {});

  RouteWatchOpener Opener();

  // The tables become `tables` with no notification (as while nobody
  // listens).
  void SetTables(NetSnapshot tables);
  // The tables become `tables` and every begun watch that is not broken
  // reports them.
  void Change(NetSnapshot tables);
  // Every begun watch that is not broken fails with `error`.
  void Break(const std::string& error);
  // The next `count` opens fail with `error`.
  void FailOpens(int count, std::string error);

  struct Watches {
    int opened = 0;  // so far
    int alive = 0;   // not yet destroyed
  };
  Watches watches() const;

 private:
  friend class FakeRouteWatch;
  FakeRouteKernel() = default;

  mutable std::mutex mu_;
  NetSnapshot tables_;
  std::set<FakeRouteWatch*> watches_;
  int opened_ = 0;
  int failing_opens_ = 0;
  std::string open_error_;
};

}  // namespace kelvo
