#include "services/store/receipt_manager.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

namespace kelvo {
namespace {

class ReceiptManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kelvo-receipt-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Write(const std::string& name, const std::string& bytes) {
    std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  std::string dir_;
};

TEST_F(ReceiptManagerTest, ReadsTheReceiptAnewEachTime) {
  std::string path = Write("receipt", "foobar");
  FIAPReceiptManager manager([path] { return path; });
  FlutterError error;
  EXPECT_EQ(manager.retrieveReceiptWithError(&error), "Zm9vYmFy");
  Write("receipt", "foo");
  EXPECT_EQ(manager.retrieveReceiptWithError(&error), "Zm9v");
  EXPECT_TRUE(error.code.empty());
}

TEST_F(ReceiptManagerTest, NoReceiptLocationIsNothingWithoutError) {
  FIAPReceiptManager manager([] { return std::nullopt; });
  FlutterError error;
  EXPECT_EQ(manager.retrieveReceiptWithError(&error), std::nullopt);
  EXPECT_TRUE(error.code.empty());
}

TEST_F(ReceiptManagerTest, AnUnreadableReceiptIsAnErrorWithTheDecimalCode) {
  const std::string missing = dir_ + "/missing";
  FIAPReceiptManager absent([missing] { return missing; });
  FlutterError error;
  EXPECT_EQ(absent.retrieveReceiptWithError(&error), std::nullopt);
  EXPECT_EQ(error.code, "260");
  EXPECT_EQ(error.message, "NSCocoaErrorDomain");
  ValueMap underlying{{Value("code"), Value(int64_t{ENOENT})},
                      {Value("domain"), Value("NSPOSIXErrorDomain")},
                      {Value("userInfo"), Value(ValueMap{})}};
  EXPECT_EQ(error.details, Value(ValueMap{{Value("NSFilePath"), Value(missing)},
                                          {Value("NSUnderlyingError"), Value(underlying)}}));

  // A directory opens but does not read.
  FIAPReceiptManager directory([this] { return dir_; });
  FlutterError read_error;
  EXPECT_EQ(directory.retrieveReceiptWithError(&read_error), std::nullopt);
  EXPECT_EQ(read_error.code, "256");
  // Callers that ask for no error still get nothing.
  EXPECT_EQ(absent.retrieveReceiptWithError(nullptr), std::nullopt);
}

}  // namespace
}  // namespace kelvo
