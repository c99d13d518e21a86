#!/usr/bin/env bash
# Builds the fuzz targets (libFuzzer under clang, with ASan and UBSan) and runs
# each for SECONDS, KELM_FUZZ_JOBS (default 2) at a time under `nice -n 19`.
#
#   fuzz/run.sh SECONDS [TARGET...]     e.g. fuzz/run.sh 600, fuzz/run.sh 60 rans_shards
#
# Targets are fuzz/targets/*.cpp (native, over src/core) and
# fuzz/targets/container.py (kelm_codec.decode/info through atheris, over
# native modules built with clang, ASan and UBSan). Everything goes to
# build/fuzz (KELM_FUZZ_DIR): binaries, corpora (seeded from real encodes by
# fuzz/make_seeds.py), crash artifacts and logs. Prints a table of
# executions, coverage (cov/ft from libFuzzer) and findings per target, and
# exits 1 when any target left a crash, leak, timeout or out-of-memory file.
# Clang and libFuzzer come from Debian's packages when missing (apt-get).
set -euo pipefail

secs="${1:?usage: fuzz/run.sh SECONDS [TARGET...]}"
shift
root="$(cd "$(dirname "$0")/.." && pwd)"
out="${KELM_FUZZ_DIR:-$root/build/fuzz}"
jobs="${KELM_FUZZ_JOBS:-2}"
mkdir -p "$out"
renice -n 19 -p $$ >/dev/null  # builds too: the machine may be running benchmarks

# --- clang with libFuzzer -----------------------------------------------------
have_fuzzer() {
    printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' \
        > "$out/probe.cpp"
    "$1" -fsanitize=fuzzer,address,undefined "$out/probe.cpp" -o "$out/probe" 2>/dev/null
}
find_cxx() {
    for c in ${CXX_FUZZ:-} clang++ clang++-19 clang++-18 clang++-17 clang++-16 clang++-15 clang++-14; do
        if command -v "$c" >/dev/null && have_fuzzer "$c"; then echo "$c"; return 0; fi
    done
    return 1
}
if ! cxx="$(find_cxx)"; then
    sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq
    # Debian ships libFuzzer and the sanitizer runtimes in libclang-rt-N-dev
    # (bookworm: N = 14, the version of its `clang`).
    $sudo apt-get install -y -qq --no-install-recommends clang >/dev/null
    v="$(clang --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -1)"
    $sudo apt-get install -y -qq --no-install-recommends "libclang-rt-$v-dev" >/dev/null ||
        $sudo apt-get install -y -qq --no-install-recommends "libclang-common-$v-dev" >/dev/null
    cxx="$(find_cxx)" || { echo "fuzz: no clang with libFuzzer after installing" >&2; exit 2; }
fi
echo "fuzz: using $cxx ($("$cxx" --version | head -1))"

# --- native targets -------------------------------------------------------------
flags=(-std=c++20 -O1 -g -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=undefined
       -fsanitize-coverage-ignorelist="$root/fuzz/coverage_ignore.txt" -I"$root/src" -Wall -Wextra)
mkdir -p "$out/obj"
# The core, instrumented for coverage, once per change of its sources.
objs=()
for src in "$root"/src/core/*/*.cpp; do
    rel="${src#"$root"/src/core/}"
    objs+=("$out/obj/${rel//\//_}.o")
done
printf '%s\n' "$root"/src/core/*/*.cpp | xargs -P "$jobs" -I{} sh -c '
    src="$1"; rel="${src#'"$root"'/src/core/}"; obj="'"$out"'/obj/$(echo "$rel" | tr / _).o"
    if [ ! -e "$obj" ] || [ "$src" -nt "$obj" ] || [ -n "$(find "'"$root"'/src/core" "'"$root"'/fuzz/coverage_ignore.txt" -newer "$obj" | head -1)" ]; then
        '"$cxx"' '"${flags[*]}"' -fsanitize=fuzzer-no-link -c "$src" -o "$obj" || exit 255
    fi' _ {}
mkdir -p "$out/bin"
native=()
for src in "$root"/fuzz/targets/*.cpp; do
    t="$(basename "$src" .cpp)"
    native+=("$t")
    bin="$out/bin/$t"
    if [ ! -e "$bin" ] || [ -n "$(find "$src" "$root/fuzz/common.hpp" "${objs[@]}" -newer "$bin" | head -1)" ]; then
        "$cxx" "${flags[@]}" -fsanitize=fuzzer "$src" "${objs[@]}" -lpthread -o "$bin"
    fi
done

# --- the container harness: modules built with clang, ASan and UBSan ----------
venv="$out/venv"
if [ ! -x "$venv/bin/python" ]; then
    python3 -m venv --system-site-packages "$venv"
    "$venv/bin/python" -m pip install -q atheris
fi
# atheris's sanitizer runtime with libFuzzer, preloaded into the interpreter.
# It lacks UBSan's C++ part, so the modules are built without the vptr and
# function checks:
# a compiler wrapper puts -fno-sanitize=vptr,function after the build's flags.
asan_rt="$("$venv/bin/python" -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so"
wrapper="$(printf '#!/bin/sh\nexec %s "$@" -fsanitize=fuzzer-no-link -fno-sanitize=vptr,function' "$(command -v "$cxx")")"
if [ "$(cat "$out/cxx-modules" 2>/dev/null)" != "$wrapper" ]; then  # a new wrapper: build afresh
    echo "$wrapper" > "$out/cxx-modules"
    chmod +x "$out/cxx-modules"
    rm -rf "$out/modules"
fi
cmake -S "$root" -B "$out/modules" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELM_SANITIZE=ON \
    -DCMAKE_CXX_COMPILER="$out/cxx-modules" -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
cmake --build "$out/modules" >/dev/null

# --- seeds ------------------------------------------------------------------------
if [ ! -e "$out/seeds/.done" ] || [ "$root/fuzz/make_seeds.py" -nt "$out/seeds/.done" ]; then
    rm -rf "$out/seeds"
    # The seeds come from real encodes by a plain build of the modules.
    cmake -S "$root" -B "$out/plain" -G Ninja -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
    cmake --build "$out/plain" >/dev/null
    PYTHONPATH="$out/plain:$root/python" python3 "$root/fuzz/make_seeds.py" "$out/seeds"
    touch "$out/seeds/.done"
fi

# --- runs ----------------------------------------------------------------------
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${native[@]}" container)
mkdir -p "$out/logs"
run_one() {  # target
    local t="$1" corpus="$out/corpus/$1" art="$out/artifacts/$1/"
    mkdir -p "$corpus" "$art" "$out/seeds/$t"
    # CPU seconds of the run, when GNU time is there.
    local timer=()
    [ -x /usr/bin/time ] && timer=(/usr/bin/time -f "%U %S" -o "$out/logs/$t.cpu")
    local opts=(-max_total_time="$secs" -rss_limit_mb=2560 -timeout=20 -max_len=16384 -print_final_stats=1
                -artifact_prefix="$art")
    if [ "$t" = container ]; then
        LD_PRELOAD="$asan_rt" ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
            PYTHONPATH="$out/modules:$root/python" \
            "${timer[@]}" nice -n 19 "$venv/bin/python" "$root/fuzz/targets/container.py" "${opts[@]}" \
            "$corpus" "$out/seeds/$t" > "$out/logs/$t.log" 2>&1 || true
    else
        "${timer[@]}" nice -n 19 "$out/bin/$t" "${opts[@]}" "$corpus" "$out/seeds/$t" > "$out/logs/$t.log" 2>&1 || true
    fi
}
export -f run_one
export out secs root venv asan_rt
printf '%s\n' "${targets[@]}" | xargs -P "$jobs" -I{} bash -c 'run_one "$1"' _ {}

# --- summary -----------------------------------------------------------------
status=0
printf '%-18s %8s %8s %12s %14s %s\n' target seconds cpu-s executions cov/ft findings
for t in "${targets[@]}"; do
    log="$out/logs/$t.log"
    execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
    last="$(grep -E '^#[0-9]+' "$log" | grep -o 'cov: [0-9]* ft: [0-9]*' | tail -1)"
    cov="$(echo "$last" | awk '{print $2 "/" $4}')"
    n="$(find "$out/artifacts/$t" -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
          -o -name 'oom-*' \) | wc -l)"
    [ "$n" -eq 0 ] || status=1
    cpu="$(awk '{printf "%.0f", $1 + $2}' "$out/logs/$t.cpu" 2>/dev/null || true)"
    printf '%-18s %8s %8s %12s %14s %s\n' "$t" "$secs" "${cpu:-?}" "${execs:-?}" "${cov:-?}" "$n"
done
exit "$status"
