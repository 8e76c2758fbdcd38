#!/usr/bin/env python3
"""Upload benchmark: a 100000-byte tokenised script and a 100000-byte plain
text script with CR LF line ends, uploaded to the simulated tag by the Linux
build and (when built) by the Windows build under Wine.

For each it prints the wall time, the pacing floor (the pauses the program's
-v trace reports x 20 ms), their ratio, user + system CPU time and peak
memory (maximum resident set size of the program; under Wine, of the wine
process that runs it).

Run: bench/run.sh  (builds first)."""
import os
import random
import re
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LINUX = os.path.join(ROOT, "build/linux/pc_utils/flashtag/flashtag")
WINDOWS = os.path.join(ROOT, "build/windows/pc_utils/flashtag/flashtag.exe")
TAGSIM = os.path.join(ROOT, "build/linux/pc_utils/tagsim/tagsim")
WINE_RUN = os.path.join(ROOT, "scripts/wine-run")
SIZE = 100000


def tokenised():
    rnd = random.Random(1)
    return bytes([0xFA]) + bytes(rnd.randrange(256) for _ in range(SIZE - 1))


def plain_crlf():
    rnd = random.Random(2)
    out = bytearray()
    n = 10
    while len(out) < SIZE:
        out += b'%d PRINT "%s"\r\n' % (n, b"x" * rnd.randrange(5, 60))
        n += 10
    return bytes(out[:SIZE])


def pauses(trace):
    """The pauses the program says it made, from its -v trace."""
    found = re.search(r"(\d+) pauses of 20 ms", trace)
    return int(found.group(1)) if found else 0


def run(build, data, work):
    script = os.path.join(work, "bench.bas")
    with open(script, "wb") as f:
        f.write(data)
    wine_prefix = subprocess.check_output([WINE_RUN, "--prefix"], text=True).strip()
    link = (os.path.join(wine_prefix, "dosdevices", "com9") if build == "windows"
            else os.path.join(work, "COM9"))
    received = os.path.join(work, "received")
    sim = subprocess.Popen([TAGSIM, "--link", link, "--quiet-ms", "100",
                            "--save-script", received], stdout=subprocess.PIPE)
    sim.stdout.readline()
    cmd = [LINUX, "-v", "-c", "9", script] if build == "linux" else \
          [WINE_RUN, WINDOWS, "-v", "-c", "9", "Z:" + script]
    timing = os.path.join(work, "time")
    env = dict(os.environ, FLASHTAG_PORT_DIR=work)
    start = time.monotonic()
    proc = subprocess.run(["/usr/bin/time", "-o", timing, "-f", "%U %S %M"] + cmd,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                          errors="replace", env=env)
    wall = time.monotonic() - start
    sim.terminate()
    sim.wait()
    user, system, rss_kib = open(timing).read().split()[-3:]
    return (proc.returncode, wall, float(user) + float(system), int(rss_kib) / 1024.0,
            pauses(proc.stderr))


def main():
    builds = ["linux"] + (["windows"] if os.path.exists(WINDOWS) else [])
    if os.path.exists(WINDOWS):  # make the Wine prefix before timing anything
        subprocess.run([WINE_RUN, WINDOWS, "-h"], stdout=subprocess.DEVNULL)
    print("%-8s %-22s %8s %8s %6s %7s %9s" %
          ("build", "script", "wall s", "floor s", "ratio", "cpu s", "peak MiB"))
    failed = False
    for build in builds:
        for name, data in (("tokenised 100000", tokenised()), ("plain CR LF 100000", plain_crlf())):
            with tempfile.TemporaryDirectory() as work:
                rc, wall, cpu, mib, paused = run(build, data, work)
            floor = max(paused, 1) * 0.020
            print("%-8s %-22s %8.2f %8.2f %6.3f %7.2f %9.1f%s" %
                  (build, name, wall, floor, wall / floor, cpu, mib,
                   "" if rc == 0 else "  (exit status %d)" % rc))
            failed |= rc != 0
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
