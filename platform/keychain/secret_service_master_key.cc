// The master key as one Secret Service item, through libsecret on the
// session bus (never an autolaunched one). Searches never ask to unlock: a locked collection is
// answered with errSecInteractionNotAllowed instead of a prompt.
#include <libsecret/secret.h>
#include <openssl/crypto.h>
#include <sys/stat.h>

#include <cstdlib>
#include <mutex>
#include <optional>

#include "platform/keychain/keychain_files.h"
#include "platform/keychain/master_key_source.h"
#include "platform/xdg/base_dirs.h"

namespace kelvo {
namespace {

const SecretSchema* Schema() {
  static const SecretSchema schema = {
      kMasterKeySchema,
      SECRET_SCHEMA_NONE,
      {{kMasterKeyDirectoryAttribute, SECRET_SCHEMA_ATTRIBUTE_STRING}, {nullptr, {}}},
      0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
  return &schema;
}

template <typename T>
struct GUnref {
  void operator()(T* p) const { g_object_unref(p); }
};
template <typename T>
using GRef = std::unique_ptr<T, GUnref<T>>;

struct GErrorFree {
  void operator()(GError* e) const { g_error_free(e); }
};

std::string Take(GError* error) {
  if (error == nullptr) return "unknown error";
  std::unique_ptr<GError, GErrorFree> owned(error);
  return owned->message;
}

bool HaveSessionBus() {
  const char* env = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (env != nullptr && *env != '\0') return true;
  const std::string runtime = XdgBaseDirs::FromProcess().runtime_dir;
  if (runtime.empty()) return false;
  struct stat st;
  return stat((runtime + "/bus").c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

struct AttributesFree {
  void operator()(GHashTable* t) const { g_hash_table_unref(t); }
};
using Attributes = std::unique_ptr<GHashTable, AttributesFree>;

class SecretServiceMasterKey final : public MasterKeySource {
 public:
  SecretServiceMasterKey(std::string dir, MasterKeyOptions options, GRef<SecretService> service)
      : dir_(std::move(dir)), options_(std::move(options)), service_(std::move(service)) {}

  ~SecretServiceMasterKey() override { Forget(); }

  OSStatus Get(CryptoBytes* key) override {
    std::lock_guard lock(mu_);
    const bool may_cache = !options_.may_cache || options_.may_cache();
    if (!may_cache) Forget();
    if (cached_) {
      *key = *cached_;
      return errSecSuccess;
    }
    CryptoBytes fetched;
    OSStatus status = Fetch(&fetched);
    if (status != errSecSuccess) return status;
    if (may_cache) cached_ = fetched;
    *key = std::move(fetched);
    return errSecSuccess;
  }

  MasterKeyStore store() const override { return MasterKeyStore::kSecretService; }

  std::string Describe() const override {
    return std::string("Secret Service item ") + kMasterKeySchema + " (" +
           kMasterKeyDirectoryAttribute + "=" + dir_ + ")";
  }

 private:
  void Forget() {
    if (cached_) OPENSSL_cleanse(cached_->data(), cached_->size());
    cached_.reset();
  }

  Attributes OurAttributes() const {
    return Attributes(
        secret_attributes_build(Schema(), kMasterKeyDirectoryAttribute, dir_.c_str(), nullptr));
  }

  void Log(const std::string& line) const {
    if (options_.log) {
      options_.log(line);
    } else {
      LogKeychain(line);
    }
  }

  enum class Found { kKey, kLocked, kNone, kFailed };

  // Our item's key, without ever prompting.
  Found Search(CryptoBytes* key) {
    Attributes attributes = OurAttributes();
    GError* error = nullptr;
    GList* items = secret_service_search_sync(
        service_.get(), Schema(), attributes.get(),
        static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS), nullptr,
        &error);
    if (error != nullptr) {
      Log("cannot search the Secret Service: " + Take(error));
      return Found::kFailed;
    }
    Found found = Found::kNone;
    for (GList* l = items; l != nullptr && found != Found::kKey; l = l->next) {
      auto* item = static_cast<SecretItem*>(l->data);
      if (secret_item_get_locked(item)) {
        found = Found::kLocked;
        continue;
      }
      SecretValue* value = secret_item_get_secret(item);
      if (value == nullptr) continue;
      gsize n = 0;
      const gchar* bytes = secret_value_get(value, &n);
      if (n == kMasterKeySize) {
        key->assign(reinterpret_cast<const uint8_t*>(bytes),
                    reinterpret_cast<const uint8_t*>(bytes) + n);
        found = Found::kKey;
      }
      secret_value_unref(value);
    }
    g_list_free_full(items, g_object_unref);
    return found;
  }

  // Whether the default collection takes a new item now.
  OSStatus DefaultCollectionWritable() {
    GError* error = nullptr;
    GRef<SecretCollection> collection(secret_collection_for_alias_sync(
        service_.get(), SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &error));
    if (error != nullptr) {
      Log("cannot find the Secret Service's default collection: " + Take(error));
      return errSecIO;
    }
    if (!collection) {
      Log("the Secret Service has no default collection to keep the master key in");
      return errSecInteractionNotAllowed;
    }
    return secret_collection_get_locked(collection.get()) ? errSecInteractionNotAllowed
                                                          : errSecSuccess;
  }

  bool Store(const CryptoBytes& key) {
    Attributes attributes = OurAttributes();
    SecretValue* value = secret_value_new(reinterpret_cast<const gchar*>(key.data()),
                                          static_cast<gssize>(key.size()),
                                          "application/octet-stream");
    const std::string label = "Kelvo keychain master key (" + dir_ + ")";
    GError* error = nullptr;
    gboolean ok = secret_service_store_sync(service_.get(), Schema(), attributes.get(),
                                            SECRET_COLLECTION_DEFAULT, label.c_str(), value,
                                            nullptr, &error);
    secret_value_unref(value);
    if (!ok) Log("cannot store the master key in the Secret Service: " + Take(error));
    return ok;
  }

  OSStatus Fetch(CryptoBytes* key) {
    switch (Search(key)) {
      case Found::kKey:
        return errSecSuccess;
      case Found::kLocked:
        return errSecInteractionNotAllowed;
      case Found::kFailed:
        return errSecIO;
      case Found::kNone:
        break;
    }
    // No item yet: the item may only be hidden in a locked collection, so
    // nothing is created unless the collection is open.
    if (OSStatus s = DefaultCollectionWritable(); s != errSecSuccess) return s;
    std::string error;
    std::optional<CryptoBytes> from_file = ReadMasterKeyFile(dir_, &error);
    if (!from_file && !error.empty()) {
      Log("the old master key file cannot be moved: " + error);
      return errSecIO;
    }
    std::optional<CryptoBytes> fresh = from_file ? std::move(from_file) : RandomBytes(kMasterKeySize);
    if (!fresh) return errSecIO;
    const bool stored = Store(*fresh);
    OPENSSL_cleanse(fresh->data(), fresh->size());
    if (!stored) return errSecIO;
    // Read it back: the file goes only once the Secret Service has the key,
    // and a process that stored concurrently ends up with the same item.
    if (Search(key) != Found::kKey) return errSecIO;
    if (from_file) {
      if (RemoveMasterKeyFile(dir_, &error)) {
        Log("moved the master key of " + dir_ + " into the Secret Service");
      } else {
        Log(error);
      }
    }
    return errSecSuccess;
  }

  const std::string dir_;
  const MasterKeyOptions options_;
  const GRef<SecretService> service_;
  std::mutex mu_;
  std::optional<CryptoBytes> cached_;  // guarded by mu_
};

}  // namespace

std::shared_ptr<MasterKeySource> OpenSecretServiceMasterKeySource(
    const std::string& dir, const MasterKeyOptions& options, std::string* error) {
  std::string ignored;
  std::string* err = error ? error : &ignored;
  // libsecret talks over the process's session bus; without an address it
  // would try to autolaunch one, so it is not asked at all then.
  if (!HaveSessionBus()) {
    *err = "no session bus";
    return nullptr;
  }
  GError* gerror = nullptr;
  // The bus connection is the process's shared one: it must not end the
  // process when the bus goes away, as GLib's default has it.
  GRef<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &gerror));
  if (!bus) {
    *err = "cannot connect to the session bus: " + Take(gerror);
    return nullptr;
  }
  g_dbus_connection_set_exit_on_close(bus.get(), FALSE);
  // Opening a session for carrying secrets is also the call that proves a
  // Secret Service answers (starting an activatable one).
  GRef<SecretService> service(
      secret_service_open_sync(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_OPEN_SESSION,
                               nullptr, &gerror));
  if (!service) {
    *err = "no Secret Service: " + Take(gerror);
    return nullptr;
  }
  return std::make_shared<SecretServiceMasterKey>(dir, options, std::move(service));
}

}  // namespace kelvo
