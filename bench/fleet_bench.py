#!/usr/bin/env python3
"""Fleet benchmark: tagfleet loading 1, 8 and 32 tags, each 100000
tokenised bytes to its own simulated tag, in one run; beside it one
flashtag upload, and GNU parallel running 32 flashtag processes (what users
did before tagfleet). For each: wall time, CPU (user + system, all
processes of the run), CPU per tag and peak memory (tagfleet: its maximum
resident set; parallel: the sum of its flashtag processes' maxima).

Run: bench/fleet.sh  (builds first)."""
import os
import random
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build/linux/pc_utils")
FLASHTAG = os.path.join(BUILD, "flashtag/flashtag")
TAGFLEET = os.path.join(BUILD, "tagfleet/tagfleet")
TAGSIM = os.path.join(BUILD, "tagsim/tagsim")
SIZE = 100000


def script(work):
    rnd = random.Random(1)
    path = os.path.join(work, "bench.bas")
    with open(path, "wb") as f:
        f.write(bytes([0xFA]) + bytes(rnd.randrange(256) for _ in range(SIZE - 1)))
    return path


def timed(cmd, work, env):
    """Runs cmd under /usr/bin/time: exit status, wall s, cpu s, peak KiB."""
    out = os.path.join(work, "time")
    start = time.monotonic()
    rc = subprocess.run(["/usr/bin/time", "-o", out, "-f", "%U %S %M"] + cmd,
                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env).returncode
    wall = time.monotonic() - start
    user, system, kib = open(out).read().split()[-3:]
    return rc, wall, float(user) + float(system), int(kib)


def run(kind, tags):
    with tempfile.TemporaryDirectory() as work:
        bas = script(work)
        sims = []
        for n in range(1, tags + 1):
            sims.append(subprocess.Popen([TAGSIM, "--link", os.path.join(work, "COM%d" % n),
                                          "--quiet-ms", "250"], stdout=subprocess.PIPE))
        for s in sims:
            s.stdout.readline()
        env = dict(os.environ, FLASHTAG_PORT_DIR=work)
        ports = [str(n) for n in range(1, tags + 1)]
        if kind == "tagfleet":
            cmd = [TAGFLEET, "-q"] + sum((["-c", p] for p in ports), []) + [bas]
            rc, wall, cpu, kib = timed(cmd, work, env)
        elif kind == "flashtag":
            rc, wall, cpu, kib = timed([FLASHTAG, "-c", "1", bas], work, env)
        else:
            # Each flashtag's own peak, summed: they all run at once.
            cmd = ["parallel", "-j", str(tags), "--halt", "never",
                   "/usr/bin/time -o %s/rss{} -f %%M %s -c {} %s >/dev/null" % (work, FLASHTAG, bas),
                   ":::"] + ports
            rc, wall, cpu, _ = timed(cmd, work, env)
            kib = sum(int(open(os.path.join(work, "rss" + p)).read().split()[-1]) for p in ports)
        for s in sims:
            s.terminate()
            s.wait()
    return rc, wall, cpu, kib / 1024.0


def main():
    print("%-22s %5s %8s %7s %11s %9s" % ("run", "tags", "wall s", "cpu s", "cpu/tag s",
                                           "peak MiB"))
    failed = False
    for kind, tags in (("flashtag", 1), ("tagfleet", 1), ("tagfleet", 8), ("tagfleet", 32),
                       ("parallel + flashtag", 32)):
        rc, wall, cpu, mib = run(kind, tags)
        print("%-22s %5d %8.2f %7.2f %11.3f %9.1f%s" %
              (kind, tags, wall, cpu, cpu / tags, mib,
               "" if rc == 0 else "  (exit status %d)" % rc))
        failed |= rc != 0
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
