#include "ssm_monitor/metrics_server.h"

#include <cstdio>
#include <new>
#include <string>

#include "core/exit_status.h"
#include "core/ssm_receiver.h"
#include "platform/process.h"
#include "platform/readiness.h"
#include "platform/socket.h"
#include "ssm_monitor/http_request.h"
#include "ssm_monitor/metrics_text.h"

namespace {

const std::size_t request_most = 8192;
const std::int64_t request_time_us = 5000000;
const std::int64_t answer_time_us = 10000000;

// How many texts may be held at once, for the answers on their way.
const int texts_most = 4;

// How many connections one readiness of the listening socket takes at most:
// a flood of them cannot hold up the channels.
const int accepts_most = 256;

// Room for an answer's head, and the body of an answer that is not the text.
const std::size_t head_room = 384;

// A text of the figures and the answers sending it.
struct held_text {
  std::string text;
  std::int64_t made_us;  // the loop round that made it
  int readers;
};

// One client.
struct connection {
  ssm_socket socket;        // ssm_no_socket: a free place
  std::int64_t since_us;    // when it came, then when its answer began
  bool answering;
  std::size_t received;
  char request[request_most];
  char head[head_room];     // the answer's head (and a short body of its own)
  std::size_t head_size;
  int text;                 // the held text its body is; -1: none
  std::size_t body_size;
  std::size_t sent;         // of the head, then of the body
};

}  // namespace

struct metrics_server {
  ssm_socket listener;
  bool accepting;  // false after a failed accept, until the next look
  connection clients[connections_most];
  held_text texts[texts_most];
};

namespace {

void close_client(monitor* m, connection* client) {
  platform_unwatch_socket(m->ready, client->socket);
  platform_close_socket(client->socket);
  client->socket = ssm_no_socket;
  if (client->text >= 0) {
    --m->server->texts[client->text].readers;
  }
}

// The text for an answer of this round: the one made this round, or a new
// one in a place no answer holds, or where every place is held, the newest.
int text_for_now(monitor* m, std::int64_t now_us) {
  held_text* texts = m->server->texts;
  int newest = -1;
  int free = -1;
  for (int i = 0; i < texts_most; ++i) {
    if (texts[i].made_us == now_us && !texts[i].text.empty()) {
      return i;
    }
    if (texts[i].readers == 0 && free < 0) {
      free = i;
    }
    if (newest < 0 || texts[i].made_us > texts[newest].made_us) {
      newest = i;
    }
  }
  if (free < 0) {
    return newest;
  }
  process_figures process{};
  platform_process_figures(&process);
  render_metrics(m, &process, &texts[free].text);
  texts[free].made_us = now_us;
  return free;
}

// Sends what the client's answer has left, as far as the socket takes it;
// closes the connection when all went, or the client is gone.
void send_more(monitor* m, connection* client) {
  for (;;) {
    std::size_t total = client->head_size + client->body_size;
    if (client->sent == total) {
      close_client(m, client);
      return;
    }
    const char* data = client->head + client->sent;
    std::size_t left = client->head_size - client->sent;
    if (client->sent >= client->head_size) {
      std::size_t at = client->sent - client->head_size;
      data = m->server->texts[client->text].text.data() + at;
      left = client->body_size - at;
    }
    long sent = platform_send_stream(client->socket, data, left);
    if (sent < 0) {
      close_client(m, client);
      return;
    }
    if (sent == 0) {
      return;  // the socket is full: its readiness for writing brings the rest
    }
    client->sent += static_cast<std::size_t>(sent);
  }
}

// Starts the answer to what the client asked (nullptr: a malformed request).
void answer(monitor* m, connection* client, const http_request* request, std::int64_t now_us) {
  const char* status = "400 Bad Request";
  const char* extra = "";
  const char* body = "bad request\n";
  bool text = false;
  if (request != nullptr && !request->metrics) {
    status = "404 Not Found";
    body = "not found: the metrics are at /metrics\n";
  } else if (request != nullptr && request->method == method_other) {
    status = "405 Method Not Allowed";
    extra = "Allow: GET, HEAD\r\n";
    body = "method not allowed: GET or HEAD\n";
  } else if (request != nullptr) {
    status = "200 OK";
    text = true;
  }
  // A HEAD answer says the length of the body it leaves out.
  bool head_only = request != nullptr && request->method == method_head;
  std::size_t length = std::char_traits<char>::length(body);
  if (text) {
    client->text = text_for_now(m, now_us);
    held_text& held = m->server->texts[client->text];
    ++held.readers;
    length = held.text.size();
    body = "";
  }
  int size = std::snprintf(client->head, sizeof client->head,
                           "HTTP/1.1 %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\n%s"
                           "Connection: close\r\n\r\n%s",
                           status, text ? metrics_content_type : "text/plain; charset=utf-8",
                           length, extra, head_only ? "" : body);
  // Fits: the longest head and short body are a third of the room.
  client->head_size = size > 0 ? static_cast<std::size_t>(size) : 0;
  client->body_size = text && !head_only ? length : 0;
  client->sent = 0;
  client->answering = true;
  client->since_us = now_us;
  auto tag = connection_tag_first + static_cast<std::uint32_t>(client - m->server->clients);
  if (platform_watch_socket_writing(m->ready, client->socket, tag) != 0) {
    close_client(m, client);
    return;
  }
  send_more(m, client);
}

// Reads what came of the client's request, and answers once it is whole.
void read_request(monitor* m, connection* client, std::int64_t now_us) {
  long got = platform_receive_stream(client->socket, client->request + client->received,
                                     request_most - client->received);
  if (got == receive_nothing) {
    return;
  }
  if (got <= 0) {
    close_client(m, client);  // gone before it asked
    return;
  }
  client->received += static_cast<std::size_t>(got);
  http_request request{};
  http_reading reading = read_http_request(client->request, client->received, &request);
  if (reading == request_incomplete) {
    if (client->received == request_most) {
      close_client(m, client);  // too large
    }
    return;
  }
  answer(m, client, reading == request_complete ? &request : nullptr, now_us);
}

void take_clients(monitor* m, std::int64_t now_us) {
  metrics_server* server = m->server;
  for (int taken = 0; taken < accepts_most; ++taken) {
    ssm_socket socket = ssm_no_socket;
    int result = platform_accept(server->listener, &socket);
    if (result == 0) {
      return;
    }
    if (result < 0) {
      // Say, no descriptor left: the next look takes them again, and the
      // loop does not spin on a listener that stays ready meanwhile.
      platform_unwatch_socket(m->ready, server->listener);
      server->accepting = false;
      return;
    }
    int place = 0;
    while (place < connections_most && server->clients[place].socket != ssm_no_socket) {
      ++place;
    }
    auto tag = connection_tag_first + static_cast<std::uint32_t>(place);
    if (place == connections_most || platform_watch_socket(m->ready, socket, tag, false) != 0) {
      platform_close_socket(socket);  // too many at once
      continue;
    }
    connection& client = server->clients[place];
    client.socket = socket;
    client.since_us = now_us;
    client.answering = false;
    client.received = 0;
    client.text = -1;
  }
}

}  // namespace

int open_metrics_server(monitor* m) {
  const listen_place& place = m->options->listen;
  char what[80];
  (void)std::snprintf(what, sizeof what, "listen on %s", place.text);
  auto* server = new (std::nothrow) metrics_server();
  if (server == nullptr) {
    print_failure(m->program, what, "out of memory");
    return exit_failure;
  }
  server->listener = platform_listen_tcp(&place.address, place.port);
  if (server->listener == ssm_no_socket ||
      platform_watch_socket(m->ready, server->listener, listener_tag, false) != 0) {
    print_failure(m->program, what, platform_socket_error_text());
    delete server;
    return exit_failure;
  }
  server->accepting = true;
  for (connection& client : server->clients) {
    client.socket = ssm_no_socket;
  }
  for (held_text& held : server->texts) {
    held.made_us = -1;
    held.readers = 0;
  }
  m->server = server;
  return 0;
}

bool metrics_tag(std::uint32_t tag) {
  return tag == listener_tag ||
         (tag >= connection_tag_first &&
          tag < connection_tag_first + static_cast<std::uint32_t>(connections_most));
}

void serve_metrics(monitor* m, std::uint32_t tag, std::int64_t now_us) {
  if (m->server == nullptr) {
    return;
  }
  if (tag == listener_tag) {
    take_clients(m, now_us);
    return;
  }
  connection* client = &m->server->clients[tag - connection_tag_first];
  if (client->socket == ssm_no_socket) {
    return;  // closed earlier in this round
  }
  if (client->answering) {
    send_more(m, client);
  } else {
    read_request(m, client, now_us);
  }
}

void look_at_clients(monitor* m, std::int64_t now_us) {
  metrics_server* server = m->server;
  if (server == nullptr) {
    return;
  }
  for (connection& client : server->clients) {
    std::int64_t most_us = client.answering ? answer_time_us : request_time_us;
    if (client.socket != ssm_no_socket && now_us - client.since_us >= most_us) {
      close_client(m, &client);
    }
  }
  if (!server->accepting &&
      platform_watch_socket(m->ready, server->listener, listener_tag, false) == 0) {
    server->accepting = true;
  }
}
