#!/usr/bin/env bash
# Runs clang-tidy with the .clang-tidy at the top over the project's sources in
# the given folders (default: every library folder), using the compile
# commands of the test build (build/test, configured by tools/test.sh).
# Exits non-zero when clang-tidy reports anything.  LINT_JOBS sets how many
# files are checked at once (default 3).
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang-tidy >/dev/null || { echo "lint: clang-tidy is missing (apt-get install clang-tidy)"; exit 1; }
db=build/test/compile_commands.json
[[ -f $db ]] || { echo "lint: $db is missing: configure build/test first (tools/test.sh)"; exit 1; }
folders=("$@")
[[ ${#folders[@]} -eq 0 ]] && folders=(platform common runtime fax t38 sip session host controller)
mapfile -t files < <(find "${folders[@]}" -type f \( -name '*.cpp' -o -name '*.c' \) | sort)
[[ ${#files[@]} -eq 0 ]] && exit 0
out=$(mktemp)
trap 'rm -f "$out"' EXIT
# GCC-only options of the test build are dropped for clang-tidy's parser.
printf '%s\n' "${files[@]}" |
  xargs -P "${LINT_JOBS:-3}" -I{} clang-tidy -p build/test --quiet \
    --extra-arg=-Wno-unknown-warning-option --extra-arg=-Wno-unused-command-line-argument {} >"$out" 2>/dev/null || true
grep -E '^[^ ]+:[0-9]+:[0-9]+: (warning|error):' "$out" | sort -u >"$out.list" || true
if [[ -s "$out.list" ]]; then
  cat "$out.list"
  echo "lint: $(wc -l <"$out.list") finding(s) in ${folders[*]}"
  rm -f "$out.list"
  exit 1
fi
rm -f "$out.list"
echo "lint: clean (${#files[@]} files in ${folders[*]})"
