#include "platform/http/url_text.h"

#include <curl/curl.h>

namespace kelvo {

bool ParsesAsUrl(const std::string& text) {
  if (text.empty()) return false;
  CURLU* url = curl_url();
  if (url == nullptr) return false;
  // Any scheme: the request itself reports schemes it cannot fetch.
  bool ok = curl_url_set(url, CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK;
  curl_url_cleanup(url);
  return ok;
}

}  // namespace kelvo
