// Enclave keys in a software TPM (swtpm) started by each test.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/enclave/secure_enclave.h"
#include "platform/enclave/test_swtpm.h"
#include "platform/keychain/master_key_source.h"
#include "platform/fs/test_dir.h"

namespace kelvo {
namespace {

namespace fs = std::filesystem;

const CryptoBytes kTag = {'f', 's', 's', '.', 'e', 'n', 'c', 'l', 'a', 'v', 'e', '.', 't'};
const CryptoBytes kSecret = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                             17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

class TpmEnclaveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!TestSwtpm::Installed()) GTEST_SKIP() << "swtpm is not installed";
    ASSERT_EQ(tpm_.Start(), std::nullopt);
  }

  // The enclave of `dir` on `tcti` (empty: none), with what it logged.
  std::unique_ptr<SecureEnclave> Open(const std::string& dir, const std::string& tcti,
                                      EnclaveBackend* backend) {
    std::string error;
    auto source = OpenFileMasterKeySource(dir, &error);
    EXPECT_TRUE(source) << error;
    EnclaveOptions options;
    // No TCTI at all: a path where nothing listens stands for a machine
    // without a TPM.
    options.tcti = tcti.empty() ? "swtpm:path=" + dir + "/no-tpm" : tcti;
    options.log = [this](const std::string& line) { log_.push_back(line); };
    auto enclave = OpenSecureEnclaveAt(dir, source, options, backend, &error);
    EXPECT_TRUE(enclave) << error;
    return enclave;
  }

  static CryptoBytes Wrap(SecureEnclave& enclave) {
    std::string error;
    SecPrivateKeyRef key = enclave.CreateRandomKey(kTag, nullptr, &error);
    EXPECT_TRUE(key) << error;
    if (!key) return {};
    std::optional<CryptoBytes> wrapped = key->CopyPublicKey()->CreateEncryptedData(
        SecKeyAlgorithm::kECIESEncryptionCofactorX963SHA256AESGCM, kSecret, &error);
    EXPECT_TRUE(wrapped) << error;
    return wrapped.value_or(CryptoBytes{});
  }

  static std::optional<CryptoBytes> Unwrap(SecureEnclave& enclave, const CryptoBytes& wrapped,
                                           OSStatus* status) {
    SecPrivateKeyRef key;
    *status = enclave.CopyKey(kTag, &key);
    if (*status != errSecSuccess) return std::nullopt;
    std::string error;
    return key->CreateDecryptedData(SecKeyAlgorithm::kECIESEncryptionCofactorX963SHA256AESGCM,
                                    wrapped, &error);
  }

  TestSwtpm tpm_;
  TestDir dir_;
  std::vector<std::string> log_;
};

TEST_F(TpmEnclaveTest, KeyInTheTpmWrapsAndUnwrapsAndSurvivesARestart) {
  EnclaveBackend backend = EnclaveBackend::kSoftware;
  CryptoBytes wrapped;
  {
    auto enclave = Open(dir_.path(), tpm_.tcti(), &backend);
    EXPECT_EQ(backend, EnclaveBackend::kTpm);
    EXPECT_TRUE(log_.empty());
    wrapped = Wrap(*enclave);
    OSStatus status;
    EXPECT_EQ(Unwrap(*enclave, wrapped, &status), kSecret);
  }
  // The same TPM after a restart still holds the key's parent.
  tpm_.Stop();
  ASSERT_EQ(tpm_.Start(), std::nullopt);
  auto reopened = Open(dir_.path(), tpm_.tcti(), &backend);
  OSStatus status;
  EXPECT_EQ(Unwrap(*reopened, wrapped, &status), kSecret);

  // Deleting the key leaves the value undecryptable.
  EXPECT_EQ(reopened->DeleteKey(kTag), errSecSuccess);
  EXPECT_EQ(Unwrap(*reopened, wrapped, &status), std::nullopt);
  EXPECT_EQ(status, errSecItemNotFound);
}

TEST_F(TpmEnclaveTest, StoredBlobIsUselessWithAnotherTpm) {
  EnclaveBackend backend;
  CryptoBytes wrapped = Wrap(*Open(dir_.path(), tpm_.tcti(), &backend));
  ASSERT_FALSE(wrapped.empty());

  TestSwtpm other;  // another chip: another seed
  ASSERT_EQ(other.Start(), std::nullopt);
  TestDir copy;
  fs::copy(dir_.path(), copy.path(), fs::copy_options::recursive);
  auto elsewhere = Open(copy.path(), other.tcti(), &backend);
  OSStatus status;
  EXPECT_EQ(Unwrap(*elsewhere, wrapped, &status), std::nullopt);
}

TEST_F(TpmEnclaveTest, WithoutTheTpmSoftwareKeysTakeOverAndTheLogSaysSo) {
  EnclaveBackend backend;
  CryptoBytes on_tpm = Wrap(*Open(dir_.path(), tpm_.tcti(), &backend));
  tpm_.Stop();

  auto without = Open(dir_.path(), "", &backend);
  EXPECT_EQ(backend, EnclaveBackend::kSoftware);
  ASSERT_EQ(log_.size(), 1u);
  EXPECT_NE(log_[0].find("no TPM"), std::string::npos) << log_[0];
  OSStatus status;
  // The TPM's key is not there to use; a new software key serves instead.
  EXPECT_EQ(Unwrap(*without, on_tpm, &status), std::nullopt);
  EXPECT_EQ(status, errSecItemNotFound);
  CryptoBytes in_software = Wrap(*without);
  EXPECT_EQ(Unwrap(*without, in_software, &status), kSecret);

  // Back with the TPM, the key made in its absence is the newer one and
  // stays in use; a key made now is the TPM's again.
  ASSERT_EQ(tpm_.Start(), std::nullopt);
  auto with = Open(dir_.path(), tpm_.tcti(), &backend);
  EXPECT_EQ(Unwrap(*with, in_software, &status), kSecret);
  CryptoBytes back_on_tpm = Wrap(*with);
  EXPECT_EQ(Unwrap(*with, back_on_tpm, &status), kSecret);
  EXPECT_EQ(Unwrap(*with, in_software, &status), std::nullopt);

  // The TPM going away under an open enclave makes its keys fail, not the
  // process.
  tpm_.Stop();
  EXPECT_EQ(Unwrap(*with, back_on_tpm, &status), std::nullopt);
  std::string error;
  EXPECT_EQ(with->CreateRandomKey(kTag, nullptr, &error), nullptr);
}

}  // namespace
}  // namespace kelvo
