#include "platform/crypto/aes_gcm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace kelvo {
namespace {

CryptoBytes Hex(const std::string& hex) {
  CryptoBytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

struct GcmVector {
  const char* name;
  const char* key;
  const char* nonce;
  const char* plaintext;
  const char* aad;
  const char* ciphertext;
  const char* tag;
};

// Test cases of McGrew and Viega, "The Galois/Counter Mode of Operation".
const GcmVector kVectors[] = {
    {"case2_aes128", "00000000000000000000000000000000", "000000000000000000000000",
     "00000000000000000000000000000000", "", "0388dace60b6a392f328c2b971b2fe78",
     "ab6e47d42cec13bdf53a67b21257bddf"},
    {"case5_aes128_8byte_nonce", "feffe9928665731c6d6a8f9467308308", "cafebabefacedbad",
     "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6"
     "b525b16aedf5aa0de657ba637b39",
     "feedfacedeadbeeffeedfacedeadbeefabaddad2",
     "61353b4c2806934a777ff51fa22a4755699b2a714fcdc6f83766e5f97b6c742373806900e49f24b22b097544d489"
     "6b424989b5e1ebac0f07c23f4598",
     "3612d2e79e3b0785561be14aaca2fccb"},
    {"case13_aes256_empty", "0000000000000000000000000000000000000000000000000000000000000000",
     "000000000000000000000000", "", "", "", "530f8afbc74536b9a963b4f1c4cb738b"},
    {"case14_aes256", "0000000000000000000000000000000000000000000000000000000000000000",
     "000000000000000000000000", "00000000000000000000000000000000", "",
     "cea7403d4d606b6e074ec5d3baf39d18", "d0d1c8a799996bf0265b98b5d48ab919"},
    {"case15_aes256", "feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308",
     "cafebabefacedbaddecaf888",
     "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6"
     "b525b16aedf5aa0de657ba637b391aafd255",
     "",
     "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b105682"
     "8838c5f61e6393ba7a0abcc9f662898015ad",
     "b094dac5d93471bdec1a502270e3cc6c"},
    {"case16_aes256_aad", "feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308",
     "cafebabefacedbaddecaf888",
     "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6"
     "b525b16aedf5aa0de657ba637b39",
     "feedfacedeadbeeffeedfacedeadbeefabaddad2",
     "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b105682"
     "8838c5f61e6393ba7a0abcc9f662",
     "76fc6ece0f4e1768cddf8853bb2d551b"},
};

TEST(AesGcmTest, PublishedVectorsSealAndOpen) {
  for (const GcmVector& v : kVectors) {
    SCOPED_TRACE(v.name);
    CryptoBytes key = Hex(v.key), nonce = Hex(v.nonce), plain = Hex(v.plaintext), aad = Hex(v.aad);
    std::optional<AesGcmSealedBox> box = AesGcmSeal(key, nonce, plain, aad);
    ASSERT_TRUE(box.has_value());
    EXPECT_EQ(box->nonce, nonce);
    EXPECT_EQ(box->ciphertext, Hex(v.ciphertext));
    EXPECT_EQ(box->tag, Hex(v.tag));
    EXPECT_EQ(AesGcmOpen(key, *box, aad), plain);
  }
}

// A prepared key must give the published results however often it is used,
// and a refused open must not spoil the next one.
TEST(AesGcmKeyTest, ReusedKeysGiveThePublishedResultsAndRecoverFromFailures) {
  for (const GcmVector& v : kVectors) {
    SCOPED_TRACE(v.name);
    CryptoBytes key = Hex(v.key), nonce = Hex(v.nonce), plain = Hex(v.plaintext), aad = Hex(v.aad);
    const CryptoBytes ciphertext = Hex(v.ciphertext), tag = Hex(v.tag);
    std::optional<AesGcmKey> prepared = AesGcmKey::Create(key);
    ASSERT_TRUE(prepared.has_value());
    CryptoBytes sealed(plain.size()), sealed_tag(kAesGcmTagSize), opened(plain.size());
    if (nonce.size() != kAesGcmNonceSize) {  // only the standard nonce size is taken
      EXPECT_FALSE(prepared->Seal(nonce, plain, aad, sealed.data(), sealed_tag.data()));
      continue;
    }
    for (int round = 0; round < 2; ++round) {
      ASSERT_TRUE(prepared->Seal(nonce, plain, aad, sealed.data(), sealed_tag.data()));
      EXPECT_EQ(sealed, ciphertext);
      EXPECT_EQ(sealed_tag, tag);
      CryptoBytes bad_tag = tag;
      bad_tag[0] ^= 1;
      std::fill(opened.begin(), opened.end(), 0xee);
      EXPECT_FALSE(prepared->Open(nonce, ciphertext, bad_tag, aad, opened.data()));
      EXPECT_EQ(opened, CryptoBytes(plain.size(), 0));  // nothing unauthenticated is left
      ASSERT_TRUE(prepared->Open(nonce, ciphertext, tag, aad, opened.data()));
      EXPECT_EQ(opened, plain);
    }
    // What one side seals the other opens.
    std::optional<AesGcmSealedBox> box = AesGcmSeal(key, nonce, plain, aad);
    ASSERT_TRUE(box.has_value());
    ASSERT_TRUE(prepared->Open(box->nonce, box->ciphertext, box->tag, aad, opened.data()));
    EXPECT_EQ(opened, plain);
  }
  EXPECT_FALSE(AesGcmKey::Create(CryptoBytes(31, 1)).has_value());
  EXPECT_FALSE(AesGcmKey::Create(CryptoBytes()).has_value());
  std::optional<AesGcmKey> key = AesGcmKey::Create(CryptoBytes(32, 7));
  ASSERT_TRUE(key.has_value());
  uint8_t tag[kAesGcmTagSize] = {};
  EXPECT_FALSE(key->Open(CryptoBytes(12, 0), {}, CryptoBytes(8, 0), {}, nullptr));  // short tag
  EXPECT_FALSE(key->Seal(CryptoBytes(16, 0), {}, {}, nullptr, tag));
}

// Short bodies are opened another way than long ones: both must agree
// with the one-shot functions at every size around the switch, for every
// key size, and refuse an altered body, tag or additional data.
TEST(AesGcmKeyTest, OpensBodiesOfEverySizeAlikeAndRefusesAlterations) {
  const CryptoBytes nonce(kAesGcmNonceSize, 0x42), aad = {'a', 'a', 'd'};
  for (size_t key_size : {16u, 24u, 32u}) {
    const CryptoBytes key(key_size, 0x17);
    std::optional<AesGcmKey> prepared = AesGcmKey::Create(key);
    ASSERT_TRUE(prepared.has_value());
    for (size_t n : {0u, 1u, 15u, 16u, 17u, 63u, 64u, 65u, 1024u, 4096u}) {
      SCOPED_TRACE(testing::Message() << "key " << key_size << ", body " << n);
      CryptoBytes plain(n);
      for (size_t i = 0; i < n; ++i) plain[i] = static_cast<uint8_t>(i * 7 + 1);
      std::optional<AesGcmSealedBox> box = AesGcmSeal(key, nonce, plain, aad);
      ASSERT_TRUE(box.has_value());
      CryptoBytes opened(n);
      ASSERT_TRUE(prepared->Open(nonce, box->ciphertext, box->tag, aad, opened.data()));
      EXPECT_EQ(opened, plain);

      CryptoBytes tag = box->tag;
      tag[15] ^= 0x80;
      EXPECT_FALSE(prepared->Open(nonce, box->ciphertext, tag, aad, opened.data()));
      EXPECT_EQ(opened, CryptoBytes(n, 0));
      EXPECT_FALSE(prepared->Open(nonce, box->ciphertext, box->tag, {}, opened.data()));
      if (n > 0) {
        CryptoBytes body = box->ciphertext;
        body[n - 1] ^= 0x01;
        EXPECT_FALSE(prepared->Open(nonce, body, box->tag, aad, opened.data()));
      }
      // And what the prepared key seals, the one-shot function opens.
      CryptoBytes sealed(n), sealed_tag(kAesGcmTagSize);
      ASSERT_TRUE(prepared->Seal(nonce, plain, aad, sealed.data(), sealed_tag.data()));
      EXPECT_EQ(AesGcmOpen(key, {nonce, sealed, sealed_tag}, aad), plain);
    }
  }
}

TEST(AesGcmTest, AnyAlterationFailsToOpen) {
  const GcmVector& v = kVectors[5];
  CryptoBytes key = Hex(v.key), aad = Hex(v.aad);
  AesGcmSealedBox good{Hex(v.nonce), Hex(v.ciphertext), Hex(v.tag)};
  ASSERT_TRUE(AesGcmOpen(key, good, aad).has_value());

  AesGcmSealedBox bad = good;
  bad.ciphertext[7] ^= 0x01;
  EXPECT_FALSE(AesGcmOpen(key, bad, aad).has_value());
  bad = good;
  bad.tag[15] ^= 0x80;
  EXPECT_FALSE(AesGcmOpen(key, bad, aad).has_value());
  bad = good;
  bad.nonce[0] ^= 0x01;
  EXPECT_FALSE(AesGcmOpen(key, bad, aad).has_value());
  bad = good;
  bad.ciphertext.pop_back();
  EXPECT_FALSE(AesGcmOpen(key, bad, aad).has_value());
  EXPECT_FALSE(AesGcmOpen(key, good, {}).has_value());  // AAD left out
  CryptoBytes other_aad = aad;
  other_aad.back() ^= 0x01;
  EXPECT_FALSE(AesGcmOpen(key, good, other_aad).has_value());
  CryptoBytes other_key = key;
  other_key[31] ^= 0x01;
  EXPECT_FALSE(AesGcmOpen(other_key, good, aad).has_value());
}

TEST(AesGcmTest, RefusesBadSizesInsteadOfGuessing) {
  CryptoBytes nonce(12, 0), plain = {1, 2, 3};
  for (size_t key_size : {0u, 15u, 20u, 31u, 33u, 64u}) {
    SCOPED_TRACE(key_size);
    EXPECT_FALSE(AesGcmSeal(CryptoBytes(key_size, 1), nonce, plain).has_value());
    EXPECT_FALSE(AesGcmOpen(CryptoBytes(key_size, 1), {nonce, plain, CryptoBytes(16, 0)}));
  }
  CryptoBytes key(32, 7);
  EXPECT_FALSE(AesGcmSeal(key, {}, plain).has_value());
  std::optional<AesGcmSealedBox> box = AesGcmSeal(key, nonce, plain);
  ASSERT_TRUE(box.has_value());
  // A truncated tag, even a correct prefix of the real one, is refused.
  for (size_t n : {0u, 12u, 15u}) {
    AesGcmSealedBox shortened = *box;
    shortened.tag.resize(n);
    EXPECT_FALSE(AesGcmOpen(key, shortened).has_value()) << n;
  }
  AesGcmSealedBox longer = *box;
  longer.tag.push_back(0);
  EXPECT_FALSE(AesGcmOpen(key, longer).has_value());
}

TEST(AesGcmTest, RandomKeysAndNoncesAreFreshAndSized) {
  std::optional<CryptoBytes> k1 = AesGcmRandomKey(), k2 = AesGcmRandomKey();
  std::optional<CryptoBytes> n1 = AesGcmRandomNonce(), n2 = AesGcmRandomNonce();
  ASSERT_TRUE(k1 && k2 && n1 && n2);
  EXPECT_EQ(k1->size(), 32u);
  EXPECT_EQ(n1->size(), kAesGcmNonceSize);
  EXPECT_NE(*k1, *k2);
  EXPECT_NE(*n1, *n2);
  EXPECT_EQ(RandomBytes(0)->size(), 0u);
  EXPECT_EQ(RandomBytes(1000)->size(), 1000u);
  // Round trip of a large body under a random key and nonce.
  CryptoBytes plain(100000);
  for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<uint8_t>(i * 31);
  std::optional<AesGcmSealedBox> box = AesGcmSeal(*k1, *n1, plain);
  ASSERT_TRUE(box.has_value());
  EXPECT_NE(box->ciphertext, plain);
  EXPECT_EQ(AesGcmOpen(*k1, *box), plain);
}

}  // namespace
}  // namespace kelvo
