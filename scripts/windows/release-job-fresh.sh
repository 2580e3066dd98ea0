#!/bin/sh
# Runs the release job (scripts/windows/release-job.sh) as the workflow's debian:12
# container runs it, on this machine: in a fresh Debian 12 root made by mmdebstrap,
# with a clean clone of this checkout's commit and the toolchain's cache bound in,
# and without CAP_SYS_ADMIN, which a container job lacks. A package missing from what
# the job installs, or a step that needs a privilege, fails here as it fails there.
#
#   scripts/windows/release-job-fresh.sh [--tar ROOT.tar] [--keep DIR] [--overlay] [JOB OPTION...]
#
# --tar: a root made before by `mmdebstrap --variant=minbase bookworm ROOT.tar`, used
# instead of making one (about two minutes). The cache is bound in as it is, as CI
# restores it: the job builds there what is missing, and waits, by the cache's lock,
# for a build that runs in it outside the root. --overlay: bind it through an overlay
# instead, so that whatever the job writes stays out of it. --keep: make the root in
# DIR and leave it there. Needs root (mmdebstrap, mount, chroot).
set -eu
cd "$(dirname "$0")/../.."
top=$PWD
script=release-job-fresh
. scripts/lib.sh
require_commands mmdebstrap capsh:libcap2-bin git unshare:util-linux

tar="" keep="" overlay=""
while [ $# -gt 0 ]; do
    case "$1" in
    --tar) tar=$(realpath "$2"); shift 2 ;;
    --keep) keep=$2; shift 2 ;;
    --overlay) overlay=yes; shift ;;
    *) break ;;
    esac
done
[ "$(id -u)" -eq 0 ] || fail "run this as root: it makes a root with mmdebstrap and mounts into it"
[ -z "$(git status --porcelain --untracked-files=no)" ] ||
    fail "the checkout has uncommitted changes; the job runs on a clean clone of a commit"
commit=$(git rev-parse HEAD)
cache=$(scripts/windows/toolchain.sh --env)
[ -d "$cache" ] || fail "no toolchain cache in $cache"

if [ -n "$keep" ]; then
    [ ! -e "$keep" ] || fail "$keep exists"
    work=$(mkdir -p "$keep" && realpath "$keep")
else
    work=$(mktemp -d /var/tmp/uvo-fresh-XXXXXX)
    trap 'rm -rf "$work"' EXIT
fi
root=$work/root
mkdir -p "$root" "$work/cache-upper" "$work/cache-work"
if [ -n "$tar" ]; then
    say "the root: $tar, unpacked into $root"
    tar -xf "$tar" -C "$root"
else
    say "making a fresh Debian 12 root in $root"
    quietly "$work/mmdebstrap.log" mmdebstrap --variant=minbase bookworm "$root"
fi
cp /etc/resolv.conf "$root/etc/resolv.conf"
# This machine's own trust anchors (a proxy's certificate authority) go in with its name
# server: the job's downloads take this machine's network. The package ca-certificates,
# which the job installs, adds them to the root's store.
if [ -d /usr/local/share/ca-certificates ]; then
    mkdir -p "$root/usr/local/share/ca-certificates"
    cp -R /usr/local/share/ca-certificates/. "$root/usr/local/share/ca-certificates/"
fi
git clone -q "$top" "$root/work/uvo"
git -C "$root/work/uvo" checkout -q "$commit"
mkdir -p "$root/root/.cache/uvo-windows"

say "running scripts/windows/release-job.sh $* on $commit, without CAP_SYS_ADMIN"
job_started=$(date +%s)
status=0
# The mounts live in a private mount namespace and go with it.
# shellcheck disable=SC2016 # expanded by the inner shell
unshare --mount --propagation private sh -c '
    root=$1 cache=$2 work=$3 overlay=$4
    shift 4
    if [ -n "$overlay" ]; then
        mount -t overlay overlay -o "lowerdir=$cache,upperdir=$work/cache-upper,workdir=$work/cache-work" \
            "$root/root/.cache/uvo-windows"
    else
        mount --bind "$cache" "$root/root/.cache/uvo-windows"
    fi
    mount --rbind /dev "$root/dev"
    mount -t proc proc "$root/proc"
    mount -t sysfs -o ro sysfs "$root/sys"
    exec capsh --drop=cap_sys_admin -- -c "exec chroot \"$root\" /usr/bin/env -i \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root CI=true \
        sh -c \"cd /work/uvo && exec scripts/windows/release-job.sh $*\""
' fresh "$root" "$cache" "$work" "$overlay" "$@" || status=$?
say "the release job ended with exit code $status after $(($(date +%s) - job_started)) s"
[ "$status" -eq 0 ] || exit "$status"
sed 's/^/  /' "$root/work/uvo/release/SHA256SUMS"
