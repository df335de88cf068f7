#include "platform/firewall/leak_guard.h"

namespace kelvo {

std::string LeakGuardTable(const std::string& interface_name) {
  std::string table = "kelvo_";
  for (char c : interface_name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    table.push_back(plain ? c : '_');
  }
  return table;
}

std::string LeakGuardRuleset(const std::string& interface_name, uint32_t fwmark) {
  const std::string table = "inet " + LeakGuardTable(interface_name);
  // Adding before deleting makes the delete succeed whether or not the
  // table was there; the whole script is one transaction.
  return "add table " + table + "\n" + "delete table " + table + "\n" + "table " + table +
         " {\n"
         "  chain output {\n"
         "    type filter hook output priority 0; policy accept;\n"
         "    oifname \"lo\" accept\n"
         "    oifname \"" +
         interface_name +
         "\" accept\n"
         "    meta mark " +
         std::to_string(fwmark) +
         " accept\n"
         "    icmpv6 type { nd-router-solicit, nd-neighbor-solicit, nd-neighbor-advert } accept\n"
         "    counter drop\n"
         "  }\n"
         "}\n";
}

}  // namespace kelvo
