#!/usr/bin/env bash
# Builds the decode_line fuzzer with clang's libFuzzer, address and undefined-behaviour
# sanitizers, seeds it from the codec's test data and runs it.
#   core/fuzz/run.sh [seconds] [extra libFuzzer options...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
core=$(dirname "$here")
seconds=${1:-300}
shift || true
work=${VELMORA_FUZZ_DIR:-$core/../build-fuzz}
mkdir -p "$work/corpus" "$work/seeds"

# Every source of the library but the other platforms' files.
platform=bsd
[ "$(uname -s)" = Linux ] && platform=linux
sources=()
for file in "$core"/src/*.cpp; do
  case $file in */platform_*.cpp) [ "$file" = "$core/src/platform_$platform.cpp" ] || continue ;; esac
  sources+=("$file")
done

clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  -I"$core/include" "${sources[@]}" "$here/decode_line_fuzz.cpp" -o "$work/decode_line_fuzz"

# One seed per request line of the test data.
python3 - "$core/tests/data/decode.jsonl" "$work/seeds" <<'PY'
import json, sys, hashlib, os
src, out = sys.argv[1], sys.argv[2]
with open(src, encoding="utf-8") as f:
    for line in f:
        data = json.loads(line)["line"].encode("utf-8")
        name = hashlib.sha1(data).hexdigest()
        with open(os.path.join(out, name), "wb") as seed:
            seed.write(data)
PY

exec "$work/decode_line_fuzz" "$work/corpus" "$work/seeds" -max_len=4096 \
  -max_total_time="$seconds" -print_final_stats=1 "$@"
