"""The benchmark's ssm_monitor case: a thousand channels in one process.

1,000 channels (groups from 232.3.0.1 up, one source, one port) take 100
datagrams a second each, 100,000 a second in all, a datagram to each in turn,
each channel's numbered from 1, for a few seconds: once to ssm_monitor
watching them from a channel file, once to bare_epoll (the floor: the same
sockets, set up as the monitor sets them up, epoll and one recvfrom for each
ready socket, counting only), each fresh, their order alternating from run to
run. Measured from just before the stream to when every socket's queue is
empty after it: CPU time and wake-ups per datagram taken; datagrams lost (the
sender's count less what the receiver took, and the sockets' own drop counts
from /proc/PID/net/udp); peak RSS; and the time from the start until all
1,000 memberships are in /proc/net/mcfilter. Then, for the pauses between
the monitor's rounds, one channel alone at 100,000 datagrams a second for a
second, to each again: what it loses, and its CPU beside the floor's.
"""

import os
import socket
import statistics
import time

MONITOR, FLOOR = "ssm_monitor", "bare_epoll"
CHANNELS, RATE_EACH, SECONDS = 1000, 100, 3
FIRST_GROUP = "232.3.0.1"
SMOKE_EACH = 2  # datagrams a channel in a smoke run
# The fast channel alone, for a second (300 datagrams in a smoke run).
FAST_RATE, SMOKE_FAST = 100000, 300
# The targets: CPU per datagram against the floor's (and what to aim for),
# peak RSS, and the time until every channel is joined.
TARGET, AIM = 1.0, 0.6
RSS_MOST_KIB = 64 * 1024
JOINED_WITHIN_S = 1.0


def channel_file(out_dir, channels, source, port):
    """Writes a channel file of that many channels, groups from FIRST_GROUP
    up, for both receivers; returns its path."""
    first = int.from_bytes(socket.inet_aton(FIRST_GROUP), "big")
    path = os.path.join(out_dir, "monitor-channels-%d.txt" % channels)
    with open(path, "w") as f:
        for n in range(channels):
            f.write("%s %s %d ch%d\n" % (socket.inet_ntoa((first + n).to_bytes(4, "big")),
                                         source, port, n + 1))
    return path


def receivers(build):
    """The monitor and its floor, each with its argv for a channel file."""
    monitor = os.path.join(build, "ssm_monitor", "ssm_monitor")
    floor = os.path.join(build, "bench", FLOOR)
    return [{"name": MONITOR, "argv": lambda path: [monitor, "-f", path]},
            {"name": FLOOR, "argv": lambda path: [floor, path]}]


# --- what the kernel says ---------------------------------------------------

def memberships(source):
    """Rows of /proc/net/mcfilter with the source: one a channel joined."""
    wanted = "0x%08x" % int.from_bytes(socket.inet_aton(source), "big")
    with open("/proc/net/mcfilter") as f:
        return sum(1 for line in f if wanted in line.split())


def port_sockets(pid, port):
    """(queued bytes, drops) of every UDP socket bound to the port, from
    /proc/PID/net/udp."""
    found = []
    with open("/proc/%d/net/udp" % pid) as f:
        next(f)
        for line in f:
            fields = line.split()
            if int(fields[1].split(":")[1], 16) == port:
                found.append((int(fields[4].split(":")[1], 16), int(fields[-1])))
    return found


def datagrams_read():
    """UDP datagrams read by the namespace's sockets so far (InDatagrams)."""
    with open("/proc/net/snmp") as f:
        rows = [line.split() for line in f if line.startswith("Udp:")]
    return int(dict(zip(rows[0][1:], rows[1][1:]))["InDatagrams"])


def wait_until(condition, seconds, step=0.005):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(step)
    return condition()


def monitor_events(path):
    """The monitor's events by kind, and the datagrams its missing events
    name."""
    kinds, missing = {}, 0
    with open(path) as f:
        for line in f:
            words = line.split()
            # time, group, source, port, name, then the event
            kind = words[5] if len(words) > 5 else "?"
            kinds[kind] = kinds.get(kind, 0) + 1
            if kind == "missing":
                missing += int(words[6].rstrip(":"))
    return kinds, missing


# --- one receiver, one stream -----------------------------------------------

def stream(receiver, helpers, out_dir, source, port, channels, rate, count):
    """Starts the receiver fresh on a file of that many channels, waits for
    its memberships, sends count datagrams over the channels at rate in all.
    Returns its figures."""
    path = channel_file(out_dir, channels, source, port)
    out_path = os.path.join(out_dir, "%s-%d-channels.out" % (receiver["name"], channels))
    if not wait_until(lambda: memberships(source) == 0, 5):
        raise SystemExit("bench: the previous receiver still holds memberships")
    if os.path.exists(out_path):
        os.remove(out_path)
    os.sync()
    with open(out_path, "wb") as out:
        started = time.monotonic()
        process = helpers.start(receiver["argv"](path), out)
    try:
        if not wait_until(lambda: memberships(source) == channels, 10, 0.002):
            raise SystemExit("bench: %s joined %d of %d channels in 10 s"
                             % (receiver["name"], memberships(source), channels))
        joined_s = time.monotonic() - started
        before = (helpers.cpu_ns(process.pid), helpers.wake_ups(process.pid), datagrams_read())
        sent = helpers.send(["-c", str(count), "-r", str(rate), "-n", str(channels), "-g", "1",
                             FIRST_GROUP, source, str(port)])
        drained = wait_until(lambda: all(queued == 0 for queued, _ in
                                         port_sockets(process.pid, port)), 5, 0.002)
        cpu = helpers.cpu_ns(process.pid) - before[0]
        woken = helpers.wake_ups(process.pid) - before[1]
        read = datagrams_read() - before[2]
        drops = sum(dropped for _, dropped in port_sockets(process.pid, port))
        rss = helpers.peak_rss_kib(process.pid)
    finally:
        helpers.stop(process)
    fields = dict(item.split("=") for item in sent.split())
    figures = {"sent": int(fields["sent"]), "sender_rate": float(fields["rate"]),
               "drops": drops, "rss_kib": rss, "joined_s": joined_s, "drained": drained}
    if receiver["name"] == FLOOR:
        with open(out_path) as f:
            figures["taken"] = int(dict(item.split("=") for item in f.read().split())["datagrams"])
    else:
        figures["taken"] = read
        kinds, figures["missing"] = monitor_events(out_path)
        figures["joined_events"] = kinds.get("joined", 0)
        figures["events"] = kinds
    taken = max(1, figures["taken"])
    figures["cpu_ns"] = cpu / taken
    figures["wake_ups"] = woken / taken
    figures["lost"] = figures["sent"] - figures["taken"]
    return figures


def one_run(variants, helpers, out_dir, source, port, number, smoke):
    """Both receivers on the thousand channels, then on the fast one, the
    monitor first in odd runs. Returns their figures (the fast channel's
    under "fast") and the load average at the start."""
    ordered = variants if number % 2 == 1 else list(reversed(variants))
    figures = {"load": helpers.load_average(), "fast": {}}
    for what, channels, rate, count in (
            ("channels", CHANNELS, CHANNELS * RATE_EACH,
             CHANNELS * (SMOKE_EACH if smoke else RATE_EACH * SECONDS)),
            ("fast", 1, FAST_RATE, SMOKE_FAST if smoke else FAST_RATE)):
        for receiver in ordered:
            result = stream(receiver, helpers, out_dir, source, port, channels, rate, count)
            (figures if what == "channels" else figures["fast"])[receiver["name"]] = result
            print("  %-24s cpu %.0f ns, %.3f wake-ups per datagram, %d of %d taken, %d dropped, "
                  "rss %d KiB, joined in %.3f s%s"
                  % (receiver["name"] + "/" + what, result["cpu_ns"], result["wake_ups"],
                     result["taken"], result["sent"], result["drops"], result["rss_kib"],
                     result["joined_s"], "" if result["drained"] else " (queues never drained)"),
                  flush=True)
    return figures


def verdict(ok):
    return "met" if ok else "MISSED"


def lines(runs):
    """The case's lines under the table: medians over the runs, the ratio
    taken within each run; the worst run for losses, memory and joins."""
    measured = [run["monitor"] for run in runs]

    def value(name, field):
        return statistics.median(m[name][field] for m in measured)

    def worst(name, field):
        return max(m[name][field] for m in measured)

    ratio = statistics.median(m[MONITOR]["cpu_ns"] / m[FLOOR]["cpu_ns"] for m in measured)
    wake_ratio = statistics.median(m[MONITOR]["wake_ups"] / m[FLOOR]["wake_ups"]
                                   if m[FLOOR]["wake_ups"] else 0 for m in measured)
    loads = [m["load"] for m in measured]
    lost = worst(MONITOR, "lost")
    dropped = worst(MONITOR, "drops")
    missing = worst(MONITOR, "missing")
    rss = worst(MONITOR, "rss_kib")
    joined = worst(MONITOR, "joined_s")
    events = min(m[MONITOR]["joined_events"] for m in measured)
    head = "ssm_monitor, %d channels at %d/s each" % (CHANNELS, RATE_EACH)
    return "\n".join([
        "%s (%gk/s in all, %s): CPU %.0f ns per datagram, bare_epoll (the floor) %.0f ns; "
        "ssm_monitor / bare_epoll %.2f (target <= %.2f, aim %.2f): %s"
        % (head, CHANNELS * RATE_EACH / 1000,
           "%d s" % SECONDS if measured[0][MONITOR]["sent"] >= CHANNELS * RATE_EACH * SECONDS
           else "%d datagrams" % measured[0][MONITOR]["sent"],
           value(MONITOR, "cpu_ns"), value(FLOOR, "cpu_ns"), ratio, TARGET, AIM,
           verdict(ratio <= TARGET)),
        "%s: %.3f wake-ups per datagram, bare_epoll %.3f; ssm_monitor / bare_epoll %.2f "
        "(no target)" % (head, value(MONITOR, "wake_ups"), value(FLOOR, "wake_ups"), wake_ratio),
        "%s: lost %d of %d (sent less taken), the sockets' drops %d, missing in its events %d; "
        "bare_epoll lost %d, drops %d (the most in a run; target: nothing lost): %s"
        % (head, lost, measured[0][MONITOR]["sent"], dropped, missing, worst(FLOOR, "lost"),
           worst(FLOOR, "drops"), verdict(lost == 0 and dropped == 0 and missing == 0)),
        "%s: peak RSS %d KiB, bare_epoll %d KiB (the largest in a run; target < %d KiB): %s"
        % (head, rss, worst(FLOOR, "rss_kib"), RSS_MOST_KIB, verdict(rss < RSS_MOST_KIB)),
        "%s: all %d joined %.3f s after the start, its joined events %d; bare_epoll %.3f s "
        "(the slowest run; target <= %g s): %s"
        % (head, CHANNELS, joined, events, worst(FLOOR, "joined_s"), JOINED_WITHIN_S,
           verdict(joined <= JOINED_WITHIN_S and events == CHANNELS)),
        "ssm_monitor, one channel at %gk/s alone (%d datagrams): lost %d, the socket's drops %d; "
        "CPU %.0f ns per datagram; bare_epoll lost %d, %.0f ns (the most lost in a run; no "
        "target)" % (FAST_RATE / 1000, measured[0]["fast"][MONITOR]["sent"],
                     max(m["fast"][MONITOR]["lost"] for m in measured),
                     max(m["fast"][MONITOR]["drops"] for m in measured),
                     statistics.median(m["fast"][MONITOR]["cpu_ns"] for m in measured),
                     max(m["fast"][FLOOR]["lost"] for m in measured),
                     statistics.median(m["fast"][FLOOR]["cpu_ns"] for m in measured)),
        "%s: medians of %d run%s, the two receivers in turn on the receiving CPU; load "
        "average at the start of each: %s"
        % (head, len(runs), "" if len(runs) == 1 else "s", "; ".join(loads))])
