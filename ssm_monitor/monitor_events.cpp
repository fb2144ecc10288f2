#include "ssm_monitor/monitor_events.h"

#include <cstdio>
#include <cstring>

#include "core/output.h"

namespace {

// Room for the longest line: a silence's reason names the interface, the
// source and the route back.
const std::size_t line_room = 4096;

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void civil_from_days(std::int64_t days, int* year, int* month, int* day) {
  days += 719468;
  std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  auto of_era = static_cast<unsigned>(days - era * 146097);
  unsigned year_of_era = (of_era - of_era / 1460 + of_era / 36524 - of_era / 146096) / 365;
  unsigned of_year = of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  unsigned shifted = (5 * of_year + 2) / 153;
  *day = static_cast<int>(of_year - (153 * shifted + 2) / 5 + 1);
  *month = static_cast<int>(shifted < 10 ? shifted + 3 : shifted - 9);
  *year = static_cast<int>(static_cast<std::int64_t>(year_of_era) + era * 400 + (*month <= 2 ? 1 : 0));
}

// Length of the UTF-8 sequence that starts text, 0 when it is not one.
std::size_t utf8_length(const unsigned char* text) {
  unsigned char lead = text[0];
  std::size_t size = 0;
  if (lead >= 0xc2 && lead <= 0xdf) {
    size = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    size = 3;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    size = 4;
  } else {
    return 0;
  }
  for (std::size_t i = 1; i < size; ++i) {
    if ((text[i] & 0xc0) != 0x80) {
      return 0;
    }
  }
  // Overlong forms and surrogates are not UTF-8.
  if ((lead == 0xe0 && text[1] < 0xa0) || (lead == 0xed && text[1] >= 0xa0) ||
      (lead == 0xf0 && text[1] < 0x90) || (lead == 0xf4 && text[1] >= 0x90)) {
    return 0;
  }
  return size;
}

// A line being put together, cut (never overrun) when it would not fit.
struct line_text {
  char text[line_room];
  std::size_t size;
};

void add_text(line_text* line, const char* text, std::size_t size) {
  if (size > sizeof line->text - 1 - line->size) {
    size = sizeof line->text - 1 - line->size;
  }
  std::memcpy(line->text + line->size, text, size);
  line->size += size;
}

void add(line_text* line, const char* text) {
  add_text(line, text, std::strlen(text));
}

void add_format_number(line_text* line, const char* format, long long value) {
  char text[32];
  int size = std::snprintf(text, sizeof text, format, value);
  add_text(line, text, size > 0 ? static_cast<std::size_t>(size) : 0);
}

void add_json_string(line_text* line, const char* key, const char* value) {
  add(line, ",\"");
  add(line, key);
  add(line, "\":\"");
  char escaped[line_room] = "";
  std::size_t size = json_escape(escaped, sizeof escaped, value);
  add_text(line, escaped, size);
  add(line, "\"");
}

void add_json_number(line_text* line, const char* key, long long value) {
  add(line, ",\"");
  add(line, key);
  add_format_number(line, "\":%lld", value);
}

const char* kind_name(monitor_event_kind kind) {
  switch (kind) {
    case event_joined:
      return "joined";
    case event_refused:
      return "refused";
    case event_up:
      return "up";
    case event_silent:
      return "silent";
    case event_missing:
      return "missing";
    case event_jump:
      return "jump";
    case event_host_dropped:
      return "host_dropped";
    case event_left:
      break;
  }
  return "left";
}

void json_line(line_text* line, const event_channel* channel, const monitor_event* event,
               const char* time) {
  add(line, "{\"time\":\"");
  add(line, time);
  add(line, "\"");
  add_json_string(line, "event", kind_name(event->kind));
  add_json_string(line, "group", channel->group);
  add_json_string(line, "source", channel->source);
  add_json_number(line, "port", channel->port);
  add_json_string(line, "interface", channel->interface);
  add_json_string(line, "name", channel->name);
  char number[32];
  switch (event->kind) {
    case event_refused:
      add_json_string(line, "reason", event->reason);
      break;
    case event_up:
      (void)std::snprintf(number, sizeof number, ",\"after_s\":%.3f", event->after_s);
      add(line, number);
      break;
    case event_silent:
      add_json_number(line, "for_s", event->for_s);
      add_json_string(line, "cause", event->cause);
      add_json_string(line, "reason", event->reason);
      if (event->link_datagrams >= 0) {
        add_json_number(line, "link_datagrams", event->link_datagrams);
      } else {
        add(line, ",\"link_datagrams\":null");
      }
      break;
    case event_missing:
      add_json_number(line, "count", event->count);
      add_json_string(line, "numbers", event->numbers);
      break;
    case event_jump:
      add_json_number(line, "from", event->from);
      add_json_number(line, "to", event->to);
      break;
    case event_host_dropped:
      add_json_number(line, "count", event->count);
      add_json_number(line, "total", event->total);
      break;
    default:
      break;
  }
  add(line, "}");
}

void text_line(line_text* line, const event_channel* channel, const monitor_event* event,
               const char* time) {
  add(line, time);
  add(line, " ");
  add(line, channel->group);
  if (channel->interface[0] != '\0') {
    add(line, "%");
    add(line, channel->interface);
  }
  add(line, " ");
  add(line, channel->source);
  add_format_number(line, " %lld", channel->port);
  if (channel->name[0] != '\0') {
    add(line, " ");
    add(line, channel->name);
  }
  add(line, " ");
  add(line, kind_name(event->kind));
  char words[96];
  switch (event->kind) {
    case event_refused:
      add(line, ": ");
      add(line, event->reason);
      break;
    case event_up:
      (void)std::snprintf(words, sizeof words, " after %.3f s", event->after_s);
      add(line, words);
      break;
    case event_silent:
      add_format_number(line, " for %lld s: ", event->for_s);
      add(line, event->cause);
      add(line, ": ");
      add(line, event->reason);
      break;
    case event_missing:
      add_format_number(line, " %lld: ", event->count);
      add(line, event->numbers);
      break;
    case event_jump:
      (void)std::snprintf(words, sizeof words, " from %d to %d", event->from, event->to);
      add(line, words);
      break;
    case event_host_dropped:
      add_format_number(line, " %lld", event->count);
      add_format_number(line, " (%lld in all)", event->total);
      break;
    default:
      break;
  }
}

}  // namespace

void format_utc(char* out, std::int64_t unix_ms) {
  std::int64_t seconds = unix_ms >= 0 ? unix_ms / 1000 : (unix_ms - 999) / 1000;
  auto ms = static_cast<int>(unix_ms - seconds * 1000);
  std::int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
  auto of_day = static_cast<int>(seconds - days * 86400);
  int year = 0;
  int month = 0;
  int day = 0;
  civil_from_days(days, &year, &month, &day);
  // Room for any year the clock can give; a real one takes four digits.
  char text[64];
  (void)std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", year, month, day,
                      of_day / 3600, of_day / 60 % 60, of_day % 60, ms);
  std::memcpy(out, text, utc_text_room - 1);
  out[utc_text_room - 1] = '\0';
}

std::size_t json_escape(char* out, std::size_t room, const char* text) {
  static const char hex[] = "0123456789abcdef";
  std::size_t used = 0;
  const auto* at = reinterpret_cast<const unsigned char*>(text);
  while (*at != '\0') {
    // What stands for the next character: at most six bytes.
    char piece[8] = "";
    std::size_t taken = 1;
    unsigned char c = *at;
    if (c == '"' || c == '\\') {
      piece[0] = '\\';
      piece[1] = static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7f) {
      (void)std::snprintf(piece, sizeof piece, "\\u00%c%c", hex[c >> 4], hex[c & 0x0f]);
    } else if (c < 0x80) {
      piece[0] = static_cast<char>(c);
    } else if ((taken = utf8_length(at)) > 0) {
      std::memcpy(piece, at, taken);
    } else {
      (void)std::snprintf(piece, sizeof piece, "\\ufffd");
      taken = 1;
    }
    std::size_t size = std::strlen(piece);
    if (used + size >= room) {
      break;
    }
    std::memcpy(out + used, piece, size);
    used += size;
    at += taken;
  }
  if (room > 0) {
    out[used] = '\0';
  }
  return used;
}

int write_event(const event_channel* channel, const monitor_event* event, bool json,
                std::int64_t unix_ms) {
  char time[utc_text_room];
  format_utc(time, unix_ms);
  line_text line;
  line.size = 0;
  if (json) {
    json_line(&line, channel, event, time);
  } else {
    text_line(&line, channel, event, time);
  }
  line.text[line.size++] = '\n';
  return append_output(line.text, line.size);
}
