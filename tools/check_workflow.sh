#!/bin/sh
# Checks the CI workflow files against the GitHub Actions workflow schema with
# action-validator (npm: @action-validator/cli and @action-validator/core),
# installed into build/npm on first use. Exits non-zero on an invalid file.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
prefix="$root/build/npm"
validator="$prefix/node_modules/.bin/action-validator"
if [ ! -x "$validator" ]; then
    if ! command -v npm >/dev/null 2>&1; then
        echo "check_workflow: npm is missing (apt-get install npm)" >&2
        exit 1
    fi
    mkdir -p "$prefix"
    echo "check_workflow: installing @action-validator/cli into build/npm (log: build/npm/install.log)"
    if ! npm install --prefix "$prefix" --no-audit --no-fund @action-validator/core@0.6.0 @action-validator/cli@0.6.0 \
        >"$prefix/install.log" 2>&1; then
        tail -n 20 "$prefix/install.log" >&2
        exit 1
    fi
fi
status=0
for file in "$root"/.github/workflows/*.yml; do
    if "$validator" "$file"; then
        echo "check_workflow: ${file#"$root/"} is valid"
    else
        echo "check_workflow: ${file#"$root/"} is not a valid workflow" >&2
        status=1
    fi
done
exit $status
