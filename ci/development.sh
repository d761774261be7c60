#!/usr/bin/env bash
# The README's development section, run exactly as written: its indented lines, in a copy of
# the checkout, once per interpreter given (pyenv version numbers, default 3.10 and 3.13); then
# mypy.stubtest against the module those lines built.
#
# Usage:  bash ci/development.sh [VERSION ...]
#
# Prints one figure line last, e.g. "[development] README development section: CPython 3.10:
# 969 passed; CPython 3.13: 969 passed".
# Exit status: 0 when the lines ran and the suite passed on every interpreter, 1 otherwise,
# 2 on a setup problem.
set -uo pipefail
# shellcheck source=ci/lib.sh
source "$(dirname -- "$0")/lib.sh" || exit 2
ci_start development
cd "$CI_CHECKOUT" || die "cd $CI_CHECKOUT"

versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(3.10 3.13)

# The section's indented lines, in order: everything from its heading to the next one.
lines=$(awk '/^## Development/ {on = 1; next} /^## / {on = 0} on && /^    / {sub(/^    /, ""); print}' README.md)
[ -n "$lines" ] || die "no development section in README.md"

work=$(mktemp -d -t tervalo-development.XXXXXX)
on_exit rm -rf -- "$work"
results=() failed=0
for version in "${versions[@]}"; do
  prefix=$(pyenv prefix "$version" 2>/dev/null) ||
    die "CPython $version is not installed with pyenv"
  copy=$work/$version
  mkdir -p "$copy"
  git ls-files -z | xargs -0 cp --parents -t "$copy" || die "copying the checkout"
  (cd "$copy" && PATH="$prefix/bin:$PATH" bash -euo pipefail -c "$lines") >"$work/$version.log" 2>&1
  rc=$?
  # The shipped stub must describe what was built (names, signatures, `final`).
  if [ "$rc" -eq 0 ]; then
    (cd "$copy" && .venv/bin/python -m mypy.stubtest tervalo --concise) >>"$work/$version.log" 2>&1
    rc=$?
  fi
  summary=$(pytest_counts "$work/$version.log")
  if [ "$rc" -ne 0 ] || [[ "$summary" != *passed* ]]; then
    cat -- "$work/$version.log"
    results+=("CPython $version: FAILED (exit $rc${summary:+; $summary})")
    failed=1
  else
    results+=("CPython $version: $summary")
  fi
done
summary=$(IFS=';' && echo "${results[*]}")
figure "README development section: ${summary//;/; }"
exit "$failed"
