"""Allocation failures while the module is made, at every position.

    python tests/programs/import_nomemory.py [--stride K] [--python EXE]

A child process fails the n-th memory allocation of the module's creation
and execution (the import system's _imp steps, under CPython's test hook
_testcapi.set_nomemory), then the (n+1)-th of the next attempt, and so on,
until an attempt succeeds; `import orx` must then give the complete module,
working. Each failed attempt must raise MemoryError or ImportError; the
interpreter's own SystemError for a call that lost its MemoryError is
counted apart. The parent starts the next child just past the position
where the last one succeeded and stops when attempts keep succeeding at once
(the module allocates nothing more). `--stride K` tries every K-th position
only. Separately, `--fresh N` runs N processes that each fail one position,
spread over the whole range, and then import normally. Exit status 1 on any
finding.
"""
import argparse
import json
import os
import subprocess
import sys

CHILD = r"""
import _imp, importlib.util, json, re, sys, traceback, typing, enum, atexit, _testcapi
start, stride, once = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3] == "once"
spec = importlib.util.find_spec("orx")
lost = re.compile(r"(<function [\w.]+ at 0x[0-9a-f]+>|_PyEval_EvalFrameDefault) returned NULL without setting an exception")
n, failures, interpreter, findings = start, 0, 0, []
while True:
    _testcapi.set_nomemory(n, n + 1)
    try:
        _imp.exec_dynamic(_imp.create_dynamic(spec))
    except BaseException as e:
        _testcapi.remove_mem_hooks()
        failures += 1
        if type(e) is SystemError and lost.fullmatch(str(e)):
            interpreter += 1
        elif not isinstance(e, (MemoryError, ImportError)) or (isinstance(e, ImportError) and "orx" not in str(e)):
            findings.append(f"position {n}: {type(e).__name__}: {e}\n" + traceback.format_exc()[-1500:])
        if once:
            break
        n += stride
        continue
    _testcapi.remove_mem_hooks()
    break
# the module a first import makes, and working
try:
    import orx
    names = [list(vars(orx))] + [sorted(dir(getattr(orx, t))) for t in
                                 ("CameraInfo", "ControlCaps", "GpsData", "Id", "SupportedMode")]
    info = orx.get_camera_property(0)
    assert info.name and info.max_width > 0
    assert orx.handle_error_code(0) is None
    try:
        orx.open_camera(-5)
    except orx.ORXInvalidID as e:
        assert e.__traceback__ is not None
    assert orx.ControlType(1) is orx.ControlType.ORX_EXPOSURE
    assert orx.get_control_value.__annotations__["control_type"] == "ControlType"
    cam = info.camera_id
    orx.open_camera(cam); orx.init_camera(cam)
    assert orx.get_control_caps(cam, 0).name
    orx.set_control_value(cam, orx.ControlType.ORX_GAIN, 10, False)
    assert orx.get_control_value(cam, orx.ControlType.ORX_GAIN) == (10, False)
    orx.close_camera(cam)
except BaseException as e:
    findings.append(f"after failures up to position {n}: {type(e).__name__}: {e}\n" + traceback.format_exc()[-1500:])
    names = []
print(json.dumps({"succeeded_at": n, "failures": failures, "interpreter": interpreter, "findings": findings,
                  "names": names}))
"""


def child(python, position, stride, once=False):
    proc = subprocess.run([python, "-c", CHILD, str(position), str(stride), "once" if once else "sweep"],
                          capture_output=True, text=True, timeout=600)
    if proc.returncode != 0:
        return None, f"child at position {position}: exit status {proc.returncode}\n{proc.stderr[-2000:]}"
    return json.loads(proc.stdout.strip().splitlines()[-1]), None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--stride", type=int, default=1)
    parser.add_argument("--fresh", type=int, default=0)
    parser.add_argument("--python", default=sys.executable)
    args = parser.parse_args()
    reference = json.loads(subprocess.run(
        [args.python, "-c", "import json, orx; print(json.dumps([list(vars(orx))] + [sorted(dir(getattr(orx, t)))"
                            " for t in ('CameraInfo', 'ControlCaps', 'GpsData', 'Id', 'SupportedMode')]))"],
        capture_output=True, text=True, check=True).stdout)
    findings = []
    counts = {"positions": 0, "children": 0, "interpreter": 0}

    def take(report, error):
        counts["children"] += 1
        if error:
            findings.append(error)
            return
        findings.extend(report["findings"])
        # the same names in the same order, the record types with the same attributes
        if report["names"] and report["names"] != reference:
            findings.append(f"module after failures up to {report['succeeded_at']} differs from a plain import's")
        counts["positions"] += report["failures"]
        counts["interpreter"] += report["interpreter"]

    position, quiet = 0, 0
    while quiet < 20:  # twenty attempts in a row that allocate nothing at the position
        report, error = child(args.python, position, args.stride)
        take(report, error)
        quiet = quiet + 1 if report and report["failures"] == 0 else 0
        position = (report["succeeded_at"] if report else position) + args.stride
    end = position - 20 * args.stride
    print(f"sweep: {counts['positions']} allocation positions failed (stride {args.stride}, positions 0 to {end}) "
          f"in {counts['children']} processes; {counts['interpreter']} lost their MemoryError inside the interpreter")
    if args.fresh:
        before = dict(counts)
        for i in range(args.fresh):
            take(*child(args.python, i * end // args.fresh, 1, once=True))
        print(f"fresh: {counts['children'] - before['children']} processes each failed one position "
              f"(0 to {end}), then imported the module")
    print(f"{len(findings)} findings")
    for f in findings[:50]:
        print("  " + f)
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
