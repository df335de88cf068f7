#include "services/connectivity/connectivity_types.h"

namespace kelvo {

std::string_view ConnectivityTypeName(ConnectivityType type) {
  switch (type) {
    case ConnectivityType::kNone:
      return "none";
    case ConnectivityType::kWiredEthernet:
      return "ethernet";
    case ConnectivityType::kWifi:
      return "wifi";
    case ConnectivityType::kCellular:
      return "mobile";
    case ConnectivityType::kOther:
      return "other";
  }
  return "other";
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
