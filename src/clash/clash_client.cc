#include "clash/clash_client.h"

#include <curl/curl.h>

#include <chrono>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string_view>
#include <utility>

#include "clash/totals_stream.h"

namespace tarq {
namespace {

constexpr long kCallLimitMilliseconds = 5000;
constexpr std::chrono::milliseconds kCallLimit{kCallLimitMilliseconds};
constexpr std::chrono::milliseconds kClockMargin{250};
// A connection on which nothing moves for this long has failed.
constexpr long kIdleLimitSeconds = 3;
constexpr long kConnectLimitMilliseconds = kIdleLimitSeconds * 1000;
// Far beyond any real reply (30,000 connections make about 15 MB), but it
// keeps a runaway peer from exhausting memory (for request()) or the
// caller's time (for totals()) within the 5 seconds.
constexpr size_t kMaxReplyBytes = size_t{256} << 20;
// Larger reads than curl's 16 KiB default: fewer calls for the big
// /connections reply.
constexpr long kReceiveBufferBytes = 256 * 1024;

constexpr char kLoopback[] = "127.0.0.1";

void initCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
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
  // Takes the next bytes of a body. Throws what the stream throws, and
  // std::bad_alloc.
  void take(std::string_view bytes);
  // Before the first byte of a body: its status decides whether it is kept
  // (not for a failure status), and its announced length sizes the reply
  // buffer once. False when it is too large.
  bool prepareForBody();

  std::mutex mutex;
  // Built once: the headers of a request without and with a body. Both turn
  // off curl's own "Expect" and "Content-Type".
  HeaderList plainHeaders;
  HeaderList bodyHeaders;
  bool unusableSecret = false;
  char errorText[CURL_ERROR_SIZE] = {};
  // The body of request()'s reply, handed to its caller.
  std::string reply;
  bool bodyStarted = false;
  bool keepBody = true;  // false for a status outside 200 to 299
  size_t received = 0;
  bool replyTooLarge = false;
  // During totals() only, the stream that reads the body as it arrives,
  // from its first byte: nothing of it is held. `streamError` is the
  // stream's own error, which ended the transfer.
  bool readTotals = false;
  std::optional<TotalsStream> stream;
  std::exception_ptr streamError;
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

  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Impl::collect);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
  // The API is on loopback: proxy variables of the environment never apply.
  curl_easy_setopt(easy, CURLOPT_PROXY, "");
  curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
  // Plain HTTP only. The string form came with libcurl 7.85.0; older headers
  // (an older macOS SDK's, say) have only the bit mask.
#if LIBCURL_VERSION_NUM >= 0x075500
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http");
#else
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP));
#endif
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, kCallLimitMilliseconds);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, kConnectLimitMilliseconds);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, kIdleLimitSeconds);
}

bool ClashClient::Impl::prepareForBody() {
  bodyStarted = true;
  long status = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  // A failed call returns no body: it is received and dropped.
  keepBody = status >= 200 && status <= 299;
  curl_off_t announced = -1;
  if (curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) != CURLE_OK ||
      announced <= 0) {
    return true;  // no length (chunked, or to the end of the connection)
  }
  if (static_cast<uint64_t>(announced) > kMaxReplyBytes) {
    return false;
  }
  if (keepBody && !readTotals) {
    reply.reserve(static_cast<size_t>(announced));
  }
  return true;
}

void ClashClient::Impl::take(std::string_view bytes) {
  if (!keepBody) {
    return;
  }
  if (stream) {
    stream->feed(bytes);
  } else {
    reply.append(bytes);
  }
}

size_t ClashClient::Impl::collect(char* data, size_t size, size_t count, void* context) {
  auto* self = static_cast<Impl*>(context);
  const size_t length = size * count;
  // curl ends the transfer with a write error when this returns less than
  // `length`; no exception may cross its C frames.
  try {
    if (!self->bodyStarted && !self->prepareForBody()) {
      self->replyTooLarge = true;
      return 0;
    }
    if (length > kMaxReplyBytes - self->received) {
      self->replyTooLarge = true;
      return 0;
    }
    self->received += length;
    self->take(std::string_view(data, length));
  } catch (const std::bad_alloc&) {
    self->replyTooLarge = true;
    return 0;
  } catch (...) {
    self->streamError = std::current_exception();
    return 0;
  }
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
  bodyStarted = false;
  keepBody = true;
  received = 0;
  replyTooLarge = false;
  stream.reset();
  if (readTotals) {
    stream.emplace();
  }
  streamError = nullptr;
  errorText[0] = '\0';
  const auto started = std::chrono::steady_clock::now();
  const CURLcode result = curl_easy_perform(easy);
  const auto elapsed = std::chrono::steady_clock::now() - started;

  if (result != CURLE_OK) {
    reply = std::string();
    stream.reset();
    if (streamError) {
      std::rethrow_exception(streamError);  // the body is no JSON: the parser's own error
    }
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
    reply = std::string();
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
  return std::exchange(impl_->reply, std::string());
}

TrafficTotals ClashClient::totals() {
  std::lock_guard lock(impl_->mutex);
  const std::string path = "/connections";
  Impl& impl = *impl_;
  struct EndOfTotals {
    Impl& impl;
    ~EndOfTotals() {
      impl.readTotals = false;
      impl.stream.reset();
    }
  } endOfTotals{impl};
  impl.readTotals = true;
  impl.perform("GET", "http://127.0.0.1:" + std::to_string(port_) + path, path, std::nullopt);
  return impl.stream->finish();
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
