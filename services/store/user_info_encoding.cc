#include "services/store/user_info_encoding.h"

namespace kelvo {
namespace {

std::string UnencodableText(const std::string& class_name) {
  return "Unable to encode native userInfo object of type " + class_name +
         " to map. Please submit an issue at " + kUserInfoIssueTracker +
         " with the title \"[in_app_purchase_storekit] Unable to encode userInfo of type " +
         class_name +
         "\" and add reproduction steps and the error details in the description field.";
}

}  // namespace

Value EncodeUserInfoValue(const StoreUserInfoValue& value) {
  switch (value.kind) {
    case StoreUserInfoValue::Kind::kString:
    case StoreUserInfoValue::Kind::kUrl:
      return Value(value.text);
    case StoreUserInfoValue::Kind::kInt:
      return Value(value.integer);
    case StoreUserInfoValue::Kind::kDouble:
      return Value(value.number);
    case StoreUserInfoValue::Kind::kList: {
      ValueList list;
      list.reserve(value.list.size());
      for (const StoreUserInfoValue& element : value.list) {
        list.push_back(EncodeUserInfoValue(element));
      }
      return Value(std::move(list));
    }
    case StoreUserInfoValue::Kind::kMap:
      return Value(EncodeUserInfo(value.map));
    case StoreUserInfoValue::Kind::kError:
      return value.error ? Value(ErrorMap(*value.error)) : Value();
    case StoreUserInfoValue::Kind::kOther:
      return Value(UnencodableText(value.text));
  }
  return Value(UnencodableText(value.text));
}

ValueMap EncodeUserInfo(const std::vector<std::pair<std::string, StoreUserInfoValue>>& user_info) {
  ValueMap map;
  map.reserve(user_info.size());
  for (const auto& [key, value] : user_info) map.set(Value(key), EncodeUserInfoValue(value));
  return map;
}

ValueMap ErrorMap(const StoreError& error) {
  return ValueMap{{Value("code"), Value(error.code)},
                  {Value("domain"), Value(error.domain)},
                  {Value("userInfo"), Value(EncodeUserInfo(error.user_info))}};
}

}  // namespace kelvo
