"""Instructions per call, counted by valgrind's callgrind: the deterministic
companion of the call-overhead table of run.py (timings on a shared machine
move; instruction counts do not).

    python bench/callgrind_calls.py

Each case runs in a child process under callgrind twice, with 10000 and
50000 calls; the difference divided by 40000 is the cost of one call plus one
turn of the loop, and the bare loop's own count is taken off. The collector is off during the loop, as in run.py's timings. Needs valgrind.

Beside orx's calls run peers written with nanobind (bench/nanobind_peer:
the same header, linked to the same camera library file), built here for
the running interpreter with nanobind from PyPI in a temporary folder (needs
pip, cmake and a C++ compiler; the rows are left out, with the reason, when
they cannot be built). Each child asserts that the peer and orx give the
same result before it counts.
"""
import os
import shutil
import subprocess
import sys
import tempfile

CHILD = r"""
import gc, operator, os, sys
import orx, orxsim
cam = orxsim.add_camera({"model": "guide", "width": 640, "height": 480})
orx.open_camera(cam); orx.init_camera(cam)
G = orx.ControlType.ORX_GAIN
v = orx.get_control_value(cam, G)[0]
src = sys.argv[1]
if src.startswith("ORX"):  # the library call alone, looped in C
    orxsim.time_call(src, cam, 100)
    orxsim.time_call(src, cam, int(sys.argv[2]))
    sys.exit(0)
peer = {}
if src.startswith("nb_"):  # the peers, calling the same simulator as orx
    sys.path.insert(0, os.environ["ORX_NANOBIND_PEER"])
    import orx_nanobind_peer as nb
    peer = dict(nb_g=nb.get_control_value, nb_s=nb.set_control_value, nb_st=nb.get_exp_status,
                nb_h=nb.handle_error_code)
    assert nb.get_control_value(cam, int(G)) == orx.get_control_value(cam, G)
    assert nb.set_control_value(cam, int(G), v, False) == orx.set_control_value(cam, G, v, False)
    assert nb.get_control_value(cam, int(G)) == orx.get_control_value(cam, G)
    assert nb.get_exp_status(cam) == orx.get_exp_status(cam) and type(nb.get_exp_status(cam)) is int
    assert nb.handle_error_code(0) == orx.handle_error_code(0)
env = dict(f=operator.is_, g=orx.get_control_value, s=orx.set_control_value, st=orx.get_exp_status,
           h=orx.handle_error_code, c=cam, G=G, v=v, **peer)
exec("def loop(n, " + ", ".join(f"{k}={k}" for k in env) + "):\n    for _ in range(n):\n        " + src, env)
env["loop"](100)
gc.disable()  # as in run.py's timing loops
env["loop"](int(sys.argv[2]))
"""

CASES = [  # (label, loop body or library function, library function it makes)
    ("bare loop", "pass", None),
    ("operator.is_(1, 2)", "f(1, 2)", None),
    ("get_control_value(cam, ORX_GAIN)", "g(c, G)", "ORXGetControlValue"),
    ("set_control_value(cam, ORX_GAIN, v, False)", "s(c, G, v, False)", "ORXSetControlValue"),
    ("get_exp_status(cam)", "st(c)", "ORXGetExpStatus"),
    ("handle_error_code(0)", "h(0)", None),
]
# orx's call -> its nanobind peer's case
PEER_CASES = {
    "get_control_value(cam, ORX_GAIN)": ("nanobind get_control_value(cam, 0)", "nb_g(c, 0)", "ORXGetControlValue"),
    "set_control_value(cam, ORX_GAIN, v, False)": ("nanobind set_control_value(cam, 0, v, False)",
                                                   "nb_s(c, 0, v, False)", "ORXSetControlValue"),
    "get_exp_status(cam)": ("nanobind get_exp_status(cam)", "nb_st(c)", "ORXGetExpStatus"),
    "handle_error_code(0)": ("nanobind handle_error_code(0)", "nb_h(0)", None),
}


def nanobind_peer(work):
    """Builds the nanobind peer into `work`; its folder, or None and why not."""
    here = os.path.dirname(os.path.abspath(__file__))
    try:
        import orxsim
        library = orxsim.camera_library()
        subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--target", os.path.join(work, "nb"),
                        "nanobind"], check=True, capture_output=True, text=True)
        cmake_dir = os.path.join(work, "nb", "nanobind", "cmake")
        build = os.path.join(work, "build")
        subprocess.run(["cmake", "-S", os.path.join(here, "nanobind_peer"), "-B", build,
                        "-DCMAKE_BUILD_TYPE=Release", f"-DPython_EXECUTABLE={sys.executable}",
                        f"-Dnanobind_DIR={cmake_dir}", f"-DORX_CAMERA_LIBRARY_FILE={library}"],
                       check=True, capture_output=True, text=True)
        subprocess.run(["cmake", "--build", build, "-j2"], check=True, capture_output=True, text=True)
    except (OSError, RuntimeError, subprocess.CalledProcessError) as e:
        detail = getattr(e, "stderr", "") or ""
        return None, f"{e} {detail[-2000:]}"
    return build, ""


def instructions(src, n, peer=None):
    # the running interpreter as it was started: in a virtual environment its
    # own path (the base interpreter behind it would not see the packages)
    python = sys.executable
    env = dict(os.environ, PYTHONHASHSEED="0")  # the same dict layouts in every run
    if peer:
        env["ORX_NANOBIND_PEER"] = peer
    out = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", python, "-c", CHILD,
                          src, str(n)], capture_output=True, text=True, check=True, env=env).stderr
    for line in out.splitlines():
        if "Collected :" in line:
            return int(line.split(":")[-1].strip().replace(",", ""))
    raise RuntimeError("no instruction count from callgrind:\n" + out)


def main():
    if not shutil.which("valgrind"):
        print("valgrind not found")
        return 1
    with tempfile.TemporaryDirectory() as work:
        peer, why = nanobind_peer(work)
        cases = CASES + list(PEER_CASES.values()) if peer else CASES
        counted = {}

        def count(src):  # each loop body counted once
            if src not in counted:
                counted[src] = (instructions(src, 50000, peer) - instructions(src, 10000, peer)) / 40000
            return counted[src]
        per = {label: (count(src), count(lib) if lib else 0.0) for label, src, lib in cases}
    loop = per.pop("bare loop")[0]
    floor = per["operator.is_(1, 2)"][0] - loop
    print(f"Instructions per call (callgrind; the bare loop's {loop:.0f} taken off)\n")
    print("```")
    print(f"{'call':46s} {'orx':>6s} {'library':>8s} {'orx-lib':>8s} {'(orx-lib)/is_':>14s}")
    for label, (total, lib) in per.items():
        n = total - loop
        print(f"{label:46s} {n:6.0f} {lib:8.0f} {n - lib:8.0f} {(n - lib) / floor:14.1f}")
    print("```")
    if peer:
        print()
        for ours, (theirs, _, _) in PEER_CASES.items():
            a, b = per[ours][0] - loop, per[theirs][0] - loop
            print(f"{ours.split('(')[0]}: orx / nanobind = {a:.0f} / {b:.0f} = {a / b:.3f}")
    else:
        print("\nnanobind peer not built: " + why)
    return 0


if __name__ == "__main__":
    sys.exit(main())
