#include "services/connectivity/connectivity_types.h"

#include <iterator>

namespace kelvo {

std::string_view ConnectivityTypeName(ConnectivityType type) {
  // In the enum's order.
  static constexpr std::string_view kNames[] = {"none", "ethernet", "wifi", "mobile", "other"};
  const auto i = static_cast<size_t>(type);
  return i < std::size(kNames) ? kNames[i] : "other";
}

std::vector<ConnectivityType> ConnectivityTypesOfPath(const Path& path) {
  std::vector<ConnectivityType> types;
  if (path.status == PathStatus::kSatisfied) {
    if (path.UsesInterfaceType(InterfaceType::kWifi)) types.push_back(ConnectivityType::kWifi);
    if (path.UsesInterfaceType(InterfaceType::kCellular)) {
      types.push_back(ConnectivityType::kCellular);
    }
    if (path.UsesInterfaceType(InterfaceType::kWiredEthernet)) {
      types.push_back(ConnectivityType::kWiredEthernet);
    }
    if (path.UsesInterfaceType(InterfaceType::kOther)) types.push_back(ConnectivityType::kOther);
  }
  if (types.empty()) types.push_back(ConnectivityType::kNone);
  return types;
}

Value ConnectivityStatus(const std::vector<ConnectivityType>& types) {
  ValueList list;
  list.reserve(types.size());
  for (ConnectivityType type : types) list.emplace_back(ConnectivityTypeName(type));
  return Value(std::move(list));
}

}  // namespace kelvo
