# Reads bandview's CSV rows from the FIFO ROWS, stamping each on arrival, while parec takes SOURCE
# in 5 ms fragments: the moment each tone's first sample (sound after a quarter second of silence)
# reaches a client. Prints the rows per second and the delay from each tone's first sample to the
# first row whose band 15 bar passes 0.5. Used by bench/capture.sh and bench/pipewire.sh.
#
#   python3 bench/toneonsets.py ROWS SECONDS SOURCE
import array
import os
import subprocess
import sys
import threading
import time

rows_path, seconds, source = sys.argv[1], float(sys.argv[2]), sys.argv[3]
BAND = 15
onsets = []


def reference():
    p = subprocess.Popen(["parec", "-d", source, "--raw", "--format=float32le", "--channels=1",
                          "--rate=48000", "--latency-msec=5"],
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    quiet = 0
    end = time.monotonic() + seconds + 2
    while time.monotonic() < end:
        data = os.read(p.stdout.fileno(), 4096)
        now = time.monotonic()
        if not data:
            break
        a = array.array("f")
        a.frombytes(data[: len(data) // 4 * 4])
        for x in a:
            if abs(x) < 0.01:
                quiet += 1
            else:
                if quiet >= 12000:
                    onsets.append(now)
                quiet = 0
    p.kill()


threading.Thread(target=reference, daemon=True).start()
rows = []
with open(rows_path, "rb") as f:
    f.readline()
    for line in f:
        rows.append((time.monotonic(), float(line.split(b",")[5 + BAND])))

span = rows[-1][0] - rows[0][0]
# One row per hop analysed: a frame that catches up adds a second row.
print(f"  rows per second     {(len(rows) - 1) / span:6.2f}  ({len(rows)} rows over {span:.2f} s)")
delays = []
for t in onsets:
    hit = next((r for r in rows if r[0] >= t - 0.1 and r[1] > 0.5), None)
    if hit:
        delays.append(1000 * (hit[0] - t))
if delays:
    print("  tone to bar > 0.5   " + ", ".join(f"{d:.0f}" for d in delays)
          + f" ms  (max {max(delays):.0f} ms, {len(delays)} tones)")
else:
    print("  tone to bar > 0.5   no tone seen")
