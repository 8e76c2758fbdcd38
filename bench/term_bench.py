#!/usr/bin/env python3
"""tagterm benchmark: the 100000-byte tokenised upload by flashtag through
tagterm beside the same upload on a free port, in one run, for the Linux
build and (when built) the Windows build under Wine; then tagterm's CPU
with a quiet tag over a minute (Linux build).

For each upload it prints the wall time, the ratio of the run through
tagterm to the free one (target at most 1.01), flashtag's CPU (user +
system), tagterm's CPU over the same run, and the shortest gap the tag saw
after a byte whose index is a multiple of 100 (the upload's 20 ms pauses).
CPU is the threads' time on a CPU from /proc/PID/task/*/schedstat (under
Wine, of the wine process that runs the program).

Run: bench/term.sh  (builds first)."""
import glob
import os
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = {"linux": os.path.join(ROOT, "build/linux/pc_utils"),
         "windows": os.path.join(ROOT, "build/windows/pc_utils")}
TAGSIM = os.path.join(BUILD["linux"], "tagsim/tagsim")
WINE_RUN = os.path.join(ROOT, "scripts/wine-run")
IDLE_S = 60

from upload_bench import min_paused_gap, tokenised  # noqa: E402  (the same script and gaps)


def cpu_s(pid):
    """Seconds on a CPU of every thread of `pid` so far."""
    total = 0
    for path in glob.glob("/proc/%d/task/*/schedstat" % pid):
        try:
            with open(path) as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total / 1e9


def command(build, program, args):
    if build == "linux":
        return [os.path.join(BUILD[build], program, program)] + args
    return [WINE_RUN, os.path.join(BUILD[build], program, program + ".exe")] + args


def link_of(build, work):
    if build == "linux":
        return os.path.join(work, "COM9")
    prefix = subprocess.check_output([WINE_RUN, "--prefix"], text=True).strip()
    return os.path.join(prefix, "dosdevices", "com9")


def start_tag(build, work, gaps):
    sim = subprocess.Popen([TAGSIM, "--link", link_of(build, work), "--save-gaps", gaps],
                           stdout=subprocess.PIPE, text=True)
    sim.stdout.readline()
    return sim


def start_tagterm(build, work):
    """tagterm on COM9 with its standard input a pipe that stays open."""
    term = subprocess.Popen(command(build, "tagterm", ["-c", "9"]), stdin=subprocess.PIPE,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            env=dict(os.environ, FLASHTAG_PORT_DIR=work))
    time.sleep(3 if build == "windows" else 1)  # connected, the rendezvous made
    return term


def stop(proc):
    proc.terminate()
    proc.wait()


def upload(build, through):
    with tempfile.TemporaryDirectory() as work:
        script = os.path.join(work, "bench.bas")
        with open(script, "wb") as f:
            f.write(tokenised())
        gaps = os.path.join(work, "gaps")
        sim = start_tag(build, work, gaps)
        term = start_tagterm(build, work) if through else None
        term_before = cpu_s(term.pid) if term else 0.0
        name = script if build == "linux" else "Z:" + script
        timing = os.path.join(work, "time")
        start = time.monotonic()
        proc = subprocess.run(["/usr/bin/time", "-o", timing, "-f", "%U %S"] +
                              command(build, "flashtag", ["-c", "9", name]),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              env=dict(os.environ, FLASHTAG_PORT_DIR=work))
        wall = time.monotonic() - start
        term_cpu = cpu_s(term.pid) - term_before if term else None
        if term:
            stop(term)
        stop(sim)
        user, system = open(timing).read().split()[-2:]
        return proc.returncode, wall, float(user) + float(system), term_cpu, min_paused_gap(gaps)


def idle(build):
    with tempfile.TemporaryDirectory() as work:
        sim = start_tag(build, work, os.path.join(work, "gaps"))
        term = start_tagterm(build, work)
        before = cpu_s(term.pid)
        time.sleep(IDLE_S)
        used = cpu_s(term.pid) - before
        stop(term)
        stop(sim)
        return used


def main():
    builds = ["linux"] + (["windows"] if os.path.exists(os.path.join(BUILD["windows"], "tagterm")) else [])
    if "windows" in builds:  # the Wine prefix made before anything is timed
        subprocess.run(command("windows", "flashtag", ["-h"]), stdout=subprocess.DEVNULL)
    print("%-8s %-14s %8s %8s %12s %11s %11s" %
          ("build", "port", "wall s", "ratio", "flashtag cpu", "tagterm cpu", "min gap ms"))
    failed = False
    for build in builds:
        free = upload(build, False)
        held = upload(build, True)
        for label, (rc, wall, cpu, term_cpu, gap) in (("free", free), ("via tagterm", held)):
            print("%-8s %-14s %8.2f %8.3f %12.2f %11s %11.1f%s" %
                  (build, label, wall, wall / free[1], cpu,
                   "-" if term_cpu is None else "%.2f" % term_cpu, gap,
                   "" if rc == 0 else "  (exit status %d)" % rc))
            failed |= rc != 0
    print("tagterm idle, quiet tag, %d s: %.3f s CPU (linux)" % (IDLE_S, idle("linux")))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
