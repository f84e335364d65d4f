#!/usr/bin/env python3
"""Full updates against the device emulator on a paced line, timed.

    update_bench.py BUILD_DIR [--baud 19200] [--parallel 8] [--runs 1]

For one update, prints the wall time of `zbupdater COM3`, the line-rate floor (every
byte on the line in both directions at 10 bits a byte, plus the fixed waits of the
run: port-open wait 10 ms, discard 10 ms, break 1000 ms, information wait 50 ms, and
the probe's 1000 ms when no application answers), their ratio, the updater's
processor time as a share of its wall time, and its peak memory. Then the same with
N updates at once, each on its own emulated port, and how far each lies from the
single one. Exits 1 when an update does not end with "OK".
"""
import argparse
import os
import pathlib
import subprocess
import sys
import tempfile
import time

FIXED_WAITS_S = 0.010 + 0.010 + 1.000 + 0.050
PROBE_TIMEOUT_S = 1.000


class Device:
    def __init__(self, build, folder, baud):
        self.folder = folder
        folder.mkdir(parents=True)
        (folder / "ports").mkdir()
        (folder / "run").mkdir()
        self.transcript = folder / "transcript.txt"
        self.proc = subprocess.Popen(
            [str(build / "tools/devsim/devsim"), "--dir", str(folder / "ports"), "--port", "COM3",
             "--baud", str(baud), "--transcript", str(self.transcript),
             "--flash-out", str(folder / "flash.bin")],
            stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        if not line.startswith("ready"):
            raise RuntimeError("devsim did not start: " + line)

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)

    def line_bytes(self):
        """Bytes on the line in both directions, and whether the application answered."""
        total, app_answered = 0, False
        for line in self.transcript.read_text().splitlines():
            parts = line.split(" ", 3)
            if len(parts) < 4 or parts[1] not in ("rx", "tx"):
                continue
            fields = parts[3].split()
            if parts[2] in ("short", "sync", "frame", "echo", "junk", "short-badcrc", "frame-badcrc"):
                total += sum(1 for f in fields if len(f) == 2)
            if parts[1] == "tx" and parts[2] == "short":
                app_answered = True
        return total, app_answered


def start_updater(build, device):
    env = dict(os.environ, ZBCOMM_DEVICE_DIR=str(device.folder / "ports"), QT_QPA_PLATFORM="offscreen")
    return subprocess.Popen([str(build / "app/zbupdater"), "COM3"], cwd=device.folder / "run", env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL), time.monotonic()


def finish(proc, started):
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - started
    proc.returncode = os.waitstatus_to_exitcode(status)
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024.0


def run(build, count, baud):
    with tempfile.TemporaryDirectory(prefix="zbbench.") as tmp:
        devices = [Device(build, pathlib.Path(tmp) / f"d{i}", baud) for i in range(count)]
        started = [start_updater(build, d) for d in devices]
        results = []
        for (proc, t0), device in zip(started, devices):
            wall, cpu, rss = finish(proc, t0)
            device.stop()
            line, app = device.line_bytes()
            floor = line * 10 / baud + FIXED_WAITS_S + (0 if app else PROBE_TIMEOUT_S)
            status = (device.folder / "run/status.dat").read_text()
            results.append(dict(wall=wall, cpu=cpu, rss=rss, bytes=line, floor=floor, status=status))
        return results


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", type=pathlib.Path)
    parser.add_argument("--baud", type=int, default=19200)
    parser.add_argument("--parallel", type=int, default=8)
    args = parser.parse_args()
    build = args.build.resolve()

    single = run(build, 1, args.baud)[0]
    print(f"single update at {args.baud} baud: {single['status']}")
    print(f"  wall time        {single['wall']:.3f} s")
    print(f"  line-rate floor  {single['floor']:.3f} s ({single['bytes']} bytes on the line + fixed waits)")
    print(f"  ratio            {single['wall'] / single['floor']:.4f}   (target <= 1.01)")
    print(f"  cpu share        {100 * single['cpu'] / single['wall']:.2f} %  ({single['cpu']:.3f} s; target <= 2 %)")
    print(f"  peak memory      {single['rss']:.1f} MiB")
    ok = single["status"] == "OK"

    if args.parallel > 1:
        many = run(build, args.parallel, args.baud)
        print(f"{args.parallel} updates at once, each on its own port:")
        worst = 0.0
        for i, r in enumerate(many):
            dev = 100 * (r["wall"] - single["wall"]) / single["wall"]
            worst = max(worst, abs(dev))
            print(f"  #{i + 1}: {r['status']:>3}  wall {r['wall']:.3f} s ({dev:+.2f} % of the single one), "
                  f"ratio {r['wall'] / r['floor']:.4f}, cpu {100 * r['cpu'] / r['wall']:.2f} %, {r['rss']:.1f} MiB")
            ok = ok and r["status"] == "OK"
        print(f"  largest difference from the single update: {worst:.2f} %   (target <= 1 %)")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
