#!/usr/bin/env bash
# The README's development section, run exactly as written: its indented lines, in a copy of
# the checkout, once per interpreter given (pyenv version numbers, default 3.10 and 3.13).
#
# Usage:  bash ci/development.sh [VERSION ...]
#
# Exit status: 0 when the lines ran and the suite passed on every interpreter, 1 otherwise,
# 2 on a setup problem.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2

readonly TIER="[development]"
versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(3.10 3.13)

# The section's indented lines, in order: everything from its heading to the next one.
lines=$(awk '/^## Development/ {on = 1; next} /^## / {on = 0} on && /^    / {sub(/^    /, ""); print}' README.md)
[ -n "$lines" ] || { echo "$TIER setup failed: no development section in README.md"; exit 2; }

work=$(mktemp -d -t tervalo-development.XXXXXX)
trap 'rm -rf -- "$work"' EXIT
results=() failed=0
for version in "${versions[@]}"; do
  prefix=$(pyenv prefix "$version" 2>/dev/null) || {
    echo "$TIER setup failed: CPython $version is not installed with pyenv"
    exit 2
  }
  copy=$work/$version
  mkdir -p "$copy"
  git ls-files -z | xargs -0 cp --parents -t "$copy" || exit 2
  out=$(cd "$copy" && PATH="$prefix/bin:$PATH" bash -euo pipefail -c "$lines" 2>&1)
  rc=$?
  summary=$(grep -oE '[0-9]+ passed[^=]*' <<<"$out" | tail -n 1)
  if [ "$rc" -ne 0 ] || [ -z "$summary" ]; then
    printf '%s\n' "$out"
    results+=("CPython $version: FAILED (exit $rc)")
    failed=1
  else
    results+=("CPython $version: ${summary%% in *}")
  fi
done
(IFS=';'; echo "$TIER README development section: ${results[*]}" | sed 's/;/; /g')
exit "$failed"
