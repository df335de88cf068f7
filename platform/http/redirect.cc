#include "platform/http/redirect.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <memory>

namespace kelvo {
namespace {

struct UrlHandleDeleter {
  void operator()(CURLU* u) const { curl_url_cleanup(u); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlHandleDeleter>;

std::optional<std::string> Part(CURLU* url, CURLUPart part, unsigned flags) {
  char* text = nullptr;
  if (curl_url_get(url, part, &text, flags) != CURLUE_OK) return std::nullopt;
  std::string out(text);
  curl_free(text);
  return out;
}

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

bool IsAuthorization(const HttpHeader& h) { return Lower(h.name) == "authorization"; }

}  // namespace

std::optional<std::string> UrlOrigin(const std::string& url) {
  UrlHandle u(curl_url());
  if (!u || curl_url_set(u.get(), CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
    return std::nullopt;
  }
  auto scheme = Part(u.get(), CURLUPART_SCHEME, 0);
  auto host = Part(u.get(), CURLUPART_HOST, 0);
  auto port = Part(u.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
  if (!scheme || !host) return std::nullopt;
  return Lower(*scheme) + "://" + Lower(*host) + ":" + port.value_or("");
}

RedirectDecision FollowRedirect(const UrlRequest& first, const UrlRequest& current,
                                const UrlResponse& response) {
  RedirectDecision d;
  const int s = response.status;
  if (s != 301 && s != 302 && s != 303 && s != 307 && s != 308) return d;
  auto location = FindHeader(response.headers, "Location");
  if (!location) return d;
  d.redirect = true;

  UrlHandle u(curl_url());
  if (!u || curl_url_set(u.get(), CURLUPART_URL, current.url.c_str(), 0) != CURLUE_OK ||
      curl_url_set(u.get(), CURLUPART_URL, location->c_str(), 0) != CURLUE_OK) {
    d.error = "cannot follow the redirect to \"" + *location + "\"";
    return d;
  }
  // Fragments are not sent.
  curl_url_set(u.get(), CURLUPART_FRAGMENT, nullptr, 0);
  auto target = Part(u.get(), CURLUPART_URL, 0);
  if (!target) {
    d.error = "cannot follow the redirect to \"" + *location + "\"";
    return d;
  }

  UrlRequest next;
  next.url = *target;
  next.method = current.method;
  next.body = current.body;
  const bool to_get = (s == 303 && current.method != "HEAD") ||
                      ((s == 301 || s == 302) && current.method == "POST");
  if (to_get) {
    next.method = "GET";
    next.body.reset();
  }
  const std::optional<std::string> origin = UrlOrigin(first.url);
  const bool same_origin = origin && UrlOrigin(next.url) == origin;
  for (const HttpHeader& h : first.headers) {
    if (!same_origin && IsAuthorization(h)) continue;
    next.headers.push_back(h);
  }
  d.next = std::move(next);
  return d;
}

}  // namespace kelvo
