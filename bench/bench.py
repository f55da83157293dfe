#!/usr/bin/env python3
"""Quorvex updater benchmarks. Started by bench/run.sh, which builds the programs first.

Generates the data under a temporary directory, serves it with nginx on 127.0.0.1, measures
the updater and its command-line baseline side by side (alternating, after one warm-up run
each, median of --runs runs, page cache warm) and prints a Markdown table on stdout.
Progress goes to stderr. The rows over a round-trip time run last: nginx moves to another
port and bench/latency_proxy.py takes the one compiled into the updater.
"""

import argparse
import json
import os
import platform
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

from deltas import Deltas
from latency_proxy import LatencyProxy
from perfile import PerFile
from publishing import Publishing

MiB = 1024 * 1024
TIME = "/usr/bin/time"
# A run that takes longer has gone wrong (the updater waits forever after most failures).
RUN_TIMEOUT = 180
# The verification baseline: the hash list, then the digest of every file.
VERIFY_SCRIPT = ('curl -sf -o "$1/hashlist.json" "$2" && shift 2 && '
                 'openssl dgst -sha256 "$@" >/dev/null')


def log(*parts):
    print(*parts, file=sys.stderr, flush=True)


def write_random(path, size):
    """Incompressible content; os.urandom is fast enough for a few GB."""
    with open(path, "wb") as out:
        left = size
        while left > 0:
            block = min(left, 8 * MiB)
            out.write(os.urandom(block))
            left -= block


def write_text(path, size):
    """Compressible content (base64-like text, about 3:4 under LZMA)."""
    import base64
    with open(path, "wb") as out:
        left = size
        while left > 0:
            line = base64.b64encode(os.urandom(6 * MiB))
            block = line[: min(left, len(line))]
            out.write(block)
            left -= len(block)


def sha256_file(path):
    import hashlib
    digest = hashlib.sha256()
    with open(path, "rb") as data:
        for block in iter(lambda: data.read(MiB), b""):
            digest.update(block)
    return digest.hexdigest()


class Measurement:
    """Wall time (ns) to a chosen end point, and peak RSS (KiB) from /usr/bin/time -v."""

    def __init__(self, seconds, peak_kib, exit_seconds=None):
        self.seconds = seconds
        self.peak_kib = peak_kib
        self.exit_seconds = exit_seconds


def run_timed(cmd, env=None, stamp=None, cwd=None):
    """Runs cmd under /usr/bin/time -v. The end point is the stand-in application's stamp
    when stamp is given (the updater launched it), else the process exit."""
    with tempfile.NamedTemporaryFile("r", suffix=".time") as report:
        if stamp and os.path.exists(stamp):
            os.remove(stamp)
        start = time.time_ns()
        proc = subprocess.Popen([TIME, "-v", "-o", report.name] + cmd, env=env, cwd=cwd,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                start_new_session=True)
        try:
            _, err = proc.communicate(timeout=RUN_TIMEOUT)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            _, err = proc.communicate()
            raise RuntimeError("%s did not finish within %d s: %s" % (
                cmd[0], RUN_TIMEOUT, err.decode(errors="replace")[-3000:]))
        end = time.time_ns()
        proc.stderr = err
        if proc.returncode != 0:
            raise RuntimeError("%s failed (%d): %s" % (cmd[0], proc.returncode,
                                                     proc.stderr.decode(errors="replace")[-2000:]))
        peak = 0
        for line in report.read().splitlines():
            if "Maximum resident set size" in line:
                peak = int(line.rsplit(":", 1)[1])
        if stamp:
            if not os.path.exists(stamp):
                raise RuntimeError("%s ended without starting the application: %s" % (
                    cmd[0], proc.stderr.decode(errors="replace")[-3000:]))
            with open(stamp) as f:
                reached = int(f.read().strip())
            return Measurement((reached - start) / 1e9, peak, (end - start) / 1e9)
        return Measurement((end - start) / 1e9, peak)


def side_by_side(runs, prepare, ours, theirs):
    """Alternates the two sides, one discarded warm-up each; prepare() runs untimed before
    every single run. Returns the lists of measurements."""
    results = ([], [])
    for i in range(runs + 1):
        for side, fn in enumerate((ours, theirs)):
            prepare()
            m = fn()
            if i > 0:
                results[side].append(m)
    return results


def median(values):
    return statistics.median(values)


def fmt_s(seconds):
    return "%.0f ms" % (seconds * 1000) if seconds < 1 else "%.2f s" % seconds


def fmt_mib(kib):
    return "%.1f MiB" % (kib / 1024)


def drop_dir(path):
    shutil.rmtree(path, ignore_errors=True)


def drop_caches():
    """Writes back and drops the page cache; False where the system refuses."""
    os.sync()
    try:
        with open("/proc/sys/vm/drop_caches", "w") as f:
            f.write("3\n")
        return True
    except OSError:
        return False


def cpu_ticks(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime


class Bench:
    def __init__(self, args):
        self.args = args
        self.root = args.root
        self.build = args.build
        self.port = args.port
        self.base = "http://127.0.0.1:%d" % self.port
        self.work = tempfile.mkdtemp(prefix="qv-bench-", dir=args.workdir)
        os.chmod(self.work, 0o755)  # nginx's workers run as another user
        self.www = os.path.join(self.work, "www")
        self.updater = os.path.join(self.build, "quorvex", "qv_updater")
        self.stampApp = os.path.join(self.build, "qv_bench_stamp")
        self.downloadProbe = os.path.join(self.build, "qv_bench_download")
        self.startupProbe = os.path.join(self.build, "qv_bench_startup")
        self.stamp = os.path.join(self.work, "stamp")
        self.rows = []
        self.downloadPeaks = {}
        self.hashing = []
        self.notes = []
        self.xvfb = None
        self.proxy = None
        self.latencyPeaks = []
        self.resumeShares = None

    # ----------------------------------------------------------------- environment
    def env(self, xdg, platform_name="offscreen", display=None):
        env = dict(os.environ)
        env["XDG_DATA_HOME"] = xdg
        env["QT_QPA_PLATFORM"] = platform_name
        env["QV_BENCH_STAMP"] = self.stamp
        env.pop("QT_LOGGING_RULES", None)
        if display:
            env["DISPLAY"] = display
        return env

    def start_server(self, port=None):
        subprocess.run([os.path.join(self.root, "scripts", "nginx.sh"), "start", self.www,
                        str(port or self.port), os.path.join(self.work, "nginx")], check=True)

    def stop_server(self):
        subprocess.run([os.path.join(self.root, "scripts", "nginx.sh"), "stop",
                        os.path.join(self.work, "nginx")], check=False)

    def cleanup(self):
        if self.proxy:
            self.proxy.stop()
        self.stop_server()
        if self.xvfb:
            self.xvfb.terminate()
            self.xvfb.wait()
        if not self.args.keep:
            drop_dir(self.work)
        else:
            log("data kept in", self.work)

    def row(self, name, ours, theirs, target_ratio, memory_note="", extra=""):
        t_ours = median([m.seconds for m in ours])
        t_theirs = median([m.seconds for m in theirs])
        ratio = t_ours / t_theirs
        peak_ours = max(m.peak_kib for m in ours)
        peak_theirs = max(m.peak_kib for m in theirs)
        if target_ratio is None:
            verdict = "(no target)"
            target = "—"
        else:
            verdict = "met" if ratio <= target_ratio else "**missed**"
            target = "≤ %.2fx" % target_ratio
        best = min(m.seconds for m in ours) / min(m.seconds for m in theirs)
        self.rows.append([name, fmt_s(t_ours), fmt_s(t_theirs), "%.2fx" % ratio,
                          "%.2fx" % best, target, fmt_mib(peak_ours), fmt_mib(peak_theirs),
                          verdict])
        spread = lambda ms: "%s–%s" % (fmt_s(min(m.seconds for m in ms)),
                                       fmt_s(max(m.seconds for m in ms)))
        log("  %s: ours %s (%s), baseline %s (%s), ratio %.3f, best %.3f, peaks %s / %s %s" % (
            name, fmt_s(t_ours), spread(ours), fmt_s(t_theirs), spread(theirs), ratio, best,
            " ".join("%.1f" % (m.peak_kib / 1024) for m in ours),
            " ".join("%.1f" % (m.peak_kib / 1024) for m in theirs), extra))
        return ratio, peak_ours

    # ----------------------------------------------------------------- data
    def generate(self):
        t0 = time.time()
        os.makedirs(self.www)
        # 1. An installation of 64 files, 512 MiB: the stand-in binary, 16 small files,
        #    47 large ones, and a settings file that carries no digest.
        self.verifyXdg = os.path.join(self.work, "verify")
        data_dir = os.path.join(self.verifyXdg, "qv_updater")
        app = os.path.join(data_dir, "app")
        os.makedirs(app)
        shutil.copy(self.stampApp, os.path.join(app, "app-binary"))
        for i in range(16):
            write_random(os.path.join(app, "plugin%02d.dll" % i), 256 * 1024)
        small_total = 16 * 256 * 1024
        large = (512 * MiB - small_total) // 47
        for i in range(47):
            write_random(os.path.join(app, "data%02d.pak" % i), large)
        with open(os.path.join(app, "settings.ini"), "w") as f:
            f.write("[user]\nvolume=7\n")
        self.verifyFiles = sorted(os.path.join(app, n) for n in os.listdir(app)
                                  if not n.lower().endswith(".ini"))
        self.verifyBytes = sum(os.path.getsize(p) for p in self.verifyFiles)
        hashes = {os.path.basename(p): sha256_file(p) for p in self.verifyFiles}
        with open(os.path.join(self.www, "hashlist.json"), "w") as f:
            json.dump(hashes, f, indent=4)
        self.record = {"version": "1.0.0", "extract_to": "/app", "binary_name": "/app-binary",
                       "full": True, "download_url": self.base + "/install.7z"}
        with open(os.path.join(data_dir, "latestVersion.json"), "w") as f:
            json.dump(self.record, f, indent=4)

        # 2. Download bodies of 100 MiB and 1 GiB.
        write_random(os.path.join(self.www, "body100m.bin"), 100 * MiB)
        write_random(os.path.join(self.www, "body1g.bin"), 1024 * MiB)

        # 3. A 300 MB archive: incompressible files and text, and the stand-in binary.
        payload = os.path.join(self.work, "payload")
        os.makedirs(payload)
        shutil.copy(self.stampApp, os.path.join(payload, "app-binary"))
        for i in range(9):
            write_random(os.path.join(payload, "media%02d.pak" % i), 20 * MiB)
        for i in range(4):
            write_text(os.path.join(payload, "text%02d.dat" % i), 34 * MiB)
        archive = os.path.join(self.www, "install.7z")
        subprocess.run(["7zz", "a", "-bd", "-mx=1", archive, "."], cwd=payload, check=True,
                       stdout=subprocess.DEVNULL)
        drop_dir(payload)
        self.archiveBytes = os.path.getsize(archive)
        self.archiveSha = sha256_file(archive)
        with open(os.path.join(self.www, "versions-plain.json"), "w") as f:
            json.dump([dict(self.record, version="1.0.0")], f, indent=4)
        with open(os.path.join(self.www, "versions-checked.json"), "w") as f:
            json.dump([dict(self.record, version="1.0.0", size=self.archiveBytes,
                            sha256=self.archiveSha)], f, indent=4)

        # 4. Start-up: a record whose installation is empty, so the window opens, the hash
        #    list request runs, and nothing heavy follows.
        self.startupXdg = os.path.join(self.work, "startup")
        os.makedirs(os.path.join(self.startupXdg, "qv_bench_startup", "app"))
        with open(os.path.join(self.startupXdg, "qv_bench_startup", "latestVersion.json"),
                  "w") as f:
            json.dump(self.record, f, indent=4)
        os.sync()
        log("data generated in %.1f s (archive %.1f MB)" % (time.time() - t0,
                                                            self.archiveBytes / 1e6))

    # ----------------------------------------------------------------- benchmarks
    def bench_verification(self):
        log("verification: %d files, %.0f MiB" % (len(self.verifyFiles),
                                                   self.verifyBytes / MiB))
        env = self.env(self.verifyXdg)
        base_dir = os.path.join(self.work, "verify-baseline")
        os.makedirs(base_dir, exist_ok=True)

        def ours():
            return run_timed([self.updater], env=env, stamp=self.stamp)

        def theirs():
            return run_timed(["sh", "-c", VERIFY_SCRIPT, "sh", base_dir,
                              self.base + "/hashlist.json"] + self.verifyFiles)

        o, t = side_by_side(self.args.runs, lambda: None, ours, theirs)
        exit_s = median([m.exit_seconds for m in o])
        self.row("1. Verification, 64 files / 512 MiB: updater start → application started, "
                 "vs `curl` hash list + `openssl dgst -sha256`", o, t, 1.25,
                 extra="(updater process exit %s)" % fmt_s(exit_s))
        self.verifyResult = (o, t)

    def bench_download(self):
        dest = os.path.join(self.work, "download")
        os.makedirs(dest)
        peaks = {}
        for name, label, target in (("body100m.bin", "100 MiB", None),
                                    ("body1g.bin", "1 GiB", 1.10)):
            log("download: %s" % label)
            url = "%s/%s" % (self.base, name)
            out = os.path.join(dest, name)

            def prepare():
                if os.path.exists(out):
                    os.remove(out)
                os.sync()

            expected = os.path.getsize(os.path.join(self.www, name))

            def checked(m):
                if os.path.getsize(out) != expected:
                    raise RuntimeError("incomplete download of %s" % name)
                return m

            def ours():
                return checked(run_timed([self.downloadProbe, dest, url]))

            def theirs():
                return checked(run_timed(["curl", "-sf", "-o", out, url]))

            o, t = side_by_side(self.args.runs, prepare, ours, theirs)
            _, peak = self.row("2. Download %s through `Downloader` vs `curl -o`, same disk"
                               % label, o, t, target)
            peaks[label] = peak
            prepare()
        self.downloadPeaks = peaks

        # The archive check needs the body's SHA-256 as well (entries with "sha256").
        log("download with SHA-256: 1 GiB")
        url = self.base + "/body1g.bin"
        out = os.path.join(dest, "body1g.bin")

        def prepare_hashed():
            if os.path.exists(out):
                os.remove(out)
            os.sync()

        o, t = side_by_side(
            self.args.runs, prepare_hashed,
            lambda: run_timed([self.downloadProbe, "--hash", dest, url]),
            lambda: run_timed(["sh", "-c", 'curl -sf -o "$1" "$2" && openssl dgst -sha256 "$1"',
                               "sh", out, url]))
        self.row("2b. Download 1 GiB and its SHA-256 through `Downloader` (+ the archive "
                 "check's hashing) vs `curl -o` + `openssl dgst -sha256`", o, t, None)
        prepare_hashed()

    def bench_https(self):
        # The same 1 GiB over TLS from nginx on loopback, with a certificate authority made
        # for the run, which both sides trust.
        certs = os.path.join(self.work, "certs")
        subprocess.run([os.path.join(self.root, "tests", "support", "make-certs.sh"), certs],
                       check=True)
        probe = socket.socket()
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
        probe.close()
        state = os.path.join(self.work, "nginx-tls")
        subprocess.run([os.path.join(self.root, "scripts", "nginx.sh"), "start", self.www,
                        str(port), state, os.path.join(certs, "good")], check=True)
        try:
            dest = os.path.join(self.work, "download-tls")
            os.makedirs(dest, exist_ok=True)
            url = "https://127.0.0.1:%d/body1g.bin" % port
            out = os.path.join(dest, "body1g.bin")
            ca = os.path.join(certs, "ca.pem")
            expected = os.path.getsize(os.path.join(self.www, "body1g.bin"))

            def prepare():
                if os.path.exists(out):
                    os.remove(out)
                os.sync()

            def checked(m):
                if os.path.getsize(out) != expected:
                    raise RuntimeError("incomplete https download")
                return m

            log("download over https: 1 GiB")
            o, t = side_by_side(
                self.args.runs, prepare,
                lambda: checked(run_timed([self.downloadProbe, "--ca", ca, dest, url])),
                lambda: checked(run_timed(["curl", "-sf", "--cacert", ca, "-o", out, url])))
            self.row("2c. Download 1 GiB over https (TLS on loopback) through `Downloader` vs "
                     "`curl --cacert -o`, same disk", o, t, 1.10)
            prepare()
        finally:
            subprocess.run([os.path.join(self.root, "scripts", "nginx.sh"), "stop", state],
                           check=False)

    def bench_install(self, checked):
        xdg = os.path.join(self.work, "install")
        data_dir = os.path.join(xdg, "qv_updater")
        base_dir = os.path.join(self.work, "install-baseline")
        archive_url = self.base + "/install.7z"
        # The updater asks for /versions.json: serve the variant under that name.
        shutil.copy(os.path.join(self.www, "versions-checked.json" if checked
                                 else "versions-plain.json"),
                    os.path.join(self.www, "versions.json"))
        log("full installation (%s)" % ("archive size and SHA-256 checked" if checked
                                        else "plain"))
        env = self.env(xdg)

        def prepare():
            drop_dir(xdg)
            drop_dir(base_dir)
            os.makedirs(os.path.join(base_dir, "update"))
            os.sync()

        def ours():
            m = run_timed([self.updater], env=env, stamp=self.stamp)
            if not os.path.exists(os.path.join(data_dir, "app", "app-binary")):
                raise RuntimeError("the updater did not install the archive")
            return m

        check = ('openssl dgst -sha256 "$1/update/install.7z" >/dev/null && ' if checked
                 else "")
        script = ('curl -sf -o "$1/update/install.7z" "$2" && ' + check +
                  'rm -rf "$1/app" && 7zz x -bd "$1/update/install.7z" -o"$1/app" >/dev/null')

        def theirs():
            return run_timed(["sh", "-c", script, "sh", base_dir, archive_url])

        o, t = side_by_side(self.args.runs, prepare, ours, theirs)
        if checked:
            name = ("3b. Full installation, %.0f MB archive with size and SHA-256 in the entry: "
                    "updater vs `curl` + `openssl dgst` + `7zz x`" % (self.archiveBytes / 1e6))
        else:
            name = ("3. Full installation, %.0f MB archive: updater start → application "
                    "started, vs `curl` + `7zz x`" % (self.archiveBytes / 1e6))
        self.row(name, o, t, 1.10)
        prepare()
        drop_dir(base_dir)

    def bench_hashing(self):
        log("hashing strategies")
        out = subprocess.run([os.path.join(self.build, "qv_bench_hash"), "--repeat",
                              str(self.args.runs)] + self.verifyFiles, check=True,
                             stdout=subprocess.PIPE).stdout.decode()
        openssl = subprocess.run(["openssl", "speed", "-evp", "sha256", "-bytes", "65536",
                                  "-seconds", "2"], stdout=subprocess.PIPE,
                                 stderr=subprocess.DEVNULL).stdout.decode().splitlines()
        ceiling = openssl[-1].split()[-1] if openssl else "?"
        self.hashing = out.rstrip().splitlines() + [
            "openssl speed -evp sha256 (64 KiB blocks, no I/O): %.0f MB/s" % (
                float(ceiling.rstrip("k")) / 1000 if ceiling != "?" else 0)]
        for line in self.hashing:
            log("  " + line)

    def start_xvfb(self):
        if not shutil.which("Xvfb"):
            return None
        for number in range(90, 140):
            if os.path.exists("/tmp/.X%d-lock" % number):
                continue
            display = ":%d" % number
            self.xvfb = subprocess.Popen(["Xvfb", display, "-nolisten", "tcp", "-screen", "0",
                                          "1280x1024x24"], stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL)
            for _ in range(100):
                if os.path.exists("/tmp/.X11-unix/X%d" % number):
                    return display
                if self.xvfb.poll() is not None:
                    break
                time.sleep(0.05)
            if self.xvfb.poll() is None:
                self.xvfb.terminate()
                self.xvfb.wait()
            self.xvfb = None
        return None

    def bench_startup(self):
        platforms = [("offscreen", "offscreen", None)]
        display = self.start_xvfb()
        if display:
            platforms.append(("Xvfb", "xcb", display))
        for label, qpa, disp in platforms:
            log("start-up (%s)" % label)
            env = self.env(self.startupXdg, qpa, disp)

            def ours():
                return run_timed([self.startupProbe], env=env, stamp=self.stamp)

            def theirs():
                return run_timed([self.startupProbe, "--bare"], env=env, stamp=self.stamp)

            o, t = side_by_side(self.args.runs, lambda: None, ours, theirs)
            self.row("4. Start-up (%s): process start → window painted, updater window vs "
                     "an empty Qt window" % label, o, t, None)
            if qpa != "offscreen":
                continue
            for mode, what in (("nam", "two network access managers"),
                               ("icon", "the ICO window icon")):
                o, t = side_by_side(
                    self.args.runs, lambda: None,
                    lambda: run_timed([self.startupProbe, "--bare=" + mode], env=env,
                                      stamp=self.stamp),
                    theirs)
                self.row("4a. Start-up (offscreen): an empty Qt window with %s vs without"
                         % what, o, t, None)

    # ----------------------------------------------------------------- round-trip time
    def start_proxy(self):
        """Moves nginx to a port of its own and puts the delaying proxy on the one compiled
        into the updater, so the same build and the same addresses in the data go through
        the round trip."""
        self.stop_server()
        server_port = int(subprocess.run([os.path.join(self.root, "scripts", "free-port.sh")],
                                         stdout=subprocess.PIPE, check=True).stdout)
        self.start_server(server_port)
        self.proxy = LatencyProxy(self.port, server_port, self.args.rtt_ms / 1000)
        self.proxy.start()
        # What the proxy adds: the first response of a new connection (2 RTT), of a kept-alive
        # one (1 RTT), and its throughput against nginx directly.
        small = self.base + "/hashlist.json"
        firsts = subprocess.run(["curl", "-sf", "-o", "/dev/null", "-o", "/dev/null", "-w",
                                 "%{time_starttransfer} ", small, small],
                                stdout=subprocess.PIPE, check=True).stdout.split()
        speeds = [float(subprocess.run(["curl", "-sf", "-o", "/dev/null", "-w",
                                        "%{speed_download}", "http://127.0.0.1:%d/body1g.bin"
                                        % port], stdout=subprocess.PIPE, check=True).stdout)
                  for port in (self.port, server_port)]
        self.notes.append(
            "Round-trip proxy (%d ms): first response byte after %.0f ms on a new connection "
            "and %.0f ms on a kept-alive one; a 1 GiB body at %.0f MB/s through it, %.0f MB/s "
            "from nginx directly." % (self.args.rtt_ms, float(firsts[0]) * 1000,
                                      float(firsts[1]) * 1000, speeds[0] / 1e6,
                                      speeds[1] / 1e6))
        log(self.notes[-1])

    def bench_latency(self, cold):
        rtt = "%d ms round trip" % self.args.rtt_ms
        if cold and not drop_caches():
            self.notes.append("L2 skipped: the page cache cannot be dropped here "
                              "(/proc/sys/vm/drop_caches refused).")
            log(self.notes[-1])
            return
        env = self.env(self.verifyXdg)
        base_dir = os.path.join(self.work, "verify-baseline")
        os.makedirs(base_dir, exist_ok=True)
        cores = len(os.sched_getaffinity(0))
        variants = [("%d cores" % cores, [])]
        if not cold:
            variants.append(("1 core (`taskset -c 0` on both sides)", ["taskset", "-c", "0"]))
        for label, pin in variants:
            log("verification, %s, %s%s" % (rtt, label, ", page cache dropped" if cold else ""))
            o, t = side_by_side(
                self.args.runs, drop_caches if cold else lambda: None,
                lambda: run_timed(pin + [self.updater], env=env, stamp=self.stamp),
                lambda: run_timed(pin + ["sh", "-c", VERIFY_SCRIPT, "sh", base_dir,
                                         self.base + "/hashlist.json"] + self.verifyFiles))
            if cold:
                name = ("L2. Verification, %s, page cache dropped before every run, %s: "
                        "updater vs `curl` + `openssl dgst -sha256`" % (rtt, label))
            else:
                name = ("L1. Verification, 64 files / 512 MiB over a %s, %s: updater start → "
                        "application started, vs `curl` hash list + `openssl dgst -sha256`"
                        % (rtt, label))
            _, peak = self.row(name, o, t, 0.6 if not pin else None)
            self.latencyPeaks.append(("L2 cold" if cold else "L1 " + label.split(" (")[0],
                                      peak))

    def interrupted_run(self, env, budget, log_path):
        """Runs the updater while the proxy cuts the response bytes at budget; ends it once
        the transfer was cut and the process has been idle for a second (it keeps its window
        open on the error)."""
        cuts = self.proxy.cuts
        if os.path.exists(self.stamp):
            os.remove(self.stamp)
        self.proxy.arm_cut(budget)
        with open(log_path, "wb") as err:
            proc = subprocess.Popen([self.updater], env=env, stdout=subprocess.DEVNULL,
                                    stderr=err, start_new_session=True)
        deadline = time.time() + RUN_TIMEOUT
        last = idle_since = None
        try:
            while proc.poll() is None and time.time() < deadline:
                time.sleep(0.1)
                if self.proxy.cuts == cuts:
                    continue
                ticks = cpu_ticks(proc.pid)
                if ticks != last:
                    last, idle_since = ticks, time.time()
                elif time.time() - idle_since >= 1:
                    break
        finally:
            self.proxy.disarm_cut()
            if proc.poll() is None:
                os.killpg(proc.pid, signal.SIGTERM)
                try:
                    proc.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    os.killpg(proc.pid, signal.SIGKILL)
                    proc.wait()
        if self.proxy.cuts == cuts or time.time() >= deadline or os.path.exists(self.stamp):
            with open(log_path, errors="replace") as f:
                raise RuntimeError("the interrupted run did not end at the cut: " +
                                   f.read()[-3000:])

    def bench_resume(self):
        runs = min(self.args.runs, 3)
        payload = os.path.join(self.work, "resume-payload")
        os.makedirs(payload)
        shutil.copy(self.stampApp, os.path.join(payload, "app-binary"))
        for i in range(10):
            write_random(os.path.join(payload, "media%02d.pak" % i), 70 * 1000 * 1000)
        archive = os.path.join(self.www, "resume.7z")
        subprocess.run(["7zz", "a", "-bd", "-mx=0", archive, "."], cwd=payload, check=True,
                       stdout=subprocess.DEVNULL)
        drop_dir(payload)
        size = os.path.getsize(archive)
        url = self.base + "/resume.7z"
        with open(os.path.join(self.www, "versions.json"), "w") as f:
            json.dump([dict(self.record, download_url=url)], f, indent=4)
        log("resumed installation: %.0f MB archive, cut at half, %d runs per side" % (
            size / 1e6, runs))
        xdg = os.path.join(self.work, "resume")
        update_dir = os.path.join(xdg, "qv_updater", "update")
        base_dir = os.path.join(self.work, "resume-baseline")
        partial = os.path.join(base_dir, "update", "resume.7z")
        env = self.env(xdg)
        interrupted_log = os.path.join(self.work, "interrupted.log")

        def prepare():
            drop_dir(xdg)
            drop_dir(base_dir)
            os.makedirs(os.path.dirname(partial))

        def second_run(cmd, **kw):
            os.sync()
            relayed = self.proxy.response_bytes
            m = run_timed(cmd, **kw)
            m.share = (self.proxy.response_bytes - relayed) / size
            return m

        def ours():
            self.interrupted_run(env, size // 2, interrupted_log)
            left = sorted(os.listdir(update_dir)) if os.path.isdir(update_dir) else []
            log("  left by the interrupted run in update/: " + (", ".join(
                "%s (%d bytes)" % (n, os.path.getsize(os.path.join(update_dir, n)))
                for n in left) or "nothing"))
            m = second_run([self.updater], env=env, stamp=self.stamp)
            if not os.path.exists(os.path.join(xdg, "qv_updater", "app", "app-binary")):
                raise RuntimeError("the updater did not install the archive")
            return m

        def theirs():
            self.proxy.arm_cut(size // 2)
            subprocess.run(["curl", "-s", "-o", partial, url], timeout=RUN_TIMEOUT)  # exits 18
            self.proxy.disarm_cut()
            if not 0.4 < os.path.getsize(partial) / size < 0.6:
                raise RuntimeError("the cut left %d bytes" % os.path.getsize(partial))
            return second_run(["sh", "-c", 'curl -sf -C - -o "$1/update/resume.7z" "$2" && '
                               '7zz x -bd "$1/update/resume.7z" -o"$1/app" >/dev/null',
                               "sh", base_dir, url])

        o, t = side_by_side(runs, prepare, ours, theirs)
        _, peak = self.row("L3. Resumed installation, %.0f MB archive (7z stored) cut at half "
                           "over a %d ms round trip, second run: updater start → application "
                           "started, vs `curl -C -` + `7zz x` (%d per side)"
                           % (size / 1e6, self.args.rtt_ms, runs), o, t, None)
        self.latencyPeaks.append(("L3 %.0f MB archive" % (size / 1e6), peak))
        self.resumeShares = (median([m.share for m in o]), median([m.share for m in t]), size)
        prepare()
        drop_dir(base_dir)
        os.remove(archive)

    # ----------------------------------------------------------------- report
    def machine(self):
        def first_line(cmd):
            try:
                out = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     check=False).stdout.decode(errors="replace")
                return next((l.strip() for l in out.splitlines() if l.strip()), "?")
            except OSError:
                return "?"
        cpu = "?"
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
        with open("/proc/meminfo") as f:
            mem_kib = int(f.readline().split()[1])
        fs = first_line(["sh", "-c", "df --output=fstype '%s' | tail -1" % self.work])
        lines = [
            "- CPU: %s, %d cores; RAM %.0f GiB; kernel %s; data on %s" % (
                cpu, os.cpu_count(), mem_kib / MiB, platform.release(), fs),
            "- Qt %s, %s, %s, 7-Zip: %s, nginx: %s" % (
                first_line(["qmake", "-query", "QT_VERSION"]),
                first_line(["openssl", "version"]), first_line(["curl", "--version"])
                .split(" (")[0], first_line(["7zz"]).split(":")[0].strip(),
                first_line(["nginx", "-v"]).split("/")[-1]),
            "- median of %d runs per side, sides alternating after one discarded warm-up "
            "run each; files in the page cache; peak memory is the largest maximum RSS "
            "(`/usr/bin/time -v`) over the runs" % self.args.runs,
        ]
        return lines

    def table(self):
        head = ["Benchmark", "Quorvex (median)", "Baseline (median)", "Ratio of medians",
                "Ratio of best runs", "Target", "Peak RSS Quorvex",
                "Peak RSS baseline", "Result"]
        out = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
        for r in self.rows:
            out.append("| " + " | ".join(r) + " |")
        return out

    def run(self):
        try:
            only = self.args.only.split(",") if self.args.only else None
            if only and set(only) <= {"deltas"}:
                os.makedirs(self.www)  # the delta rows publish their own releases
            else:
                self.generate()
            machine = self.machine()
            self.start_server()
            steps = [("verify", self.bench_verification), ("hash", self.bench_hashing),
                     ("download", self.bench_download), ("https", self.bench_https),
                     ("install", lambda: self.bench_install(checked=False)),
                     ("install-checked", lambda: self.bench_install(checked=True)),
                     ("startup", self.bench_startup),
                     ("perfile", lambda: PerFile(self, write_random, run_timed, side_by_side,
                                                 median).run()),
                     ("publish", lambda: Publishing(self, run_timed, side_by_side, median).run()),
                     ("deltas", lambda: Deltas(self, write_random, run_timed, side_by_side,
                                               median).run()),
                     ("latency", lambda: self.bench_latency(cold=False)),
                     ("latency-cold", lambda: self.bench_latency(cold=True)),
                     ("resume", self.bench_resume)]
            for name, step in steps:
                # The per-file rows need releases published with a manifest, the publishing
                # rows take long, the delta rows fetch packages: on request only.
                if (only is None and name not in ("perfile", "publish", "deltas")) or (
                        only and name in only):
                    if name.startswith(("latency", "resume")) and not self.proxy:
                        self.start_proxy()
                    step()
        finally:
            self.cleanup()
        lines = machine + [""] + self.table()
        p100 = self.downloadPeaks.get("100 MiB", 0)
        p1g = self.downloadPeaks.get("1 GiB", 0)
        if self.downloadPeaks:
            lines += ["", "Download peak memory: %s at 100 MiB, %s at 1 GiB (target ≤ 32 MiB and "
                  "independent of the size: %s)." % (
                      fmt_mib(p100), fmt_mib(p1g),
                      "met" if p1g <= 32 * 1024 and abs(p1g - p100) <= 2048 else "**missed**")]
        if self.resumeShares:
            ours, theirs, size = self.resumeShares
            lines += ["", "Resumed installation: the second run received %.1f %% of the %.0f MB "
                      "archive's size (target ≤ 55 %%: %s); the `curl -C -` baseline %.1f %%." % (
                          100 * ours, size / 1e6, "met" if ours <= 0.55 else "**missed**",
                          100 * theirs)]
        if self.latencyPeaks:
            lines += ["", "Updater peak memory over the round trip: " + ", ".join(
                "%s %s" % (label, fmt_mib(peak)) for label, peak in self.latencyPeaks) + "."]
        if self.notes:
            lines += [""] + self.notes
        if self.hashing:
            lines += ["", "Hashing the verification set (%.0f MiB) in one process, by reading "
                      "strategy (best of %d):" % (self.verifyBytes / MiB, self.args.runs), "",
                      "```"] + self.hashing + ["```"]
        print("\n".join(lines))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--workdir", default=None)
    parser.add_argument("--keep", action="store_true")
    parser.add_argument("--rtt-ms", type=int, default=100)
    parser.add_argument("--only", default="",
                        help="comma-separated: verify,hash,download,https,install,install-checked,"
                        "startup,perfile,publish,deltas,latency,latency-cold,resume")
    Bench(parser.parse_args()).run()


if __name__ == "__main__":
    main()
