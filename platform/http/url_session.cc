#include "platform/http/url_session.h"

#include <strings.h>

namespace kelvo {

std::optional<std::string> FindHeader(const HttpHeaders& headers, const std::string& name) {
  for (const HttpHeader& h : headers) {
    if (h.name.size() == name.size() && strcasecmp(h.name.c_str(), name.c_str()) == 0) {
      return h.value;
    }
  }
  return std::nullopt;
}

}  // namespace kelvo
