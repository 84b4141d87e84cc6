#include "storage/url_source.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <thread>

#include "core/output.h"
#include "image/header_handle.h"
#include "platform/curl_library.h"
#include "platform/fixed_paths.h"
#include "platform/fixed_text.h"

namespace vorn::storage {

namespace {

using platform::format_text;

constexpr auto RESUME_DELAY = std::chrono::seconds(1);
constexpr long RECEIVE_BUFFER_BYTES = 128 * 1024;  // curl's 16 KiB default costs throughput
constexpr long MAX_REDIRECTS = 5;
constexpr size_t HEADER_MEMO_SLOTS = 8;  // more than the images of a batch
constexpr size_t REASON_SIZE = 320;
constexpr size_t CONTENT_RANGE_SIZE = 96;

using Reason = std::array<char, REASON_SIZE>;

UrlLimitsSource g_limits_source = nullptr;
int g_last_error = URL_OK;

// A header fetched in this command, so that every check and the stream see the same bytes.
struct HeaderMemo {
  std::array<char, URL_TEXT_SIZE> url{};
  std::array<uint8_t, image::HEADER_SIZE> bytes{};
  size_t length = 0;
  int64_t total = -1;
};
std::array<HeaderMemo, HEADER_MEMO_SLOTS> g_memo;
size_t g_memo_next = 0;

HeaderMemo* memo_find(std::string_view url) {
  const auto found = std::ranges::find_if(
      g_memo, [url](const HeaderMemo& m) { return platform::slot_text(m.url) == url; });
  return found == g_memo.end() ? nullptr : &*found;
}

// What a libcurl failure means: its code, and whether a fetch that had an answer resumes.
struct CurlFailure {
  CURLcode result;
  int code;
  bool resumable;
};
constexpr CurlFailure CURL_FAILURES[] = {
    {CURLE_UNSUPPORTED_PROTOCOL, URL_UNUSABLE, false},
    {CURLE_URL_MALFORMAT, URL_UNUSABLE, false},
    {CURLE_COULDNT_RESOLVE_HOST, URL_CONNECT_FAILED, true},
    {CURLE_COULDNT_CONNECT, URL_CONNECT_FAILED, true},
    {CURLE_OPERATION_TIMEDOUT, URL_TIMED_OUT, true},
    {CURLE_PARTIAL_FILE, URL_CUT, true},
    {CURLE_RECV_ERROR, URL_CUT, true},
    {CURLE_SEND_ERROR, URL_CUT, true},
    {CURLE_GOT_NOTHING, URL_CUT, true},
    {CURLE_HTTP2, URL_CUT, true},
    {CURLE_HTTP2_STREAM, URL_CUT, true},
    {CURLE_TOO_MANY_REDIRECTS, URL_HTTP_STATUS, false},
    {CURLE_SSL_CONNECT_ERROR, URL_TLS_FAILED, false},
    {CURLE_SSL_CERTPROBLEM, URL_TLS_FAILED, false},
    {CURLE_SSL_CIPHER, URL_TLS_FAILED, false},
    {CURLE_PEER_FAILED_VERIFICATION, URL_TLS_FAILED, false},
    {CURLE_SSL_CACERT_BADFILE, URL_TLS_FAILED, false},
    {CURLE_SSL_ISSUER_ERROR, URL_TLS_FAILED, false},
    {CURLE_SSL_INVALIDCERTSTATUS, URL_TLS_FAILED, false},
};

CurlFailure curl_failure(CURLcode result) {
  const auto row = std::ranges::find_if(
      CURL_FAILURES, [result](const CurlFailure& f) { return f.result == result; });
  return row != std::end(CURL_FAILURES) ? *row : CurlFailure{result, URL_CONNECT_FAILED, false};
}

// Decimal digits at the front of text, taken off it; false when there are none or they
// overflow.
bool take_number(std::string_view& text, int64_t* value) {
  size_t n = 0;
  int64_t v = 0;
  while (n < text.size() && text[n] >= '0' && text[n] <= '9') {
    if (v > (INT64_MAX - 9) / 10) return false;
    v = v * 10 + (text[n++] - '0');
  }
  if (n == 0) return false;
  text.remove_prefix(n);
  *value = v;
  return true;
}

bool take(std::string_view& text, std::string_view word) {
  if (!text.starts_with(word)) return false;
  text.remove_prefix(word.size());
  return true;
}

// "bytes FIRST-LAST/TOTAL" (TOTAL "*" when unknown: -1).
bool parse_content_range(std::string_view text, int64_t* first, int64_t* total) {
  int64_t last = 0;
  if (!take(text, "bytes ") || !take_number(text, first) || !take(text, "-") ||
      !take_number(text, &last) || last < *first || !take(text, "/")) {
    return false;
  }
  if (text == "*") {
    *total = -1;
    return true;
  }
  return take_number(text, total) && text.empty() && *total > last;
}

// A length the answer names, against the one known: URL_OK and *total set, or
// URL_OTHER_LENGTH.
int take_length(int64_t named, int64_t* total, std::span<char> why) {
  if (named < 0) return URL_OK;
  if (*total >= 0 && named != *total) {
    format_text(why, "another length (%lld bytes, not %lld)", static_cast<long long>(named),
                static_cast<long long>(*total));
    return URL_OTHER_LENGTH;
  }
  *total = named;
  return URL_OK;
}

UrlLimits current_limits() { return g_limits_source != nullptr ? g_limits_source() : UrlLimits{}; }

// One fetch: the bytes from `next` up to `stop` (-1: the end of the file) handed to the sink
// in order, in as many requests as the cuts make necessary.
class Fetch {
 public:
  Fetch(const char* url, int64_t total, int64_t stop, UrlSink& sink)
      : url_(url), stop_(stop), total_(total), sink_(sink) {}

  // URL_OK once every byte wanted reached the sink; a URL_* failure (message printed) or the
  // sink's code.
  int run() {
    const platform::CurlApi* api = platform::curl_api();
    if (api == nullptr) return url_fail(url_, URL_UNUSABLE, "libcurl cannot be loaded");
    platform::CurlHandle curl(api->easy_init());
    const UrlLimits limits = current_limits();
    if (!curl || !configure(*api, curl.get(), limits)) {
      return url_fail(url_, URL_UNUSABLE, "libcurl refused the transfer's options");
    }
    for (int resumes = 0;; ++resumes) {
      Failure failure;
      if (attempt(*api, curl.get(), failure)) return URL_OK;
      if (sink_code_ != 0) return sink_code_;
      if (!failure.resumable) return url_fail(url_, failure.code, failure.reason.data());
      if (resumes >= limits.retries) {
        platform::append_format(failure.reason, "; gave up after %d resumes", resumes);
        return url_fail(url_, failure.code, failure.reason.data());
      }
      std::this_thread::sleep_for(RESUME_DELAY);
    }
  }

  [[nodiscard]] int64_t total() const { return total_; }

 private:
  struct Failure {
    int code = URL_OK;
    bool resumable = false;
    Reason reason{};
  };

  bool configure(const platform::CurlApi& api, CURL* curl, const UrlLimits& limits) {
    const long stall = limits.stall_seconds;
    const bool https = std::string_view(url_).starts_with("https://");
    const char* ca_bundle = platform::fixed_path(platform::FixedPath::HTTPS_CA_BUNDLE);
    bool ok = api.easy_setopt(curl, CURLOPT_URL, url_) == CURLE_OK &&
              api.easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
              // A redirect never takes an https fetch off TLS.
              api.easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, https ? "https" : "http,https") ==
                  CURLE_OK &&
              api.easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
              api.easy_setopt(curl, CURLOPT_MAXREDIRS, MAX_REDIRECTS) == CURLE_OK &&
              // No SIGALRM for name lookups: the daemon has other threads.
              api.easy_setopt(curl, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
              api.easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, stall) == CURLE_OK &&
              api.easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK &&
              api.easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, stall) == CURLE_OK &&
              api.easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
              api.easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
              api.easy_setopt(curl, CURLOPT_BUFFERSIZE, RECEIVE_BUFFER_BYTES) == CURLE_OK &&
              api.easy_setopt(curl, CURLOPT_USERAGENT, "vorn/1") == CURLE_OK &&
              api.easy_setopt(curl, CURLOPT_ERRORBUFFER, error_.data()) == CURLE_OK &&
              api.easy_setopt(curl, CURLOPT_HEADERFUNCTION, on_header) == CURLE_OK &&
              api.easy_setopt(curl, CURLOPT_HEADERDATA, this) == CURLE_OK &&
              api.easy_setopt(curl, CURLOPT_WRITEFUNCTION, on_body) == CURLE_OK &&
              api.easy_setopt(curl, CURLOPT_WRITEDATA, this) == CURLE_OK;
    // The device maker's bundle, when there is one, is the only trust for update servers.
    if (ok && ::access(ca_bundle, F_OK) == 0) {
      ok = api.easy_setopt(curl, CURLOPT_CAINFO, ca_bundle) == CURLE_OK &&
           api.easy_setopt(curl, CURLOPT_CAPATH, nullptr) == CURLE_OK;
    }
    return ok;
  }

  // One request from next_. True when the fetch is complete; otherwise failure says why.
  bool attempt(const platform::CurlApi& api, CURL* curl, Failure& failure) {
    api_ = &api;
    curl_ = curl;
    failure_ = &failure;
    accepted_ = false;
    content_range_[0] = '\0';
    error_[0] = '\0';
    std::array<char, 48> range{};
    if (stop_ >= 0) {
      format_text(range, "%lld-%lld", static_cast<long long>(next_),
                  static_cast<long long>(stop_ - 1));
    } else {
      format_text(range, "%lld-", static_cast<long long>(next_));
    }
    // From byte 0 of the whole file a plain request: its answer must be 200.
    const bool whole = next_ == 0 && stop_ < 0;
    if (api.easy_setopt(curl, CURLOPT_RANGE, whole ? nullptr : range.data()) != CURLE_OK) {
      failure.code = URL_UNUSABLE;
      format_text(failure.reason, "libcurl refused the range");
      return false;
    }
    const CURLcode result = api.easy_perform(curl);
    if (sink_code_ != 0 || failure.code != URL_OK) return false;
    const int64_t end = stop_ < 0 ? total_ : (total_ < 0 ? stop_ : std::min(stop_, total_));
    if (end >= 0 && next_ >= end) return true;
    if (result == CURLE_OK) {
      if (!accepted_ && !accept()) return false;
      // A file whose length nobody named ends where the server closed it.
      if (total_ < 0 || next_ >= end) return true;
      failure = {URL_CUT, true, {}};
      format_text(failure.reason, "the connection closed at byte %lld of %lld",
                  static_cast<long long>(next_), static_cast<long long>(end));
    } else {
      const CurlFailure what = curl_failure(result);
      failure.code = what.code;
      // Before the server ever answered, a failure is the fetch's answer: it is not resumed.
      failure.resumable = what.resumable && answered_;
      format_text(failure.reason, "%s",
                  error_[0] != '\0' ? error_.data() : api.easy_strerror(result));
    }
    return false;
  }

  // The answer's status and lengths, checked before its first byte is taken.
  bool accept() {
    accepted_ = true;
    long status = 0;
    curl_off_t length = -1;
    (void)api_->easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status);
    (void)api_->easy_getinfo(curl_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    const UrlAnswer answer{.status = status,
                           .content_length = length,
                           .content_range = platform::slot_text(content_range_)};
    const int r = url_answer_check(answer, next_, &total_, failure_->reason);
    if (r != URL_OK) {
      failure_->code = r;
      failure_->resumable = false;
      return false;
    }
    answered_ = true;
    return true;
  }

  static size_t on_header(char* data, size_t size, size_t count, void* self) {
    auto& fetch = *static_cast<Fetch*>(self);
    std::string_view line(data, size * count);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
    // A redirect's answer comes first: only the last answer's range counts.
    if (line.starts_with("HTTP/")) fetch.content_range_[0] = '\0';
    constexpr std::string_view NAME = "content-range:";
    if (line.size() > NAME.size() && ::strncasecmp(line.data(), NAME.data(), NAME.size()) == 0) {
      line.remove_prefix(NAME.size());
      while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
      platform::copy_text(fetch.content_range_, line);
    }
    return size * count;
  }

  static size_t on_body(char* data, size_t size, size_t count, void* self) {
    auto& fetch = *static_cast<Fetch*>(self);
    const size_t bytes = size * count;
    if (!fetch.accepted_ && !fetch.accept()) return 0;
    size_t take = bytes;
    if (fetch.stop_ >= 0)
      take = std::min<size_t>(take, static_cast<size_t>(fetch.stop_ - fetch.next_));
    if (take > 0) {
      const int r = fetch.sink_.consume({reinterpret_cast<const uint8_t*>(data), take});
      if (r != 0) {
        fetch.sink_code_ = r;
        return 0;
      }
      fetch.next_ += static_cast<int64_t>(take);
    }
    // Past the bytes wanted (a server that sent more than the range): enough.
    return take == bytes ? bytes : 0;
  }

  const char* url_;
  int64_t next_ = 0;
  int64_t stop_;
  int64_t total_;
  UrlSink& sink_;
  int sink_code_ = 0;
  bool answered_ = false;  // an answer was accepted in an earlier or this attempt
  // State of the running attempt, for the callbacks.
  const platform::CurlApi* api_ = nullptr;
  CURL* curl_ = nullptr;
  Failure* failure_ = nullptr;
  bool accepted_ = false;
  std::array<char, CONTENT_RANGE_SIZE> content_range_{};
  std::array<char, CURL_ERROR_SIZE> error_{};
};

// Collects a small file, or a header, in a buffer.
class BufferSink final : public UrlSink {
 public:
  BufferSink(const char* url, std::span<uint8_t> buffer) : url_(url), buffer_(buffer) {}

  int consume(std::span<const uint8_t> bytes) override {
    if (bytes.size() > buffer_.size() - filled_) {
      Reason why{};
      format_text(why, "larger than %zu bytes", buffer_.size());
      return url_fail(url_, URL_OTHER_LENGTH, why.data());
    }
    std::ranges::copy(bytes, buffer_.begin() + static_cast<std::ptrdiff_t>(filled_));
    filled_ += bytes.size();
    return 0;
  }

  [[nodiscard]] size_t filled() const { return filled_; }

 private:
  const char* url_;
  std::span<uint8_t> buffer_;
  size_t filled_ = 0;
};

// Hands the stream on once its first bytes are found equal to the header checked.
class HeaderGuard final : public UrlSink {
 public:
  HeaderGuard(const char* url, std::span<const uint8_t> header, UrlSink& sink)
      : url_(url), header_(header), sink_(sink) {}

  int consume(std::span<const uint8_t> bytes) override {
    if (seen_ < header_.size()) {
      const size_t n = std::min(bytes.size(), header_.size() - seen_);
      if (!std::ranges::equal(bytes.first(n), header_.subspan(seen_, n))) {
        return url_fail(url_, URL_HEADER_CHANGED, "another image (the header changed)");
      }
      seen_ += n;
    }
    return sink_.consume(bytes);
  }

 private:
  const char* url_;
  std::span<const uint8_t> header_;
  UrlSink& sink_;
  size_t seen_ = 0;
};

}  // namespace

void set_url_limits_source(UrlLimitsSource source) { g_limits_source = source; }

bool is_url(const char* text) {
  if (text == nullptr) return false;
  const std::string_view t = text;
  return t.starts_with("http://") || t.starts_with("https://");
}

std::string_view url_shown(std::string_view url, std::span<char> slot) {
  url = url.substr(0, url.find_first_of("?#"));
  const size_t host = url.find("://");
  const size_t at = url.find('@', host == std::string_view::npos ? 0 : host);
  const size_t path = url.find('/', host == std::string_view::npos ? 0 : host + 3);
  if (host != std::string_view::npos && at != std::string_view::npos && at < path) {
    format_text(slot, "%.*s%.*s", static_cast<int>(host + 3), url.data(),
                static_cast<int>(url.size() - at - 1), url.data() + at + 1);
  } else {
    platform::copy_text(slot, url);
  }
  return platform::slot_text(slot);
}

bool url_signature(std::string_view url, std::span<char> slot) {
  const size_t cut = std::min(url.find_first_of("?#"), url.size());
  return url.size() + 4 <= URL_TEXT_MAX &&
         format_text(slot, "%.*s.sig%.*s", static_cast<int>(cut), url.data(),
                     static_cast<int>(url.size() - cut), url.data() + cut);
}

int url_fail(const char* url, int code, const char* reason) {
  std::array<char, URL_TEXT_SIZE> shown{};
  const std::string_view text = url_shown(url != nullptr ? url : "", shown);
  core::info_printf("[Error] Download Fail(%.*s)(%s)!\n", static_cast<int>(text.size()),
                    text.data(), reason);
  g_last_error = code;
  return code;
}

bool url_too_long(const char* path) {
  if (!is_url(path) || std::strlen(path) <= URL_TEXT_MAX) return false;
  (void)url_fail(path, URL_UNUSABLE, "longer than 2048 characters");
  return true;
}

int url_read_header(const char* url, UrlHeader* header) {
  if (url == nullptr || header == nullptr) return URL_UNUSABLE;
  if (url_too_long(url)) return URL_UNUSABLE;
  HeaderMemo* memo = memo_find(url);
  if (memo == nullptr) {
    HeaderMemo& slot = g_memo[g_memo_next];
    slot = HeaderMemo{};
    BufferSink sink(url, slot.bytes);
    Fetch fetch(url, -1, image::HEADER_SIZE, sink);
    if (const int r = fetch.run(); r != URL_OK) return r;
    // Without a length nothing can be checked against the header before it is written.
    if (fetch.total() < 0) return url_fail(url, URL_OTHER_LENGTH, "the server names no length");
    platform::copy_text(slot.url, url);
    slot.length = sink.filled();
    slot.total = fetch.total();
    g_memo_next = (g_memo_next + 1) % g_memo.size();
    memo = &slot;
  }
  header->bytes = std::span<const uint8_t>(memo->bytes).first(memo->length);
  header->total = memo->total;
  return URL_OK;
}

int url_stream(const char* url, UrlSink& sink) {
  UrlHeader header;
  if (const int r = url_read_header(url, &header); r != URL_OK) return r;
  HeaderGuard guard(url, header.bytes, sink);
  Fetch fetch(url, header.total, -1, guard);
  return fetch.run();
}

int url_fetch(const char* url, std::span<uint8_t> out, size_t* length) {
  if (url == nullptr || length == nullptr) return URL_UNUSABLE;
  BufferSink sink(url, out);
  Fetch fetch(url, -1, -1, sink);
  const int r = fetch.run();
  *length = sink.filled();
  return r;
}

int url_last_error() { return g_last_error; }

void url_forget() {
  // Only the names: every command starts here, and the slots' bytes are rewritten when used.
  for (HeaderMemo& memo : g_memo) memo.url[0] = '\0';
  g_memo_next = 0;
  g_last_error = URL_OK;
}

int url_answer_check(const UrlAnswer& answer, int64_t from, int64_t* total, std::span<char> why) {
  if (answer.status == 200) {
    if (from != 0) {
      format_text(why, "the server ignores the range (bytes=%lld-: HTTP 200)",
                  static_cast<long long>(from));
      return URL_IGNORES_RANGE;
    }
    return take_length(answer.content_length, total, why);
  }
  if (answer.status == 206) {
    int64_t first = 0;
    int64_t named = -1;
    if (!parse_content_range(answer.content_range, &first, &named) || first != from) {
      format_text(why, "the server ignores the range (bytes=%lld-: Content-Range \"%.*s\")",
                  static_cast<long long>(from), static_cast<int>(answer.content_range.size()),
                  answer.content_range.data());
      return URL_IGNORES_RANGE;
    }
    return take_length(named, total, why);
  }
  format_text(why, "HTTP %ld", answer.status);
  return URL_HTTP_STATUS;
}

}  // namespace vorn::storage
