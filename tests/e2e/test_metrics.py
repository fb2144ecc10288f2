"""ssm_monitor's metrics (-l, -o), the real program in a private network
namespace, read by curl-like clients, by promtool and by a real Prometheus
server that the test starts inside the namespace."""

import json
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import urllib.parse
import urllib.request

from harness import SOURCE, free_port, main, membership_held, run, send, wait_until
from test_monitor import MONITOR, MonitorTest, send_numbers

SAMPLE = re.compile(r'^([a-zA-Z_:][a-zA-Z0-9_:]*)(?:\{(.*)\})? (\S+)$')
LABEL = re.compile(r'([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\]|\\.)*)",?')
CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8"


def samples(text):
    """The samples of an exposition: [(name, {label: value}, value)]."""
    found = []
    for line in text.splitlines():
        if line.startswith("#"):
            continue
        match = SAMPLE.match(line)
        if match is None:
            raise AssertionError("not a sample: %r" % line)
        found.append((match.group(1), dict(LABEL.findall(match.group(2) or "")),
                      float(match.group(3))))
    return found


def value(text, family, group, **labels):
    """The value of one channel's series, None when it has none."""
    for found, have, number in samples(text):
        if found == family and have.get("group") == group and \
                all(have.get(k) == v for k, v in labels.items()):
            return number
    return None


def counted(text, group, datagrams):
    """text when it counts that many datagrams of the group's channel, else None."""
    if text is not None and value(text, "ssm_channel_datagrams_total", group) == datagrams:
        return text
    return None


def exchange(port, request, host="127.0.0.1", timeout=10):
    """Sends request (bytes) and returns all that comes back until the
    endpoint closes the connection."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    with socket.socket(family, socket.SOCK_STREAM) as client:
        client.settimeout(timeout)
        client.connect((host, port))
        client.sendall(request)
        answer = b""
        while True:
            piece = client.recv(65536)
            if not piece:
                return answer
            answer += piece


def answer_parts(answer):
    """(status line, {header: value}, body) of an HTTP answer."""
    head, _, body = answer.partition(b"\r\n\r\n")
    lines = head.decode("ascii").split("\r\n")
    headers = dict(line.split(": ", 1) for line in lines[1:])
    return lines[0], headers, body


def scrape(port, timeout=10):
    """GET /metrics: the body, or None while the endpoint does not answer."""
    try:
        answer = exchange(port, b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", timeout=timeout)
    except OSError:
        return None
    status, headers, body = answer_parts(answer)
    if status != "HTTP/1.1 200 OK" or int(headers["Content-Length"]) != len(body):
        raise AssertionError("not a whole answer: %r" % answer[:300])
    return body.decode("utf-8")


class Endpoint(MonitorTest):
    def test_answers_and_the_text_promtool_accepts(self):
        port, a, b = free_port(), free_port(), free_port()
        monitor = self.monitor("-j", "-s", 1, "-l", port, "232.9.1.1", SOURCE, a,
                               "232.9.1.2", SOURCE, b)
        self.events(monitor, 2)
        send_numbers([1, 2, 4], a, "232.9.1.1")
        self.events(monitor, 6)  # up, missing, and both silent
        answer = exchange(port, b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n")
        status, headers, body = answer_parts(answer)
        self.assertEqual((status, headers), ("HTTP/1.1 200 OK", {
            "Content-Type": CONTENT_TYPE, "Content-Length": str(len(body)),
            "Connection": "close"}))
        text = body.decode("utf-8")
        checked = subprocess.run(["promtool", "check", "metrics"], input=body,
                                 capture_output=True, timeout=30)
        self.assertEqual((checked.returncode, checked.stdout, checked.stderr), (0, b"", b""))
        self.assertEqual(value(text, "ssm_channel_datagrams_total", "232.9.1.1"), 3)
        self.assertEqual(value(text, "ssm_channel_missing_total", "232.9.1.1"), 1)
        self.assertEqual(value(text, "ssm_channel_silence_cause", "232.9.1.2",
                               cause="not_on_link"), 1)
        self.assertIn('ssm_monitor_build_info{version="', text)
        # HEAD: the same head, no body.
        head = answer_parts(exchange(port, b"HEAD /metrics HTTP/1.0\r\n\r\n"))
        self.assertEqual((head[0], head[1]["Content-Type"], head[2]),
                         ("HTTP/1.1 200 OK", CONTENT_TYPE, b""))
        # Another path, another method, and what is no request at all.
        for request, status, extra in (
                (b"GET /other HTTP/1.1\r\n\r\n", "404 Not Found", None),
                (b"POST /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n",
                 "405 Method Not Allowed", "GET, HEAD"),
                (b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", "400 Bad Request", None)):
            got, headers, body = answer_parts(exchange(port, request))
            self.assertEqual((got, headers.get("Allow"), headers["Connection"]),
                             ("HTTP/1.1 " + status, extra, "close"))
            self.assertEqual(int(headers["Content-Length"]), len(body))
        self.assertEqual(monitor.stop(signal.SIGTERM), 0)
        self.assertEqual(monitor.errors(), "")

    def test_ipv6_loopback_and_the_place_that_cannot_be_had(self):
        port, channel_port = free_port(), free_port()
        monitor = self.monitor("-s", 60, "-l", "[::1]:%d" % port, "232.9.2.1", SOURCE,
                               channel_port)
        self.text_events(monitor, 1)
        self.assertIn("ssm_monitor_channels 1\n", answer_parts(
            exchange(port, b"GET /metrics HTTP/1.1\r\n\r\n", host="::1"))[2].decode())
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as holder:
            holder.bind(("127.0.0.1", port))
            holder.listen()
            result = run(MONITOR, "-l", port, "232.9.2.2", SOURCE, channel_port)
            self.assertEqual((result.returncode, result.stdout, result.stderr.decode()),
                             (2, b"", "ssm_monitor: listen on 127.0.0.1:%d: Address already "
                                      "in use\n" % port))
        self.assertFalse(membership_held("232.9.2.2", SOURCE), "nothing joined")
        for bad in ("0", "::1:9958", "localhost:9958"):
            result = run(MONITOR, "-l", bad, "232.9.2.2", SOURCE, channel_port)
            self.assertEqual((result.returncode, result.stderr.decode()),
                             (1, "ssm_monitor: listen address '%s': not a port from 1 to 65535, "
                                 "or <address>:<port> (IPv6 in brackets: [::1]:9958)\n" % bad))
        self.assertEqual(monitor.stop(signal.SIGTERM), 0)


class Hostile(MonitorTest):
    """Clients that try to hold the endpoint up while a stream comes: the
    stream's count stays exact, and the endpoint answers again afterwards."""

    def test_hostile_clients_during_a_stream(self):
        port, channel_port = free_port(), free_port()
        monitor = self.monitor("-j", "-s", 5, "-l", port, "232.9.3.1", SOURCE, channel_port)
        self.events(monitor, 1)
        sender = subprocess.Popen([os.environ.get("SSM_SEND", "ssm_send"), "-c", "20000",
                                   "-r", "8000", "-l", "8", "232.9.3.1", SOURCE,
                                   str(channel_port)], stdout=subprocess.DEVNULL)
        self.addCleanup(sender.kill)
        said = {}

        def slow():
            # One byte a second: closed 5 s after it came.
            with socket.create_connection(("127.0.0.1", port), timeout=10) as client:
                started = time.monotonic()
                try:
                    for byte in b"GET /metrics HTTP/1.1\r\n":
                        client.sendall(bytes([byte]))
                        client.settimeout(1)
                        try:
                            if client.recv(1) == b"":
                                break
                        except socket.timeout:
                            pass
                except OSError:
                    pass
                said["slow"] = time.monotonic() - started

        def large():
            # 10 MiB of request: closed at 8 KiB, unanswered.
            sent = 0
            with socket.create_connection(("127.0.0.1", port), timeout=10) as client:
                try:
                    chunk = b"GET /metrics HTTP/1.1\r\nX: " + b"a" * 65536
                    while sent < 10 << 20:
                        client.sendall(chunk)
                        sent += len(chunk)
                except OSError:
                    pass
            said["large"] = sent

        def crowd():
            # 200 at once: those beyond 64 are closed as soon as they come.
            clients = []
            for _ in range(200):
                client = socket.create_connection(("127.0.0.1", port), timeout=10)
                clients.append(client)
            time.sleep(0.5)
            closed = 0
            for client in clients:
                client.setblocking(False)
                try:
                    closed += client.recv(1) == b""
                except (BlockingIOError, ConnectionResetError) as error:
                    closed += isinstance(error, ConnectionResetError)
                client.close()
            said["closed at once"] = closed

        def garbage():
            said["garbage"] = answer_parts(exchange(port, os.urandom(3000) + b"\n\n"))[0]
            said["other path"] = answer_parts(exchange(port, b"GET /x HTTP/1.1\r\n\r\n"))[0]

        # Garbage and another path first, then the slow and the large, then
        # the crowd, which fills every place left.
        garbage()
        threads = [threading.Thread(target=f) for f in (slow, large, crowd)]
        for thread in threads:
            thread.start()
            time.sleep(0.2)
        for thread in threads:
            thread.join(timeout=30)
        sender.wait(timeout=30)
        self.assertEqual(said["garbage"], "HTTP/1.1 400 Bad Request")
        self.assertEqual(said["other path"], "HTTP/1.1 404 Not Found")
        self.assertTrue(4.5 < said["slow"] < 8, said)
        self.assertLess(said["large"], 10 << 20)
        self.assertGreaterEqual(said["closed at once"], 200 - 64, said)
        # It answers again, with every datagram of the stream.
        text = wait_until(lambda: counted(scrape(port, timeout=2), "232.9.3.1", 20000), 10)
        self.assertIsNotNone(text, "the endpoint answers again")
        self.assertEqual(value(text, "ssm_channel_missing_total", "232.9.3.1"), 0)
        self.assertEqual(value(text, "ssm_channel_host_dropped_total", "232.9.3.1"), 0)
        self.assertEqual(monitor.stop(signal.SIGTERM), 0)
        self.assertEqual(monitor.errors(), "")


class TextFile(MonitorTest):
    def test_the_file_is_always_whole(self):
        work = tempfile.mkdtemp(prefix="ssm-metrics-")
        self.addCleanup(shutil.rmtree, work, ignore_errors=True)
        port = free_port()
        path = self.channel_file("".join("232.9.4.%d %s %d c%d\n" % (i, SOURCE, port, i)
                                         for i in range(1, 201)))
        out = os.path.join(work, "ssm.prom")
        monitor = self.monitor("-s", 60, "-f", path, "-o", out)
        self.text_events(monitor, 200)
        self.assertTrue(wait_until(lambda: os.path.exists(out), 5))
        reads, versions, lines = 0, set(), set()
        deadline = time.monotonic() + 3.5
        while time.monotonic() < deadline:
            with open(out, "rb") as f:
                versions.add(os.fstat(f.fileno()).st_mtime_ns)
                text = f.read().decode("utf-8")
            reads += 1
            self.assertTrue(text.startswith("# HELP ssm_monitor_build_info ") and
                            text.endswith("\n"), text[-200:])
            lines.add(len(samples(text)))
        self.assertGreater(reads, 100)
        self.assertGreaterEqual(len(versions), 3, "rewritten every second")
        self.assertEqual(len(lines), 1, "every read whole: %s" % lines)
        self.assertEqual(os.listdir(work), ["ssm.prom"], "no temporary file left")
        self.assertEqual(monitor.stop(signal.SIGTERM), 0)

    def test_an_unwritable_place_is_said_once_and_its_end_too(self):
        work = tempfile.mkdtemp(prefix="ssm-metrics-")
        self.addCleanup(shutil.rmtree, work, ignore_errors=True)
        out = os.path.join(work, "missing", "ssm.prom")
        monitor = self.monitor("-s", 60, "-o", out, "232.9.5.1", SOURCE, free_port())
        self.text_events(monitor, 1)
        said = "ssm_monitor: write %s: No such file or directory\n" % out
        self.assertTrue(wait_until(lambda: monitor.errors(), 5))
        time.sleep(2.2)  # two more writes that fail
        self.assertEqual(monitor.errors(), said)
        self.assertTrue(monitor.alive())
        os.mkdir(os.path.dirname(out))
        self.assertTrue(wait_until(lambda: os.path.exists(out), 3))
        self.assertTrue(wait_until(lambda: monitor.errors().count("\n") == 2, 3))
        self.assertEqual(monitor.errors(), said + "ssm_monitor: write %s: written again\n" % out)
        self.assertEqual(monitor.stop(signal.SIGTERM), 0)


class Reload(MonitorTest):
    def test_a_reload_keeps_the_counts_of_unchanged_channels(self):
        port, a, b, c = free_port(), free_port(), free_port(), free_port()
        path = self.channel_file("232.9.6.1 %s %d kept\n232.9.6.2 %s %d gone\n"
                                 % (SOURCE, a, SOURCE, b))
        monitor = self.monitor("-j", "-s", 30, "-f", path, "-l", port)
        self.events(monitor, 2)
        send_numbers(range(1, 11), a, "232.9.6.1")
        self.assertTrue(wait_until(
            lambda: value(scrape(port), "ssm_channel_datagrams_total", "232.9.6.1") == 10, 5))
        with open(path, "w") as f:
            f.write("232.9.6.1 %s %d kept\n232.9.6.3 %s %d added\n" % (SOURCE, a, SOURCE, c))
        monitor.process.send_signal(signal.SIGHUP)
        self.assertEqual([e["event"] for e in self.events(monitor, 5)[3:]], ["left", "joined"])
        send_numbers(range(11, 16), a, "232.9.6.1")
        self.assertTrue(wait_until(
            lambda: value(scrape(port), "ssm_channel_datagrams_total", "232.9.6.1") == 15, 5),
            scrape(port))
        text = scrape(port)
        self.assertEqual((value(text, "ssm_channel_missing_total", "232.9.6.1"),
                          value(text, "ssm_channel_up", "232.9.6.1", name="kept"),
                          value(text, "ssm_channel_datagrams_total", "232.9.6.2"),
                          value(text, "ssm_channel_datagrams_total", "232.9.6.3", name="added")),
                         (0, 1, None, 0))
        self.assertIn("\nssm_monitor_channels 2\n", text)
        self.assertEqual(monitor.stop(signal.SIGTERM), 0)


class Prometheus(MonitorTest):
    """A real Prometheus server scrapes the monitor every second; its HTTP
    API gives the counts as it stored them."""

    @classmethod
    def setUpClass(cls):
        if shutil.which("prometheus") is None:
            raise AssertionError("prometheus is not installed (bash tools/build.sh installs it)")
        cls.work = tempfile.mkdtemp(prefix="ssm-prometheus-")
        cls.port = free_port()  # the monitor's
        cls.api = free_port()
        config = os.path.join(cls.work, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                    "scrape_configs:\n  - job_name: ssm\n    static_configs:\n"
                    "      - targets: ['127.0.0.1:%d']\n" % cls.port)
        cls.log = open(os.path.join(cls.work, "log"), "wb")
        cls.server = subprocess.Popen(
            ["prometheus", "--config.file=" + config, "--storage.tsdb.path=" + cls.work + "/data",
             "--web.listen-address=127.0.0.1:%d" % cls.api], stdout=cls.log, stderr=cls.log)

        def ready():
            try:
                with urllib.request.urlopen("http://127.0.0.1:%d/-/ready" % cls.api,
                                            timeout=2) as answer:
                    return answer.status == 200
            except OSError:
                return cls.server.poll() is not None
        if not wait_until(ready, 60, interval=0.2) or cls.server.poll() is not None:
            cls.tearDownClass()
            raise AssertionError("prometheus did not start")

    @classmethod
    def tearDownClass(cls):
        cls.server.terminate()
        try:
            cls.server.wait(timeout=20)
        except subprocess.TimeoutExpired:
            cls.server.kill()
            cls.server.wait(timeout=10)
        cls.log.close()
        shutil.rmtree(cls.work, ignore_errors=True)

    def query(self, expression):
        """The instant vector of the expression: [(labels, value)]."""
        url = "http://127.0.0.1:%d/api/v1/query?query=%s" % (self.api,
                                                             urllib.parse.quote(expression))
        with urllib.request.urlopen(url, timeout=10) as answer:
            result = json.load(answer)
        self.assertEqual(result["status"], "success", result)
        return [(entry["metric"], float(entry["value"][1])) for entry in result["data"]["result"]]

    def test_prometheus_stores_the_exact_counts(self):
        a, b = free_port(), free_port()
        monitor = self.monitor("-j", "-s", 3, "-l", self.port, "232.9.7.1", SOURCE, a,
                               "232.9.7.2", SOURCE, b)
        self.events(monitor, 2)
        # Both silent first; then the one streams, and stays up for 3 s.
        self.assertEqual([e["event"] for e in self.events(monitor, 4)[2:]], ["silent", "silent"])
        send_numbers([n for n in range(1, 101) if n not in (7, 8, 50)], a, "232.9.7.1")
        wanted = '{__name__=~"ssm_channel_(datagrams_total|missing_total|up|silence_cause)"}'

        def stored():
            # One query: every series from the same scrape.
            found = {}
            for labels, number in self.query(wanted):
                found[(labels["__name__"], labels["group"], labels.get("cause"))] = number
            return found if found.get(("ssm_channel_datagrams_total", "232.9.7.1", None)) == 97 \
                else None
        found = wait_until(stored, 10, interval=0.2)
        self.assertIsNotNone(found, self.query(wanted))
        self.assertEqual(found, {
            ("ssm_channel_datagrams_total", "232.9.7.1", None): 97,
            ("ssm_channel_datagrams_total", "232.9.7.2", None): 0,
            ("ssm_channel_missing_total", "232.9.7.1", None): 3,
            ("ssm_channel_missing_total", "232.9.7.2", None): 0,
            ("ssm_channel_up", "232.9.7.1", None): 1,
            ("ssm_channel_up", "232.9.7.2", None): 0,
            ("ssm_channel_silence_cause", "232.9.7.2", "not_on_link"): 1,
        })
        self.assertEqual([labels["instance"] for labels, number in self.query("up") if number == 1],
                         ["127.0.0.1:%d" % self.port])
        self.assertEqual(monitor.stop(signal.SIGTERM), 0)


if __name__ == "__main__":
    main()
