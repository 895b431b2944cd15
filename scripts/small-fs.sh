#!/usr/bin/env bash
# Mounts (or unmounts) a 256 KiB tmpfs for the tests of writes that fail on a full disk.
# Usage: small-fs.sh mount|umount DIR [INODES]. INODES caps the files it can hold (the
# folder and the marker take two), for files that cannot be created at all.
# Without the rights to mount, it leaves DIR an
# ordinary folder without the marker file, and the tests that need it skip.
set -uo pipefail
action=$1
dir=$2
inodes=${3:+,nr_inodes=$3}
marker=.small-fs
case "$action" in
mount)
    mkdir -p "$dir"
    if ! mountpoint -q "$dir"; then
        mount -t tmpfs -o "size=256k$inodes" tmpfs "$dir" 2>/dev/null || { echo "small-fs: cannot mount; full-disk tests skip"; exit 0; }
    fi
    touch "$dir/$marker"
    ;;
umount)
    if mountpoint -q "$dir"; then
        umount "$dir" || umount -l "$dir"
    fi
    ;;
esac
exit 0
