"""The ssm_send tool, checked against a plain socket in the namespace."""

import socket
import struct
import subprocess
import time
import unittest

from harness import (GROUP, GROUP6, SEND, SOURCE, SOURCE6, drop_link, free_port, ip, main,
                     make_link, run, send, traced_environment)

# IPv6 multicast on lo reaches no socket: the IPv6 cases send across veth
# pairs, out of send6s (the source's) to send6r, and out of send7s to send7r.
RECEIVER6 = "fd00:79::2"  # a unicast destination, on send6r
MCAST_JOIN_SOURCE_GROUP = 46  # Linux
ETH_P_IP = 0x0800


class Send(unittest.TestCase):
    def receive_all(self, args, port, count):
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.bind(("0.0.0.0", port))
        sock.setsockopt(socket.IPPROTO_IP, 39,  # IP_ADD_SOURCE_MEMBERSHIP on Linux
                        socket.inet_aton(GROUP) + socket.inet_aton("0.0.0.0") + socket.inet_aton(SOURCE))
        sock.settimeout(5)
        try:
            started = time.monotonic()
            send(*args)
            elapsed = time.monotonic() - started
            return [sock.recvfrom(70000) for _ in range(count)], elapsed
        finally:
            sock.close()

    def test_payload_carries_little_endian_sequence_and_length(self):
        port = free_port()
        got, _ = self.receive_all(["-c", 3, "-l", 6, "-s", 2147483646, "-r", 0, GROUP, SOURCE, port],
                                  port, 3)
        payloads = [data for data, _ in got]
        self.assertEqual(payloads, [struct.pack("<i", 2147483646) + b"\0\0",
                                    struct.pack("<i", 2147483647) + b"\0\0",
                                    struct.pack("<i", -2147483648) + b"\0\0"])
        self.assertEqual({sender for _, sender in got}, {(SOURCE, got[0][1][1])})

    def test_short_and_largest_payloads(self):
        port = free_port()
        got, _ = self.receive_all(["-c", 1, "-l", 2, "-s", 0x0a0b0c0d, GROUP, SOURCE, port], port, 1)
        self.assertEqual(got[0][0], b"\x0d\x0c")
        got, _ = self.receive_all(["-c", 1, "-l", 65507, GROUP, SOURCE, port], port, 1)
        self.assertEqual(len(got[0][0]), 65507)

    def test_rate_spaces_the_datagrams(self):
        port = free_port()
        _, elapsed = self.receive_all(["-c", 11, "-r", 50, GROUP, SOURCE, port], port, 11)
        self.assertGreaterEqual(elapsed, 0.19, "ten gaps of 20 ms")
        _, elapsed = self.receive_all(["-c", 3, "-i", 100, GROUP, SOURCE, port], port, 3)
        self.assertGreaterEqual(elapsed, 0.19, "two gaps of 100 ms")

    def test_bad_command_lines(self):
        for args, first in (([], None),
                            (["-c", "x", GROUP, SOURCE, "5000"], "ssm_send: count 'x': not a valid value"),
                            (["-l", "65508", GROUP, SOURCE, "5000"], "ssm_send: length '65508': not a valid value"),
                            (["-s", "2147483648", GROUP, SOURCE, "5000"], "ssm_send: start '2147483648': not a valid value"),
                            (["-z", GROUP, SOURCE, "5000"], "ssm_send: option '-z': unknown or missing its value"),
                            (["--foo", GROUP, SOURCE, "5000"], "ssm_send: option '--foo': unknown or missing its value"),
                            ([GROUP, SOURCE, "70000"], "ssm_send: port '70000': not a valid value")):
            result = run(SEND, *args)
            self.assertEqual(result.returncode, 1, args)
            self.assertEqual(result.stdout, b"")
            err = result.stderr.decode()
            self.assertIn("Usage: ssm_send", err)
            if first:
                self.assertEqual(err.splitlines()[0], first)

    def test_help_prints_the_usage_on_standard_output(self):
        for option in ("--help", "-h"):
            result = run(SEND, option)
            self.assertEqual(result.returncode, 0, option)
            self.assertTrue(result.stdout.startswith(b"Usage: ssm_send"), option)
            self.assertEqual(result.stderr, b"", option)

    def test_wrong_operand_count_says_so_before_the_usage(self):
        for args, given in (([], 0), ([GROUP, SOURCE], 2), ([GROUP, SOURCE, "5000", "x"], 4)):
            result = run(SEND, *args)
            self.assertEqual(result.returncode, 1, args)
            lines = result.stderr.decode().splitlines()
            self.assertEqual(lines[0], "ssm_send: operands: %d given, 3 needed "
                                       "(<group> <source> <port>)" % given)
            self.assertTrue(lines[1].startswith("Usage: ssm_send"), args)

    def test_interval_wins_over_rate_in_either_order(self):
        port = free_port()
        for args in (["-i", 100, "-r", 0], ["-r", 0, "-i", 100]):
            _, elapsed = self.receive_all(["-c", 3] + args + [GROUP, SOURCE, port], port, 3)
            self.assertGreaterEqual(elapsed, 0.19, args)

    def test_source_that_is_not_local_fails_with_status_two(self):
        result = run(SEND, "-c", 1, GROUP, "10.9.9.9", free_port())
        self.assertEqual(result.returncode, 2)
        self.assertEqual(result.stderr.decode(),
                         "ssm_send: bind to source 10.9.9.9: Cannot assign requested address\n")


def sockaddr_in6(address):
    """A sockaddr_in6 in a sockaddr_storage: family, port, flow, address, scope."""
    return struct.pack("=HHI16sI", socket.AF_INET6, 0, 0,
                       socket.inet_pton(socket.AF_INET6, address), 0).ljust(128, b"\0")


def group_source_request(interface, group, source):
    """struct group_source_req: the index, 4 bytes of padding, group and source."""
    return (struct.pack("=I4x", socket.if_nametoindex(interface)) + sockaddr_in6(group) +
            sockaddr_in6(source))


class SendIPv6(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        make_link("send6r", "send6s", sources6=(SOURCE6,))
        cls.addClassCleanup(drop_link, "send6r")
        make_link("send7r", "send7s")
        cls.addClassCleanup(drop_link, "send7r")
        ip("-6", "address", "add", RECEIVER6 + "/128", "dev", "send6r", "nodad")
        # The route is not the way out: the source's link, or the one named.
        ip("-6", "route", "add", "ff3e::/16", "dev", "send7s")

    def receiver(self, port, *interfaces):
        """A socket on port that joins (SOURCE6, GROUP6) on each interface and
        is told each datagram's hop limit and arriving interface."""
        sock = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
        self.addCleanup(sock.close)
        sock.bind(("::", port))
        for interface in interfaces:
            sock.setsockopt(socket.IPPROTO_IPV6, MCAST_JOIN_SOURCE_GROUP,
                            group_source_request(interface, GROUP6, SOURCE6))
        sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_RECVHOPLIMIT, 1)
        sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_RECVPKTINFO, 1)
        return sock

    def receive(self, sock, count, timeout=5, linger=0.2):
        """The count datagrams expected within timeout, and any more within
        linger of the last: (payload, sender, hop limit, interface) each."""
        got = []
        deadline = time.monotonic() + timeout
        while len(got) < count + 10:
            left = deadline - time.monotonic() if len(got) < count else linger
            if left <= 0:
                break
            sock.settimeout(left)
            try:
                data, ancillary, _, sender = sock.recvmsg(70000, 256)
            except socket.timeout:
                break
            hops = interface = None
            for level, kind, value in ancillary:
                if level == socket.IPPROTO_IPV6 and kind == socket.IPV6_HOPLIMIT:
                    hops = struct.unpack("=i", value)[0]
                elif level == socket.IPPROTO_IPV6 and kind == socket.IPV6_PKTINFO:
                    interface = socket.if_indextoname(struct.unpack("=16sI", value)[1])
            got.append((data, sender[:2], hops, interface))
        return got

    def test_stream_arrives_from_the_source_with_its_payloads(self):
        port = free_port()
        sock = self.receiver(port, "send6r")
        send("-c", 3, "-r", 0, "-l", 6, "-s", 41, GROUP6, SOURCE6, port)
        got = self.receive(sock, 3)
        self.assertEqual([data for data, _, _, _ in got],
                         [struct.pack("<i", n) + b"\0\0" for n in (41, 42, 43)])
        self.assertEqual({sender for _, sender, _, _ in got}, {(SOURCE6, got[0][1][1])})
        self.assertEqual({(hops, interface) for _, _, hops, interface in got}, {(1, "send6r")})

    def test_largest_payload(self):
        port = free_port()
        sock = self.receiver(port, "send6r")
        send("-c", 1, "-l", 65527, GROUP6, SOURCE6, port)
        got = self.receive(sock, 1)
        self.assertEqual([len(data) for data, _, _, _ in got], [65527])

    def test_ttl_is_the_hop_limit(self):
        port = free_port()
        sock = self.receiver(port, "send6r")
        send("-c", 1, "-t", 7, GROUP6, SOURCE6, port)
        # A unicast destination: the hop limit is -t's, else the system's.
        send("-c", 1, "-t", 9, "-s", 2, RECEIVER6, SOURCE6, port)
        send("-c", 1, "-s", 3, RECEIVER6, SOURCE6, port)
        got = self.receive(sock, 3)
        with open("/proc/sys/net/ipv6/conf/lo/hop_limit") as f:
            default = int(f.read())
        # Two paths (send6s and lo): the order of arrival is not the test's.
        self.assertEqual(sorted((data[0], hops) for data, _, hops, _ in got),
                         [(1, 7), (2, 9), (3, default)])

    def test_multicast_leaves_through_the_source_link_or_the_one_named(self):
        port = free_port()
        sock = self.receiver(port, "send6r", "send7r")
        # Linux would pick the source's link by itself (table local): the
        # trace shows that the sender names it.
        trace = subprocess.run(["strace", "-e", "trace=setsockopt", "-o", "/dev/stderr", SEND,
                                "-c", "2", "-s", "10", GROUP6, SOURCE6, str(port)],
                               env=traced_environment(), capture_output=True, text=True, timeout=60)
        self.assertEqual(trace.returncode, 0, trace.stderr)
        self.assertIn("IPV6_MULTICAST_IF, [%d], 4) = 0" % socket.if_nametoindex("send6s"),
                      trace.stderr)
        send("-c", 2, "-s", 20, GROUP6 + "%send7s", SOURCE6, port)
        send("-c", 2, "-s", 30, "%s%%%d" % (GROUP6, socket.if_nametoindex("send7s")), SOURCE6, port)
        # Each run's datagrams come out of one link only.
        got = self.receive(sock, 6)
        self.assertEqual(sorted((data[0], interface) for data, _, _, interface in got),
                         [(10, "send6r"), (11, "send6r"), (20, "send7r"), (21, "send7r"),
                          (30, "send7r"), (31, "send7r")])

    def test_ipv4_multicast_leaves_through_the_interface_named(self):
        port = free_port()
        capture = socket.socket(socket.AF_PACKET, socket.SOCK_DGRAM, socket.htons(ETH_P_IP))
        self.addCleanup(capture.close)
        capture.bind(("send7r", ETH_P_IP))
        # Without the suffix the stream stays on lo, the source's interface.
        send("-c", 2, "-s", 10, GROUP, SOURCE, port)
        send("-c", 2, "-s", 20, GROUP + "%send7s", SOURCE, port)
        seen = []
        deadline = time.monotonic() + 5
        while len(seen) < 2 and time.monotonic() < deadline:
            capture.settimeout(max(deadline - time.monotonic(), 0.01))
            try:
                packet = capture.recv(70000)
            except socket.timeout:
                break
            header = (packet[0] & 15) * 4
            destination_port = struct.unpack("!H", packet[header + 2:header + 4])[0]
            if packet[9] == socket.IPPROTO_UDP and destination_port == port:
                seen.append((socket.inet_ntoa(packet[12:16]), socket.inet_ntoa(packet[16:20]),
                             packet[8], packet[header + 8]))
        self.assertEqual(seen, [(SOURCE, GROUP, 1, 20), (SOURCE, GROUP, 1, 21)])

    def test_bad_command_lines(self):
        suffix = "the interface after '%' must be a name of 1 to 15 characters or an index"
        mixed = "ssm_send: group '%s' and source '%s': not of one address family"
        for args, first in (([GROUP6, SOURCE, "5000"], mixed % (GROUP6, SOURCE)),
                            ([GROUP + "%send7s", SOURCE6, "5000"], mixed % (GROUP + "%send7s", SOURCE6)),
                            ([GROUP6 + "%", SOURCE6, "5000"], "ssm_send: group '%s%%': %s" % (GROUP6, suffix)),
                            ([GROUP + "%0", SOURCE, "5000"], "ssm_send: group '%s%%0': %s" % (GROUP, suffix)),
                            ([GROUP6 + "%abcdefghijklmnop", SOURCE6, "5000"],
                             "ssm_send: group '%s%%abcdefghijklmnop': %s" % (GROUP6, suffix)),
                            (["ff3e::8000::1", SOURCE6, "5000"],
                             "ssm_send: group 'ff3e::8000::1': not a valid value"),
                            ([GROUP6, SOURCE6 + "%send6s", "5000"],
                             "ssm_send: source '%s%%send6s': not a valid value" % SOURCE6),
                            (["-l", 65528, GROUP6, SOURCE6, "5000"], "ssm_send: length '65528': not a valid value"),
                            (["-l", 65527, GROUP, SOURCE, "5000"], "ssm_send: length '65527': not a valid value")):
            result = run(SEND, *args)
            self.assertEqual(result.returncode, 1, args)
            self.assertEqual(result.stdout, b"")
            lines = result.stderr.decode().splitlines()
            self.assertEqual(lines[0], first)
            self.assertTrue(lines[1].startswith("Usage: ssm_send"), args)

    def test_interface_that_is_not_there_fails_with_status_two(self):
        for group, source, name in ((GROUP6 + "%eth9", SOURCE6, "eth9"), (GROUP + "%eth9", SOURCE, "eth9"),
                                    (GROUP6 + "%99999", SOURCE6, "99999")):
            result = run(SEND, "-c", 1, group, source, free_port())
            self.assertEqual(result.returncode, 2, group)
            self.assertEqual(result.stderr.decode(), "ssm_send: interface '%s': no such interface\n" % name)


if __name__ == "__main__":
    main()
