// The kinds of network connection the user interface is told about, their
// names on the wire, and how a network path maps to them.
//
// A status is a non-empty list of kind names: the kinds a satisfied path
// uses, always in the order "wifi", "mobile", "ethernet", "other", or
// exactly ["none"].
//
// Threading: pure functions.
#pragma once

#include <string_view>
#include <vector>

#include "platform/engine/value.h"
#include "platform/path_monitor/path_monitor.h"

namespace kelvo {

enum class ConnectivityType { kNone, kWiredEthernet, kWifi, kCellular, kOther };

// "none", "ethernet", "wifi", "mobile", "other".
std::string_view ConnectivityTypeName(ConnectivityType type);

// Empty when the path is not satisfied; otherwise wifi, cellular, wired
// Ethernet and other, each when the path uses such an interface; an empty
// list becomes [kNone].
std::vector<ConnectivityType> ConnectivityTypesOfPath(const Path& path);

// The status as it crosses the channels: a list of strings.
Value ConnectivityStatus(const std::vector<ConnectivityType>& types);

}  // namespace kelvo
