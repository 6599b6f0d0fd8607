#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, AddressSanitizer + UndefinedBehaviorSanitizer)
# into build-fuzz/, generates the seed corpus, runs each harness for the given
# number of seconds (default 40), then replays every input that ever crashed
# (fuzz/regressions/). Exits non-zero on any crash, leak, timeout, sanitizer report
# or open that allocates beyond its budget (fuzz/OpenGuard.h).
#
#   scripts/fuzz.sh [seconds-per-harness]
#
# Harnesses: fuzz_open (the open sequence alone, thousands of inputs a second,
# inputs up to 1 MB), fuzz_slide (every read path on an opened slide, inputs up
# to 64 KB), fuzz_codecs (the memory codecs).
#
# New inputs found by a run stay in build-fuzz/work/<harness>/ and are reused by
# the next run; crash files land in build-fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-40}
build=build-fuzz

# clang and its runtime (libFuzzer, sanitizers) and the LLVM OpenMP runtime.
missing=()
for p in clang libclang-rt-14-dev libomp-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "fuzz: installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

cmake -S fuzz -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2

rm -rf "$build/corpus"
"$build/make_corpus" "$build/corpus"
mkdir -p "$build/artifacts" "$build/work/open" "$build/work/slide" "$build/work/codecs"

export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=0:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# -max_len: slides up to 1 MB for the open harness and 64 KB for the read paths,
# codec streams up to 16 KB. -malloc_limit_mb stops any single allocation above
# 1 GB; the open guard bounds the sum of what open allocates.
common=(-timeout=10 -rss_limit_mb=3072 -malloc_limit_mb=1024 -print_final_stats=1
        -artifact_prefix="$build/artifacts/")
status=0

run() {  # harness, max_len, corpus name
  local harness=$1 maxlen=$2 name=$3 log="$build/$1.log"
  echo "fuzz: $harness for ${seconds} s (log: $log)"
  if "$build/$harness" "${common[@]}" -max_len="$maxlen" -max_total_time="$seconds" \
       "$build/work/${harness#fuzz_}" "$build/corpus/$name" >"$log" 2>&1; then
    { grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$log" || true; } |
      sed "s/^/fuzz: $harness /"
    { grep -E '^#[0-9]+[[:space:]]+DONE' "$log" || true; } | tail -1 | sed "s/^/fuzz: $harness /"
  else
    echo "fuzz: $harness FAILED:"
    { grep -E 'ERROR|SUMMARY|runtime error|Test unit written|==[0-9]+==' "$log" || true; } | head -20
    status=1
  fi
}

run fuzz_open 1048576 slide
run fuzz_slide 65536 slide
run fuzz_codecs 16384 codecs

# Every input that ever crashed, replayed once through its harness; the slide
# inputs through both slide harnesses.
for harness in fuzz_open fuzz_slide fuzz_codecs; do
  dir=fuzz/regressions/${harness#fuzz_}
  [ "$harness" = fuzz_open ] && dir=fuzz/regressions/slide
  [ -d "$dir" ] || continue
  files=("$dir"/*)
  [ -e "${files[0]}" ] || continue
  echo "fuzz: replaying ${#files[@]} regression inputs through $harness"
  if ! "$build/$harness" -timeout=10 -rss_limit_mb=3072 -malloc_limit_mb=1024 -runs=1 "${files[@]}" \
       >"$build/$harness-regressions.log" 2>&1; then
    echo "fuzz: $harness regression FAILED:"
    { grep -E 'ERROR|SUMMARY|runtime error|Running:' "$build/$harness-regressions.log" || true; } | tail -20
    status=1
  fi
done

[ $status -eq 0 ] && echo "fuzz: no crash, leak, timeout or sanitizer report"
exit $status
