"""Binary deltas on real library rebuilds: an update by deltas, by whole files and by the archive.

The data are Debian's own rebuilds of four shared libraries, two versions of each from the
package mirror (apt-get download, cached in the build directory): libcrypto.so.3 and libssl.so.3
(libssl3), libcurl.so.4 (libcurl4) and libxml2.so.2 (libxml2). For each package the newest
version the mirror lists is release 1.1's, the one before it release 1.0's. Both releases also
carry the stand-in application and, unchanged, the Qt 5 libraries the updater itself links (the
part of an application that a library rebuild leaves alone; without it the update by whole files
would cost more than the plan allows against the archive and would take the archive).

Each release pair is published twice with qv_publish: by default (deltas from the releases
before) and with --delta-from 0 (whole files only). From the same installed 1.0 (hard-linked
tree, its record and its kept manifest) the same updater then updates to 1.1 three ways, the
sides alternating after one discarded warm-up run each: with deltas, with whole files, and by
the archive (the version list served without the manifest keys). Bytes on the wire are the body
bytes nginx logged during a run; which requests they were (deltas, objects, archive) is logged
too. Applying the largest delta is timed apart: delta::apply in qv_bench_deltaapply against
`zstd -d --patch-from`.
"""

import functools
import hashlib
import json
import os
import shutil
import subprocess
import sys

from perfile import MANIFEST_KEYS, PerFile, requests_since

MiB = 1024 * 1024
# package -> the libraries taken from it, by the name they are loaded under
PACKAGES = (("libssl3", ("libcrypto.so.3", "libssl.so.3")),
            ("libcurl4", ("libcurl.so.4",)),
            ("libxml2", ("libxml2.so.2",)))
# The file whose delta the apply rows time: the largest.
APPLIED = "libcrypto.so.3"


def compare_versions(a, b):
    if a == b:
        return 0
    lower = subprocess.run(["dpkg", "--compare-versions", a, "lt", b]).returncode == 0
    return -1 if lower else 1


def kind_of(path, manifests):
    """What a request fetched; manifests: the digests of the releases' manifests (a manifest
    comes as a delta, an object or a file)."""
    if path.rsplit("/", 1)[-1].split("-", 1)[0].split(".", 1)[0] in manifests:
        return "manifest"
    if "/store/deltas/" in path:
        return "delta"
    if "/store/" in path:
        return "object"
    if path.endswith(".7z"):
        return "archive"
    return "document"


def fmt_mb(size):
    return "%.3f MB" % (size / 1e6)


def log(line):
    print(line, file=sys.stderr, flush=True)


class Measured:
    def __init__(self, seconds, peak_kib):
        self.seconds = seconds
        self.peak_kib = peak_kib


class Deltas:
    def __init__(self, bench, write_random, run_timed, side_by_side, median):
        self.b = bench
        self.run_timed = run_timed
        self.median = median
        self.pf = PerFile(bench, write_random, run_timed, side_by_side, median)
        self.work = os.path.join(bench.work, "deltas")
        self.cache = os.path.join(bench.build, "deltas-debs")
        self.access_log = os.path.join(bench.work, "nginx", "access.log")

    # ------------------------------------------------------------------ data
    def versions(self, package):
        """The versions of package the mirror lists for this architecture, oldest first, with
        the suite of each."""
        arch = subprocess.run(["dpkg", "--print-architecture"], stdout=subprocess.PIPE,
                              text=True, check=True).stdout.strip()
        listed = subprocess.run(["apt-cache", "madison", package], stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, text=True).stdout
        suites = {}
        for line in listed.splitlines():
            cols = [c.strip() for c in line.split("|")]
            if len(cols) == 3 and cols[0] == package and cols[2].endswith(" %s Packages" % arch):
                suites.setdefault(cols[1], cols[2].split()[1])
        order = sorted(suites, key=functools.cmp_to_key(compare_versions))
        return [(v, suites[v]) for v in order]

    def fetch(self, package, version):
        """The package's .deb from the cache, downloaded there when missing."""
        os.makedirs(self.cache, exist_ok=True)
        os.chmod(self.cache, 0o755)  # apt-get download hands the file to its own user
        name = "%s_%s_" % (package, version.split(":", 1)[-1])
        cached = [n for n in os.listdir(self.cache) if n.startswith(name) and n.endswith(".deb")]
        if not cached:
            done = subprocess.run(["apt-get", "download", "-q", "%s=%s" % (package, version)],
                                  cwd=self.cache, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, text=True)
            cached = [n for n in os.listdir(self.cache)
                      if n.startswith(name) and n.endswith(".deb")]
            if done.returncode != 0 or not cached:
                raise RuntimeError("apt-get download %s=%s failed: %s" % (
                    package, version, done.stdout[-2000:]))
        return os.path.join(self.cache, cached[0])

    def libraries(self):
        """{release: {library name: path of its bytes}} and the versions used, per package."""
        chosen = {}
        for package, _ in PACKAGES:
            listed = self.versions(package)
            if len(listed) < 2:
                subprocess.run(["apt-get", "update", "-qq"], check=False)
                listed = self.versions(package)
            if len(listed) < 2:
                raise RuntimeError("the package lists show %d version(s) of %s; two are needed"
                                   % (len(listed), package))
            chosen[package] = listed[-2:]
        files = {"1.0": {}, "1.1": {}}
        for package, names in PACKAGES:
            for release, (version, _) in zip(("1.0", "1.1"), chosen[package]):
                unpacked = os.path.join(self.work, "debs", "%s-%s" % (package, release))
                os.makedirs(unpacked)
                subprocess.run(["dpkg-deb", "-x", self.fetch(package, version), unpacked],
                               check=True)
                for name in names:
                    hits = [os.path.join(d, name) for d, _, found in os.walk(unpacked)
                            if name in found]
                    if len(hits) != 1:
                        raise RuntimeError("%s %s holds %d files named %s" % (
                            package, version, len(hits), name))
                    files[release][name] = os.path.realpath(hits[0])
        return files, chosen

    def unchanged(self):
        """The Qt 5 libraries the updater links: {name: path}."""
        listed = subprocess.run(["ldd", self.b.updater], stdout=subprocess.PIPE, text=True,
                                check=True).stdout
        found = {}
        for line in listed.splitlines():
            parts = line.split()
            if len(parts) >= 3 and parts[0].startswith("libQt5") and parts[1] == "=>":
                found[parts[0]] = os.path.realpath(parts[2])
        if not found:
            raise RuntimeError("ldd names no Qt 5 library of " + self.b.updater)
        return found

    def tree(self, path, libraries, unchanged):
        os.makedirs(os.path.join(path, "qt"))
        shutil.copy(self.b.stampApp, os.path.join(path, "app-binary"))
        for name, source in libraries.items():
            shutil.copyfile(source, os.path.join(path, name))
        for name, source in unchanged.items():
            shutil.copyfile(source, os.path.join(path, "qt", name))

    def publish(self, folder, tree, version, extra):
        """Publishes tree into folder; returns qv_publish's wall time in seconds."""
        m = self.run_timed([self.pf.publisher, "publish", "--app-dir", tree, "--version", version,
                            "--base-url", "%s/%s" % (self.b.base, folder), "--extract-to", "/app",
                            "--binary-name", "/app-binary", "--server-dir",
                            os.path.join(self.b.www, folder)] + extra)
        return m.seconds

    def entries(self, folder):
        with open(os.path.join(self.b.www, folder, "versions.json")) as f:
            return {e["version"]: e for e in json.load(f)}

    def manifest(self, folder, entry):
        with open(os.path.join(self.b.www, folder,
                               entry["manifest_url"].split(folder + "/", 1)[1])) as f:
            return {x["path"]: x for x in json.load(f)["files"]}

    # ------------------------------------------------------------------ runs
    def run(self):
        load_start = os.getloadavg()
        os.makedirs(self.work)
        files, chosen = self.libraries()
        unchanged = self.unchanged()
        v10 = os.path.join(self.work, "release-1.0")
        v11 = os.path.join(self.work, "release-1.1")
        self.tree(v10, files["1.0"], unchanged)
        self.tree(v11, files["1.1"], unchanged)
        used = "; ".join("%s %s (%s) → %s (%s)" % (p, a[0], a[1], b[0], b[1])
                         for p, (a, b) in chosen.items())
        log("deltas: " + used)

        publish_s = {}
        for folder, extra in (("dt-delta", []), ("dt-whole", ["--delta-from", "0"])):
            self.publish(folder, v10, "1.0", extra)
            publish_s[folder] = self.publish(folder, v11, "1.1", extra)
        with_deltas = self.entries("dt-delta")
        whole = self.entries("dt-whole")
        new_files = self.manifest("dt-delta", with_deltas["1.1"])
        archive_bytes = os.path.getsize(os.path.join(
            self.b.www, "dt-whole", whole["1.1"]["download_url"].split("dt-whole/", 1)[1]))

        # Each delta against its file's whole object.
        sizes = []
        for name in sorted(files["1.1"]):
            item = new_files[name]
            listed = item.get("deltas", [])
            sizes.append((name, os.path.getsize(files["1.0"][name]), item["size"], item["packed"],
                          listed[0]["packed"] if listed else None))
        largest_base = max(s[1] for s in sizes if s[4] is not None) if sizes else 0

        def strip(entry):
            return {k: v for k, v in entry.items() if k not in MANIFEST_KEYS}

        def check(data_dir):
            for name in files["1.1"]:
                got = os.path.join(data_dir, "app", name)
                if subprocess.run(["cmp", "-s", got, os.path.join(v11, name)]).returncode:
                    raise RuntimeError("%s is not release 1.1's after the update" % name)

        sides = (("deltas", "dt-delta", True, lambda x: self.pf.install_state(
                     x, v10, with_deltas["1.0"])),
                 ("whole files", "dt-whole", True, lambda x: self.pf.install_state(
                     x, v10, whole["1.0"])),
                 ("archive", "dt-whole", False, lambda x: self.pf.install_state(
                     x, v10, strip(whole["1.0"]))))
        manifests = {e["manifest_sha256"] for e in list(with_deltas.values()) +
                     list(whole.values())}
        xdg = os.path.join(self.work, "run")
        env = self.b.env(xdg)
        data_dir = os.path.join(xdg, "qv_updater")
        results = {s[0]: [] for s in sides}
        wire = {s[0]: [] for s in sides}
        kinds = {s[0]: None for s in sides}
        log("deltas: update 1.0 → 1.1, %d runs per side" % self.b.args.runs)
        for i in range(self.b.args.runs + 1):
            for label, folder, manifest, state in sides:
                self.pf.serve(folder, manifest)
                state(xdg)
                offset = os.path.getsize(self.access_log)
                m = self.run_timed([self.b.updater], env=env, stamp=self.b.stamp)
                check(data_dir)
                got = requests_since(self.access_log, offset)
                counts = {}
                for path, _ in got:
                    kind = kind_of(path, manifests)
                    counts[kind] = counts.get(kind, 0) + 1
                kinds[label] = counts
                if i > 0:
                    results[label].append(m)
                    wire[label].append(sum(size for _, size in got))
        shutil.rmtree(xdg, ignore_errors=True)

        def taken(label):
            c = kinds[label]
            return ", ".join("%d %s%s" % (n, k, "s" if n > 1 else "")
                             for k, n in sorted(c.items()))

        bytes_of = {k: self.median(v) for k, v in wire.items()}
        what = "4 rebuilt libraries of %d files" % (len(files["1.1"]) + len(unchanged) + 1)
        self.b.row("D1. Update 1.0 → 1.1, %s: with deltas vs whole files (`--delta-from 0`)"
                   % what, results["deltas"], results["whole files"], 1.0,
                   extra="wire %s / %s" % (fmt_mb(bytes_of["deltas"]),
                                           fmt_mb(bytes_of["whole files"])))
        self.b.row("D2. Update 1.0 → 1.1, %s: with deltas vs the archive path" % what,
                   results["deltas"], results["archive"], None,
                   extra="wire %s / %s" % (fmt_mb(bytes_of["deltas"]),
                                           fmt_mb(bytes_of["archive"])))
        applied = self.apply_rows(files, new_files)

        # ------------------------------------------------------------ notes
        notes = self.b.notes
        notes.append("Delta rows, data: Debian's packages %s; release 1.0 is the older version "
                     "of each, 1.1 the newer. Unchanged in both: the stand-in application and "
                     "%s (%.1f MB). Published with qv_publish: 1.1 took %.1f s with deltas, "
                     "%.1f s with `--delta-from 0`; the 1.1 archive is %s." % (
                         used, ", ".join(sorted(unchanged)),
                         sum(os.path.getsize(p) for p in unchanged.values()) / 1e6,
                         publish_s["dt-delta"], publish_s["dt-whole"], fmt_mb(archive_bytes)))
        table = ["", "| File | Base (1.0) | 1.1 | Whole object (zlib) | Delta (zstd) | "
                 "Delta / object |", "|---|---|---|---|---|---|"]
        for name, base, size, packed, dsize in sizes:
            table.append("| %s | %s | %s | %s | %s | %s |" % (
                name, fmt_mb(base), fmt_mb(size), fmt_mb(packed),
                fmt_mb(dsize) if dsize is not None else "none listed",
                "%.1f %%" % (100.0 * dsize / packed) if dsize is not None else "—"))
        objects = sum(s[3] for s in sizes)
        deltas = sum(s[4] or s[3] for s in sizes)
        table.append("| all four | %s | %s | %s | %s | %.1f %% |" % (
            fmt_mb(sum(s[1] for s in sizes)), fmt_mb(sum(s[2] for s in sizes)),
            fmt_mb(objects), fmt_mb(deltas), 100.0 * deltas / objects))
        notes.append("\n".join(["", "Delta sizes against whole objects (the manifest's \"packed\"):"]
                               + table))
        notes.append("\nDelta rows, bytes on the wire (median): with deltas %s (%s), with whole "
                     "files %s (%s), by the archive %s (%s)." % (
                         fmt_mb(bytes_of["deltas"]), taken("deltas"),
                         fmt_mb(bytes_of["whole files"]), taken("whole files"),
                         fmt_mb(bytes_of["archive"]), taken("archive")))

        def verdict(ok):
            return "met" if ok else "**missed**"

        t = {k: self.median([m.seconds for m in v]) for k, v in results.items()}
        peak = {k: max(m.peak_kib for m in v) / 1024 for k, v in results.items()}
        limit = largest_base / MiB + 32
        notes.append("\nDelta targets: bytes with deltas ≤ 1/3 of whole files: %s / %s = %.3f (%s); "
                     "update time with deltas ≤ whole files: %s against %s (%s); updater peak "
                     "memory with deltas %.1f MiB, with whole files %.1f MiB (difference "
                     "%+.1f MiB), by the archive %.1f MiB; the largest base is %.1f MiB, so the "
                     "limit is %.1f MiB: the peak itself %s, the difference %s." % (
                         fmt_mb(bytes_of["deltas"]), fmt_mb(bytes_of["whole files"]),
                         bytes_of["deltas"] / bytes_of["whole files"],
                         verdict(3 * bytes_of["deltas"] <= bytes_of["whole files"]),
                         "%.0f ms" % (1000 * t["deltas"]), "%.0f ms" % (1000 * t["whole files"]),
                         verdict(t["deltas"] <= t["whole files"]), peak["deltas"],
                         peak["whole files"], peak["deltas"] - peak["whole files"],
                         peak["archive"], largest_base / MiB, limit,
                         verdict(peak["deltas"] <= limit),
                         verdict(peak["deltas"] - peak["whole files"] <= limit)))
        notes.append("\n" + applied)
        load_end = os.getloadavg()
        notes.append("\nDelta rows, load average (1 min) %.1f at the start, %.1f at the end, on "
                     "%d cores." % (load_start[0], load_end[0], os.cpu_count()))
        for line in notes[-6:]:
            log(line)
        shutil.rmtree(self.work)

    def apply_rows(self, files, new_files):
        """D3: the delta of APPLIED through delta::apply against the zstd command line."""
        item = new_files[APPLIED]
        base_path = files["1.0"][APPLIED]
        with open(base_path, "rb") as f:
            base_sha = hashlib.sha256(f.read()).hexdigest()
        listed = [d for d in item.get("deltas", []) if d["from"] == base_sha]
        if not listed:
            return "D3 not run: the manifest lists no delta of %s from release 1.0." % APPLIED
        source = os.path.join(self.b.www, "dt-delta", "store", "deltas", item["sha256"][:2],
                              "%s-%s" % (item["sha256"], base_sha))
        out_dir = os.path.join(self.work, "apply")
        os.makedirs(out_dir)
        ours_out = os.path.join(out_dir, "ours")
        theirs_out = os.path.join(out_dir, "theirs")
        runs = self.b.args.runs
        probe = os.path.join(self.b.build, "qv_bench_deltaapply")
        log("deltas: applying the %s delta, %d runs per side" % (APPLIED, runs))
        report = subprocess.run([probe, "--repeat", str(runs + 1), source, base_path, ours_out,
                                 str(item["size"]), item["sha256"]], stdout=subprocess.PIPE,
                                text=True, check=True).stdout
        values = {}
        for line in report.splitlines():
            key, *rest = line.split()
            values[key] = [float(x) for x in rest]
        peak_kib = values["peak-kib"][0]
        ours = [Measured(ms / 1000, peak_kib) for ms in values["apply"][1:]]
        verify = sorted(values["verify"][1:])
        theirs = []
        for i in range(runs + 1):
            m = self.run_timed(["zstd", "-d", "-q", "-f", "--patch-from=" + base_path, source,
                                "-o", theirs_out])
            if i > 0:
                theirs.append(m)
        for made in (ours_out, theirs_out):
            if subprocess.run(["cmp", "-s", made, os.path.join(
                    self.work, "release-1.1", APPLIED)]).returncode:
                raise RuntimeError("%s is not release 1.1's %s" % (made, APPLIED))
        self.b.row("D3. Applying the %s delta (%s onto a %s base): `delta::apply` in "
                   "qv_bench_deltaapply (written, synced, SHA-256 checked) vs `zstd -d "
                   "--patch-from` (one process per run)" % (
                       APPLIED, fmt_mb(os.path.getsize(source)), fmt_mb(os.path.getsize(
                           base_path))), ours, theirs, None)
        return ("D3: delta::verify (decoding and SHA-256, nothing written) took %.1f ms "
                "(median); qv_bench_deltaapply's peak %.1f MiB, %.1f MiB before the first "
                "run; `zstd -d --patch-from` peaked at %.1f MiB." % (
                    self.median(verify), peak_kib / 1024, values["start-kib"][0] / 1024,
                    max(m.peak_kib for m in theirs) / 1024))
