"""Reads a memcheck log: prints every error and every definite loss, and
exits 1 when one of them has a frame in orx's own code (the module or the
simulator library); those of the interpreter alone are listed only."""
import re
import sys

OURS = re.compile(r"\((?:in |)[^)]*(?:/orx[^/)]*\.so|libORXCamera2\.so)|(?:/src/(?:module|records|camera)/|simulator/src/)")
HEAD = re.compile(r"^==\d+== (\S.*)$")
FRAME = re.compile(r"^==\d+==\s+(?:at|by) ")


def records(lines):
    """(headline, frames) for every error and loss record."""
    current = None
    for line in lines:
        line = line.rstrip("\n")
        if FRAME.match(line):
            if current:
                current[1].append(line)
            continue
        m = HEAD.match(line)
        if m and current is None and ("definitely lost" in m.group(1) or re.match(
                r"(Invalid|Conditional jump|Use of uninitialised|Mismatched|Syscall param|Source and destination"
                r"|Argument '|.*uninitialised)", m.group(1))):
            current = (m.group(1), [])
            continue
        if current is not None:
            yield current
            current = None
    if current:
        yield current


def main(path):
    with open(path, errors="replace") as f:
        found = list(records(f))
    ours = [r for r in found if any(OURS.search(frame) for frame in r[1])]
    for headline, frames in ours:
        print(headline)
        for frame in frames[:25]:
            print("    " + frame.split("== ", 1)[-1])
    kinds = {}
    for headline, frames in found:
        if (headline, frames) not in ours:
            kind = "definite loss" if "definitely lost" in headline else headline
            kinds[kind] = kinds.get(kind, 0) + 1
    for kind, n in sorted(kinds.items()):
        print(f"interpreter or third party only: {n} x {kind}")
    print(f"memcheck: {len(found)} records, {len(ours)} with a frame in orx's own code")
    return 1 if ours else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
