#include "platform/engine/testing/test_registrar.h"

namespace kelvo::testing {

TestRegistrar::TestRegistrar(BinaryMessenger* messenger, Dispatch* dispatch)
    : TestRegistrar(messenger, HostContext{dispatch, nullptr, {}}) {}

TestRegistrar::TestRegistrar(BinaryMessenger* messenger, HostContext context)
    : messenger_(messenger), context_(std::move(context)) {}

void TestRegistrar::Publish(std::shared_ptr<void> service) {
  published.push_back(std::move(service));
}

}  // namespace kelvo::testing
