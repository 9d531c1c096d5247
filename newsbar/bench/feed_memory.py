#!/usr/bin/env python3
"""Peak memory and time of `newsbar --parse` on the feeds that feed_parse_bench writes.

Needs GNU time (Debian package `time`).

    feed_memory.py NEWSBAR FEEDS_DIR [--compare OTHER_NEWSBAR] [--runs N]

For each feed: the peak resident set of the process (its maximum over N runs), the median wall
time, and the budget: the peak on the small feed plus 4 times the feed's size. With --compare the
same for another build of the program, and whether both print the same records. Exits 1 when a
feed of 8 MB or more goes over the budget, or when the outputs differ.
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time


def run(program, feed):
    """(peak RSS in KiB, wall seconds, standard output) of one `program --parse feed`."""
    env = dict(os.environ, TZ="UTC", LC_ALL="C.UTF-8", QT_LOGGING_RULES="newsbar.*=false")
    # GNU time measures from a small process of its own: a child of this one would count the
    # interpreter's pages, shared until the exec, in its peak.
    with tempfile.NamedTemporaryFile("r") as report:
        start = time.monotonic()
        done = subprocess.run(["/usr/bin/time", "-o", report.name, "-f", "%M", program, "--parse", feed],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env, check=False)
        seconds = time.monotonic() - start
        return int(report.read().split()[-1]), seconds, done.stdout


def measure(program, feed, runs):
    results = [run(program, feed) for _ in range(runs)]
    return (max(r[0] for r in results), statistics.median(r[1] for r in results), results[0][2])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("newsbar")
    parser.add_argument("feeds")
    parser.add_argument("--compare", help="another newsbar to measure beside it")
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()

    names = sorted(n[:-4] for n in os.listdir(args.feeds) if n.endswith(".xml"))
    names.sort(key=lambda n: (n != "small", n != "realistic", n))
    programs = [("this", args.newsbar)] + ([("other", args.compare)] if args.compare else [])
    baseline = {}
    failed = False
    header = "| feed | bytes | budget MiB |" + "".join(
        f" {label} peak MiB | {label} / budget | {label} s |" for label, _ in programs)
    if args.compare:
        header += " same records |"
    print(header)
    print("|" + "---|" * (header.count("|") - 1))
    for name in names:
        path = os.path.join(args.feeds, name + ".xml")
        size = os.path.getsize(path)
        row = []
        outputs = []
        budget = None
        for label, program in programs:
            peak, seconds, output = measure(program, path, args.runs)
            outputs.append(output)
            if name == "small":
                baseline[label] = peak
            budget = baseline.get("this", peak) + 4 * size / 1024
            row.append((peak, peak / budget, seconds))
            if label == "this" and size >= 8_000_000 and peak > budget:
                failed = True
        line = f"| {name} | {size} | {budget / 1024:.1f} |" + "".join(
            f" {peak / 1024:.1f} | {ratio:.2f} | {seconds:.2f} |" for peak, ratio, seconds in row)
        if args.compare:
            same = outputs[0] == outputs[1]
            line += " yes |" if same else " no |"
            failed |= name in ("small", "realistic") and not same
        print(line, flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
