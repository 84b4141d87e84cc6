#pragma once

// Images on an update server: an "http://" or "https://" URL wherever an image source is taken.
// A URL is no locator: its header is fetched with a range request and remembered for the
// command, so that every check of the image sees the same bytes, and the whole file is then
// streamed from byte 0 into a sink, resumed with range requests when the connection drops.
// Every wait is bounded (connect, stall, resumes); TLS verifies the server against
// "/etc/vorn/ca.pem" when it exists, else against the system's certificates.
//
// Failures print "[Error] Download Fail(<URL>)(<reason>)!" at normal verbosity, naming the URL
// without its query string (which may hold a token), and give a URL_* code.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace vorn::storage {

inline constexpr size_t URL_TEXT_MAX = 2048;
inline constexpr size_t URL_TEXT_SIZE = URL_TEXT_MAX + 1;

inline constexpr int URL_OK = 0;
inline constexpr int URL_UNUSABLE = -30;          // too long, malformed, or libcurl not loadable
inline constexpr int URL_CONNECT_FAILED = -31;    // no route, refused, name not resolved
inline constexpr int URL_TLS_FAILED = -32;        // handshake or server certificate
inline constexpr int URL_HTTP_STATUS = -33;       // 404, or any answer but 200 and 206
inline constexpr int URL_TIMED_OUT = -34;         // no connection, or no byte, for the stall time
inline constexpr int URL_CUT = -35;               // the connection kept dropping (resumes spent)
inline constexpr int URL_IGNORES_RANGE = -36;     // a resume answered from another byte
inline constexpr int URL_OTHER_LENGTH = -37;      // another length than first named or needed
inline constexpr int URL_HEADER_CHANGED = -38;    // the stream does not begin with the header
inline constexpr int URL_INTO_BOOTED_COPY = -39;  // nothing streamed can be verified first

// How long a fetch waits and how often it resumes; a device maker sets them as properties.
struct UrlLimits {
  int stall_seconds = 30;  // connect, and no byte received, for this long: a stall
  int retries = 5;         // resumes of one fetch after a cut or a stall
};
// Where the limits come from; called at each fetch. Null: the defaults above.
using UrlLimitsSource = UrlLimits (*)();
void set_url_limits_source(UrlLimitsSource source);

// Whether the text names an image on a server ("http://" or "https://" at its start).
[[nodiscard]] bool is_url(const char* text);

// The URL as messages show it: without user information, query string and fragment, cut to
// the slot. Returns the slot's text.
std::string_view url_shown(std::string_view url, std::span<char> slot);

// The URL of an image's signature: ".sig" appended to the path, before any query string
// (a token in it stays a token). False when it does not fit the slot.
[[nodiscard]] bool url_signature(std::string_view url, std::span<char> slot);

// The header of the image at url: its first 1024 bytes (fewer when the file is shorter), and
// the file's length as the server names it. Fetched once per command (see url_forget); the
// bytes stay valid until then. URL_OK or a URL_* failure (message printed); a server that
// names no length is refused (URL_OTHER_LENGTH).
struct UrlHeader {
  std::span<const uint8_t> bytes;
  int64_t total = 0;
};
[[nodiscard]] int url_read_header(const char* url, UrlHeader* header);

// Receives a stream in order. consume returns 0 to go on, or a code of its own (which ends the
// stream with that code; the sink prints its own message).
class UrlSink {
 public:
  [[nodiscard]] virtual int consume(std::span<const uint8_t> bytes) = 0;

 protected:
  ~UrlSink() = default;
};

// Streams the whole file at url from byte 0 into sink, resuming after cuts and stalls. The
// length must be the one the header fetch learned and the first bytes must be its header
// (read first here when the command has not). URL_OK once the sink had every byte; otherwise
// a URL_* failure (message printed) or the sink's code.
[[nodiscard]] int url_stream(const char* url, UrlSink& sink);

// The whole (small) file at url into out. URL_OK with its length in *length; a file larger
// than out is URL_OTHER_LENGTH. Failures as url_stream's.
[[nodiscard]] int url_fetch(const char* url, std::span<uint8_t> out, size_t* length);

// Prints the failure message for url with the reason and records the code; returns it.
int url_fail(const char* url, int code, const char* reason);

// Whether path is a URL too long to be used (message printed, URL_UNUSABLE recorded): to be
// asked before a header is prepared for it, which would refuse the text without a word.
[[nodiscard]] bool url_too_long(const char* path);

// The code of the last failure since url_forget, or URL_OK: for callers that see only a failed
// read of the header.
[[nodiscard]] int url_last_error();

// Forgets the headers fetched and the last failure; run at the start of every command.
void url_forget();

// One answer of a server to a request for the bytes from `from` on, as the transfer checks
// it before it takes a byte: 200 only from byte 0, and with a Content-Length (when it names
// one) equal to *total; 206 only with a Content-Range that starts at `from` and names *total;
// anything else is refused. *total (-1 while unknown) takes the length the answer names.
// URL_OK, or URL_IGNORES_RANGE, URL_OTHER_LENGTH, URL_HTTP_STATUS with the reason in why.
struct UrlAnswer {
  long status = 0;
  int64_t content_length = -1;     // -1 when not named
  std::string_view content_range;  // the header's value, empty when absent
};
[[nodiscard]] int url_answer_check(const UrlAnswer& answer, int64_t from, int64_t* total,
                                   std::span<char> why);

}  // namespace vorn::storage
