#!/bin/sh
# Build the libFuzzer target and run it, one mode after another, on one core.
#   fuzz/run.sh [runs-per-mode] [modes...]     (defaults: 250000, all four;
#   FUZZ_SECONDS=n also stops each mode after n seconds)
# Needs clang-14 and libclang-rt-14-dev.  Build dir: $FUZZ_BUILD
# (/tmp/build-fuzz); scratch server root and corpora: $FUZZ_WORK
# (/tmp/vemo-fuzz).  Crashing inputs land in $FUZZ_WORK/artifacts/.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
build=${FUZZ_BUILD:-/tmp/build-fuzz}
work=${FUZZ_WORK:-/tmp/vemo-fuzz}
runs=${1:-250000}
[ $# -gt 0 ] && shift
modes=${*:-prekey frames sealed json}
python=$(command -v python3)

cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER=clang++-14 -DPython_EXECUTABLE="$python" \
  -Dpybind11_DIR="$($python -m pybind11 --cmakedir)" >/dev/null
cmake --build "$build" -j 2

# A server root holding what the install step would put there besides the
# modules, which are built into the target.
root=$work/root
mkdir -p "$root/vemo/client-side/class" "$root/vemo/client-side/data" "$work/artifacts"
cp "$repo"/host/*.py "$root/vemo/client-side/class/"
rm -rf "$root/vemo/client-side/class/vemo_master"
cp -r "$repo/master/vemo_master" "$root/vemo/client-side/class/"
"$python" "$here/seeds.py" "$work/corpus"

export VEMO_SERVER_ROOT="$root"
export PYTHONHOME=$($python -c 'import sys; print(sys.prefix)')
export PYTHONMALLOC=malloc                         # every allocation seen by the sanitizer
export PYTHONDONTWRITEBYTECODE=1
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$here/lsan.supp:print_suppressions=0}
for mode in $modes; do
  echo "== mode $mode: $runs inputs"
  # The agent's own failure reports go to standard output: dropped.
  # Leak checks after single inputs stop the world on every Python cache
  # growth, so the search runs without them and the corpus it built is then
  # replayed with them.
  VEMO_FUZZ_MODE=$mode "$build/agent_fuzz" -runs="$runs" -timeout=20 -rss_limit_mb=4096 \
    -max_len=4096 -max_total_time="${FUZZ_SECONDS:-0}" -detect_leaks=0 -print_final_stats=1 -artifact_prefix="$work/artifacts/$mode-" \
    "$work/corpus/$mode" 2>&1 >/dev/null | grep -av '^#[0-9]*.*\(NEW\|REDUCE\)'
  echo "== mode $mode: corpus replay with leak checks"
  VEMO_FUZZ_MODE=$mode "$build/agent_fuzz" -runs=0 -timeout=20 -detect_leaks=1 \
    -artifact_prefix="$work/artifacts/$mode-" "$work/corpus/$mode" 2>&1 >/dev/null | grep -a 'INITED\|Done\|ERROR\|SUMMARY'
done
