#!/usr/bin/env python3
"""Full updates against the device emulator on a paced line, timed.

    update_bench.py BUILD_DIR [--baud 19200] [--parallel 8] [--no-fast]
    update_bench.py --windows WINDOWS_BUILD_DIR [--baud 19200] [--parallel 8] [--no-fast]
    ... [--keep FOLDER]   keeps each run's transcripts and flash dumps there

First the plain run: one update at 19200 baud without ZBUPDATER_BAUD and with a
device that answers at once, then N at once. Then, unless --no-fast, the faster
line (ZBUPDATER_BAUD) with a device that takes time to program, as a real one does
(--erase-ms 40 --write-ms 150 of the emulator): one update at 19200, 57600 and
115200, one at 115200 through a USB adapter whose latency timer holds each reply
up to 16 ms (--latency-ms 16), N at once at 115200, and the fallback, a device
that locks to 19200 at most (--max-baud 19200) asked for 115200, against the plain 19200 run with the
same device. The floor then counts every byte at the speed it crossed the line at,
and the device's programming times.

With --windows, the program is WINDOWS_BUILD_DIR/app/zbupdater.exe run under Wine
(tests/win/wine.sh, prefix in WINDOWS_BUILD_DIR/wine), the emulator the one of
WINDOWS_BUILD_DIR/host-tools, and the N updates use COM1 to COMN of the prefix. The
wall time and its ratio to the floor are then counted from the program's first byte
on the line (the floor less the 20 ms of waits before it); Wine's start-up, from the
process start to that byte, is shown apart, and the processor time includes the
wineserver's share.

For one update, prints the wall time of `zbupdater COM3`, the line-rate floor (every
byte on the line in both directions at 10 bits a byte, plus the fixed waits of the
run: port-open wait 10 ms, discard 10 ms, break 1000 ms, information wait 50 ms, and
the probe's 1000 ms when no application answers), their ratio, the updater's
processor time as a share of its wall time, and its peak memory. Then the same with
N updates at once, each on its own emulated port, and how far each lies from the
single one. Each run also shows its turnaround: from the last byte of an erase or
write reply to the first byte of the next command (median and worst). For the
Linux program the wall time counts from the process start, and
the start-up (to the first byte on the line) and the figures from the first byte
are shown beside it: N programs started at the same moment share the processor for
their start-up. The Linux updater's own processor time and peak memory are shown
apart from its window program's, which the updater reaps (and which wait4 would
otherwise count in): both are sampled from /proc every 50 ms while they run.
Exits 1 when an update does not end with "OK".
"""
import argparse
import contextlib
import os
import pathlib
import subprocess
import sys
import tempfile
import threading
import time

FIXED_WAITS_S = 0.010 + 0.010 + 1.000 + 0.050
PROBE_TIMEOUT_S = 1.000
# The device's programming times of the runs with the faster line, in ms a command.
ERASE_MS = 40
WRITE_MS = 150
DEVICE_TIMES = ["--erase-ms", str(ERASE_MS), "--write-ms", str(WRITE_MS)]
# The default latency timer of an FTDI adapter, in ms (the adapter run).
ADAPTER_LATENCY_MS = 16


WAITS_BEFORE_FIRST_BYTE_S = 0.010 + 0.010  # port-open wait and discard


class Target:
    """The program under test and how it is started."""

    def __init__(self, build, windows):
        self.windows = windows
        self.root = pathlib.Path(__file__).resolve().parent.parent
        if windows:
            self.devsim = build / "host-tools/tools/devsim/devsim"
            self.wine_home = build / "wine"
            self.program = [str(build / "wine/run"), str(build / "app/zbupdater.exe")]
        else:
            self.devsim = build / "tools/devsim/devsim"
            self.program = [str(build / "app/zbupdater")]

    def wine(self, command):
        subprocess.run([str(self.root / "tests/win/wine.sh"), str(self.wine_home), command], check=True)

    def wineserver_cpu(self):
        """Processor seconds of the running wineserver(s) so far."""
        total = 0.0
        for stat in pathlib.Path("/proc").glob("[0-9]*/stat"):
            try:
                fields = stat.read_text().rsplit(")", 1)[1].split()
                # A server that has ended but is not yet reaped still shows its time.
                if "wineserver" in (stat.parent / "comm").read_text() and fields[0] != "Z":
                    total += (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
            except (OSError, IndexError, ValueError):
                pass
        return total


class Device:
    def __init__(self, target, folder, baud, ports=None, port="COM3", options=()):
        self.folder = folder
        folder.mkdir(parents=True)
        self.ports = ports or folder / "ports"
        self.ports.mkdir(exist_ok=True)
        self.port = port
        self.baud = baud
        options = list(options)
        self.erase_ms = int(options[options.index("--erase-ms") + 1]) if "--erase-ms" in options else 0
        self.write_ms = int(options[options.index("--write-ms") + 1]) if "--write-ms" in options else 0
        (folder / "run").mkdir()
        self.transcript = folder / "transcript.txt"
        self.proc = subprocess.Popen(
            [str(target.devsim), "--dir", str(self.ports), "--port", port,
             "--baud", str(baud), "--transcript", str(self.transcript),
             "--flash-out", str(folder / "flash.bin"), *options],
            stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        self.ready = time.monotonic()
        if not line.startswith("ready"):
            raise RuntimeError("devsim did not start: " + line)

    def first_host_byte(self):
        """When the host's first byte arrived, on our clock (devsim counts from its start)."""
        start_ms = first_ms = None
        for line in self.transcript.read_text().splitlines():
            parts = line.split(" ", 3)
            if len(parts) >= 3 and parts[1] == "--" and parts[2] == "start" and start_ms is None:
                start_ms = float(parts[0])
            if len(parts) >= 3 and parts[1] == "rx":
                first_ms = float(parts[0])
                break
        if first_ms is None:
            return None
        return self.ready + (first_ms - (start_ms or 0.0)) / 1000.0

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)

    def line_seconds(self):
        """Line time of every byte in both directions (10 bits a byte at the speed of
        the line it crossed, 'baud' when the transcript gives none), the device's
        programming time, the byte count, and whether the application answered."""
        seconds, total, app_answered, erases, writes = 0.0, 0, False, 0, 0
        for line in self.transcript.read_text().splitlines():
            parts = line.split(" ", 3)
            if len(parts) < 4 or parts[1] not in ("rx", "tx"):
                continue
            fields = parts[3].split()
            speed = next((int(f[1:]) for f in fields if f.startswith("@")), self.baud)
            if parts[2] in ("short", "sync", "frame", "echo", "junk", "short-badcrc", "frame-badcrc"):
                count = sum(1 for f in fields if len(f) == 2)
                total += count
                seconds += count * 10 / speed
            if parts[1] == "tx" and parts[2] == "short":
                app_answered = True
            if parts[1] == "rx" and parts[2] == "frame":
                data = [f for f in fields if len(f) == 2]
                command = data[2] if len(data) > 2 and data[1] == "05" else (data[1] if len(data) > 1 else "")
                erases += command == "03"
                writes += command == "04"
        device = (erases * self.erase_ms + writes * self.write_ms) / 1000.0
        return seconds, device, total, app_answered

    def turnarounds(self):
        """Milliseconds from the last byte of each erase or write reply handed to the
        host to the first byte of the host's next command, as the line times them: an
        rx line's time is its last byte's arrival, so its first byte was read that many
        byte times earlier."""
        gaps, replied = [], None
        for line in self.transcript.read_text().splitlines():
            parts = line.split(" ", 3)
            if len(parts) < 4 or parts[1] not in ("rx", "tx"):
                continue
            fields = parts[3].split()
            data = [f for f in fields if len(f) == 2]
            if parts[1] == "tx":
                reply = data[1] if len(data) > 1 else ""
                replied = float(parts[0]) if parts[2] == "frame" and reply in ("03", "05") else None
                continue
            if replied is not None and parts[2] == "frame":
                speed = next((int(f[1:]) for f in fields if f.startswith("@")), self.baud)
                gaps.append(float(parts[0]) - len(data) * 10000.0 / speed - replied)
            replied = None
        return gaps


def start_updater(target, device, rate=None):
    env = dict(os.environ, ZBCOMM_DEVICE_DIR=str(device.ports), QT_QPA_PLATFORM="offscreen")
    env.pop("ZBUPDATER_BAUD", None)
    if rate:
        env["ZBUPDATER_BAUD"] = str(rate)
    return subprocess.Popen(target.program + [device.port], cwd=device.folder / "run", env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL), time.monotonic()


class ProcSampler(threading.Thread):
    """Every 50 ms, each updater's own peak memory and its window program's (its
    child's) processor time and peak memory, from /proc; the last sample stands."""

    TICK = os.sysconf("SC_CLK_TCK")

    def __init__(self, pids):
        super().__init__(daemon=True)
        self.pids = pids
        self.updater_rss = {pid: 0.0 for pid in pids}
        self.window = {pid: (0.0, 0.0) for pid in pids}  # cpu seconds, peak MiB
        self.done = threading.Event()

    @staticmethod
    def peak_mib(pid):
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024.0
        return 0.0

    def sample(self, pid):
        try:
            self.updater_rss[pid] = max(self.updater_rss[pid], self.peak_mib(pid))
            with open(f"/proc/{pid}/task/{pid}/children") as f:
                children = f.read().split()
            if not children:
                return
            child = children[0]
            with open(f"/proc/{child}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            cpu = (int(fields[11]) + int(fields[12])) / self.TICK
            self.window[pid] = (max(cpu, self.window[pid][0]), max(self.peak_mib(child), self.window[pid][1]))
        except (OSError, IndexError, ValueError):
            pass  # gone between two reads

    def run(self):
        while not self.done.wait(0.05):
            for pid in self.pids:
                self.sample(pid)


def finish_all(started):
    """Collects the updaters in the order they end, each with its own end time (a run
    that ended while an earlier-started one still ran is not charged the wait)."""
    pending = {proc.pid: (proc, t0) for proc, t0 in started}
    done = {}
    while pending:
        pid, status, usage = os.wait4(-1, 0)
        ended = time.monotonic()
        if pid not in pending:
            continue  # an emulator that ended by itself: its transcript tells
        proc, t0 = pending.pop(pid)
        proc.returncode = os.waitstatus_to_exitcode(status)
        done[pid] = (ended - t0, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024.0)
    return [done[proc.pid] for proc, _ in started]


def run(target, count, baud, keep=None, options=(), rate=None):
    if keep is not None:
        keep.mkdir(parents=True, exist_ok=True)
        folder = contextlib.nullcontext(tempfile.mkdtemp(prefix="zbbench.", dir=keep))
    else:
        folder = tempfile.TemporaryDirectory(prefix="zbbench.")
    with folder as tmp:
        if target.windows:
            # One folder of ports for the prefix: COM1 to COMn, one emulator each.
            shared = pathlib.Path(tmp) / "ports"
            shared.mkdir()
            devices = [Device(target, pathlib.Path(tmp) / f"d{i}", baud, shared, f"COM{i + 1}", options)
                       for i in range(count)]
        else:
            devices = [Device(target, pathlib.Path(tmp) / f"d{i}", baud, options=options) for i in range(count)]
        server_cpu = target.wineserver_cpu() if target.windows else 0.0
        started = [start_updater(target, d, rate) for d in devices]
        sampler = None
        if not target.windows:
            sampler = ProcSampler([proc.pid for proc, _ in started])
            sampler.start()
        finished = finish_all(started)
        if sampler:
            sampler.done.set()
            sampler.join()
        results = []
        for (proc, t0), device, (wall, cpu, rss) in zip(started, devices, finished):
            window_cpu, window_rss = sampler.window[proc.pid] if sampler else (0.0, 0.0)
            if sampler:
                # wait4 counts the reaped window program in: the updater's own share.
                cpu = max(cpu - window_cpu, 0.0)
                rss = sampler.updater_rss[proc.pid] or rss
            ended = t0 + wall
            device.stop()
            line_s, device_s, line, app = device.line_seconds()
            floor = line_s + device_s + FIXED_WAITS_S + (0 if app else PROBE_TIMEOUT_S)
            first = device.first_host_byte()
            startup = (first - t0) if first is not None else 0.0
            # From the first byte: the run itself, without the program's start-up.
            from_first = ended - first if first is not None else wall
            floor_first = floor - WAITS_BEFORE_FIRST_BYTE_S
            if target.windows:
                wall, floor = from_first, floor_first
            status = (device.folder / "run/status.dat").read_text()
            results.append(dict(wall=wall, cpu=cpu, rss=rss, bytes=line, floor=floor, status=status,
                                startup=startup, from_first=from_first, floor_first=floor_first,
                                window_cpu=window_cpu, window_rss=window_rss,
                                turnarounds=device.turnarounds()))
        if target.windows:
            share = (target.wineserver_cpu() - server_cpu) / count
            for r in results:
                r["server_cpu"] = share
        return results


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", type=pathlib.Path)
    parser.add_argument("--baud", type=int, default=19200)
    parser.add_argument("--parallel", type=int, default=8)
    parser.add_argument("--keep", type=pathlib.Path,
                        help="keep each run's folder (transcripts, flash dumps) in this folder")
    parser.add_argument("--no-fast", action="store_true",
                        help="only the plain runs at --baud, without the faster line")
    parser.add_argument("--windows", action="store_true",
                        help="BUILD is the Windows build: zbupdater.exe under Wine")
    args = parser.parse_args()
    target = Target(args.build.resolve(), args.windows)
    if target.windows:
        target.wine("start")
    try:
        return report(target, args)
    finally:
        if target.windows:
            target.wine("stop")


def show_single(target, title, r):
    since = " from the first byte" if target.windows else ""
    print(f"{title}: {r['status']}")
    if target.windows:
        print(f"  Wine start-up    {r['startup']:.3f} s (process start to the first byte on the line)")
    print(f"  wall time        {r['wall']:.3f} s{since}")
    if not target.windows:
        print(f"  start-up         {r['startup']:.3f} s (process start to the first byte; 0.020 s of it in the floor)")
        print(f"  from first byte  {r['from_first']:.3f} s, ratio {r['from_first'] / r['floor_first']:.4f}")
    print(f"  line-rate floor  {r['floor']:.3f} s ({r['bytes']} bytes on the line + fixed waits"
          f"{' + device times' if r.get('device') else ''})")
    print(f"  ratio            {r['wall'] / r['floor']:.4f}   (target <= 1.01)")
    print(f"  cpu share        {100 * r['cpu'] / r['wall']:.2f} %  ({r['cpu']:.3f} s; target <= 2 %)")
    if target.windows:
        cpu = r["cpu"] + r["server_cpu"]
        print(f"  with wineserver  {100 * cpu / r['wall']:.2f} %  ({r['server_cpu']:.3f} s in the wineserver)")
    print(f"  peak memory      {r['rss']:.1f} MiB")
    if not target.windows:
        print(f"  window program   {r['window_cpu']:.3f} s of processor time, {r['window_rss']:.1f} MiB at its peak "
              "(apart from the updater's)")
    gaps = sorted(r["turnarounds"])
    if gaps:
        print(f"  turnaround       median {gaps[len(gaps) // 2]:.2f} ms, worst {gaps[-1]:.2f} ms "
              f"({len(gaps)} erase and write replies: last byte to the next command)")
    return r["status"] == "OK"


def show_many(target, title, single, many, target_pct):
    print(title)
    worst, worst_first, ok = 0.0, 0.0, True
    for i, r in enumerate(many):
        dev = 100 * (r["wall"] - single["wall"]) / single["wall"]
        dev_first = 100 * (r["from_first"] - single["from_first"]) / single["from_first"]
        worst = max(worst, abs(dev))
        worst_first = max(worst_first, abs(dev_first))
        extra = "" if target.windows else (f", start-up {r['startup']:.3f} s, "
                                            f"from the first byte {dev_first:+.2f} %")
        print(f"  #{i + 1}: {r['status']:>3}  wall {r['wall']:.3f} s ({dev:+.2f} % of the single one), "
              f"ratio {r['wall'] / r['floor']:.4f}, cpu {100 * r['cpu'] / r['wall']:.2f} %, {r['rss']:.1f} MiB{extra}")
        ok = ok and r["status"] == "OK"
    print(f"  largest difference from the single update: {worst:.2f} %   (target <= {target_pct} %)")
    if not target.windows:
        print(f"  the same counted from each program's first byte: {worst_first:.2f} %")
    return ok


def report(target, args):
    single = run(target, 1, args.baud, args.keep)[0]
    ok = show_single(target, f"single update at {args.baud} baud", single)
    if args.parallel > 1:
        many = run(target, args.parallel, args.baud, args.keep)
        ok = show_many(target, f"{args.parallel} updates at once, each on its own port:", single, many, 1) and ok
    if args.no_fast:
        return 0 if ok else 1

    print()
    print(f"device programming times: {ERASE_MS} ms an erase, {WRITE_MS} ms a write (devsim --erase-ms --write-ms)")
    timed = {}
    for rate in (19200, 57600, 115200):
        # At 115200 the whole run lasts some 12 s, and one disturbance of the machine
        # shows: the median of three runs.
        repeats = 3 if rate == 115200 else 1
        runs = sorted((run(target, 1, 19200, args.keep, DEVICE_TIMES, None if rate == 19200 else rate)[0]
                       for _ in range(repeats)), key=lambda r: r["wall"])
        r = runs[len(runs) // 2]
        r["device"] = True
        if repeats > 1:
            print(f"({repeats} runs at {rate} baud, wall times " + ", ".join(f"{x['wall']:.3f}" for x in runs)
                  + " s; the median one below)")
        timed[rate] = r
        title = f"single update at {rate} baud" + ("" if rate == 19200 else f" (ZBUPDATER_BAUD={rate})")
        ok = show_single(target, title, r) and ok
    print(f"  115200 against 19200: {timed[19200]['wall'] / timed[115200]['wall']:.2f} times shorter"
          "   (target >= 3)")
    adapter = run(target, 1, 19200, args.keep, DEVICE_TIMES + ["--latency-ms", str(ADAPTER_LATENCY_MS)], 115200)[0]
    adapter["device"] = True
    ok = show_single(target, f"single update at 115200 baud through an adapter with a {ADAPTER_LATENCY_MS} ms "
                     "latency timer (devsim --latency-ms)", adapter) and ok
    print(f"  longer than without the adapter: {adapter['wall'] - timed[115200]['wall']:.3f} s")
    if args.parallel > 1:
        many = run(target, args.parallel, 19200, args.keep, DEVICE_TIMES, 115200)
        ok = show_many(target, f"{args.parallel} updates at once at 115200 baud, each on its own port:", timed[115200],
                       many, 2 if target.windows else 1) and ok
    fallback = run(target, 1, 19200, args.keep, DEVICE_TIMES + ["--max-baud", "19200"], 115200)[0]
    fallback["device"] = True
    ok = show_single(target, "fallback: ZBUPDATER_BAUD=115200, device locks to 19200 at most", fallback) and ok
    print(f"  longer than the plain 19200 run: {fallback['wall'] - timed[19200]['wall']:.3f} s   (target <= 2.5 s)")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
