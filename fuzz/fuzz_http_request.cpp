// Fuzzes the metrics endpoint's request reader with arbitrary bytes, as a
// client may send them, checked two ways: against a reference that reads the
// same grammar line by line with std::string, and against itself on the
// input's prefixes, which must read as incomplete until the moment it
// decides, and as that same decision from then on (the endpoint reads a
// request as its bytes come, in any pieces).
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "ssm_monitor/http_request.h"

namespace {

[[noreturn]] void disagree(const char* what, std::size_t size, long long got, long long want) {
  (void)std::fprintf(stderr, "fuzz_http_request: %s (of %zu bytes): got %lld, want %lld\n", what,
                     size, got, want);
  std::abort();
}

bool token(const std::string& text) {
  static const std::string others = "!#$%&'*+-.^_`|~";
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || others.find(c) != std::string::npos;
  });
}

bool good_request_line(const std::string& line, http_request* found) {
  std::size_t first = line.find(' ');
  std::size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
  if (second == std::string::npos || line.find(' ', second + 1) != std::string::npos) {
    return false;
  }
  std::string method = line.substr(0, first);
  std::string target = line.substr(first + 1, second - first - 1);
  std::string version = line.substr(second + 1);
  if (!token(method) || target.empty() || version.size() != 8 ||
      version.compare(0, 7, "HTTP/1.") != 0 || version[7] < '0' || version[7] > '9') {
    return false;
  }
  if (std::any_of(target.begin(), target.end(), [](char c) {
        return static_cast<unsigned char>(c) <= ' ' || static_cast<unsigned char>(c) >= 0x7f;
      })) {
    return false;
  }
  found->method = method == "GET" ? method_get : method == "HEAD" ? method_head : method_other;
  found->metrics = target.substr(0, target.find('?')) == "/metrics";
  return true;
}

bool good_header_line(const std::string& line) {
  std::size_t colon = line.find(':');
  if (colon == std::string::npos || !token(line.substr(0, colon))) {
    return false;
  }
  std::string field = line.substr(colon + 1);
  return std::none_of(field.begin(), field.end(), [](char c) {
    auto u = static_cast<unsigned char>(c);
    return (u < ' ' && u != '\t') || u == 0x7f;
  });
}

// The reference: line by line, each ended by LF (a CR before it dropped).
// Returns the decision its whole lines make, request_incomplete when they
// make none.
http_reading reference(const std::string& data, http_request* found) {
  std::size_t at = 0;
  for (int number = 0;; ++number) {
    std::size_t end = data.find('\n', at);
    if (end == std::string::npos) {
      return request_incomplete;
    }
    std::string line = data.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (line.find('\r') != std::string::npos) {
      return request_malformed;
    }
    if (number == 0) {
      if (!good_request_line(line, found)) {
        return request_malformed;
      }
    } else if (line.empty()) {
      found->size = at;
      return request_complete;
    } else if (!good_header_line(line)) {
      return request_malformed;
    }
  }
}

void check_same(const char* what, std::size_t size, http_reading got, const http_request& request,
                http_reading want, const http_request& wanted) {
  if (got != want) {
    disagree(what, size, got, want);
  }
  if (got == request_complete &&
      (request.size != wanted.size || request.method != wanted.method ||
       request.metrics != wanted.metrics)) {
    disagree(what, size, static_cast<long long>(request.size),
             static_cast<long long>(wanted.size));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  http_request request{};
  http_reading reading = read_http_request(text.data(), size, &request);
  http_request wanted{};
  http_reading want = reference(text, &wanted);
  if (want != request_incomplete) {
    check_same("the reference's decision", size, reading, request, want, wanted);
  } else if (reading == request_complete) {
    disagree("complete without its blank line", size, reading, want);
  }
  // Every prefix: incomplete until the decision, then the same one. Every
  // one of a short input, a sample of a long one.
  std::size_t step = size <= 512 ? 1 : size / 512;
  http_reading before = request_incomplete;
  http_request decided{};
  for (std::size_t part = 0; part <= size; part += step) {
    http_request found{};
    // A copy of its own size, so that a read past it is a sanitizer's report.
    std::unique_ptr<char[]> prefix(new char[part > 0 ? part : 1]);
    std::memcpy(prefix.get(), text.data(), part);
    http_reading now = read_http_request(prefix.get(), part, &found);
    if (before != request_incomplete) {
      check_same("a longer prefix", part, now, found, before, decided);
    }
    before = now;
    decided = found;
  }
  return 0;
}
