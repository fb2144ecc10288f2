"""The benchmark's ssm_check case: what its link capture costs.

ssm_check takes a 1 s stream at 100,000 datagrams/s, with its capture on the
interface and without it (run without CAP_NET_RAW, so that it cannot open
one), each fresh for its burst, their order alternating from run to run.
The sender sends one datagram a message: a message the kernel cuts into
datagrams passes the capture as one packet, and the filter would run once
for many. Then, for the kernel's side, the sender's own CPU time per
datagram at its full rate to each, stopped: on loopback the sender's core
carries every datagram through the capture's filter and IP, so what the
capture costs the kernel shows there and not in ssm_check's own CPU time.
"""

import os
import statistics

WITH, WITHOUT = "ssm_check", "ssm_check_no_capture"
# The most the capture may add to ssm_check's CPU time at 100,000/s.
TARGET = 1.15
SENDER_COUNT = 300000


def receivers(build, channel):
    """ssm_check with the capture and without, listening long enough for any
    burst (the benchmark stops it, and it gives its report)."""
    argv = [os.path.join(build, "ssm_check", "ssm_check"), "-t", "3600"] + channel
    common = {"queue": "large", "output": "report", "segments": 1}
    return [dict(common, name=WITH, argv=argv, capture=True),
            dict(common, name=WITHOUT, argv=["setpriv", "--bounding-set=-net_raw"] + argv,
                 capture=False)]


def report_counts(path):
    """From ssm_check's report: received, and link_datagrams (None when the
    link was not checked)."""
    with open(path) as f:
        fields = dict(line.rstrip("\n").split(": ", 1) for line in f if ": " in line)
    link = fields.get("link_datagrams", "").split(" ")[0]
    return int(fields.get("received", "0")), int(link) if link.isdigit() else None


def one_run(variants, burst, sender_cost, rate, count, number, smoke):
    """Both variants at rate (burst), then the sender's cost to each stopped
    (sender_cost); the first run starts with the capture, the next without,
    and so on. Returns the figures per datagram of each."""
    ordered = variants if number % 2 == 1 else list(reversed(variants))
    figures = {}
    for receiver in ordered:
        paced = burst(receiver, rate, count)
        sender = sender_cost(receiver, 300 if smoke else SENDER_COUNT)
        taken = max(1, paced["received"])
        figures[receiver["name"]] = {
            "cpu_ns": paced["cpu_ns"] / taken, "wake_ups": paced["wake_ups"] / taken,
            "received": paced["received"], "count": count, "link": paced["link"],
            "sender_ns": sender["sender_ns"], "sender_rate": sender["sender_rate"]}
        print("  %-24s cpu %.0f ns, %.3f wake-ups per datagram at %d/s, link %s; the sender "
              "%.0f ns a datagram to it stopped" % (receiver["name"],
                                                    figures[receiver["name"]]["cpu_ns"],
                                                    figures[receiver["name"]]["wake_ups"], rate,
                                                    paced["link"], sender["sender_ns"]),
              flush=True)
    return figures


def line(runs, rate):
    """The case's line under the table: medians over the runs, each ratio
    taken within a run."""
    measured = [run["check"] for run in runs]

    def value(name, field):
        return statistics.median(m[name][field] for m in measured)

    def ratio(field):
        return statistics.median(m[WITH][field] / m[WITHOUT][field] for m in measured)

    cpu = ratio("cpu_ns")
    links = [m[WITH]["link"] for m in measured]
    counted = ("%d of %d" % (min(links), measured[0][WITH]["count"]) if None not in links
               else "not checked in %d of %d runs" % (links.count(None), len(links)))
    return ("ssm_check at %gk/s: with its link capture %.0f ns CPU and %.3f wake-ups per "
            "datagram, without it %.0f ns and %.3f; with / without %.2f (target <= %.2f): %s. "
            "The capture counted %s (the fewest). The sender's own CPU per datagram at its full "
            "rate, one a message, to ssm_check stopped (the kernel's side of the capture): "
            "%.0f ns with the capture, %.0f ns without (%.3f). Medians of %d run%s; the "
            "fewest taken: %d and %d, of %d."
            % (rate / 1000, value(WITH, "cpu_ns"), value(WITH, "wake_ups"),
               value(WITHOUT, "cpu_ns"), value(WITHOUT, "wake_ups"), cpu, TARGET,
               "met" if cpu <= TARGET else "MISSED", counted,
               value(WITH, "sender_ns"), value(WITHOUT, "sender_ns"),
               ratio("sender_ns"), len(runs), "" if len(runs) == 1 else "s",
               min(m[WITH]["received"] for m in measured),
               min(m[WITHOUT]["received"] for m in measured), measured[0][WITH]["count"]))
