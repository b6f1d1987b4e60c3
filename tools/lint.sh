#!/usr/bin/env bash
# Runs clang-tidy with the .clang-tidy at the top over the project's sources in
# the given folders (default: every library folder, bench, tools and fuzz),
# using the compile commands of the test build (build/test, configured by
# tools/test.sh); the fuzz targets use those of build/fuzz (tools/fuzz.sh) and
# are left out when that build is missing.  Headers of the project's folders
# are checked through the sources that include them.  Exits non-zero when
# clang-tidy reports anything.  LINT_JOBS sets how many files are checked at
# once (default 3).
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang-tidy >/dev/null || { echo "lint: clang-tidy is missing (apt-get install clang-tidy)"; exit 1; }
db=build/test/compile_commands.json
[[ -f $db ]] || { echo "lint: $db is missing: configure build/test first (tools/test.sh)"; exit 1; }
libs='platform|common|runtime|fax|t38|sip|session|host|controller'
folders=("$@")
[[ ${#folders[@]} -eq 0 ]] && folders=(${libs//|/ } bench tools fuzz)
mapfile -t files < <(find "${folders[@]}" -path fuzz/corpus -prune -o -type f \( -name '*.cpp' -o -name '*.c' \) -print | sort)
[[ ${#files[@]} -eq 0 ]] && exit 0
out=$(mktemp)
trap 'rm -f "$out" "$out.list" "$out.err"' EXIT
# lint BUILD_DIR FILE...: checks the files with that build's compile commands.
# GCC-only options of the test build are dropped for clang-tidy's parser.
lint() {
  local dir=$1
  shift
  [[ $# -eq 0 ]] && return 0
  printf '%s\n' "$@" |
    xargs -P "${LINT_JOBS:-3}" -I{} clang-tidy -p "$dir" --quiet --header-filter="^$PWD/($libs)/" \
      --extra-arg=-Wno-unknown-warning-option --extra-arg=-Wno-unused-command-line-argument {} >>"$out" 2>>"$out.err" ||
    failed=1
}
fuzz=()
rest=()
checked=0
failed=0
for f in "${files[@]}"; do
  if [[ $f == fuzz/* ]]; then fuzz+=("$f"); else rest+=("$f"); fi
done
lint build/test "${rest[@]}"
checked=${#rest[@]}
if [[ ${#fuzz[@]} -gt 0 ]]; then
  if [[ -f build/fuzz/compile_commands.json ]]; then
    lint build/fuzz "${fuzz[@]}"
    checked=$((checked + ${#fuzz[@]}))
  else
    echo "lint: build/fuzz is missing (tools/fuzz.sh): fuzz targets not checked"
  fi
fi
grep -E '^[^ ]+:[0-9]+:[0-9]+: (warning|error):' "$out" | sed "s#^$PWD/##" | sort -u >"$out.list" || true
if [[ -s "$out.list" ]]; then
  cat "$out.list"
  echo "lint: $(wc -l <"$out.list") finding(s) in ${folders[*]}"
  exit 1
fi
# clang-tidy exits non-zero on a compiler error (listed above) or when it
# fails outright (a crash): the latter must not pass as clean.
if [[ $failed -ne 0 ]]; then
  tail -n 20 "$out.err"
  echo "lint: clang-tidy failed"
  exit 1
fi
echo "lint: clean ($checked files in ${folders[*]})"
