"""Instructions per call, counted by valgrind's callgrind: the deterministic
companion of the call-overhead table of run.py (timings on a shared machine
move; instruction counts do not).

    python bench/callgrind_calls.py

Each case runs in a child process under callgrind twice, with 10000 and
50000 calls; the difference divided by 40000 is the cost of one call plus one
turn of the loop, and the bare loop's own count is taken off. The collector is off during the loop, as in run.py's timings. Needs valgrind.
"""
import os
import shutil
import subprocess
import sys

CHILD = r"""
import gc, operator, sys
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
env = dict(f=operator.is_, g=orx.get_control_value, s=orx.set_control_value, st=orx.get_exp_status,
           h=orx.handle_error_code, c=cam, G=G, v=v)
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


def instructions(src, n):
    # the interpreter itself, not a launcher script in front of it
    python = os.path.realpath(sys.executable)
    env = dict(os.environ, PYTHONHASHSEED="0")  # the same dict layouts in every run
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
    count = lambda src: (instructions(src, 50000) - instructions(src, 10000)) / 40000
    per = {label: (count(src), count(lib) if lib else 0.0) for label, src, lib in CASES}
    loop = per.pop("bare loop")[0]
    floor = per["operator.is_(1, 2)"][0] - loop
    print(f"Instructions per call (callgrind; the bare loop's {loop:.0f} taken off)\n")
    print("```")
    print(f"{'call':44s} {'orx':>6s} {'library':>8s} {'orx-lib':>8s} {'(orx-lib)/is_':>14s}")
    for label, (total, lib) in per.items():
        n = total - loop
        print(f"{label:44s} {n:6.0f} {lib:8.0f} {n - lib:8.0f} {(n - lib) / floor:14.1f}")
    print("```")
    return 0


if __name__ == "__main__":
    sys.exit(main())
