// LocalStore: a store on this machine that plays the app store, the way a
// store-testing configuration does. Products, offers, the storefront and
// how each purchase turns out come from a JSON configuration file; what
// has been bought, the payment queue and the receipt persist in the data
// directory. It is also the test double of the store bridge: its test
// controls approve, fail or defer purchases, post purchases started in the
// store and push transaction updates.
//
// Where things live (LocalStoreOptionsFromEnvironment):
// - configuration: $KELVO_STORE_CONFIG when set (the file must exist);
//   else $XDG_CONFIG_HOME/kelvo/store.json when that file exists
//   (XDG_CONFIG_HOME defaults to $HOME/.config); else none, an empty store
//   (no products, payments allowed, no storefront, a receipt location).
//   config/store.sample.json shows every field.
// - state: $XDG_DATA_HOME/kelvo/store/store.sqlite3 (XDG_DATA_HOME
//   defaults to $HOME/.local/share), file 0600, directory 0700; the
//   receipt file "receipt" beside it.
//
// One ledger of completed purchases serves both generations: a purchase
// made through either one is restored, entitled, receipted and listed by
// both; a second-generation purchase does not enter the first-generation
// payment queue. Purchase ids are one sequence: the id a test control names
// becomes the transaction's identifier once the purchase completes.
//
// Ownership: the store owns its payment queue and second-generation half;
// the Dispatch passed to OpenLocalStore must outlive it. Work it posts to
// the main queue holds it weakly and does nothing once it is gone.
// Threading: every method may be called from any thread; reports to
// observers, delegates and update handlers run on the main queue, always
// later, never inside the call that caused them, and never under the
// store's lock (a handler may call back into the store).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/store/store_kit.h"
#include "platform/store/store_types.h"

namespace kelvo {

class SystemLog;
struct LocalStoreCore;   // internal
struct LocalStoreFaces;  // internal

struct LocalStoreOptions {
  // The configuration file; none for the empty store.
  std::optional<std::string> config_path;
  // Directory holding store.sqlite3 and the receipt (created 0700).
  std::string data_dir;
  // Why data_dir is empty (no home directory); opening then fails with it.
  std::string data_dir_error;
  // Where the store writes its lines; null: the system log, subsystem
  // "net.kelvo.app", category "store".
  std::shared_ptr<SystemLog> log;
};

// The paths described above, from the environment.
LocalStoreOptions LocalStoreOptionsFromEnvironment();

class LocalStore;

// The factory's answer: a store, or a message that names the file and the
// field ("store configuration /x/store.json: products[1].price: expected
// decimal text") or the state file that could not be opened.
struct LocalStoreOpenResult {
  std::shared_ptr<LocalStore> store;
  std::string error;
  explicit operator bool() const { return store != nullptr; }
};

// Reads the configuration, opens (or creates) the state and resumes
// purchases that were on their way when the last process ended. Never
// throws.
LocalStoreOpenResult OpenLocalStore(Dispatch* dispatch, const LocalStoreOptions& options);
// OpenLocalStore(dispatch, LocalStoreOptionsFromEnvironment()).
LocalStoreOpenResult OpenLocalStoreFromEnvironment(Dispatch* dispatch);

// Which waiting purchase a test control acts on: the one with `id`, else
// the oldest waiting purchase of `product_identifier` (first-generation
// queue entries before second-generation purchases).
struct PurchaseRef {
  std::optional<uint64_t> id;
  std::optional<std::string> product_identifier;
};

// A purchase that has not completed or is still in the payment queue.
struct PendingPurchase {
  uint64_t id = 0;
  // 1: an entry of the first-generation payment queue (any state, until
  // finished); 2: a second-generation purchase awaiting approval.
  int generation = 1;
  std::string product_identifier;
  // First generation: the raw transaction state (0 purchasing ...
  // 4 deferred); second generation: 0, named "pending".
  int64_t state = 0;
  std::string state_name;  // "purchasing", "purchased", ..., "pending"
  std::optional<std::string> transaction_identifier;
};

// What a test control did: the purchase or transaction it acted on, or why
// it could not act (nothing changed then).
struct StoreControlResult {
  std::optional<uint64_t> id;
  std::string error;
  bool ok() const { return error.empty(); }
};

// Operations a test can make fail once (FailNext).
enum class StoreOperation {
  kProductsRequest,  // first-generation products request
  kReceiptRefresh,   // first-generation receipt refresh request
  kRestore,          // first-generation restore of completed transactions
  kProducts,         // second-generation Products
  kPurchase,         // second-generation Purchase
  kEligibility,      // second-generation IsEligibleForIntroOffer
  kSubscriptionStatus,
  kSync,
};

class LocalStore : public StoreKit {
 public:
  explicit LocalStore(std::shared_ptr<LocalStoreCore> core);
  ~LocalStore() override;
  LocalStore(const LocalStore&) = delete;
  LocalStore& operator=(const LocalStore&) = delete;

  // StoreKit.
  StorePaymentQueue* DefaultPaymentQueue() override;
  std::unique_ptr<StoreRequest> CreateProductsRequest(
      const std::set<std::string>& identifiers) override;
  std::unique_ptr<StoreRequest> CreateReceiptRefreshRequest(
      const std::optional<std::vector<std::pair<std::string, std::string>>>& properties) override;
  std::optional<std::string> AppStoreReceiptPath() override;
  StoreKit2* Second() override;

  // Test controls.
  // A first-generation purchase that is purchasing or deferred completes
  // (purchased); a second-generation pending purchase completes and is
  // delivered to the update subscribers.
  StoreControlResult ApproveTransaction(const PurchaseRef& ref);
  // A first-generation purchase that is purchasing or deferred fails with
  // `error` (default: SKErrorDomain code 0); a second-generation pending
  // purchase is declined (dropped, as the platform reports nothing).
  StoreControlResult FailTransaction(const PurchaseRef& ref,
                                     std::optional<StoreError> error = std::nullopt);
  // A first-generation purchase that is purchasing becomes deferred.
  StoreControlResult DeferTransaction(const PurchaseRef& ref);
  // A purchase started in the store: observers are asked
  // ShouldAddStorePayment (on the main queue); the payment is added when
  // one of them answers true. Fails for an unknown product.
  StoreControlResult PostStorePurchase(const std::string& product_identifier);
  // A new completed transaction of the product (a renewal, a purchase on
  // another device) goes to the ledger and to the update subscribers.
  // `verified` overrides the product's configured verification.
  StoreControlResult PushTransactionUpdate(const std::string& product_identifier,
                                           std::optional<bool> verified = std::nullopt);
  // Marks a transaction of the ledger revoked (out of the entitlements).
  StoreControlResult RevokeTransaction(uint64_t id);
  // The next products request or receipt refresh request, whichever starts
  // first, fails with `error` (default: SKErrorDomain code 0).
  void FailNextRequest(std::optional<StoreError> error = std::nullopt);
  // The next first-generation restore fails with `error`.
  void FailNextRestore(std::optional<StoreError> error = std::nullopt);
  void FailNext(StoreOperation operation, std::optional<StoreError> error = std::nullopt);
  // The payment queue in order, then second-generation pending purchases.
  std::vector<PendingPurchase> PendingPurchases();

  const std::string& database_path() const;
  const std::string& receipt_path() const;

 private:
  std::shared_ptr<LocalStoreCore> core_;
  std::unique_ptr<LocalStoreFaces> faces_;
};

}  // namespace kelvo
