"""Per-file updates against the archive path, side by side on the same data and states.

Each scenario publishes its releases with qv_publish (manifest and content store, and the
archive) into a folder of its own under the served root. Both sides run the same updater from
the same installed state; they differ only in the version list served: "ours" has the manifest
keys, "theirs" the same entries without them, so the updater takes today's archive path. Bytes
on the wire are the body bytes nginx logged while the run went on.
"""

import json
import os
import shutil
import subprocess

MiB = 1024 * 1024
MANIFEST_KEYS = ("manifest_url", "manifest_size", "manifest_sha256")


def requests_since(access_log, offset):
    """(path, body bytes) of each request logged past offset (nginx's combined format)."""
    found = []
    with open(access_log, "rb") as f:
        f.seek(offset)
        for line in f.read().decode(errors="replace").splitlines():
            parts = line.split('"')
            if len(parts) > 2:
                request = parts[1].split()
                fields = parts[2].split()
                if len(request) >= 2 and len(fields) >= 2 and fields[1].isdigit():
                    found.append((request[1], int(fields[1])))
    return found


def body_bytes(access_log, offset):
    """The body bytes of the requests logged past offset (nginx's combined format)."""
    return sum(size for _, size in requests_since(access_log, offset))


class PerFile:
    def __init__(self, bench, write_random, run_timed, side_by_side, median):
        self.b = bench
        self.write_random = write_random
        self.run_timed = run_timed
        self.side_by_side = side_by_side
        self.median = median
        self.publisher = os.path.join(bench.build, "qv_publish")
        self.access_log = os.path.join(bench.work, "nginx", "access.log")

    # ------------------------------------------------------------------ data
    def tree(self, path, files):
        """files: (relative path, size); the stand-in binary goes to /app-binary."""
        os.makedirs(path)
        shutil.copy(self.b.stampApp, os.path.join(path, "app-binary"))
        for rel, size in files:
            target = os.path.join(path, rel)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            self.write_random(target, size)

    def publish(self, folder, tree, version):
        subprocess.run([self.publisher, "publish", "--app-dir", tree, "--version", version,
                        "--base-url", "%s/%s" % (self.b.base, folder), "--extract-to", "/app",
                        "--binary-name", "/app-binary", "--server-dir",
                        os.path.join(self.b.www, folder)], check=True,
                       stdout=subprocess.DEVNULL)

    def scenario(self, folder, first, second):
        """Publishes first (version 1.0.1) then second (1.0.2) into folder; returns the two
        entries of its version list."""
        self.publish(folder, first, "1.0.1")
        if second:
            self.publish(folder, second, "1.0.2")
        with open(os.path.join(self.b.www, folder, "versions.json")) as f:
            entries = json.load(f)
        return {e["version"]: e for e in entries}

    def serve(self, folder, manifest):
        """Puts folder's documents at the root, with or without the manifest keys."""
        with open(os.path.join(self.b.www, folder, "versions.json")) as f:
            entries = json.load(f)
        if not manifest:
            entries = [{k: v for k, v in e.items() if k not in MANIFEST_KEYS} for e in entries]
        with open(os.path.join(self.b.www, "versions.json"), "w") as f:
            json.dump(entries, f, indent=4)
        shutil.copy(os.path.join(self.b.www, folder, "hashlist.json"),
                    os.path.join(self.b.www, "hashlist.json"))

    def install_state(self, xdg, tree, record, damage=None):
        """An installed tree (hard links: the updater replaces files, never writes into them)
        and its record; damage names a file whose copy gets one byte changed."""
        shutil.rmtree(xdg, ignore_errors=True)
        data_dir = os.path.join(xdg, "qv_updater")
        os.makedirs(data_dir)
        if tree:
            subprocess.run(["cp", "-al", tree, os.path.join(data_dir, "app")], check=True)
        if damage:
            path = os.path.join(data_dir, "app", damage)
            with open(path, "rb") as f:
                content = bytearray(f.read())
            content[len(content) // 2] ^= 0xFF
            os.remove(path)
            with open(path, "wb") as f:
                f.write(content)
        if record:
            with open(os.path.join(data_dir, "latestVersion.json"), "w") as f:
                json.dump(record, f, indent=4)
        if tree and record and "manifest_url" in record:
            # A user who has started the application once since installing it: the start
            # verified the tree against the manifest and kept it.
            kept = os.path.join(data_dir, "update", "manifests")
            os.makedirs(kept)
            served = os.path.join(self.b.www, record["manifest_url"].split(self.b.base + "/", 1)[1])
            shutil.copy(served, os.path.join(kept, record["manifest_sha256"] + ".json"))
        os.sync()

    # ------------------------------------------------------------------ runs
    def compare(self, name, folder, state, check, target_time, wire_target=None,
                baseline_state=None):
        """Runs ours (manifest served) and theirs (not served) from state(); check(data_dir)
        verifies the result; wire_target(ours_bytes, theirs_bytes) -> (limit, text)."""
        xdg = os.path.join(self.b.work, "perfile-run")
        env = self.b.env(xdg)
        data_dir = os.path.join(xdg, "qv_updater")
        states = (state, baseline_state or state)
        results, wire = ([], []), ([], [])
        # Alternating, one discarded warm-up run of each side.
        for i in range(self.b.args.runs + 1):
            for index, manifest in enumerate((True, False)):
                self.serve(folder, manifest)
                states[index](xdg)
                offset = os.path.getsize(self.access_log)
                m = self.run_timed([self.b.updater], env=env, stamp=self.b.stamp)
                check(data_dir)
                if i > 0:
                    results[index].append(m)
                    wire[index].append(body_bytes(self.access_log, offset))
        ours_bytes = self.median(wire[0])
        theirs_bytes = self.median(wire[1])
        extra = "wire: ours %.1f MB, theirs %.1f MB" % (ours_bytes / 1e6, theirs_bytes / 1e6)
        ratio, _ = self.b.row(name, results[0], results[1], target_time, extra=extra)
        if wire_target:
            limit, text = wire_target(ours_bytes, theirs_bytes)
            verdict = "met" if ours_bytes <= limit else "**missed**"
            self.b.notes.append("%s: %.2f MB on the wire with the manifest, %.2f MB without "
                                "(target %s ≤ %.2f MB: %s)." % (
                                    name.split(".")[0], ours_bytes / 1e6, theirs_bytes / 1e6,
                                    text, limit / 1e6, verdict))
        shutil.rmtree(xdg, ignore_errors=True)
        return ratio

    def packed_of(self, folder, version_entry, path):
        with open(os.path.join(self.b.www, folder,
                               version_entry["manifest_url"].split(folder + "/", 1)[1])) as f:
            manifest = json.load(f)
        return {x["path"]: x for x in manifest["files"]}[path]["packed"]

    def documents_bytes(self, folder, entry):
        www = os.path.join(self.b.www, folder)
        size = os.path.getsize(os.path.join(www, "versions.json"))
        size += os.path.getsize(os.path.join(www, "hashlist.json"))
        return size + entry["manifest_size"]

    def run(self):
        work = os.path.join(self.b.work, "perfile-trees")
        os.makedirs(work)
        # 64 files, 512 MiB: the binary, 7 files of 8 MiB at the top, 56 in subfolders.
        big = [("top%02d.pak" % i, 8 * MiB) for i in range(7)] + [
            ("data/part%d/pack%02d.pak" % (i % 4, i), 8 * MiB) for i in range(56)]
        v1 = os.path.join(work, "big-1")
        self.tree(v1, big)
        # 1 of 64 changed: a top-level file, so that the hash list shows the new release.
        v2 = os.path.join(work, "big-2")
        subprocess.run(["cp", "-al", v1, v2], check=True)
        os.remove(os.path.join(v2, "top00.pak"))
        self.write_random(os.path.join(v2, "top00.pak"), 8 * MiB)
        # Every file changed (the binary aside, which the stamp application must stay).
        v3 = os.path.join(work, "big-3")
        self.tree(v3, big)
        shutil.copy(os.path.join(v1, "app-binary"), os.path.join(v3, "app-binary"))
        big_a = self.scenario("pf-one", v1, v2)
        big_c = self.scenario("pf-all", v1, v3)
        shutil.rmtree(v3)

        def installed_as(tree, want):
            def check(data_dir):
                for rel in ("top00.pak", "data/part1/pack05.pak"):
                    a = os.path.join(data_dir, "app", rel)
                    b = os.path.join(tree, rel)
                    if subprocess.run(["cmp", "-s", a, b]).returncode != 0:
                        raise RuntimeError("%s: %s is not the release's" % (want, rel))
            return check

        def strip(entry):
            return {k: v for k, v in entry.items() if k not in MANIFEST_KEYS}

        packed = self.packed_of("pf-one", big_a["1.0.2"], "top00.pak")
        docs = self.documents_bytes("pf-one", big_a["1.0.2"])
        self.compare(
            "6a. Update, 1 of 64 files (8 MiB of 512 MiB) changed: per-file vs the archive",
            "pf-one", lambda x: self.install_state(x, v1, big_a["1.0.1"]),
            installed_as(v2, "6a"), 0.25,
            lambda o, t: (1.1 * packed + docs, "1.1 × the file's %.2f MB + documents" % (
                packed / 1e6)),
            baseline_state=lambda x: self.install_state(x, v1, strip(big_a["1.0.1"])))

        damaged = "data/part1/pack05.pak"
        packed_d = self.packed_of("pf-one", big_a["1.0.2"], damaged)
        self.compare(
            "6b. Repair, one damaged 8 MiB file in a subfolder: per-file vs a full installation",
            "pf-one", lambda x: self.install_state(x, v2, big_a["1.0.2"], damage=damaged),
            installed_as(v2, "6b"), 0.25,
            lambda o, t: (1.1 * packed_d + docs, "1.1 × the file's %.2f MB + documents" % (
                packed_d / 1e6)),
            baseline_state=lambda x: self.install_state(x, v2, None, damage=damaged))

        self.compare(
            "6c. Update changing every file: with the manifest (falls back) vs the archive",
            "pf-all", lambda x: self.install_state(x, v1, big_c["1.0.1"]),
            lambda d: None, 1.05, lambda o, t: (1.05 * t, "1.05 × the archive path's"),
            baseline_state=lambda x: self.install_state(x, v1, strip(big_c["1.0.1"])))
        shutil.rmtree(v1)
        shutil.rmtree(v2)

        # 20,000 small files (1 to 4 KiB) in 100 folders, and one changed at the top.
        small = [("f%03d/s%05d.dat" % (i % 100, i), 1024 + (i * 37) % 3072)
                 for i in range(20000)] + [("top.dat", 2048)]
        s1 = os.path.join(work, "small-1")
        self.tree(s1, small)
        s2 = os.path.join(work, "small-2")
        subprocess.run(["cp", "-al", s1, s2], check=True)
        os.remove(os.path.join(s2, "top.dat"))
        self.write_random(os.path.join(s2, "top.dat"), 2048)
        small_e = self.scenario("pf-small", s1, s2)
        self.compare(
            "6d. Update, 20,000 small files, one changed: per-file vs the archive",
            "pf-small", lambda x: self.install_state(x, s1, small_e["1.0.1"]),
            lambda d: None, 1.0,
            baseline_state=lambda x: self.install_state(x, s1, strip(small_e["1.0.1"])))
        self.compare(
            "6e. First installation, 20,000 small files: with the manifest vs the archive",
            "pf-small", lambda x: self.install_state(x, None, None), lambda d: None, 1.0)
        shutil.rmtree(work)
