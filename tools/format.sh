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
  status=0
  for f in "${files[@]}"; do
    if ! clang-format --style=file "$f" | cmp -s - "$f"; then
      echo "$f"
      status=1
    fi
  done
  exit $status
fi
clang-format --style=file -i "${files[@]}"
