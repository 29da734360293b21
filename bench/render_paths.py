"""The renderer's one set of loops built two ways in one run: as every build
compiles them (vectorised by the compiler for SSE2 on x86_64, NEON on arm64)
and as plain loops alone (no vector types, no 128-bit integer, nothing
vectorised: what a compiler without these runs), optionally beside the
renderer of another commit.

    python bench/render_paths.py                  # frames compared, then timed
    python bench/render_paths.py --quick          # CI: fewer frames timed
    python bench/render_paths.py --against main   # and another commit's renderer

Every build renders the same cases with the same seeds (bench/render_paths.cpp).
Frames: every frame of the plain build must equal the vectorised build's bit
for bit (the run fails otherwise): one seed, one frame, on every target. The
other commit's frames are compared and shown, never failing the run (its
statistics may differ on purpose). Speed: the best frame time of each build
(the rendering thread's CPU time, so other work on a shared machine does not
count), the builds alternating, and the ratios to the first; the video goal
(a 1920x1080 RAW8 frame rendered and copied within the time the USB 3 link
needs to carry it) for each build, printed, never failing the run.
"""
import argparse
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

import numpy as np

REPO = pathlib.Path(__file__).resolve().parents[1]
LINK_BYTES_PER_S = 380e6  # the simulated USB 3 link at 100 % bandwidth
# the flags simulator/CMakeLists.txt gives the library, and those of ORX_SCALAR_RENDERER
LIBRARY_FLAGS = ["-ffp-contract=off", "-fno-math-errno"]
PLAIN_FLAGS = ["-DORXSIM_PLAIN_LOOPS", "-fno-tree-vectorize", "-fno-tree-slp-vectorize"]


def build(out, extra, tree=REPO):
    """The bench's driver with the renderer sources of `tree`."""
    cxx = os.environ.get("CXX", "g++")
    sources = [str(REPO / "bench" / "render_paths.cpp")]
    sources += sorted(str(p) for p in (tree / "simulator" / "src").glob("sensor*.cpp"))
    sources.append(str(tree / "simulator" / "src" / "models.cpp"))
    cmd = [cxx, "-O3", "-std=c++17", "-Wall", "-Wextra", "-Werror", *extra,
           "-I", str(tree / "include"), "-I", str(tree / "simulator" / "include"),
           "-I", str(tree / "simulator" / "src"), *sources, "-o", str(out), "-lpthread"]
    subprocess.run(cmd, check=True)
    return out


def checkout(ref, into):
    """The simulator's sources at commit `ref`, unpacked into `into`."""
    archive = subprocess.run(["git", "-C", str(REPO), "archive", ref, "simulator", "include"],
                             check=True, capture_output=True).stdout
    into.mkdir()
    subprocess.run(["tar", "-x", "-C", str(into)], input=archive, check=True)
    return into


def output_step(frame):
    values = np.unique(frame)
    values = values[values > 0]
    return int(np.gcd.reduce(values)) if values.size else 1


def compare_frames(binaries, work):
    """Per case and build: frames equal to the first build's, pixels that differ, worst difference in steps."""
    dirs = {}
    for name, exe in binaries.items():
        dirs[name] = work / ("frames-" + name)
        dirs[name].mkdir()
        listing = subprocess.run([str(exe), "dump", str(dirs[name])], check=True, capture_output=True, text=True)
        names = [line.split("\t")[0] for line in listing.stdout.splitlines()]
    first, *others = binaries
    rows, same = [], {name: True for name in others}
    for index, case in enumerate(names):
        files = sorted(dirs[first].glob(f"{index}-*.raw"))
        row = [case]
        for name in others:
            equal = off = 0
            worst = 0.0
            for f in files:
                dtype = np.uint16 if "RAW16" in case else np.uint8
                a = np.fromfile(f, dtype).astype(np.int64)
                other = dirs[name] / f.name
                b = np.fromfile(other, dtype).astype(np.int64) if other.exists() else np.zeros(0, np.int64)
                if a.shape != b.shape:
                    worst = float("inf")
                    continue
                diff = np.abs(a - b)
                equal += not diff.any()
                off += int(np.count_nonzero(diff))
                worst = max(worst, diff.max() / output_step(a))
            same[name] = same[name] and equal == len(files)
            row += [f"{equal}/{len(files)}", off, f"{worst:g}"]
        rows.append(row)
    return rows, same


def table(header, rows):
    widths = [max(len(str(r[i])) for r in [header, *rows]) for i in range(len(header))]
    line = lambda r: "  ".join(str(v).ljust(w) if i == 0 else str(v).rjust(w) for i, (v, w) in enumerate(zip(r, widths)))
    print(line(header))
    print("  ".join("-" * w for w in widths))
    for r in rows:
        print(line(r))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="CI mode: fewer frames timed")
    ap.add_argument("--frames", type=int, default=None, help="frames per case and round")
    ap.add_argument("--rounds", type=int, default=None, help="rounds, the builds alternating")
    ap.add_argument("--against", metavar="COMMIT", help="also build the renderer of this commit (e.g. main)")
    args = ap.parse_args()
    frames = args.frames or (3 if args.quick else 10)
    rounds = args.rounds or (2 if args.quick else 4)

    work = pathlib.Path(tempfile.mkdtemp(prefix="render-paths-"))
    try:
        with ThreadPoolExecutor(2) as pool:
            jobs = {"vectorised": pool.submit(build, work / "render_vec", LIBRARY_FLAGS),
                    "plain": pool.submit(build, work / "render_plain", LIBRARY_FLAGS + PLAIN_FLAGS)}
            if args.against:
                tree = checkout(args.against, work / "against")
                jobs[args.against] = pool.submit(build, work / "render_against", [], tree)
            binaries = {k: j.result() for k, j in jobs.items()}

        rows, same = compare_frames(binaries, work)
        others = list(binaries)[1:]
        print("frames against the vectorised build's (3 seeds x 2 frames per case):"
              " equal frames, pixels that differ, largest difference in output steps\n")
        header = ["case"]
        for name in others:
            header += [f"{name} equal", "px off", "steps"]
        table(header, rows)

        best = {}
        for _ in range(rounds):
            for name, exe in binaries.items():
                out = subprocess.run([str(exe), "time", str(frames)], check=True, capture_output=True, text=True)
                for line in out.stdout.splitlines():
                    case, ms, size, video = line.split("\t")
                    key = (name, case)
                    best[key] = min(best.get(key, float("inf")), float(ms))
                    best[("bytes", case)] = (int(size), video == "1")
        print(f"\nbest frame time in ms, {rounds} rounds x {frames} frames, one thread, CPU time"
              " (video cases: rendered and copied into fresh memory)\n")
        first = list(binaries)[0]
        rows = []
        for case in [c for (k, c) in best if k == first]:
            times = {name: best[(name, case)] for name in binaries}
            size, video = best[("bytes", case)]
            row = [case, *(f"{t:.2f}" for t in times.values()),
                   *(f"{times[name] / times[first]:.2f}x" for name in others)]
            goal = "-"
            if video:
                link = 1e3 * size / LINK_BYTES_PER_S
                goal = f"link {link:.2f} ms: " + ", ".join(
                    f"{name} {'met' if t <= link else 'MISSED'}" for name, t in times.items())
            rows.append(row + [goal])
        table(["case", *binaries, *(f"{name}/{first}" for name in others), "video goal"], rows)
        if not same["plain"]:
            print("\nthe plain loops render different frames", file=sys.stderr)
            return 1
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
