#!/usr/bin/env bash
# scripts/with-vcan's QEMU guest as a write boundary: a command in it may
# change the host only in its cwd and the WITH_VCAN_RW directories. It runs
# as root in a guest whose kernel it can drive at will, so the checks go at
# every way it has to the host: paths outside the shared directories,
# symlinks out of them, the mounts behind PID 1's back (/proc/1/root), every
# 9p share the guest sees (mounted, remounted read-write, or mounted afresh)
# must leave a host directory next to the cwd untouched.
#
# One VM boot; prints "N passed, N failed" last and fails if any check did.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
mkdir -p "$root/build"
base=$(mktemp -d "$root/build/with-vcan-boundary.XXXXXX")
trap 'rm -rf "$base"' EXIT
cwd=$base/cwd rw=$base/rw outside=$base/outside
mkdir "$cwd" "$rw" "$outside"

passed=0 failed=0
check() {
    local what=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
        echo "ok: $what"
    else
        failed=$((failed + 1))
        echo "FAIL: $what"
    fi
}
file_is() { [ -f "$1" ] && [ "$(cat "$1")" = "$2" ]; }
has_line() { grep -qxF -- "$2" "$1"; }
lacks() { ! grep -- "$2" "$1"; }

# Runs in the guest, from the cwd, with $1 = the outside directory and $2 =
# the WITH_VCAN_RW one. Prints what it tried; the host checks the outcome.
# shellcheck disable=SC2016 # expanded by the guest's bash
probe='
outside=$1 rw=$2
echo in-cwd >written-in-cwd
echo in-rw >"$rw/written-in-rw"
echo to-stdout
echo to-stderr >&2

# A write outside the shared directories succeeds, in the guest only.
if echo direct >"$outside/direct" && [ "$(cat "$outside/direct")" = direct ]; then
    echo "layer: ok"
fi
# A symlink in the cwd share, followed by whoever resolves it.
ln -s "$outside/via-symlink" link-out && echo symlink >link-out

# A share rooted at any ancestor of $outside holds it at one of these.
tails=() t=$outside
while :; do
    tails+=("$t")
    r=${t#/*/}
    [ "$r" != "$t" ] || break
    t=/$r
done
n=0
# Tries to create a file in $outside as seen from under the directory $1.
try_under() {
    local t
    for t in "${tails[@]}"; do
        [ -d "$1$t" ] || continue
        n=$((n + 1))
        if { : >"$1$t/$2-$n"; } 2>/dev/null; then
            echo "created $1$t/$2-$n"
        else
            echo "reached $1$t"
        fi
    done
}

# Mounts as PID 1 sees them (outside our chroot too), then as we do.
while read -r _ mp type opts _; do
    [ "$type" = 9p ] && try_under "/proc/1/root$mp" proc1
done </proc/1/mounts
while read -r _ mp type _; do
    [ "$type" = 9p ] && try_under "$mp" mounts
done </proc/self/mounts
# Whatever share no one has mounted yet (a tag in use cannot be mounted
# twice).
mkdir -p /run/boundary
for f in /sys/bus/virtio/drivers/9pnet_virtio/*/mount_tag; do
    [ -e "$f" ] || continue
    tag=$(tr -d "\0\n" <"$f")
    echo "tag $tag"
    mkdir -p "/run/boundary/$tag"
    if mount -t 9p -o trans=virtio,version=9p2000.L,cache=none "$tag" "/run/boundary/$tag" 2>/dev/null; then
        try_under "/run/boundary/$tag" fresh
        umount "/run/boundary/$tag"
    fi
done
# Read-only mounts made writable: only the host can refuse then.
while read -r _ mp type opts _; do
    case $type,$opts in 9p,ro,* | 9p,*,ro,* | 9p,*,ro) ;; *) continue ;; esac
    if mount -o remount,rw "/proc/1/root$mp" 2>/dev/null; then
        echo "remounted $mp"
        try_under "/proc/1/root$mp" remount
    fi
done </proc/1/mounts

: >"/proc/1/root/newroot$PWD/via-proc1"
exit 7
'

cd "$cwd" || exit 1
echo "booting the guest (WITH_VCAN_MODE=qemu)"
start=$SECONDS
status=0
WITH_VCAN_MODE=qemu WITH_VCAN_RW=$rw WITH_VCAN_TIMEOUT=${WITH_VCAN_TIMEOUT:-600} \
    "$root/scripts/with-vcan" bash -c "$probe" probe "$outside" "$rw" \
    >"$base/stdout" 2>"$base/stderr" || status=$?
echo "the guest ran for $((SECONDS - start)) s; it said:"
sed 's/^/  | /' "$base/stdout" "$base/stderr"

check "the command's exit status comes back" [ "$status" = 7 ]
check "its stdout comes back" has_line "$base/stdout" to-stdout
check "its stderr comes back" has_line "$base/stderr" to-stderr
check "it can write outside the shared directories, in the guest" has_line "$base/stdout" "layer: ok"
check "a file written in the cwd is on the host" file_is "$cwd/written-in-cwd" in-cwd
check "a file written in a WITH_VCAN_RW directory is on the host" file_is "$rw/written-in-rw" in-rw
check "the cwd is writable through /proc/1/root too" [ -f "$cwd/via-proc1" ]
# Else the probe never met the host's copy of the directory and proves
# nothing about it.
check "the guest reached the outside directory through a 9p share" grep -q '^reached ' "$base/stdout"
check "no 9p share let the guest create a file outside" lacks "$base/stdout" "^created "
leaked=$(ls -A "$outside")
check "the host directory outside is untouched" [ -z "$leaked" ]
[ -z "$leaked" ] || echo "  appeared on the host: $leaked"

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
