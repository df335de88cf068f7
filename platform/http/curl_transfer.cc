#include "platform/http/curl_transfer.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace kelvo {
namespace {

// An HTTP token: what a method or a header name may be made of.
bool IsToken(std::string_view s) {
  if (s.empty()) return false;
  return std::all_of(s.begin(), s.end(), [](char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u > 0x20 && u < 0x7f && c != ':' && c != '(' && c != ')' && c != ',' && c != ';' &&
           c != '"' && c != '/' && c != '[' && c != ']' && c != '?' && c != '=' && c != '{' &&
           c != '}' && c != '\\' && c != '<' && c != '>' && c != '@';
  });
}

bool IsHeaderValue(std::string_view s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' ||
                        s.back() == '\n')) {
    s.remove_suffix(1);
  }
  return s;
}

long Millis(Duration d) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
  return static_cast<long>(std::max<decltype(ms)>(ms, 1));
}

}  // namespace

std::unique_ptr<CurlTransfer> CurlTransfer::Create(UrlRequest request, Duration connect_timeout,
                                                   Duration resource_timeout,
                                                   std::shared_ptr<const SocketMark> mark,
                                                   std::string* error) {
  std::unique_ptr<CurlTransfer> t(new CurlTransfer(std::move(request)));
  t->mark_ = std::move(mark);
  if (!t->Configure(connect_timeout, resource_timeout, error)) return nullptr;
  return t;
}

CurlTransfer::CurlTransfer(UrlRequest request)
    : request_(std::move(request)),
      last_activity_(std::chrono::steady_clock::now()) {}

CurlTransfer::~CurlTransfer() {
  if (easy_ != nullptr) curl_easy_cleanup(easy_);
  curl_slist_free_all(header_list_);
}

bool CurlTransfer::Configure(Duration connect_timeout, Duration resource_timeout,
                             std::string* error) {
  if (!IsToken(request_.method)) {
    *error = "invalid HTTP method";
    return false;
  }
  bool has_content_type = false;
  bool has_expect = false;
  for (const HttpHeader& h : request_.headers) {
    if (!IsToken(h.name) || !IsHeaderValue(h.value)) {
      *error = "invalid HTTP header";
      return false;
    }
    // libcurl drops a header written "Name:" with nothing after it; "Name;"
    // is its spelling for a header sent with an empty value.
    std::string line = h.value.empty() ? h.name + ";" : h.name + ": " + h.value;
    curl_slist* grown = curl_slist_append(header_list_, line.c_str());
    if (grown == nullptr) {
      *error = "out of memory";
      return false;
    }
    header_list_ = grown;
    std::string_view name = h.name;
    auto iequals = [](std::string_view a, std::string_view b) {
      return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
             });
    };
    has_content_type = has_content_type || iequals(name, "Content-Type");
    has_expect = has_expect || iequals(name, "Expect");
  }
  // Send only what the caller asked for: no form Content-Type on a body and
  // no "Expect: 100-continue" round trip.
  for (const char* removal : {"Content-Type:", "Expect:"}) {
    if ((removal[0] == 'C' && has_content_type) || (removal[0] == 'E' && has_expect)) continue;
    curl_slist* grown = curl_slist_append(header_list_, removal);
    if (grown == nullptr) {
      *error = "out of memory";
      return false;
    }
    header_list_ = grown;
  }

  easy_ = curl_easy_init();
  if (easy_ == nullptr) {
    *error = "cannot create a transfer";
    return false;
  }
  CURLcode rc = CURLE_OK;
  auto set = [&](CURLoption option, auto value) {
    if (rc == CURLE_OK) rc = curl_easy_setopt(easy_, option, value);
  };
  set(CURLOPT_PRIVATE, static_cast<void*>(this));
  set(CURLOPT_ERRORBUFFER, error_buffer_);
  set(CURLOPT_NOSIGNAL, 1L);
  set(CURLOPT_URL, request_.url.c_str());
  set(CURLOPT_PROTOCOLS_STR, "http,https");
  // The session follows redirects itself (see redirect.h): libcurl's own
  // following decides where Authorization goes by host name alone.
  set(CURLOPT_FOLLOWLOCATION, 0L);
  // No CURLOPT_PROXY: libcurl takes http_proxy, https_proxy, all_proxy and
  // no_proxy from the environment, as the platform session uses the
  // system's proxy settings.
  set(CURLOPT_PATH_AS_IS, 1L);  // "/a/../b" goes out as built
  set(CURLOPT_ACCEPT_ENCODING, "");  // offer and decode what libcurl supports
  set(CURLOPT_CONNECTTIMEOUT_MS, Millis(connect_timeout));
  set(CURLOPT_TIMEOUT_MS, Millis(resource_timeout));
  set(CURLOPT_HTTPHEADER, header_list_);
  set(CURLOPT_HEADERFUNCTION, &CurlTransfer::OnHeader);
  set(CURLOPT_HEADERDATA, static_cast<void*>(this));
  set(CURLOPT_WRITEFUNCTION, &CurlTransfer::OnBody);
  set(CURLOPT_WRITEDATA, static_cast<void*>(this));
  set(CURLOPT_NOPROGRESS, 0L);
  set(CURLOPT_XFERINFOFUNCTION, &CurlTransfer::OnProgress);
  set(CURLOPT_XFERINFODATA, static_cast<void*>(this));
  if (mark_) {
    set(CURLOPT_SOCKOPTFUNCTION, &CurlTransfer::OnSocket);
    set(CURLOPT_SOCKOPTDATA, static_cast<void*>(this));
  }

  const std::string& method = request_.method;
  if (request_.body.has_value()) {
    static const char kEmpty[] = "";
    const std::vector<uint8_t>& body = *request_.body;
    set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    set(CURLOPT_POSTFIELDS, body.empty() ? kEmpty : reinterpret_cast<const char*>(body.data()));
    if (method != "POST") set(CURLOPT_CUSTOMREQUEST, method.c_str());
  } else if (method == "GET") {
    set(CURLOPT_HTTPGET, 1L);
  } else if (method == "HEAD") {
    set(CURLOPT_NOBODY, 1L);
  } else {
    set(CURLOPT_CUSTOMREQUEST, method.c_str());
  }
  if (rc != CURLE_OK) {
    *error = curl_easy_strerror(rc);
    return false;
  }
  return true;
}

UrlResponse CurlTransfer::Result(CURLcode code) {
  UrlResponse response;
  long status = 0;
  if (code == CURLE_OK) curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
  if (code == CURLE_OK && status > 0) {
    response.status = static_cast<int>(status);
    response.headers = std::move(response_headers_);
    response.body = std::move(response_body_);
    return response;
  }
  if (body_too_large_) {
    response.error_description =
        "response body larger than " + std::to_string(kMaxBodyBytes) + " bytes";
  } else if (code == CURLE_OK) {
    response.error_description = "no HTTP response";
  } else if (error_buffer_[0] != '\0') {
    response.error_description = std::string(error_buffer_);
  } else {
    response.error_description = curl_easy_strerror(code);
  }
  return response;
}

size_t CurlTransfer::OnHeader(char* data, size_t size, size_t count, void* self) {
  auto* t = static_cast<CurlTransfer*>(self);
  size_t n = size * count;
  t->last_activity_ = std::chrono::steady_clock::now();
  std::string_view line(data, n);
  if (line.starts_with("HTTP/")) {
    t->response_headers_.clear();  // a new response (after a 1xx) starts over
    return n;
  }
  if (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
    // An obsolete folded continuation of the previous header's value.
    std::string_view more = Trim(line);
    if (!t->response_headers_.empty() && !more.empty()) {
      t->response_headers_.back().value.append(" ").append(more);
    }
    return n;
  }
  size_t colon = line.find(':');
  if (colon == std::string_view::npos) return n;  // the blank line, or junk
  t->response_headers_.push_back(
      {std::string(Trim(line.substr(0, colon))), std::string(Trim(line.substr(colon + 1)))});
  return n;
}

size_t CurlTransfer::OnBody(char* data, size_t size, size_t count, void* self) {
  auto* t = static_cast<CurlTransfer*>(self);
  size_t n = size * count;
  t->last_activity_ = std::chrono::steady_clock::now();
  if (t->response_body_.size() + n > kMaxBodyBytes) {
    t->body_too_large_ = true;
    return 0;  // makes libcurl fail the transfer
  }
  t->response_body_.insert(t->response_body_.end(), data, data + n);
  return n;
}

int CurlTransfer::OnSocket(void* self, curl_socket_t fd, curlsocktype purpose) {
  if (purpose != CURLSOCKTYPE_IPCXN) return CURL_SOCKOPT_OK;
  // A socket that cannot carry the mark would go into the tunnel: fail the
  // connection rather than send it there.
  return static_cast<CurlTransfer*>(self)->mark_->ApplyTo(fd) == 0 ? CURL_SOCKOPT_OK
                                                                   : CURL_SOCKOPT_ERROR;
}

int CurlTransfer::OnProgress(void* self, curl_off_t, curl_off_t dlnow, curl_off_t,
                             curl_off_t ulnow) {
  auto* t = static_cast<CurlTransfer*>(self);
  if (dlnow != t->seen_down_ || ulnow != t->seen_up_) {
    t->seen_down_ = dlnow;
    t->seen_up_ = ulnow;
    t->last_activity_ = std::chrono::steady_clock::now();
  }
  return 0;
}

}  // namespace kelvo
