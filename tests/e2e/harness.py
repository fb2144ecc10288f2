"""Shared pieces of the end-to-end tests.

The tests run inside the private network namespace that in_netns.sh makes:
lo is up and multicast-capable, 10.1.1.1, 10.2.2.2 and 192.168.100.200 are on
it, and 232.0.0.0/8 is routed to it. Every wait has a deadline.
"""

import codecs
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import time
import unittest

LISTEN = os.environ.get("SSM_LISTEN", "ssm_listen")
WATCH = os.environ.get("SSM_WATCH", "ssm_watch")
SEND = os.environ.get("SSM_SEND", "ssm_send")

GROUP = "232.1.2.3"
SOURCE = "10.1.1.1"
OTHER_SOURCE = "10.2.2.2"
LONG_SOURCE = "192.168.100.200"

# IPv6: multicast on lo is not delivered, so IPv6 channels run over veth
# pairs that the tests make (make_link): the sources on the sending end.
GROUP6 = "ff3e::8000:1"
SOURCE6 = "fd00:77::1"
OTHER_SOURCE6 = "fd00:77::2"

_next_port = [20000 + os.getpid() % 20000]


def free_port():
    """A port no earlier test of this run has used."""
    _next_port[0] += 1
    return _next_port[0]


def traced_environment():
    """The environment for a program run under strace. LeakSanitizer cannot
    work under ptrace and fails the program at exit, so a sanitized build
    checks for leaks only in the runs that are not traced."""
    environment = dict(os.environ)
    options = environment.get("ASAN_OPTIONS")
    if options is not None:
        environment["ASAN_OPTIONS"] = options + ":detect_leaks=0"
    return environment


def wait_until(predicate, timeout, interval=0.005):
    """Polls predicate until it is true or timeout seconds pass; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


def _udp_rows():
    """The rows of this namespace's UDP sockets, IPv4 and IPv6."""
    rows = []
    for path in ("/proc/net/udp", "/proc/net/udp6"):
        with open(path) as table:
            rows += [line.split() for line in table.readlines()[1:]]
    return rows


def port_bound(port):
    """Whether some UDP socket of this namespace is bound to port."""
    return any(row[1].endswith(":%04X" % port) for row in _udp_rows())


def receive_queue_bytes(pid, port):
    """The kernel memory queued on the UDP socket bound to port, as the
    namespace of process pid lists it; None when there is no such socket."""
    for name in ("udp", "udp6"):
        with open("/proc/%d/net/%s" % (pid, name)) as table:
            for row in table.readlines()[1:]:
                fields = row.split()
                if fields[1].endswith(":%04X" % port):
                    return int(fields[4].split(":")[1], 16)
    return None


def socket_drops(pid, port):
    """The datagrams the UDP socket bound to port dropped (the last column of
    /proc/PID/net/udp), as the namespace of process pid lists it; None when
    there is no such socket."""
    for name in ("udp", "udp6"):
        with open("/proc/%d/net/%s" % (pid, name)) as table:
            for row in table.readlines()[1:]:
                fields = row.split()
                if fields[1].endswith(":%04X" % port):
                    return int(fields[-1])
    return None


def membership_held(group, source):
    """Whether a socket of this namespace holds the (source, group) membership."""
    want = ("0x%08x" % struct.unpack("!I", socket.inet_aton(group))[0],
            "0x%08x" % struct.unpack("!I", socket.inet_aton(source))[0])
    with open("/proc/net/mcfilter") as table:
        return any(tuple(line.split()[2:4]) == want for line in table.readlines()[1:])


def send(*args, check=True):
    """Runs the sender tool: send("-c", "5", GROUP, SOURCE, port)."""
    result = subprocess.run([SEND] + [str(a) for a in args], capture_output=True, text=True,
                            timeout=60)
    if check and result.returncode != 0:
        raise AssertionError("ssm_send %s failed (%d): %s" % (args, result.returncode, result.stderr))
    return result


class Receiver:
    """A receiver program running in the background, its output in a file."""

    def __init__(self, program, args, stdout=None, trace=False, wait_ready=True,
                 trace_calls="setsockopt", preexec_fn=None, keep_descriptors=False,
                 extra_env=None):
        self.dir = tempfile.mkdtemp(prefix="ssm-e2e-")
        self.out_path = os.path.join(self.dir, "out")
        self.err_path = os.path.join(self.dir, "err")
        self.trace_path = os.path.join(self.dir, "trace")
        self._out = open(self.out_path, "wb") if stdout is None else stdout
        self._err = open(self.err_path, "wb")
        self.process = subprocess.Popen(self.command_line(program, args, trace, trace_calls),
                                        stdout=self._out, stderr=self._err,
                                        env=self.environment(trace, extra_env),
                                        preexec_fn=preexec_fn,
                                        close_fds=not keep_descriptors)
        self.started = time.monotonic()
        if wait_ready and len(args) >= 3:
            port = int(args[2])
            if not wait_until(lambda: port_bound(port) or self.process.poll() is not None, 10):
                raise AssertionError("receiver did not bind port %d" % port)
            if trace:
                wait_until(lambda: self.memberships() or self.joins_by_index(), 10)

    def command_line(self, program, args, trace, trace_calls):
        command = [program] + [str(a) for a in args]
        if trace:
            command = ["strace", "-f", "-ttt", "-e", "trace=" + trace_calls, "-o", self.trace_path] + command
        return command

    def environment(self, trace, extra_env=None):
        environment = traced_environment() if trace else dict(os.environ)
        environment.update(extra_env or {})
        return environment

    def output(self):
        with open(self.out_path, "rb") as f:
            return f.read().decode("ascii", "replace")

    def lines(self):
        return self.output().splitlines(keepends=True)

    def errors(self):
        with open(self.err_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def wait_lines(self, count, timeout=10):
        """Waits for at least count complete lines; returns the lines."""
        wait_until(lambda: self.output().count("\n") >= count, timeout)
        return self.lines()

    def memberships(self):
        """Every source-membership request traced so far: (time, group, source, result)."""
        if not os.path.exists(self.trace_path):
            return []
        found = []
        pattern = re.compile(r'^(?:\d+\s+)?(\d+\.\d+) setsockopt\(\d+, SOL_IP, IP_ADD_SOURCE_MEMBERSHIP, '
                             r'"((?:[^"\\]|\\.)*)", 12\) = (-?\d+)')
        with open(self.trace_path) as trace:
            for line in trace:
                match = pattern.match(line)
                if not match:
                    continue
                record = codecs.escape_decode(match.group(2).encode())[0]
                # Linux orders the record multiaddr, interface, sourceaddr.
                found.append((float(match.group(1)), socket.inet_ntoa(record[0:4]),
                              socket.inet_ntoa(record[8:12]), int(match.group(3)),
                              socket.inet_ntoa(record[4:8])))
        return found

    def joins_by_index(self):
        """The traced membership requests by interface index (IPv6, or IPv4 on
        a named interface), as strace prints them."""
        return [entry for entry in self.traced("setsockopt") if "MCAST_JOIN_SOURCE_GROUP" in entry]

    def traced(self, call):
        """The traced lines of one system call."""
        if not os.path.exists(self.trace_path):
            return []
        with open(self.trace_path) as trace:
            return [entry for entry in trace if (" %s(" % call) in entry]

    def cpu_seconds(self):
        """User and system CPU time of the receiver so far."""
        pid = self.process.pid
        if os.path.exists(self.trace_path):
            children = _children(pid)
            pid = children[0] if children else pid
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def alive(self):
        return self.process.poll() is None

    def stop(self, sig=signal.SIGTERM):
        # A traced receiver outlives its tracer: signal the receiver itself.
        for child in _children(self.process.pid):
            try:
                os.kill(child, sig)
            except ProcessLookupError:
                pass
        if self.process.poll() is None:
            self.process.send_signal(sig)
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(timeout=10)
        for stream in (self._out, self._err):
            if hasattr(stream, "close"):
                stream.close()
        return self.process.returncode


def _children(pid):
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            return [int(p) for p in f.read().split()]
    except OSError:
        return []


def run(program, *args, stdout=subprocess.PIPE, timeout=10):
    """Runs a program that is expected to end by itself."""
    return subprocess.run([program] + [str(a) for a in args], stdout=stdout,
                          stderr=subprocess.PIPE, timeout=timeout)


def line(sender, sequence, length):
    """The report line the receivers print."""
    return "%12s:seq=%6d:len=%4d\n" % (sender, sequence, length)


def ip(*args):
    """Runs ip(8) in this namespace."""
    subprocess.run(["ip"] + list(args), check=True, timeout=10)


def make_link(receiving, sending, sources6=(), sources4=()):
    """A veth pair: datagrams sent out of `sending` arrive on `receiving`.
    The sources' addresses go on the sending end, IPv6 ones usable at once."""
    ip("link", "add", receiving, "type", "veth", "peer", "name", sending)
    for end in (receiving, sending):
        ip("link", "set", end, "up")
    for address in sources6:
        ip("-6", "address", "add", address + "/128", "dev", sending, "nodad")
    for address in sources4:
        ip("address", "add", address + "/32", "dev", sending)


def sender_namespace(test, netns, here, there, source):
    """A namespace of the sender's own, across a veth pair from this one:
    `here` up in this namespace; `there` in the sender's, with source/24 on
    it and 232.0.0.0/8 routed out of it. Both are removed when the test
    ends, even when making them fails half-way."""
    ip("netns", "add", netns)
    test.addCleanup(subprocess.run, ["ip", "netns", "del", netns], stderr=subprocess.DEVNULL,
                    timeout=10)
    ip("link", "add", here, "type", "veth", "peer", "name", there, "netns", netns)
    test.addCleanup(drop_link, here)
    ip("link", "set", here, "up")
    for command in (["link", "set", "lo", "up"], ["link", "set", there, "up"],
                    ["address", "add", source + "/24", "dev", there],
                    ["route", "add", "232.0.0.0/8", "dev", there]):
        ip("-n", netns, *command)


def drop_link(receiving):
    subprocess.run(["ip", "link", "del", receiving], stderr=subprocess.DEVNULL, timeout=10)


def filters_on(device, group, source):
    """Whether this namespace holds a source filter (group, source) on
    device: /proc/net/mcfilter6 for IPv6, /proc/net/mcfilter for IPv4."""
    if ":" in group:
        want = (device, socket.inet_pton(socket.AF_INET6, group).hex(),
                socket.inet_pton(socket.AF_INET6, source).hex())
        path = "/proc/net/mcfilter6"
    else:
        want = (device, "0x%08x" % struct.unpack("!I", socket.inet_aton(group))[0],
                "0x%08x" % struct.unpack("!I", socket.inet_aton(source))[0])
        path = "/proc/net/mcfilter"
    with open(path) as table:
        return any(tuple(row.split()[1:4]) == want for row in table.readlines()[1:])


class ReceiverTest(unittest.TestCase):
    """Stops every receiver a test started, whatever the outcome."""

    RECEIVER = Receiver  # how a program is run: natively, or under Wine

    def setUp(self):
        self.receivers = []

    def tearDown(self):
        for receiver in self.receivers:
            receiver.stop(signal.SIGKILL)
            shutil.rmtree(receiver.dir, ignore_errors=True)

    def start(self, program, *args, **options):
        receiver = self.RECEIVER(program, args, **options)
        self.receivers.append(receiver)
        return receiver


def main():
    if os.environ.get("SSM_IN_NETNS") != "1":
        print("SKIPPED: not inside the test namespace (run through in_netns.sh)")
        raise SystemExit(77)
    unittest.main(verbosity=2)
