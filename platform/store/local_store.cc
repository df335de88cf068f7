#include "platform/store/local_store.h"

#include <sys/stat.h>

#include <cstdlib>

#include "platform/log/system_log.h"
#include "platform/store/local_payment_queue.h"
#include "platform/store/local_store_core.h"
#include "platform/store/local_store_kit2.h"
#include "platform/store/local_store_request.h"
#include "platform/xdg/base_dirs.h"

namespace kelvo {
namespace {

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

LocalStoreOptions LocalStoreOptionsFromEnvironment() {
  LocalStoreOptions options;
  XdgBaseDirs dirs = XdgBaseDirs::FromProcess();
  const char* config = std::getenv("KELVO_STORE_CONFIG");
  if (config != nullptr && *config != '\0') {
    options.config_path = config;
  } else if (!dirs.config_home.empty()) {
    std::string fallback = dirs.config_home + "/kelvo/store.json";
    if (FileExists(fallback)) options.config_path = fallback;
  }
  if (!dirs.data_home.empty()) {
    options.data_dir = dirs.data_home + "/kelvo/store";
  } else {
    options.data_dir_error = dirs.home_error;
  }
  return options;
}

LocalStoreOpenResult OpenLocalStore(Dispatch* dispatch, const LocalStoreOptions& options) {
  LocalStoreOpenResult result;
  try {
    StoreConfig config;
    if (options.config_path) {
      std::optional<StoreConfig> loaded = LoadStoreConfig(*options.config_path, &result.error);
      if (!loaded) return result;
      config = std::move(*loaded);
    }
    if (options.data_dir.empty()) {
      result.error = "store state: " + options.data_dir_error;
      return result;
    }
    const std::string database_path = options.data_dir + "/store.sqlite3";
    std::string error;
    std::unique_ptr<StoreDatabase> db = StoreDatabase::Open(database_path, &error);
    std::optional<StoreContents> contents;
    if (db) contents = db->Load(&error);
    if (!contents) {
      result.error = "store state " + database_path + ": " + error;
      return result;
    }
    std::shared_ptr<SystemLog> log = options.log;
    if (!log) log = MakeSystemLog("net.kelvo.app", "store");

    auto core = std::make_shared<LocalStoreCore>(dispatch, std::move(config), std::move(log), database_path,
                                                 options.data_dir + "/receipt", std::move(db),
                                                 std::move(*contents));
    // Purchases on their way when the last process ended go on now.
    {
      std::lock_guard<std::mutex> lock(core->mu);
      for (const QueueEntry& e : core->queue) {
        if (e.transaction.state == kStatePurchasing) core->ScheduleSettle(e.id, true);
      }
    }
    core->log->Info("store opened: " + std::to_string(core->config.products.size()) + " products from " +
                    options.config_path.value_or("(no configuration)"));
    result.store = std::make_shared<LocalStore>(std::move(core));
  } catch (const std::exception& e) {
    // Out of memory or the like: still an answer, never a crash.
    result.store.reset();
    result.error = std::string("store: ") + e.what();
  }
  return result;
}

LocalStoreOpenResult OpenLocalStoreFromEnvironment(Dispatch* dispatch) {
  return OpenLocalStore(dispatch, LocalStoreOptionsFromEnvironment());
}

// The store keeps its two faces beside the core they share.
struct LocalStoreFaces {
  LocalPaymentQueue queue;
  LocalStoreKit2 second;
};

LocalStore::LocalStore(std::shared_ptr<LocalStoreCore> core)
    : core_(std::move(core)), faces_(std::make_unique<LocalStoreFaces>(LocalStoreFaces{
                                  LocalPaymentQueue(core_), LocalStoreKit2(core_)})) {}

LocalStore::~LocalStore() = default;

StorePaymentQueue* LocalStore::DefaultPaymentQueue() { return &faces_->queue; }

StoreKit2* LocalStore::Second() { return &faces_->second; }

std::unique_ptr<StoreRequest> LocalStore::CreateProductsRequest(const std::set<std::string>& identifiers) {
  return std::make_unique<LocalStoreRequest>(core_, LocalStoreRequest::Kind::kProducts, identifiers);
}

std::unique_ptr<StoreRequest> LocalStore::CreateReceiptRefreshRequest(
    const std::optional<std::vector<std::pair<std::string, std::string>>>& properties) {
  if (properties && !properties->empty()) {
    // The platform's sandbox properties (expired, revoked...) mean nothing
    // to this store; the refresh rewrites the receipt as it stands.
    core_->log->Info("receipt refresh: " + std::to_string(properties->size()) +
                     " receipt properties ignored");
  }
  return std::make_unique<LocalStoreRequest>(core_, LocalStoreRequest::Kind::kReceiptRefresh,
                                             std::set<std::string>());
}

std::optional<std::string> LocalStore::AppStoreReceiptPath() {
  if (!core_->config.has_receipt_location) return std::nullopt;
  return core_->receipt_path;
}

const std::string& LocalStore::database_path() const { return core_->database_path; }
const std::string& LocalStore::receipt_path() const { return core_->receipt_path; }

}  // namespace kelvo
