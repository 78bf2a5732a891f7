#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each one for
# a bounded time from its seed corpus. Exits non-zero on any finding; the
# input that triggered it is left in build/fuzz/artifacts/.
#   QX_FUZZ_SECONDS   run time per target (default 30)
set -uo pipefail
cd "$(dirname "$0")/../.."

seconds=${QX_FUZZ_SECONDS:-30}
build=build/fuzz
generator=Ninja
command -v ninja >/dev/null || generator="Unix Makefiles"

if ! command -v clang++ >/dev/null ||
   ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
    echo "installing clang and libFuzzer"
    as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        clang libclang-rt-14-dev || exit 1
fi

cmake -S . -B "$build" -G "$generator" -DCMAKE_CXX_COMPILER=clang++ -DQX_FUZZ=ON \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null &&
    cmake --build "$build" --target fuzz_mount_record fuzz_registry fuzz_reg_file || exit 1

status=0
mkdir -p "$build/artifacts"
for target in fuzz_mount_record fuzz_registry fuzz_reg_file; do
    # Work on a copy: the committed seeds stay small.
    corpus=$(mktemp -d)
    cp tests/fuzz/corpus/"$target"/* "$corpus"/
    echo "== $target: ${seconds} s"
    if "$build/tests/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
           -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
           "$corpus" >"$build/$target.log" 2>&1; then
        grep -E "^stat::number_of_executed_units|^Done" "$build/$target.log"
        echo "-- $target: no finding"
    else
        tail -n 60 "$build/$target.log"
        echo "-- $target: FINDING (log: $build/$target.log)"
        status=1
    fi
    rm -rf "$corpus"
done
exit $status
