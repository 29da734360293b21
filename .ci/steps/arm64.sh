#!/usr/bin/env bash
# arm64 (the Raspberry Pi class: Debian bookworm arm64) under user-mode
# emulation: the cross-built manylinux2014 aarch64 wheel installed in a
# bookworm arm64 root with its own python3, and the suite run there.
#
# The root (with a venv holding the test dependencies) is kept outside the
# clone, in $ORX_ARM64_ROOT (default /var/cache/orx-ci/arm64-bookworm), so a
# rerun on the same machine only builds the wheel and runs the tests; on a
# new machine the step makes it from Debian's packages first. Left out, as
# they are covered by the native runs and cost most under emulation: the
# Alpaca server's tests, the examples, the leak checks and the stub check.
set -euo pipefail
root=$(pwd)
chroot_dir=${ORX_ARM64_ROOT:-/var/cache/orx-ci/arm64-bookworm}
stamp=$chroot_dir/.orx-ready-1     # bump when what the root holds changes
packages=python3,python3-venv,ca-certificates,gcc,libc6-dev,binutils
test_deps=(pytest hypothesis numpy astropy)
t0=$SECONDS

need=()
command -v qemu-aarch64-static >/dev/null || need+=(qemu-user-static)
command -v update-binfmts >/dev/null || need+=(binfmt-support)
command -v debootstrap >/dev/null || need+=(debootstrap)
if [ ${#need[@]} -gt 0 ]; then
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${need[@]}"
fi
mountpoint -q /proc/sys/fs/binfmt_misc || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
[ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ] || update-binfmts --enable qemu-aarch64
[ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ] || { echo "no binfmt handler for aarch64" >&2; exit 1; }

mounted=()
unmount_all() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[i]}" 2>/dev/null || true; done
    mounted=()
}
trap unmount_all EXIT
mount_into() { # mount_into DIR: proc, dev, a fresh /dev/shm, the host's resolver and CA bundle
    local d=$1
    mount -t proc proc "$d/proc" && mounted+=("$d/proc")
    mount --bind /dev "$d/dev" && mounted+=("$d/dev")
    mkdir -p "$d/dev/shm"
    mount -t tmpfs tmpfs "$d/dev/shm" && mounted+=("$d/dev/shm")
    cp -L /etc/resolv.conf "$d/etc/resolv.conf" 2>/dev/null || true
    # a host behind an intercepting proxy trusts more than Debian's bundle
    cp -L /etc/ssl/certs/ca-certificates.crt "$d/etc/ssl/certs/host-ca.crt"
}
in_root() { # in_root DIR CMD...: a clean environment in the arm64 root
    local d=$1; shift
    chroot "$d" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
        PIP_CERT=/etc/ssl/certs/host-ca.crt PIP_DISABLE_PIP_VERSION_CHECK=1 "$@"
}

remove_root() { # a root left by a broken run may still have /dev bound into it
    local d=$1 m
    [ -e "$d" ] || return 0
    for m in $(awk -v d="$d/" 'index($2, d) == 1 {print $2}' /proc/mounts | sort -r); do umount -l "$m" || true; done
    rm -rf --one-file-system "$d"
}

if [ ! -e "$stamp" ]; then
    # the same Debian mirror as the host's apt
    mirror=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
    [ -n "$mirror" ] || mirror=$(awk '$1 == "deb" && $3 ~ /^bookworm/ {print $2; exit}' /etc/apt/sources.list)
    new=$chroot_dir.new
    remove_root "$new"
    mkdir -p "$(dirname "$chroot_dir")"
    echo "making the arm64 root (debootstrap from $mirror)"
    debootstrap --arch=arm64 --variant=minbase --include="$packages" bookworm "$new" "$mirror" > "$new.log" 2>&1 ||
        { tail -n 30 "$new.log"; exit 1; }
    mount_into "$new"
    in_root "$new" python3 -m venv /opt/orx-venv
    in_root "$new" /opt/orx-venv/bin/python -m pip install -q "${test_deps[@]}"
    unmount_all
    touch "$new/.orx-ready-1"
    remove_root "$chroot_dir"
    mv "$new" "$chroot_dir" && rm -f "$new.log"
    echo "arm64 root made in $((SECONDS - t0)) s"
fi

# the wheel for the root's CPython, cross-built on the host by the release script
ver=$(in_root "$chroot_dir" python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
host_py=""
for p in $(ls -d /root/.pyenv/versions/"$ver".* 2>/dev/null | sort -V -r) ; do
    [ -x "$p/bin/python" ] && { host_py=$p/bin/python; break; }
done
[ -n "$host_py" ] || host_py=$(command -v "python$ver" || true)
[ -n "$host_py" ] || { echo "no CPython $ver on the host to build the arm64 wheel with" >&2; exit 1; }
t1=$SECONDS
work=$chroot_dir/root/orx-run
rm -rf "$work" && mkdir -p "$work/dist"
ORX_WHEEL_ARCHS=aarch64 ORX_WHEEL_PYTHONS=$host_py tools/build_wheel.sh "$work/dist" > "$work/build.log" 2>&1 ||
    { tail -n 40 "$work/build.log"; exit 1; }
wheel=$(cd "$work/dist" && ls orx-*manylinux2014_aarch64*.whl)
echo "built $wheel in $((SECONDS - t1)) s"

cp -r tests include "$work"/
mount_into "$chroot_dir"
in_root "$chroot_dir" /opt/orx-venv/bin/python -m pip install -q --force-reinstall --no-deps "/root/orx-run/dist/$wheel"
in_root "$chroot_dir" uname -m
t2=$SECONDS
cd "$chroot_dir/root/orx-run"
in_root "$chroot_dir" /bin/sh -c 'cd /root/orx-run && exec "$@"' sh /opt/orx-venv/bin/python -m pytest -q \
    -p no:cacheprovider --durations=5 --ignore=tests/alpaca --ignore=tests/test_examples.py \
    --ignore=tests/test_leaks.py --ignore=tests/test_stub.py tests
echo "arm64 suite ran in $((SECONDS - t2)) s; the step took $((SECONDS - t0)) s"
