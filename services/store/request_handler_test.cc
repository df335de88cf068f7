#include "services/store/request_handler.h"

#include <gtest/gtest.h>

#include "services/store/testing/fake_store_kit.h"

namespace kelvo {
namespace {

using testing::FakeRequestState;
using testing::FakeStoreKit;

struct Report {
  std::optional<StoreProductsResponse> response;
  std::optional<StoreError> error;
};

class RequestHandlerTest : public ::testing::Test {
 protected:
  std::unique_ptr<FIAPRequestHandler> Start(bool refresh) {
    auto handler = std::make_unique<FIAPRequestHandler>(
        refresh ? store_.CreateReceiptRefreshRequest(std::nullopt)
                : store_.CreateProductsRequest({"a"}));
    state_ = store_.requests.back();
    EXPECT_EQ(state_->delegate, handler.get()) << "the delegate from construction on";
    EXPECT_FALSE(state_->started);
    handler->startProductRequestWithCompletionHandler(
        [this](const auto& response, const auto& error) {
          reports_.push_back({response, error});
        });
    EXPECT_TRUE(state_->started);
    return handler;
  }

  FakeStoreKit store_;
  std::shared_ptr<FakeRequestState> state_;
  std::vector<Report> reports_;
};

TEST_F(RequestHandlerTest, AProductsRequestReportsItsResponseOnce) {
  auto handler = Start(false);
  StoreProductsResponse response;
  response.products.push_back(testing::MakeProduct("a"));
  state_->delegate->DidReceiveResponse(response);
  state_->delegate->RequestDidFinish();  // the store also says it finished
  state_->delegate->DidFailWithError(StoreError{});
  ASSERT_EQ(reports_.size(), 1u);
  ASSERT_TRUE(reports_[0].response);
  EXPECT_EQ(reports_[0].response->products.at(0).identifier, "a");
  EXPECT_FALSE(reports_[0].error);
}

TEST_F(RequestHandlerTest, AFailedRequestReportsItsErrorOnce) {
  auto handler = Start(false);
  StoreError error;
  error.code = 2;
  error.localized_description = "Cannot connect";
  state_->delegate->DidFailWithError(error);
  state_->delegate->RequestDidFinish();
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_FALSE(reports_[0].response);
  ASSERT_TRUE(reports_[0].error);
  EXPECT_EQ(reports_[0].error->code, 2);
}

TEST_F(RequestHandlerTest, ARefreshReportsSuccessWhenItFinishes) {
  auto handler = Start(true);
  state_->delegate->RequestDidFinish();
  state_->delegate->RequestDidFinish();
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_FALSE(reports_[0].response);
  EXPECT_FALSE(reports_[0].error);
}

TEST_F(RequestHandlerTest, TheRequestGoesWithTheHandlerAndForgetsIt) {
  auto handler = Start(false);
  handler.reset();
  EXPECT_TRUE(state_->destroyed);
  EXPECT_EQ(state_->delegate, nullptr);
}

}  // namespace
}  // namespace kelvo
