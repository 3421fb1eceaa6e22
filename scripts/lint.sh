#!/usr/bin/env bash
# Lint stage: every tracked C++ file is formatted as .clang-format says, the product sources
# (not tests/, bench/, fuzz/) meet the limits of .clang-tidy, and every compiled file carries
# the project's warnings. Usage: lint.sh BUILD_DIR (a folder with compile_commands.json).
# Fails on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:?usage: lint.sh BUILD_DIR}
[ -f "$build_dir/compile_commands.json" ] || { echo "lint: no $build_dir/compile_commands.json" >&2; exit 2; }
jobs=$(nproc)
status=0

echo "lint: clang-format"
git ls-files -z '*.cpp' '*.h' | xargs -0 -P "$jobs" -n 16 clang-format --dry-run -Werror || status=1

echo "lint: clang-tidy"
# clang does not know GCC's -fno-gnu-unique (and has no such symbols to avoid): a copy of the
# compile commands without it.
database=$(mktemp -d)
trap 'rm -rf "$database"' EXIT
sed 's/ -fno-gnu-unique / /' "$build_dir/compile_commands.json" >"$database/compile_commands.json"
# A finding is an error, so clang-tidy's status (and xargs's) reports it; the count lines go.
git ls-files -z '*.cpp' ':!:tests/' ':!:bench/' ':!:fuzz/' |
  xargs -0 -P "$jobs" -n 4 clang-tidy -p "$database" --quiet --warnings-as-errors='*' \
  2> >(grep -v -E '^[0-9]+ (warning|error)s? (generated|treated as errors)' >&2) || status=1

# A target that forgets to link tessaroll_warnings compiles without them.
echo "lint: warning options"
unwarned=$(grep '"command"' "$build_dir/compile_commands.json" | grep -v -- ' -Wall ' || true)
if [ -n "$unwarned" ]; then
  echo "lint: compiled without the project's warnings (link tessaroll_warnings):"
  echo "$unwarned"
  status=1
fi

exit $status
