#include "platform/enclave/tpm_device.h"

#include <openssl/crypto.h>
#include <tss2/tss2_esys.h>
#include <tss2/tss2_mu.h>
#include <tss2/tss2_rc.h>
#include <tss2/tss2_tctildr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace kelvo {
namespace {

constexpr char kDefaultDevice[] = "/dev/tpmrm0";
constexpr size_t kCoordinateSize = 32;

std::string Describe(const char* what, TSS2_RC rc) {
  return std::string(what) + ": " + Tss2_RC_Decode(rc);
}

template <typename T>
struct EsysFree {
  void operator()(T* p) const { Esys_Free(p); }
};
template <typename T>
using EsysPtr = std::unique_ptr<T, EsysFree<T>>;

// An ECC P-256 key template; `restricted` for the storage parent.
TPM2B_PUBLIC EccTemplate(bool storage_parent) {
  TPM2B_PUBLIC t{};
  TPMT_PUBLIC& area = t.publicArea;
  area.type = TPM2_ALG_ECC;
  area.nameAlg = TPM2_ALG_SHA256;
  area.objectAttributes = TPMA_OBJECT_FIXEDTPM | TPMA_OBJECT_FIXEDPARENT |
                          TPMA_OBJECT_SENSITIVEDATAORIGIN | TPMA_OBJECT_USERWITHAUTH |
                          TPMA_OBJECT_DECRYPT | TPMA_OBJECT_NODA;
  TPMS_ECC_PARMS& ecc = area.parameters.eccDetail;
  ecc.curveID = TPM2_ECC_NIST_P256;
  ecc.kdf.scheme = TPM2_ALG_NULL;
  ecc.scheme.scheme = TPM2_ALG_NULL;
  if (storage_parent) {
    area.objectAttributes |= TPMA_OBJECT_RESTRICTED;
    ecc.symmetric.algorithm = TPM2_ALG_AES;
    ecc.symmetric.keyBits.aes = 128;
    ecc.symmetric.mode.aes = TPM2_ALG_CFB;
  } else {
    ecc.symmetric.algorithm = TPM2_ALG_NULL;
  }
  return t;
}

void AppendCoordinate(CryptoBytes* out, const TPM2B_ECC_PARAMETER& c) {
  // Coordinates may come back without their leading zero bytes.
  out->insert(out->end(), kCoordinateSize - std::min<size_t>(c.size, kCoordinateSize), 0);
  out->insert(out->end(), c.buffer, c.buffer + std::min<size_t>(c.size, kCoordinateSize));
}

template <typename T>
std::optional<CryptoBytes> Marshal(const T& value,
                                   TSS2_RC (*marshal)(const T*, uint8_t*, size_t, size_t*)) {
  CryptoBytes out(sizeof(T) + 8);
  size_t offset = 0;
  if (marshal(&value, out.data(), out.size(), &offset) != TSS2_RC_SUCCESS) return std::nullopt;
  out.resize(offset);
  return out;
}

template <typename T>
bool Unmarshal(const CryptoBytes& bytes, T* value,
               TSS2_RC (*unmarshal)(const uint8_t*, size_t, size_t*, T*)) {
  size_t offset = 0;
  return unmarshal(bytes.data(), bytes.size(), &offset, value) == TSS2_RC_SUCCESS &&
         offset == bytes.size();
}

class EsysTpm final : public TpmDevice {
 public:
  EsysTpm(TSS2_TCTI_CONTEXT* tcti, ESYS_CONTEXT* esys, ESYS_TR primary)
      : tcti_(tcti), esys_(esys), primary_(primary) {}
  ~EsysTpm() override {
    Esys_FlushContext(esys_, primary_);
    Esys_Finalize(&esys_);
    Tss2_TctiLdr_Finalize(&tcti_);
  }

  std::optional<TpmKeyBlob> CreateKey(std::string* error) override {
    const TPM2B_SENSITIVE_CREATE sensitive{};
    const TPM2B_PUBLIC in_public = EccTemplate(/*storage_parent=*/false);
    const TPM2B_DATA outside{};
    const TPML_PCR_SELECTION pcrs{};
    TPM2B_PRIVATE* out_private = nullptr;
    TPM2B_PUBLIC* out_public = nullptr;
    TPM2B_CREATION_DATA* creation_data = nullptr;
    TPM2B_DIGEST* creation_hash = nullptr;
    TPMT_TK_CREATION* ticket = nullptr;
    TSS2_RC rc;
    {
      std::lock_guard lock(mu_);
      rc = Esys_Create(esys_, primary_, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE, &sensitive,
                       &in_public, &outside, &pcrs, &out_private, &out_public, &creation_data,
                       &creation_hash, &ticket);
    }
    EsysPtr<TPM2B_PRIVATE> priv(out_private);
    EsysPtr<TPM2B_PUBLIC> pub(out_public);
    EsysPtr<TPM2B_CREATION_DATA> data(creation_data);
    EsysPtr<TPM2B_DIGEST> hash(creation_hash);
    EsysPtr<TPMT_TK_CREATION> tk(ticket);
    if (rc != TSS2_RC_SUCCESS) {
      if (error) *error = Describe("the TPM could not create a key", rc);
      return std::nullopt;
    }
    TpmKeyBlob blob;
    std::optional<CryptoBytes> p = Marshal(*pub, &Tss2_MU_TPM2B_PUBLIC_Marshal);
    std::optional<CryptoBytes> s = Marshal(*priv, &Tss2_MU_TPM2B_PRIVATE_Marshal);
    if (!p || !s) {
      if (error) *error = "the TPM's key could not be marshalled";
      return std::nullopt;
    }
    blob.tpm_public = std::move(*p);
    blob.tpm_private = std::move(*s);
    blob.point.push_back(0x04);
    AppendCoordinate(&blob.point, pub->publicArea.unique.ecc.x);
    AppendCoordinate(&blob.point, pub->publicArea.unique.ecc.y);
    return blob;
  }

  std::optional<CryptoBytes> SharedSecret(const TpmKeyBlob& key,
                                          std::span<const uint8_t> peer_point,
                                          std::string* error) override {
    TPM2B_PUBLIC pub{};
    TPM2B_PRIVATE priv{};
    if (!Unmarshal(key.tpm_public, &pub, &Tss2_MU_TPM2B_PUBLIC_Unmarshal) ||
        !Unmarshal(key.tpm_private, &priv, &Tss2_MU_TPM2B_PRIVATE_Unmarshal)) {
      if (error) *error = "damaged TPM key blob";
      return std::nullopt;
    }
    if (peer_point.size() != 1 + 2 * kCoordinateSize || peer_point[0] != 0x04) {
      if (error) *error = "not an uncompressed P-256 point of 65 bytes";
      return std::nullopt;
    }
    TPM2B_ECC_POINT in{};
    in.point.x.size = kCoordinateSize;
    std::memcpy(in.point.x.buffer, peer_point.data() + 1, kCoordinateSize);
    in.point.y.size = kCoordinateSize;
    std::memcpy(in.point.y.buffer, peer_point.data() + 1 + kCoordinateSize, kCoordinateSize);

    std::lock_guard lock(mu_);
    ESYS_TR handle = ESYS_TR_NONE;
    TSS2_RC rc = Esys_Load(esys_, primary_, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE, &priv,
                           &pub, &handle);
    if (rc != TSS2_RC_SUCCESS) {
      if (error) *error = Describe("the TPM refused the key", rc);
      return std::nullopt;
    }
    TPM2B_ECC_POINT* out_point = nullptr;
    rc = Esys_ECDH_ZGen(esys_, handle, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE, &in,
                        &out_point);
    Esys_FlushContext(esys_, handle);
    EsysPtr<TPM2B_ECC_POINT> out(out_point);
    if (rc != TSS2_RC_SUCCESS) {
      if (error) *error = Describe("the TPM's key agreement failed", rc);
      return std::nullopt;
    }
    CryptoBytes secret;
    AppendCoordinate(&secret, out->point.x);
    OPENSSL_cleanse(out->point.x.buffer, sizeof(out->point.x.buffer));
    OPENSSL_cleanse(out->point.y.buffer, sizeof(out->point.y.buffer));
    return secret;
  }

 private:
  std::mutex mu_;
  TSS2_TCTI_CONTEXT* tcti_;
  ESYS_CONTEXT* esys_;  // guarded by mu_
  const ESYS_TR primary_;
};

}  // namespace

std::optional<std::string> DefaultTpmTcti(std::string* why) {
  const char* tcti = std::getenv("KELVO_TPM_TCTI");
  if (tcti != nullptr && *tcti != '\0') return std::string(tcti);
  if (access(kDefaultDevice, R_OK | W_OK) == 0) return std::string("device:") + kDefaultDevice;
  if (why) {
    *why = std::string(kDefaultDevice) + ": " + std::strerror(errno);
  }
  return std::nullopt;
}

std::unique_ptr<TpmDevice> OpenTpmDevice(const std::string& tcti_conf, std::string* error) {
  std::string ignored;
  std::string* err = error ? error : &ignored;
  TSS2_TCTI_CONTEXT* tcti = nullptr;
  TSS2_RC rc = Tss2_TctiLdr_Initialize(tcti_conf.c_str(), &tcti);
  if (rc != TSS2_RC_SUCCESS) {
    *err = Describe(("cannot reach the TPM at " + tcti_conf).c_str(), rc);
    return nullptr;
  }
  ESYS_CONTEXT* esys = nullptr;
  rc = Esys_Initialize(&esys, tcti, nullptr);
  if (rc != TSS2_RC_SUCCESS) {
    *err = Describe("cannot talk to the TPM", rc);
    Tss2_TctiLdr_Finalize(&tcti);
    return nullptr;
  }
  const TPM2B_SENSITIVE_CREATE sensitive{};
  const TPM2B_PUBLIC in_public = EccTemplate(/*storage_parent=*/true);
  const TPM2B_DATA outside{};
  const TPML_PCR_SELECTION pcrs{};
  ESYS_TR primary = ESYS_TR_NONE;
  TPM2B_PUBLIC* out_public = nullptr;
  TPM2B_CREATION_DATA* creation_data = nullptr;
  TPM2B_DIGEST* creation_hash = nullptr;
  TPMT_TK_CREATION* ticket = nullptr;
  rc = Esys_CreatePrimary(esys, ESYS_TR_RH_OWNER, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE,
                          &sensitive, &in_public, &outside, &pcrs, &primary, &out_public,
                          &creation_data, &creation_hash, &ticket);
  Esys_Free(out_public);
  Esys_Free(creation_data);
  Esys_Free(creation_hash);
  Esys_Free(ticket);
  if (rc != TSS2_RC_SUCCESS) {
    *err = Describe("the TPM could not derive its storage key", rc);
    Esys_Finalize(&esys);
    Tss2_TctiLdr_Finalize(&tcti);
    return nullptr;
  }
  return std::make_unique<EsysTpm>(tcti, esys, primary);
}

}  // namespace kelvo
