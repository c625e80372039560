#!/usr/bin/env bash
# Runs the tests of drel_ml on this machine, installing what the tests need.
#
#   scripts/test.sh                 build and install drel_ml, then the Python suite
#                                   (python3) and the C++ core suite
#   scripts/test.sh --all           everything CI runs: all of the options below
#   scripts/test.sh --all-pythons   the Python suite on every supported interpreter
#   scripts/test.sh --sanitize      also the C++ core suite under ASan+UBSan
#   scripts/test.sh --fuzz SECONDS  also fuzz the snapshot reader for SECONDS (clang)
#   scripts/test.sh --suites        also every suite in scripts/suites/*.sh
#
# The suites run in name order, each with bash and these variables: DREL_ROOT
# (the checkout), DREL_WORK (a scratch folder), DREL_PYTHON (the interpreter of
# a venv that has drel_ml and its test extra; Python 3.12 when present),
# DREL_JOBS (parallel build jobs), DREL_CORE_BUILD (the C++ core suite's
# Release build folder, which a suite may reuse instead of building the core
# again). A suite installs whatever else it needs into that venv and exits
# non-zero on failure.
#
# Builds are kept in build/ between runs, so a second run rebuilds only what
# changed. Exits non-zero on any failure, including a suite that ran no test.
#
# The machine has two cores and most tests use one: so each interpreter's
# pytest runs beside the next build, and the fuzzer (one process once built)
# beside the suites of scripts/suites/ that follow the determinism suite's
# builds, which would otherwise leave a core idle. Such a part's output is kept
# in build/test/*.log and shown, in order, when it ends; a failure there fails
# the run as well.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work="$root/build/test"
all_pythons=0 sanitize=0 fuzz_seconds=0 suites=0
while [ $# -gt 0 ]; do
  case "$1" in
    --all) all_pythons=1 sanitize=1 fuzz_seconds=60 suites=1 ;;
    --all-pythons) all_pythons=1 ;;
    --sanitize) sanitize=1 ;;
    --fuzz) fuzz_seconds="${2:?--fuzz needs a number of seconds}"; shift ;;
    --suites) suites=1 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
  shift
done
jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))

say() { printf '\n== %s ==  (%ss)\n' "$*" "$SECONDS"; }

# Parts that run beside the others: `beside NAME COMMAND...` starts one, with
# its output in $work/NAME.log; `collect` waits for each in the order started,
# shows its output, and returns non-zero if any failed.
beside_names=() beside_pids=()
beside() {
  local name="$1"; shift
  say "$name: started beside the rest (output when it ends)"
  # In a session of its own, so that an early exit ends it with all it started.
  setsid "$@" > "$work/$name.log" 2>&1 &
  beside_names+=("$name") beside_pids+=($!)
}
end_beside() {
  local pid
  for pid in "${beside_pids[@]}"; do kill -- "-$pid" 2>/dev/null || true; done
}
trap end_beside EXIT
collect() {
  local i failed=0
  for i in "${!beside_pids[@]}"; do
    if wait "${beside_pids[$i]}"; then
      say "${beside_names[$i]}: done"
      cat "$work/${beside_names[$i]}.log"
    else
      say "${beside_names[$i]}: FAILED"
      cat "$work/${beside_names[$i]}.log"
      failed=1
    fi
  done
  beside_names=() beside_pids=()
  return "$failed"
}

need_debian_packages() {
  local missing=()
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  say "installing ${missing[*]}"
  local sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# Supported interpreters: 3.11, 3.12, 3.13 (pyenv names them python3.X).
pythons=()
if [ "$all_pythons" -eq 1 ]; then
  PYENV_VERSION="${PYENV_VERSION:-$(pyenv versions --bare 2>/dev/null | grep -E '^3\.1[123]\.' | tr '\n' ':' | sed 's/:$//' || true)}"
  export PYENV_VERSION
  for v in 3.11 3.12 3.13; do
    if command -v "python$v" >/dev/null 2>&1 && "python$v" -c '' 2>/dev/null; then
      pythons+=("python$v")
      continue
    fi
    # Without pyenv's shims on PATH, its interpreters are still where it put them.
    found=""
    for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$v".*/bin/"python$v"; do
      if [ -x "$candidate" ]; then found="$candidate"; break; fi
    done
    # A supported interpreter that is missing is a failure, not a skipped suite.
    [ -n "$found" ] || { echo "Python $v is not available (pyenv install $v)" >&2; exit 1; }
    pythons+=("$found")
  done
else
  pythons+=(python3)
fi

run_python_suite() {
  local py="$1" venv
  version=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  venv="$work/venv-$version"
  say "Python $version: install drel_ml with its test extra"
  [ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q "$root[test]"
  # Run from outside the source tree so the installed module is the one tested.
  beside "Python $version: pytest" \
    bash -c 'cd "$1" && "$2" -m pytest "$3/tests/python" -q -p no:cacheprovider' \
    _ "$work" "$venv/bin/python" "$root"
}

start_fuzzer() {
  need_debian_packages clang-16 libclang-rt-16-dev
  beside "fuzzing the snapshot reader for ${fuzz_seconds}s" \
    env DREL_FUZZ_BUILD_DIR="$work/fuzz" CXX=clang++-16 bash "$root/tests/fuzz/run.sh" "$fuzz_seconds"
}

# The suites in name order; the fuzzer, when asked for, starts once the last
# suite that builds with every core is done (20-determinism), or before the
# first suite if there is no such suite.
run_extra_suites() {
  local suite name fuzzing=0
  for suite in "$root"/scripts/suites/*.sh; do
    [ -e "$suite" ] || continue
    name=$(basename "$suite" .sh)
    if [ "$fuzz_seconds" -gt 0 ] && [ "$fuzzing" -eq 0 ] && [[ "$name" > 20-determinism ]]; then
      start_fuzzer; fuzzing=1
    fi
    say "suite $name"
    DREL_ROOT="$root" DREL_WORK="$work" DREL_PYTHON="$suite_python" DREL_JOBS="$jobs" \
      DREL_CORE_BUILD="$work/core" bash "$suite"
  done
  if [ "$fuzz_seconds" -gt 0 ] && [ "$fuzzing" -eq 0 ]; then start_fuzzer; fi
}

run_core_suite() {
  local name="$1"; shift
  local dir="$work/$name"
  say "C++ core tests ($name)"
  cmake -S "$root" -B "$dir" -G Ninja -DDREL_BUILD_PYTHON=OFF -DDREL_BUILD_TESTS=ON "$@" >/dev/null
  # The build's progress is kept out of the way; its output shows when it fails.
  ninja -C "$dir" -j "$jobs" > "$dir/build.log" 2>&1 || { cat "$dir/build.log"; return 1; }
  run_test_shards "$dir/drel_core_tests"
}

# The test program as a few processes at once, each running a shard of its
# tests (googletest's own sharding), rather than a process per test as ctest
# starts them: under the sanitizers, starting 1,000 processes took twice as
# long as the tests. Two shards a core, as a few tests take much longer than
# the rest. Quiet: the output of each failed or skipped test and each shard's
# summary. A program that ran no test fails.
run_test_shards() {
  local program="$1" shards=$((2 * jobs)) i count failed=0 ran=0 pids=()
  for ((i = 0; i < shards; i++)); do
    GTEST_TOTAL_SHARDS="$shards" GTEST_SHARD_INDEX="$i" GTEST_COLOR=no \
      "$program" > "$program.shard-$i.log" 2>&1 &
    pids+=("$!")
  done
  for i in "${!pids[@]}"; do
    wait "${pids[$i]}" || failed=1
    { grep -vE '^\[ (RUN|      OK) |^\[----------\]|^Running main|^Note: This is test shard|^$' \
        "$program.shard-$i.log" || true; } | sed "s|^|shard $((i + 1))/$shards: |"
    count=$(sed -nE 's/^\[==========\] ([0-9]+) tests? from .* ran\..*/\1/p' "$program.shard-$i.log")
    ran=$((ran + ${count:-0}))
  done
  if [ "$ran" -eq 0 ]; then echo "$program ran no test" >&2; return 1; fi
  return "$failed"
}

mkdir -p "$work"
need_debian_packages libgtest-dev ccache
# Every interpreter's build compiles the same core objects and precompiled
# standard headers: a compiler cache in the work folder compiles them once.
# It starts empty in a fresh checkout, so a clean run still builds everything
# once. The headers it precompiles define nothing of ours (pch_defines).
export CCACHE_DIR="$work/ccache" CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1 CCACHE_MAXSIZE=2G \
  CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime \
  CMAKE_CXX_COMPILER_LAUNCHER=ccache
suite_python=""
for py in "${pythons[@]}"; do
  run_python_suite "$py"
  if [ -z "$suite_python" ] || [ "$version" = 3.12 ]; then suite_python="$work/venv-$version/bin/python"; fi
done
# With the suites, the core suite's build also holds the determinism suite's
# GCC -O2 program (see there).
core_options=()
if [ "$suites" -eq 1 ]; then core_options+=(-DDREL_BUILD_DETERMINISM=ON); fi
run_core_suite core "${core_options[@]}"
if [ "$sanitize" -eq 1 ]; then
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_core_suite core-sanitized -DCMAKE_BUILD_TYPE=Debug -DDREL_SANITIZE=ON
fi
collect
# Alone, the fuzzer runs now; with the suites, beside them (run_extra_suites).
if [ "$fuzz_seconds" -gt 0 ] && [ "$suites" -eq 0 ]; then start_fuzzer; collect; fi
if [ "$suites" -eq 1 ]; then run_extra_suites; collect; fi
say "all tests passed"
