#include "ssm_monitor/metrics_text.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <vector>

#ifndef SSM_VERSION
#error "SSM_VERSION: the project's version, set by CMake"
#endif

const char metrics_content_type[] = "text/plain; version=0.0.4; charset=utf-8";

namespace {

// One family: its name, type and help.
struct family {
  const char* name;
  const char* type;
  const char* help;
};

void start_family(std::string* out, const family& f) {
  out->append("# HELP ").append(f.name).append(" ").append(f.help).append("\n");
  out->append("# TYPE ").append(f.name).append(" ").append(f.type).append("\n");
}

void append_integer(std::string* out, long long value) {
  char text[24];
  auto written = std::to_chars(text, text + sizeof text, value);
  out->append(text, static_cast<std::size_t>(written.ptr - text));
}

// A figure of the process: whole numbers as such, others to the
// millisecond (seconds) or better.
void append_figure(std::string* out, double value) {
  if (value == std::floor(value) && value < 9e15) {
    append_integer(out, static_cast<long long>(value));
    return;
  }
  char text[48];
  int size = std::snprintf(text, sizeof text, "%.3f", value);
  out->append(text, size > 0 ? static_cast<std::size_t>(size) : 0);
}

// A sample of a family without labels.
void plain_sample(std::string* out, const family& f, double value) {
  start_family(out, f);
  out->append(f.name).append(" ");
  append_figure(out, value);
  out->append("\n");
}

// The labels of a channel's series, "{group=...,name=\"...\"" without the
// closing brace, so that the silence's cause can follow.
void channel_labels(std::string* out, const monitor_channel& channel) {
  out->append("{group=\"");
  append_label_value(out, channel.group);
  out->append("\",source=\"");
  append_label_value(out, channel.source);
  out->append("\",port=\"");
  append_integer(out, channel.receiver.channel.port);
  out->append("\",interface=\"");
  append_label_value(out, channel.receiver.host.interface_name);
  out->append("\",name=\"");
  append_label_value(out, channel.entry.name);
  out->append("\"");
}

// A family of one series a channel: what it takes of the channel (a
// negative value: no series), and whether that is a moment in milliseconds,
// written as seconds.
struct channel_family {
  family f;
  long long (*value)(const monitor_channel& channel);
  bool moment;
};

const channel_family channel_families[] = {
    {{"ssm_channel_datagrams_total", "counter", "Datagrams from the channel's source."},
     [](const monitor_channel& c) -> long long { return c.datagrams; }, false},
    {{"ssm_channel_bytes_total", "counter", "Payload bytes of the datagrams from the source."},
     [](const monitor_channel& c) -> long long { return c.bytes; }, false},
    {{"ssm_channel_missing_total", "counter",
      "Sequence numbers found missing; one that comes late afterwards counts out of order, "
      "and this never goes down."},
     [](const monitor_channel& c) -> long long { return c.tally.missing_found; }, false},
    {{"ssm_channel_duplicates_total", "counter", "Sequence numbers that came again."},
     [](const monitor_channel& c) -> long long { return c.tally.duplicates; }, false},
    {{"ssm_channel_out_of_order_total", "counter", "Sequence numbers that came late."},
     [](const monitor_channel& c) -> long long { return c.tally.out_of_order; }, false},
    {{"ssm_channel_jumps_total", "counter", "Jumps of the sequence numbers (a restarted sender)."},
     [](const monitor_channel& c) -> long long { return c.tally.jumps; }, false},
    {{"ssm_channel_other_senders_datagrams_total", "counter",
      "Datagrams to the channel's socket from other senders."},
     [](const monitor_channel& c) -> long long { return c.others; }, false},
    // -1 where the system does not count them.
    {{"ssm_channel_host_dropped_total", "counter",
      "Datagrams the channel's socket dropped before they were read (a full queue); absent "
      "where the system does not count them."},
     [](const monitor_channel& c) -> long long { return c.host_dropped; }, false},
    {{"ssm_channel_up", "gauge",
      "1 while the channel flows (a datagram came within the silence time, -s), else 0."},
     [](const monitor_channel& c) -> long long { return c.up ? 1 : 0; }, false},
    {{"ssm_channel_joined", "gauge", "1 while the membership is held, else 0."},
     [](const monitor_channel& c) -> long long { return c.receiver.joined ? 1 : 0; }, false},
    {{"ssm_channel_last_datagram_timestamp_seconds", "gauge",
      "When the last datagram came, in seconds since 1970 (absent before the first)."},
     [](const monitor_channel& c) -> long long { return c.last_unix_ms > 0 ? c.last_unix_ms : -1; },
     true},
};

void append_channel_families(std::string* out, const std::vector<const monitor_channel*>& all,
                             const std::vector<std::string>& labels) {
  for (const channel_family& family : channel_families) {
    start_family(out, family.f);
    for (std::size_t k = 0; k < all.size(); ++k) {
      long long value = family.value(*all[k]);
      if (value < 0) {
        continue;
      }
      out->append(family.f.name).append(labels[k]).append("} ");
      if (family.moment) {
        char text[32];
        int size = std::snprintf(text, sizeof text, "%lld.%03lld", value / 1000, value % 1000);
        out->append(text, size > 0 ? static_cast<std::size_t>(size) : 0);
      } else {
        append_integer(out, value);
      }
      out->append("\n");
    }
  }
  start_family(out, family{"ssm_channel_silence_cause", "gauge",
                           "1 while the channel is silent, with the cause of the silence as the "
                           "silent event gave it; absent while it flows."});
  for (std::size_t k = 0; k < all.size(); ++k) {
    if (all[k]->silence_cause != nullptr) {
      out->append("ssm_channel_silence_cause").append(labels[k]).append(",cause=\"");
      append_label_value(out, all[k]->silence_cause);
      out->append("\"} 1\n");
    }
  }
}

void append_process_families(std::string* out, const process_figures* process) {
  const struct {
    family f;
    double value;
  } figures[] = {
      {{"process_cpu_seconds_total", "counter", "User and system CPU time spent, in seconds."},
       process->cpu_s},
      {{"process_start_time_seconds", "gauge",
        "When the process started, in seconds since 1970."},
       process->start_unix_s},
      {{"process_resident_memory_bytes", "gauge", "Resident memory, in bytes."},
       process->resident_bytes},
      {{"process_virtual_memory_bytes", "gauge",
        "Virtual memory, in bytes (Windows: committed privately)."},
       process->virtual_bytes},
      {{"process_open_fds", "gauge", "Open file descriptors (Windows: handles)."},
       process->open_files},
      {{"process_max_fds", "gauge", "The limit of open file descriptors."}, process->most_files},
  };
  for (const auto& figure : figures) {
    if (figure.value >= 0) {
      plain_sample(out, figure.f, figure.value);
    }
  }
}

}  // namespace

void append_label_value(std::string* out, const char* text) {
  for (const char* at = text; *at != '\0'; ++at) {
    switch (*at) {
      case '\\':
        out->append("\\\\");
        break;
      case '"':
        out->append("\\\"");
        break;
      case '\n':
        out->append("\\n");
        break;
      default:
        out->push_back(*at);
    }
  }
}

void render_metrics(const monitor* m, const process_figures* process, std::string* out) {
  out->clear();
  std::vector<const monitor_channel*> all;
  all.reserve(m->slots.size());
  for (const monitor_channel* channel : m->slots) {
    if (channel != nullptr) {
      all.push_back(channel);
    }
  }
  // Each channel's labels once, for all its series.
  std::vector<std::string> labels(all.size());
  for (std::size_t k = 0; k < all.size(); ++k) {
    channel_labels(&labels[k], *all[k]);
  }
  // About what a channel's series take, so that the text grows once.
  out->reserve(all.size() * 1600 + 2048);
  start_family(out, family{"ssm_monitor_build_info", "gauge",
                           "1, with the version of ssm_monitor as a label."});
  out->append("ssm_monitor_build_info{version=\"" SSM_VERSION "\"} 1\n");
  plain_sample(out, family{"ssm_monitor_channels", "gauge", "Channels monitored."},
               static_cast<double>(all.size()));
  append_channel_families(out, all, labels);
  append_process_families(out, process);
}
