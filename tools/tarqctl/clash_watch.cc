#include "clash_watch.h"

#include <curl/curl.h>

#include <chrono>
#include <memory>

namespace tarq {
namespace {

constexpr long kLookMilliseconds = 1000;
constexpr auto kPause = std::chrono::milliseconds(250);

size_t discard(char*, size_t size, size_t count, void*) {
  return size * count;
}

}  // namespace

ClashAnswer askClashApi(int64_t port, const std::string& secret, long* status) {
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> easy(curl_easy_init(), curl_easy_cleanup);
  if (!easy) {
    return ClashAnswer::kOther;
  }
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/version";
  curl_slist* headers = nullptr;
  if (!secret.empty()) {
    headers = curl_slist_append(headers, ("Authorization: Bearer " + secret).c_str());
  }
  curl_easy_setopt(easy.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy.get(), CURLOPT_PROXY, "");
  curl_easy_setopt(easy.get(), CURLOPT_NOPROXY, "*");
  curl_easy_setopt(easy.get(), CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(easy.get(), CURLOPT_TIMEOUT_MS, kLookMilliseconds);
  curl_easy_setopt(easy.get(), CURLOPT_WRITEFUNCTION, &discard);
  const CURLcode result = curl_easy_perform(easy.get());
  curl_slist_free_all(headers);
  long code = 0;
  curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &code);
  if (status != nullptr) {
    *status = code;
  }
  if (result == CURLE_COULDNT_CONNECT) {
    return ClashAnswer::kNothingListens;
  }
  if (result != CURLE_OK) {
    return ClashAnswer::kOther;
  }
  if (code == 401) {
    return ClashAnswer::kUnauthorized;
  }
  return code >= 200 && code < 300 ? ClashAnswer::kAnswered : ClashAnswer::kOther;
}

void ClashWatch::start(int64_t port, std::string secret) {
  thread_ = std::thread([this, port, secret = std::move(secret)] {
    std::unique_lock lock(mutex_);
    while (!stop_) {
      lock.unlock();
      const ClashAnswer answer = askClashApi(port, secret);
      lock.lock();
      last_ = answer;
      stopping_.wait_for(lock, kPause, [this] { return stop_; });
    }
  });
}

void ClashWatch::stop() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  stopping_.notify_all();
  if (thread_.joinable()) {
    thread_.join();
  }
}

ClashAnswer ClashWatch::last() const {
  std::lock_guard lock(mutex_);
  return last_;
}

}  // namespace tarq
