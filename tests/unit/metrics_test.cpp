// ssm_monitor's metrics that know no network: the request reader, -l's
// value, and the text Prometheus reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "ssm_monitor/http_request.h"
#include "ssm_monitor/metrics_text.h"
#include "ssm_monitor/monitor.h"
#include "ssm_monitor/monitor_options.h"

namespace {

http_reading read(const std::string& text, http_request* request) {
  return read_http_request(text.data(), text.size(), request);
}

std::string place(const char* text) {
  listen_place found{};
  return parse_listen_place(text, &found) ? found.text : "refused";
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

}  // namespace

TEST(HttpRequest, GetAndHeadOfMetricsAndWhatElseComes) {
  const std::string prometheus =
      "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1:9958\r\nUser-Agent: Prometheus/2.42.0\r\n"
      "Accept: application/openmetrics-text;version=1.0.0,text/plain;version=0.0.4;q=0.5\r\n"
      "X-Prometheus-Scrape-Timeout-Seconds: 1\r\n\r\n";
  http_request request{};
  ASSERT_EQ(read(prometheus + "left for later", &request), request_complete);
  EXPECT_EQ(request.method, method_get);
  EXPECT_TRUE(request.metrics);
  EXPECT_EQ(request.size, prometheus.size()) << "the request ends at its blank line";
  ASSERT_EQ(read("HEAD /metrics?debug=1 HTTP/1.0\n\n", &request), request_complete);
  EXPECT_EQ(request.method, method_head);
  EXPECT_TRUE(request.metrics) << "a query is not the path";
  ASSERT_EQ(read("POST /metrics HTTP/1.1\r\nContent-Length: 3\r\n\r\n", &request),
            request_complete);
  EXPECT_EQ(request.method, method_other);
  ASSERT_EQ(read("GET /metricsx HTTP/1.1\r\n\r\n", &request), request_complete);
  EXPECT_FALSE(request.metrics);
  ASSERT_EQ(read("get /metrics HTTP/1.1\r\n\r\n", &request), request_complete);
  EXPECT_EQ(request.method, method_other) << "methods are case-sensitive";
  // Every part of a request is incomplete, never malformed.
  for (std::size_t size = 0; size < prometheus.size(); ++size) {
    ASSERT_EQ(read(prometheus.substr(0, size), &request), request_incomplete) << size;
  }
}

TEST(HttpRequest, MalformedAsSoonAsNothingCanMendIt) {
  const char* malformed[] = {
      "GET  /metrics HTTP/1.1\r\n\r\n",            // two blanks
      "GET /metrics HTTP/2.0\r\n\r\n",             // not 1.x
      "GET /metrics HTTP/1.1 \r\n\r\n",            // after the version
      "GET /metrics HTTP/1.1\r\r\n\r\n",           // a bare CR
      "GET /met\x01rics HTTP/1.1\r\n\r\n",         // a control character in the path
      "GET /metrics HTTP/1.1\r\n folded\r\n\r\n",  // a folded header line
      "GET /metrics HTTP/1.1\r\nHost 1\r\n\r\n",   // no colon
      "GET /metrics HTTP/1.1\r\nX: a\x7f\r\n\r\n",  // DEL in a value
      "\r\nGET /metrics HTTP/1.1\r\n\r\n",         // nothing before the line end
  };
  http_request request{};
  for (const char* text : malformed) {
    EXPECT_EQ(read(text, &request), request_malformed) << text;
  }
  EXPECT_EQ(read(std::string("GET /\0", 6), &request), request_malformed);
  EXPECT_EQ(read("\x16\x03\x01\x02", &request), request_malformed) << "TLS, at its first byte";
  EXPECT_EQ(read("GET /metrics HTTP/1.", &request), request_incomplete);
}

TEST(MonitorOptions, ListenPlaces) {
  EXPECT_EQ(place("9958"), "127.0.0.1:9958") << "a port alone stays on this host";
  EXPECT_EQ(place("0.0.0.0:9958"), "0.0.0.0:9958");
  EXPECT_EQ(place("[::]:9958"), "[::]:9958");
  EXPECT_EQ(place("[0:0::1]:65535"), "[::1]:65535");
  for (const char* bad : {"0", "65536", "::1:9958", "[::1]9958", "[10.1.1.1]:1", "1.2.3:4",
                          "127.0.0.1:", "[::1]:", "", ":9958", "localhost:9958"}) {
    EXPECT_EQ(place(bad), "refused") << bad;
  }
}

TEST(MetricsText, EveryFamilyWithItsHelpTypeAndEscapedLabels) {
  static monitor m;  // large: the channels' tallies
  static monitor_channel flowing;
  static monitor_channel silent;
  std::strcpy(flowing.group, "232.1.2.3");
  std::strcpy(flowing.source, "10.1.1.1");
  flowing.receiver.channel.port = 5000;
  std::strcpy(flowing.receiver.host.interface_name, "eth\"1\\\n");
  std::strcpy(flowing.entry.name, "news");
  flowing.receiver.joined = true;
  flowing.up = true;
  flowing.datagrams = 97;
  flowing.bytes = 3104;
  flowing.tally.missing_found = 3;
  flowing.tally.duplicates = 1;
  flowing.tally.out_of_order = 2;
  flowing.tally.jumps = 4;
  flowing.others = 5;
  flowing.host_dropped = 6;
  flowing.last_unix_ms = 1796742245007;
  std::strcpy(silent.group, "ff3e::8000:1");
  std::strcpy(silent.source, "fd00:77::1");
  silent.receiver.channel.port = 5004;
  silent.host_dropped = -1;  // not counted here
  silent.silence_cause = "join_refused";
  m.slots = {&flowing, nullptr, &silent};
  m.channels = 2;
  process_figures process{1796742000.25, 1.5, 4096, -1, 12, -1};
  std::string text = "what was there before";
  render_metrics(&m, &process, &text);

  const char* families[][2] = {
      {"ssm_monitor_build_info", "gauge"},
      {"ssm_monitor_channels", "gauge"},
      {"ssm_channel_datagrams_total", "counter"},
      {"ssm_channel_bytes_total", "counter"},
      {"ssm_channel_missing_total", "counter"},
      {"ssm_channel_duplicates_total", "counter"},
      {"ssm_channel_out_of_order_total", "counter"},
      {"ssm_channel_jumps_total", "counter"},
      {"ssm_channel_other_senders_datagrams_total", "counter"},
      {"ssm_channel_host_dropped_total", "counter"},
      {"ssm_channel_up", "gauge"},
      {"ssm_channel_joined", "gauge"},
      {"ssm_channel_last_datagram_timestamp_seconds", "gauge"},
      {"ssm_channel_silence_cause", "gauge"},
      {"process_cpu_seconds_total", "counter"},
      {"process_start_time_seconds", "gauge"},
      {"process_resident_memory_bytes", "gauge"},
      {"process_open_fds", "gauge"},
  };
  // Each family: its HELP, its TYPE, then only its own samples.
  std::vector<std::string> lines = lines_of(text);
  std::size_t at = 0;
  for (const auto& family : families) {
    std::string name = family[0];
    ASSERT_LT(at + 1, lines.size()) << name;
    EXPECT_EQ(lines[at].rfind("# HELP " + name + " ", 0), 0U) << lines[at];
    EXPECT_EQ(lines[at + 1], "# TYPE " + name + " " + family[1]);
    at += 2;
    while (at < lines.size() && lines[at][0] != '#') {
      EXPECT_TRUE(lines[at].rfind(name + "{", 0) == 0 || lines[at].rfind(name + " ", 0) == 0)
          << lines[at];
      ++at;
    }
  }
  EXPECT_EQ(at, lines.size()) << "no family beyond these: virtual memory and the limit unknown";

  const std::string news =
      "{group=\"232.1.2.3\",source=\"10.1.1.1\",port=\"5000\",interface=\"eth\\\"1\\\\\\n\","
      "name=\"news\"";
  const std::string unnamed =
      "{group=\"ff3e::8000:1\",source=\"fd00:77::1\",port=\"5004\",interface=\"\",name=\"\"";
  for (const std::string& sample : {
           "ssm_monitor_build_info{version=\"" + std::string(SSM_TEST_VERSION) + "\"} 1",
           std::string("ssm_monitor_channels 2"),
           "ssm_channel_datagrams_total" + news + "} 97",
           "ssm_channel_datagrams_total" + unnamed + "} 0",
           "ssm_channel_bytes_total" + news + "} 3104",
           "ssm_channel_missing_total" + news + "} 3",
           "ssm_channel_duplicates_total" + news + "} 1",
           "ssm_channel_out_of_order_total" + news + "} 2",
           "ssm_channel_jumps_total" + news + "} 4",
           "ssm_channel_other_senders_datagrams_total" + news + "} 5",
           "ssm_channel_host_dropped_total" + news + "} 6",
           "ssm_channel_up" + news + "} 1",
           "ssm_channel_up" + unnamed + "} 0",
           "ssm_channel_joined" + news + "} 1",
           "ssm_channel_joined" + unnamed + "} 0",
           "ssm_channel_last_datagram_timestamp_seconds" + news + "} 1796742245.007",
           "ssm_channel_silence_cause" + unnamed + ",cause=\"join_refused\"} 1",
           std::string("process_cpu_seconds_total 1.500"),
           std::string("process_start_time_seconds 1796742000.250"),
           std::string("process_resident_memory_bytes 4096"),
           std::string("process_open_fds 12"),
       }) {
    EXPECT_NE(std::find(lines.begin(), lines.end(), sample), lines.end()) << sample;
  }
  // What a channel does not have is not said: no drops counted, no datagram
  // yet, no silence.
  for (const std::string& absent :
       {"ssm_channel_host_dropped_total" + unnamed, "ssm_channel_last_datagram_timestamp_seconds" +
        unnamed, "ssm_channel_silence_cause" + news}) {
    EXPECT_EQ(text.find(absent), std::string::npos) << absent;
  }
}
