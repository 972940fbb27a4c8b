#!/usr/bin/env bash
# Runs the end-to-end tests once with the proxy under valgrind memcheck (the soak excepted: it is
# about counts and memory over time, and too slow under valgrind). Fails on any test failure or
# valgrind report.
#
#   tests/valgrind/run.sh BUILD_DIR      a build without sanitizers (valgrind cannot run those)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 1; }
if grep -q '^MIVREL_SANITIZE:BOOL=ON' "$build/CMakeCache.txt"; then
  echo "$build is a sanitizer build; valgrind needs a plain one" >&2
  exit 1
fi

export MIVREL_MEMCHECK_TARGET="$build/mivrel"
export MIVREL_BINARY="$root/tests/valgrind/mivrel-memcheck"
export MIVREL_BLOG_HOST=$(sed -n 's/^MIVREL_BLOG_HOST:STRING=//p' "$build/CMakeCache.txt")
export PYTHONDONTWRITEBYTECODE=1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export MIVREL_MEMCHECK_RUNS="$work/runs"
: >"$MIVREL_MEMCHECK_RUNS"

# two groups side by side: the 60 s idle-server test alone, everything else in the other
modules=()
for file in "$root"/tests/e2e/test_*.py; do
  module=$(basename "$file" .py)
  case "$module" in
    test_soak) ;;
    test_idle) modules+=(test_idle.IdleBrowser) ;;
    *) modules+=("$module") ;;
  esac
done
cd "$root/tests/e2e"
started=$(date +%s)
python3 -m unittest test_idle.IdleServer >"$work/server.log" 2>&1 &
server_job=$!
rc=0
python3 -m unittest "${modules[@]}" >"$work/rest.log" 2>&1 || rc=1
wait "$server_job" || rc=1
for log in "$work/rest.log" "$work/server.log"; do
  if [ "$rc" -ne 0 ]; then
    cat "$log"
  else
    tail -n 3 "$log"
  fi
done
echo "memcheck: $(wc -l <"$MIVREL_MEMCHECK_RUNS") proxy runs of ${modules[*]} test_idle.IdleServer" \
  "in $(( $(date +%s) - started )) s: $([ "$rc" -eq 0 ] && echo 'no error' || echo FAILED)"
exit $rc
