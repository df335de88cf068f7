#include "platform/path_monitor/path_monitor.h"

#include <algorithm>
#include <iterator>

namespace kelvo {

std::string_view InterfaceTypeName(InterfaceType type) {
  // In the enum's order.
  static constexpr std::string_view kNames[] = {"wifi", "cellular", "wiredEthernet", "other"};
  const auto i = static_cast<size_t>(type);
  return i < std::size(kNames) ? kNames[i] : "other";
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
