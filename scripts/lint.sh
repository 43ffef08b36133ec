#!/bin/sh
# The lint step of `make test` (and `make lint`): every C++ file of ours is
# formatted as .clang-format says, and clang-tidy finds nothing in the
# translation units of the host build (compile_commands.json of BUILD_DIR).
# The fuzz targets, built only by clang's fuzz preset, are checked through
# FUZZ_BUILD_DIR's database when it exists. The portable rooms are checked
# for what they include (scripts/check_portable.py).
# Exits non-zero on the first kind of problem it finds, listing them all.
set -eu
build_dir=${1:-build/host}
fuzz_dir=${2:-build/fuzz}
cd "$(dirname "$0")/.."

files=$(git ls-files '*.cpp' '*.h' '*.c')
echo "lint: clang-format on $(echo "$files" | wc -l) files"
# shellcheck disable=SC2086
if ! clang-format --dry-run --Werror $files; then
    echo "lint: formatting differs; run: clang-format -i \$(git ls-files '*.cpp' '*.h' '*.c')" >&2
    exit 1
fi

# The portable rooms include nothing of a system or a shell.
python3 scripts/check_portable.py core board

if [ ! -f "$build_dir/compile_commands.json" ]; then
    echo "lint: $build_dir/compile_commands.json is missing; configure the build first (make host)" >&2
    exit 1
fi
# Only sources of ours that the build compiles; headers are checked through
# them (HeaderFilterRegex in .clang-tidy).
sources=$(python3 -c '
import json, os, sys
root = os.getcwd() + "/"
seen = sorted({e["file"] for e in json.load(open(sys.argv[1])) if e["file"].startswith(root) and "/build/" not in e["file"]})
print("\n".join(seen))' "$build_dir/compile_commands.json")
echo "lint: clang-tidy on $(echo "$sources" | wc -l) translation units"
# shellcheck disable=SC2086
run-clang-tidy -quiet -p "$build_dir" -j "$(nproc)" $sources > "$build_dir/clang-tidy.log" 2>&1 || status=$?
if [ -f "$fuzz_dir/compile_commands.json" ]; then
    fuzz_sources=$(git ls-files 'tests/fuzz/*.cpp' | sed "s|^|$(pwd)/|")
    echo "lint: clang-tidy on $(echo "$fuzz_sources" | wc -l) fuzz targets ($fuzz_dir)"
    # shellcheck disable=SC2086
    run-clang-tidy -quiet -p "$fuzz_dir" -j "$(nproc)" $fuzz_sources >> "$build_dir/clang-tidy.log" 2>&1 || status=$?
fi
# (run-clang-tidy asks for colours; the log is for reading.)
sed -i 's/\x1b\[[0-9;]*m//g' "$build_dir/clang-tidy.log"
if [ "${status:-0}" -ne 0 ] || grep -q ': \(warning\|error\):' "$build_dir/clang-tidy.log"; then
    grep -A3 ': \(warning\|error\):' "$build_dir/clang-tidy.log" >&2 || tail -40 "$build_dir/clang-tidy.log" >&2
    echo "lint: clang-tidy found the problems above (full log: $build_dir/clang-tidy.log)" >&2
    exit 1
fi
echo "lint: clean"
