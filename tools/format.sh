#!/usr/bin/env bash
# Formats the project's C and C++ sources in place with clang-format and the
# .clang-format at the top.  With arguments, formats only those files or
# folders; "--check" as the first argument lists what would change instead.
set -euo pipefail
cd "$(dirname "$0")/.."
check=0
if [[ "${1:-}" == "--check" ]]; then
  check=1
  shift
fi
command -v clang-format >/dev/null || { echo "format: clang-format is missing (apt-get install clang-format)"; exit 1; }
folders=(platform common runtime fax t38 sip session host controller tools tests bench fuzz)
targets=("$@")
[[ ${#targets[@]} -eq 0 ]] && targets=("${folders[@]}")
mapfile -t files < <(find "${targets[@]}" -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.c' \) | sort)
[[ ${#files[@]} -eq 0 ]] && exit 0
if [[ $check -eq 1 ]]; then
  # One clang-format for many files (each start costs more than the check):
  # it reports every file it would change as "FILE:LINE:COL: error: ...".
  out=$(printf '%s\0' "${files[@]}" | xargs -0 clang-format --style=file --dry-run --Werror 2>&1) && exit 0
  changed=$(grep -oE '^[^:]+:[0-9]+:[0-9]+: error' <<<"$out" | cut -d: -f1 | sort -u || true)
  # Nothing named: clang-format itself failed.
  if [[ -z $changed ]]; then
    echo "$out"
  else
    echo "$changed"
  fi
  exit 1
fi
clang-format --style=file -i "${files[@]}"
