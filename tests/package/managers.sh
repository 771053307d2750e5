# Stand-ins of the three root managers' module installers, as their
# published module documentation describes them, for the package tests and
# the real-kernel tier. Each ends the same way: the zip unpacked into
# MODPATH=/data/adb/modules_update/<id> (the manager's next boot moves it
# to /data/adb/modules/<id>), default modes and labels given with
# set_perm_recursive, then customize.sh sourced with the manager's
# variables and its ui_print, abort, set_perm and set_perm_recursive.
#
# Removal in a running boot: `sh managers.sh uninstall-running A|B`.
#
# Manager A: this file is its installer functions (util_functions.sh); the
# module's update-binary sources it and calls install_module, which leaves
# META-INF out.
# Managers B (KSU=true) and C (APATCH=true): they never run update-binary;
# `sh managers.sh B|C ZIP` unpacks the whole zip and sources customize.sh.
#
# The managers run all of it in their busybox's ash with ASH_STANDALONE=1;
# the caller chooses the shell. What differs from a phone:
# - set_perm cannot label files where SELinux is off: it appends
#   "FILE OWNER GROUP MODE CONTEXT" to $STANDIN_LOG instead (the context
#   the documentation gives as the default when none is passed);
# - the installer's SELinux domain (magisk for A and C, ksu for B, or
#   $STANDIN_CONTEXT) is modelled by a bind mount over this shell's
#   /proc/PID/attr/current: customize.sh reads /proc/self/attr/current
#   from the shell it runs in.
# The variables are the documented ones, for customize.sh (sourced in this
# same shell), whether or not it reads them.
# shellcheck disable=SC2034

ui_print() { echo "$1"; }
abort() {
    echo "$1"
    exit 1
}
set_perm() {
    chown "$2:$3" "$1" && chmod "$4" "$1" || return 1
    echo "$1 $2 $3 $4 ${5:-u:object_r:system_file:s0}" >> "${STANDIN_LOG:-/dev/null}"
}
set_perm_recursive() {
    find "$1" -type d | while read -r standin_dir; do set_perm "$standin_dir" "$2" "$3" "$4" "$6"; done
    find "$1" -type f | while read -r standin_file; do set_perm "$standin_file" "$2" "$3" "$5" "$6"; done
}

# standin_install MANAGER ZIP: unpacks, sets the variables, sources
# customize.sh.
standin_install() {
    standin_manager=$1
    ZIPFILE=$2
    BOOTMODE=true
    API=34
    ARCH=arm64
    IS64BIT=true
    TMPDIR=/dev/tmp
    case "$standin_manager" in
        A)
            MAGISK_VER=v28.1
            MAGISK_VER_CODE=28100
            standin_context=u:r:magisk:s0
            ;;
        B)
            KSU=true
            KSU_VER=v3.2.2
            KSU_VER_CODE=32200
            KSU_KERNEL_VER_CODE=32200
            # Set by B for modules that test them, with a fixed value.
            MAGISK_VER=v25.2
            MAGISK_VER_CODE=25200
            standin_context=u:r:ksu:s0
            ;;
        C)
            APATCH=true
            APATCH_VER=11142
            APATCH_VER_CODE=11142
            KERNELPATCH=true
            KERNEL_VERSION=60163
            KERNELPATCH_VERSION=c06
            MAGISK_VER=v27.0
            MAGISK_VER_CODE=27000
            standin_context=u:r:magisk:s0
            ;;
        *) abort "! stand-in: no manager $standin_manager" ;;
    esac
    [ -z "${STANDIN_CONTEXT:-}" ] || standin_context=$STANDIN_CONTEXT
    MODPATH=/data/adb/modules_update/veltaris
    rm -rf "$MODPATH" "$TMPDIR" && mkdir -p "$MODPATH" "$TMPDIR" || abort "! stand-in: no module folder"
    printf '%s\0' "$standin_context" > "$TMPDIR/attr-current" &&
        mount -o bind "$TMPDIR/attr-current" "/proc/$$/attr/current" ||
        abort "! stand-in: cannot model the domain $standin_context"
    if [ "$standin_manager" = A ]; then
        unzip -q -o "$ZIPFILE" -x 'META-INF/*' -d "$MODPATH" || abort "! unzip failed"
    else
        unzip -q -o "$ZIPFILE" -d "$MODPATH" || abort "! unzip failed"
    fi
    set_perm_recursive "$MODPATH" 0 0 0755 0644
    . "$MODPATH/customize.sh"
    umount "/proc/$$/attr/current"
    rm -rf "$TMPDIR"
    echo "installer: done"
}

# standin_uninstall_running A|B: a removal in the running boot, as A's
# "uninstall the manager" and B's "uninstall permanently" do it in their
# published sources: each module's uninstall.sh runs now, with everything
# it started still running, and its folder is deleted right after,
# whatever the script's status (the manager only logs it); no later boot
# runs the script again. B first marks every module for removal (its
# "remove" flag file) and then removes the marked ones, each script run
# from its module folder; A runs each from its daemon's folder, /.
standin_uninstall_running() {
    if [ "$1" = B ]; then
        for standin_module in /data/adb/modules/*/; do
            [ -d "$standin_module" ] && : > "${standin_module}remove"
        done
    fi
    for standin_module in /data/adb/modules/*/; do
        standin_module=${standin_module%/}
        [ -d "$standin_module" ] || continue
        if [ -f "$standin_module/uninstall.sh" ]; then
            if [ "$1" = B ]; then
                (cd "$standin_module" && sh ./uninstall.sh)
            else
                (cd / && sh "$standin_module/uninstall.sh")
            fi
            echo "uninstall.sh of ${standin_module##*/}: exit $?"
        fi
        rm -rf "$standin_module"
    done
}

# A's update-binary calls this.
install_module() { standin_install A "$ZIPFILE"; }

case "${1:-}" in
    B | C) standin_install "$1" "$2" ;;
    uninstall-running) standin_uninstall_running "$2" ;;
esac
