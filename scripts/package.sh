#!/usr/bin/env bash
# Builds the device package build/veltaris-<version>.zip, a module in the
# layout root managers commonly install:
#   META-INF/com/google/android/update-binary   installer entry of the manager
#                            whose installer runs it: hands over to its
#                            installer functions (the others unpack the zip
#                            and source customize.sh themselves)
#   META-INF/com/google/android/updater-script  the manager's marker line
#   module.prop              id, name, version, versionCode, author, description
#                            (and updateJson when given an update address)
#   customize.sh             install script (the manager sources it)
#   sepolicy.rule            the policy rules the manager adds at boot
#   service.sh               late-start boot service: recover, probe, supervise outdoor mode
#   uninstall.sh             stops what the service started, recovers, cleans up
#   action.sh                the manager's action button: a short report for the phone's screen
#   veltaris-lib.sh          what the three share
#   webroot/                 the module's page (index.html, page.js, page.css),
#                            which managers B and C open from the module folder
#   bin/arm64-v8a/           static veltarisd and veltarisctl for 64-bit ARM
#   bin/armeabi-v7a/         the same for 32-bit ARM
#   bin/x86_64/              the same for x86_64; the installer keeps one pair,
#                            in bin/ itself (no system/: see customize.sh)
# The version comes from project() in CMakeLists.txt; versionCode is
# major * 10000 + minor * 100 + patch. The Android binaries are (re)built
# first with scripts/build-android.sh.
#   scripts/package.sh [--update-json URL]
# With --update-json (or VELTARIS_UPDATE_JSON set), module.prop carries
# updateJson=URL, where the managers look for an update (scripts/
# module-prop.sh; "Releases" in the README).
set -euo pipefail
cd "$(dirname "$0")/.."

update_json=${VELTARIS_UPDATE_JSON:-}
case "${1:-}" in
    --update-json) update_json=${2:?package: --update-json needs an address} ;;
    '') ;;
    *)
        echo "package: unknown argument '$1' (--update-json URL)" >&2
        exit 2
        ;;
esac
# A wrong address is refused before anything is built.
bash scripts/module-prop.sh 0.0.0 "$update_json" >/dev/null

bash scripts/deps.sh zip mksh
bash scripts/build-android.sh >/dev/null
bash scripts/build-busybox.sh

version=$(sed -n 's/^project(veltarisd VERSION \([0-9]*\.[0-9]*\.[0-9]*\).*/\1/p' CMakeLists.txt)
if [ -z "$version" ]; then
    echo "package: no version in CMakeLists.txt's project()" >&2
    exit 1
fi

# The scripts run under busybox's ash (the root managers run every module
# script with it) and the device's mksh (by hand): at least their syntax is
# checked here with Debian's mksh and the managers' busybox.
for script in package/*.sh package/META-INF/com/google/android/update-binary; do
    mksh -n "$script"
    build/busybox-x86_64/busybox sh -n "$script"
done

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
bash scripts/module-prop.sh "$version" "$update_json" >"$stage/module.prop"
cp package/customize.sh package/service.sh package/uninstall.sh package/action.sh package/veltaris-lib.sh \
    package/sepolicy.rule "$stage/"
cp -r package/META-INF "$stage/"
# The page: plain files, nothing fetched at run time (README, "The page").
mkdir "$stage/webroot"
cp webroot/index.html webroot/page.js webroot/page.css "$stage/webroot/"
chmod 0644 "$stage/webroot/"*
chmod 0755 "$stage"/*.sh "$stage/META-INF/com/google/android/update-binary"
for pair in arm64:arm64-v8a arm32:armeabi-v7a x86_64:x86_64; do
    build=${pair%%:*}
    abi=${pair#*:}
    mkdir -p "$stage/bin/$abi"
    cp "build-$build/bin/veltarisd" "build-$build/bin/veltarisctl" "$stage/bin/$abi/"
    chmod 0755 "$stage/bin/$abi/"*
done

mkdir -p build
out="$PWD/build/veltaris-$version.zip"
rm -f "$out"
(cd "$stage" && zip -q -X -r "$out" META-INF module.prop sepolicy.rule customize.sh service.sh uninstall.sh action.sh \
    veltaris-lib.sh webroot bin)
echo "package: $out"
unzip -l "$out"
