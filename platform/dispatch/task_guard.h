// The guard every queued task runs under: an exception that escapes a task
// is logged and ends that task only, never the process.
//
// Reply holders (a method result, a typed message's reply) that are released
// unanswered while a failed task's captures are dropped can ask
// CurrentTaskFailure() and answer an error instead of nothing.
//
// Threading: RunGuarded runs on the queue's thread; the failure is visible
// to that thread only, and only while the failed task is being released.
#pragma once

#include <string>

#include "platform/dispatch/dispatch.h"

namespace kelvo {

// Runs `work` and then releases it (so what it captured is dropped here).
// `label` names the queue in the log line.
void RunGuarded(const std::string& label, Work& work);

// What the failing task threw, while its captures are being released; else
// null.
const std::string* CurrentTaskFailure();

}  // namespace kelvo
