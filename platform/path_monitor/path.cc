#include "platform/path_monitor/path_monitor.h"

#include <algorithm>

namespace kelvo {

std::string_view InterfaceTypeName(InterfaceType type) {
  switch (type) {
    case InterfaceType::kWifi:
      return "wifi";
    case InterfaceType::kCellular:
      return "cellular";
    case InterfaceType::kWiredEthernet:
      return "wiredEthernet";
    case InterfaceType::kOther:
      return "other";
  }
  return "other";
}

bool Path::UsesInterfaceType(InterfaceType type) const {
  return std::any_of(interfaces.begin(), interfaces.end(),
                     [type](const PathInterface& i) { return i.type == type; });
}

std::string Path::DebugString() const {
  std::string out = status == PathStatus::kSatisfied ? "satisfied" : "unsatisfied";
  for (const PathInterface& i : interfaces) {
    out += " " + i.name + "(" + std::to_string(i.index) + "," +
           std::string(InterfaceTypeName(i.type)) + ")";
  }
  return out;
}

}  // namespace kelvo
