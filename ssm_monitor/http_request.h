// An HTTP/1.x request as the metrics endpoint reads it: the request line and
// the header lines up to the blank line that ends them; a body is never
// read. Knows no system, so that a fuzzer can drive it.
#ifndef SSM_MONITOR_HTTP_REQUEST_H
#define SSM_MONITOR_HTTP_REQUEST_H

#include <cstddef>

// What the request asks for.
enum http_method { method_get, method_head, method_other };

// How far the bytes that came so far go.
enum http_reading {
  request_incomplete,  // good so far: more must come
  request_complete,    // a whole request, up to its blank line
  request_malformed    // no more bytes can make it a request
};

// A complete request.
struct http_request {
  http_method method;
  bool metrics;      // its path is /metrics (a query after '?' aside)
  std::size_t size;  // its bytes, the blank line included
};

// Reads the request at the start of data (size bytes; no NUL needed). Lines
// end in CR LF or LF alone; a header line that starts with a blank (a
// folded one), a control character other than a tab, a bare CR or an HTTP
// version other than 1.x is malformed. Fills *request when complete.
http_reading read_http_request(const char* data, std::size_t size, http_request* request);

#endif  // SSM_MONITOR_HTTP_REQUEST_H
