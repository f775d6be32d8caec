#!/bin/busybox sh
# /init of the test guest: brings up the SCSI stack, runs the tool and the
# reference programs against the emulated disk, prints everything between
# markers on the console, and powers off. The host reads the console log.
#
# /etc/e2e/params sets DISK_ADDRESS (H:C:T:L of the tested disk),
# OTHER_ADDRESS (a second unit on the same host, no disk) and FIO_BLOCK (the
# scan's step, for fio).

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
    insmod "$module" 2>/dev/null
done

# The disk driver probes asynchronously after its module has loaded.
ready() {
    [ -d "/sys/class/scsi_device/$OTHER_ADDRESS" ] || return 1
    disk=$(ls "/sys/class/scsi_device/$DISK_ADDRESS/device/block" 2>/dev/null) || return 1
    [ -b "/dev/$disk" ] && [ -b "/dev/${disk}1" ] && [ -b /dev/ram0 ] && [ -c /dev/sg0 ]
}
tries=0
until ready; do
    tries=$((tries + 1))
    if [ "$tries" -gt 300 ]; then
        echo "@@E2E ERROR the devices did not appear"
        ls /sys/class/scsi_device /dev
        finish
    fi
    sleep 0.1
done
# Kernel messages stay off the console from here on.
echo 1 >/proc/sys/kernel/printk

begin sysfs
queue=/sys/block/$disk/queue
echo "disk=$disk"
echo "max_hw_sectors_kb=$(cat $queue/max_hw_sectors_kb)"
echo "max_segments=$(cat $queue/max_segments)"
echo "dma_alignment=$(cat $queue/dma_alignment)"
echo "logical_block_size=$(cat $queue/logical_block_size)"
echo "queue_depth=$(cat /sys/block/$disk/device/queue_depth)"
echo "address=$(ls /sys/block/$disk/device/scsi_device)"
echo "sectors=$(cat /sys/block/$disk/size)"
echo "inquiry=$(od -An -tx1 -N36 /sys/block/$disk/device/inquiry | tr -s ' \n' '  ')"
end sysfs 0

# The raw MODE SENSE (6) answers, one byte a line, as the reference for the
# decoded pages; the same allocation length as the tool's.
for page in 1 4 5 8 2; do
    begin "modes-$page"
    sg_modes -6 -p "$page" -m 192 -R "/dev/$disk"
    end "modes-$page" $?
done

run_tool() { # name configuration-template [drive]
    mkdir -p "/run/$1"
    sed "s|@DRIVE@|${3:-$disk}|" "/etc/e2e/$2" >"/run/$1.reg"
    begin "$1"
    # Standard error apart: the tool's own lines, and no progress line (the
    # console is a terminal).
    (cd "/run/$1" && VELKRAND_REGISTRY="/run/$1.reg" /bin/velkrand 2>"/run/$1.err")
    end "$1" $?
    begin "$1-stderr"
    cat "/run/$1.err"
    end "$1-stderr" 0
    begin "$1-result"
    if [ -f "/run/$1/velkrand.rst" ]; then
        echo "size=$(wc -c <"/run/$1/velkrand.rst")"
        echo "head=$(od -An -tx1 -N4 "/run/$1/velkrand.rst" | tr -s ' ' | sed 's/^ //')"
    fi
    end "$1-result" 0
}

run_tool hardware hardware.reg.in
run_tool software software.reg.in

# Right after the tool's scans: fio reads the whole disk the same way, in
# steps of the same size, unbuffered and one request at a time.
begin fio
fio --name=scan --filename="/dev/$disk" --ioengine=psync --direct=1 --rw=read \
    --bs="$FIO_BLOCK" --output-format=terse --terse-version=3
end fio $?

# Names that must not get far: a path, no such device, a partition, a block
# device that is no SCSI disk, a SCSI generic node.
run_tool refused-path hardware.reg.in "../$disk"
run_tool refused-missing hardware.reg.in sdz
run_tool refused-partition hardware.reg.in "${disk}1"
run_tool refused-ramdisk hardware.reg.in ram0
run_tool refused-generic hardware.reg.in sg0

if [ -x /etc/e2e/extra.sh ]; then
    begin extra
    /etc/e2e/extra.sh "$disk"
    end extra $?
fi

finish
