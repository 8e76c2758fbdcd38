#!/usr/bin/env python3
"""Upload benchmark: a 100000-byte tokenised script and a 100000-byte plain
text script with CR LF line ends, uploaded to the simulated tag by the Linux
build and (when built) by the Windows build under Wine; then the tokenised
script again through a real ser2net on 127.0.0.1, raw (socket://) and as
telnet with RFC 2217 (rfc2217://), in the same run; and the tokenised
script through a stand-in for a full-speed USB serial adapter ("usb"): each
write on the port completes at the next 1 ms frame boundary (the tests'
preload library, usb_frames) and the tag's bytes come through a 16 ms
latency timer (tagsim --latency-timer 16).

For each it prints the wall time, the floor (the pauses the program's -v
trace reports x 20 ms, plus the tag's 0.25 s quiet spell that ends the
data), their ratio, user + system CPU time, peak memory (maximum resident
set size of the program; under Wine, of the wine process that runs it),
the shortest gap the tag saw after a byte whose index is a multiple of 100
and, through the USB stand-in, the write calls made on the port.

Run: bench/run.sh  (builds first); "bench/upload_bench.py usb local" runs
only the rows of the ports named (local, socket, rfc2217, usb)."""
import os
import random
import re
import socket
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LINUX = os.path.join(ROOT, "build/linux/pc_utils/flashtag/flashtag")
WINDOWS = os.path.join(ROOT, "build/windows/pc_utils/flashtag/flashtag.exe")
TAGSIM = os.path.join(ROOT, "build/linux/pc_utils/tagsim/tagsim")
WINE_RUN = os.path.join(ROOT, "scripts/wine-run")
USB_FRAMES = os.path.join(ROOT, "build/linux/tests/libusb_frames.so")
USB_LATENCY_MS = 16
SIZE = 100000
QUIET_S = 0.25


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


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    with open("/proc/net/tcp") as f:
        return ("0100007F:%04X 00000000:0000 0A" % port) in f.read()


def start_ser2net(work, tty, telnet):
    """ser2net on 127.0.0.1 in front of `tty`; its process and port."""
    port = free_port()
    conf = os.path.join(work, "ser2net.yaml")
    with open(conf, "w") as f:
        f.write("connection: &tag\n  accepter: %stcp,127.0.0.1,%d\n"
                "  connector: serialdev,%s,115200n81,local\n"
                % ("telnet(rfc2217)," if telnet else "", port, tty))
    proc = subprocess.Popen(["ser2net", "-n", "-u", "-c", conf, "-P",
                             os.path.join(work, "ser2net.pid")],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 10
    while not listening(port) and time.monotonic() < deadline:
        time.sleep(0.02)
    return proc, port


def min_paused_gap(path):
    with open(path) as f:
        gaps = [float(line) for line in f if line.strip()]
    return min((gaps[k] for k in range(0, len(gaps), 100)), default=0.0)


def run(build, via, data, work):
    script = os.path.join(work, "bench.bas")
    with open(script, "wb") as f:
        f.write(data)
    wine_prefix = subprocess.check_output([WINE_RUN, "--prefix"], text=True).strip()
    network = via in ("socket", "rfc2217")
    link = (os.path.join(wine_prefix, "dosdevices", "com9") if build == "windows" and not network
            else os.path.join(work, "COM9"))
    gaps = os.path.join(work, "gaps")
    adapter = ["--latency-timer", str(USB_LATENCY_MS)] if via == "usb" else []
    sim = subprocess.Popen([TAGSIM, "--link", link, "--quiet-ms", str(int(QUIET_S * 1000)),
                            "--save-gaps", gaps] + adapter, stdout=subprocess.PIPE, text=True)
    tty = sim.stdout.readline().strip()
    server = None
    port = "9"
    if network:
        server, tcp = start_ser2net(work, tty, via == "rfc2217")
        port = "%s://localhost:%d" % (via, tcp)
    cmd = [LINUX, "-v", "-c", port, script] if build == "linux" else \
          [WINE_RUN, WINDOWS, "-v", "-c", port, "Z:" + script]
    timing = os.path.join(work, "time")
    env = dict(os.environ, FLASHTAG_PORT_DIR=work)
    counts = os.path.join(work, "write-counts")
    if via == "usb":
        env.update(LD_PRELOAD=USB_FRAMES, FLASHTAG_FRAME_US="1000", FLASHTAG_WRITE_COUNTS=counts)
    start = time.monotonic()
    proc = subprocess.run(["/usr/bin/time", "-o", timing, "-f", "%U %S %M"] + cmd,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                          errors="replace", env=env)
    wall = time.monotonic() - start
    for p in (server, sim):
        if p:
            p.terminate()
            p.wait()
    user, system, rss_kib = open(timing).read().split()[-3:]
    writes = "-"
    if via == "usb":
        with open(counts) as f:
            writes = str(sum(1 for line in f if line.strip()))
    return (proc.returncode, wall, float(user) + float(system), int(rss_kib) / 1024.0,
            pauses(proc.stderr), min_paused_gap(gaps), writes)


def main():
    builds = ["linux"] + (["windows"] if os.path.exists(WINDOWS) else [])
    if os.path.exists(WINDOWS):  # make the Wine prefix before timing anything
        subprocess.run([WINE_RUN, WINDOWS, "-h"], stdout=subprocess.DEVNULL)
    print("%-8s %-10s %-20s %8s %8s %6s %7s %9s %9s %7s" %
          ("build", "port", "script", "wall s", "floor s", "ratio", "cpu s", "peak MiB",
           "min gap ms", "writes"))
    runs = [(b, None, name, data) for b in builds
            for name, data in (("tokenised 100000", tokenised()),
                               ("plain CR LF 100000", plain_crlf()))]
    runs += [(b, via, "tokenised 100000", tokenised()) for b in builds
             for via in ("socket", "rfc2217")]
    runs += [(b, "usb", "tokenised 100000", tokenised()) for b in builds]
    if len(sys.argv) > 1:
        runs = [r for r in runs if (r[1] or "local") in sys.argv[1:]]
    failed = False
    for build, via, name, data in runs:
        with tempfile.TemporaryDirectory() as work:
            rc, wall, cpu, mib, paused, gap, writes = run(build, via, data, work)
        floor = paused * 0.020 + QUIET_S
        # A plain-text script's pauses follow the file's indices, not the
        # bytes the tag gets: its gaps are not shown.
        shown = "%.1f" % gap if name.startswith("tokenised") else "-"
        print("%-8s %-10s %-20s %8.2f %8.2f %6.3f %7.2f %9.1f %9s %7s%s" %
              (build, via or "local", name, wall, floor, wall / floor, cpu, mib, shown, writes,
               "" if rc == 0 else "  (exit status %d)" % rc))
        failed |= rc != 0
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
