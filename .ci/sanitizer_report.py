"""Reads the report files of a sanitizer run (ASan, LSan, UBSan; one file per
process) and decides the step:

- every AddressSanitizer error and every UndefinedBehaviorSanitizer finding
  fails, unless its place ("file:line:") is listed in .ci/sanitizer-known.txt;
- a leak fails when its allocation stack has a frame of orx's own code (the
  module or the simulator); leaks whose stacks hold only interpreter and
  third-party frames are counted, not failed (the interpreter leaves objects
  behind at exit by design).

usage: sanitizer_report.py KNOWN_FILE REPORT_FILE...
"""
import os
import re
import sys

OURS = re.compile(r"/src/(?:module|records|camera)/|simulator/src/|tests/sim/|orx\.cpython|libORXCamera2\.so")
FRAME = re.compile(r"^\s+#\d+ ")


def reports(text):
    """(headline, frames) for every report in a file: a leak record, an
    AddressSanitizer error or an UndefinedBehaviorSanitizer finding, found
    anywhere (UBSan's lines may follow pytest's progress dots on a line)."""
    current = None
    for line in text.splitlines():
        if current is not None and FRAME.match(line):
            current[1].append(line)
            continue
        if current is not None and current[0].startswith("ERROR: AddressSanitizer") and line.strip() \
                and not line.startswith("SUMMARY"):
            current[1].append(line)  # the access line and the frames below it
            continue
        if current is not None:
            yield current
            current = None
        m = re.search(r"((?:Direct|Indirect) leak of .*|ERROR: AddressSanitizer.*"
                      r"|/[^\s:]+:\d+(?::\d+)?: runtime error:.*|runtime error:.*)", line)
        if m:
            current = (m.group(1), [])
    if current is not None:
        yield current


def main(known_file, paths):
    known = [k.strip() for k in open(known_file) if k.strip() and not k.startswith("#")]
    failing, known_seen, interpreter_leaks = [], [], 0
    for path in paths:
        if not os.path.exists(path):
            continue
        text = open(path, errors="replace").read()
        for headline, frames in reports(text):
            if "leak of" in headline:
                if any(OURS.search(f) for f in frames):
                    failing.append((headline, frames))
                else:
                    interpreter_leaks += 1
            elif any(k in headline for k in known):
                known_seen.append(headline)
            else:
                failing.append((headline, frames))
    for line in sorted(set(known_seen)):
        print(f"known (see {known_file}): {line.strip()}")
    print(f"leaks with only interpreter or third-party frames: {interpreter_leaks}")
    for headline, frames in failing:
        print(headline)
        print("\n".join(frames[:40]))
        print()
    print(f"sanitizers: {len(failing)} report(s) in orx's own code or unknown")
    return 1 if failing else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2:]))
