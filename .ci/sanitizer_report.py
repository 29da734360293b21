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
import re
import sys

OURS = re.compile(r"/src/(?:module|records|camera)/|simulator/src/|tests/sim/|orx\.cpython|libORXCamera2\.so")
FRAME = re.compile(r"^\s+#\d+ ")


def blocks(text):
    """Report blocks: lines from a headline to the next blank line."""
    block = []
    for line in text.splitlines():
        if not line.strip():
            if block:
                yield block
            block = []
        else:
            block.append(line)
    if block:
        yield block


def main(known_file, paths):
    known = [k.strip() for k in open(known_file) if k.strip() and not k.startswith("#")]
    failing, known_seen, interpreter_leaks = [], [], 0
    for path in paths:
        text = open(path, errors="replace").read()
        for block in blocks(text):
            head = " ".join(block[:2])
            if re.search(r"(Direct|Indirect) leak of", block[0]):
                frames = [line for line in block if FRAME.match(line)]
                if any(OURS.search(f) for f in frames):
                    failing.append(block)
                else:
                    interpreter_leaks += 1
            elif "runtime error:" in head or "ERROR: AddressSanitizer" in head:
                if any(k in head for k in known):
                    known_seen.append(block[0] if "runtime error:" in block[0] else block[1])
                else:
                    failing.append(block)
    for line in sorted(set(known_seen)):
        print(f"known (see {known_file}): {line.strip()}")
    print(f"leaks with only interpreter or third-party frames: {interpreter_leaks}")
    for block in failing:
        print("\n".join(block[:40]))
        print()
    print(f"sanitizers: {len(failing)} report(s) in orx's own code or unknown")
    return 1 if failing else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2:]))
