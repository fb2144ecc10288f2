"""What both receivers must do alike; mixed into a test class per program."""

import os
import re
import signal
import socket
import struct
import subprocess
import tempfile
import time
import unittest

from harness import (GROUP, GROUP6, LONG_SOURCE, OTHER_SOURCE, OTHER_SOURCE6, SEND, SOURCE,
                     SOURCE6, drop_link, filters_on, free_port, ip, line, make_link,
                     receive_queue_bytes, run, send, socket_drops, traced_environment,
                     wait_until)


# A receiver's drop line; group 2 is the total since the start.
DROP_LINE = re.compile(r"^(\w+): this host dropped [\d,]+ datagrams? before (?:they were|it "
                       r"was) read \(([\d,]+) in all; receive queue [\d,]+ KiB"
                       r"(?:: raise net\.core\.rmem_max)?\)$")


def said_drops(test, errors):
    """The total that the last drop line in errors gives, 0 when there is
    none; every line there must be a drop line."""
    said = errors.splitlines()
    for entry in said:
        test.assertRegex(entry, DROP_LINE)
    return int(DROP_LINE.match(said[-1]).group(2).replace(",", "")) if said else 0


def burst_while_stopped(receiver, port, count):
    """Sends count datagrams of 8 bytes, numbered from 1, as fast as the
    sender goes while the receiver is stopped (SIGSTOP), then lets it go on.
    Returns the kernel's drop count for its socket."""
    pid = receiver.process.pid
    os.kill(pid, signal.SIGSTOP)
    try:
        send("-c", count, "-r", 0, "-l", 8, GROUP, SOURCE, port)
        return socket_drops(pid, port)
    finally:
        os.kill(pid, signal.SIGCONT)


def signal_at(action, number=signal.SIGINT):
    """For preexec_fn: starts the program with signal number at action. A
    test runner may itself run with SIGINT ignored, and would pass that on."""
    return lambda: signal.signal(number, action)


class ChannelCases:
    """The channel itself: also run on the Windows programs under Wine."""

    PROGRAM = None  # set by the test class
    NAME = None

    def test_stream_is_reported_line_for_line_in_order(self):
        port = free_port()
        receiver = self.start(self.PROGRAM, GROUP, SOURCE, port)
        send("-c", 20, "-r", 200, "-s", 100, GROUP, SOURCE, port)
        expected = [line(SOURCE, 100 + i, 32) for i in range(20)]
        self.assertEqual(receiver.wait_lines(20), expected)
        self.assertEqual(receiver.errors(), "")

    def test_only_the_joined_source_is_reported(self):
        port = free_port()
        receiver = self.start(self.PROGRAM, GROUP, SOURCE, port)
        send("-c", 5, "-r", 500, "-s", 900, GROUP, OTHER_SOURCE, port)
        send("-c", 1, "-s", 7, GROUP, SOURCE, port)
        self.assertEqual(receiver.wait_lines(1), [line(SOURCE, 7, 32)])
        time.sleep(0.1)
        self.assertEqual(receiver.lines(), [line(SOURCE, 7, 32)])


class CommonCases(ChannelCases):
    """Everything else both programs do alike, on Linux."""

    # --- Command line -------------------------------------------------------

    def test_too_few_operands_print_usage_without_line_end(self):
        for args in ([], [GROUP], [GROUP, SOURCE]):
            result = run(self.PROGRAM, *args)
            self.assertEqual(result.returncode, 1, args)
            self.assertEqual(result.stdout.decode(),
                             " Use: %s <group> <source> <port>" % self.PROGRAM, args)
            self.assertEqual(result.stderr, b"", args)

    def test_usage_opens_no_socket(self):
        with tempfile.TemporaryDirectory(prefix="ssm-e2e-") as work:
            trace = os.path.join(work, "socket-trace")
            result = subprocess.run(["strace", "-f", "-e", "trace=socket", "-o", trace,
                                     self.PROGRAM, GROUP, SOURCE], capture_output=True,
                                    timeout=10, env=traced_environment())
            self.assertEqual(result.returncode, 1)
            with open(trace) as f:
                calls = [entry for entry in f if "socket(" in entry]
        self.assertEqual(calls, [])

    def test_bad_operands_are_named_and_status_is_one(self):
        cases = [
            ([GROUP[:-2], SOURCE, "5000"], "group '%s': not a dotted-decimal IPv4 address" % GROUP[:-2]),
            (["232.1.2.3.4", SOURCE, "5000"], "group '232.1.2.3.4': not a dotted-decimal IPv4 address"),
            ([GROUP, "source", "5000"], "source 'source': not a dotted-decimal IPv4 address"),
            ([GROUP, "010.1.1.1", "5000"], "source '010.1.1.1': not a dotted-decimal IPv4 address"),
            ([GROUP, SOURCE, "abc"], "port 'abc': not a decimal number from 0 to 65535"),
            ([GROUP, SOURCE, "123abc"], "port '123abc': not a decimal number from 0 to 65535"),
            ([GROUP, SOURCE, "65536"], "port '65536': not a decimal number from 0 to 65535"),
            ([GROUP, SOURCE, "-1"], "port '-1': not a decimal number from 0 to 65535"),
            ([GROUP, SOURCE, ""], "port '': not a decimal number from 0 to 65535"),
        ]
        for args, message in cases:
            result = run(self.PROGRAM, *args)
            self.assertEqual(result.returncode, 1, args)
            self.assertEqual(result.stdout, b"", args)
            self.assertEqual(result.stderr.decode(), "%s: %s\n" % (self.NAME, message))

    def test_operands_after_the_third_are_ignored(self):
        port = free_port()
        receiver = self.start(self.PROGRAM, GROUP, SOURCE, port, "extra", "-x")
        send("-c", 2, "-r", 100, GROUP, SOURCE, port)
        self.assertEqual(receiver.wait_lines(2), [line(SOURCE, 1, 32), line(SOURCE, 2, 32)])
        self.assertEqual(receiver.errors(), "")

    def test_broadcast_address_is_an_address_not_an_error(self):
        # 255.255.255.255 is not a group: the join is refused and said so.
        port = free_port()
        receiver = self.start(self.PROGRAM, "255.255.255.255", SOURCE, port)
        self.assertTrue(wait_until(lambda: receiver.errors(), 5))
        self.assertEqual(receiver.errors(),
                         "%s: warning: join group 255.255.255.255 from source %s: Invalid argument\n"
                         % (self.NAME, SOURCE))
        self.assertTrue(receiver.alive())

    # --- Start-up failures --------------------------------------------------

    def test_port_in_use_stops_with_status_two(self):
        port = free_port()
        holder = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        holder.bind(("0.0.0.0", port))
        try:
            result = run(self.PROGRAM, GROUP, SOURCE, port)
        finally:
            holder.close()
        self.assertEqual(result.returncode, 2)
        self.assertEqual(result.stdout, b"")
        self.assertEqual(result.stderr.decode(),
                         "%s: bind to port %d: Address already in use\n" % (self.NAME, port))

    def test_refused_membership_warns_and_still_reports_unicast(self):
        port = free_port()
        ip("route", "del", "232.0.0.0/8", "dev", "lo")
        try:
            receiver = self.start(self.PROGRAM, GROUP, SOURCE, port)
            self.assertTrue(wait_until(lambda: receiver.errors(), 5))
        finally:
            ip("route", "add", "232.0.0.0/8", "dev", "lo")
        self.assertEqual(receiver.errors().splitlines()[0],
                         "%s: warning: join group %s from source %s: No such device"
                         % (self.NAME, GROUP, SOURCE))
        send("-c", 1, "-s", 5, "127.0.0.1", SOURCE, port)
        self.assertEqual(receiver.wait_lines(1), [line(SOURCE, 5, 32)])
        self.assertEqual(receiver.output(), line(SOURCE, 5, 32))

    def test_unwritable_output_stops_with_status_two(self):
        port = free_port()
        with open("/dev/full", "wb") as full:
            receiver = self.start(self.PROGRAM, GROUP, SOURCE, port, stdout=full)
            send("-c", 1, GROUP, SOURCE, port)
            receiver.process.wait(timeout=10)
        self.assertEqual(receiver.process.returncode, 2)
        self.assertEqual(receiver.errors(),
                         "%s: write to standard output: No space left on device\n" % self.NAME)

    def test_closed_pipe_keeps_default_signal(self):
        port = free_port()
        reader, writer = os.pipe()
        with os.fdopen(writer, "wb") as pipe_out:
            receiver = self.start(self.PROGRAM, GROUP, SOURCE, port, stdout=pipe_out)
        os.close(reader)
        send("-c", 3, "-r", 100, GROUP, SOURCE, port)
        receiver.process.wait(timeout=10)
        self.assertEqual(receiver.process.returncode, -signal.SIGPIPE)

    def test_closed_standard_output_stops_before_any_socket(self):
        with tempfile.TemporaryDirectory(prefix="ssm-e2e-") as work:
            trace = os.path.join(work, "socket-trace")
            # The shell closes it for the program alone.
            result = subprocess.run(["strace", "-f", "-e", "trace=socket", "-o", trace, "sh", "-c",
                                     'exec "$0" "$@" >&-', self.PROGRAM, GROUP, SOURCE,
                                     str(free_port())], capture_output=True, timeout=10,
                                    env=traced_environment())
            with open(trace) as f:
                calls = [entry for entry in f if "socket(" in entry]
        self.assertEqual(result.returncode, 2)
        self.assertEqual(result.stderr.decode(), "%s: write to standard output: it is closed\n" % self.NAME)
        self.assertEqual(calls, [])

    def test_port_zero_says_the_port_the_system_chose(self):
        receiver = self.start(self.PROGRAM, GROUP, SOURCE, 0, wait_ready=False)
        self.assertTrue(wait_until(lambda: "\n" in receiver.errors(), 5))
        prefix = "%s: port 0: the system chose port " % self.NAME
        said = receiver.errors()
        self.assertTrue(said.startswith(prefix) and said.endswith("\n"), said)
        port = int(said[len(prefix):-1])
        self.assertTrue(1 <= port <= 65535, said)
        send("-c", 1, "-s", 4, "127.0.0.1", OTHER_SOURCE, port)
        self.assertEqual(receiver.wait_lines(1), [line(OTHER_SOURCE, 4, 32)])

    # --- Reports ------------------------------------------------------------

    def test_another_sockets_group_is_not_reported(self):
        port = free_port()
        receiver = self.start(self.PROGRAM, GROUP, SOURCE, port)
        # Another program on the host joins 232.9.9.9 (any source) on another port.
        other = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        other.bind(("0.0.0.0", free_port()))
        other.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                         struct.pack("4s4s", socket.inet_aton("232.9.9.9"), socket.inet_aton("0.0.0.0")))
        try:
            send("-c", 5, "-r", 500, "-s", 900, "232.9.9.9", SOURCE, port)
            send("-c", 1, "-s", 8, GROUP, SOURCE, port)
            self.assertEqual(receiver.wait_lines(1), [line(SOURCE, 8, 32)])
            time.sleep(0.1)
            self.assertEqual(receiver.lines(), [line(SOURCE, 8, 32)])
        finally:
            other.close()

    def test_unicast_to_the_port_is_reported(self):
        port = free_port()
        receiver = self.start(self.PROGRAM, GROUP, SOURCE, port)
        send("-c", 1, "-s", 3, "127.0.0.1", OTHER_SOURCE, port)
        self.assertEqual(receiver.wait_lines(1), [line(OTHER_SOURCE, 3, 32)])

    def test_long_sender_address_widens_the_line(self):
        port = free_port()
        receiver = self.start(self.PROGRAM, GROUP, SOURCE, port)
        send("-c", 1, "-s", 12, "127.0.0.1", LONG_SOURCE, port)
        self.assertEqual(receiver.wait_lines(1), ["192.168.100.200:seq=    12:len=  32\n"])

    def test_sequence_edge_values(self):
        port = free_port()
        receiver = self.start(self.PROGRAM, GROUP, SOURCE, port)
        for start in (1, 16777216, -1, 1234567, -2147483648, 2147483647):
            send("-c", 1, "-s", start, GROUP, SOURCE, port)
        self.assertEqual(receiver.wait_lines(6), [
            "    10.1.1.1:seq=     1:len=  32\n",
            "    10.1.1.1:seq=16777216:len=  32\n",
            "    10.1.1.1:seq=    -1:len=  32\n",
            "    10.1.1.1:seq=1234567:len=  32\n",
            "    10.1.1.1:seq=-2147483648:len=  32\n",
            "    10.1.1.1:seq=2147483647:len=  32\n",
        ])

    def test_lengths_from_empty_to_the_largest(self):
        port = free_port()
        receiver = self.start(self.PROGRAM, GROUP, SOURCE, port)
        for length, start in ((65507, 0x01020304), (2, 0x0605), (0, 99), (4, 4), (3, 0x7f0000ff)):
            send("-c", 1, "-l", length, "-s", start, GROUP, SOURCE, port)
        self.assertEqual(receiver.wait_lines(5), [
            line(SOURCE, 0x01020304, 65507),
            line(SOURCE, 0x0605, 2),   # bytes 2-3 were not sent: zero, not 0x0102
            line(SOURCE, 0, 0),
            "    10.1.1.1:seq=     4:len=   4\n",
            line(SOURCE, 0xff, 3),
        ])

    def test_burst_gives_every_line_in_order(self):
        port = free_port()
        receiver = self.start(self.PROGRAM, GROUP, SOURCE, port)
        send("-c", 400, "-r", 0, "-l", 8, GROUP, SOURCE, port)
        expected = [line(SOURCE, 1 + i, 8) for i in range(400)]
        self.assertEqual(receiver.wait_lines(400), expected)

    def test_line_reaches_a_file_while_the_program_waits(self):
        port = free_port()
        receiver = self.start(self.PROGRAM, GROUP, SOURCE, port)
        send("-c", 1, "-s", 41, GROUP, SOURCE, port)
        sent = time.monotonic()
        self.assertEqual(receiver.wait_lines(1, timeout=2), [line(SOURCE, 41, 32)])
        self.assertLess(time.monotonic() - sent, 0.5, "the line waited in the process")
        self.assertTrue(receiver.alive())

    def test_line_reaches_a_pipe_while_the_program_waits(self):
        port = free_port()
        reader, writer = os.pipe()
        with os.fdopen(writer, "wb") as pipe_out:
            receiver = self.start(self.PROGRAM, GROUP, SOURCE, port, stdout=pipe_out)
        with os.fdopen(reader, "rb") as pipe_in:
            send("-c", 1, "-s", 42, GROUP, SOURCE, port)
            os.set_blocking(pipe_in.fileno(), False)
            data = wait_until(lambda: pipe_in.read() or b"", 2)
        self.assertEqual(data.decode(), line(SOURCE, 42, 32))
        self.assertTrue(receiver.alive())

    def test_non_blocking_pipe_with_a_slow_reader_gets_every_line(self):
        # An event loop at the other end makes the pipe non-blocking; the
        # program waits for room instead of failing.
        port, count = free_port(), 6000
        reader, writer = os.pipe()
        os.set_blocking(writer, False)
        with os.fdopen(writer, "wb") as pipe_out:
            receiver = self.start(self.PROGRAM, GROUP, SOURCE, port, stdout=pipe_out)
        data = b""
        with os.fdopen(reader, "rb", buffering=0) as pipe_in:
            send("-c", count, "-r", 0, "-l", 8, GROUP, SOURCE, port)
            deadline = time.monotonic() + 20
            while data.count(b"\n") < count and time.monotonic() < deadline:
                time.sleep(0.005)  # slower than the program writes
                data += pipe_in.read(4096)
        self.assertEqual(data.decode().splitlines(keepends=True),
                         [line(SOURCE, 1 + i, 8) for i in range(count)])
        self.assertTrue(receiver.alive())
        self.assertEqual(receiver.errors(), "")

    def test_nothing_is_lost_when_stopped(self):
        for stop_signal in (signal.SIGINT, signal.SIGTERM):
            port = free_port()
            receiver = self.start(self.PROGRAM, GROUP, SOURCE, port)
            send("-c", 300, "-r", 2000, GROUP, SOURCE, port)
            receiver.wait_lines(300, timeout=5)
            time.sleep(0.05)
            receiver.stop(stop_signal)
            self.assertEqual(receiver.lines(), [line(SOURCE, 1 + i, 32) for i in range(300)],
                             signal.Signals(stop_signal).name)


    # --- Stopped at the worst moment ----------------------------------------

    BURST = 20000

    def stopped_after_burst(self, stop_signal, tries=1):
        """Sends a burst as fast as the sender goes, and stops the receiver
        with stop_signal the moment its queue is empty: the last datagrams
        are taken, and their lines may still be held. Checks every line and
        the status, tries times."""
        expected = [line(SOURCE, 1 + i, 8) for i in range(self.BURST)]
        for attempt in range(tries):
            port = free_port()
            receiver = self.start(self.PROGRAM, GROUP, SOURCE, port,
                                  preexec_fn=signal_at(signal.SIG_DFL))
            pid = receiver.process.pid
            send("-c", self.BURST, "-r", 0, "-l", 8, GROUP, SOURCE, port)
            self.assertTrue(wait_until(lambda: receive_queue_bytes(pid, port) == 0, 10,
                                       interval=0), "the queue never emptied")
            # The burst is over: what the kernel dropped (a slow build on a
            # busy machine falls behind) is final, and has no line.
            dropped = socket_drops(pid, port)
            receiver.process.send_signal(stop_signal)
            receiver.process.wait(timeout=10)
            name = "%s, try %d, %d dropped" % (signal.Signals(stop_signal).name, attempt + 1,
                                               dropped)
            self.assertEqual(receiver.process.returncode, -stop_signal, name)
            got = receiver.lines()
            numbers = [int(entry.split("seq=")[1].split(":")[0]) for entry in got]
            self.assertEqual(got, [line(SOURCE, n, 8) for n in numbers], name)
            # Each datagram taken has its line, in order: the lines are the
            # burst but for as many as the kernel dropped.
            self.assertTrue(all(1 <= a < b <= self.BURST for a, b in zip(numbers, numbers[1:])),
                            name)
            self.assertEqual(len(got), self.BURST - dropped, name)
            if dropped == 0:
                self.assertEqual(got, expected, name)
            self.assertEqual(said_drops(self, receiver.errors()), dropped, name)

    def test_stop_right_after_a_burst_loses_no_line(self):
        self.stopped_after_burst(signal.SIGTERM, tries=10)

    def test_interrupt_and_hang_up_write_out_the_lines_too(self):
        self.stopped_after_burst(signal.SIGINT)
        self.stopped_after_burst(signal.SIGHUP)

    def test_stop_just_before_a_blocking_call_is_not_lost(self):
        # The preload sleeps before each call that could block: the signal
        # lands after the loop's last look for a stop, before the call.
        port = free_port()
        receiver = self.start(self.PROGRAM, GROUP, SOURCE, port, extra_env={
            "LD_PRELOAD": os.environ["SSM_SLOW_PRELOAD"], "SSM_SLOW_MS": "300",
            "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"})
        send("-c", 1, GROUP, SOURCE, port)
        self.assertEqual(receiver.wait_lines(1), [line(SOURCE, 1, 32)])
        time.sleep(0.05)
        receiver.process.send_signal(signal.SIGINT)
        try:
            receiver.process.wait(timeout=0.6)
        except subprocess.TimeoutExpired:
            self.fail("a SIGINT just before the blocking call was lost")
        self.assertEqual(receiver.process.returncode, -signal.SIGINT)

    def test_interrupt_ignored_at_start_stays_ignored(self):
        port = free_port()
        receiver = self.start(self.PROGRAM, GROUP, SOURCE, port,
                              preexec_fn=signal_at(signal.SIG_IGN))
        receiver.process.send_signal(signal.SIGINT)
        time.sleep(0.2)
        self.assertTrue(receiver.alive(), "SIGINT was ignored at start")
        send("-c", 1, "-s", 9, GROUP, SOURCE, port)
        self.assertEqual(receiver.wait_lines(1), [line(SOURCE, 9, 32)])
        self.assertEqual(receiver.stop(signal.SIGTERM), -signal.SIGTERM)


class FamilyCases:
    """IPv6 channels and the interface named on the group operand, over veth
    pairs made here: the IPv6 stream goes out of ssm6s and comes in on ssm6r,
    a second pair ssm7r/ssm7s carries IPv4 and IPv6 alike."""

    @classmethod
    def setUpClass(cls):
        make_link("ssm6r", "ssm6s", sources6=(SOURCE6, OTHER_SOURCE6))
        make_link("ssm7r", "ssm7s", sources6=("fd00:78::1",), sources4=("10.7.7.7",))
        # IPv4 from an address of this namespace arriving on ssm7r: not a
        # martian here.
        with open("/proc/sys/net/ipv4/conf/all/accept_local", "w") as f:
            f.write("1")

    @classmethod
    def tearDownClass(cls):
        drop_link("ssm6r")
        drop_link("ssm7r")

    def test_ipv6_channel_is_reported_and_nothing_else(self):
        port = free_port()
        receiver = self.start(self.PROGRAM, GROUP6 + "%ssm6r", SOURCE6, port)
        self.assertTrue(wait_until(lambda: filters_on("ssm6r", GROUP6, SOURCE6), 5),
                        "the filter is in /proc/net/mcfilter6")
        # Another program joins another group, any source, on another port.
        other = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
        other.bind(("::", free_port()))
        other.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_JOIN_GROUP,
                         socket.inet_pton(socket.AF_INET6, "ff3e::8000:2") +
                         struct.pack("@I", socket.if_nametoindex("ssm6r")))
        try:
            send("-c", 5, "-r", 500, "-s", 900, GROUP6, OTHER_SOURCE6, port)
            send("-c", 5, "-r", 500, "-s", 800, "ff3e::8000:2", SOURCE6, port)
            send("-c", 20, "-r", 200, "-s", 100, GROUP6, SOURCE6, port)
            expected = [line(SOURCE6, 100 + i, 32) for i in range(20)]
            self.assertEqual(receiver.wait_lines(20), expected)
            time.sleep(0.1)
            self.assertEqual(receiver.lines(), expected)
        finally:
            other.close()
        # Unicast to the port comes in on lo, not on the interface named.
        send("-c", 1, "-s", 5, "::1", "::1", port)
        send("-c", 1, "-s", 6, GROUP6, SOURCE6, port)
        self.assertEqual(receiver.wait_lines(21), expected + [line(SOURCE6, 6, 32)])
        self.assertEqual(receiver.errors(), "")

    def test_named_interface_holds_the_membership_alone(self):
        for group, source, sending in ((GROUP6, "fd00:78::1", "ssm7s"),
                                       (GROUP, "10.7.7.7", "ssm7s")):
            port = free_port()
            receiver = self.start(self.PROGRAM, group + "%ssm7r", source, port)
            self.assertTrue(wait_until(lambda: filters_on("ssm7r", group, source), 5), group)
            for device in ("lo", "ssm6r", "ssm6s", "ssm7s"):
                self.assertFalse(filters_on(device, group, source), (group, device))
            send("-c", 5, "-r", 200, group + "%" + sending, source, port)
            self.assertEqual(receiver.wait_lines(5), [line(source, 1 + i, 32) for i in range(5)],
                             group)

    def test_named_interface_takes_only_its_own_link(self):
        # Linux matches an IPv6 membership by group and source alone: with
        # another socket holding the channel on ssm7r, a receiver named for
        # ssm6r would get ssm7r's datagrams too.
        port = free_port()
        receiver = self.start(self.PROGRAM, GROUP6 + "%ssm6r", SOURCE6, port)
        self.assertTrue(wait_until(lambda: filters_on("ssm6r", GROUP6, SOURCE6), 5))
        ip("-6", "address", "add", SOURCE6 + "/128", "dev", "ssm7s", "nodad")
        other = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
        try:
            # struct group_source_req: interface, then two sockaddr_storage.
            request = struct.pack("@I4x", socket.if_nametoindex("ssm7r"))
            for address in (GROUP6, SOURCE6):
                request += struct.pack("@H6x16s104x", socket.AF_INET6,
                                       socket.inet_pton(socket.AF_INET6, address))
            other.setsockopt(socket.IPPROTO_IPV6, 46, request)  # MCAST_JOIN_SOURCE_GROUP
            self.assertTrue(wait_until(lambda: filters_on("ssm7r", GROUP6, SOURCE6), 5))
            send("-c", 5, "-r", 500, "-s", 101, GROUP6 + "%ssm7s", SOURCE6, port)
            for sending, start in (("ssm6s", 1), ("ssm7s", 1), ("ssm6s", 6)):
                send("-c", 5, "-r", 500, "-s", start, GROUP6 + "%" + sending, SOURCE6, port)
            expected = [line(SOURCE6, 1 + i, 32) for i in range(10)]
            self.assertEqual(receiver.wait_lines(10), expected)
            time.sleep(0.1)
            self.assertEqual(receiver.lines(), expected, "each datagram once, none of ssm7r")
        finally:
            other.close()
            ip("-6", "address", "del", SOURCE6 + "/128", "dev", "ssm7s")
        self.assertEqual(receiver.errors(), "")

    def test_interface_not_there_is_a_warning(self):
        # One wording whether the interface is given by name or by index.
        for suffix in ("ssm9r", "999"):
            port = free_port()
            receiver = self.start(self.PROGRAM, GROUP6 + "%" + suffix, SOURCE6, port)
            self.assertTrue(wait_until(lambda: receiver.errors(), 5))
            self.assertEqual(receiver.errors(),
                             "%s: warning: join group %s%%%s from source %s: no such interface\n"
                             % (self.NAME, GROUP6, suffix, SOURCE6))
            self.assertTrue(receiver.alive())

    def test_families_that_do_not_match_are_refused(self):
        for group, source in ((GROUP, SOURCE6), (GROUP6 + "%ssm6r", SOURCE)):
            result = run(self.PROGRAM, group, source, free_port())
            self.assertEqual(result.returncode, 1)
            self.assertEqual(result.stderr.decode(),
                             "%s: group '%s' and source '%s': not of one address family\n"
                             % (self.NAME, group, source))
        result = run(self.PROGRAM, GROUP6 + "%", SOURCE6, free_port())
        self.assertEqual(result.returncode, 1)
        self.assertIn("the interface after '%' must be", result.stderr.decode())


class HostCases:
    """What the receivers say of this host's own blockers and drops. The
    sender is in a namespace of its own (a source that is a local address is
    dropped as a martian before any reverse-path check): its end hcs of a
    veth pair holds 10.50.0.2/24 (on the receiving link), 10.60.0.1 (routed
    back here through another pair, hcx/hcy) and 10.70.0.1 (no route back);
    the stream comes in on hcr, where 232.50.0.0/16 is routed."""

    FAR_GROUP = "232.50.0.1"
    ON_LINK = "10.50.0.2"
    ELSEWHERE = "10.60.0.1"
    NOWHERE = "10.70.0.1"
    FAR_SOURCE6 = "fd00:50::2"
    SETTINGS = ("net/ipv4/conf/all/rp_filter", "net/ipv4/conf/hcr/rp_filter",
                "net/ipv4/conf/lo/rp_filter", "net/ipv4/conf/hcr/force_igmp_version",
                "net/ipv6/conf/hcr/force_mld_version", "net/ipv4/conf/all/accept_local")

    @classmethod
    def setUpClass(cls):
        cls.netns = "ssmhc%d" % os.getpid()
        made = subprocess.run(["ip", "netns", "add", cls.netns], capture_output=True, text=True,
                              timeout=10)
        if made.returncode != 0:
            raise unittest.SkipTest("cannot make the sender's namespace: " + made.stderr.strip())
        try:
            cls.make_links()
        except BaseException:
            cls.tearDownClass()  # not called when setUpClass fails: the namespace would stay
            raise

    @classmethod
    def make_links(cls):
        there = ["ip", "-n", cls.netns]
        ip("link", "add", "hcr", "type", "veth", "peer", "name", "hcs", "netns", cls.netns)
        ip("link", "add", "hcx", "type", "veth", "peer", "name", "hcy")
        for device in ("hcr", "hcx", "hcy"):
            ip("link", "set", device, "up")
        ip("address", "add", "10.50.0.1/24", "dev", "hcr")
        ip("route", "add", "232.50.0.0/16", "dev", "hcr")
        ip("route", "add", "10.60.0.0/24", "dev", "hcx")
        for command in (["link", "set", "lo", "up"], ["link", "set", "hcs", "up"],
                        ["address", "add", cls.ON_LINK + "/24", "dev", "hcs"],
                        ["address", "add", cls.ELSEWHERE + "/32", "dev", "hcs"],
                        ["address", "add", cls.NOWHERE + "/32", "dev", "hcs"],
                        ["-6", "address", "add", cls.FAR_SOURCE6 + "/64", "dev", "hcs", "nodad"]):
            subprocess.run(there + command, check=True, timeout=10)

    @classmethod
    def tearDownClass(cls):
        drop_link("hcr")
        drop_link("hcx")
        subprocess.run(["ip", "netns", "del", cls.netns], stderr=subprocess.DEVNULL, timeout=10)

    def setUp(self):
        super().setUp()
        self.saved = {name: self.setting(name) for name in self.SETTINGS}

    def tearDown(self):
        super().tearDown()
        for name, value in self.saved.items():
            self.setting(name, value)

    @staticmethod
    def setting(name, value=None):
        with open("/proc/sys/" + name, "r+" if value is not None else "r") as f:
            if value is None:
                return f.read().strip()
            f.write(str(value))
            return value

    def send_far(self, *args):
        """Runs the sender in its own namespace, out of hcs."""
        subprocess.run(["ip", "netns", "exec", self.netns, SEND] + [str(a) for a in args],
                       check=True, capture_output=True, timeout=30)

    def warned(self, receiver, count=1):
        self.assertTrue(wait_until(lambda: receiver.errors().count("\n") >= count, 5),
                        "no warning")
        return receiver.errors()

    def rp_warning(self, cause, source, why):
        return "%s: warning: reverse-path filtering (%s) drops datagrams from %s: %s\n" % (
            self.NAME, cause, source, why)

    def test_strict_filtering_with_the_route_back_elsewhere_is_a_warning(self):
        self.setting("net/ipv4/conf/hcr/rp_filter", 1)
        expected = self.rp_warning("rp_filter 1 on hcr", self.ELSEWHERE,
                                   "its route leaves by hcx")
        for group in (self.FAR_GROUP, self.FAR_GROUP + "%hcr"):
            port = free_port()
            receiver = self.start(self.PROGRAM, group, self.ELSEWHERE, port)
            self.assertEqual(self.warned(receiver), expected, group)
        # And it is so: nothing arrives.
        self.send_far("-c", 3, "-r", 200, self.FAR_GROUP + "%hcs", self.ELSEWHERE, port)
        time.sleep(0.2)
        self.assertEqual(receiver.output(), "")

    def test_filtering_for_all_and_loose_without_a_route_back_are_warnings(self):
        self.setting("net/ipv4/conf/all/rp_filter", 1)
        self.setting("net/ipv4/conf/hcr/rp_filter", 0)
        receiver = self.start(self.PROGRAM, self.FAR_GROUP, self.ELSEWHERE, free_port())
        self.assertEqual(self.warned(receiver), self.rp_warning(
            "rp_filter 1 on all interfaces, over 0 on hcr", self.ELSEWHERE,
            "its route leaves by hcx"))
        self.setting("net/ipv4/conf/all/rp_filter", 0)
        self.setting("net/ipv4/conf/hcr/rp_filter", 2)
        receiver = self.start(self.PROGRAM, self.FAR_GROUP, self.NOWHERE, free_port())
        self.assertEqual(self.warned(receiver), self.rp_warning(
            "rp_filter 2 on hcr", self.NOWHERE, "no route leads back to it"))

    def test_a_source_on_the_link_or_no_filtering_is_reported_and_nothing_said(self):
        for rp_filter, source in ((1, self.ON_LINK), (0, self.ELSEWHERE)):
            self.setting("net/ipv4/conf/hcr/rp_filter", rp_filter)
            port = free_port()
            receiver = self.start(self.PROGRAM, self.FAR_GROUP, source, port)
            self.send_far("-c", 3, "-r", 200, self.FAR_GROUP + "%hcs", source, port)
            self.assertEqual(receiver.wait_lines(3), [line(source, 1 + i, 32) for i in range(3)])
            self.assertEqual(receiver.errors(), "", source)

    def test_loopback_with_strict_filtering_says_nothing(self):
        self.setting("net/ipv4/conf/all/rp_filter", 1)
        self.setting("net/ipv4/conf/lo/rp_filter", 1)
        port = free_port()
        receiver = self.start(self.PROGRAM, GROUP, SOURCE, port)
        send("-c", 3, "-r", 200, GROUP, SOURCE, port)
        self.assertEqual(receiver.wait_lines(3), [line(SOURCE, 1 + i, 32) for i in range(3)])
        self.assertEqual(receiver.errors(), "")

    def test_own_address_over_a_link_is_a_martian_warning(self):
        self.setting("net/ipv4/conf/all/accept_local", 0)
        ip("address", "add", "10.66.0.5/32", "dev", "lo")
        self.addCleanup(ip, "address", "del", "10.66.0.5/32", "dev", "lo")
        subprocess.run(["ip", "-n", self.netns, "address", "add", "10.66.0.5/32", "dev", "hcs"],
                       check=True, timeout=10)
        self.addCleanup(subprocess.run, ["ip", "-n", self.netns, "address", "del",
                                         "10.66.0.5/32", "dev", "hcs"], timeout=10)
        port = free_port()
        receiver = self.start(self.PROGRAM, self.FAR_GROUP, "10.66.0.5", port)
        self.assertEqual(self.warned(receiver), "%s: warning: 10.66.0.5 is an address of this "
                         "host: what comes in from it on hcr is dropped as a martian "
                         "(net.ipv4.conf.hcr.accept_local=1 lets it in)\n" % self.NAME)
        self.send_far("-c", 3, "-r", 200, self.FAR_GROUP + "%hcs", "10.66.0.5", port)
        time.sleep(0.2)
        self.assertEqual(receiver.output(), "", "and it is so")

    def test_interface_down_at_start_is_said_and_no_drop_is_guessed(self):
        # Down, its routes are gone and the kernel's check refuses the
        # source: that says nothing of the stream once it is up.
        self.setting("net/ipv4/conf/hcr/rp_filter", 1)
        ip("link", "set", "hcr", "down")
        try:
            port = free_port()
            receiver = self.start(self.PROGRAM, self.FAR_GROUP + "%hcr", self.ON_LINK, port)
            down = "%s: warning: hcr is down: nothing comes in on it until it is up\n" % self.NAME
            self.assertEqual(self.warned(receiver), down)
        finally:
            ip("link", "set", "hcr", "up")
            ip("route", "replace", "232.50.0.0/16", "dev", "hcr")
        # Past a renewal, where ssm_watch looks again.
        time.sleep(1.3)
        self.send_far("-c", 10, "-r", 500, self.FAR_GROUP + "%hcs", self.ON_LINK, port)
        self.assertEqual(receiver.wait_lines(10), [line(self.ON_LINK, 1 + i, 32) for i in range(10)])
        self.assertEqual(receiver.errors(), down)

    def test_igmpv2_and_mldv1_are_warnings(self):
        tail = ": its reports name no source, and routers serving SSM ignore them\n"
        self.setting("net/ipv4/conf/hcr/force_igmp_version", 2)
        receiver = self.start(self.PROGRAM, self.FAR_GROUP, self.ON_LINK, free_port())
        self.assertEqual(self.warned(receiver), "%s: warning: hcr speaks IGMPv2 "
                         "(net.ipv4.conf.hcr.force_igmp_version=2)%s" % (self.NAME, tail))
        self.setting("net/ipv6/conf/hcr/force_mld_version", 1)
        receiver = self.start(self.PROGRAM, GROUP6 + "%hcr", self.FAR_SOURCE6, free_port())
        self.assertEqual(self.warned(receiver), "%s: warning: hcr speaks MLDv1 "
                         "(net.ipv6.conf.hcr.force_mld_version=1)%s" % (self.NAME, tail))

    def stopped_burst(self, count):
        """Sends count datagrams while a receiver is stopped, waits until it
        has reported every datagram its queue kept and stops it. Returns the
        receiver and the kernel's drop count."""
        port = free_port()
        receiver = self.start(self.PROGRAM, GROUP, SOURCE, port)
        dropped = burst_while_stopped(receiver, port, count)
        kept = count - dropped
        self.assertEqual(receiver.wait_lines(kept, timeout=20),
                         [line(SOURCE, 1 + i, 8) for i in range(kept)])
        self.assertEqual(socket_drops(receiver.process.pid, port), dropped)
        self.assertEqual(receiver.stop(signal.SIGTERM), -signal.SIGTERM)
        return receiver, dropped

    @staticmethod
    def overflowing_burst():
        """Three times what the receive queue holds (832 bytes of kernel
        memory a small datagram)."""
        with open("/proc/sys/net/core/rmem_max") as f:
            queue = 2 * min(4 * 1024 * 1024, int(f.read()))
        return 3 * queue // 832

    def test_drops_while_stopped_are_said_with_the_kernels_total(self):
        receiver, dropped = self.stopped_burst(self.overflowing_burst())
        self.assertGreater(dropped, 0, "the burst overflowed the queue")
        self.assertTrue(receiver.errors(), "no drop line")
        self.assertEqual(said_drops(self, receiver.errors()), dropped)
        # A burst the queue holds: nothing dropped, nothing said.
        receiver, dropped = self.stopped_burst(200)
        self.assertEqual(dropped, 0)
        self.assertEqual(receiver.errors(), "")

    def test_drops_of_a_burst_are_said_in_the_silence_after_it(self):
        # The count is read at the first datagram; the burst comes within
        # the second after it, and nothing follows the burst.
        port = free_port()
        receiver = self.start(self.PROGRAM, GROUP, SOURCE, port)
        send("-c", 1, "-s", 0, "-l", 8, GROUP, SOURCE, port)
        self.assertEqual(receiver.wait_lines(1), [line(SOURCE, 0, 8)])
        dropped = burst_while_stopped(receiver, port, self.overflowing_burst())
        self.assertGreater(dropped, 0, "the burst overflowed the queue")
        self.assertTrue(wait_until(lambda: receiver.errors().endswith("\n"), 2),
                        "no drop line within 2 s")
        self.assertEqual(said_drops(self, receiver.errors()), dropped)
        self.assertTrue(receiver.alive())
