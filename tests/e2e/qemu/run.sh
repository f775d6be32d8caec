#!/usr/bin/env bash
# The tool against a real kernel SCSI stack: boots a small Linux guest under
# QEMU (TCG) with a virtio-scsi host carrying two emulated disks, runs the
# tool in it at the hardware and at the software level, and checks the
# guest's output against what the guest's own sysfs, sg_modes and the image
# say. The disk model is QEMU's: a SCSI implementation nobody here wrote.
#
#   run.sh [--work DIR] [--extra GUEST-SCRIPT [--add PROGRAM]...] VELKRAND-BINARY
#
# Exit status: 0 when every check passed, 1 when one failed, 77 (skipped)
# when this machine cannot boot the guest; scripts/qemu-deps.sh installs
# what is missing.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
work=""
extra=""
added=()
while [ $# -gt 1 ]; do
    case "$1" in
        --work) work=$2; shift 2 ;;
        --extra) extra=$2; shift 2 ;;
        --add) added+=("$2"); shift 2 ;;
        *) break ;;
    esac
done
binary=${1:?usage: run.sh [--work DIR] [--extra GUEST-SCRIPT] VELKRAND-BINARY}
[ -z "$work" ] && work=$(mktemp -d "${TMPDIR:-/tmp}/velkrand-qemu.XXXXXX")
mkdir -p "$work"
work=$(cd "$work" && pwd)

skip() {
    echo "SKIP: the QEMU guest test did not run ($*); make test-qemu installs what it needs and runs it."
    exit 77
}

# The adapter. Requests of at most 256 KB make the request size, not the
# 254 scatter-gather segments, bound the pages the adapter reports, and keep
# the transfers of the tool's passes small enough for a small image.
# The units. The tested disk sits at a non-zero target and LUN so that the
# address the tool prints means something; an empty CD-ROM drive shares its
# host, so the bus inquiry lists two units and the tool must pick the right
# one (and the disk is always sda: no other disk competes for the name).
readonly disk_address=0:0:3:2
readonly other_address=0:0:5:0
readonly disk_mib=256
readonly vendor=VELKTEST product="QEMU-E2E DISK" revision=1.23
readonly step_kb=16384 # SingleStepInKBytes of both configurations
readonly guest_timeout=300

# --- What the machine must have -------------------------------------------

qemu=$(command -v qemu-system-x86_64) || skip "qemu-system-x86_64 not found"
kernel_image=""
for candidate in $(ls -1 /boot/vmlinuz-* 2>/dev/null | sort -V -r); do
    version=${candidate#/boot/vmlinuz-}
    if [ -r "$candidate" ] && [ -d "/lib/modules/$version/kernel/drivers/scsi" ]; then
        kernel_image=$candidate
        break
    fi
done
[ -n "$kernel_image" ] || skip "no readable /boot/vmlinuz-* with its modules (package linux-image-amd64)"
kernel_version=${kernel_image#/boot/vmlinuz-}
busybox=$(command -v busybox || true)
[ -n "$busybox" ] && ! ldd "$busybox" >/dev/null 2>&1 || skip "no static busybox (package busybox-static)"
for program in sg_modes fio modprobe xz; do
    command -v "$program" >/dev/null || skip "$program not found"
done
[ -x "$binary" ] || { echo "FAIL: no tool binary at $binary"; exit 1; }

# --- The guest's kernel: the uncompressed ELF boots fastest under TCG ------

vmlinux=$work/vmlinux-$kernel_version
if [ ! -s "$vmlinux" ]; then
    offset=$(LC_ALL=C grep -obUaP '\xFD7zXZ\x00' "$kernel_image" | head -n 1 | cut -d: -f1 || true)
    # xz stops after the first stream, so tail may die of a broken pipe:
    # only the result counts.
    [ -n "$offset" ] &&
        { tail -c +$((offset + 1)) "$kernel_image" | xz -dc --single-stream >"$vmlinux.part" 2>/dev/null || true; }
    if [ -s "$vmlinux.part" ] && [ "$(head -c 4 "$vmlinux.part" | od -An -tx1 | tr -d ' ')" = 7f454c46 ]; then
        mv "$vmlinux.part" "$vmlinux"
    else
        rm -f "$vmlinux.part"
        cp "$kernel_image" "$vmlinux" # not xz inside: boot it as it is
    fi
fi

# --- The initramfs ---------------------------------------------------------

stage=$work/initramfs
rm -rf "$stage"
mkdir -p "$stage"/{bin,etc/e2e,proc,sys,dev,tmp,run}
cp "$busybox" "$stage/bin/busybox"
cp "$here/guest-init.sh" "$stage/init"
chmod +x "$stage/init"
cp "$here/hardware.reg.in" "$here/software.reg.in" "$stage/etc/e2e/"
cat >"$stage/etc/e2e/params" <<EOF
DISK_ADDRESS=$disk_address
OTHER_ADDRESS=$other_address
FIO_BLOCK=$((step_kb * 1024))
EOF
if [ -n "$extra" ]; then
    cp "$extra" "$stage/etc/e2e/extra.sh"
    chmod +x "$stage/etc/e2e/extra.sh"
fi

# A program and the shared libraries it loads, at the same paths.
add_program() {
    cp "$1" "$stage/bin/$(basename "$1")"
    local library
    for library in $(ldd "$1" 2>/dev/null | awk '$2 == "=>" && $3 ~ /^\// {print $3} $1 ~ /^\// {print $1}'); do
        if [ ! -e "$stage$library" ]; then
            mkdir -p "$stage$(dirname "$library")"
            cp -L "$library" "$stage$library"
        fi
    done
}
add_program "$binary"
[ "$(basename "$binary")" = velkrand ] || mv "$stage/bin/$(basename "$binary")" "$stage/bin/velkrand"
add_program "$(command -v sg_modes)"
add_program "$(command -v fio)"
# Debugging aids: run.sh --extra SCRIPT runs SCRIPT in the guest at the end,
# with these and any --add PROGRAM at hand.
if [ -n "$extra" ]; then
    for program in sg_inq sg_readcap; do
        command -v "$program" >/dev/null && add_program "$(command -v "$program")"
    done
    for program in "${added[@]}"; do
        add_program "$program"
    done
fi

# Modules in load order, dependencies first; crc providers before users.
: >"$stage/etc/e2e/modules"
# brd gives the guest a block device that is no SCSI disk.
for module in crct10dif_generic crc64_rocksoft_generic virtio_pci virtio_scsi sd_mod sg brd; do
    modprobe -S "$kernel_version" --show-depends "$module" | awk '$1 == "insmod" {print $2}'
done | awk '!seen[$0]++' | while read -r path; do
    target=${path%.xz}
    target=${target%.zst}
    mkdir -p "$stage$(dirname "$target")"
    case "$path" in
        *.xz) xz -dc "$path" >"$stage$target" ;;
        *.zst) zstd -qdc "$path" >"$stage$target" ;;
        *) cp "$path" "$stage$target" ;;
    esac
    echo "$target" >>"$stage/etc/e2e/modules"
done

# Uncompressed: the guest unpacks it faster than a compressed one.
(cd "$stage" && find . | LC_ALL=C sort | "$busybox" cpio -o -H newc 2>/dev/null) >"$work/initramfs.cpio"

# --- The disks: a known pattern, a checksum before and after ---------------

image=$work/disk.img
perl -e 'for my $s (0 .. $ARGV[0] * 2048 - 1) {
    print pack("a512", sprintf("velkrand test image sector %010d\n", $s) x 12) }' \
    "$disk_mib" >"$image"
# One primary partition (sectors 2048 to 6143), so that the guest has a
# partition to refuse.
{
    printf '\x00\x00\x00\x00\x83\x00\x00\x00\x00\x08\x00\x00\x00\x10\x00\x00'
    head -c 48 /dev/zero
    printf '\x55\xaa'
} | dd of="$image" bs=1 seek=446 conv=notrunc status=none
checksum_before=$(sha256sum "$image" | awk '{print $1}')

# --- Boot ------------------------------------------------------------------

console=$work/console.log
trace=$work/scsi-trace.log
rm -f "$console" "$trace"
IFS=: read -r _ _ disk_target disk_lun <<<"$disk_address"
IFS=: read -r _ _ other_target other_lun <<<"$other_address"
started=$(date +%s.%N)
set +e
timeout --kill-after=10 "$guest_timeout" "$qemu" \
    -nodefaults -nographic -no-reboot -machine pc -accel tcg -m 1024 -smp 1 \
    -kernel "$vmlinux" -initrd "$work/initramfs.cpio" \
    -append "console=ttyS0 panic=-1 loglevel=4" \
    -serial "file:$console" -monitor none \
    -trace "enable=scsi_req_parsed,file=$trace" \
    -device virtio-scsi-pci,id=scsi0,max_sectors=512 \
    -drive "file=$image,format=raw,if=none,id=hd0" \
    -device "scsi-hd,bus=scsi0.0,channel=0,scsi-id=$disk_target,lun=$disk_lun,drive=hd0,vendor=$vendor,product=$product,ver=$revision,serial=E2E0001" \
    -device "scsi-cd,bus=scsi0.0,channel=0,scsi-id=$other_target,lun=$other_lun,vendor=OTHERVEN,product=SPARE CD,ver=9.99" \
    </dev/null
qemu_status=$?
set -e
finished=$(date +%s.%N)
tr -d '\r' <"$console" >"$work/guest.out"
checksum_after=$(sha256sum "$image" | awk '{print $1}')

echo "guest: kernel $kernel_version, QEMU exit $qemu_status, $(awk -v a="$started" -v b="$finished" 'BEGIN {printf "%.1f", b - a}') s; log $work/guest.out"
status=0
"$here/check.sh" "$work" "$disk_address" "$disk_mib" "$vendor" "$product" "$revision" \
    "$step_kb" "$qemu_status" "$checksum_before" "$checksum_after" || status=$?
# The logs stay; the large pieces only when something is to be looked into.
[ "$status" -eq 0 ] && rm -rf "$image" "$stage" "$work/initramfs.cpio"
exit "$status"
