#!/usr/bin/env bash
# Writes the package's module.prop to standard output from
# package/module.prop.in:
#   scripts/module-prop.sh VERSION [UPDATE_JSON_URL]
# VERSION is major.minor.patch; versionCode is major * 10000 + minor * 100
# + patch. With an address, the line updateJson=ADDRESS is added: the root
# managers fetch that JSON file to offer an update (see "Releases" in the
# README). The address must be https and hold no blank or line break, which
# would end the line or the field.
set -euo pipefail
cd "$(dirname "$0")/.."

version=${1:-}
update_json=${2:-}
if ! [[ "$version" =~ ^([0-9]+)\.([0-9]+)\.([0-9]+)$ ]]; then
    echo "module-prop: version '$version' is not major.minor.patch" >&2
    exit 2
fi
version_code=$((BASH_REMATCH[1] * 10000 + BASH_REMATCH[2] * 100 + BASH_REMATCH[3]))
if [ -n "$update_json" ] && ! [[ "$update_json" =~ ^https://[^[:space:]]+$ ]]; then
    echo "module-prop: update address '$update_json' is not an https address without blanks" >&2
    exit 2
fi
sed -e "s/@VERSION@/$version/" -e "s/@VERSION_CODE@/$version_code/" package/module.prop.in
[ -z "$update_json" ] || printf 'updateJson=%s\n' "$update_json"
