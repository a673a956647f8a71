#include "clash/clash_client.h"

#include <curl/curl.h>
#include <simdjson.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>

namespace tarq {
namespace {

constexpr long kCallLimitMilliseconds = 5000;
constexpr std::chrono::milliseconds kCallLimit{kCallLimitMilliseconds};
constexpr std::chrono::milliseconds kClockMargin{250};
// A connection on which nothing moves for this long has failed.
constexpr long kIdleLimitSeconds = 3;
constexpr long kConnectLimitMilliseconds = kIdleLimitSeconds * 1000;
// Far beyond any real reply (30,000 connections make about 15 MB), but it
// keeps a runaway peer from exhausting memory within the 5 seconds.
constexpr size_t kMaxReplyBytes = size_t{256} << 20;
// Larger reads than curl's 16 KiB default: fewer calls for the big
// /connections reply.
constexpr long kReceiveBufferBytes = 256 * 1024;

constexpr char kLoopback[] = "127.0.0.1";

void initCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// A JSON number as a signed 64-bit integer: fractions truncated toward zero,
// values beyond the range saturated; true and false read as 1 and 0, and
// every other kind of value as 0.
int64_t toInt64(simdjson::dom::element value) {
  using simdjson::dom::element_type;
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  switch (value.type()) {
    case element_type::INT64:
      return value.get_int64().value_unsafe();
    case element_type::UINT64: {
      const uint64_t number = value.get_uint64().value_unsafe();
      return number > static_cast<uint64_t>(kMax) ? kMax : static_cast<int64_t>(number);
    }
    case element_type::DOUBLE: {
      const double number = value.get_double().value_unsafe();
      if (std::isnan(number)) {
        return 0;
      }
      if (number >= 0x1p63) {
        return kMax;
      }
      if (number < -0x1p63) {
        return kMin;
      }
      return static_cast<int64_t>(number);
    }
    case element_type::BOOL:
      return value.get_bool().value_unsafe() ? 1 : 0;
    default:
      return 0;
  }
}

struct EasyCleanup {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct UrlCleanup {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct HeadersCleanup {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, HeadersCleanup>;

void appendHeader(HeaderList& list, const std::string& header) {
  curl_slist* grown = curl_slist_append(list.get(), header.c_str());
  if (grown == nullptr) {
    throw std::bad_alloc();
  }
  list.release();
  list.reset(grown);
}

}  // namespace

// Everything here is guarded by `mutex`: one exchange at a time per client.
struct ClashClient::Impl {
  explicit Impl(const std::string& secret);
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  // Runs one exchange; on success `reply` holds the body. Throws ClashError.
  void perform(const std::string& method, const std::string& url, const std::string& path,
               const std::optional<std::string>& body);

  static size_t collect(char* data, size_t size, size_t count, void* context);

  std::mutex mutex;
  // Built once: the headers of a request without and with a body. Both turn
  // off curl's own "Expect" and "Content-Type".
  HeaderList plainHeaders;
  HeaderList bodyHeaders;
  bool unusableSecret = false;
  char errorText[CURL_ERROR_SIZE] = {};
  // The last reply body. Its capacity always exceeds its size by
  // SIMDJSON_PADDING, so the parser reads it in place; kept from call to call
  // so that a steady reply size costs no allocation.
  std::string reply;
  bool replyTooLarge = false;
  simdjson::dom::parser parser;
  // Declared last, so destroyed first: the easy handle refers to the URL,
  // the header lists and the buffers above.
  std::unique_ptr<CURLU, UrlCleanup> urlHandle;
  std::unique_ptr<CURL, EasyCleanup> easyHandle;
  CURLU* url = nullptr;  // urlHandle.get()
  CURL* easy = nullptr;  // easyHandle.get()
};

ClashClient::Impl::Impl(const std::string& secret) {
  initCurlOnce();
  easyHandle.reset(curl_easy_init());
  urlHandle.reset(curl_url());
  easy = easyHandle.get();
  url = urlHandle.get();
  if (easy == nullptr || url == nullptr) {
    throw std::bad_alloc();
  }
  // A secret that cannot travel in a header line would let its bytes forge
  // other headers.
  unusableSecret = secret.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos;
  if (!secret.empty() && !unusableSecret) {
    appendHeader(plainHeaders, "Authorization: Bearer " + secret);
    appendHeader(bodyHeaders, "Authorization: Bearer " + secret);
  }
  appendHeader(plainHeaders, "Content-Type:");
  appendHeader(plainHeaders, "Expect:");
  appendHeader(bodyHeaders, "Content-Type: application/json");
  appendHeader(bodyHeaders, "Expect:");
  reply.reserve(4096 + simdjson::SIMDJSON_PADDING);

  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Impl::collect);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
  // The API is on loopback: proxy variables of the environment never apply.
  curl_easy_setopt(easy, CURLOPT_PROXY, "");
  curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http");
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, kCallLimitMilliseconds);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, kConnectLimitMilliseconds);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, kIdleLimitSeconds);
}

size_t ClashClient::Impl::collect(char* data, size_t size, size_t count, void* context) {
  auto* self = static_cast<Impl*>(context);
  const size_t length = size * count;
  std::string& reply = self->reply;
  if (length > kMaxReplyBytes - reply.size()) {
    self->replyTooLarge = true;
    return 0;  // curl ends the transfer with a write error
  }
  const size_t needed = reply.size() + length + simdjson::SIMDJSON_PADDING;
  if (reply.capacity() < needed) {
    reply.reserve(std::max(needed, 2 * reply.capacity()));
  }
  reply.append(data, length);
  return length;
}

void ClashClient::Impl::perform(const std::string& method, const std::string& urlText,
                                const std::string& path, const std::optional<std::string>& body) {
  // The host must stay 127.0.0.1: a path such as "@host/" would otherwise
  // turn the loopback address into user information.
  char* host = nullptr;
  char* user = nullptr;
  const bool parsed = curl_url_set(url, CURLUPART_URL, urlText.c_str(), 0) == CURLUE_OK &&
                      curl_url_get(url, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
                      std::string_view(host) == kLoopback &&
                      curl_url_get(url, CURLUPART_USER, &user, 0) == CURLUE_NO_USER;
  curl_free(host);
  curl_free(user);
  if (!parsed) {
    throw ClashError::transport("bad url " + path);
  }
  if (unusableSecret) {
    throw ClashError::transport("secret not usable in a header");
  }

  // The handle keeps options from the previous exchange: reset every
  // per-request one. POSTFIELDS first, since setting it selects POST.
  curl_easy_setopt(easy, CURLOPT_POSTFIELDS, static_cast<const char*>(nullptr));
  curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(-1));
  curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(easy, CURLOPT_CURLU, url);
  if (method == "HEAD") {
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  }
  const bool standardMethod = method == "GET" || method == "HEAD";
  curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, standardMethod ? nullptr : method.c_str());
  // Another method without a body still states its empty one
  // ("Content-Length: 0"): a server may otherwise wait for a body that
  // ends only with the connection.
  const std::string_view sent = body ? std::string_view(*body) : std::string_view("");
  if (body || !standardMethod) {
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(sent.size()));
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, sent.data());
  }
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, body ? bodyHeaders.get() : plainHeaders.get());

  reply.clear();
  replyTooLarge = false;
  errorText[0] = '\0';
  const auto started = std::chrono::steady_clock::now();
  const CURLcode result = curl_easy_perform(easy);
  const auto elapsed = std::chrono::steady_clock::now() - started;

  if (result != CURLE_OK) {
    reply.clear();
    // The idle and connect limits end a call with the same code; only the
    // overall bound has its own message. curl's clock may fire that bound a
    // hair before ours reads 5 seconds, hence the margin.
    if (result == CURLE_OPERATION_TIMEDOUT && elapsed >= kCallLimit - kClockMargin) {
      throw ClashError::transport("timed out");
    }
    if (replyTooLarge) {
      throw ClashError::transport("reply too large");
    }
    throw ClashError::transport(errorText[0] != '\0' ? errorText : curl_easy_strerror(result));
  }
  long status = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  if (status < 200 || status > 299) {
    reply.clear();
    throw ClashError::http(status);
  }
}

ClashClient::ClashClient(int64_t port, std::string secret)
    : port_(port), secret_(std::move(secret)), impl_(std::make_unique<Impl>(secret_)) {}

ClashClient::~ClashClient() = default;

std::string ClashClient::request(const std::string& method, const std::string& path,
                                 const std::optional<std::string>& body) {
  std::lock_guard lock(impl_->mutex);
  impl_->perform(method, "http://127.0.0.1:" + std::to_string(port_) + path, path, body);
  // A copy: the buffer, grown for /connections, stays with the client.
  return impl_->reply;
}

TrafficTotals ClashClient::totals() {
  std::lock_guard lock(impl_->mutex);
  const std::string path = "/connections";
  impl_->perform("GET", "http://127.0.0.1:" + std::to_string(port_) + path, path, std::nullopt);

  // Parsed in place (the buffer carries the parser's padding) and validated
  // whole; throws simdjson::simdjson_error when the reply is not JSON.
  const std::string& reply = impl_->reply;
  const simdjson::dom::element root = impl_->parser.parse(reply.data(), reply.size(), false);
  if (root.is_array()) {
    throw ClashError::badReply();
  }
  if (!root.is_object()) {
    // Like the platform parsers without a fragments option, a bare scalar is
    // no JSON text here.
    throw simdjson::simdjson_error(simdjson::INCORRECT_TYPE);
  }
  // Only the top level counts; the large "connections" array is skipped
  // whole. A repeated key: the last one wins.
  TrafficTotals totals;
  for (const auto field : simdjson::dom::object(root)) {
    if (field.key == "uploadTotal") {
      totals.up = toInt64(field.value);
    } else if (field.key == "downloadTotal") {
      totals.down = toInt64(field.value);
    }
  }
  return totals;
}

void ClashClient::closeConnection() {
  std::lock_guard lock(impl_->mutex);
  // A copy of the handle has every option but none of the connections; the
  // original takes them along when it goes.
  CURL* fresh = curl_easy_duphandle(impl_->easy);
  if (fresh == nullptr) {
    throw std::bad_alloc();
  }
  impl_->easyHandle.reset(fresh);
  impl_->easy = fresh;
}

}  // namespace tarq
