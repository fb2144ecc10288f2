"""The throughput benchmark's driver. Runs inside a private network namespace
(bench/run.sh puts it there): every receiver in turn on one core, the sender
on another, bursts of 32-byte datagrams, report lines written to a file on
disk; then ssm_listen and bare_receive again over IPv6, across a veth pair
made for it, ssm_check with its link capture and without, and ssm_monitor
over a thousand channels beside its floor. Prints the table that
bench/README.md explains.

Usage: bench.py --build DIR --out DIR [--runs N] [--smoke] [--check-only | --monitor-only]
"""
import argparse
import json
import os
import resource
import signal
import socket
import statistics
import subprocess
import sys
import time
import types

import chart
import check_case
import monitor_case

GROUP, SOURCE, PORT = "232.1.1.1", "10.1.1.1", 5001
# What the programs ask for; the system caps it (net.core.rmem_max).
LARGE_QUEUE = 4 * 1024 * 1024
MIN_BURST = 20000          # a burst is 1 s long and never shorter than this
LOWEST_RATE = 20000        # the search starts here
SEARCH_STEPS = 7           # geometric halvings between LOWEST_RATE and full rate
CPU_RATE = 100000          # the fixed rate of the CPU figure
# Below LOWEST_RATE a burst of MIN_BURST would last long and one of 1 s
# would be a handful: bursts of about 2 s there, and never under 1000.
LOW_BURST_SECONDS, LOW_MIN_BURST = 2, 1000
# The fixed rates of the CPU sweep, CPU_RATE among them. The zero-loss search
# has already sent a burst at LOWEST_RATE.
SWEEP_RATES = (500, 1000, 2000, 5000, LOWEST_RATE, 50000, CPU_RATE, 200000)
# Two more points, named: "full rate", bare_receive's zero-loss rate in the
# run (the fastest at which it takes the whole burst, so that every receiver
# does the same work), and the sender's full rate, where the bare loops take
# only part of the burst.
ZERO_LOSS_POINT, FULL_POINT = chart.ZERO_LOSS_POINT, chart.FULL_POINT
SWEEP_POINTS = [str(rate) for rate in SWEEP_RATES] + [ZERO_LOSS_POINT, FULL_POINT]
SWEEP_LABELS = ["%gk/s" % (rate / 1000) if rate >= 1000 else "%d/s" % rate
                for rate in SWEEP_RATES] + ["full rate", "sender's full rate"]
SWEEP_HEADS = SWEEP_LABELS[:-2] + ["full rate (bare_receive's zero-loss rate)",
                                   "sender's full rate"]
# Peak RSS with the largest datagrams too: a short burst at a modest rate.
BIG_LENGTH, BIG_RATE, BIG_COUNT = 65507, 2000, 3000
# Datagrams in one message the kernel cuts up (UDP_SEGMENT): the sender then
# makes one trip through the IP layer for many datagrams, and outruns every
# receiver. Paced bursts send few at a time all the same.
SEGMENTS = 64
DELAY_RATE, DELAY_COUNT = 200, 1000
DELAY_LIMIT_US = 2000
# The targets are medians over the runs: fewer than this decide little.
REAL_RUNS = 3
# The IPv6 run, at CPU_RATE, no target. IPv6 multicast sent on lo reaches no
# socket of the same namespace, so it crosses a veth pair made for it: sent
# from the source out of one end, received on the other, named on the group
# (the system's own pick of a link for an IPv6 group need not be that end).
GROUP6, SOURCE6 = "ff3e::8000:1", "fd00:77::1"
SEND_LINK6, RECEIVE_LINK6 = "ssm6a", "ssm6b"
RECEIVER_ADDRESS6 = "fd00:77::2"
IPV6_NAMES = ("ssm_listen", "bare_receive")


# Sender and receiver at the highest CPU weight, so that other work on the
# machine takes as little of their cores as it can (not a real-time class:
# that would starve the rest of the machine during a burst).
def pinned(core, argv):
    return ["nice", "-n", "-20", "taskset", "-c", core] + argv


def spawn(argv, **options):
    """Starts argv in a session of its own. With autogroup scheduling (Linux's
    default for desktops) nice counts only within a session, so the session's
    own weight is raised as well."""
    process = subprocess.Popen(argv, start_new_session=True, **options)
    try:
        with open("/proc/%d/autogroup" % process.pid, "w") as f:
            f.write("-20")
    except OSError:
        pass
    return process


def run_tool(argv):
    process = spawn(argv, stdout=subprocess.PIPE, text=True)
    output = process.communicate()[0]
    if process.returncode != 0:
        raise SystemExit("bench: %s failed with status %d" % (argv, process.returncode))
    return output


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def hex_address(text):
    return "%08x" % int.from_bytes(socket.inet_aton(text), "big")


def receivers(build, here):
    """Every receiver of a run: name, the bare loop it is compared with, the
    receive queue it asks for, how to start it and how to count its output.
    bare_batch, the floor of ssm_listen's batches, is compared with
    bare_receive, and ssm_listen with both."""
    bench = os.path.join(build, "bench")
    socat_join = "setsockopt-listen=0:39:x%s00000000%s" % (hex_address(GROUP), hex_address(SOURCE))
    channel = [GROUP, SOURCE, str(PORT)]
    large = [
        ("bare_receive", "bare_receive", [os.path.join(bench, "bare_receive")] + channel, "bare"),
        ("bare_batch", "bare_receive", [os.path.join(bench, "bare_batch")] + channel, "bare"),
        ("bare_select", "bare_select", [os.path.join(bench, "bare_select")] + channel, "bare"),
        ("ssm_listen", "bare_receive", [os.path.join(build, "ssm_listen", "ssm_listen")] + channel, "lines"),
        ("ssm_watch", "bare_select", [os.path.join(build, "ssm_watch", "ssm_watch")] + channel, "lines"),
        ("socat", "bare_receive",
         ["socat", "-u", "UDP4-RECV:%d,rcvbuf=%d,%s" % (PORT, LARGE_QUEUE, socat_join), "STDOUT"], "raw"),
        ("python", "bare_receive",
         [sys.executable, os.path.join(here, "py_receiver.py"), "-b", str(LARGE_QUEUE)] + channel, "lines"),
    ]
    default = [
        ("bare_receive", "bare_receive", [os.path.join(bench, "bare_receive_default_rcvbuf")] + channel, "bare"),
        ("bare_batch", "bare_receive", [os.path.join(bench, "bare_batch_default_rcvbuf")] + channel, "bare"),
        ("bare_select", "bare_select", [os.path.join(bench, "bare_select_default_rcvbuf")] + channel, "bare"),
        ("ssm_listen", "bare_receive", [os.path.join(bench, "ssm_listen_default_rcvbuf")] + channel, "lines"),
        ("ssm_watch", "bare_select", [os.path.join(bench, "ssm_watch_default_rcvbuf")] + channel, "lines"),
    ]
    result = []
    for queue, entries in (("large", large), ("default", default)):
        for name, reference, argv, output in entries:
            result.append({"name": name, "reference": reference, "queue": queue,
                           "argv": argv, "output": output})
    return result


def ipv6_receivers(build):
    """The receivers of the IPv6 run, large queue, each joined on the
    receiving end of the veth pair."""
    channel = ["%s%%%s" % (GROUP6, RECEIVE_LINK6), SOURCE6, str(PORT)]
    programs = {"ssm_listen": (os.path.join(build, "ssm_listen", "ssm_listen"), "lines"),
                "bare_receive": (os.path.join(build, "bench", "bare_receive"), "bare")}
    return [{"name": name, "reference": "bare_receive", "queue": "large", "ipv6": True,
             "argv": [programs[name][0]] + channel, "output": programs[name][1]}
            for name in IPV6_NAMES]


def label(receiver):
    """How a receiver is named in the log of bursts: name/queue, and /ipv6."""
    return "%s/%s%s" % (receiver["name"], receiver["queue"],
                        "/ipv6" if receiver.get("ipv6") else "")


def sender_channel(receiver):
    """The sender's operands: IPv6 out of the sending end of the veth pair."""
    if receiver.get("ipv6"):
        return ["%s%%%s" % (GROUP6, SEND_LINK6), SOURCE6, str(PORT)]
    return [GROUP, SOURCE, str(PORT)]


# --- reading the receiver's state from /proc -------------------------------

def cpu_ns(pid):
    """Time the process has run on a CPU, user and system, in nanoseconds
    (the scheduler's own account: far finer than the 10 ms of utime)."""
    with open("/proc/%d/schedstat" % pid) as f:
        return int(f.read().split()[0])


def status_field(pid, name):
    """A number from /proc/PID/status (VmHWM in KiB, a count...), -1 if absent."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(name + ":"):
                return int(line.split()[1])
    return -1


def peak_rss_kib(pid):
    return status_field(pid, "VmHWM")


def wake_ups(pid):
    """Times the receiver has gone to sleep of its own accord, each one a
    wake-up to come: voluntary_ctxt_switches."""
    return status_field(pid, "voluntary_ctxt_switches")


def capture_open():
    """Whether a packet socket is open in this namespace (ssm_check's)."""
    with open("/proc/net/packet") as f:
        return len(f.readlines()) > 1


def joined(ipv6=False):
    if ipv6:
        # Index, device, group, source (32 hex digits each), INC, EXC.
        wanted = [RECEIVE_LINK6, socket.inet_pton(socket.AF_INET6, GROUP6).hex(),
                  socket.inet_pton(socket.AF_INET6, SOURCE6).hex()]
        with open("/proc/net/mcfilter6") as f:
            return any(line.split()[1:4] == wanted for line in f)
    with open("/proc/net/mcfilter") as f:
        text = f.read()
    return "0x" + hex_address(GROUP) in text and "0x" + hex_address(SOURCE) in text


def queue_drops(ipv6=False):
    if ipv6:
        with open("/proc/net/snmp6") as f:
            return int(dict(line.split() for line in f if line.strip())["Udp6RcvbufErrors"])
    with open("/proc/net/snmp") as f:
        rows = [line.split() for line in f if line.startswith("Udp:")]
    return int(dict(zip(rows[0][1:], rows[1][1:]))["RcvbufErrors"])


def wait_until(condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.005)
    return condition()


# --- one receiver, one burst -----------------------------------------------

def start_receiver(receiver, cores, out_path):
    ipv6 = receiver.get("ipv6", False)
    if not wait_until(lambda: not joined(ipv6), 5):
        raise SystemExit("bench: the previous receiver still holds the membership")
    # The earlier bursts' lines (tens of megabytes at full rate) go to disk
    # first, and their file with them: otherwise their writeback runs during
    # this burst and the receivers that write lines pay for it, by turns and
    # up to twice over, in their own write calls.
    if os.path.exists(out_path):
        os.remove(out_path)
    os.sync()
    out = open(out_path, "wb")
    # Python as it comes, whatever the caller's environment says: a print to
    # a file is then block-buffered.
    environment = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}
    process = spawn(pinned(cores["receiver"], receiver["argv"]),
                               stdout=out, stderr=subprocess.DEVNULL, env=environment)
    out.close()
    if not wait_until(lambda: joined(ipv6), 10):
        process.kill()
        process.wait()
        raise SystemExit("bench: %s did not join the channel" % receiver["name"])
    if receiver.get("capture") and not wait_until(capture_open, 10):
        process.kill()
        process.wait()
        raise SystemExit("bench: %s did not open its capture" % receiver["name"])
    return process


def stop_receiver(process):
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def counted(receiver, out_path):
    with open(out_path, "rb") as f:
        data = f.read()
    if receiver["output"] == "lines":
        return data.count(b"\n"), None
    if receiver["output"] == "raw":
        return len(data) // 32, None
    if receiver["output"] == "report":
        return check_case.report_counts(out_path)[0], None
    fields = dict(item.split("=") for item in data.decode().split())
    return int(fields["datagrams"]), int(fields["rcvbuf"])


def settle(pid, samples=4):
    """Waits until the receiver has stopped using CPU for samples looks in a
    row, 25 ms apart: it has taken all that was queued and written its last
    lines."""
    last = cpu_ns(pid)
    quiet = 0
    deadline = time.monotonic() + 10
    while quiet < samples and time.monotonic() < deadline:
        time.sleep(0.025)
        now = cpu_ns(pid)
        quiet = quiet + 1 if now == last else 0
        last = now


def burst(receiver, cores, tools, out_dir, rate, count, length=32):
    """Sends count datagrams of length bytes at rate (0: as fast as the sender
    can) to a fresh receiver. Returns what arrived, the CPU it took, how often
    it slept, the peak RSS."""
    out_path = os.path.join(out_dir, label(receiver).replace("/", "-") + ".out")
    process = start_receiver(receiver, cores, out_path)
    # A message cut into datagrams must fit in one IP datagram itself.
    segments = receiver.get("segments", SEGMENTS if length * SEGMENTS < 65000 else 1)
    ipv6 = receiver.get("ipv6", False)
    drops = queue_drops(ipv6)
    before = cpu_ns(process.pid)
    switches = wake_ups(process.pid)
    sent = run_tool(pinned(cores["sender"], [tools["burst_send"], "-c", str(count),
                                             "-r", str(rate), "-l", str(length),
                                             "-g", str(segments)] +
                        sender_channel(receiver)))
    # ssm_check wakes by itself to look at the time: 50 ms without CPU do.
    settle(process.pid, 2 if receiver["output"] == "report" else 4)
    cpu = cpu_ns(process.pid) - before
    woken = wake_ups(process.pid) - switches
    rss = peak_rss_kib(process.pid)
    stop_receiver(process)
    received, granted = counted(receiver, out_path)
    fields = dict(item.split("=") for item in sent.split())
    link = check_case.report_counts(out_path)[1] if receiver["output"] == "report" else None
    return {"receiver": label(receiver), "rate": rate,
            "count": count, "length": length, "received": received, "link": link,
            "cpu_ns": cpu, "wake_ups": woken, "rss_kib": rss,
            "sender_rate": float(fields["rate"]), "segments": int(fields["segments"]),
            "queue_drops": queue_drops(ipv6) - drops, "rcvbuf": granted}


def delay(receiver, cores, tools, out_dir, count):
    out_path = os.path.join(out_dir, "%s-%s.out" % (receiver["name"], receiver["queue"]))
    # start_receiver puts the earlier bursts' lines on disk first: their
    # writeback is not in the probe's figures.
    process = start_receiver(receiver, cores, out_path)
    mode = "raw" if receiver["output"] == "raw" else "lines"
    report = run_tool(pinned(cores["sender"], [tools["delay_probe"], "-c", str(count),
                                               "-r", str(DELAY_RATE), "-f", out_path,
                                               "-m", mode, GROUP, SOURCE, str(PORT)]))
    stop_receiver(process)
    fields = {key: float(value) for key, value in
              (item.split("=") for item in report.split())}
    if fields["seen"] == 0:
        fields["p50_us"] = fields["p99_us"] = None
    return fields


# --- the IPv6 run -------------------------------------------------------------

def make_ipv6_link():
    """The veth pair of the IPv6 run: the source on the sending end, an
    address and a route for the group's range on the receiving end, the
    addresses usable at once (nodad). Returns None, or why it cannot be made."""
    for argv in (["link", "add", SEND_LINK6, "type", "veth", "peer", "name", RECEIVE_LINK6],
                 ["link", "set", SEND_LINK6, "up"], ["link", "set", RECEIVE_LINK6, "up"],
                 ["address", "add", SOURCE6 + "/128", "dev", SEND_LINK6, "nodad"],
                 ["address", "add", RECEIVER_ADDRESS6 + "/128", "dev", RECEIVE_LINK6, "nodad"],
                 ["-6", "route", "add", "ff3e::/16", "dev", RECEIVE_LINK6]):
        try:
            subprocess.run(["ip"] + argv, check=True, timeout=10, stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE, text=True)
        except subprocess.CalledProcessError as error:
            return "ip %s: %s" % (" ".join(argv), error.stderr.strip())
        except (OSError, subprocess.SubprocessError) as error:
            return "ip %s: %s" % (" ".join(argv), error)
    return None


def remove_ipv6_link():
    """Removes the pair, its addresses and route with it (one end takes the
    other); the namespace's end would too."""
    subprocess.run(["ip", "link", "del", SEND_LINK6], stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=10)


def ipv6_run(receivers6, cores, tools, out_dir, smoke, log):
    """A burst at CPU_RATE over the veth pair to each of receivers6 (fresh,
    as ever), the pair made for these bursts alone. Returns their figures
    per datagram, or {"error": why there are none}."""
    count = 300 if smoke else burst_count(CPU_RATE, 0)
    try:
        problem = make_ipv6_link()
        if problem is not None:
            return {"error": problem}
        figures = {}
        for receiver in receivers6:
            result = burst(receiver, cores, tools, out_dir, CPU_RATE, count)
            log.append(result)
            received = max(1, result["received"])
            figures[receiver["name"]] = {"cpu_ns": result["cpu_ns"] / received,
                                         "wake_ups": result["wake_ups"] / received,
                                         "received": result["received"], "count": count,
                                         "segments": result["segments"]}
            print("  %-24s cpu %.0f ns, %.3f wake-ups per datagram at %d/s"
                  % (label(receiver), figures[receiver["name"]]["cpu_ns"],
                     figures[receiver["name"]]["wake_ups"], CPU_RATE), flush=True)
        return figures
    finally:
        remove_ipv6_link()


# --- the figures -------------------------------------------------------------

def passes(receiver, cores, tools, out_dir, rate, count, log):
    """A rate passes when one of two bursts arrives complete."""
    for attempt in (1, 2):
        result = burst(receiver, cores, tools, out_dir, rate, count)
        log.append(result)
        if result["received"] >= count:
            return True, result
    return False, result


def burst_count(rate, full_rate):
    """Datagrams in a burst at rate (0: the sender's full rate, full_rate):
    1 s and at least MIN_BURST, or about LOW_BURST_SECONDS below LOWEST_RATE."""
    if rate == 0:
        return max(MIN_BURST, int(full_rate))
    if rate < LOWEST_RATE:
        return max(LOW_MIN_BURST, LOW_BURST_SECONDS * rate)
    return max(MIN_BURST, rate)


def zero_loss_rate(receiver, cores, tools, out_dir, full_rate, log):
    """Returns (rate, relation): relation ">=" when the receiver kept up with
    all the sender can send, "<" when it lost even at the lowest rate."""
    ok, result = passes(receiver, cores, tools, out_dir, 0, burst_count(0, full_rate), log)
    if ok:
        return result["sender_rate"], ">="
    low, high = LOWEST_RATE, full_rate
    if not passes(receiver, cores, tools, out_dir, low, burst_count(low, full_rate), log)[0]:
        return low, "<"
    for _ in range(SEARCH_STEPS):
        middle = int((low * high) ** 0.5)
        if passes(receiver, cores, tools, out_dir, middle, burst_count(middle, full_rate), log)[0]:
            low = middle
        else:
            high = middle
    return low, "="


def sender_cost(receiver, cores, tools, out_dir, count):
    """The sender's own CPU time per datagram, sending count datagrams one a
    message as fast as it can to a fresh receiver that is stopped (SIGSTOP)
    throughout: on loopback the sender's core carries each datagram through
    the packet taps and IP, and the receiver takes no part."""
    out_path = os.path.join(out_dir, label(receiver).replace("/", "-") + ".out")
    process = start_receiver(receiver, cores, out_path)
    process.send_signal(signal.SIGSTOP)
    try:
        # Only the sender is reaped in between: the children's account grows
        # by its time alone.
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        sent = run_tool(pinned(cores["sender"], [tools["burst_send"], "-c", str(count), "-r", "0",
                                                 "-g", "1"] + sender_channel(receiver)))
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
    finally:
        process.send_signal(signal.SIGCONT)
        stop_receiver(process)
    fields = dict(item.split("=") for item in sent.split())
    cpu = (after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime)
    return {"sender_ns": cpu * 1e9 / int(fields["sent"]), "sender_rate": float(fields["rate"])}


def check_run(check_receivers, cores, tools, out_dir, smoke, log, number):
    """The ssm_check case (check_case.py): its bursts go to the log too."""
    def logged_burst(receiver, rate, count):
        result = burst(receiver, cores, tools, out_dir, rate, count)
        log.append(result)
        return result

    def stopped_burst(receiver, count):
        return sender_cost(receiver, cores, tools, out_dir, count)
    return check_case.one_run(check_receivers, logged_burst, stopped_burst, CPU_RATE,
                              300 if smoke else burst_count(CPU_RATE, 0), number, smoke)


def monitor_helpers(cores, tools):
    """What the ssm_monitor case needs of the driver: receivers started and
    stopped as all others are, the sender on its own CPU, the /proc figures."""
    return types.SimpleNamespace(
        start=lambda argv, out: spawn(pinned(cores["receiver"], argv), stdout=out,
                                      stderr=subprocess.DEVNULL),
        stop=stop_receiver,
        send=lambda argv: run_tool(pinned(cores["sender"], [tools["burst_send"]] + argv)),
        cpu_ns=cpu_ns, wake_ups=wake_ups, peak_rss_kib=peak_rss_kib, load_average=load_average)


def monitor_run(monitor_receivers, cores, tools, out_dir, smoke, number):
    """The ssm_monitor case (monitor_case.py)."""
    return monitor_case.one_run(monitor_receivers, monitor_helpers(cores, tools), out_dir, SOURCE,
                                PORT, number, smoke)


def one_run(all_receivers, receivers6, check_receivers, monitor_receivers, cores, tools, out_dir,
            smoke, log, number):
    figures = {}
    first_burst = len(log)

    def key(receiver):
        return receiver["name"] + "/" + receiver["queue"]

    large = [r for r in all_receivers if r["queue"] == "large"]
    bare = next(r for r in large if r["name"] == "bare_receive")
    if smoke:
        full_rate = 10000
        full = burst(bare, cores, tools, out_dir, 0, 300)
    else:
        full = burst(bare, cores, tools, out_dir, 0, 2000000)
        full_rate = full["sender_rate"]
    figures["sender_full_rate"] = full["sender_rate"]
    for receiver in all_receivers:
        entry = figures.setdefault(key(receiver), {})
        if smoke:
            ok, result = passes(receiver, cores, tools, out_dir, full_rate, 300, log)
            entry["zero_loss"] = (full_rate if ok else 0, "smoke")
        else:
            entry["zero_loss"] = zero_loss_rate(receiver, cores, tools, out_dir, full_rate, log)
        if log[-1]["rcvbuf"] is not None:
            entry["rcvbuf"] = log[-1]["rcvbuf"]
        print("  %-24s zero-loss %s %.0f" % (key(receiver), entry["zero_loss"][1],
                                              entry["zero_loss"][0]), flush=True)
    # bare_receive's zero-loss rate ("<" 20000 is sent at 20000; a smoke run's
    # failed pass at the full rate at that rate all the same).
    figures["zero_loss_point_rate"] = int(figures[key(bare)]["zero_loss"][0]) or int(full_rate)
    points = ([(str(rate), rate) for rate in SWEEP_RATES] +
              [(ZERO_LOSS_POINT, figures["zero_loss_point_rate"]), (FULL_POINT, 0)])
    for receiver in large:
        entry = figures[key(receiver)]
        # The sweep: each point a burst (burst_count) to a fresh receiver; its
        # 100k/s and two full-rate points are the table's CPU figures.
        entry["sweep"] = {}
        for point, rate in points:
            count = 300 if smoke else burst_count(rate, full_rate)
            # A burst of the search's just like it is reused, not sent again
            # (the 20k/s point; bare_receive's at its zero-loss rate), one
            # that arrived complete if there is one.
            alike = [b for b in log[first_burst:] if rate > 0 and b["rate"] == rate
                     and b["count"] == count and b["receiver"] == key(receiver)
                     and b["length"] == 32]
            alike.sort(key=lambda b: b["received"] < b["count"])
            if alike:
                result = alike[0]
            else:
                result = burst(receiver, cores, tools, out_dir, rate, count)
                log.append(result)
            entry["sweep"][point] = {"rate": result["sender_rate"] if rate == 0 else rate,
                                     "sender_rate": result["sender_rate"],
                                     "cpu_ns": result["cpu_ns"] / max(1, result["received"]),
                                     "wake_ups": result["wake_ups"] / max(1, result["received"]),
                                     "received": result["received"], "count": count}
            entry["rss_kib"] = max(entry.get("rss_kib", 0), result["rss_kib"])
            if result["rcvbuf"] is not None:
                entry["rcvbuf"] = result["rcvbuf"]
        if receiver["name"] in ("ssm_listen", "bare_receive"):
            result = burst(receiver, cores, tools, out_dir, BIG_RATE, 50 if smoke else BIG_COUNT,
                           BIG_LENGTH)
            log.append(result)
            entry["rss_big_kib"] = result["rss_kib"]
            entry["big_received"] = result["received"]
            entry["big_count"] = result["count"]
        if receiver["output"] != "bare":
            entry["delay"] = delay(receiver, cores, tools, out_dir, 50 if smoke else DELAY_COUNT)
        else:
            # No lines to wait for: a bare loop writes nothing.
            entry["delay"] = {"p50_us": None, "p99_us": None, "within_2ms": None, "missing": None}
        sweep = entry["sweep"]
        print("  %-24s cpu %.0f ns at %d/s, %.0f ns at %d/s (bare_receive's zero loss), %.0f ns "
              "at the sender's full rate; delay p99 %s us, %s missing; rss %d KiB"
              % (key(receiver), sweep[str(CPU_RATE)]["cpu_ns"], CPU_RATE,
                 sweep[ZERO_LOSS_POINT]["cpu_ns"], figures["zero_loss_point_rate"],
                 sweep[FULL_POINT]["cpu_ns"], fmt(entry["delay"]["p99_us"]),
                 fmt(entry["delay"]["missing"]), entry["rss_kib"]), flush=True)
    figures["ipv6"] = ipv6_run(receivers6, cores, tools, out_dir, smoke, log)
    if "error" in figures["ipv6"]:
        print("  IPv6 not measured: %s" % figures["ipv6"]["error"], flush=True)
    figures["check"] = check_run(check_receivers, cores, tools, out_dir, smoke, log, number)
    figures["monitor"] = monitor_run(monitor_receivers, cores, tools, out_dir, smoke, number)
    return figures


# --- the table -------------------------------------------------------------

def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def ratio(run, name, queue, reference, field):
    mine = run.get(name + "/" + queue, {}).get(field)
    theirs = run.get(reference + "/" + queue, {}).get(field)
    if mine is None or theirs is None:
        return None
    if field == "zero_loss":
        mine, theirs = mine[0], theirs[0]
    return mine / theirs if theirs else None


def figure(run, name, point, field="cpu_ns"):
    """A large-queue receiver's figure per datagram at a point of the sweep."""
    return run.get(name + "/large", {}).get("sweep", {}).get(point, {}).get(field)


def point_ratio(run, name, reference, point, field="cpu_ns"):
    """name's figure over reference's at the same point of the same run."""
    mine, theirs = figure(run, name, point, field), figure(run, reference, point, field)
    return mine / theirs if mine is not None and theirs else None


def fmt(value, pattern="%.0f"):
    return "-" if value is None else pattern % value


def table(all_receivers, runs):
    lines = []
    lines.append("| receiver | queue | zero-loss rate /s | vs bare | CPU ns/dgram at 100k/s | vs bare "
                 "| CPU ns/dgram at full rate (bare_receive's zero-loss rate) | vs bare "
                 "| CPU ns/dgram at the sender's full rate (bare loops lose datagrams) | vs bare "
                 "| delay p50 / p99 at 200/s (us) | within 2 ms | missing | peak RSS KiB |")
    lines.append("|" + "---|" * 14)
    for receiver in all_receivers:
        name, queue, reference = receiver["name"], receiver["queue"], receiver["reference"]
        key = name + "/" + queue
        entries = [run[key] for run in runs]
        rates = [e["zero_loss"] for e in entries]
        rate = median([r[0] for r in rates])
        relations = sorted(set(r[1] for r in rates))
        relation = ">= " if relations == [">="] else ("< " if relations == ["<"] else "")
        cells = [name, queue + (" (%d B)" % entries[0]["rcvbuf"] if "rcvbuf" in entries[0] else ""),
                 relation + fmt(rate),
                 fmt(median([ratio(run, name, queue, reference, "zero_loss") for run in runs]), "%.2f")]
        if queue == "large":
            for point in (str(CPU_RATE), ZERO_LOSS_POINT, FULL_POINT):
                cells += [fmt(median([figure(run, name, point) for run in runs])),
                          fmt(median([point_ratio(run, name, reference, point) for run in runs]),
                              "%.2f")]
            cells += [(fmt(median([e["delay"]["p50_us"] for e in entries])) + " / " +
                       fmt(median([e["delay"]["p99_us"] for e in entries])))
                      if entries[0]["delay"]["p99_us"] is not None else "-",
                      fmt(median([e["delay"]["within_2ms"] for e in entries]) * 100
                          if entries[0]["delay"]["within_2ms"] is not None else None, "%.1f%%"),
                      fmt(max(e["delay"]["missing"] for e in entries)
                          if entries[0]["delay"]["missing"] is not None else None),
                      fmt(median([e["rss_kib"] for e in entries]))]
        else:
            cells += ["-"] * 10
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def worst_p50(entries):
    """The highest p50 of the runs; a run that saw no line at all counts as
    infinitely late."""
    return max(float("inf") if e["delay"]["p50_us"] is None else e["delay"]["p50_us"]
               for e in entries)


def verdict(ok):
    return "met" if ok else "MISSED"


def at_most(value, limit):
    return value is not None and value <= limit


def every_rate(runs, name, reference, wake_ups):
    """The line saying whether name costs no more CPU per datagram than
    reference at every point of the sweep but the sender's full rate (each
    ratio within a run, then the median over the runs) and, with wake_ups,
    wakes at most once per datagram; when not, where and by how much."""
    misses = []
    for point, label in zip(SWEEP_POINTS, SWEEP_LABELS):
        if point == FULL_POINT:
            continue
        parts = []
        value = median([point_ratio(run, name, reference, point) for run in runs])
        if not at_most(value, 1.0):
            # A third decimal where two would hide the miss.
            parts.append("CPU %s times %s's"
                         % (fmt(value, "%.3f" if value is not None and value < 1.005 else "%.2f"),
                            reference))
        woken = median([figure(run, name, point, "wake_ups") for run in runs])
        if wake_ups and not at_most(woken, 1.0):
            parts.append("%s wake-ups per datagram" % fmt(woken, "%.3f"))
        if parts:
            misses.append("%s (%s)" % (label, ", ".join(parts)))
    return ("%s: CPU at most %s's%s at every rate from %s to full rate (medians of the runs; "
            "target): %s" % (name, reference,
                             " and at most 1 wake-up per datagram" if wake_ups else "",
                             SWEEP_LABELS[0], "met" if not misses
                             else "MISSED at " + "; ".join(misses)))


def targets(runs):
    """The targets, for ssm_listen against bare_batch and bare_receive, and
    for ssm_watch against bare_select; the lines marked "no target" are for
    information."""
    lines = []
    name, reference = "ssm_listen", "bare_receive"
    fixed = ((str(CPU_RATE), "100k/s"), (ZERO_LOSS_POINT, "full rate"))
    for point, what in fixed:
        value = median([point_ratio(run, name, "bare_batch", point) for run in runs])
        lines.append("%s: CPU at %s %s times bare_batch's (target <= 1.10): %s"
                     % (name, what, fmt(value, "%.2f"), verdict(at_most(value, 1.1))))
    lines.append(every_rate(runs, name, reference, True))
    lines.append(every_rate(runs, "ssm_watch", "bare_select", False))
    for point, what in fixed:
        value = median([point_ratio(run, name, reference, point) for run in runs])
        # The batch loop's own ratio: whether the target is within reach at all.
        floor = median([point_ratio(run, "bare_batch", reference, point) for run in runs])
        lines.append("%s: CPU at %s %s times %s's (target <= 0.50; the floor, bare_batch: %s): %s"
                     % (name, what, fmt(value, "%.2f"), reference, fmt(floor, "%.2f"),
                        verdict(at_most(value, 0.5))))
    entries = [run[name + "/large"] for run in runs]
    p50 = worst_p50(entries)
    within = min(e["delay"]["within_2ms"] for e in entries)
    missing = max(e["delay"]["missing"] for e in entries)
    lines.append("%s: at 200/s p50 %.0f us, %.1f%% of lines within 2 ms, %d missing (worst run; "
                 "target p50 <= 300 us, >= 99%%, none): %s"
                 % (name, p50, within * 100, missing,
                    verdict(p50 <= 300 and within >= 0.99 and missing == 0)))
    rss = max(e["rss_kib"] for e in entries)
    lines.append("%s: peak RSS %d KiB with 32-byte datagrams (target < 4096): %s"
                 % (name, rss, verdict(rss < 4096)))
    value = median([point_ratio(run, name, reference, FULL_POINT) for run in runs])
    lines.append("%s: CPU at the sender's full rate %s times %s's (no target: %s takes only "
                 "part of that burst)" % (name, fmt(value, "%.2f"), reference, reference))
    # The sender is slower to a receiver that keeps up (likely: on loopback a
    # datagram queued costs the sender's core more than one dropped at a full
    # queue), so the rate of the burst taken whole is shown beside the full rate
    # measured with bare_receive.
    rates = [run[name + "/large"]["zero_loss"] for run in runs]
    lines.append("%s (large queue): took every datagram of a burst at the sender's full rate in "
                 "%d of %d runs (zero-loss rate %.0f/s, median; the sender's full rate to "
                 "bare_receive %.0f/s) (no target)"
                 % (name, sum(1 for rate in rates if rate[1] == ">="), len(runs),
                    median([rate[0] for rate in rates]),
                    median([run["sender_full_rate"] for run in runs])))
    value = median([ratio(run, name, "default", reference, "zero_loss") for run in runs])
    lines.append("%s (default queue): zero-loss rate %s of %s's (no target)"
                 % (name, fmt(value, "%.2f"), reference))
    name, reference = "ssm_watch", "bare_select"
    for queue in ("large", "default"):
        value = median([ratio(run, name, queue, reference, "zero_loss") for run in runs])
        lines.append("%s (%s queue): zero-loss rate %s of %s's (no target)"
                     % (name, queue, fmt(value, "%.2f"), reference))
    value = median([point_ratio(run, name, reference, FULL_POINT) for run in runs])
    lines.append("%s: CPU at the sender's full rate %s times %s's (no target)"
                 % (name, fmt(value, "%.2f"), reference))
    entries = [run[name + "/large"] for run in runs]
    lines.append("%s: at 200/s p50 %.0f us, %.1f%% of lines within 2 ms, %d missing "
                 "(worst run; no target)"
                 % (name, worst_p50(entries),
                    min(e["delay"]["within_2ms"] for e in entries) * 100,
                    max(e["delay"]["missing"] for e in entries)))
    lines.append("%s: peak RSS %d KiB with 32-byte datagrams (no target)"
                 % (name, max(e["rss_kib"] for e in entries)))
    return "\n".join(lines)


def sweep_table(names, runs, field, pattern):
    """A figure per datagram (field: cpu_ns, wake_ups) at each point of the
    sweep, medians over the runs."""
    lines = ["| receiver (large queue) | " + " | ".join(SWEEP_HEADS) + " |",
             "|" + "---|" * (len(SWEEP_HEADS) + 1)]
    for name in names:
        cells = [fmt(median([figure(run, name, point, field) for run in runs]), pattern)
                 for point in SWEEP_POINTS]
        lines.append("| %s | %s |" % (name, " | ".join(cells)))
    return "\n".join(lines)


def ratio_table(runs):
    """CPU per datagram of ssm_listen against both its bare loops, of the
    batch loop against the one-datagram loop, and of ssm_watch against its
    own, at every point of the sweep: ratios within a run, medians."""
    lines = ["| CPU ratio (large queue) | " + " | ".join(SWEEP_HEADS) + " |",
             "|" + "---|" * (len(SWEEP_HEADS) + 1)]
    for name, reference, note in (("ssm_listen", "bare_batch", ""),
                                  ("ssm_listen", "bare_receive", ""),
                                  ("bare_batch", "bare_receive", " (the floor)"),
                                  ("ssm_watch", "bare_select", "")):
        cells = [fmt(median([point_ratio(run, name, reference, point) for run in runs]), "%.2f")
                 for point in SWEEP_POINTS]
        lines.append("| %s / %s%s | %s |" % (name, reference, note, " | ".join(cells)))
    return "\n".join(lines)


def ipv6_line(runs):
    """The IPv6 run beside the sweep, for information: CPU and wake-ups per
    datagram of ssm_listen and bare_receive at CPU_RATE, medians over the
    runs, and their ratios, each taken within a run, then the median."""
    measured = [run["ipv6"] for run in runs if "error" not in run["ipv6"]]
    head = "IPv6 at %gk/s (no target): " % (CPU_RATE / 1000)
    if not measured:
        return head + "not measured: " + runs[0]["ipv6"]["error"]

    def value(name, field):
        return median([m[name][field] for m in measured])

    def ratio6(field):
        return median([m["ssm_listen"][field] / m["bare_receive"][field]
                       if m["bare_receive"][field] else None for m in measured])

    segments = min(m[name]["segments"] for m in measured for name in IPV6_NAMES)
    return (head + "ssm_listen %s ns CPU and %s wake-ups per datagram, bare_receive %s ns and "
            "%s; ssm_listen / bare_receive %s (CPU) and %s (wake-ups). %s from %s over a veth "
            "pair, sent out of %s, received on %s (named on the group), large queue, %s; "
            "medians of %s; the fewest taken: ssm_listen %d, bare_receive %d, of %d."
            % (fmt(value("ssm_listen", "cpu_ns")), fmt(value("ssm_listen", "wake_ups"), "%.3f"),
               fmt(value("bare_receive", "cpu_ns")), fmt(value("bare_receive", "wake_ups"), "%.3f"),
               fmt(ratio6("cpu_ns"), "%.2f"), fmt(ratio6("wake_ups"), "%.2f"), GROUP6, SOURCE6,
               SEND_LINK6, RECEIVE_LINK6,
               "%d datagrams a message" % segments if segments > 1
               else "one datagram a message (the kernel would not cut them)",
               "%d run%s" % (len(runs), "" if len(runs) == 1 else "s")
               if len(measured) == len(runs) else
               "the %d of %d runs that measured it" % (len(measured), len(runs)),
               min(m["ssm_listen"]["received"] for m in measured),
               min(m["bare_receive"]["received"] for m in measured),
               measured[0]["ssm_listen"]["count"]))


def big_datagrams(runs):
    """Peak RSS with the largest datagrams, for information."""
    parts = []
    for name in ("ssm_listen", "bare_receive"):
        entries = [run[name + "/large"] for run in runs]
        parts.append("%s %d KiB (%d of %d taken)"
                     % (name, max(e["rss_big_kib"] for e in entries),
                        min(e["big_received"] for e in entries), entries[0]["big_count"]))
    return ("Peak RSS with %d-byte datagrams (a burst at %d/s, large queue; the largest over the "
            "runs, the fewest taken): %s." % (BIG_LENGTH, BIG_RATE, "; ".join(parts)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--runs", type=int, default=REAL_RUNS)
    parser.add_argument("--smoke", action="store_true")
    parser.add_argument("--check-only", action="store_true",
                        help="only the ssm_check case: its capture's cost")
    parser.add_argument("--monitor-only", action="store_true",
                        help="only the ssm_monitor case: a thousand channels beside the floor")
    options = parser.parse_args()
    if options.check_only and options.monitor_only:
        parser.error("--check-only and --monitor-only: one case at a time")
    here = os.path.dirname(os.path.abspath(__file__))
    tools = {name: os.path.join(options.build, "bench", name) for name in ("burst_send", "delay_probe")}
    cpus = sorted(os.sched_getaffinity(0))
    cores = {"sender": str(cpus[0]), "receiver": str(cpus[-1])}
    if len(cpus) < 2:
        print("bench: only one CPU: sender and receiver share it, figures are not comparable")
    os.makedirs(options.out, exist_ok=True)
    all_receivers = receivers(options.build, here)
    receivers6 = ipv6_receivers(options.build)
    check_receivers = check_case.receivers(options.build, [GROUP, SOURCE, str(PORT)])
    monitor_receivers = monitor_case.receivers(options.build)
    # One case alone, where asked: its runs, its line, its own results file.
    only = "check" if options.check_only else "monitor" if options.monitor_only else None
    started = time.monotonic()
    load_before = load_average()
    runs, log = [], []
    for number in range(1, options.runs + 1):
        print("run %d of %d" % (number, options.runs), flush=True)
        if only == "check":
            runs.append({"check": check_run(check_receivers, cores, tools, options.out,
                                            options.smoke, log, number)})
        elif only == "monitor":
            runs.append({"monitor": monitor_run(monitor_receivers, cores, tools, options.out,
                                                options.smoke, number)})
        else:
            runs.append(one_run(all_receivers, receivers6, check_receivers, monitor_receivers,
                                cores, tools, options.out, options.smoke, log, number))
    if only is not None:
        print()
        print(check_case.line(runs, CPU_RATE) if only == "check" else monitor_case.lines(runs))
        print("Sender on CPU %s, receiver on CPU %s; %.0f s; load average %s before, %s after."
              % (cores["sender"], cores["receiver"], time.monotonic() - started, load_before,
                 load_average()))
        with open(os.path.join(options.out, "results-%s.json" % only), "w") as f:
            json.dump({"runs": runs, "bursts": log}, f, indent=1)
        return
    full = median([run["sender_full_rate"] for run in runs])
    large = [r["name"] for r in all_receivers if r["queue"] == "large"]
    text = "\n".join([
        table(all_receivers, runs), "",
        "CPU ns per datagram over the sweep (chart: sweep.svg):", "",
        sweep_table(large, runs, "cpu_ns", "%.0f"), "",
        "Wake-ups per datagram over the sweep (voluntary context switches of the receiver "
        "over the datagrams it took):", "",
        sweep_table(large, runs, "wake_ups", "%.3f"), "",
        "CPU per datagram against the bare loops (ratios within each run, medians over the "
        "runs):", "",
        ratio_table(runs), "",
        ipv6_line(runs), "",
        check_case.line(runs, CPU_RATE), "",
        monitor_case.lines(runs), "",
        big_datagrams(runs), "",
        "Full rate: bare_receive's zero-loss rate in each run, %.0f datagrams/s (median), a burst "
        "of 1 s at it to every large-queue receiver." % median([run["zero_loss_point_rate"]
                                                              for run in runs]),
        "Sender's full rate (burst_send, sendmmsg, %d datagrams a message): %.0f datagrams/s "
        "(median); sender on CPU %s, receiver on CPU %s; %d runs, medians; %.0f s; "
        "load average %s before, %s after."
        % (SEGMENTS, full, cores["sender"], cores["receiver"], len(runs),
           time.monotonic() - started, load_before, load_average()),
        "", targets(runs)] +
        (["", "Smoke run: bursts of 300 datagrams; the figures mean nothing."] if options.smoke
         else ["", "Only %d run%s: the targets are judged on the medians of at least %d."
               % (len(runs), "" if len(runs) == 1 else "s", REAL_RUNS)]
         if len(runs) < REAL_RUNS else []))
    print()
    print(text)
    with open(os.path.join(options.out, "results.md"), "w") as f:
        f.write(text + "\n")
    note = "Smoke run: tiny bursts, the figures mean nothing." if options.smoke else ""
    with open(os.path.join(options.out, "sweep.svg"), "w") as f:
        f.write(chart.chart_of_runs(large, runs, note))
    with open(os.path.join(options.out, "results.json"), "w") as f:
        json.dump({"runs": runs, "bursts": log}, f, indent=1)


if __name__ == "__main__":
    main()
