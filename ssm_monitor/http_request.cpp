#include "ssm_monitor/http_request.h"

#include <cstring>

namespace {

// A token's characters (RFC 9110): a method's and a header name's.
bool token_character(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

// A request target's characters: visible ASCII.
bool target_character(unsigned char c) {
  return c > ' ' && c < 0x7f;
}

// A header value's characters: visible, blanks and any byte over 0x7f.
bool value_character(unsigned char c) {
  return c == '\t' || (c >= ' ' && c != 0x7f);
}

// The bytes read so far, and where the reading is.
struct cursor {
  const unsigned char* data;
  std::size_t size;
  std::size_t at;
};

bool more(const cursor& c) {
  return c.at < c.size;
}

// Takes a run of characters that pass `good`; returns how many.
std::size_t take_run(cursor* c, bool (*good)(unsigned char)) {
  std::size_t start = c->at;
  while (more(*c) && good(c->data[c->at])) {
    ++c->at;
  }
  return c->at - start;
}

// A step of the reading: done, needs more bytes, or cannot be a request.
enum step { step_done, step_more, step_bad };

// Takes a line end: LF, or CR LF.
step take_line_end(cursor* c) {
  if (!more(*c)) {
    return step_more;
  }
  if (c->data[c->at] == '\r') {
    ++c->at;
    if (!more(*c)) {
      return step_more;
    }
  }
  if (c->data[c->at] != '\n') {
    return step_bad;
  }
  ++c->at;
  return step_done;
}

// Takes the exact text, or as much of it as came.
step take_text(cursor* c, const char* text) {
  for (; *text != '\0'; ++text) {
    if (!more(*c)) {
      return step_more;
    }
    if (c->data[c->at] != static_cast<unsigned char>(*text)) {
      return step_bad;
    }
    ++c->at;
  }
  return step_done;
}

bool same_text(const unsigned char* data, std::size_t size, const char* text) {
  return std::strlen(text) == size && std::memcmp(data, text, size) == 0;
}

// Takes a run of characters that pass `good`, at least one, and the blank
// after it; *start and *size say where the run is.
step take_word(cursor* c, bool (*good)(unsigned char), std::size_t* start, std::size_t* size) {
  *start = c->at;
  *size = take_run(c, good);
  if (!more(*c)) {
    return step_more;
  }
  if (*size == 0 || c->data[c->at] != ' ') {
    return step_bad;
  }
  ++c->at;
  return step_done;
}

// The request line: method, target, "HTTP/1." and a digit, its line end.
step take_request_line(cursor* c, http_request* request) {
  std::size_t method_at = 0;
  std::size_t method_size = 0;
  std::size_t target_at = 0;
  std::size_t target_size = 0;
  step word = take_word(c, token_character, &method_at, &method_size);
  if (word == step_done) {
    word = take_word(c, target_character, &target_at, &target_size);
  }
  if (word != step_done) {
    return word;
  }
  step version = take_text(c, "HTTP/1.");
  if (version != step_done) {
    return version;
  }
  if (!more(*c)) {
    return step_more;
  }
  if (c->data[c->at] < '0' || c->data[c->at] > '9') {
    return step_bad;
  }
  ++c->at;
  const unsigned char* method = c->data + method_at;
  request->method = same_text(method, method_size, "GET")    ? method_get
                    : same_text(method, method_size, "HEAD") ? method_head
                                                             : method_other;
  const unsigned char* target = c->data + target_at;
  const auto* query = static_cast<const unsigned char*>(std::memchr(target, '?', target_size));
  std::size_t path_size = query != nullptr ? static_cast<std::size_t>(query - target) : target_size;
  request->metrics = same_text(target, path_size, "/metrics");
  return take_line_end(c);
}

// One header line, "name: value"; or the blank line that ends them
// (*last then true).
step take_header_line(cursor* c, bool* last) {
  if (!more(*c)) {
    return step_more;
  }
  unsigned char first = c->data[c->at];
  if (first == '\r' || first == '\n') {
    *last = true;
    return take_line_end(c);
  }
  if (take_run(c, token_character) == 0) {
    return step_bad;  // a folded line, or no name
  }
  if (!more(*c)) {
    return step_more;
  }
  if (c->data[c->at] != ':') {
    return step_bad;
  }
  ++c->at;
  take_run(c, value_character);
  return take_line_end(c);
}

}  // namespace

http_reading read_http_request(const char* data, std::size_t size, http_request* request) {
  cursor c{reinterpret_cast<const unsigned char*>(data), size, 0};
  http_request found{};
  step taken = take_request_line(&c, &found);
  bool last = false;
  while (taken == step_done && !last) {
    taken = take_header_line(&c, &last);
  }
  if (taken == step_more) {
    return request_incomplete;
  }
  if (taken == step_bad) {
    return request_malformed;
  }
  found.size = c.at;
  *request = found;
  return request_complete;
}
