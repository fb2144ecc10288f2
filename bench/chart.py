"""Draws the benchmark's rate sweep as an SVG chart: CPU time per datagram
against the rate, one line per receiver (large queue), medians over the runs,
the bare loop drawn thick and dashed, the batch loop (the floor of
ssm_listen's batches) thick and finely dashed, and a dotted line at half the
bare loop's cost where that is ssm_listen's target (100k/s and bare_receive's
zero-loss rate).
Points at the sender's full rate are drawn hollow: the bare loops take only
part of those bursts. Hand-written SVG, standard library only.

bench.py calls draw(); to draw again from a saved run:
    python3 bench/chart.py bench-out/results.json sweep.svg
"""
import json
import math
import statistics
import sys
from xml.sax.saxutils import escape

WIDTH, HEIGHT = 760, 460
LEFT, RIGHT, TOP, BOTTOM = 80, 250, 50, 60
BARE = "bare_receive"
BATCH = "bare_batch"
TARGET_SHARE = 0.5
# The sweep's named points (bench.py's results): bare_receive's zero-loss rate
# in the run, and the sender's full rate ("0" in results of older runs).
ZERO_LOSS_POINT, FULL_POINT = "zero-loss", "full"
TARGET_POINTS = ("100000", ZERO_LOSS_POINT)
# Distinct on white and for the common kinds of colour blindness.
COLOURS = ["#0072b2", "#d55e00", "#009e73", "#cc79a7", "#e69f00", "#56b4e9", "#888888"]


def is_full(name):
    return name in (FULL_POINT, "0")


def medians(runs, key):
    """[(point, rate, ns per datagram)] for one receiver, over the sweep's
    points in order of rate: the medians over the runs. The sender's full-rate
    point sits at the median rate the sender reached, and comes last."""
    points = {}
    for run in runs:
        for name, point in run.get(key, {}).get("sweep", {}).items():
            if point["cpu_ns"] is not None and point["cpu_ns"] > 0 and point["rate"] > 0:
                points.setdefault(name, []).append(point)
    ordered = sorted(points.items(), key=lambda item: (
        is_full(item[0]), statistics.median(p["rate"] for p in item[1])))
    return [(name, statistics.median(p["rate"] for p in group),
             statistics.median(p["cpu_ns"] for p in group)) for name, group in ordered]


def nice_ticks(low, high):
    """1-2-5 steps within [low, high], for a logarithmic axis."""
    ticks = []
    decade = 10 ** math.floor(math.log10(low))
    while decade <= high:
        for step in (1, 2, 5):
            value = step * decade
            if low <= value <= high:
                ticks.append(value)
        decade *= 10
    return ticks


def label(value):
    if value >= 1000000 and value % 1000000 == 0:
        return "%dM" % (value // 1000000)
    if value >= 1000 and value % 1000 == 0:
        return "%dk" % (value // 1000)
    return "%g" % value


def draw(series, title, note=""):
    """series: [(name, [(point, rate, ns)])], the bare loop among them.
    Returns the SVG text."""
    all_points = [(rate, ns) for _, points in series for _, rate, ns in points]
    if not all_points:
        all_points = [(10000, 1000), (100000, 10000)]
    bare = dict(series).get(BARE, [])
    target = [(rate, ns * TARGET_SHARE) for point, rate, ns in bare if point in TARGET_POINTS]
    xs = [p[0] for p in all_points]
    ys = [p[1] for p in all_points + target]
    x_low, x_high = min(xs) / 1.2, max(xs) * 1.2
    y_low, y_high = min(ys) / 1.3, max(ys) * 1.3
    plot_w, plot_h = WIDTH - LEFT - RIGHT, HEIGHT - TOP - BOTTOM

    def x_at(rate):
        return LEFT + plot_w * math.log(rate / x_low) / math.log(x_high / x_low)

    def y_at(ns):
        return TOP + plot_h * (1 - math.log(ns / y_low) / math.log(y_high / y_low))

    def path(points):
        return " ".join("%.1f,%.1f" % (x_at(x), y_at(y)) for x, y in points)

    out = ['<?xml version="1.0" encoding="UTF-8"?>',
           '<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" viewBox="0 0 %d %d" '
           'font-family="sans-serif" font-size="12">' % (WIDTH, HEIGHT, WIDTH, HEIGHT),
           '<rect width="100%" height="100%" fill="white"/>',
           '<text x="%d" y="22" font-size="15" font-weight="bold">%s</text>' % (LEFT, escape(title))]
    note = ("Hollow: as fast as the sender sends (the bare loops lose datagrams). " + note).strip()
    out.append('<text x="%d" y="40" fill="#555">%s</text>' % (LEFT, escape(note)))
    # Grid and ticks.
    for tick in nice_ticks(x_low, x_high):
        x = x_at(tick)
        out.append('<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="#e4e4e4"/>'
                   % (x, TOP, x, TOP + plot_h))
        out.append('<text x="%.1f" y="%d" text-anchor="middle">%s</text>'
                   % (x, TOP + plot_h + 18, label(tick)))
    for tick in nice_ticks(y_low, y_high):
        y = y_at(tick)
        out.append('<line x1="%d" y1="%.1f" x2="%d" y2="%.1f" stroke="#e4e4e4"/>'
                   % (LEFT, y, LEFT + plot_w, y))
        out.append('<text x="%d" y="%.1f" text-anchor="end">%s</text>'
                   % (LEFT - 6, y + 4, label(tick)))
    out.append('<rect x="%d" y="%d" width="%d" height="%d" fill="none" stroke="#333"/>'
               % (LEFT, TOP, plot_w, plot_h))
    out.append('<text x="%.1f" y="%d" text-anchor="middle">rate, datagrams/s (log scale)</text>'
               % (LEFT + plot_w / 2, HEIGHT - 15))
    out.append('<text transform="translate(20,%.1f) rotate(-90)" text-anchor="middle">'
               'CPU ns per datagram (log scale)</text>' % (TOP + plot_h / 2))
    # The lines, then the legend in the same order.
    legend = []
    if target:
        out.append('<polyline class="target" points="%s" fill="none" stroke="#333" '
                   'stroke-width="1.5" stroke-dasharray="2 4"/>' % path(target))
        legend.append(("%g × %s (target)" % (TARGET_SHARE, BARE),
                       'stroke="#333" stroke-width="1.5" stroke-dasharray="2 4"'))
    colours = iter(COLOURS)
    for name, points in series:
        if name == BARE:
            style = 'stroke="black" stroke-width="3.5" stroke-dasharray="9 5"'
            text = name + " (the bare loop)"
        elif name == BATCH:
            style = 'stroke="#555555" stroke-width="3" stroke-dasharray="3 3"'
            text = name + " (the batch floor)"
        else:
            style = 'stroke="%s" stroke-width="2"' % next(colours)
            text = name
        out.append('<polyline class="receiver" data-receiver="%s" points="%s" fill="none" %s/>'
                   % (escape(name), path([(x, y) for _, x, y in points]), style))
        colour = style.split('"')[1]
        for point, x, y in points:
            fill = "white" if is_full(point) else colour
            out.append('<circle cx="%.1f" cy="%.1f" r="3" fill="%s" stroke="%s"/>'
                       % (x_at(x), y_at(y), fill, colour))
        legend.append((text, style))
    for number, (text, style) in enumerate(legend):
        y = TOP + 10 + 22 * number
        x = LEFT + plot_w + 15
        out.append('<line x1="%d" y1="%d" x2="%d" y2="%d" %s/>' % (x, y, x + 30, y, style))
        out.append('<text x="%d" y="%d">%s</text>' % (x + 38, y + 4, escape(text)))
    out.append("</svg>")
    return "\n".join(out) + "\n"


def chart_of_runs(names, runs, note=""):
    """The chart of bench.py's runs, for the large-queue receivers names."""
    series = [(name, medians(runs, name + "/large")) for name in names]
    title = "CPU time per datagram against rate (large queue, median of %d run%s)" % (
        len(runs), "" if len(runs) == 1 else "s")
    return draw(series, title, note)


def main(argv):
    if len(argv) != 3:
        raise SystemExit("Usage: chart.py results.json chart.svg")
    with open(argv[1]) as f:
        runs = json.load(f)["runs"]
    names = []
    for key in runs[0]:
        if key.endswith("/large"):
            names.append(key[:-len("/large")])
    with open(argv[2], "w") as f:
        f.write(chart_of_runs(names, runs))


if __name__ == "__main__":
    main(sys.argv)
