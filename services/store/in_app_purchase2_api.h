// The second-generation store API on typed message channels, codec
// StoreKit2MessagesPigeonCodec():
//   requests: "dev.flutter.pigeon.in_app_purchase_storekit.InAppPurchase2API." + method
//   callback:
//     "dev.flutter.pigeon.in_app_purchase_storekit.InAppPurchase2CallbackAPI.onTransactionsUpdated"
// (each + "." + suffix when the suffix is not empty).
//
// InAppPurchase2APISetup::setUp checks the shape of every request before
// calling the API: a request that does not decode (a record tag followed
// by anything but a complete field list included), that is not an argument
// list, or whose arguments are missing or of the wrong type is answered
// with the error "bad-request" and the API is not called. A method without
// arguments accepts an empty list or no message at all (what the
// interface sends for none). Elements after the expected ones are ignored.
//
// Ownership: setUp's handlers call `api` through a plain pointer; the API
// object must outlive them (the plugin lives as long as the host), or be
// removed first with setUp(messenger, nullptr, suffix). The messenger must
// outlive the handlers and the callback API.
// Threading: handlers run on the messenger's delivery queue (the main
// queue). Synchronous methods answer before returning; asynchronous ones
// call their completion exactly once, from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "platform/engine/binary_messenger.h"
#include "platform/engine/channels.h"
#include "platform/engine/value.h"
#include "platform/store/store_types.h"
#include "services/store/store_kit2_messages.h"

namespace kelvo {

inline constexpr const char* kStoreKit2Package = "in_app_purchase_storekit";
inline constexpr const char* kInAppPurchase2Api = "InAppPurchase2API";
inline constexpr const char* kInAppPurchase2CallbackApi = "InAppPurchase2CallbackAPI";

// Why a request failed. Either a PigeonError the API chose (code, message,
// details), or a store failure that is no PigeonError; the latter travels
// by the generic rule for other failures: its description, its type name
// ("StoreError") and "Stacktrace: " (no call stack is kept).
class InAppPurchase2Error {
 public:
  static InAppPurchase2Error Pigeon(std::string code, std::optional<std::string> message,
                                    Value details = Value());
  static InAppPurchase2Error Platform(const StoreError& error);
  // Any other failure, by the generic rule.
  static InAppPurchase2Error Other(std::string description, std::string type_name);

  bool is_pigeon() const { return pigeon_; }
  // The code (PigeonError) or the description (store failure).
  const std::string& code() const { return error_.code; }
  const std::optional<std::string>& message() const { return error_.message; }
  const Value& details() const { return error_.details; }
  // The three-element error reply.
  Value ToReply() const;

 private:
  InAppPurchase2Error(bool pigeon, FlutterError error)
      : pigeon_(pigeon), error_(std::move(error)) {}
  bool pigeon_;
  FlutterError error_;
};

// A request's outcome; SK2Void for methods without a result.
using SK2Void = std::monostate;
template <typename T>
using SK2Result = std::variant<T, InAppPurchase2Error>;
template <typename T>
using SK2Completion = std::function<void(SK2Result<T>)>;

// The operations offered to the user interface. canMakePayments and the
// listener switches answer at once (throwing FlutterErrorException to
// fail); the others complete later through their completion.
class InAppPurchase2API {
 public:
  virtual ~InAppPurchase2API() = default;

  virtual bool canMakePayments() = 0;
  virtual void products(const std::vector<std::string>& identifiers,
                        SK2Completion<std::vector<SK2ProductMessage>> completion) = 0;
  virtual void purchase(const std::string& id,
                        const std::optional<SK2ProductPurchaseOptionsMessage>& options,
                        SK2Completion<SK2ProductPurchaseResultMessage> completion) = 0;
  virtual void isWinBackOfferEligible(const std::string& productId, const std::string& offerId,
                                      SK2Completion<bool> completion) = 0;
  virtual void isIntroductoryOfferEligible(const std::string& productId,
                                           SK2Completion<bool> completion) = 0;
  virtual void transactions(SK2Completion<std::vector<SK2TransactionMessage>> completion) = 0;
  virtual void unfinishedTransactions(
      SK2Completion<std::vector<SK2TransactionMessage>> completion) = 0;
  virtual void finish(int64_t id, SK2Completion<SK2Void> completion) = 0;
  virtual void startListeningToTransactions() = 0;
  virtual void stopListeningToTransactions() = 0;
  virtual void restorePurchases(SK2Completion<SK2Void> completion) = 0;
  virtual void countryCode(SK2Completion<std::string> completion) = 0;
  virtual void sync(SK2Completion<SK2Void> completion) = 0;
  virtual void presentOfferCodeRedeemSheet(SK2Completion<SK2Void> completion) = 0;
};

// The fourteen request channels' names, in the API's order.
std::vector<std::string> InAppPurchase2APIChannels(const std::string& suffix = "");

class InAppPurchase2APISetup {
 public:
  // Installs one handler per method on `messenger`; a null `api` removes
  // them.
  static void setUp(BinaryMessenger* binaryMessenger, InAppPurchase2API* api,
                    const std::string& messageChannelSuffix = "");
};

// The interface's side of the API: transaction updates pushed to it.
class InAppPurchase2CallbackAPI {
 public:
  explicit InAppPurchase2CallbackAPI(BinaryMessenger* binaryMessenger,
                                     std::string messageChannelSuffix = "");

  // Sends [newTransactions]; `completion` (may be empty) gets nothing on
  // success, else the interface's error or the connection error
  // ("channel-error") when the reply is not a list. It runs where the
  // messenger delivers replies (the main queue).
  void onTransactionsUpdated(const std::vector<SK2TransactionMessage>& newTransactions,
                             std::function<void(std::optional<FlutterError>)> completion);

 private:
  BinaryMessenger* binaryMessenger_;
  std::string messageChannelSuffix_;
  std::string channel_name_;
};

// "PigeonError(code: ..., message: ..., details: ...)": how an error of
// the interface is written to the log.
std::string DescribePigeonError(const FlutterError& error);

}  // namespace kelvo
