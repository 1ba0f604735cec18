"""Runs the planted faults of tests/mutation/faults.txt; see mutation-check.sh."""
import argparse
import filecmp
import os
import re
import shutil
import subprocess
import sys
import time

ROOT = os.getcwd()     # this tree: the fault list and build/ live here
TREE = ROOT            # the tree copied into SRC (--source)
WORK = os.path.join(ROOT, "build", "mutation")
SRC = os.path.join(WORK, "src")
BIN = os.path.join(WORK, "build")
FAULTS = os.path.join(ROOT, "tests", "mutation", "faults.txt")
TEST_TIMEOUT = "180"    # seconds per test: a hang counts as caught


def parse_faults(path):
    faults, current = [], None
    for number, line in enumerate(open(path, encoding="utf-8"), 1):
        line = line.rstrip("\n")
        if not line.strip() or line.startswith("#"):
            continue
        if line.startswith("["):
            current = {"id": line.strip("[] "), "line": number}
            faults.append(current)
            continue
        key, sep, value = line.partition("=")
        if current is None or not sep:
            sys.exit(f"{path}:{number}: expected [id] or key = value")
        current[key.strip()] = value.strip().replace("\\n", "\n")
    for fault in faults:
        missing = {"file", "labels", "what", "old", "new"} - fault.keys()
        if missing:
            sys.exit(f"{path}:{fault['line']}: fault {fault['id']} lacks {', '.join(sorted(missing))}")
    return faults


def sync_tree():
    """Copies the tree into SRC; only files whose content changed are written,
    so that they get a new time stamp and the build redoes exactly them."""
    seen = set()
    for directory, subdirs, files in os.walk(TREE):
        relative = os.path.relpath(directory, TREE)
        if relative == ".":
            subdirs[:] = [d for d in subdirs if d not in ("build", ".git")]
        for name in files:
            rel = os.path.normpath(os.path.join(relative, name))
            seen.add(rel)
            source, target = os.path.join(TREE, rel), os.path.join(SRC, rel)
            if os.path.exists(target) and filecmp.cmp(source, target, shallow=False):
                continue
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copyfile(source, target)
            shutil.copymode(source, target)
    for directory, _, files in os.walk(SRC):
        for name in files:
            rel = os.path.relpath(os.path.join(directory, name), SRC)
            if rel not in seen:
                os.remove(os.path.join(SRC, rel))


def run(command, log):
    with open(log, "w") as out:
        return subprocess.run(command, stdout=out, stderr=subprocess.STDOUT).returncode


def build(log):
    return run(["cmake", "--build", BIN, "-j2"], log) == 0


def first_failure(log):
    failed = os.path.join(BIN, "Testing", "Temporary", "LastTestsFailed.log")
    if os.path.exists(failed):
        for line in open(failed):
            if ":" in line:
                return line.strip().split(":", 1)[1]
    text = open(log).read()
    match = re.search(r"\*\*\*(Failed|Timeout|Exception)[^\n]*", text)
    return "(failed, name not found)" if match else None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--table", help="also write the table to this file")
    parser.add_argument("--source", help="plant the faults in a copy of this tree (an older "
                        "revision, say) instead of this one")
    parser.add_argument("ids", nargs="*")
    args = parser.parse_args()
    global TREE
    if args.source:
        TREE = os.path.abspath(args.source)
    faults = parse_faults(FAULTS)
    unknown = set(args.ids) - {f["id"] for f in faults}
    if unknown:
        sys.exit(f"unknown fault ids: {' '.join(sorted(unknown))}")
    if args.ids:
        faults = [f for f in faults if f["id"] in args.ids]

    started = time.time()
    os.makedirs(WORK, exist_ok=True)
    sync_tree()
    if not os.path.exists(os.path.join(BIN, "build.ninja")):
        if run(["cmake", "-S", SRC, "-B", BIN, "--preset", "host", "-DTONVANE_BENCHMARKS=OFF"],
               os.path.join(WORK, "configure.log")) != 0:
            sys.exit(f"configure failed: {WORK}/configure.log")
    print("mutation: building the unchanged tree", flush=True)
    if not build(os.path.join(WORK, "build-clean.log")):
        sys.exit(f"the unchanged tree does not build: {WORK}/build-clean.log")

    rows = []
    for fault in faults:
        t0 = time.time()
        target = os.path.join(SRC, fault["file"])
        text = open(target, encoding="utf-8").read()
        count = text.count(fault["old"])
        if count != 1:
            result = f"invalid: old text found {count} times"
        else:
            with open(target, "w", encoding="utf-8") as out:
                out.write(text.replace(fault["old"], fault["new"]))
            log = os.path.join(WORK, f"{fault['id']}.log")
            try:
                if not build(log):
                    result = "invalid: does not compile"
                else:
                    labels = "^(" + "|".join(fault["labels"].split()) + ")$"
                    failed = os.path.join(BIN, "Testing", "Temporary", "LastTestsFailed.log")
                    if os.path.exists(failed):
                        os.remove(failed)
                    code = run(["ctest", "--test-dir", BIN, "-L", labels, "--stop-on-failure",
                                "--timeout", TEST_TIMEOUT, "-j2"], log)
                    result = (first_failure(log) or "(ctest failed)") if code != 0 else "NOT CAUGHT"
            finally:
                # Written anew, so the next build compiles the file again.
                with open(target, "w", encoding="utf-8") as out:
                    out.write(text)
        seconds = int(time.time() - t0)
        rows.append((fault["id"], fault["file"], result, seconds))
        print(f"mutation: {fault['id']:<34} {result}  ({seconds} s)", flush=True)

    width = max(len(r[0]) for r in rows) if rows else 5
    fwidth = max(len(r[1]) for r in rows) if rows else 4
    lines = [f"{'fault':<{width}}  {'file':<{fwidth}}  catching test"]
    lines += [f"{r[0]:<{width}}  {r[1]:<{fwidth}}  {r[2]}" for r in rows]
    bad = [r for r in rows if r[2] == "NOT CAUGHT" or r[2].startswith("invalid")]
    lines.append(f"# {len(rows)} faults, {len(rows) - len(bad)} caught, "
                 f"{int(time.time() - started)} s")
    table = "\n".join(lines) + "\n"
    print(table, end="")
    if args.table:
        with open(args.table, "w") as out:
            out.write(table)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
