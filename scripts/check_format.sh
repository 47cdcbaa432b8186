#!/usr/bin/env bash
# Checks that every C and C++ source of the tree is formatted as the root
# .clang-format says (clang-format --dry-run -Werror); build trees and
# third-party code are left out. Prints the offending places; exit 1 when
# there are any.
#
#   scripts/check_format.sh
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -d '' files < <(git ls-files -z -- '*.c' '*.h' '*.cpp' '*.hpp' '*.cc' |
                        grep -zv -E '^(build/|third_party/|node_modules/)')
[ ${#files[@]} -eq 0 ] && exit 0
clang-format --dry-run -Werror "${files[@]}"
echo "${#files[@]} files formatted"
