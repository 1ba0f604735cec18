#!/usr/bin/env bash
# Counts the C/C++ lines of the tree (.c .cc .cpp .h .hpp outside build/): lines with code once comments (// and /* */, not inside
# string or character literals) and blanks are dropped. Prints the test
# code, the rest and the test share.
#
# Test code is everything under tests/, and any other file that only tests
# use, decided by the host build's link graph: a library outside the
# shipped folders (common, kernel, wavedrv, relay, setup) whose every
# dependent (linked or built-before) is a test target is a test target too,
# iterated to a fixed point; targets defined under tests/ start the set.
# Programs (tools, benchmarks) are never test code, even when a test runs
# them. A source
# file is test code when every target compiling it is a test target, and a
# header when every object including it (ninja's dependency log) belongs to
# a test target. So build/host must be configured and built first
# (cmake --build --preset host); this script asks CMake's file API for the
# code model and re-runs the configure step, nothing else.
#
#   bash scripts/loc.sh [-v]     (-v: the per-folder counts and test-only
#                                 files outside tests/)
set -euo pipefail
cd "$(dirname "$0")/.."

# LOC_BUILD names another host build tree of this source (the mutation
# check's, for instance).
build=${LOC_BUILD:-build/host}
if [[ ! -f $build/build.ninja || ! -f $build/.ninja_deps ]]; then
  echo "loc: build the host preset first (cmake --preset host && cmake --build --preset host)" >&2
  exit 2
fi
mkdir -p "$build/.cmake/api/v1/query"
touch "$build/.cmake/api/v1/query/codemodel-v2"
cmake -S . -B "$build" >/dev/null
ninja -C "$build" -t deps > "$build/loc-deps.txt"

LOC_BUILD_DIR=$(cd "$build" && pwd) python3 - "$@" <<'PY'
import glob, json, os, re, sys

root = os.getcwd()
build = os.environ["LOC_BUILD_DIR"]
verbose = "-v" in sys.argv[1:]
shipped = ("common", "kernel", "wavedrv", "relay", "setup")

def top(rel):
    return rel.split(os.sep, 1)[0]

# The code model: targets, their folder, sources and dependencies.
reply = os.path.join(build, ".cmake", "api", "v1", "reply")
index = json.load(open(max(glob.glob(os.path.join(reply, "index-*.json")))))
codemodel = json.load(open(os.path.join(reply, index["reply"]["codemodel-v2"]["jsonFile"])))
config = codemodel["configurations"][0]
targets = {}
for entry in config["targets"]:
    t = json.load(open(os.path.join(reply, entry["jsonFile"])))
    targets[t["id"]] = t
dependents = {tid: set() for tid in targets}
for tid, t in targets.items():
    for dep in t.get("dependencies", []):
        dependents.setdefault(dep["id"], set()).add(tid)

def folder(t):
    return t["paths"]["source"]

test = {tid for tid, t in targets.items() if top(folder(t)) == "tests"}
changed = True
while changed:
    changed = False
    for tid, t in targets.items():
        if (tid in test or top(folder(t)) in shipped or t["type"] == "EXECUTABLE"
                or not dependents[tid]):
            continue
        if dependents[tid] <= test:
            test.add(tid)
            changed = True

# Who compiles and who includes each file.
users = {}
def use(path, is_test):
    rel = os.path.relpath(os.path.realpath(path), root)
    if not rel.startswith(".."):
        users.setdefault(rel, set()).add(is_test)

object_target = {}
for tid, t in targets.items():
    for source in t.get("sources", []):
        use(os.path.join(root, source["path"]), tid in test)
    name = t["name"]
    object_target[f"CMakeFiles/{name}.dir/"] = tid in test
deps_owner = None
for line in open(os.path.join(build, "loc-deps.txt")):
    if not line.startswith(" "):
        target = line.split(":", 1)[0]
        match = re.search(r"CMakeFiles/[^/]+\.dir/", target)
        deps_owner = object_target.get(match.group(0)) if match else None
        continue
    dep = line.strip()
    if deps_owner is not None and dep:
        use(dep if os.path.isabs(dep) else os.path.join(build, dep), deps_owner)

# Counting.
def code_lines(text):
    count, i, n = 0, 0, len(text)
    in_block = False
    has_code = False
    while i < n:
        c = text[i]
        if c == "\n":
            count += has_code
            has_code = False
            i += 1
        elif in_block:
            if text.startswith("*/", i):
                in_block = False
                i += 2
            else:
                i += 1
        elif text.startswith("//", i):
            while i < n and text[i] != "\n":
                i += 1
        elif text.startswith("/*", i):
            in_block = True
            i += 2
        elif c in "\"'":
            # A literal: up to its closing quote, escapes skipped.
            has_code = True
            i += 1
            while i < n and text[i] != c and text[i] != "\n":
                i += 2 if text[i] == "\\" else 1
            i += 1
        else:
            has_code = has_code or not c.isspace()
            i += 1
    return count + has_code

files = []
for directory, subdirs, names in os.walk(root):
    if directory == root:
        subdirs[:] = [d for d in subdirs if d not in ("build", ".git")]
    files += [os.path.relpath(os.path.join(directory, n), root) for n in names]
totals = {True: 0, False: 0}
per_folder = {}
moved = []
for rel in files:
    if not re.search(r"\.(c|cc|cpp|h|hpp)$", rel) or not os.path.exists(rel):
        continue
    used = users.get(rel, set())
    is_test = top(rel) == "tests" or (used == {True})
    lines = code_lines(open(rel, encoding="utf-8", errors="replace").read())
    totals[is_test] += lines
    key = (top(rel), is_test)
    per_folder[key] = per_folder.get(key, 0) + lines
    if is_test and top(rel) != "tests":
        moved.append((rel, lines))

if verbose:
    for (name, is_test), lines in sorted(per_folder.items()):
        print(f"  {name:<10} {'test' if is_test else 'other':<6} {lines:>6}")
    for rel, lines in sorted(moved):
        print(f"  test-only outside tests/: {rel} ({lines})")
test_lines, other = totals[True], totals[False]
share = 100.0 * test_lines / max(1, test_lines + other)
print(f"loc: test code {test_lines} lines, other {other} lines; tests are {share:.1f}% "
      f"of all C/C++ lines ({test_lines / max(1, other):.2f} x the rest)")
PY
