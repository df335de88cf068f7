#include "platform/store/store_test_controls.h"


#include "platform/engine/channels.h"
#include "platform/store/store_json.h"

namespace kelvo {
namespace {

struct BadArgs {
  std::string message;
};

// Reads the call's argument map; null counts as empty.
class Args {
 public:
  explicit Args(const Value& arguments) {
    if (arguments.is_map()) {
      map_ = &arguments.as_map();
    } else if (!arguments.is_null()) {
      throw BadArgs{"arguments must be a map with string keys"};
    }
  }

  const Value* Find(const char* key) const {
    if (!map_) return nullptr;
    const Value* v = map_->find(key);
    return v && !v->is_null() ? v : nullptr;
  }

  std::optional<std::string> String(const char* key) const {
    const Value* v = Find(key);
    if (!v) return std::nullopt;
    if (!v->is_string()) throw BadArgs{std::string("\"") + key + "\" must be a string"};
    return v->as_string();
  }

  std::string RequiredString(const char* key) const {
    std::optional<std::string> s = String(key);
    if (!s || s->empty()) throw BadArgs{std::string("\"") + key + "\" is missing"};
    return *s;
  }

  std::optional<int64_t> Int(const char* key) const {
    const Value* v = Find(key);
    if (!v) return std::nullopt;
    if (!v->is_int()) throw BadArgs{std::string("\"") + key + "\" must be an integer"};
    return v->as_int();
  }

  std::optional<uint64_t> Id(const char* key) const {
    std::optional<int64_t> n = Int(key);
    if (n && *n <= 0) throw BadArgs{std::string("\"") + key + "\" must be a positive integer"};
    return n ? std::optional<uint64_t>(static_cast<uint64_t>(*n)) : std::nullopt;
  }

  std::optional<bool> Bool(const char* key) const {
    const Value* v = Find(key);
    if (!v) return std::nullopt;
    if (!v->is_bool()) throw BadArgs{std::string("\"") + key + "\" must be true or false"};
    return v->as_bool();
  }

  PurchaseRef Ref() const {
    PurchaseRef ref;
    ref.id = Id("id");
    ref.product_identifier = String("productIdentifier");
    if (!ref.id && !ref.product_identifier) {
      throw BadArgs{"give \"id\" (integer) or \"productIdentifier\" (string)"};
    }
    return ref;
  }

  // An optional error to fail with: "code", "domain", "message".
  std::optional<StoreError> Error() const {
    std::optional<int64_t> code = Int("code");
    std::optional<std::string> domain = String("domain");
    std::optional<std::string> message = String("message");
    if (!code && !domain && !message) return std::nullopt;
    return MakeStoreError(domain.value_or("SKErrorDomain"), code.value_or(0),
                          message.value_or("The operation could not be completed."));
  }

 private:
  const ValueMap* map_ = nullptr;
};

StoreOperation OperationNamed(const std::string& name) {
  static const std::pair<const char*, StoreOperation> kNames[] = {
      {"productsRequest", StoreOperation::kProductsRequest},
      {"receiptRefresh", StoreOperation::kReceiptRefresh},
      {"restore", StoreOperation::kRestore},
      {"products", StoreOperation::kProducts},
      {"purchase", StoreOperation::kPurchase},
      {"eligibility", StoreOperation::kEligibility},
      {"subscriptionStatus", StoreOperation::kSubscriptionStatus},
      {"sync", StoreOperation::kSync},
  };
  for (const auto& [n, op] : kNames) {
    if (name == n) return op;
  }
  throw BadArgs{"unknown \"operation\" \"" + name + "\""};
}

Value IdValue(uint64_t id) { return Value(static_cast<int64_t>(id)); }

void Answer(MethodResult& result, const StoreControlResult& r) {
  if (!r.ok()) {
    result.Error("store_refused", r.error);
  } else if (r.id) {
    result.Success(IdValue(*r.id));
  } else {
    result.Success();
  }
}

Value PendingList(LocalStore& store) {
  ValueList list;
  for (const PendingPurchase& p : store.PendingPurchases()) {
    list.push_back(ValueMap{
        {"id", IdValue(p.id)},
        {"generation", Value(p.generation)},
        {"productIdentifier", Value(p.product_identifier)},
        {"state", Value(p.state)},
        {"stateName", Value(p.state_name)},
        {"transactionIdentifier", p.transaction_identifier ? Value(*p.transaction_identifier) : Value()},
    });
  }
  return Value(std::move(list));
}

void Handle(LocalStore& store, const MethodCall& call, MethodResult& result) {
  const std::string& m = call.method;
  Args args(call.arguments);
  if (m == "pendingTransactions") {
    result.Success(PendingList(store));
  } else if (m == "approveTransaction") {
    Answer(result, store.ApproveTransaction(args.Ref()));
  } else if (m == "failTransaction") {
    PurchaseRef ref = args.Ref();
    Answer(result, store.FailTransaction(ref, args.Error()));
  } else if (m == "deferTransaction") {
    Answer(result, store.DeferTransaction(args.Ref()));
  } else if (m == "postStorePurchase") {
    Answer(result, store.PostStorePurchase(args.RequiredString("productIdentifier")));
  } else if (m == "pushTransactionUpdate") {
    std::string product = args.RequiredString("productIdentifier");
    Answer(result, store.PushTransactionUpdate(product, args.Bool("verified")));
  } else if (m == "revokeTransaction") {
    std::optional<uint64_t> id = args.Id("id");
    if (!id) throw BadArgs{"\"id\" is missing"};
    Answer(result, store.RevokeTransaction(*id));
  } else if (m == "failNextRequest") {
    store.FailNextRequest(args.Error());
    result.Success();
  } else if (m == "failNextRestore") {
    store.FailNextRestore(args.Error());
    result.Success();
  } else if (m == "failNext") {
    StoreOperation op = OperationNamed(args.RequiredString("operation"));
    store.FailNext(op, args.Error());
    result.Success();
  } else {
    result.NotImplemented();
  }
}

}  // namespace

void SetUpStoreTestControls(BinaryMessenger* messenger, std::shared_ptr<LocalStore> store) {
  MethodChannel channel(messenger, kStoreTestControlsChannel);
  channel.SetMethodCallHandler(
      [store = std::move(store)](const MethodCall& call, std::shared_ptr<MethodResult> result) {
        try {
          Handle(*store, call, *result);
        } catch (const BadArgs& e) {
          result->Error("bad_args", e.message);
        }
      });
}

}  // namespace kelvo
