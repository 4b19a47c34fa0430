#!/usr/bin/env bash
# Line and branch coverage of the code under test reached by the fuzzers'
# corpora: builds the fuzz targets once more with clang's source-based
# coverage, replays every corpus input and prints llvm-cov's report for the
# files each target tests.
#   fuzz/coverage.sh [FUZZ_BUILD_DIR]   (default build/linux-fuzz)
# The work corpora of FUZZ_BUILD_DIR (fuzz/work/<target>/corpus) are replayed
# together with the seed corpora in fuzz/corpus/.
set -eu
cd "$(dirname "$0")/.."
fuzz_build=${1:-build/linux-fuzz}
cov_build=$fuzz_build-coverage
flags="-fprofile-instr-generate -fcoverage-mapping"
cmake --preset linux-fuzz -B "$cov_build" -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
cmake --build "$cov_build" -j 2 >/dev/null

declare -A sources=(
  [line_split]="bridge/line_protocol.h bridge/line_protocol.cpp"
  [profile_text]="transport/profile_text.cpp"
  [report_descriptor]="transport/hidraw/report_descriptor.cpp"
  [transport_core]="transport/discovery.cpp transport/interface.cpp transport/transfer.cpp transport/zelkhid.cpp"
)
for target in line_split profile_text report_descriptor transport_core; do
  profiles=$cov_build/profiles/$target
  rm -rf "$profiles" && mkdir -p "$profiles"
  corpora=(fuzz/corpus/$target)
  [[ -d $fuzz_build/fuzz/work/$target/corpus ]] && corpora+=("$fuzz_build/fuzz/work/$target/corpus")
  LLVM_PROFILE_FILE="$profiles/%p.profraw" "$cov_build/bin/${target}_fuzzer" -runs=0 \
    "${corpora[@]}" >/dev/null 2>&1
  llvm-profdata merge -sparse "$profiles"/*.profraw -o "$profiles/merged.profdata"
  echo "== $target (${corpora[*]})"
  # shellcheck disable=SC2086
  llvm-cov report "$cov_build/bin/${target}_fuzzer" -instr-profile="$profiles/merged.profdata" \
    ${sources[$target]}
done
