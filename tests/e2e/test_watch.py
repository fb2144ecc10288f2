"""ssm_watch, the real program, in a private network namespace.

Membership requests are counted by tracing the program's setsockopt calls.
"""

import os
import resource
import socket
import subprocess
import time

from common_cases import CommonCases, FamilyCases, HostCases
from harness import (GROUP, GROUP6, LISTEN, SOURCE, SOURCE6, WATCH, ReceiverTest, drop_link,
                     filters_on, free_port, ip, line, main, make_link, send, wait_until)


def many_descriptors_open():
    """For preexec_fn: leaves descriptors 3 to 1100 open, as a careless parent
    would, so that the program's socket is above select's FD_SETSIZE."""
    resource.setrlimit(resource.RLIMIT_NOFILE, (4096, 4096))
    null = os.open("/dev/null", os.O_RDONLY)
    os.set_inheritable(null, True)
    for fd in range(3, 1101):
        if fd != null:
            os.dup2(null, fd)


def sysctl(name, value=None):
    """Reads, or sets and returns the old value of, a sysctl of this namespace."""
    path = "/proc/sys/" + name.replace(".", "/")
    with open(path) as f:
        old = f.read().strip()
    if value is not None:
        with open(path, "w") as f:
            f.write(str(value))
    return old


class WatchCommon(CommonCases, ReceiverTest):
    PROGRAM = WATCH
    NAME = "ssm_watch"


class WatchFamilies(FamilyCases, ReceiverTest):
    PROGRAM = WATCH
    NAME = "ssm_watch"


class WatchHost(HostCases, ReceiverTest):
    PROGRAM = WATCH
    NAME = "ssm_watch"


class RenewalCases:
    """Renewal and late-route recovery: also run on the Windows programs under Wine."""

    NO_ROUTE = "No such device"  # the reason a join is refused for want of a route
    LISTEN_GROUP = GROUP  # the group ssm_listen waits for beside ssm_watch

    def renewals_between(self, receiver, start, end):
        return [r for r in receiver.memberships()[1:] if start <= r[0] <= end]

    def test_silence_renews_about_once_a_second(self):
        port = free_port()
        receiver = self.start(WATCH, GROUP, SOURCE, port, trace=True)
        time.sleep(5.3)
        requests = receiver.memberships()
        renewals = requests[1:]
        self.assertIn(len(renewals), (4, 5, 6), requests)
        gaps = [b[0] - a[0] for a, b in zip(requests, requests[1:])]
        for gap in gaps:
            self.assertGreater(gap, 0.9, gaps)
            self.assertLess(gap, 1.4, gaps)
        for _, group, source, _, interface in requests:
            self.assertEqual((group, source, interface), (GROUP, SOURCE, "0.0.0.0"))
        self.assertEqual(requests[0][3], 0, "the start-up request is accepted")
        self.assertEqual(receiver.output(), "")
        self.assertEqual(receiver.errors(), "", "a refused renewal of a held membership is silent")

    def test_steady_stream_sends_no_renewal(self):
        port = free_port()
        receiver = self.start(WATCH, GROUP, SOURCE, port, trace=True)
        first = time.time()
        send("-c", 30, "-r", 10, GROUP, SOURCE, port)
        last = time.time()
        self.assertEqual(receiver.wait_lines(30), [line(SOURCE, 1 + i, 32) for i in range(30)])
        self.assertEqual(self.renewals_between(receiver, first, last - 0.05), [])

    def test_recovers_when_the_route_comes_late(self):
        port_watch, port_listen = free_port(), free_port()
        ip("route", "del", "232.0.0.0/8", "dev", "lo")
        try:
            watch = self.start(WATCH, GROUP, SOURCE, port_watch)
            listen = self.start(LISTEN, self.LISTEN_GROUP, SOURCE, port_listen)
            warning = "warning: join group %s from source %s: " + self.NO_ROUTE
            self.assertTrue(wait_until(lambda: watch.errors() and listen.errors(), 5))
            self.assertEqual(watch.errors(), "ssm_watch: %s\n" % (warning % (GROUP, SOURCE)))
            self.assertEqual(listen.errors(),
                             "ssm_listen: %s\n" % (warning % (self.LISTEN_GROUP, SOURCE)))
            time.sleep(2)
        finally:
            ip("route", "add", "232.0.0.0/8", "dev", "lo")
        joined = "ssm_watch: %s\n" % ("joined group %s from source %s" % (GROUP, SOURCE))
        self.assertTrue(wait_until(lambda: joined in watch.errors(), 3), watch.errors())
        for group, port in ((GROUP, port_watch), (self.LISTEN_GROUP, port_listen)):
            send("-c", 5, "-r", 50, group, SOURCE, port)
        self.assertEqual(watch.wait_lines(5), [line(SOURCE, 1 + i, 32) for i in range(5)])
        time.sleep(2.2)  # more renewals, all of a held membership
        self.assertEqual(watch.errors().count("joined"), 1, watch.errors())
        self.assertEqual(listen.output(), "", "ssm_listen asked once, before the route was there")


class RenewalIpv6(ReceiverTest):
    """ssm_watch's renewals of an IPv6 channel, and its recovery when the
    interface it names is made late."""

    @classmethod
    def setUpClass(cls):
        make_link("ssm6r", "ssm6s", sources6=(SOURCE6,))

    @classmethod
    def tearDownClass(cls):
        drop_link("ssm6r")
        drop_link("ssm8r")

    def test_silence_renews_an_ipv6_membership_about_once_a_second(self):
        port = free_port()
        receiver = self.start(WATCH, GROUP6 + "%ssm6r", SOURCE6, port, trace=True)
        self.assertTrue(wait_until(lambda: filters_on("ssm6r", GROUP6, SOURCE6), 5))
        time.sleep(3.3)
        joins = receiver.joins_by_index()
        self.assertIn(len(joins) - 1, (2, 3, 4), joins)
        self.assertTrue(all("SOL_IPV6" in e for e in joins), joins)
        self.assertEqual(receiver.errors(), "", "a refused renewal of a held membership is silent")
        send("-c", 5, "-r", 50, GROUP6, SOURCE6, port)
        self.assertEqual(receiver.wait_lines(5), [line(SOURCE6, 1 + i, 32) for i in range(5)])

    def test_joins_once_the_named_interface_is_made(self):
        source = "fd00:79::1"
        port_watch, port_listen = free_port(), free_port()
        watch = self.start(WATCH, GROUP6 + "%ssm8r", source, port_watch)
        listen = self.start(LISTEN, GROUP6 + "%ssm8r", source, port_listen)
        warning = "warning: join group %s%%ssm8r from source %s: no such interface" % (GROUP6,
                                                                                       source)
        self.assertTrue(wait_until(lambda: watch.errors() and listen.errors(), 5))
        self.assertEqual(watch.errors(), "ssm_watch: %s\n" % warning)
        self.assertEqual(listen.errors(), "ssm_listen: %s\n" % warning)
        time.sleep(1.2)
        make_link("ssm8r", "ssm8s", sources6=(source,))
        joined = "ssm_watch: joined group %s%%ssm8r from source %s\n" % (GROUP6, source)
        self.assertTrue(wait_until(lambda: joined in watch.errors(), 3), watch.errors())
        for port in (port_watch, port_listen):
            send("-c", 5, "-r", 50, GROUP6, source, port)
        self.assertEqual(watch.wait_lines(5), [line(source, 1 + i, 32) for i in range(5)])
        self.assertEqual(listen.output(), "", "ssm_listen asked once, before the interface was there")


    def test_recovers_after_an_mtu_dip(self):
        # Below 1280 the interface loses IPv6 and its memberships; the
        # socket's record stays, and every request is refused as if held.
        port = free_port()
        receiver = self.start(WATCH, GROUP6 + "%ssm6r", SOURCE6, port)
        self.assertTrue(wait_until(lambda: filters_on("ssm6r", GROUP6, SOURCE6), 5))
        try:
            ip("link", "set", "dev", "ssm6r", "mtu", "1200")
            self.assertTrue(wait_until(lambda: not filters_on("ssm6r", GROUP6, SOURCE6), 2))
        finally:
            ip("link", "set", "dev", "ssm6r", "mtu", "1500")
        self.assertTrue(wait_until(lambda: filters_on("ssm6r", GROUP6, SOURCE6), 3.5),
                        "never joined again")
        send("-c", 5, "-r", 50, GROUP6, SOURCE6, port)
        self.assertEqual(receiver.wait_lines(5), [line(SOURCE6, 1 + i, 32) for i in range(5)])
        self.assertEqual(receiver.errors(), "")


class Renewal(RenewalCases, ReceiverTest):
    def test_silence_between_streams(self):
        port = free_port()
        receiver = self.start(WATCH, GROUP, SOURCE, port, trace=True)
        send("-c", 5, "-r", 20, "-s", 1, GROUP, SOURCE, port)
        receiver.wait_lines(5)
        silence_start = time.time()
        time.sleep(3.3)
        silence_end = time.time()
        send("-c", 5, "-r", 20, "-s", 6, GROUP, SOURCE, port)
        self.assertEqual(receiver.wait_lines(10), [line(SOURCE, i, 32) for i in range(1, 11)])
        renewals = self.renewals_between(receiver, silence_start, silence_end)
        self.assertIn(len(renewals), (2, 3, 4), receiver.memberships())

    def test_queued_burst_is_reported_without_renewal(self):
        port = free_port()
        receiver = self.start(WATCH, GROUP, SOURCE, port, trace=True)
        # Right after a renewal, so that the burst lands well inside a wait.
        wait_until(lambda: len(receiver.memberships()) >= 2, 3)
        before = len(receiver.memberships())
        send("-c", 300, "-r", 0, GROUP, SOURCE, port)
        self.assertEqual(receiver.wait_lines(300, timeout=5),
                         [line(SOURCE, 1 + i, 32) for i in range(300)])
        self.assertLessEqual(len(receiver.memberships()) - before, 1)

    def test_receive_after_the_wait_never_blocks(self):
        # A datagram can vanish between the wait and the receive; a blocking
        # receive would then stop the renewals.
        port = free_port()
        receiver = self.start(WATCH, GROUP, SOURCE, port, trace=True,
                              trace_calls="setsockopt,recvfrom")
        send("-c", 20, "-r", 0, GROUP, SOURCE, port)
        receiver.wait_lines(20)
        receives = receiver.traced("recvfrom")
        self.assertGreaterEqual(len(receives), 20)
        for entry in receives:
            self.assertIn("MSG_DONTWAIT", entry)

    def test_idle_uses_almost_no_cpu(self):
        port = free_port()
        receiver = self.start(WATCH, GROUP, SOURCE, port)
        send("-c", 3, GROUP, SOURCE, port)  # leave lines to write out, then idle
        receiver.wait_lines(3)
        before = receiver.cpu_seconds()
        time.sleep(3)
        used = receiver.cpu_seconds() - before
        self.assertLess(used, 0.05, "%.3f s of CPU in 3 idle seconds" % used)

    def test_socket_above_fd_setsize_renews_and_reports(self):
        # The renewal shows as the join once the route comes: no strace here,
        # which would not pass the descriptors on.
        port = free_port()
        ip("route", "del", "232.0.0.0/8", "dev", "lo")
        try:
            receiver = self.start(WATCH, GROUP, SOURCE, port, preexec_fn=many_descriptors_open,
                                  keep_descriptors=True)
            self.assertTrue(wait_until(lambda: receiver.errors(), 5))
        finally:
            ip("route", "add", "232.0.0.0/8", "dev", "lo")
        pid = receiver.process.pid
        sockets = [int(fd) for fd in os.listdir("/proc/%d/fd" % pid)
                   if os.readlink("/proc/%d/fd/%s" % (pid, fd)).startswith("socket:")]
        self.assertEqual(len(sockets), 1)
        self.assertGreaterEqual(sockets[0], 1024)
        joined = "ssm_watch: joined group %s from source %s\n" % (GROUP, SOURCE)
        self.assertTrue(wait_until(lambda: joined in receiver.errors(), 3), receiver.errors())
        send("-c", 5, "-r", 50, GROUP, SOURCE, port)
        self.assertEqual(receiver.wait_lines(5), [line(SOURCE, 1 + i, 32) for i in range(5)])
        before = receiver.cpu_seconds()
        time.sleep(1)
        self.assertLess(receiver.cpu_seconds() - before, 0.05, "no spin")

    def test_recovers_from_more_remade_interfaces_than_memberships_allowed(self):
        # Linux keeps a socket's membership on a deleted interface and counts
        # it: without leaving it, the fourth re-made interface is refused.
        source, port, remakes = "10.9.9.9", free_port(), 5
        limit = sysctl("net.ipv4.igmp_max_memberships", 3)
        accept_local = sysctl("net.ipv4.conf.all.accept_local", 1)  # our own source

        def make_link():
            ip("link", "add", "ssmA", "type", "veth", "peer", "name", "ssmB")
            ip("link", "set", "ssmA", "up")
            ip("link", "set", "ssmB", "up")
            ip("address", "add", source + "/32", "dev", "ssmB")
            ip("route", "replace", "232.0.0.0/8", "dev", "ssmA")

        try:
            make_link()
            receiver = self.start(WATCH, GROUP, source, port)
            for attempt in range(remakes):
                self.assertTrue(wait_until(lambda: filters_on("ssmA", GROUP, source), 5),
                                "no membership on the interface made %d times" % (attempt + 1))
                ip("link", "del", "ssmA")
                make_link()
            self.assertTrue(wait_until(lambda: filters_on("ssmA", GROUP, source), 5),
                            "no membership after %d re-made interfaces" % remakes)
            send("-c", 5, "-r", 50, GROUP, source, port)
            self.assertEqual(receiver.wait_lines(5), [line(source, 1 + i, 32) for i in range(5)])
        finally:
            subprocess.run(["ip", "link", "del", "ssmA"], stderr=subprocess.DEVNULL, timeout=10)
            ip("route", "replace", "232.0.0.0/8", "dev", "lo")
            sysctl("net.ipv4.igmp_max_memberships", limit)
            sysctl("net.ipv4.conf.all.accept_local", accept_local)

    def test_recovers_when_the_link_is_made_again_with_its_index(self):
        # The kernel drops the interface's memberships; the socket keeps its
        # record, and every request is refused as if held.
        source = "10.9.9.9"
        accept_local = sysctl("net.ipv4.conf.all.accept_local", 1)  # our own source

        def make_link(*index):
            ip("link", "add", "ssmA", *index, "type", "veth", "peer", "name", "ssmB")
            ip("link", "set", "ssmA", "up")
            ip("link", "set", "ssmB", "up")
            ip("address", "add", source + "/32", "dev", "ssmB")
            ip("route", "replace", "232.0.0.0/8", "dev", "ssmA")

        try:
            for group in (GROUP + "%ssmA", GROUP):
                make_link()
                index = str(socket.if_nametoindex("ssmA"))
                port = free_port()
                receiver = self.start(WATCH, group, source, port)
                self.assertTrue(wait_until(lambda: filters_on("ssmA", GROUP, source), 5), group)
                ip("link", "del", "ssmA")
                make_link("index", index)
                self.assertTrue(wait_until(lambda: filters_on("ssmA", GROUP, source), 3.5),
                                "never joined again: " + group)
                send("-c", 5, "-r", 50, GROUP, source, port)
                self.assertEqual(receiver.wait_lines(5),
                                 [line(source, 1 + i, 32) for i in range(5)], group)
                ip("link", "del", "ssmA")
        finally:
            subprocess.run(["ip", "link", "del", "ssmA"], stderr=subprocess.DEVNULL, timeout=10)
            ip("route", "replace", "232.0.0.0/8", "dev", "lo")
            sysctl("net.ipv4.conf.all.accept_local", accept_local)

    def test_listen_idle_uses_almost_no_cpu(self):
        port = free_port()
        receiver = self.start(LISTEN, GROUP, SOURCE, port)
        send("-c", 3, GROUP, SOURCE, port)
        receiver.wait_lines(3)
        before = receiver.cpu_seconds()
        time.sleep(2)
        self.assertLess(receiver.cpu_seconds() - before, 0.05)


if __name__ == "__main__":
    main()
