#!/usr/bin/env python3
"""Peak memory and time of the Linux QarnIExplain on the exports of
make_reg_exports.py, against the bound the tool keeps: at most twice the
file's size plus 64 MB. Each file is read in a process of its own, whose
peak resident size the kernel reports at its end (wait4).
Usage: explain_memory.py QARNIEXPLAIN FOLDER [RUNS]
Exits 1 when a peak is over the bound."""
import os
import statistics
import subprocess
import sys
import time

tool, folder = sys.argv[1], sys.argv[2]
runs = int(sys.argv[3]) if len(sys.argv) > 3 else 3
if not os.path.exists(os.path.join(folder, "zeros.reg")):
    subprocess.run([sys.executable, os.path.join(os.path.dirname(__file__), "make_reg_exports.py"),
                    folder], check=True)

over = False
print("| export | size | time (median of %d) | peak memory | bound |" % runs)
print("|---|---:|---:|---:|---:|")
for name in ["usbstor.reg", "wrapped.reg", "bigstring.reg", "zeros.reg"]:
    path = os.path.join(folder, name)
    size = os.path.getsize(path)
    times, peaks = [], []
    for _ in range(runs):
        start = time.monotonic()
        child = subprocess.Popen([tool, "--windows", "xp", path], stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
        _, status, usage = os.wait4(child.pid, 0)
        times.append(time.monotonic() - start)
        peaks.append(usage.ru_maxrss * 1024)
        if os.WIFSIGNALED(status):
            print("%s: killed by signal %d" % (name, os.WTERMSIG(status)))
            over = True
    bound = 2 * size + (64 << 20)
    peak = max(peaks)
    over = over or peak > bound
    print("| `%s` | %.0f MB | %.2f s | %.0f MB | %.0f MB%s |" %
          (name, size / 1e6, statistics.median(times), peak / 1e6, bound / 1e6,
           "" if peak <= bound else " **over**"))
sys.exit(1 if over else 0)
