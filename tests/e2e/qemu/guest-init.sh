#!/bin/busybox sh
# /init of the test guest: brings up the SCSI stacks, runs the tool and the
# reference programs against the emulated disks and the kernel's simulated
# unit, prints everything between markers on the console, and powers off.
# The host reads the console log.
#
# /etc/e2e/units lists the units, one a line: a name, then the product
# string that finds it in sysfs. /etc/e2e/runs lists the runs of the tool,
# one a line: a name, a unit, the workers, the requests a pass and the
# flags SoftwareIo, ShowDefectList, DebugOutput and ShowCacheSpeed.
# /etc/e2e/params sets DEBUG_UNIT (the parameters of the kernel's simulated
# unit) and STEP_KB (the scan's step).

/bin/busybox mkdir -p /proc /sys /dev /tmp /run
/bin/busybox mount -t proc proc /proc
/bin/busybox mount -t sysfs sysfs /sys
/bin/busybox mount -t devtmpfs devtmpfs /dev
exec </dev/console >/dev/console 2>&1
/bin/busybox --install -s /bin
export PATH=/bin:/usr/bin

. /etc/e2e/params

begin() { echo "@@E2E BEGIN $1"; }
end() { echo "@@E2E END $1 $2 $(cut -d" " -f1 /proc/uptime)"; }
finish() {
    echo "@@E2E DONE"
    sync
    poweroff -f
}

# Dependencies come first in the list; a module the emulated processor
# cannot use (a pclmul variant) refuses to load, which is harmless.
for module in $(cat /etc/e2e/modules); do
    case $module in
        */scsi_debug.ko) insmod "$module" $DEBUG_UNIT ;;
        *) insmod "$module" 2>/dev/null ;;
    esac
done

# The SCSI address and block device of the unit whose product is $1.
find_unit() {
    local device
    for device in /sys/class/scsi_device/*; do
        if [ "$(sed 's/ *$//' "$device/device/model" 2>/dev/null)" = "$1" ]; then
            echo "$(basename "$device") $(ls "$device/device/block" 2>/dev/null)"
            return 0
        fi
    done
    return 1
}

# The disk drivers probe asynchronously after their modules have loaded.
ready() {
    local name product address disk
    while read -r name product; do
        read -r address disk <<EOF
$(find_unit "$product")
EOF
        [ -n "$disk" ] && [ -b "/dev/$disk" ] || return 1
        eval "disk_$name=$disk address_$name=$address"
    done </etc/e2e/units
    [ -b "/dev/${disk_main}1" ] && [ -b /dev/ram0 ] && [ -c /dev/sg0 ]
}
tries=0
until ready; do
    tries=$((tries + 1))
    if [ "$tries" -gt 300 ]; then
        echo "@@E2E ERROR the devices did not appear"
        ls -l /sys/class/scsi_device /dev
        finish
    fi
    sleep 0.1
done
# Kernel messages stay off the console from here on.
echo 1 >/proc/sys/kernel/printk

# What the guest's own kernel and tools say about each unit: sysfs, the 36
# INQUIRY bytes and READ CAPACITY as sg_inq and sg_readcap read them, and
# the raw MODE SENSE (6) answer of every page the tool asks for, with the
# tool's allocation length.
while read -r name product; do
    eval "disk=\$disk_$name address=\$address_$name"
    queue=/sys/block/$disk/queue
    begin "sysfs-$name"
    echo "disk=$disk"
    echo "address=$address"
    echo "max_hw_sectors_kb=$(cat $queue/max_hw_sectors_kb)"
    echo "max_segments=$(cat $queue/max_segments)"
    echo "dma_alignment=$(cat $queue/dma_alignment)"
    echo "logical_block_size=$(cat $queue/logical_block_size)"
    echo "queue_depth=$(cat /sys/block/$disk/device/queue_depth)"
    echo "sectors=$(cat /sys/block/$disk/size)"
    echo "inquiry=$(od -An -tx1 -N36 /sys/block/$disk/device/inquiry | tr -s ' \n' '  ')"
    echo "sg_inq=$(sg_inq -o -r -l 36 "/dev/$disk" | od -An -tx1 -N36 | tr -s ' \n' '  ')"
    end "sysfs-$name" 0
    begin "readcap-$name"
    sg_readcap "/dev/$disk"
    end "readcap-$name" $?
    # QEMU's disk answers alike on every adapter: its pages are read on the
    # first disk and on the one of 4096-byte blocks.
    case $name in rate | lsi | shortq) continue ;; esac
    for page in 1 2 3 4 5 7 8 9 10 11 12; do
        begin "modes-$name-$page"
        sg_modes -6 -p "$page" -m 192 -R "/dev/$disk" 2>/dev/null
        end "modes-$name-$page" $?
    done
done </etc/e2e/units
# How the kernel's simulated unit answers READ DEFECT DATA (10), grown list.
begin defects-debug
sg_raw -R -r 65535 "/dev/$disk_debug" 37 00 0d 00 00 00 00 ff ff 00 2>&1
end defects-debug $?

# run_tool NAME UNIT THREADS REQUESTS SOFTWARE DEFECTS DEBUG CACHE: one run
# of the tool in a directory of its own, and the size and start of its
# result file. UNIT is a unit's name, or with a slash a drive name as is.
run_tool() {
    local name=$1 drive
    case $2 in
        */*) drive=${2#*/} ;;
        *) eval "drive=\$disk_$2" ;;
    esac
    mkdir -p "/run/$name"
    sed -e "s|@DRIVE@|$drive|" -e "s|@THREADS@|$(printf %08x "$3")|" \
        -e "s|@REQUESTS@|$(printf %08x "$4")|" -e "s|@SOFTWARE@|$5|" -e "s|@DEFECTS@|$6|" \
        -e "s|@DEBUG@|$7|" -e "s|@CACHE@|$8|" -e "s|@STEP@|$(printf %08x "$STEP_KB")|" \
        /etc/e2e/velkrand.reg.in >"/run/$name.reg"
    begin "$name"
    (cd "/run/$name" && VELKRAND_REGISTRY="/run/$name.reg" /bin/velkrand)
    end "$name" $?
    begin "$name-result"
    if [ -f "/run/$name/velkrand.rst" ]; then
        echo "size=$(wc -c <"/run/$name/velkrand.rst")"
        echo "head=$(od -An -tx1 -N4 "/run/$name/velkrand.rst" | tr -s ' ' | sed 's/^ //')"
    fi
    end "$name-result" 0
}
run_listed() { # name
    run_tool $(grep "^$1 " /etc/e2e/runs)
}

fio_read() { # name disk engine direct block-size size
    begin "$1"
    fio --name="$1" --filename="/dev/$2" --ioengine="$3" --direct="$4" --rw=read --bs="$5" \
        --size="$6" --invalidate=0 --output-format=terse --terse-version=3
    end "$1" $?
}

# Every listed run but those beside fio, in order; the first disk is read
# once before (fio's first run, left out of the comparison), and once
# after as the scan reads it: unbuffered, in the scan's steps.
size=$(($(cat "/sys/block/$disk_main/size") * 512))
fio_read warm-up "$disk_main" psync 1 $((STEP_KB * 1024)) "$size"
for name in $(awk '$1 !~ /^rate-/ {print $1}' /etc/e2e/runs); do
    run_listed "$name"
done
fio_read fio-scan "$disk_main" psync 1 $((STEP_KB * 1024)) "$size"

# The workers beside fio, like with like: one worker at a time, each
# followed by fio reading as it does: SG_IO of the worker's transfer size
# for the hardware level, buffered reads of it for the software level (from
# the page cache, as the worker's later passes read). fio keeps the page
# cache as it finds it, and the shell holds the disk open meanwhile: the
# kernel drops a block device's page cache when its last user closes it.
queue=/sys/block/$disk_rate/queue
pages=$(($(cat $queue/max_hw_sectors_kb) / 4))
[ "$(cat $queue/max_segments)" -lt "$pages" ] && pages=$(cat $queue/max_segments)
transfer=$((pages * 4096 - $(cat $queue/logical_block_size)))
exec 3<"/dev/$disk_rate"
run_listed rate-hardware
fio_read fio-sg "$disk_rate" sg 0 "$transfer" \
    $(($(awk '$1 == "rate-hardware" {print $4}' /etc/e2e/runs) * transfer))
run_listed rate-software
fio_read fio-buffered "$disk_rate" psync 0 "$transfer" \
    $(($(awk '$1 == "rate-software" {print $4}' /etc/e2e/runs) * transfer))
exec 3<&-

# Names that must not get far: a path, no such device, a partition, a block
# device that is no SCSI disk, a SCSI generic node.
run_tool refused-path "/../$disk_main" 2 256 0 1 1 1
run_tool refused-missing /sdz 2 256 0 1 1 1
run_tool refused-partition "/${disk_main}1" 2 256 0 1 1 1
run_tool refused-ramdisk /ram0 2 256 0 1 1 1
run_tool refused-generic /sg0 2 256 0 1 1 1

if [ -x /etc/e2e/extra.sh ]; then
    begin extra
    /etc/e2e/extra.sh "$disk_main"
    end extra $?
fi

finish
