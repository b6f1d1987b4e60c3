#!/usr/bin/env bash
# Runs clang-tidy with the .clang-tidy at the top over the project's sources in
# the given folders (default: every library folder, bench, tools and fuzz),
# using the compile commands of the test build (build/test, configured by
# tools/test.sh), which also builds the fuzz targets (as corpus replays).
# Clang-tidy parses each file with clang, so a fuzz target that clang would
# not compile fails here too.  Headers of the project's folders
# are checked through the sources that include them.  Exits non-zero when
# clang-tidy reports anything.  LINT_JOBS sets how many files are checked at
# once (default 3).  While the file named by LINT_LOW_WHILE exists, each
# clang-tidy starts at the lowest priority (the test command's real-time tests
# keep the cores); once it is gone, the files left are checked at the usual
# priority, so the checks are not starved by other work on a busy machine.
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
tidy_one() {
  if [[ -n ${LINT_LOW_WHILE:-} && -e $LINT_LOW_WHILE ]]; then
    nice -n 19 clang-tidy "$@"
  else
    clang-tidy "$@"
  fi
}
export -f tidy_one
# GCC-only options of the test build are dropped for clang-tidy's parser.
failed=0
printf '%s\n' "${files[@]}" |
  xargs -P "${LINT_JOBS:-3}" -I{} bash -c 'tidy_one "$@"' _ -p build/test --quiet --header-filter="^$PWD/($libs)/" \
    --extra-arg=-Wno-unknown-warning-option --extra-arg=-Wno-unused-command-line-argument {} >>"$out" 2>>"$out.err" ||
  failed=1
checked=${#files[@]}
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
