#!/usr/bin/env bash
# Checks that C++ files follow .clang-format; prints the files that do not and fails.
#
#   scripts/format_check.sh            every tracked .cpp and .h file
#   scripts/format_check.sh BASE       only those changed since the commit BASE
#   scripts/format_check.sh --fix ...  rewrites them instead
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
zul_ensure_packages clang-format

fix=0
if [ "${1:-}" = "--fix" ]; then fix=1; shift; fi
if [ $# -gt 0 ]; then
    mapfile -t files < <(git diff --name-only --diff-filter=d "$1" -- '*.cpp' '*.h')
else
    mapfile -t files < <(git ls-files '*.cpp' '*.h')
fi
[ ${#files[@]} -eq 0 ] && exit 0

if [ $fix -eq 1 ]; then
    clang-format -i "${files[@]}"
    exit 0
fi
bad=()
for f in "${files[@]}"; do
    clang-format --dry-run --Werror "$f" > /dev/null 2>&1 || bad+=("$f")
done
if [ ${#bad[@]} -gt 0 ]; then
    echo "Not formatted with .clang-format (scripts/format_check.sh --fix to mend):"
    printf '  %s\n' "${bad[@]}"
    exit 1
fi
echo "clang-format: ${#files[@]} files checked, all formatted"
