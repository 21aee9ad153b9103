#!/usr/bin/env python3
"""Draws a halvix timeline (the Chrome trace event file of
halvix::observe::stopTimeline) as a PNG with gnuplot: one lane per Task, one
bar per macro it ran, timer deliveries as marks above the bars.

    tools/timeline_png.py run.json run.png [--width 1000] [--title TEXT]

Needs Python 3 (standard library only) and gnuplot (Debian: gnuplot-nox or
gnuplot). Lanes without a macro (threads that only waited for a full
queue) are left out; lanes are drawn in the file's order, top to bottom.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile


def lanes_and_events(trace):
    names = {}
    for event in trace["traceEvents"]:
        if event.get("ph") == "M" and event.get("name") == "thread_name":
            names[event["tid"]] = event["args"]["name"]
    macros = [e for e in trace["traceEvents"] if e.get("ph") == "X" and e.get("cat") == "macro"]
    timers = [e for e in trace["traceEvents"] if e.get("ph") == "i" and e.get("cat") == "timer"]
    used = []
    for event in macros:
        if event["tid"] not in used:
            used.append(event["tid"])
    used.sort(key=lambda tid: list(names).index(tid) if tid in names else tid)
    return [(tid, names.get(tid, "thread %d" % tid)) for tid in used], macros, timers


def gnuplot_text(text):
    return text.replace("\\", "\\\\").replace('"', '\\"')


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("trace")
    parser.add_argument("png")
    parser.add_argument("--width", type=int, default=1000)
    parser.add_argument("--title", default=None)
    args = parser.parse_args()

    with open(args.trace, encoding="utf-8") as stream:
        trace = json.load(stream)
    lanes, macros, timers = lanes_and_events(trace)
    if not lanes:
        sys.exit("timeline_png: no macro in %s" % args.trace)
    row = {tid: len(lanes) - 1 - i for i, (tid, _) in enumerate(lanes)}  # first lane on top
    colours = {}
    with tempfile.TemporaryDirectory() as work:
        bars = os.path.join(work, "bars.dat")
        marks = os.path.join(work, "marks.dat")
        with open(bars, "w", encoding="utf-8") as out:
            for event in macros:
                start = event["ts"] / 1000.0
                end = start + event["dur"] / 1000.0
                colour = colours.setdefault(event["name"], len(colours) % 8 + 1)
                out.write("%f %d %f %d\n" % ((start + end) / 2, row[event["tid"]], (end - start) / 2, colour))
        span = max(e["ts"] + e["dur"] for e in macros) / 1000.0
        labels = os.path.join(work, "labels.dat")
        with open(labels, "w", encoding="utf-8") as out:
            for event in macros:
                if event["dur"] / 1000.0 > span / 14:  # wide enough for its name
                    out.write('%f %d "%s"\n' % ((event["ts"] + event["dur"] / 2) / 1000.0, row[event["tid"]],
                                                gnuplot_text(event["name"])))
        with open(marks, "w", encoding="utf-8") as out:
            for event in timers:
                if event["tid"] in row:
                    out.write("%f %f\n" % (event["ts"] / 1000.0, row[event["tid"]] + 0.42))
        ytics = ", ".join('"%s" %d' % (gnuplot_text(name), row[tid]) for tid, name in lanes)
        dropped = trace.get("otherData", {}).get("droppedEvents", 0)
        title = args.title or "%d macros on %d lanes%s" % (
            len(macros), len(lanes), (", %d events dropped" % dropped) if dropped else "")
        script = "\n".join([
            'set terminal pngcairo size %d,%d font "sans,9"' % (args.width, 120 + 34 * len(lanes)),
            'set output "%s"' % gnuplot_text(args.png),
            'set title "%s"' % gnuplot_text(title),
            "set xlabel \"ms since the start of the recording\"",
            "set ytics (%s)" % ytics,
            "set yrange [-0.7:%f]" % (len(lanes) - 0.3),
            "set grid xtics",
            "set style fill solid 0.85 border rgb \"#404040\"",
            "unset key",
            "plot \"%s\" using 1:2:3:(0.32):4 with boxxyerror lc variable, "
            "\"%s\" using 1:2:3 with labels textcolor rgb \"white\"%s" % (
                gnuplot_text(bars), gnuplot_text(labels),
                (", \"%s\" using 1:2 with points pt 11 ps 0.8 lc rgb \"#c00000\"" % gnuplot_text(marks))
                if timers else ""),
        ])
        subprocess.run(["gnuplot"], input=script, text=True, check=True)


if __name__ == "__main__":
    main()
