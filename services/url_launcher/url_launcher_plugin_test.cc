// The service on an in-process messenger in virtual time, playing the user
// interface, with a fake workspace.
#include "services/url_launcher/url_launcher_plugin.h"

#include <gtest/gtest.h>

#include "platform/dispatch/virtual_dispatch.h"
#include "platform/engine/in_process_messenger.h"
#include "platform/engine/testing/test_registrar.h"
#include "platform/url_handler/fake_system_url_handler.h"

namespace kelvo {
namespace {

const UrlLauncherBoolResult kYes{true, std::nullopt};
const UrlLauncherBoolResult kNo{false, std::nullopt};
const UrlLauncherBoolResult kInvalid{false, UrlLauncherError::kInvalidUrl};

class UrlLauncherPluginTest : public ::testing::Test {
 protected:
  UrlLauncherPluginTest() {
    workspace_->SetApplication("https", "file:///usr/share/applications/browser.desktop");
    workspace_->SetApplication("mailto", "file:///usr/share/applications/mail.desktop");
    SetUpUrlLauncherApi(&messenger_, std::make_shared<UrlLauncherPlugin>(workspace_));
  }

  // The whole reply list, as the interface would decode it.
  ValueList Send(const std::string& channel, const Value& message) {
    std::optional<Value> reply;
    messenger_.SendFromInterface(channel, UrlLauncherCodec().Encode(message), [&](Payload p) {
      ASSERT_TRUE(p) << "no handler on " << channel;
      Result<Value> decoded = UrlLauncherCodec().Decode(*p);
      ASSERT_TRUE(decoded.ok()) << decoded.error().message;
      reply = decoded.value();
    });
    dispatch_.RunUntilIdle();
    if (!reply || !reply->is_list()) {
      ADD_FAILURE() << "no list reply on " << channel;
      return {};
    }
    return reply->as_list();
  }
  std::optional<UrlLauncherBoolResult> Call(const std::string& channel, const std::string& url) {
    ValueList reply = Send(channel, Value(ValueList{url}));
    if (reply.size() != 1) {
      ADD_FAILURE() << "reply " << Value(reply).DebugString();
      return std::nullopt;
    }
    return UrlLauncherBoolResult::FromValue(reply[0]);
  }

  VirtualDispatch dispatch_;
  InProcessMessenger messenger_{dispatch_.MainQueue()};
  std::shared_ptr<FakeSystemURLHandler> workspace_ = std::make_shared<FakeSystemURLHandler>();
};

TEST_F(UrlLauncherPluginTest, TextThatIsNotAUrlIsInvalidOnBothChannelsAndLaunchesNothing) {
  for (const char* text :
       {"", "not a url", "https://kelvo.net/a b", "https://[::1/", "mailto:ñ@x.es"}) {
    EXPECT_EQ(Call(kUrlLauncherCanLaunchChannel, text), kInvalid) << text;
    EXPECT_EQ(Call(kUrlLauncherLaunchChannel, text), kInvalid) << text;
  }
  EXPECT_TRUE(workspace_->lookups().empty());
  EXPECT_TRUE(workspace_->open_requests().empty());
}

TEST_F(UrlLauncherPluginTest, CanLaunchUrlAsksWhichApplicationWouldOpenIt) {
  EXPECT_EQ(Call(kUrlLauncherCanLaunchChannel, "https://kelvo.net/ayuda?x=1"), kYes);
  EXPECT_EQ(Call(kUrlLauncherCanLaunchChannel, "MAILTO:soporte@kelvo.net"), kYes);
  EXPECT_EQ(Call(kUrlLauncherCanLaunchChannel, "kelvo-nobody:thing"), kNo);
  EXPECT_EQ(Call(kUrlLauncherCanLaunchChannel, "relative/reference"), kNo);
  EXPECT_EQ(workspace_->lookups().size(), 4u);
  EXPECT_TRUE(workspace_->open_requests().empty());  // asking opens nothing
}

TEST_F(UrlLauncherPluginTest, LaunchUrlAnswersWhatTheWorkspaceSays) {
  EXPECT_EQ(Call(kUrlLauncherLaunchChannel, "https://kelvo.net/"), kYes);
  EXPECT_EQ(Call(kUrlLauncherLaunchChannel, "kelvo-nobody:thing"), kNo);
  workspace_->SetOpenResult(false);
  EXPECT_EQ(Call(kUrlLauncherLaunchChannel, "mailto:soporte@kelvo.net"), kNo);
  EXPECT_EQ(workspace_->opened(), std::vector<std::string>{"https://kelvo.net/"});
  EXPECT_EQ(workspace_->open_requests().size(), 3u);
}

TEST_F(UrlLauncherPluginTest, RequestsOfTheWrongShapeGetErrorReplies) {
  for (const Value& request : {Value(ValueList{}), Value(ValueList{Value(5)}),
                               Value(ValueList{Value()}), Value("https://kelvo.net")}) {
    for (const char* channel : {kUrlLauncherCanLaunchChannel, kUrlLauncherLaunchChannel}) {
      ValueList reply = Send(channel, request);
      ASSERT_EQ(reply.size(), 3u) << request.DebugString();
      EXPECT_EQ(reply[0], Value("bad-request"));
      EXPECT_TRUE(reply[1].is_string());
    }
  }
  EXPECT_TRUE(workspace_->open_requests().empty());
}

TEST_F(UrlLauncherPluginTest, SettingUpWithoutAnImplementationRemovesBothHandlers) {
  EXPECT_TRUE(messenger_.HasNativeHandler(kUrlLauncherCanLaunchChannel));
  EXPECT_TRUE(messenger_.HasNativeHandler(kUrlLauncherLaunchChannel));
  SetUpUrlLauncherApi(&messenger_, nullptr);
  EXPECT_FALSE(messenger_.HasNativeHandler(kUrlLauncherCanLaunchChannel));
  EXPECT_FALSE(messenger_.HasNativeHandler(kUrlLauncherLaunchChannel));
  SetUpUrlLauncherApi(&messenger_, std::make_shared<UrlLauncherPlugin>(workspace_), "second");
  EXPECT_TRUE(messenger_.HasNativeHandler(std::string(kUrlLauncherLaunchChannel) + ".second"));
  EXPECT_FALSE(messenger_.HasNativeHandler(kUrlLauncherLaunchChannel));
}

TEST_F(UrlLauncherPluginTest, RegisterInstallsTheApiAndPublishesThePlugin) {
  SetUpUrlLauncherApi(&messenger_, nullptr);
  testing::TestRegistrar registrar(&messenger_);
  UrlLauncherPlugin::Register(&registrar);
  EXPECT_EQ(registrar.published.size(), 1u);
  // With the desktop's own handler: an invalid URL never reaches the system.
  EXPECT_EQ(Call(kUrlLauncherLaunchChannel, "not a url"), kInvalid);
  EXPECT_EQ(Call(kUrlLauncherCanLaunchChannel, "not a url"), kInvalid);
}

}  // namespace
}  // namespace kelvo
