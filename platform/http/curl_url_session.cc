#include "platform/http/curl_url_session.h"

#include <curl/curl.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/http/curl_transfer.h"
#include "platform/http/redirect.h"

namespace kelvo {
namespace {

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// The longest the worker sleeps while transfers run, and while none do. A
// safety net only: new work and cancellation wake it at once.
constexpr auto kMaxPoll = std::chrono::milliseconds(1000);
constexpr auto kIdlePoll = std::chrono::milliseconds(60000);

UrlResponse Failure(std::string description) {
  UrlResponse r;
  r.error_description = std::move(description);
  return r;
}

}  // namespace

class CurlUrlSession::Worker {
 public:
  Worker(std::shared_ptr<Queue> queue, CurlUrlSessionOptions options,
         std::shared_ptr<const SocketMark> mark)
      : queue_(std::move(queue)), options_(options), mark_(std::move(mark)) {
    InitCurlOnce();
    multi_ = curl_multi_init();
    if (multi_ != nullptr) thread_ = std::thread([this] { Run(); });
  }

  ~Worker() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stopping_ = true;
    }
    if (multi_ == nullptr) return;
    curl_multi_wakeup(multi_);
    thread_.join();
    curl_multi_cleanup(multi_);
  }

  void Submit(UrlRequest request, Completion completion) {
    if (multi_ == nullptr) {
      Deliver(std::move(completion), Failure("cannot start the URL session"));
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      inbox_.push_back({std::move(request), std::move(completion)});
    }
    curl_multi_wakeup(multi_);
  }

  void CancelAll() {
    std::vector<Incoming> dropped;
    {
      std::lock_guard<std::mutex> lock(mu_);
      dropped.swap(inbox_);
      cancel_requested_ = true;
    }
    for (Incoming& in : dropped) {
      Deliver(std::move(in.completion), Failure(kUrlCancelledDescription));
    }
    if (multi_ != nullptr) curl_multi_wakeup(multi_);
  }

 private:
  struct Incoming {
    UrlRequest request;
    Completion completion;
  };
  struct Active {
    std::unique_ptr<CurlTransfer> transfer;
    Completion completion;
    UrlRequest first;  // as the caller made it, for redirects
    int redirects = 0;
    std::chrono::steady_clock::time_point started;
  };

  void Run() {
    for (;;) {
      std::vector<Incoming> incoming;
      bool cancel = false;
      bool stop = false;
      {
        std::lock_guard<std::mutex> lock(mu_);
        incoming.swap(inbox_);
        cancel = cancel_requested_;
        cancel_requested_ = false;
        stop = stopping_;
      }
      // Everything active now was submitted before the cancellation; what
      // came in since is started after it.
      if (cancel || stop) CancelActive();
      for (Incoming& in : incoming) {
        if (stop) {
          Deliver(std::move(in.completion), Failure(kUrlCancelledDescription));
        } else {
          Start(std::move(in));
        }
      }
      if (stop) return;

      int running = 0;
      curl_multi_perform(multi_, &running);
      CollectFinished();
      ExpireIdle();
      curl_multi_poll(multi_, nullptr, 0, NextWaitMillis(), nullptr);
    }
  }

  void Start(Incoming in) {
    Active a;
    a.first = in.request;
    a.completion = std::move(in.completion);
    a.started = std::chrono::steady_clock::now();
    Launch(std::move(in.request), std::move(a));
  }

  // Starts `request` as the next transfer of `a`, within what is left of
  // the resource timeout.
  void Launch(UrlRequest request, Active a) {
    auto elapsed = std::chrono::steady_clock::now() - a.started;
    Duration left = options_.resource_timeout - std::chrono::duration_cast<Duration>(elapsed);
    std::string error;
    a.transfer = CurlTransfer::Create(std::move(request), options_.request_timeout,
                                      std::max(left, Duration(std::chrono::milliseconds(1))),
                                      mark_, &error);
    if (a.transfer == nullptr) {
      Deliver(std::move(a.completion), Failure(error));
      return;
    }
    if (curl_multi_add_handle(multi_, a.transfer->easy()) != CURLM_OK) {
      Deliver(std::move(a.completion), Failure("cannot start the transfer"));
      return;
    }
    CURL* easy = a.transfer->easy();
    active_.emplace(easy, std::move(a));
  }

  void CollectFinished() {
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi_, &left)) {
      if (msg->msg != CURLMSG_DONE) continue;
      auto it = active_.find(msg->easy_handle);
      if (it == active_.end()) continue;
      CURLcode code = msg->data.result;
      UrlResponse response = it->second.transfer->Result(code);
      RedirectDecision redirect =
          FollowRedirect(it->second.first, it->second.transfer->request(), response);
      if (redirect.redirect && !redirect.error && it->second.redirects < kMaxRedirects) {
        Active a = std::move(it->second);
        active_.erase(it);
        curl_multi_remove_handle(multi_, a.transfer->easy());
        ++a.redirects;
        Launch(std::move(redirect.next), std::move(a));
        continue;
      }
      if (redirect.redirect && !redirect.error) redirect.error = "too many HTTP redirects";
      Finish(it, [&](CurlTransfer&) {
        return redirect.error ? Failure(*redirect.error) : std::move(response);
      });
    }
  }

  void ExpireIdle() {
    auto now = std::chrono::steady_clock::now();
    for (auto it = active_.begin(); it != active_.end();) {
      auto next = std::next(it);
      if (now - it->second.transfer->last_activity() >= options_.request_timeout) {
        Finish(it, [&](CurlTransfer&) {
          auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(options_.request_timeout);
          return Failure("Operation timed out: no data moved for " + std::to_string(ms.count()) +
                         " milliseconds");
        });
      }
      it = next;
    }
  }

  void CancelActive() {
    while (!active_.empty()) {
      Finish(active_.begin(), [](CurlTransfer&) { return Failure(kUrlCancelledDescription); });
    }
  }

  // Takes the transfer out of libcurl's hands, then answers it once.
  template <typename MakeResponse>
  void Finish(std::map<CURL*, Active>::iterator it, MakeResponse make) {
    Active a = std::move(it->second);
    active_.erase(it);
    curl_multi_remove_handle(multi_, a.transfer->easy());
    UrlResponse response = make(*a.transfer);
    Deliver(std::move(a.completion), std::move(response));
  }

  int NextWaitMillis() {
    if (active_.empty()) return static_cast<int>(kIdlePoll.count());
    long curl_ms = -1;
    curl_multi_timeout(multi_, &curl_ms);
    auto wait = std::chrono::milliseconds(curl_ms < 0 ? kMaxPoll.count() : curl_ms);
    wait = std::min<std::chrono::milliseconds>(wait, kMaxPoll);
    auto now = std::chrono::steady_clock::now();
    for (const auto& [easy, a] : active_) {
      auto until_idle = std::chrono::ceil<std::chrono::milliseconds>(
          a.transfer->last_activity() + options_.request_timeout - now);
      wait = std::min(wait, std::max(until_idle, std::chrono::milliseconds(0)));
    }
    return static_cast<int>(wait.count());
  }

  void Deliver(Completion completion, UrlResponse response) {
    if (!completion) return;
    queue_->Async([completion = std::move(completion), response = std::move(response)]() mutable {
      completion(std::move(response));
    });
  }

  const std::shared_ptr<Queue> queue_;
  const CurlUrlSessionOptions options_;
  const std::shared_ptr<const SocketMark> mark_;
  CURLM* multi_ = nullptr;
  std::thread thread_;

  std::mutex mu_;
  std::vector<Incoming> inbox_;
  bool cancel_requested_ = false;
  bool stopping_ = false;

  // Worker thread only.
  std::map<CURL*, Active> active_;
};

CurlUrlSession::CurlUrlSession(std::shared_ptr<Queue> callback_queue,
                               CurlUrlSessionOptions options,
                               std::shared_ptr<const SocketMark> socket_mark)
    : worker_(std::make_unique<Worker>(std::move(callback_queue), options,
                                       std::move(socket_mark))) {}

CurlUrlSession::~CurlUrlSession() = default;

void CurlUrlSession::DataTask(UrlRequest request, Completion completion) {
  worker_->Submit(std::move(request), std::move(completion));
}

void CurlUrlSession::CancelAll() { worker_->CancelAll(); }

}  // namespace kelvo
