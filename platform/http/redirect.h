// Following HTTP redirects as the platform's URL session does. Internal to
// CurlUrlSession; a pure function, so it is tested without a network.
//
// - 301, 302, 303, 307 and 308 with a Location header are redirects; the
//   Location is resolved against the URL that answered.
// - 303 turns any method but HEAD into a GET without a body; 301 and 302 do
//   so for a POST; 307 and 308 keep method and body.
// - The headers are the first request's, except that "Authorization" goes
//   only to the first request's origin (scheme, host and port): a token for
//   one service never reaches another, whichever way the hops went.
#pragma once

#include <optional>
#include <string>

#include "platform/http/url_session.h"

namespace kelvo {

// The most redirects one request follows; one more fails it.
inline constexpr int kMaxRedirects = 10;

// "scheme://host:port" with the default port filled in and case folded;
// nullopt when `url` does not parse.
std::optional<std::string> UrlOrigin(const std::string& url);

struct RedirectDecision {
  bool redirect = false;      // false: `response` is the answer
  UrlRequest next;            // when redirect and no error
  std::optional<std::string> error;  // a redirect that cannot be followed
};

// `first` is the request as the caller made it, `current` the one that got
// `response`.
RedirectDecision FollowRedirect(const UrlRequest& first, const UrlRequest& current,
                                const UrlResponse& response);

}  // namespace kelvo
