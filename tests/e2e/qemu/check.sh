#!/usr/bin/env bash
# Checks the guest's output of run.sh. Every expectation is derived from an
# independent source: the guest kernel's sysfs, sg_modes' raw MODE SENSE
# bytes, the image's size, QEMU's own trace of the commands it parsed.
#
#   check.sh WORK ADDRESS DISK-MIB VENDOR PRODUCT REVISION STEP-KB QEMU-STATUS SUM-BEFORE SUM-AFTER
set -uo pipefail

work=$1 address=$2 disk_mib=$3 vendor=$4 product=$5 revision=$6 step_kb=$7
qemu_status=$8 sum_before=$9 sum_after=${10}
out=$work/guest.out
passed=0
failed=0

pass() {
    passed=$((passed + 1))
    echo "ok     $1"
}
fail() {
    failed=$((failed + 1))
    echo "FAILED $1"
    [ $# -gt 1 ] && printf '%s\n' "$2" | head -n 40 | sed 's/^/       | /'
}
expect() { # description expected actual
    if [ "$2" = "$3" ]; then pass "$1"; else fail "$1" "expected [$2], got [$3]"; fi
}
# The text between the markers of one guest section (a tool's last line may
# lack its line end, so the end marker can follow text on its line).
section() {
    awk -v begin="@@E2E BEGIN $1" -v end="@@E2E END $1 " '
        !on && substr($0, length($0) - length(begin) + 1) == begin { on = 1; next }
        on { at = index($0, end); if (at > 0) { if (at > 1) print substr($0, 1, at - 1); exit } print }
    ' "$out"
}
section_status() {
    grep -o "@@E2E END $1 [0-9]*" "$out" | awk '{print $4}'
}
contains() { # description text block
    if [[ "$2" == *"$3"* ]]; then pass "$1"; else fail "$1" "missing:$3"; fi
}
lacks() { # description text fixed-string
    if [[ "$2" == *"$3"* ]]; then fail "$1" "found: $3"; else pass "$1"; fi
}
yes_no() { if [ $(($1)) -ne 0 ]; then echo Yes; else echo No; fi; }
# The lines after a page title, up to the next title.
page_text() { # run-text title
    printf '%s\n' "$1" | awk -v title="$2" 'on && /page \(0x/ { exit } on { print } index($0, title) { on = 1 }'
}

if ! grep -q '^@@E2E DONE' "$out"; then
    fail "the guest ran to its end (QEMU status $qemu_status)" "$(tail -n 40 "$out")"
    echo "checks: $passed passed, $failed failed"
    exit 1
fi
pass "the guest ran to its end"

# --- What the guest kernel says about the disk -------------------------------

sysfs=$(section sysfs)
value() { printf '%s\n' "$sysfs" | sed -n "s/^$1=//p"; }
disk=$(value disk)
max_kb=$(value max_hw_sectors_kb)
max_segments=$(value max_segments)
alignment=$(value dma_alignment)
block_size=$(value logical_block_size)
queue_depth=$(value queue_depth)
read -r -a inquiry <<<"$(value inquiry)"
for number in "$max_kb" "$max_segments" "$alignment" "$block_size" "$queue_depth"; do
    if ! [[ "$number" =~ ^[0-9]+$ ]] || [ "${#inquiry[@]}" -lt 36 ]; then
        fail "the guest reported its sysfs view of the disk" "$sysfs"
        echo "checks: $passed passed, $failed failed"
        exit 1
    fi
done
expect "the tested disk has the configured address" "$address" "$(value address)"
image_bytes=$((disk_mib * 1048576))
expect "the kernel sees the image's size" "$image_bytes" "$(($(value sectors) * 512))"
IFS=: read -r _ bus target lun <<<"$address"

pages=$((max_kb / 4))
[ "$max_segments" -lt "$pages" ] && pages=$max_segments
case $alignment in
    0) alignment_word=BYTE ;; 1) alignment_word=WORD ;; 3) alignment_word=DWORD ;;
    7) alignment_word=QWORD ;; *) alignment_word="$alignment Bytes" ;;
esac
adapter_block=$(printf '%s\n' \
    "               Information about attached host adapter" \
    "               ~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~" \
    "$(printf '    Maximum transfer size (in Bytes): 0x%08X' $((max_kb * 1024)))" \
    "    Maximum physical pages in buffer: $pages" \
    "      Async calls from port to class: 0" \
    "   Alignment mask for data transfers: $alignment_word" \
    "     Supports tagged command queuing: $(yes_no "$queue_depth > 1")" \
    "         Scans down for BIOS devices: No" \
    "           Uses programmed I/O (PIO): No")

b0=$((16#${inquiry[0]})) b1=$((16#${inquiry[1]})) b2=$((16#${inquiry[2]})) b7=$((16#${inquiry[7]}))
expect "the emulated unit is a disk" 0 "$((b0 & 0x1F))"
printf -v padded_vendor '%-8s' "$vendor"
printf -v padded_product '%-16s' "$product"
printf -v padded_revision '%-4s' "$revision"
unit_block=$(printf '%s\n' \
    "                      Information about device" \
    "                      ~~~~~~~~~~~~~~~~~~~~~~~~" \
    "                                 Bus: $bus" \
    "                                  ID: $target" \
    "                                 Lun: $lun" \
    "" \
    "                         Device Type: Disk" \
    "                           Removable: $(yes_no "b1 & 0x80")" \
    "                         ISO Version: $(((b2 & 0xC0) >> 6))" \
    "                        ECMA Version: $(((b2 & 0x38) >> 3))" \
    "                       SCSI Revision: $((b2 & 0x07))" \
    "" \
    "                 Relative addressing: $(yes_no "b7 & 0x80")" \
    "         32-bit data bus (Wide SCSI): $(yes_no "b7 & 0x40")" \
    "         16-bit data bus (Wide SCSI): $(yes_no "b7 & 0x20")" \
    "                Synchronous transfer: $(yes_no "b7 & 0x10")" \
    "                     Linked commands: $(yes_no "b7 & 0x08")" \
    "              Tagged command queuing: $(yes_no "b7 & 0x02")" \
    "                          Soft reset: $(yes_no "b7 & 0x01")" \
    "" \
    "                              Vendor: $padded_vendor" \
    "                             Product: $padded_product" \
    "                            Revision: $padded_revision")

last_block=$((image_bytes / block_size - 1))
capacity_block=$(printf '%s\n' \
    "                    Bytes per sector: $block_size" \
    "$(awk -v q=$((last_block / 1024)) -v s="$block_size" 'BEGIN { printf "                Capacity (in MBytes): %.1f", q * s * 0.0009765625 }')" \
    "               Maximum logical block: $last_block")

steps=$((image_bytes / (step_kb * 1024)))
table=$((steps * 4))
table_head=$(printf '%02x %02x %02x %02x' $((table & 255)) $(((table >> 8) & 255)) $(((table >> 16) & 255)) $((table >> 24)))

# --- The raw mode pages, as sg_modes read them in the same guest -------------

declare -A raw
for page in 1 4 5 8; do
    if [ "$(section_status "modes-$page")" = 0 ]; then
        raw[$page]=$(section "modes-$page" | tr '\n' ' ')
    else
        fail "sg_modes read page $page" "$(section "modes-$page")"
    fi
done
p() { # page byte: byte of the page as sg_modes printed it
    local bytes
    read -r -a bytes <<<"${raw[$1]}"
    echo $((16#${bytes[$2]:-0}))
}
be16() { echo $(($(p "$1" "$2") * 256 + $(p "$1" $(($2 + 1))))); }
be24() { echo $(($(p "$1" "$2") * 65536 + $(p "$1" $(($2 + 1))) * 256 + $(p "$1" $(($2 + 2))))); }
[ "$(section_status modes-2)" != 0 ] && pass "the disk rejects page 0x02 (sg_modes)" ||
    fail "the disk rejects page 0x02 (sg_modes)"

check_pages() { # run text
    local run=$1 text=$2
    contains "$run: page 0x01 decoded as sg_modes reads it" "$(page_text "$text" "Read/Write error recovery page (0x01)")" "$(printf '%s\n' \
        "       Valid data in page (in Bytes): $(p 1 1)" \
        "     Auto write reallocation enabled: $(yes_no "$(p 1 2) & 0x80")" \
        "      Auto read reallocation enabled: $(yes_no "$(p 1 2) & 0x40")")"
    contains "$run: page 0x01 retry counts" "$(page_text "$text" "Read/Write error recovery page (0x01)")" "$(printf '%s\n' \
        "                    Read retry count: $(p 1 3)")"
    contains "$run: page 0x04 decoded as sg_modes reads it" "$(page_text "$text" "Rigid geometry page (0x04)")" "$(printf '%s\n' \
        "       Valid data in page (in Bytes): $(p 4 1)" \
        "                           Cylinders: $(be24 4 2)" \
        "                               Heads: $(p 4 5)")"
    contains "$run: page 0x04 rotation rate" "$(page_text "$text" "Rigid geometry page (0x04)")" \
        "       Medium rotation rate (in RPM): $(be16 4 20)"
    contains "$run: page 0x05 decoded as sg_modes reads it" "$(page_text "$text" "Flexibile page (0x05)")" "$(printf '%s\n' \
        "                              Heads: $(p 5 4)" \
        "                  Sectors per track: $(p 5 5)" \
        "             Sector size (in Bytes): $(be16 5 6)" \
        "                          Cylinders: $(be16 5 8)")"
    contains "$run: page 0x08 decoded as sg_modes reads it" "$(page_text "$text" "Caching page (0x08)")" "$(printf '%s\n' \
        "          Valid data size (in Bytes): $(p 8 1)" \
        "                 Write-cache enabled: $(yes_no "$(p 8 2) & 0x04")" \
        "       Multiplication factor enabled: $(yes_no "$(p 8 2) & 0x02")" \
        "                 Read-cache disabled: $(yes_no "$(p 8 2) & 0x01")")"
    local title
    for title in "Disconnect/Reconnect page (0x02)" "Format device page (0x03)" \
        "Verify error page (0x07)" "Peripheral page (0x09)" "Control page (0x0A)" \
        "Medium types page (0x0B)" "Notch and partition page (0x0C)"; do
        lacks "$run: rejected ${title% page*} page skipped" "$text" "$title"
    done
}

check_run() { # run
    local run=$1 text status
    text=$(section "$run")
    status=$(section_status "$run")
    expect "$run: exit status" 0 "$status"
    contains "$run: adapter block shows the guest's queue limits" "$text" "$adapter_block"
    contains "$run: unit block shows the tested unit's address and identity" "$text" "$unit_block"
    lacks "$run: the other unit of the host is not reported" "$text" "OTHERVEN"
    contains "$run: capacity matches the image" "$text" "$capacity_block"
    lacks "$run: rejected defect lists print no list" "$text" "defect list ("
    lacks "$run: the defect lists were asked for" "$text" "refused by User"
    check_pages "$run" "$text"

    local rates
    rates=$(printf '%s\n' "$text" | sed -n 's/^    Surface-to-Cache (in KBytes\/sec): \([^ ]*\) .*/\1/p')
    expect "$run: two workers measured four passes each" 8 "$(printf '%s\n' "$rates" | grep -c .)"
    expect "$run: every surface-to-cache rate is a positive number" "" \
        "$(printf '%s\n' "$rates" | awk '!($1 ~ /^[0-9]+\.[0-9]$/ && $1 > 0)')"
    rates=$(printf '%s\n' "$text" | sed -n 's/^       Cache-to-Host (in KBytes\/sec): //p')
    expect "$run: both workers measured the cache-to-host rate" 2 "$(printf '%s\n' "$rates" | grep -c .)"
    expect "$run: every cache-to-host rate is a positive number" "" \
        "$(printf '%s\n' "$rates" | awk '!($1 ~ /^[0-9]+\.[0-9]$/ && $1 > 0)')"
    expect "$run: both workers finished" 2 "$(printf '%s\n' "$text" | grep -c '^                    thread exec time: [0-9]*$')"

    local listing heads sectors cylinders
    listing=$(printf '%s\n' "$text" | grep -E '^            [0-9]{8} \(in KBytes/sec\): [0-9]{8}$')
    expect "$run: the scan lists every step in order" "$(seq -f '%08g' 0 $((steps - 1)) | tr '\n' ' ')" \
        "$(printf '%s\n' "$listing" | awk '{printf "%s ", $1}')"
    heads=$(printf '%s\n' "$text" | sed -n '/Logical drive geometry/,/Logical capacity/s/^                               Heads: //p')
    sectors=$(printf '%s\n' "$text" | sed -n '/Logical drive geometry/,/Logical capacity/s/^                             Sectors: //p')
    if [ -n "$heads" ] && [ -n "$sectors" ] && [ "$((heads * sectors))" -gt 0 ]; then
        cylinders=$((image_bytes / (heads * sectors * block_size)))
        contains "$run: drive geometry in 64-bit cylinders and the image's size" "$text" "$(printf '%s\n' \
            "                        Logical drive geometry" \
            "                        ~~~~~~~~~~~~~~~~~~~~~~" \
            "                           Cylinders: $cylinders" \
            "                               Heads: $heads" \
            "                             Sectors: $sectors" \
            "                    Bytes per sector: $block_size" \
            "$(printf '         Logical capacity (in Bytes): 0x%08X%08X (%u)' $((image_bytes >> 32)) $((image_bytes & 0xFFFFFFFF)) "$image_bytes")")"
    else
        fail "$run: drive geometry printed" "$(printf '%s\n' "$text" | grep -A8 'drive geometry')"
    fi

    local result
    result=$(section "$run-result")
    expect "$run: result file of 4 + 4 x $steps bytes" "size=$((4 + table))" "$(printf '%s\n' "$result" | grep '^size=')"
    expect "$run: result file starts with the table length" "head=$table_head" "$(printf '%s\n' "$result" | grep '^head=')"

    # The workers' processor time on the guest's kernel: every timed request
    # counted (two workers, 256 requests a pass: 128 to 255 of the four
    # surface passes and 1 to 255 of the cache-to-host one, or 1 to 255 of
    # five passes), and no worker on more than all of one processor.
    local timed cpu_form cpu
    timed=$((2 * 5 * 255))
    [ "$run" = hardware ] && timed=$((2 * (4 * 128 + 255)))
    cpu_form="^velkrand: workers' CPU in timed passes: ([0-9]+\.[0-9]{2})% of [0-9]+ ms elapsed \(user [0-9]+\.[0-9]{2}%, system [0-9]+\.[0-9]{2}%\), [0-9]+\.[0-9]{2} us per request \(([0-9]+) requests\)$"
    cpu=$(section "$run-stderr" | grep "^velkrand: workers' CPU")
    if [[ "$cpu" =~ $cpu_form ]] && [ "${BASH_REMATCH[2]}" = "$timed" ] &&
        awk -v share="${BASH_REMATCH[1]}" 'BEGIN { exit !(share <= 200) }'; then
        pass "$run: the workers' processor time covers their $timed timed requests"
    else
        fail "$run: the workers' processor time covers their $timed timed requests" "$(section "$run-stderr")"
    fi

    # The scan's own rate over all steps, bytes per millisecond = kB/s.
    printf '%s\n' "$listing" | awk -v step=$((step_kb * 1024)) '
        $4 + 0 > 0 { ms += step / $4; bytes += step }
        END { if (ms > 0) printf "%.1f\n", bytes / ms / 1000 }' >"$work/$run.scan-mbs"
}

hardware=$(section hardware)
check_run hardware
check_run software

# DebugOutput in the hardware run: every rejected request shows its sense
# data, ILLEGAL REQUEST with INVALID COMMAND OPERATION CODE for the two
# defect lists and INVALID FIELD IN CDB for each rejected page.
sense_lines=$(printf '%s\n' "$hardware" | awk '/^SCSI Sense Info:/ { getline; getline; print }')
expect "hardware: every rejected request is diagnosed with its sense data" \
    "$(printf '%s\n' "$hardware" | grep -c '^Strange reaction: SCSI Status: 02h$')" \
    "$(printf '%s\n' "$sense_lines" | grep -c .)"
expect "hardware: both defect lists rejected with 05/20/00" 2 \
    "$(printf '%s\n' "$sense_lines" | awk '$3 == "05" && $13 == "20" && $14 == "00"' | grep -c .)"
rejected_pages=$(printf '%s\n' "$sense_lines" | awk '$3 == "05" && $13 == "24" && $14 == "00"' | grep -c .)
if [ "$rejected_pages" -ge 6 ] && [ "$rejected_pages" -le 7 ]; then
    pass "hardware: rejected pages diagnosed with 05/24/00 ($rejected_pages)"
else
    fail "hardware: rejected pages diagnosed with 05/24/00" "$(printf '%s\n' "$sense_lines")"
fi
lacks "software: no diagnostics without DebugOutput" "$(section software)" "Strange reaction"

# --- Names that must not get far --------------------------------------------

check_refused() { # name drive first-line text
    local text
    text=$(section "refused-$1")
    expect "refused $2: exit status" 1 "$(section_status "refused-$1")"
    contains "refused $2: the failure and the system's text" "$text" "$(printf '%s\n' "$3" "$4")"
    lacks "refused $2: no adapter block" "$text" "Information about attached host adapter"
}
check_refused path "../$disk" "error opening ../$disk. Error: 2" "No such file or directory"
check_refused missing sdz "error opening sdz. Error: 2" "No such file or directory"
check_refused generic sg0 "error opening sg0. Error: 15" "Block device required"
# Block devices open; the adapter question is where a partition or a disk
# that no SCSI host serves ends.
check_refused partition "${disk}1" "error in I/O control number 25" "Inappropriate ioctl for device"
check_refused ramdisk ram0 "error in I/O control number 25" "Inappropriate ioctl for device"

# --- What reached the disk -------------------------------------------------

expect "the disk image is unchanged" "$sum_before" "$sum_after"
trace=$work/scsi-trace.log
commands=$(awk '{ for (i = 1; i < NF; ++i) { if ($i == "command") c = $(i + 1); if ($i == "dir") d = $(i + 1) } print c, d }' "$trace")
expect "no command moved data to the disk" "" "$(printf '%s\n' "$commands" | awk '$2 == 2')"
# WRITE (6/10/12/16), WRITE AND VERIFY, WRITE SAME, MODE SELECT (6/10),
# FORMAT UNIT, REASSIGN BLOCKS, WRITE BUFFER, WRITE LONG, UNMAP, SEND
# DIAGNOSTIC, COMPARE AND WRITE, in decimal as QEMU traces them.
expect "no writing or setting command reached the disk" "" \
    "$(printf '%s\n' "$commands" | awk '$1 ~ /^(10|42|170|138|46|174|142|65|147|21|85|4|7|59|63|191|66|29|137)$/')"
expect "READ DEFECT DATA reached the disk twice per run" 4 "$(printf '%s\n' "$commands" | awk '$1 == 55' | grep -c .)"

# --- The scan against fio, side by side (noisy under TCG: not asserted) ----

fio_line=$(section fio | grep '^3;')
if [ "$(section_status fio)" = 0 ] && [ -n "$fio_line" ]; then
    fio_mbs=$(printf '%s\n' "$fio_line" | awk -F';' '{ printf "%.1f", $7 * 1024 / 1000000 }')
    for run in hardware software; do
        scan_mbs=$(cat "$work/$run.scan-mbs")
        if [ -n "$scan_mbs" ]; then
            awk -v s="$scan_mbs" -v f="$fio_mbs" -v run="$run" -v bs="$step_kb" 'BEGIN {
                printf "rate   %s linear scan %.1f MB/s, fio psync direct=1 bs=%dk %.1f MB/s, ratio %.2f\n", run, s, bs, f, (f > 0 ? s / f : 0) }'
        fi
    done
else
    fail "fio read the disk" "$(section fio)"
fi
awk '/^@@E2E END / { printf "%s %s ", $3, $5 } END { print "" }' "$out" | sed 's/^/uptime /'

echo "checks: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
