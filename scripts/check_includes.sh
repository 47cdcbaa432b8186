#!/usr/bin/env bash
# Checks the direction of the library's internal includes: a file under
# src/<room>/ may include only the rooms listed for it below (public headers
# "tarvo/..." are every room's door and always allowed). Beside the rooms,
# the api subsystem opens only two headers to the rooms above it: the
# device door and the context part the start composes; its device-context
# record stays inside src/api.
#
#   scripts/check_includes.sh [src-dir]
set -euo pipefail
src=${1:-"$(dirname "$0")/../src"}

# The allowed directions, bottom to top: each room and what it may include.
declare -A allowed=(
  [platform]="platform"
  [common]="common platform"
  [log]="log common platform"
  [stream]="stream log common platform"
  [ll]="ll log common platform"
  [api]="api stream ll log common platform"
  [epc]="epc api log common platform"
  [frame]="frame api log common platform"
  [data]="data api ll log common platform"
  [drv]="drv epc api log common platform"
  [init]="init api frame ll log common platform"
)
# The headers of src/api that rooms above it may include.
api_doors="api/dev_door.h api/context.h"

bad=0
while IFS= read -r file; do
  rel=${file#"$src"/}
  room=${rel%%/*}
  if [ -z "${allowed[$room]+x}" ]; then
    echo "$rel: room '$room' has no line in scripts/check_includes.sh"
    bad=1
    continue
  fi
  while IFS=: read -r line inc; do
    target=${inc%%/*}
    [ "$target" = tarvo ] && continue
    [ "$inc" = "$target" ] && continue  # same-folder include without a room
    if [[ " ${allowed[$room]} " != *" $target "* ]]; then
      echo "$rel:$line: room '$room' may not include '$inc'"
      bad=1
    elif [ "$target" = api ] && [ "$room" != api ] && [[ " $api_doors " != *" $inc "* ]]; then
      echo "$rel:$line: '$inc' is inside src/api; use api/dev_door.h"
      bad=1
    fi
  done < <(grep -n '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" |
           sed 's/^\([0-9]*\):.*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1:\2/')
done < <(find "$src" -name '*.cpp' -o -name '*.h' | sort)

if [ "$bad" -ne 0 ]; then exit 1; fi
echo "includes follow the room order"
