#!/bin/sh
# Boots a QEMU guest with cgroup v2 and runs one command in it, inside this machine's own file
# system, shared read-only over 9p. The host's cgroups are never touched: everything that makes
# a cgroup runs here.
#   Usage: run.sh WORKDIR COMMAND...
# WORKDIR, a build tree, is shared writable at the same path; WORKDIR/guest keeps the kernel
# and initramfs between runs. COMMAND runs as root in the guest, with /tmp a tmpfs and cgroup2 at
# /sys/fs/cgroup with +memory +cpu +pids in the root's subtree; its output comes back here, and
# its exit status is run.sh's.
set -eu
work=$(mkdir -p "$1" && cd "$1" && pwd)
shift
boot="$work/guest/boot"
mkdir -p "$boot"

# Skipped where the tools are missing, but never in CI, which installs them.
missing=77
[ "${CI:-}" = true ] && missing=1
for tool in qemu-system-x86_64 busybox cpio; do
  command -v "$tool" >/dev/null || { echo "needs $tool (qemu-system-x86, busybox-static, cpio)"; exit $missing; }
done
# The initramfs has no libraries.
if readelf -l "$(command -v busybox)" 2>/dev/null | grep -q INTERP; then
  echo "needs a static busybox (busybox-static)"
  exit $missing
fi

# The kernel of Debian's linux-image-amd64 and the modules for 9p, fetched once.
if [ ! -f "$boot/vmlinuz" ]; then
  image=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)/\1/p' | head -1)
  if [ -z "$image" ]; then
    apt-get update -q >/dev/null
    image=$(apt-cache depends linux-image-amd64 | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)/\1/p' | head -1)
  fi
  rm -rf "$boot/deb" "$boot/modules" && mkdir -p "$boot/deb" "$boot/modules"
  (cd "$boot/deb" && apt-get download "$image" >/dev/null 2>&1) ||
    { apt-get update -q >/dev/null && (cd "$boot/deb" && apt-get download "$image" >/dev/null); }
  dpkg-deb -x "$boot"/deb/*.deb "$boot/deb/x"
  # In the order their modinfo depends= asks for.
  for m in virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci netfs \
    fscache 9pnet 9pnet_virtio 9p; do
    f=$(find "$boot"/deb/x/lib/modules -name "$m.ko*" | head -1)
    case $f in
    *.xz) xz -dc "$f" >"$boot/modules/$m.ko" ;;
    *) cp "$f" "$boot/modules/$m.ko" ;;
    esac
    echo "$m" >>"$boot/modules/order"
  done
  cp "$boot"/deb/x/boot/vmlinuz-* "$boot/vmlinuz.new"
  rm -rf "$boot/deb"
  mv "$boot/vmlinuz.new" "$boot/vmlinuz"
fi
# The initramfs, made again whenever init changes.
init=$(dirname "$0")/init
if ! cmp -s "$init" "$boot/init"; then
  rm -rf "$boot/initramfs" && mkdir -p "$boot/initramfs/bin"
  cp -r "$boot/modules" "$boot/initramfs/mod"
  cp "$(command -v busybox)" "$boot/initramfs/bin/busybox"
  cp "$init" "$boot/initramfs/init"
  chmod +x "$boot/initramfs/init"
  (cd "$boot/initramfs" && find . | cpio -o -H newc --quiet) >"$boot/initramfs.cpio"
  rm -rf "$boot/initramfs"
  cp "$init" "$boot/init"
fi

# The command, and where its results come back.
out="$work/guest/out"
rm -rf "$out" && mkdir -p "$out"
{
  printf 'cd %s 2>/dev/null || cd /\n' "$(pwd)"
  for arg in "$@"; do printf "'%s' " "$(printf '%s' "$arg" | sed "s/'/'\\\\''/g")"; done
  echo
} >"$out/command"

start=$(date +%s)
# No KVM: it hangs here at boot. TCG is slow but enough for correctness.
timeout 1500 qemu-system-x86_64 -accel tcg,thread=multi -smp 2 -m 3G -nographic -no-reboot \
  -kernel "$boot/vmlinuz" -initrd "$boot/initramfs.cpio" \
  -append "console=ttyS0 quiet panic=-1 phase1.work=$work" \
  -virtfs local,path=/,mount_tag=host,security_model=none,readonly=on,multidevs=remap \
  -virtfs local,path="$work",mount_tag=work,security_model=none,multidevs=remap \
  </dev/null >"$out/console" 2>&1 || true
cat "$out/log" 2>/dev/null || { echo "the guest gave no output; its console:"; cat "$out/console"; }
echo "guest: $(($(date +%s) - start)) s from boot to result"
[ -f "$out/status" ] || { echo "the guest did not finish; its console:"; tail -40 "$out/console"; exit 1; }
exit "$(cat "$out/status")"
