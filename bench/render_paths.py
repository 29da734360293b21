"""The renderer's two paths side by side: SSE2 (x86_64) and the portable
scalar loops that arm64 runs, built from the same sources in one run.

    python bench/render_paths.py            # frames compared, then timed
    python bench/render_paths.py --quick    # CI: fewer frames timed

Both builds render the same cases with the same seeds (bench/render_paths.cpp).
Frames: every frame of the scalar build is compared with the SSE2 build's;
the step fails unless each pixel is the same or one output step away (the
output step: the greatest common divisor of the frame's values, 16 for a
12-bit ADC in RAW16) and such pixels are rarer than 1 in 10,000. Those are
values rounded the other way at a quantisation boundary by a last-bit
difference of the float arithmetic; a wrong star, noise draw or gain moves
far more pixels by far more. Speed: the best frame time of each path
(the rendering thread's CPU time, so other work on a shared machine does not
count), the two builds alternating, and the ratio; the video goal (a 1920x1080 RAW8 frame rendered
and copied within the time the USB 3 link needs to carry it) for each path,
printed, never failing the run.
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
# the same macros the CMake option ORX_SCALAR_RENDERER withdraws
SCALAR_FLAGS = ["-U__SSE2__", "-U__SSE3__", "-U__SSSE3__", "-U__SSE4_1__", "-U__SSE4_2__", "-U__AVX__", "-U__AVX2__"]
# a pixel one step off in fewer than this share of a frame's pixels
MAX_OFF_SHARE = 1e-4


def build(out, extra):
    cxx = os.environ.get("CXX", "g++")
    sources = [str(REPO / "bench" / "render_paths.cpp")]
    sources += sorted(str(p) for p in (REPO / "simulator" / "src").glob("sensor*.cpp"))
    sources.append(str(REPO / "simulator" / "src" / "models.cpp"))
    cmd = [cxx, "-O3", "-std=c++17", "-Wall", "-Wextra", "-Werror", *extra,
           "-I", str(REPO / "include"), "-I", str(REPO / "simulator" / "include"),
           "-I", str(REPO / "simulator" / "src"), *sources, "-o", str(out), "-lpthread"]
    subprocess.run(cmd, check=True)
    return out


def output_step(frame):
    values = np.unique(frame)
    values = values[values > 0]
    return int(np.gcd.reduce(values)) if values.size else 1


def compare_frames(binaries, work):
    """Per case: frames equal, pixels one step off, worst difference in steps."""
    dirs = {}
    for name, exe in binaries.items():
        dirs[name] = work / ("frames-" + name)
        dirs[name].mkdir()
        listing = subprocess.run([str(exe), "dump", str(dirs[name])], check=True, capture_output=True, text=True)
        names = [line.split("\t")[0] for line in listing.stdout.splitlines()]
    rows, ok = [], True
    for index, case in enumerate(names):
        files = sorted(dirs["sse2"].glob(f"{index}-*.raw"))
        equal = off = pixels = 0
        worst = 0.0
        for f in files:
            dtype = np.uint16 if "RAW16" in case else np.uint8
            a = np.fromfile(f, dtype).astype(np.int64)
            b = np.fromfile(dirs["scalar"] / f.name, dtype).astype(np.int64)
            if a.shape != b.shape:
                ok = False
                worst = float("inf")
                continue
            step = output_step(a)
            diff = np.abs(a - b)
            equal += not diff.any()
            off += int(np.count_nonzero(diff))
            pixels += a.size
            worst = max(worst, diff.max() / step)
        share = off / pixels if pixels else 1.0
        good = worst <= 1 and share < MAX_OFF_SHARE
        ok = ok and good
        rows.append((case, f"{equal}/{len(files)}", off, f"{share:.1e}", f"{worst:g}", "ok" if good else "DIFFERENT"))
    return rows, ok


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
    ap.add_argument("--rounds", type=int, default=None, help="rounds, the two builds alternating")
    args = ap.parse_args()
    frames = args.frames or (3 if args.quick else 10)
    rounds = args.rounds or (2 if args.quick else 4)

    work = pathlib.Path(tempfile.mkdtemp(prefix="render-paths-"))
    try:
        with ThreadPoolExecutor(2) as pool:
            jobs = {"sse2": pool.submit(build, work / "render_sse2", []),
                    "scalar": pool.submit(build, work / "render_scalar", SCALAR_FLAGS)}
            binaries = {k: j.result() for k, j in jobs.items()}

        rows, same = compare_frames(binaries, work)
        print("frames of the scalar path against the SSE2 path (3 seeds x 2 frames per case)\n")
        table(("case", "equal", "px off", "share", "max steps", ""), rows)

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
        rows = []
        for case in [c for (k, c) in best if k == "sse2"]:
            sse, scalar = best[("sse2", case)], best[("scalar", case)]
            size, video = best[("bytes", case)]
            goal = "-"
            if video:
                link = 1e3 * size / LINK_BYTES_PER_S
                goal = (f"link {link:.2f} ms: sse2 {'met' if sse <= link else 'MISSED'},"
                        f" scalar {'met' if scalar <= link else 'MISSED'}")
            rows.append((case, f"{sse:.2f}", f"{scalar:.2f}", f"{scalar / sse:.2f}x", goal))
        table(("case", "sse2", "scalar", "scalar/sse2", "video goal"), rows)
        if not same:
            print("\nthe scalar path renders different frames", file=sys.stderr)
            return 1
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
