#include "platform/http/fake_url_session.h"

#include <gtest/gtest.h>

#include "platform/dispatch/virtual_dispatch.h"

namespace kelvo {
namespace {

class FakeUrlSessionTest : public ::testing::Test {
 protected:
  VirtualDispatch dispatch_;
  std::shared_ptr<Queue> queue_ = dispatch_.CreateSerialQueue("net.kelvo.test.fake-http");
  std::vector<UrlResponse> done_;
  UrlSession::Completion Record() {
    return [this](UrlResponse r) {
      EXPECT_TRUE(queue_->IsCurrent());
      done_.push_back(std::move(r));
    };
  }
};

TEST_F(FakeUrlSessionTest, AnswersOldestFirstOnTheCallbackQueue) {
  FakeUrlSession session(queue_);
  session.DataTask(UrlRequest{"http://a/1"}, Record());
  session.DataTask(UrlRequest{"http://a/2", "POST", {}, std::vector<uint8_t>{'x'}}, Record());
  ASSERT_EQ(session.requests().size(), 2u);
  EXPECT_EQ(session.requests()[1].method, "POST");

  EXPECT_TRUE(session.Respond(401, "no"));
  EXPECT_TRUE(session.Fail("The Internet connection appears to be offline."));
  EXPECT_FALSE(session.Respond(200));
  EXPECT_TRUE(done_.empty());  // nothing runs inline
  dispatch_.RunUntilIdle();
  ASSERT_EQ(done_.size(), 2u);
  EXPECT_EQ(done_[0].status, 401);
  EXPECT_EQ(done_[0].body, (std::vector<uint8_t>{'n', 'o'}));
  EXPECT_EQ(done_[1].status, 0);
  EXPECT_FALSE(done_[1].body.has_value());
  EXPECT_EQ(done_[1].error_description, "The Internet connection appears to be offline.");
}

TEST_F(FakeUrlSessionTest, ResponderAnswersOrLeavesPendingAndCancellationEndsThePending) {
  auto session = std::make_unique<FakeUrlSession>(queue_);
  session->SetResponder([](const UrlRequest& r) -> std::optional<UrlResponse> {
    if (r.url.ends_with("/token/refresh/")) return MakeUrlResponse(200, "{\"token\":\"T\"}");
    return std::nullopt;
  });
  session->DataTask(UrlRequest{"http://a/token/refresh/"}, Record());
  session->DataTask(UrlRequest{"http://a/conf/"}, Record());
  session->DataTask(UrlRequest{"http://a/conf/"}, Record());
  EXPECT_EQ(session->pending_count(), 2u);
  session->CancelAll();
  session->DataTask(UrlRequest{"http://a/late"}, Record());
  session.reset();  // the last one is cancelled by destruction
  dispatch_.RunUntilIdle();
  ASSERT_EQ(done_.size(), 4u);
  EXPECT_EQ(done_[0].status, 200);
  for (int i = 1; i < 4; ++i) EXPECT_EQ(done_[i].error_description, kUrlCancelledDescription);
}

}  // namespace
}  // namespace kelvo
