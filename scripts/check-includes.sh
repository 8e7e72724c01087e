#!/usr/bin/env bash
# Fails when a source file includes a header of a layer it must not depend on.
# The map below is the layer map of docs/layers.md; keep the two the same.
# Each folder may include its own headers and those of the folders listed.
# An entry with a "/" allows only that part of a folder (zefserver shares the
# server's wire helpers, not its verb code). A bare name ("x.h") must be a
# file next to the one that includes it.
# Usage: scripts/check-includes.sh [source root]; prints each offending line.
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

declare -A allowed=(
  [common]=""
  [platform]=""
  [catalog]=""
  [hsmfs]="common platform"
  [server]="common"
  [reconcile]="server hsmfs platform common"
  [frontend]="reconcile server hsmfs platform common"
  [migrate]="frontend/wiring.h frontend/progress.h reconcile server hsmfs platform common"
  [recall]="server hsmfs platform common"
  [zefserver]="hsmfs platform common server/wire/ server/attrib.h"
)

# True when `target` (a quoted include path) is allowed from folder `layer`.
permitted() {
  local layer=$1 target=$2 entry
  [[ ${target%%/*} == "$layer" ]] && return 0
  for entry in ${allowed[$layer]}; do
    if [[ $entry == */* ]]; then
      [[ $target == "$entry"* ]] && return 0
    elif [[ ${target%%/*} == "$entry" ]]; then
      return 0
    fi
  done
  return 1
}

bad=0
for layer in "${!allowed[@]}"; do
  [ -d "$layer" ] || { echo "check-includes: no folder $layer" >&2; bad=1; continue; }
  while IFS= read -r -d '' file; do
    lineno=0
    while IFS= read -r line; do
      lineno=$((lineno + 1))
      [[ $line =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*\"([^\"]+)\" ]] || continue
      target=${BASH_REMATCH[1]}
      if [[ $target != */* ]]; then
        [ -f "$(dirname "$file")/$target" ] && continue
      elif permitted "$layer" "$target"; then
        continue
      fi
      echo "$file:$lineno: $layer/ must not include \"$target\""
      bad=1
    done < "$file"
  done < <(find "$layer" -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.inc' \) -print0)
done
[ "$bad" = 0 ] && echo "check-includes: every include follows the layer map"
exit "$bad"
