"""The publishing tool on a large tree, against packing and hashing that tree by hand.

20,000 files of 1 to 5 KiB (about 62 MB, half random bytes, half text) in 200 nested folders.
Each of qv_publish's first publish, second publish (the same tree under a new label, into a
directory that holds the first) and check is compared with `7zz a` of the tree plus
`sha256sum` of every file (one `find | xargs`), the two sides alternating. qv_publish's own
peak memory is its VmHWM, read from /proc while it runs (7-Zip, which it starts, aside); the
baseline's is the maximum RSS of /usr/bin/time -v.

Run alone: python3 bench/publishing.py --make-tree DIR writes the tree only.
"""

import base64
import os
import random
import shutil
import subprocess
import sys
import time

FILES = 20000
BASELINE = ('7zz a -t7z -bso0 -bsp0 "$1" . >/dev/null && '
            'find . -type f -print0 | xargs -0 sha256sum >/dev/null')


def make_tree(path, binary=None):
    """The tree; binary (the stand-in application) goes to /app-binary."""
    rng = random.Random(30)
    os.makedirs(path)
    for i in range(FILES):
        folder = os.path.join(path, "lib%02d" % (i % 20), "part%d" % (i // 20 % 10))
        if i < 200:
            os.makedirs(folder, exist_ok=True)
        size = rng.randint(1024, 5119)
        data = os.urandom(size) if i % 2 else base64.b64encode(os.urandom(size))[:size]
        with open(os.path.join(folder, "f%05d.dat" % i), "wb") as f:
            f.write(data)
    with open(os.path.join(path, "version.txt"), "w") as f:
        f.write("20000 files\n")
    target = os.path.join(path, "app-binary")
    if binary:
        shutil.copy(binary, target)
    else:
        with open(target, "w") as f:
            f.write("#!/bin/sh\n")
    os.chmod(target, 0o755)


class Measured:
    def __init__(self, seconds, peak_kib):
        self.seconds = seconds
        self.peak_kib = peak_kib


def run_watched(cmd):
    """Runs cmd; wall time and the largest VmHWM that /proc showed while it ran."""
    start = time.time_ns()
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    peak = 0
    while proc.poll() is None:
        try:
            with open("/proc/%d/status" % proc.pid) as f:
                for line in f:
                    if line.startswith("VmHWM:"):
                        peak = max(peak, int(line.split()[1]))
        except OSError:
            pass
        time.sleep(0.01)
    end = time.time_ns()
    err = proc.stderr.read()
    if proc.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (" ".join(cmd[:2]), proc.returncode,
                                                 err.decode(errors="replace")[-2000:]))
    return Measured((end - start) / 1e9, peak)


class Publishing:
    def __init__(self, bench, run_timed, side_by_side, median):
        self.b = bench
        self.run_timed = run_timed
        self.side_by_side = side_by_side
        self.median = median
        self.publisher = os.path.join(bench.build, "qv_publish")
        self.work = os.path.join(bench.work, "publishing")

    def publish(self, server, version, *more):
        return run_watched([self.publisher, "publish", "--app-dir", self.tree, "--version",
                            version, "--base-url", "http://127.0.0.1/big", "--extract-to",
                            "/app", "--binary-name", "/app-binary", "--server-dir", server,
                            *more])

    def baseline(self):
        archive = os.path.join(self.work, "baseline.7z")
        if os.path.exists(archive):
            os.remove(archive)
        return self.run_timed(["sh", "-c", BASELINE, "sh", archive], cwd=self.tree)

    def run(self):
        os.makedirs(self.work)
        self.tree = os.path.join(self.work, "tree")
        make_tree(self.tree, self.b.stampApp)
        size = sum(os.path.getsize(os.path.join(d, n))
                   for d, _, names in os.walk(self.tree) for n in names)
        runs = min(self.b.args.runs, 3)
        server = os.path.join(self.work, "server")
        once = os.path.join(self.work, "published-once")
        self.publish(once, "1.0.1")

        trash = os.path.join(self.work, "trash")
        os.makedirs(trash)

        def fresh():
            # Moved aside, removed at the end: removing 20,000 files written to the disk takes
            # long here (the discards), and the next run should not wait for it.
            if os.path.exists(server):
                os.rename(server, os.path.join(trash, str(len(os.listdir(trash)))))
            os.sync()  # what the untimed steps wrote is not written back in the timed one

        def copy_of_once():
            fresh()
            subprocess.run(["cp", "-a", once, server], check=True)
            os.sync()

        what = "%d files, %.0f MB" % (FILES + 2, size / 1e6)
        base = "`7zz a` + `sha256sum` of every file"
        rows = [("P1. First publish, %s, vs %s" % (what, base), fresh,
                 lambda: self.publish(server, "1.0.1")),
                ("P2. Second publish of the same tree under a new label, %s, vs %s"
                 % (what, base), copy_of_once, lambda: self.publish(server, "1.0.2")),
                ("P3. check of the published directory, %s, vs %s" % (what, base), os.sync,
                 lambda: run_watched([self.publisher, "check", "--server-dir", once]))]
        for name, prepare, ours in rows:
            o, t = self.side_by_side(runs, prepare, ours, self.baseline)
            self.report(name, runs, o, t)
        # A release of the same tree with three files rebuilt: the binary deltas it makes (of
        # those files and of the manifest) against the same publish without deltas.
        files = sorted(os.path.join(d, n) for d, _, names in os.walk(self.tree) for n in names)
        for i, path in enumerate(files[:3]):
            with open(path, "ab") as f:
                f.write(b"rebuilt %d" % i)
        name = ("P4. Publish with three files changed, %s, with deltas (default) vs "
                "`--delta-from 0`" % what)
        o, t = self.side_by_side(runs, copy_of_once, lambda: self.publish(server, "1.0.2"),
                                 lambda: self.publish(server, "1.0.2", "--delta-from", "0"))
        self.report(name, runs, o, t, 1.1)
        shutil.rmtree(self.work)

    def report(self, name, runs, o, t, target=1.5):
        self.b.row(name + " (%d per side; Quorvex's peak is qv_publish's own)" % runs, o, t,
                   target)
        if max(m.peak_kib for m in o) >= 128 * 1024:
            self.b.notes.append("%s: qv_publish's peak memory %.1f MiB is not under 128 MiB "
                                "(**missed**)" % (name.split(".")[0],
                                                  max(m.peak_kib for m in o) / 1024))


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--make-tree":
        make_tree(sys.argv[2])
    else:
        print(__doc__)
