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
# module's update-binary sources it and calls install_module.
# Managers B (KSU=true) and C (APATCH=true): they never run update-binary;
# `sh managers.sh B|C ZIP` unpacks the zip and sources customize.sh.
# What each copies of its published behaviour:
# - all three leave META-INF out of the module folder (A's install_module
#   unzips with -x 'META-INF/*'; B's and C's installers extract the module
#   without the installer entry, as their module guides' layouts show);
# - A finds BOOTMODE itself (true where zygote runs) and takes one that is
#   set, so a recovery install is modelled by BOOTMODE=false; its abort
#   removes MODPATH, as a failed install leaves no module behind;
# - B and C install only in a running system and refuse to before boot is
#   complete (their installers check sys.boot_completed first); their
#   BOOTMODE is always true;
# - A loads modules' sepolicy.rule at boot only from its preinit partition,
#   where its installer copies the rule file after customize.sh, in a
#   running system only; modelled as a copy to
#   $STANDIN_PREINIT/<id>/sepolicy.rule;
# - on an update (the module already installed), all three mark the
#   installed folder with the flag file "update" and copy the new
#   module.prop over the installed one in place, so that the manager shows
#   the new version before the reboot; A also removes the flags "disable"
#   and "remove" there.
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

ui_print() { printf '%s\n' "$1"; }
abort() {
    printf '%s\n' "$1"
    [ -z "${MODPATH:-}" ] || rm -rf "$MODPATH"
    exit 1
}
set_perm() {
    chown "$2:$3" "$1" && chmod "$4" "$1" || return 1
    printf '%s\n' "$1 $2 $3 $4 ${5:-u:object_r:system_file:s0}" >> "${STANDIN_LOG:-/dev/null}"
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
    BOOTMODE=${BOOTMODE:-true}
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
            BOOTMODE=true
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
            BOOTMODE=true
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
    if [ "$standin_manager" != A ] && [ "$(getprop sys.boot_completed)" != 1 ]; then
        abort "! stand-in: boot is not complete: modules are installed only in a running system"
    fi
    standin_live=/data/adb/modules/veltaris
    MODPATH=/data/adb/modules_update/veltaris
    rm -rf "$MODPATH" "$TMPDIR" && mkdir -p "$MODPATH" "$TMPDIR" || abort "! stand-in: no module folder"
    printf '%s\0' "$standin_context" > "$TMPDIR/attr-current" &&
        mount -o bind "$TMPDIR/attr-current" "/proc/$$/attr/current" ||
        abort "! stand-in: cannot model the domain $standin_context"
    unzip -q -o "$ZIPFILE" -x 'META-INF/*' -d "$MODPATH" || abort "! unzip failed"
    set_perm_recursive "$MODPATH" 0 0 0755 0644
    . "$MODPATH/customize.sh"
    umount "/proc/$$/attr/current"
    if [ "$standin_manager" = A ] && [ "$BOOTMODE" = true ] && [ -f "$MODPATH/sepolicy.rule" ]; then
        mkdir -p "${STANDIN_PREINIT:-/data/adb/standin-preinit}/veltaris" &&
            cp -f "$MODPATH/sepolicy.rule" "${STANDIN_PREINIT:-/data/adb/standin-preinit}/veltaris/sepolicy.rule" ||
            abort "! stand-in: cannot copy the rules to the preinit partition"
    fi
    if [ -d "$standin_live" ]; then
        : > "$standin_live/update"
        [ "$standin_manager" != A ] || rm -f "$standin_live/disable" "$standin_live/remove"
        cp -f "$MODPATH/module.prop" "$standin_live/module.prop" || abort "! stand-in: cannot copy module.prop"
    fi
    rm -rf "$TMPDIR"
    printf '%s\n' "installer: done"
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
