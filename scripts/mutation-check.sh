#!/usr/bin/env bash
# The mutation check (on demand, not in CI): plants each fault of
# tests/mutation/faults.txt alone in one scratch copy of the tree
# (build/mutation/src), rebuilds one incremental host build
# (build/mutation/build), runs only the CTest labels of the fault's file,
# stopping at the first failure, and puts the file back. A fault that does
# not compile is "invalid". Prints the table (fault, file, first failing test)
# and exits non-zero when a fault is invalid or no test caught it.
#
#   bash scripts/mutation-check.sh [--table FILE] [--source TREE] [ID ...]
#
# --source plants the faults in a copy of another tree (a checkout of an
# older revision, to compare suites); the fault list is always this one.
set -euo pipefail
cd "$(dirname "$0")/.."
exec python3 scripts/mutation_check.py "$@"
