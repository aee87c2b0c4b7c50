#!/usr/bin/env bash
# The real-kernel USB rig: boots Debian 12's own kernel under QEMU with a
# dummy USB host/device controller pair, serves emulated bridges as USB
# mass-storage gadgets (rig/qks_gadget through FunctionFS) and runs qks970
# against them through usb-storage, sd and sg. See rig/README.md.
#
#   scripts/rig.sh            everything: packages, kernel, build, initramfs, boot
#   QKS_RIG_ONLY="list in_use" scripts/rig.sh
#                             only those scenarios (their names in rig/README.md)
#   QKS_RIG_PROGRAMS=build-ci scripts/rig.sh
#                             take qks970 and qks_gadget from a build tree that
#                             already has them (CI builds them with the tests)
#
# Run as root or with sudo on Debian 12. Caches the unpacked kernel and the
# initramfs pieces under build-rig/cache, so a second run only rebuilds what
# changed and boots. Exits 0 only when every scenario passed.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$ROOT/build-rig
CACHE=$BUILD/cache
QEMU_TIMEOUT=${QKS_RIG_TIMEOUT:-240}
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
started=$(date +%s)
mkdir -p "$CACHE"

note() { echo "rig.sh: $*"; }
die() { echo "rig.sh: $*" >&2; exit 1; }
since() { echo $(( $(date +%s) - $1 )); }

# ---- packages -----------------------------------------------------------------

packages=(
  qemu-system-x86 busybox-static sg3-utils cpio xz-utils zstd kmod dosfstools
  build-essential cmake ninja-build pkg-config
  libcli11-dev nlohmann-json3-dev libssl-dev libudev-dev libsgutils2-dev
)
step=$(date +%s)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  note "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq
  $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" \
    > "$CACHE/apt.log" 2>&1 || { tail -n 20 "$CACHE/apt.log" >&2; die "apt-get install failed (log: $CACHE/apt.log)"; }
fi
note "packages ready ($(since $step) s)"

# ---- the kernel ----------------------------------------------------------------

mkdir -p "$CACHE/debs"
step=$(date +%s)
APT_DOWNLOAD=(apt-get -o APT::Sandbox::User=root -o DPkg::Lock::Timeout=600 download)
# The metapackage names the real image package; without a network the
# newest one already unpacked is used.
kernel_pkg=""
if (cd "$CACHE/debs" && "${APT_DOWNLOAD[@]}" linux-image-amd64 > /dev/null 2>&1); then
  meta=$(ls -t "$CACHE"/debs/linux-image-amd64_*.deb | head -n 1)
  kernel_pkg=$(dpkg-deb -f "$meta" Depends | tr ',' '\n' | sed -n 's/^ *\(linux-image-[0-9][^ ]*\).*/\1/p' | head -n 1)
fi
if [ -z "$kernel_pkg" ]; then
  kernel_pkg=$(ls -t "$CACHE" 2>/dev/null | sed -n 's/^kernel-\(linux-image-.*\)$/\1/p' | head -n 1)
  [ -n "$kernel_pkg" ] || die "cannot download linux-image-amd64 and no kernel is cached in $CACHE"
  note "no package download; using the cached $kernel_pkg"
fi
KDIR=$CACHE/kernel-$kernel_pkg
if [ ! -f "$KDIR/ready" ]; then
  rm -rf "$KDIR"
  mkdir -p "$KDIR"
  if ! ls "$CACHE"/debs/"${kernel_pkg}"_*.deb > /dev/null 2>&1; then
    note "downloading $kernel_pkg"
    (cd "$CACHE/debs" && "${APT_DOWNLOAD[@]}" "$kernel_pkg" > /dev/null) || die "apt-get download $kernel_pkg failed"
  fi
  deb=$(ls -t "$CACHE"/debs/"${kernel_pkg}"_*.deb | head -n 1)
  dpkg-deb -x "$deb" "$KDIR/root"
  release=$(ls "$KDIR/root/lib/modules" | head -n 1)
  [ -n "$release" ] || die "$deb holds no modules"
  # The package leaves modules.dep to its postinst; make it here.
  depmod -b "$KDIR/root" "$release" || die "depmod failed for $release"
  echo "$release" > "$KDIR/release"
  # The uncompressed ELF boots straight through its PVH entry, faster than
  # the bzImage's own decompressor; found the way extract-vmlinux finds it.
  vmlinuz=$KDIR/root/boot/vmlinuz-$release
  for magic in '\xfd7zXZ\x00:xz -dc' '\x1f\x8b\x08:gzip -dc' '\x28\xb5\x2f\xfd:zstd -dc'; do
    pattern=${magic%%:*}
    tool=${magic#*:}
    for offset in $(LC_ALL=C grep -obUaP "$pattern" "$vmlinuz" | cut -d: -f1 | head -n 5); do
      tail -c +$((offset + 1)) "$vmlinuz" | $tool > "$KDIR/vmlinux" 2> /dev/null || true
      if [ "$(head -c 4 "$KDIR/vmlinux" | od -An -tx1 | tr -d ' ')" = 7f454c46 ]; then
        break 2
      fi
    done
  done
  [ "$(head -c 4 "$KDIR/vmlinux" 2>/dev/null | od -An -tx1 | tr -d ' ')" = 7f454c46 ] || rm -f "$KDIR/vmlinux"
  touch "$KDIR/ready"
fi
release=$(cat "$KDIR/release")
KERNEL=$KDIR/vmlinux
[ -f "$KERNEL" ] || { KERNEL=$KDIR/root/boot/vmlinuz-$release; note "no ELF kernel found inside vmlinuz; booting the bzImage"; }
note "kernel $release ready ($(since $step) s)"

# ---- Debian's udevd -------------------------------------------------------------

# Unpacked like the kernel, never installed on the host: only the VM runs it.
step=$(date +%s)
(cd "$CACHE/debs" && "${APT_DOWNLOAD[@]}" udev > /dev/null 2>&1) || note "no udev download; using a cached one"
udev_deb=$(ls -t "$CACHE"/debs/udev_*.deb 2>/dev/null | head -n 1)
[ -n "$udev_deb" ] || die "cannot download udev and none is cached in $CACHE/debs"
UDEV_ROOT=$CACHE/$(basename "$udev_deb" .deb)
[ -d "$UDEV_ROOT" ] || dpkg-deb -x "$udev_deb" "$UDEV_ROOT"
UDEVADM=""
for candidate in "$UDEV_ROOT/usr/bin/udevadm" "$UDEV_ROOT/bin/udevadm"; do
  [ -x "$candidate" ] && UDEVADM=$candidate
done
[ -n "$UDEVADM" ] || die "$udev_deb holds no udevadm"
note "udev $(basename "$udev_deb") ready ($(since $step) s)"

# ---- the programs -----------------------------------------------------------------

step=$(date +%s)
if [ -n "${QKS_RIG_PROGRAMS:-}" ]; then
  PROGRAMS=$(cd "$ROOT" && cd "$QKS_RIG_PROGRAMS" && pwd)
  ninja -C "$PROGRAMS" qks970 qks_gadget > "$BUILD/build.log" 2>&1 ||
    { grep -E "error|FAILED" "$BUILD/build.log" | head -n 30 >&2; die "build failed (log: $BUILD/build.log)"; }
  QKS970=$PROGRAMS/faces/cli/qks970
  GADGET=$PROGRAMS/rig/qks_gadget
  TREE=$PROGRAMS
else
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DQKS_BUILD_QT=OFF -DQKS_BUILD_TESTS=OFF -DQKS_BUILD_BENCHMARKS=OFF -DQKS_BUILD_RIG=ON \
    > "$BUILD/configure.log" 2>&1 || { tail -n 30 "$BUILD/configure.log" >&2; die "cmake configure failed"; }
fi
ninja -C "$BUILD" -j2 qks970 qks_gadget > "$BUILD/build.log" 2>&1 ||
  { grep -E "error|FAILED" "$BUILD/build.log" | head -n 30 >&2; die "build failed (log: $BUILD/build.log)"; }
QKS970=$BUILD/faces/cli/qks970
GADGET=$BUILD/rig/qks_gadget
TREE=$BUILD
fi
# The udev rule as `cmake --install` lays it out.
INSTALLED=$BUILD/installed
rm -rf "$INSTALLED"
DESTDIR=$INSTALLED cmake --install "$TREE" --prefix /usr --component cli > "$BUILD/install.log" 2>&1 ||
  { tail -n 20 "$BUILD/install.log" >&2; die "cmake --install failed (log: $BUILD/install.log)"; }
RULE=$INSTALLED/usr/lib/udev/rules.d/70-qks970.rules
[ -f "$RULE" ] || die "cmake --install put no udev rule at ${RULE#$INSTALLED}"
note "qks970 and qks_gadget built, the udev rule installed ($(since $step) s)"

# ---- the initramfs -----------------------------------------------------------------

step=$(date +%s)
MODROOT=$KDIR/root/lib/modules/$release
STAGE=$CACHE/initramfs-$release
# The crc algorithms sd_mod's checksum modules look up by name when they
# load; busybox insmod does not load modules by alias, so they come first.
# vfat and its code pages for the mounted partition, sr_mod for the CD-ROM unit.
roots=(crct10dif_generic crc64_rocksoft_generic configfs scsi_mod sg sd_mod sr_mod usb-storage uas
       udc-core libcomposite usb_f_fs dummy_hcd nls_cp437 nls_utf8 nls_ascii vfat)
# A changed list makes the staged modules again.
if [ "$(cat "$STAGE/rig/modules.roots" 2>/dev/null)" != "${roots[*]}" ]; then
  rm -f "$STAGE/rig/modules.load"
fi
if [ ! -f "$STAGE/rig/modules.load" ]; then
  rm -rf "$STAGE"
  mkdir -p "$STAGE/rig" "$STAGE/lib/modules/$release"
  : > "$STAGE/rig/modules.load.new"
  for name in "${roots[@]}"; do
    line=$(grep -E "(^|/)${name}\.ko(\.xz|\.zst|\.gz)?:" "$MODROOT/modules.dep" | head -n 1) ||
      die "module $name is not in $MODROOT/modules.dep"
    # modules.dep lists the whole closure, the first to load last.
    for m in $(echo "${line#*:}" | tr ' ' '\n' | tac) "${line%%:*}"; do
      plain=${m%.xz}; plain=${plain%.zst}; plain=${plain%.gz}
      grep -qxF "$plain" "$STAGE/rig/modules.load.new" && continue
      mkdir -p "$STAGE/lib/modules/$release/$(dirname "$plain")"
      case "$m" in
        *.xz) xz -dc "$MODROOT/$m" > "$STAGE/lib/modules/$release/$plain" ;;
        *.zst) zstd -qdc "$MODROOT/$m" > "$STAGE/lib/modules/$release/$plain" ;;
        *.gz) gzip -dc "$MODROOT/$m" > "$STAGE/lib/modules/$release/$plain" ;;
        *) cp "$MODROOT/$m" "$STAGE/lib/modules/$release/$plain" ;;
      esac
      echo "$plain" >> "$STAGE/rig/modules.load.new"
    done
  done
  mv "$STAGE/rig/modules.load.new" "$STAGE/rig/modules.load"
  echo "${roots[*]}" > "$STAGE/rig/modules.roots"
fi
echo "$release" > "$STAGE/rig/kernel-release"
mkdir -p "$STAGE/bin" "$STAGE/usr/bin"
[ -x /bin/busybox ] || die "/bin/busybox is missing (busybox-static)"
cp /bin/busybox "$STAGE/bin/busybox"
cp "$ROOT/rig/init.sh" "$STAGE/init"
chmod 755 "$STAGE/init"
for program in "$QKS970" "$GADGET" "$(command -v sg_raw)" "$UDEVADM"; do
  cp "$program" "$STAGE/usr/bin/"
  # Debug information only makes the initramfs larger and the boot slower.
  strip --strip-debug "$STAGE/usr/bin/$(basename "$program")" 2>/dev/null || true
  # Each shared library, and the loader, at the path the program asks for.
  for lib in $(ldd "$program" | grep -o '/[^ ]*'); do
    [ -f "$STAGE$lib" ] && continue
    mkdir -p "$STAGE$(dirname "$lib")"
    cp -L "$lib" "$STAGE$lib"
  done
done
# udevadm is also the daemon, by the name it is started as.
mkdir -p "$STAGE/lib/systemd"
ln -sfn /usr/bin/udevadm "$STAGE/lib/systemd/systemd-udevd"
# Debian's own rules and their helpers (cdrom_id, scsi_id, ...), as a
# desktop has them: udevd runs them on every node the scenarios make.
udev_lib=""
for candidate in "$UDEV_ROOT/usr/lib/udev" "$UDEV_ROOT/lib/udev"; do
  [ -d "$candidate/rules.d" ] && udev_lib=$candidate
done
[ -n "$udev_lib" ] || die "$udev_deb holds no rules.d"
rm -rf "$STAGE/usr/lib/udev"
mkdir -p "$STAGE/usr/lib/udev"
cp -a "$udev_lib/." "$STAGE/usr/lib/udev/"
# Its sources only: without a compiled hwdb.bin udevd never reads them.
rm -rf "$STAGE/usr/lib/udev/hwdb.d"
for helper in "$STAGE"/usr/lib/udev/*; do
  [ -f "$helper" ] && [ -x "$helper" ] || continue
  for lib in $(ldd "$helper" 2>/dev/null | grep -o '/[^ ]*'); do
    [ -f "$STAGE$lib" ] && continue
    mkdir -p "$STAGE$(dirname "$lib")"
    cp -L "$lib" "$STAGE$lib"
  done
done
# The user the non-root scenarios run as, in plugdev as the rule wants.
mkdir -p "$STAGE/etc"
printf 'root:x:0:0:root:/root:/bin/sh\nqksuser:x:1000:1000:rig user:/home/qksuser:/bin/sh\n' > "$STAGE/etc/passwd"
printf 'root:x:0:\ndisk:x:6:\ncdrom:x:24:\nplugdev:x:46:qksuser\nqksuser:x:1000:\n' > "$STAGE/etc/group"
# Held back: the VM puts the rule in place, as the package does, after it
# has shown the user without it.
rm -f "$STAGE/usr/lib/udev/rules.d/70-qks970.rules"
cp "$RULE" "$STAGE/rig/70-qks970.rules"
# The enclosure's disk as a desktop would find it: an MBR with one FAT
# partition from 1 MiB to the end of 8 MiB, for the scenario that mounts it.
DISK=$CACHE/disk.img
if [ ! -f "$DISK" ]; then
  rm -f "$DISK.part"
  mkfs.vfat -C -n QKSDISK "$DISK.part" 7168 > /dev/null || die "mkfs.vfat failed"
  truncate -s 8M "$DISK.new"
  # Partition 1: type 0x0c (FAT32 LBA, which Linux takes for any FAT),
  # first sector 2048, 14336 sectors; then the boot signature.
  printf '\x00\xfe\xff\xff\x0c\xfe\xff\xff\x00\x08\x00\x00\x00\x38\x00\x00' |
    dd of="$DISK.new" bs=1 seek=446 conv=notrunc status=none
  printf '\x55\xaa' | dd of="$DISK.new" bs=1 seek=510 conv=notrunc status=none
  dd if="$DISK.part" of="$DISK.new" bs=512 seek=2048 conv=notrunc status=none
  rm -f "$DISK.part"
  mv "$DISK.new" "$DISK"
fi
cp "$DISK" "$STAGE/rig/disk.img"
INITRD=$BUILD/rig-initramfs.cpio
(cd "$STAGE" && find . | LC_ALL=C sort | cpio -o -H newc --quiet) > "$INITRD"
note "initramfs $(du -h "$INITRD" | cut -f1) with $(wc -l < "$STAGE/rig/modules.load") modules ($(since $step) s)"

# ---- the boot -----------------------------------------------------------------------

step=$(date +%s)
LOG=$BUILD/rig-console.log
note "booting $release under QEMU (TCG, 1 vCPU), at most $QEMU_TIMEOUT s"
set +e
timeout "$QEMU_TIMEOUT" qemu-system-x86_64 -machine q35 -accel tcg -smp 1 -m 768 \
  -nographic -no-reboot -nic none \
  -kernel "$KERNEL" -initrd "$INITRD" \
  -append "console=ttyS0 quiet loglevel=3 panic=-1${QKS_RIG_VERBOSE:+ rig.verbose=1}${QKS_RIG_ONLY:+ rig.only=$(echo $QKS_RIG_ONLY | tr ' ' ,)}" < /dev/null 2>&1 | tr -d '\r' > "$LOG"
qemu_status=${PIPESTATUS[0]}
set -e
note "VM finished ($(since $step) s), console log: $LOG"

grep -E '^rig: ' "$LOG" || true
grep -E '^(PASS|FAIL) ' "$LOG" || true
summary=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$LOG" | tail -n 1 || true)
if [ "$qemu_status" -eq 124 ]; then
  tail -n 40 "$LOG" >&2
  die "the VM did not finish within $QEMU_TIMEOUT s"
fi
if [ -z "$summary" ]; then
  tail -n 40 "$LOG" >&2
  die "the VM ended (status $qemu_status) without a result line"
fi
if grep -qE '^FAIL ' "$LOG"; then
  note "failure details:"
  awk '/^FAIL / { show = 1 } /^(PASS |rig: |[0-9]+ passed)/ { show = 0 } show' "$LOG" >&2
fi
note "whole run $(since $started) s"
echo "$summary"
failed=$(echo "$summary" | sed 's/.* \([0-9]*\) failed$/\1/')
[ "$failed" -eq 0 ]
