// The configuration service client: a fresh configuration for this device,
// fetched with the stored bearer token, refreshed once on a 401.
#include <nlohmann/json.hpp>

#include "platform/http/url_text.h"
#include "tunnel/packet_tunnel_provider.h"

namespace kelvo {

namespace {

using Body = std::optional<std::vector<uint8_t>>;

std::optional<std::string> AsText(const Body& body) {
  if (!body) return std::nullopt;
  return std::string(body->begin(), body->end());
}

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

// Compact JSON as the platform's writer makes it, which escapes "/" as
// "\/". A '/' can stand only inside a string of the dump and is never part
// of an escape there, so each one is simply prefixed.
std::string PlatformJson(const nlohmann::json& value) {
  std::string out;
  for (char c : value.dump()) {
    if (c == '/') out += '\\';
    out += c;
  }
  return out;
}

// "token", or "access" when "token" is missing; a non-empty string only.
std::optional<std::string> TokenFromRefreshAnswer(const UrlResponse& response) {
  if (response.status != 200 || !response.body) return std::nullopt;
  auto json = nlohmann::json::parse(response.body->begin(), response.body->end(), nullptr,
                                    /*allow_exceptions=*/false);
  if (!json.is_object()) return std::nullopt;
  auto member = json.find("token");
  if (member == json.end()) member = json.find("access");
  if (member == json.end() || !member->is_string()) return std::nullopt;
  std::string token = member->get<std::string>();
  if (token.empty()) return std::nullopt;
  return token;
}

}  // namespace

UrlSession& PacketTunnelProvider::wdURLSession() {
  std::lock_guard lock(session_mu_);
  if (!session_) session_ = platform_.make_url_session();
  return *session_;
}

void PacketTunnelProvider::fetchFreshConf(
    std::function<void(std::optional<FreshConf>)> completion) {
  const auto& settings = *platform_.settings;
  std::optional<std::string> url = settings.ReadString("wd_conf_url");
  if (!url) {
    if (auto base = settings.ReadString("wd_base_url")) url = *base + "/kelvo/invited/conf/";
  }
  std::optional<std::string> token = settings.ReadString("wd_access_token");
  if (!url || !token || !ParsesAsUrl(*url)) {
    dbg("fetchFreshConf: faltan conf_url/token en App Group");
    completion(std::nullopt);
    return;
  }
  dbg("fetchFreshConf: GET " + *url);
  std::weak_ptr<PacketTunnelProvider> weak = weak_from_this();
  confRequest(*url, *token, [weak, url = *url, completion](Body body, int status) {
    auto self = weak.lock();
    if (!self) {
      completion(std::nullopt);
      return;
    }
    if (status != 401) {
      completion(parseConf(AsText(body), status));
      return;
    }
    self->refreshAccessToken([weak, url, completion](std::optional<std::string> fresh) {
      auto self = weak.lock();
      if (!fresh || !self) {
        completion(std::nullopt);
        return;
      }
      // A second 401 is not refreshed again.
      self->confRequest(url, *fresh, [completion](Body body2, int status2) {
        completion(parseConf(AsText(body2), status2));
      });
    });
  });
}

void PacketTunnelProvider::confRequest(const std::string& url, const std::string& bearer,
                                       std::function<void(Body, int)> completion) {
  const auto& settings = *platform_.settings;
  UrlRequest request;
  request.url = url;
  request.headers.push_back({"Authorization", "Bearer " + bearer});
  request.headers.push_back({"Content-Type", "application/json"});
  if (auto device = settings.ReadString("wd_device_id")) {
    request.headers.push_back({"X-Device-Id", *device});
  }
  if (auto body = settings.ReadString("wd_conf_body"); body && !body->empty()) {
    request.method = "POST";
    request.body = Bytes(*body);
  }
  std::string method = request.method;
  std::weak_ptr<PacketTunnelProvider> weak = weak_from_this();
  wdURLSession().DataTask(std::move(request), [weak, method, completion](UrlResponse response) {
    if (auto self = weak.lock()) {
      self->dbg("confRequest done status=" + std::to_string(response.status) +
                " err=" + response.error_description.value_or("nil") + " bytes=" +
                (response.body ? std::to_string(response.body->size()) : "-1") +
                " method=" + method);
    }
    completion(std::move(response.body), response.status);
  });
}

void PacketTunnelProvider::refreshAccessToken(
    std::function<void(std::optional<std::string>)> completion) {
  const auto& settings = *platform_.settings;
  auto base = settings.ReadString("wd_base_url");
  auto refresh = settings.ReadString("wd_refresh_token");
  if (!base || !refresh) {
    completion(std::nullopt);
    return;
  }
  std::string url = *base + "/token/refresh/";
  if (!ParsesAsUrl(url)) {
    completion(std::nullopt);
    return;
  }
  UrlRequest request;
  request.url = url;
  request.method = "POST";
  request.headers.push_back({"Content-Type", "application/json"});
  // A refresh token that is not valid UTF-8 cannot be written as JSON; the
  // request then goes out without a body, as the platform's writer would.
  try {
    request.body = Bytes(PlatformJson(nlohmann::json{{"refresh", *refresh}}));
  } catch (const nlohmann::json::exception&) {
  }
  // The refresh keeps the provider alive until it completes.
  auto self = shared_from_this();
  wdURLSession().DataTask(std::move(request), [self, completion](UrlResponse response) {
    auto token = TokenFromRefreshAnswer(response);
    if (token) self->platform_.settings->WriteString("wd_access_token", *token);
    completion(token);
  });
}

}  // namespace kelvo
