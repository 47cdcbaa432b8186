#!/usr/bin/env bash
# Checks that the shared library's dynamic symbol table holds exactly the
# functions and objects that the public headers declare with TARVO_API:
# nothing internal leaks out, nothing documented is missing.
#
#   scripts/check_exports.sh path/to/libtarvo.so [include/tarvo ...]
set -euo pipefail
lib=$1
shift
[ $# -gt 0 ] || set -- "$(dirname "$0")/../include/tarvo"
headers=()
for d in "$@"; do headers+=("$d"/*.h); done

declared=$(perl -0777 -ne '
    s{/\*.*?\*/}{}gs;       # block comments
    s{//[^\n]*}{}g;         # line comments
    s{^\s*#[^\n]*}{}gm;     # preprocessor lines (the macro itself)
    while (/\bTARVO_API\b([^;{]*)/g) {
        my $d = $1;
        if ($d =~ /(\w+)\s*\(/) { print "$1\n"; }                  # a function
        elsif ($d =~ /(\w+)\s*(?:\[[^\]]*\])?\s*$/) { print "$1\n"; } # an object
    }' "${headers[@]}" | sort -u)
# The linker's section bounds (__start_/__stop_, made for the coverage
# sections of a fuzzing build) are the toolchain's, not the library's.
exported=$(nm -D --defined-only "$lib" | awk '{print $3}' | sed 's/@.*//' |
           grep -Ev '^__(start|stop)_' | sort -u)

extra=$(comm -13 <(echo "$declared") <(echo "$exported"))
missing=$(comm -23 <(echo "$declared") <(echo "$exported"))
if [ -n "$extra" ] || [ -n "$missing" ]; then
  [ -n "$extra" ] && printf 'exported but not declared with TARVO_API:\n%s\n' "$extra"
  [ -n "$missing" ] && printf 'declared with TARVO_API but not exported:\n%s\n' "$missing"
  exit 1
fi
echo "$(echo "$exported" | wc -l) exported symbols, all declared"
