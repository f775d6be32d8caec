#!/usr/bin/env bash
# The tool against real kernel SCSI stacks: boots a small Linux guest under
# QEMU (TCG) with one processor, three adapters (virtio-scsi, a parallel SCSI
# adapter, virtio-scsi with a short queue) carrying four emulated disks, and
# the kernel's own simulated SCSI unit; runs the tool in it at the hardware
# and at the software level, and beside fio for the rates; and checks the
# guest's output against what the guest's own sysfs, sg_inq, sg_readcap and
# sg_modes and the images say. The disk models are QEMU's and the kernel's:
# SCSI implementations nobody here wrote.
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

# The units: name, adapter, SCSI target and LUN, size in MiB, block size,
# vendor, product (which finds the unit in the guest), revision.
# - main: QEMU's disk on virtio-scsi at a non-zero target and LUN, with an
#   empty CD-ROM drive on the same host, so that the bus inquiry lists more
#   units than one and the tool must pick the right one; requests of at
#   most 256 KB make the request size, not the 254 segments, bound the
#   pages.
# - rate: a larger disk on the same host for the runs beside fio, whose
#   passes must outlast the loaded CPU probe.
# - lsi, lsi4k: a parallel SCSI adapter (no LUNs on its bus), whose 96
#   segments bind the transfers, with a disk of 512-byte and one of
#   4096-byte blocks.
# - shortq: virtio-scsi with a short queue: 62 segments.
# - debug: the kernel's simulated unit, scsi_debug, loaded in the guest: a
#   SCSI target nobody here wrote either, with mode pages of its own.
readonly units="\
main   scsi0 3 2 256 512  VELKTEST QEMU-E2E DISK   1.23
rate   scsi0 4 0 384 512  VELKTEST RATE-E2E DISK   6.78
lsi    scsi1 2 0 96  512  VELKTEST LSI-E2E DISK    2.34
lsi4k  scsi1 0 0 96  4096 VELKTEST LSI-E2E 4K DISK 3.45
shortq scsi2 0 0 64  512  VELKTEST SHORTQ-E2E DISK 4.56
debug  -     0 0 8   512  VELKDBG  DEBUG-E2E-UNIT  5.67"
# The runs: name, unit, workers, requests a pass, SoftwareIo, ShowDefectList,
# DebugOutput, ShowCacheSpeed. The first disk gets both levels with two
# workers, the defect lists and the diagnostics; the parallel SCSI
# adapter's first disk both levels with two workers; its 4096-byte-block
# disk and the short-queue disk the hardware level; the simulated unit the
# report alone. The rate runs (one worker, long passes) go beside fio.
readonly runs="\
hardware        main   2 256 0 1 1 1
software        main   2 256 1 1 0 0
lsi-hardware    lsi    2 160 0 0 1 1
lsi-software    lsi    2 100 1 0 0 0
lsi4k-hardware  lsi4k  1 160 0 0 1 0
shortq-hardware shortq 1 160 0 0 1 1
debug-report    debug  0 256 0 1 0 1
rate-hardware   rate   1 768  0 0 0 0
rate-software   rate   1 768  1 0 0 0"
readonly step_kb=16384 # SingleStepInKBytes of every run
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
for program in sg_modes sg_inq sg_readcap sg_raw fio modprobe xz cksum; do
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
cp "$here/velkrand.reg.in" "$stage/etc/e2e/"
debug_unit=""
while read -r name bus target lun mib block vendor product; do
    revision=${product##* }
    product=${product% *}
    echo "$name $product" >>"$stage/etc/e2e/units"
    if [ "$bus" = - ]; then
        debug_unit="dev_size_mb=$mib sector_size=$block delay=0 inq_vendor=$vendor"
        debug_unit+=" inq_product=$product inq_rev=$revision"
    fi
done <<<"$units"
cat >"$stage/etc/e2e/params" <<EOF
DEBUG_UNIT="$debug_unit"
STEP_KB=$step_kb
EOF
printf '%s\n' "$runs" >"$stage/etc/e2e/runs"
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
for program in sg_modes sg_inq sg_readcap sg_raw fio; do
    add_program "$(command -v "$program")"
done
# Debugging aids: run.sh --extra SCRIPT runs SCRIPT in the guest at the end,
# with any --add PROGRAM at hand.
for program in "${added[@]}"; do
    add_program "$program"
done

# Modules in load order, dependencies first; crc providers before users.
: >"$stage/etc/e2e/modules"
# brd gives the guest a block device that is no SCSI disk.
for module in crct10dif_generic crc64_rocksoft_generic virtio_pci virtio_scsi sym53c8xx \
    scsi_debug sd_mod sg brd; do
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

disks=()
while read -r name bus target lun mib block vendor product; do
    [ "$bus" = - ] && continue
    revision=${product##* }
    product=${product% *}
    perl -e 'for my $s (0 .. $ARGV[0] * 2048 - 1) {
        print pack("a512", sprintf("velkrand test image sector %010d\n", $s) x 12) }' \
        "$mib" >"$work/$name.img"
    disks+=(-drive "file=$work/$name.img,format=raw,if=none,id=$name"
        -device "scsi-hd,bus=$bus.0,channel=0,scsi-id=$target,lun=$lun,drive=$name,vendor=$vendor,product=$product,ver=$revision,serial=E2E-$name,logical_block_size=$block,physical_block_size=$block")
done <<<"$units"
# One primary partition (sectors 2048 to 6143) on the first disk, so that
# the guest has a partition to refuse.
{
    printf '\x00\x00\x00\x00\x83\x00\x00\x00\x00\x08\x00\x00\x00\x10\x00\x00'
    head -c 48 /dev/zero
    printf '\x55\xaa'
} | dd of="$work/main.img" bs=1 seek=446 conv=notrunc status=none
checksums() { (cd "$work" && cksum ./*.img | tr '\n' ' '); }
checksums_before=$(checksums)

# --- Boot ------------------------------------------------------------------

console=$work/console.log
trace=$work/scsi-trace.log
rm -f "$console" "$trace"
started=$(date +%s.%N)
set +e
timeout --kill-after=10 "$guest_timeout" "$qemu" \
    -nodefaults -nographic -no-reboot -machine pc -accel tcg -m 1536 -smp 1 \
    -kernel "$vmlinux" -initrd "$work/initramfs.cpio" \
    -append "console=ttyS0 panic=-1 loglevel=4" \
    -serial "file:$console" -monitor none \
    -trace "enable=scsi_req_parsed,file=$trace" \
    -device virtio-scsi-pci,id=scsi0,max_sectors=512 \
    -device lsi53c895a,id=scsi1 \
    -device virtio-scsi-pci,id=scsi2,virtqueue_size=64 \
    "${disks[@]}" \
    -device "scsi-cd,bus=scsi0.0,channel=0,scsi-id=5,lun=0,vendor=OTHERVEN,product=SPARE CD,ver=9.99" \
    </dev/null
qemu_status=$?
set -e
finished=$(date +%s.%N)
tr -d '\r' <"$console" >"$work/guest.out"
checksums_after=$(checksums)

echo "guest: kernel $kernel_version, QEMU exit $qemu_status, $(awk -v a="$started" -v b="$finished" 'BEGIN {printf "%.1f", b - a}') s; log $work/guest.out"
printf '%s\n' "$units" >"$work/units"
printf '%s\n' "$runs" >"$work/runs"
status=0
"$here/check.sh" "$work" "$step_kb" "$qemu_status" "$checksums_before" "$checksums_after" || status=$?
# The logs stay; the large pieces only when something is to be looked into.
[ "$status" -eq 0 ] && rm -rf "$work"/*.img "$stage" "$work/initramfs.cpio"
exit "$status"
