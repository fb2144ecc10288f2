"""The Windows programs' channel under Wine, in the private namespace.

Run by tools/ci/40-windows.sh through in_netns.sh, with:
  SSM_LISTEN, SSM_WATCH    the .exe programs
  SSM_CHECK                ssm_check.exe
  SSM_MONITOR              ssm_monitor.exe
  SSM_SEND                 the native sender
  SSM_WINE_LOADER          the Wine loader of their word size
  SSM_FIELD_ORDER_PRELOAD  'DIR/$LIB/libssm_field_order.so' (wine_field_order.c)
  WINEPREFIX               a prefix of that word size

Wine 8 hands Winsock's ip_mreq_source to Linux unreordered; the preloaded
library puts it into Linux's order, so that Wine joins what a Windows stack
would. Its log of every membership request stands in for strace: the
renewals are counted there, and a receiver whose request is not logged fails,
so a test never passes without the library.
"""

import os
import signal
import subprocess
import tempfile
import time
import urllib.request

from common_cases import ChannelCases, signal_at
from harness import (GROUP, GROUP6, LISTEN, SOURCE, SOURCE6, WATCH, Receiver, ReceiverTest,
                     free_port, line, main, port_bound, receive_queue_bytes, send, wait_until)
from test_watch import RenewalCases

LOADER = os.environ.get("SSM_WINE_LOADER", "wine")
CHECK = os.environ.get("SSM_CHECK", "ssm_check.exe")
MONITOR = os.environ.get("SSM_MONITOR", "ssm_monitor.exe")
PRELOAD = os.environ.get("SSM_FIELD_ORDER_PRELOAD", "")
IP_ADD_SOURCE_MEMBERSHIP = 39  # Linux's number, as the library logs it


class WineReceiver(Receiver):
    """A Windows program under Wine, the field-order library preloaded."""

    def __init__(self, program, args, **options):
        super().__init__(program, args, **options)
        # Under Wine the join comes a moment after the bind: wait for it, so
        # that nothing is sent before the channel is joined.
        if options.get("wait_ready", True) and self.alive():
            if not wait_until(lambda: self.memberships(), 10):
                raise AssertionError("no membership request went through the field-order "
                                     "library within 10 s: is it preloaded?")

    def command_line(self, program, args, trace, trace_calls):
        return [LOADER, program] + [str(a) for a in args]

    def environment(self, trace, extra_env=None):
        return dict(os.environ, LD_PRELOAD=PRELOAD, SSM_FIELD_ORDER_LOG=self.trace_path,
                    WINEDEBUG="-all", **(extra_env or {}))

    def memberships(self):
        """Every join request the library passed on: (time, group, source, result, interface)."""
        if not os.path.exists(self.trace_path):
            return []
        found = []
        with open(self.trace_path) as log:
            for entry in log:
                fields = entry.split()
                if len(fields) == 6 and int(fields[1]) == IP_ADD_SOURCE_MEMBERSHIP:
                    found.append((float(fields[0]), fields[2], fields[3], int(fields[5]),
                                  fields[4]))
        return found


class WineTest(ReceiverTest):
    RECEIVER = WineReceiver


class ListenChannel(ChannelCases, WineTest):
    PROGRAM = LISTEN
    NAME = "ssm_listen"


class WatchChannel(ChannelCases, WineTest):
    PROGRAM = WATCH
    NAME = "ssm_watch"


class WatchRenewal(RenewalCases, WineTest):
    # Wine turns Linux's ENODEV into WSAEINVAL.
    NO_ROUTE = "Invalid argument."
    # Under Wine the sockets are Linux's, which by default (IP_MULTICAST_ALL)
    # get any group that another socket of the host joined; Winsock does not
    # do that, and the native programs turn it off. A group of its own keeps
    # Wine's artefact out of what ssm_listen shows here.
    LISTEN_GROUP = "232.1.2.4"


class CtrlC(WineTest):
    """Wine turns SIGINT into a console Ctrl-C: the held lines are written and
    the program ends with STATUS_CONTROL_C_EXIT, of which Linux keeps the low
    byte."""

    def test_ctrl_c_writes_every_line_and_ends_as_windows_does(self):
        for program in (LISTEN, WATCH):
            port = free_port()
            receiver = self.start(program, GROUP, SOURCE, port,
                                  preexec_fn=signal_at(signal.SIG_DFL))
            send("-c", 3000, "-r", 30000, "-l", 8, GROUP, SOURCE, port)
            pid = receiver.process.pid
            self.assertTrue(wait_until(lambda: receive_queue_bytes(pid, port) == 0, 10,
                                       interval=0))
            receiver.process.send_signal(signal.SIGINT)
            receiver.process.wait(timeout=30)
            self.assertEqual(receiver.process.returncode, 0xC000013A & 0xFF, program)
            self.assertEqual(receiver.lines(), [line(SOURCE, 1 + i, 8) for i in range(3000)],
                             program)


class Ipv6(WineTest):
    """Wine 8 refuses MCAST_JOIN_SOURCE_GROUP (WSAENOPROTOOPT), so no IPv6
    channel can be joined under Wine; all the rest can be seen."""

    def test_ipv6_channel_starts_warns_and_reports_unicast(self):
        for program, name in ((LISTEN, "ssm_listen"), (WATCH, "ssm_watch")):
            port = free_port()
            receiver = self.start(program, GROUP6 + "%1", SOURCE6, port, wait_ready=False)
            self.assertTrue(wait_until(lambda: port_bound(port) and receiver.errors(), 20), name)
            self.assertEqual(receiver.errors(),
                             "%s: warning: join group %s%%1 from source %s: Bad protocol option "
                             "(Winsock error 10042)\n" % (name, GROUP6, SOURCE6))
            send("-c", 2, "-s", 5, "::1", "::1", port)
            self.assertEqual(receiver.wait_lines(2), [line("::1", 5, 32), line("::1", 6, 32)],
                             name)
            self.assertTrue(receiver.alive(), name)


class Check(WineTest):
    """ssm_check: the report and its status. The link is not checked on
    Windows, and under Wine each of Windows' own checks says that it cannot
    say, and why: Wine has no Windows Firewall, no IGMPVersion setting and no
    table of memberships (the interface is the route's to the group); its
    host-wide UDP error count is Linux's, and is shown as the whole host's."""

    def test_unicast_stream_gives_the_report(self):
        port = free_port()
        checker = self.start(CHECK, GROUP, SOURCE, port, "-c", 5, "-t", 20)
        send("-c", 5, "-r", 100, "-s", 7, "127.0.0.1", SOURCE, port)
        checker.process.wait(timeout=30)
        self.assertEqual(checker.process.returncode, 0, checker.output() + checker.errors())
        fields = dict(entry.split(": ", 1) for entry in checker.output().splitlines())
        self.assertEqual((fields["received"], fields["sequence_first"], fields["sequence_last"],
                          fields["missing"]), ("5", "7", "11", "0"))
        self.assertEqual(fields["link_datagrams"], "not checked: not made on this system")
        self.assertEqual(fields["host_dropped"], "not known on this system")
        self.assertRegex(fields["host_udp_errors"], r"^[0-9]+ \(all UDP on this host\)$")
        self.assertEqual(fields["firewall"],
                         "cannot say: this is Wine, which has no Windows Firewall to ask")
        self.assertEqual(fields["interface_protocol"],
                         "not checked: no IGMPVersion value in "
                         "HKLM\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters")
        self.assertRegex(fields["interface"], r"^loopback_[0-9]+$")
        self.assertEqual(fields["reverse_path"], "not checked: this system does not say")
        self.assertEqual(fields["verdict"], "complete: 5 datagrams, none missing")
        self.assertEqual(checker.errors(), "")
        self.assertNotIn("\r", checker.output())
        port = free_port()
        checker = self.start(CHECK, GROUP, SOURCE, port, "-t", 1)
        checker.process.wait(timeout=30)
        self.assertEqual(checker.process.returncode, 4, checker.output() + checker.errors())
        self.assertIn("\nreceived: 0\n", checker.output())
        self.assertIn("\nverdict: nothing arrived from %s: the link was not checked (not made on "
                      "this system)" % SOURCE, checker.output())


class Monitor(WineTest):
    """ssm_monitor: a unicast stream from the channel's source to its port is
    the channel's (Winsock binds the wildcard address); the link is not
    counted on Windows and Wine's firewall gives no answer, so a silence's
    cause is unknown. -o writes the metrics file, and -l answers a scrape."""

    def test_up_then_silent_with_an_unknown_cause(self):
        import json
        port = free_port()
        monitor = self.start(MONITOR, "-j", "-s", 1, GROUP, SOURCE, port, wait_ready=False)
        self.assertTrue(wait_until(lambda: monitor.output().count("\n") >= 1, 30),
                        monitor.errors())
        send("-c", 5, "-r", 100, "-s", 7, "127.0.0.1", SOURCE, port)
        self.assertTrue(wait_until(lambda: monitor.output().count("\n") >= 3, 20),
                        monitor.output() + monitor.errors())
        events = [json.loads(text) for text in monitor.output().splitlines()]
        self.assertEqual([e["event"] for e in events[:3]], ["joined", "up", "silent"])
        self.assertEqual((events[2]["cause"], events[2]["link_datagrams"]), ("unknown", None))
        self.assertTrue(events[2]["reason"].startswith("the link was not checked (not made on "
                                                       "this system)"), events[2]["reason"])
        self.assertNotIn("\r", monitor.output())
        monitor.process.send_signal(signal.SIGINT)
        monitor.process.wait(timeout=30)

    def test_metrics_file_and_endpoint(self):
        port, http_port = free_port(), free_port()
        work = tempfile.mkdtemp(prefix="ssm-wine-metrics-")
        self.addCleanup(subprocess.run, ["rm", "-rf", work])
        out = os.path.join(work, "ssm.prom")
        monitor = self.start(MONITOR, "-s", 60, "-o", "Z:" + out.replace("/", "\\"), "-l",
                             http_port, GROUP, SOURCE, port, wait_ready=False)
        self.assertTrue(wait_until(lambda: os.path.exists(out), 30), monitor.errors())
        with open(out, "rb") as f:
            text = f.read().decode("utf-8")
        self.assertTrue(text.startswith("# HELP ssm_monitor_build_info "), text[:200])
        self.assertIn("\nssm_monitor_channels 1\n", text)
        self.assertNotIn("\r", text)
        # The process's figures, as Windows gives them.
        started = [float(entry.split()[1]) for entry in text.splitlines()
                   if entry.startswith("process_start_time_seconds ")]
        self.assertEqual(len(started), 1, text)
        self.assertLess(abs(time.time() - started[0]), 120)
        self.assertIn("\nprocess_resident_memory_bytes ", text)
        url = "http://127.0.0.1:%d/metrics" % http_port
        with urllib.request.urlopen(url, timeout=20) as answer:
            body = answer.read().decode("utf-8")
            self.assertEqual((answer.status, answer.headers["Content-Type"]),
                             (200, "text/plain; version=0.0.4; charset=utf-8"))
        self.assertIn('ssm_channel_datagrams_total{group="%s",source="%s",port="%d",'
                      % (GROUP, SOURCE, port), body)
        self.assertEqual(monitor.errors(), "")
        monitor.process.send_signal(signal.SIGINT)
        monitor.process.wait(timeout=30)


def setUpModule():
    # A wineserver started outside this namespace would hold the sockets
    # there; Wine's services keep the streams of the session's first program,
    # so that one writes to /dev/null, not to a capture.
    subprocess.run(["wineserver", "-k"], stderr=subprocess.DEVNULL, timeout=30)
    subprocess.run(["wineserver", "-p"], check=True, timeout=30)
    subprocess.run([LOADER, LISTEN], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=180,
                   env=dict(os.environ, WINEDEBUG="-all"))


def tearDownModule():
    subprocess.run(["wineserver", "-k"], stderr=subprocess.DEVNULL, timeout=30)


if __name__ == "__main__":
    main()
