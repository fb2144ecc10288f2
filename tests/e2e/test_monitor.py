"""ssm_monitor, the real program, in a private network namespace."""

import json
import os
import re
import signal
import socket
import struct
import subprocess
import tempfile
import time

from harness import (SEND, SOURCE, ReceiverTest, free_port, ip, main, run, send,
                     sender_namespace, socket_drops, wait_until)

MONITOR = os.environ.get("SSM_MONITOR", "ssm_monitor")

TIME = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z"
NOT_ON_LO = ("not_on_link: lo saw no datagram of the channel: look at the sender, its TTL, the "
             "routers' PIM-SSM and IGMP snooping")


class MonitorTest(ReceiverTest):
    def monitor(self, *args, **options):
        """ssm_monitor in the background, ready once every channel said joined
        or refused."""
        monitor = self.start(MONITOR, *args, wait_ready=False, **options)
        return monitor

    def events(self, monitor, count, timeout=10):
        """Waits for count lines; returns them as JSON objects, without their time."""
        lines = monitor.wait_lines(count, timeout)
        found = []
        for text in lines:
            event = json.loads(text)
            self.assertRegex(event.pop("time"), "^" + TIME + "$")
            found.append(event)
        return found

    def text_events(self, monitor, count, timeout=10):
        """Waits for count lines; returns them without their time."""
        lines = monitor.wait_lines(count, timeout)
        for text in lines:
            self.assertRegex(text, "^" + TIME + " ")
        return [text.split(" ", 1)[1].rstrip("\n") for text in lines]

    def channel_file(self, text):
        handle, path = tempfile.mkstemp(prefix="ssm-monitor-", suffix=".channels")
        with os.fdopen(handle, "w") as f:
            f.write(text)
        self.addCleanup(os.unlink, path)
        return path


def of(events, group):
    """The events of one channel, in order."""
    return [e for e in events if e["group"] == group]


def send_numbers(numbers, port, group, source=SOURCE):
    """One datagram a number, little-endian, from source to group and port."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        sender.bind((source, 0))
        sender.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(source))
        for number in numbers:
            sender.sendto(struct.pack("<I", number) + bytes(12), (group, port))
            time.sleep(0.001)


class Channels(MonitorTest):
    def test_three_channels_two_on_one_port(self):
        port = free_port()
        other_port = free_port()
        channel = {"source": SOURCE, "interface": "lo", "name": ""}
        monitor = self.monitor("-j", "-s", 1, "232.7.0.1", SOURCE, port, "232.7.0.2", SOURCE, port,
                               "232.7.0.3", SOURCE, other_port)
        joined = self.events(monitor, 3)
        self.assertEqual(joined, [dict(channel, event="joined", group="232.7.0.%d" % i,
                                       port=p) for i, p in ((1, port), (2, port), (3, other_port))])
        # One complete, one with a gap; other senders to the port count apart.
        # The pause makes "up" come measurably after the join: the time is
        # written to the millisecond.
        time.sleep(0.05)
        send_numbers(range(1, 21), port, "232.7.0.1")
        send_numbers([n for n in range(1, 21) if n not in (7, 8, 15)], port, "232.7.0.2")
        events = self.events(monitor, 3 + 2 + 1 + 3, timeout=15)
        self.assertEqual(of(events, "232.7.0.1")[1:],
                         [dict(channel, event="up", group="232.7.0.1", port=port,
                               after_s=of(events, "232.7.0.1")[1]["after_s"]),
                          dict(channel, event="silent", group="232.7.0.1", port=port, for_s=1,
                               cause="not_on_link", reason=NOT_ON_LO.split(": ", 1)[1],
                               link_datagrams=0)])
        gap = of(events, "232.7.0.2")[1:]
        self.assertEqual([e["event"] for e in gap], ["up", "missing", "silent"])
        self.assertEqual((gap[1]["count"], gap[1]["numbers"]), (3, "7-8, 15"))
        never = of(events, "232.7.0.3")[1:]
        self.assertEqual(never, [dict(channel, event="silent", group="232.7.0.3", port=other_port,
                                      for_s=1, cause="not_on_link",
                                      reason=NOT_ON_LO.split(": ", 1)[1], link_datagrams=0)])
        for event in events:
            if event["event"] == "up":
                self.assertTrue(0.05 <= event["after_s"] < 5, event)
        self.assertEqual(monitor.stop(signal.SIGTERM), 0)
        self.assertEqual(monitor.errors(), "")

    def test_text_events_name_the_channel(self):
        port = free_port()
        path = self.channel_file("# the news\n232.7.1.1 %s %d news # first\n\n" % (SOURCE, port))
        monitor = self.monitor("-s", 1, "-f", path)
        self.assertEqual(self.text_events(monitor, 1), ["232.7.1.1%%lo %s %d news joined"
                                                        % (SOURCE, port)])
        send_numbers([1, 2, 4], port, "232.7.1.1")
        said = self.text_events(monitor, 4)
        prefix = "232.7.1.1%%lo %s %d news " % (SOURCE, port)
        self.assertRegex(said[1], "^" + re.escape(prefix) + r"up after \d+\.\d{3} s$")
        # The gap is said at the end of its second, the silence when due:
        # either may come first.
        self.assertEqual(sorted(said[2:]),
                         [prefix + "missing 1: 3", prefix + "silent for 1 s: " + NOT_ON_LO])

    def test_stop_says_what_is_pending_and_leaves(self):
        port = free_port()
        monitor = self.monitor("-j", "232.7.2.1", SOURCE, port)
        self.events(monitor, 1)
        send_numbers([1, 2, 5], port, "232.7.2.1")
        self.assertEqual(self.events(monitor, 2)[1]["event"], "up")
        # The gap is said within its second; a stop before then says it too.
        monitor.process.send_signal(signal.SIGTERM)
        monitor.process.wait(timeout=5)
        self.assertEqual(monitor.process.returncode, 0)
        self.assertEqual([(e["event"], e.get("numbers")) for e in self.events(monitor, 3)][2],
                         ("missing", "3-4"))
        with open("/proc/net/mcfilter") as table:
            self.assertEqual(len(table.readlines()), 1, "every membership left")


    def test_a_restarted_sender_is_a_jump_not_thousands_missing(self):
        port = free_port()
        monitor = self.monitor("-j", "-s", 5, "232.7.2.2", SOURCE, port)
        self.events(monitor, 1)
        send_numbers(range(3000, 3010), port, "232.7.2.2")
        send_numbers(range(1, 12), port, "232.7.2.2")
        events = self.events(monitor, 3)
        self.assertEqual([(e["event"], e.get("from"), e.get("to")) for e in events[1:]],
                         [("up", None, None), ("jump", 3009, 1)])
        time.sleep(1.2)
        self.assertEqual(len(monitor.lines()), 3, "nothing counted missing")


class Files(MonitorTest):
    def test_a_bad_file_at_start_joins_nothing(self):
        port = free_port()
        cases = [
            ("232.7.3.1 %s %d\n232.7.3.2 %s\n" % (SOURCE, port, SOURCE),
             ":2: 2 fields: a channel is <group>[%interface] <source> <port> [name]"),
            ("232.7.3.1 %s %d a/b\n" % (SOURCE, port),
             ":1: name 'a/b': 1 to 64 of A-Z a-z 0-9 . _ : -"),
            ("232.7.3.1 %s %d\n#\n232.7.3.1 %s %d again\n" % (SOURCE, port, SOURCE, port),
             ":3: the same channel as line 1"),
            ("232.7.3 %s %d\n" % (SOURCE, port),
             ":1: group '232.7.3': not a dotted-decimal IPv4 address"),
        ]
        for text, message in cases:
            path = self.channel_file(text)
            result = run(MONITOR, "-f", path, "232.7.3.9", SOURCE, port)
            self.assertEqual((result.returncode, result.stdout, result.stderr.decode()),
                             (1, b"", "ssm_monitor: %s%s\n" % (path, message)))
        result = run(MONITOR, "232.7.3.1", SOURCE, port, "232.7.3.1", SOURCE, port)
        self.assertEqual((result.returncode, result.stderr.decode()),
                         (1, "ssm_monitor: channel 232.7.3.1 %s %d: given twice\n" % (SOURCE, port)))
        result = run(MONITOR, "-s", 0, "232.7.3.1", SOURCE)
        self.assertEqual((result.returncode, result.stderr.decode()),
                         (1, "ssm_monitor: seconds '0': not a decimal number from 1 to 3600\n"))
        with open("/proc/net/mcfilter") as table:
            self.assertEqual(len(table.readlines()), 1, "nothing joined")

    def test_reload_adds_removes_and_keeps(self):
        kept, gone, added = free_port(), free_port(), free_port()
        path = self.channel_file("232.7.4.1 %s %d kept\n232.7.4.2 %s %d gone\n"
                                 % (SOURCE, kept, SOURCE, gone))
        monitor = self.monitor("-j", "-s", 3, "-f", path)
        self.events(monitor, 2)
        send_numbers(range(1, 11), kept, "232.7.4.1")
        self.assertEqual(self.events(monitor, 3)[2]["event"], "up")
        with open(path, "w") as f:
            f.write("232.7.4.1 %s %d kept\n232.7.4.3 %s %d added\n" % (SOURCE, kept, SOURCE, added))
        monitor.process.send_signal(signal.SIGHUP)
        events = self.events(monitor, 5)
        self.assertEqual([(e["event"], e["name"]) for e in events[3:]],
                         [("left", "gone"), ("joined", "added")])
        # The kept channel goes on where it was: no new up, nothing missing.
        send_numbers(range(11, 21), kept, "232.7.4.1")
        # A file in error on reload: said, and nothing changes.
        with open(path, "w") as f:
            f.write("232.7.4.1 %s\n" % SOURCE)
        monitor.process.send_signal(signal.SIGHUP)
        self.assertTrue(wait_until(lambda: monitor.errors(), 5))
        self.assertEqual(monitor.errors(), "ssm_monitor: %s:1: 2 fields: a channel is "
                         "<group>[%%interface] <source> <port> [name]: keeping the 2 channels in "
                         "use\n" % path)
        time.sleep(1.2)
        self.assertEqual(len(monitor.lines()), 5, monitor.output())
        self.assertEqual(monitor.stop(signal.SIGTERM), 0)


class Drops(MonitorTest):
    def test_host_dropped_is_the_kernels_count(self):
        port = free_port()
        monitor = self.monitor("-j", "-s", 5, "232.7.5.1", SOURCE, port)
        self.events(monitor, 1)
        pid = monitor.process.pid
        os.kill(pid, signal.SIGSTOP)
        try:
            send("-c", 20000, "-r", 0, "-l", 8, "232.7.5.1", SOURCE, port)
            dropped = socket_drops(pid, port)
        finally:
            os.kill(pid, signal.SIGCONT)
        self.assertGreater(dropped, 0)
        events = self.events(monitor, 3, timeout=5)
        self.assertEqual(events[1]["event"], "up")
        self.assertEqual((events[2]["event"], events[2]["count"], events[2]["total"]),
                         ("host_dropped", dropped, dropped))


SENDER_NS = "ssmmon%d" % os.getpid()
FAR_SOURCE = "10.9.7.1"


class AcrossALink(MonitorTest):
    """The sender in a namespace of its own across a veth pair, so that this
    host's reverse-path filtering applies to it."""

    def setUp(self):
        super().setUp()
        sender_namespace(self, SENDER_NS, "mnr", "mns", FAR_SOURCE)
        self.addCleanup(self.rp_filter, 0)

    @staticmethod
    def rp_filter(value):
        with open("/proc/sys/net/ipv4/conf/mnr/rp_filter", "w") as f:
            f.write(str(value))

    def send_far(self, port, count, start=1):
        subprocess.run(["ip", "netns", "exec", SENDER_NS, SEND, "-c", str(count), "-r", "200",
                        "-s", str(start), "232.7.6.1", FAR_SOURCE, str(port)], check=True,
                       capture_output=True, timeout=20)

    def test_silent_then_up_and_the_causes(self):
        port = free_port()
        monitor = self.monitor("-j", "-s", 1, "232.7.6.1%mnr", FAR_SOURCE, port)
        self.events(monitor, 1)
        self.send_far(port, 10)
        # Nothing more: silent, and the link saw none of it.
        events = self.events(monitor, 3)
        self.assertEqual([e["event"] for e in events], ["joined", "up", "silent"])
        self.assertEqual((events[2]["cause"], events[2]["link_datagrams"], events[2]["interface"]),
                         ("not_on_link", 0, "mnr"))
        # It comes back: up, and how long it was away.
        time.sleep(0.5)
        self.send_far(port, 5, start=11)
        up = self.events(monitor, 4)[3]
        self.assertEqual(up["event"], "up")
        self.assertGreater(up["after_s"], 1.4)
        # Strict reverse-path filtering: the link sees it, this host drops it.
        self.rp_filter(1)
        sender = subprocess.Popen(["ip", "netns", "exec", SENDER_NS, SEND, "-c", "400", "-r",
                                   "200", "-s", "16", "232.7.6.1", FAR_SOURCE, str(port)],
                                  stdout=subprocess.DEVNULL)
        try:
            silent = self.events(monitor, 5)[4]
        finally:
            sender.kill()
            sender.wait()
        self.assertEqual((silent["event"], silent["cause"]), ("silent", "reverse_path"))
        self.assertGreater(silent["link_datagrams"], 0)
        self.assertTrue(silent["reason"].startswith(
            "mnr saw %d datagrams of the channel, but reverse-path filtering (rp_filter 1 on mnr) "
            "drops datagrams from %s" % (silent["link_datagrams"], FAR_SOURCE)), silent["reason"])
        self.assertEqual(monitor.stop(signal.SIGTERM), 0)


class Scale(MonitorTest):
    def test_a_thousand_channels_are_joined(self):
        port = free_port()
        lines = ["232.8.%d.%d %s %d" % (i // 250, i % 250 + 1, SOURCE, port + i % 7)
                 for i in range(1000)]
        path = self.channel_file("\n".join(lines) + "\n")
        started = time.monotonic()
        monitor = self.monitor("-s", 60, "-f", path)
        said = self.text_events(monitor, 1000, timeout=10)
        self.assertLess(time.monotonic() - started, 5)
        self.assertEqual(sum(1 for s in said if s.endswith(" joined")), 1000)
        with open("/proc/net/mcfilter") as table:
            self.assertEqual(len(table.readlines()), 1001)
        self.assertEqual(monitor.stop(signal.SIGTERM), 0)
        self.assertEqual(monitor.errors(), "")

    def test_a_hard_limit_too_low_is_said(self):
        path = self.channel_file("".join("232.8.9.%d %s %d\n" % (i + 1, SOURCE, free_port())
                                         for i in range(200)))
        result = subprocess.run(["prlimit", "--nofile=100:100", MONITOR, "-f", path],
                                capture_output=True, text=True, timeout=20)
        said = result.stderr.splitlines()
        self.assertEqual(said[0], "ssm_monitor: warning: open files: the hard limit is 100, and "
                         "200 channels need about 280: raise it (ulimit -Hn, or LimitNOFILE= in a "
                         "service)")
        self.assertRegex(said[1], r"^ssm_monitor: open a UDP socket for 232\.8\.9\.\d+ .*: Too "
                         r"many open files$")
        self.assertEqual((result.returncode, len(said)), (2, 2))


class LateRoute(MonitorTest):
    def test_refused_once_then_joined_when_the_route_comes(self):
        ip("route", "del", "232.0.0.0/8", "dev", "lo")
        self.addCleanup(subprocess.run, ["ip", "route", "replace", "232.0.0.0/8", "dev", "lo"],
                        timeout=10)
        port = free_port()
        monitor = self.monitor("-j", "-s", 60, "232.7.8.1", SOURCE, port)
        refused = self.events(monitor, 1)[0]
        self.assertEqual((refused["event"], refused["reason"], refused["interface"]),
                         ("refused", "No such device", ""))
        time.sleep(1.5)  # a renewal refused again: not said twice
        ip("route", "add", "232.0.0.0/8", "dev", "lo")
        joined = self.events(monitor, 2, timeout=5)[1]
        self.assertEqual((joined["event"], joined["interface"]), ("joined", "lo"))
        send_numbers([1, 2], port, "232.7.8.1")
        self.assertEqual(self.events(monitor, 3)[2]["event"], "up")
        self.assertEqual(monitor.stop(signal.SIGTERM), 0)


if __name__ == "__main__":
    main()
