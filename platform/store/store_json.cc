#include "platform/store/store_json.h"

#include <array>

#include "platform/encoding/base64.h"

namespace kelvo {
namespace {

using nlohmann::json;


std::optional<std::string> OptString(const json& j, const char* key) {
  auto it = j.find(key);
  if (it == j.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

json UserInfoValueToJson(const StoreUserInfoValue& v);

json UserInfoToJson(const std::vector<std::pair<std::string, StoreUserInfoValue>>& entries) {
  json list = json::array();
  for (const auto& [key, value] : entries) list.push_back(json::array({key, UserInfoValueToJson(value)}));
  return list;
}

json UserInfoValueToJson(const StoreUserInfoValue& v) {
  json j;
  j["kind"] = static_cast<int>(v.kind);
  switch (v.kind) {
    case StoreUserInfoValue::Kind::kString:
    case StoreUserInfoValue::Kind::kUrl:
    case StoreUserInfoValue::Kind::kOther: j["text"] = v.text; break;
    case StoreUserInfoValue::Kind::kInt: j["int"] = v.integer; break;
    case StoreUserInfoValue::Kind::kDouble: j["double"] = v.number; break;
    case StoreUserInfoValue::Kind::kList: {
      json list = json::array();
      for (const StoreUserInfoValue& item : v.list) list.push_back(UserInfoValueToJson(item));
      j["list"] = list;
      break;
    }
    case StoreUserInfoValue::Kind::kMap: j["map"] = UserInfoToJson(v.map); break;
    case StoreUserInfoValue::Kind::kError:
      if (v.error) j["error"] = ErrorToJson(*v.error);
      break;
  }
  return j;
}

// Nesting deeper than this in a stored row is damage, not data.
constexpr int kMaxDepth = 32;

std::optional<StoreUserInfoValue> UserInfoValueFromJson(const json& j, int depth);

std::optional<std::vector<std::pair<std::string, StoreUserInfoValue>>> UserInfoFromJson(
    const json& j, int depth) {
  if (!j.is_array() || depth > kMaxDepth) return std::nullopt;
  std::vector<std::pair<std::string, StoreUserInfoValue>> entries;
  for (const json& pair : j) {
    if (!pair.is_array() || pair.size() != 2 || !pair[0].is_string()) return std::nullopt;
    std::optional<StoreUserInfoValue> value = UserInfoValueFromJson(pair[1], depth + 1);
    if (!value) return std::nullopt;
    entries.emplace_back(pair[0].get<std::string>(), std::move(*value));
  }
  return entries;
}

std::optional<StoreError> ErrorFromJsonAt(const json& j, int depth);

std::optional<StoreUserInfoValue> UserInfoValueFromJson(const json& j, int depth) {
  if (!j.is_object() || depth > kMaxDepth) return std::nullopt;
  auto kind = j.find("kind");
  if (kind == j.end() || !kind->is_number_integer()) return std::nullopt;
  int k = kind->get<int>();
  if (k < 0 || k > static_cast<int>(StoreUserInfoValue::Kind::kOther)) return std::nullopt;
  StoreUserInfoValue v;
  v.kind = static_cast<StoreUserInfoValue::Kind>(k);
  switch (v.kind) {
    case StoreUserInfoValue::Kind::kString:
    case StoreUserInfoValue::Kind::kUrl:
    case StoreUserInfoValue::Kind::kOther: v.text = OptString(j, "text").value_or(""); break;
    case StoreUserInfoValue::Kind::kInt:
      if (!j.contains("int") || !j["int"].is_number_integer()) return std::nullopt;
      v.integer = j["int"].get<int64_t>();
      break;
    case StoreUserInfoValue::Kind::kDouble:
      if (!j.contains("double") || !j["double"].is_number()) return std::nullopt;
      v.number = j["double"].get<double>();
      break;
    case StoreUserInfoValue::Kind::kList: {
      if (!j.contains("list") || !j["list"].is_array()) return std::nullopt;
      for (const json& item : j["list"]) {
        std::optional<StoreUserInfoValue> iv = UserInfoValueFromJson(item, depth + 1);
        if (!iv) return std::nullopt;
        v.list.push_back(std::move(*iv));
      }
      break;
    }
    case StoreUserInfoValue::Kind::kMap: {
      if (!j.contains("map")) return std::nullopt;
      auto map = UserInfoFromJson(j["map"], depth + 1);
      if (!map) return std::nullopt;
      v.map = std::move(*map);
      break;
    }
    case StoreUserInfoValue::Kind::kError:
      if (j.contains("error")) {
        std::optional<StoreError> e = ErrorFromJsonAt(j["error"], depth + 1);
        if (!e) return std::nullopt;
        v.error = std::make_shared<const StoreError>(std::move(*e));
      }
      break;
  }
  return v;
}

std::optional<StoreError> ErrorFromJsonAt(const json& j, int depth) {
  if (!j.is_object() || depth > kMaxDepth) return std::nullopt;
  StoreError e;
  if (!j.contains("code") || !j["code"].is_number_integer()) return std::nullopt;
  e.code = j["code"].get<int64_t>();
  e.domain = OptString(j, "domain").value_or("");
  e.localized_description = OptString(j, "localizedDescription").value_or("");
  e.description = OptString(j, "description").value_or("");
  if (j.contains("userInfo")) {
    auto info = UserInfoFromJson(j["userInfo"], depth + 1);
    if (!info) return std::nullopt;
    e.user_info = std::move(*info);
  }
  return e;
}

std::optional<StorePaymentTransaction> TransactionFromJsonAt(const json& j, int depth) {
  if (!j.is_object() || depth > kMaxDepth) return std::nullopt;
  StorePaymentTransaction t;
  if (!j.contains("payment")) return std::nullopt;
  std::optional<StorePayment> payment = PaymentFromJson(j["payment"]);
  if (!payment || !j.contains("state") || !j["state"].is_number_integer()) return std::nullopt;
  t.payment = std::move(*payment);
  t.state = j["state"].get<int64_t>();
  t.identifier = OptString(j, "identifier");
  if (j.contains("date")) {
    if (!j["date"].is_number()) return std::nullopt;
    t.date = j["date"].get<double>();
  }
  if (j.contains("error")) {
    std::optional<StoreError> e = ErrorFromJsonAt(j["error"], depth + 1);
    if (!e) return std::nullopt;
    t.error = std::move(*e);
  }
  if (j.contains("original")) {
    std::optional<StorePaymentTransaction> o = TransactionFromJsonAt(j["original"], depth + 1);
    if (!o) return std::nullopt;
    t.original = std::make_shared<const StorePaymentTransaction>(std::move(*o));
  }
  return t;
}

}  // namespace

json PaymentToJson(const StorePayment& p) {
  json j;
  if (p.product_identifier) j["productIdentifier"] = *p.product_identifier;
  if (p.application_username) j["applicationUsername"] = *p.application_username;
  if (p.request_data) {
    j["requestData"] = Base64Encode(std::string_view(reinterpret_cast<const char*>(p.request_data->data()),
                                               p.request_data->size()));
  }
  j["quantity"] = p.quantity;
  j["simulatesAskToBuyInSandbox"] = p.simulates_ask_to_buy_in_sandbox;
  if (p.payment_discount) {
    const StorePaymentDiscount& d = *p.payment_discount;
    j["paymentDiscount"] = {{"identifier", d.identifier}, {"keyIdentifier", d.key_identifier},
                            {"nonce", d.nonce},           {"signature", d.signature},
                            {"timestamp", d.timestamp}};
  }
  return j;
}

std::optional<StorePayment> PaymentFromJson(const json& j) {
  if (!j.is_object()) return std::nullopt;
  StorePayment p;
  p.product_identifier = OptString(j, "productIdentifier");
  p.application_username = OptString(j, "applicationUsername");
  if (std::optional<std::string> data = OptString(j, "requestData")) {
    std::optional<std::vector<uint8_t>> bytes = Base64Decode(*data);
    if (!bytes) return std::nullopt;
    p.request_data = std::move(*bytes);
  }
  auto q = j.find("quantity");
  if (q == j.end() || !q->is_number_integer()) return std::nullopt;
  p.quantity = q->get<int64_t>();
  auto ask = j.find("simulatesAskToBuyInSandbox");
  p.simulates_ask_to_buy_in_sandbox = ask != j.end() && ask->is_boolean() && ask->get<bool>();
  auto d = j.find("paymentDiscount");
  if (d != j.end()) {
    if (!d->is_object() || !d->contains("timestamp") || !(*d)["timestamp"].is_number_integer()) {
      return std::nullopt;
    }
    StorePaymentDiscount discount;
    discount.identifier = OptString(*d, "identifier").value_or("");
    discount.key_identifier = OptString(*d, "keyIdentifier").value_or("");
    discount.nonce = OptString(*d, "nonce").value_or("");
    discount.signature = OptString(*d, "signature").value_or("");
    discount.timestamp = (*d)["timestamp"].get<int64_t>();
    p.payment_discount = discount;
  }
  return p;
}

json ErrorToJson(const StoreError& e) {
  return {{"code", e.code},
          {"domain", e.domain},
          {"localizedDescription", e.localized_description},
          {"description", e.description},
          {"userInfo", UserInfoToJson(e.user_info)}};
}

std::optional<StoreError> ErrorFromJson(const json& j) { return ErrorFromJsonAt(j, 0); }

json TransactionToJson(const StorePaymentTransaction& t) {
  json j;
  j["payment"] = PaymentToJson(t.payment);
  j["state"] = t.state;
  if (t.identifier) j["identifier"] = *t.identifier;
  if (t.date) j["date"] = *t.date;
  if (t.error) j["error"] = ErrorToJson(*t.error);
  if (t.original) j["original"] = TransactionToJson(*t.original);
  return j;
}

std::optional<StorePaymentTransaction> TransactionFromJson(const json& j) {
  return TransactionFromJsonAt(j, 0);
}

StoreError MakeStoreError(std::string domain, int64_t code, std::string description) {
  StoreError e;
  e.domain = std::move(domain);
  e.code = code;
  StoreUserInfoValue text;
  text.kind = StoreUserInfoValue::Kind::kString;
  text.text = description;
  e.user_info.emplace_back("NSLocalizedDescription", std::move(text));
  e.description = "Error Domain=" + e.domain + " Code=" + std::to_string(code) + " \"" +
                  description + "\"";
  e.localized_description = std::move(description);
  return e;
}

}  // namespace kelvo
