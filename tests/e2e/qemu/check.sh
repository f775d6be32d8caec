#!/usr/bin/env bash
# Checks the guest's output of run.sh. Every expectation is derived from an
# independent source: the guest kernel's sysfs, sg_inq, sg_readcap and
# sg_modes in the same guest, the images' sizes and checksums, QEMU's own
# trace of the commands it parsed.
#
#   check.sh WORK STEP-KB QEMU-STATUS SUMS-BEFORE SUMS-AFTER
#
# WORK holds guest.out, scsi-trace.log, and the tables units and runs that
# run.sh booted the guest with.
set -uo pipefail

work=$1 step_kb=$2 qemu_status=$3 sums_before=$4 sums_after=$5
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
count() { # text fixed-string: lines that contain it
    printf '%s\n' "$1" | grep -cF -- "$2"
}
YN=(No Yes)
yes_no() { echo "${YN[$((($1) != 0))]}"; }
hex_text() { # hex bytes: the text they spell
    local byte text=""
    for byte in "$@"; do text+="\\x$byte"; done
    printf '%b' "$text"
}

if ! grep -q '^@@E2E DONE' "$out"; then
    fail "the guest ran to its end (QEMU status $qemu_status)" "$(tail -n 40 "$out")"
    echo "checks: $passed passed, $failed failed"
    exit 1
fi
pass "the guest ran to its end"

# --- What the guest's kernel and tools say about each unit -----------------

declare -A U # U[unit:field]
declare -A raw # raw[unit:page]: the page's bytes in hex as sg_modes read them
units=()
while read -r name bus target lun mib block vendor product; do
    units+=("$name")
    revision=${product##* }
    product=${product% *}
    text=$(section "sysfs-$name")
    for field in disk address max_hw_sectors_kb max_segments dma_alignment logical_block_size \
        queue_depth sectors inquiry sg_inq; do
        U[$name:$field]=$(printf '%s\n' "$text" | sed -n "s/^$field=//p")
    done
    for field in max_hw_sectors_kb max_segments dma_alignment logical_block_size queue_depth sectors; do
        if ! [[ "${U[$name:$field]}" =~ ^[0-9]+$ ]]; then
            fail "$name: the guest reported its sysfs view of the unit" "$text"
            echo "checks: $passed passed, $failed failed"
            exit 1
        fi
    done
    capacity=$(section "readcap-$name")
    U[$name:last_lba]=$(printf '%s\n' "$capacity" | sed -n 's/^ *Last LBA=\([0-9]*\) .*/\1/p')
    U[$name:block]=$(printf '%s\n' "$capacity" | sed -n 's/^ *Logical block length=\([0-9]*\) bytes.*/\1/p')
    U[$name:mib]=$mib
    U[$name:product]=$product
    expect "$name: sg_readcap reads the configured block size" "$block" "${U[$name:block]}"
    expect "$name: sg_readcap reads the configured size" $((mib * 1048576)) \
        $(((${U[$name:last_lba]:-0} + 1) * block))
    if [ "$bus" != - ]; then
        expect "$name: the kernel sees the image's size" $((mib * 1048576)) $((${U[$name:sectors]} * 512))
        expect "$name: the unit has the configured target and LUN" "0:$target:$lun" "${U[$name:address]#*:}"
    fi
    # The kernel keeps the INQUIRY data with NULs in the text fields turned
    # into blanks; otherwise its copy is what sg_inq reads.
    read -r -a inq <<<"${U[$name:sg_inq]}"
    kernel=""
    for at in "${!inq[@]}"; do
        [ "$at" -ge 8 ] && [ "${inq[$at]}" = 00 ] && inq[$at]=20
        kernel+="${inq[$at]} "
    done
    expect "$name: sg_inq and the kernel's copy of the INQUIRY data agree" "${U[$name:inquiry]# }" "$kernel"
    identity=$(hex_text "${inq[@]:8:28}")
    printf -v configured '%-8s%-16s%-4s' "$vendor" "$product" "$revision"
    expect "$name: sg_inq reads the configured vendor, product and revision" "$configured" "$identity"
    for page in 1 2 3 4 5 7 8 9 10 11 12; do
        [ "$(section_status "modes-$name-$page")" = 0 ] &&
            raw[$name:$page]=$(section "modes-$name-$page" | tr '\n' ' ')
    done
done <"$work/units"

# The lines the report must print for each unit, from the values above.
adapter_block() { # unit
    local kb=${U[$1:max_hw_sectors_kb]} alignment=${U[$1:dma_alignment]} word bytes
    case $alignment in
        0) word=BYTE ;; 1) word=WORD ;; 3) word=DWORD ;; 7) word=QWORD ;; *) word="$alignment Bytes" ;;
    esac
    bytes=$((kb * 1024 > 4294967295 ? 4294967295 : kb * 1024))
    printf '%s\n' \
        "               Information about attached host adapter" \
        "               ~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~" \
        "$(printf '    Maximum transfer size (in Bytes): 0x%08X' "$bytes")" \
        "    Maximum physical pages in buffer: $(pages "$1")" \
        "      Async calls from port to class: 0" \
        "   Alignment mask for data transfers: $word" \
        "     Supports tagged command queuing: $(yes_no "${U[$1:queue_depth]} > 1")" \
        "         Scans down for BIOS devices: No" \
        "           Uses programmed I/O (PIO): No"
}
# Pages that one request carries: by its segments (a page each in this
# kernel) and by its size.
pages() {
    local pages=$((${U[$1:max_hw_sectors_kb]} / 4))
    echo $((${U[$1:max_segments]} < pages ? ${U[$1:max_segments]} : pages))
}
transfer() { echo $(($(pages "$1") * 4096 - ${U[$1:block]})); }
unit_block() { # unit: from the kernel's copy of the INQUIRY data
    local d bus target lun
    read -r -a d <<<"${U[$1:inquiry]}"
    IFS=: read -r _ bus target lun <<<"${U[$1:address]}"
    local b0=$((16#${d[0]})) b1=$((16#${d[1]})) b2=$((16#${d[2]})) b7=$((16#${d[7]}))
    local text
    text=$(hex_text "${d[@]:8:28}")
    printf '%s\n' \
        "                      Information about device" \
        "                      ~~~~~~~~~~~~~~~~~~~~~~~~" \
        "                                 Bus: $bus" \
        "                                  ID: $target" \
        "                                 Lun: $lun" \
        "" \
        "                         Device Type: $([ $((b0 & 0x1F)) = 0 ] && echo Disk || echo "type $((b0 & 0x1F))")" \
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
        "                              Vendor: ${text:0:8}" \
        "                             Product: ${text:8:16}" \
        "                            Revision: ${text:24:4}"
}
capacity_block() { # unit: from sg_readcap
    local last=${U[$1:last_lba]} size=${U[$1:block]}
    printf '%s\n' \
        "                    Bytes per sector: $size" \
        "$(awk -v q=$((last / 1024)) -v s="$size" 'BEGIN { printf "                Capacity (in MBytes): %.1f", q * s * 0.0009765625 }')" \
        "               Maximum logical block: $last"
}

# --- The mode pages, decoded from the bytes sg_modes read -------------------

P=() # the page being decoded, in decimal; bytes beyond the page read 0
be16() { echo $((${P[$1]:-0} * 256 + ${P[$1 + 1]:-0})); }
be24() { echo $((${P[$1]:-0} * 65536 + ${P[$1 + 1]:-0} * 256 + ${P[$1 + 2]:-0})); }
flag() { echo "${YN[$(((${P[$1]:-0} & $2) != 0))]}"; }
# The title and lines of a page as the report prints them (the caller adds
# the last line's end and the line end that starts whatever follows).
page_block() { # unit page
    local hex title lines=() word
    read -r -a hex <<<"${raw[$1:$2]}"
    P=()
    for byte in "${hex[@]}"; do P+=($((16#$byte))); done
    for ((at = ${#P[@]}; at < 32; ++at)); do P+=(0); done
    case $2 in
        1)
            title="                  Read/Write error recovery page (0x01)"
            lines=("       Valid data in page (in Bytes): ${P[1]}")
            ((P[1] != 0)) && lines+=(
                "     Auto write reallocation enabled: $(flag 2 0x80)"
                "      Auto read reallocation enabled: $(flag 2 0x40)"
                "       Unrecovered block transferred: $(flag 2 0x20)"
                "           Continuous read performed: $(flag 2 0x10)"
                "              Early recovery enabled: $(flag 2 0x08)"
                "           Recovered errors reported: $(flag 2 0x04)"
                "          Transfer on error disabled: $(flag 2 0x02)"
                "           Correction codes disabled: $(flag 2 0x01)"
                "                    Read retry count: ${P[3]}"
                "                     Correction span: ${P[4]}"
                "                   Head offset count: ${P[5]}"
                "            Data strobe offset count: ${P[6]}"
                "                   Write retry count: ${P[8]}"
                "$(printf '                 Recovery time limit: 0x%02X%02X' "${P[10]}" "${P[11]}")")
            ;;
        2)
            title="                  Disconnect/Reconnect page (0x02)"
            lines=(
                "       Valid data in page (in Bytes): ${P[1]}"
                "$(printf '                   Buffer full ratio: 0x%02X' "${P[2]}")"
                "$(printf '                  Buffer empty ratio: 0x%02X' "${P[3]}")"
                "$(printf '    Bus inactivity limit (in 100 us): 0x%02X%02X' "${P[4]}" "${P[5]}")"
                "$(printf '   Disconnect time limit (in 100 us): 0x%02X%02X' "${P[6]}" "${P[7]}")"
                "$(printf '      Connect time limit (in 100 us): 0x%02X%02X' "${P[8]}" "${P[9]}")")
            if [ "$(be16 10)" -ne 0 ]; then
                lines+=("       Maximum burst size (in Bytes): $(($(be16 10) * 512))")
            else
                lines+=("                  Maximum burst size: Unlimited")
            fi
            ;;
        3)
            title="                       Format device page (0x03)"
            lines=(
                "       Valid data in page (in Bytes): ${P[1]}"
                "                     Tracks per zone: $(be16 2)"
                "          Alternate sectors per zone: $(be16 4)"
                "           Alternate tracks per zone: $(be16 6)"
                "   Alternate tracks per logical unit: $(be16 8)"
                "         Sectors per track (average): $(be16 10)"
                "      Data Bytes per physical sector: $(be16 12)"
                "                          Interleave: $(be16 14)"
                "                   Track skew factor: $(be16 16)"
                "                Cylinder skew factor: $(be16 18)"
                "         Supports soft sector format: $(flag 20 0x80)"
                "         Supports hard sector format: $(flag 20 0x40)"
                "            Supports removable media: $(flag 20 0x20)"
                "            Surface prior allocation: $(flag 20 0x10)")
            ;;
        4)
            title="                       Rigid geometry page (0x04)"
            lines=(
                "       Valid data in page (in Bytes): ${P[1]}"
                "                           Cylinders: $(be24 2)"
                "                               Heads: ${P[5]}"
                "     Starting cylinder-start precomp: $(be24 6)"
                "     Starting cylinder-reduced write: $(be24 9)"
                "                     Drive step rate: $(be16 12)"
                "               Landing zone cylinder: $(be24 14)"
                "       Medium rotation rate (in RPM): $(be16 20)")
            ;;
        5)
            title="                           Flexibile page (0x05)"
            case $(be16 2) in
                250) word=0.25 ;; 300) word=0.3 ;; 500) word=0.5 ;; 1000) word=1 ;;
                2000) word=2 ;; 5000) word=5 ;; *) word=Undefined ;;
            esac
            lines=(
                "      Valid data in page (in Bytes): ${P[1]}"
                "       Transfer rate (in Mbits/sec): $word"
                "                              Heads: ${P[4]}"
                "                  Sectors per track: ${P[5]}"
                "             Sector size (in Bytes): $(be16 6)"
                "                          Cylinders: $(be16 8)"
                "     Starting cylinder-write precomp: $(be16 10)"
                "     Starting cylinder-reduced write: $(be16 12)"
                "                     Drive step rate: $(be16 14)"
                "              Drive step pulse width: ${P[16]}"
                "                   Head settle deley: $(be16 17)"
                "                      Motor ON delay: ${P[19]}"
                "                     Motor OFF delay: ${P[20]}"
                "                        Device ready: $(flag 21 0x80)"
                "               Sectors are one-based: $(flag 21 0x40)"
                "             Step pulse per cylinder: $((P[22] & 0x0F))"
                "                  Write compensation: ${P[23]}"
                "                     Head load delay: ${P[24]}"
                "                   Head unload delay: ${P[25]}"
                "       Medium rotation rate (in RPM): $(be16 28)")
            ;;
        8)
            title="                             Caching page (0x08)"
            lines=(
                "          Valid data size (in Bytes): ${P[1]}"
                "                 Write-cache enabled: $(flag 2 0x04)"
                "       Multiplication factor enabled: $(flag 2 0x02)"
                "                 Read-cache disabled: $(flag 2 0x01)"
                "      Demand read retention priority: $(((P[3] & 0xF0) >> 4))"
                "     Demand write retention priority: $((P[3] & 0x0F))"
                "$(printf 'Disable prefetch transfer (in Bytes): 0x%04X' "$(be16 4)")"
                "$(printf '         Minimum prefetch (in Bytes): 0x%04X' "$(be16 6)")"
                "$(printf '         Maximum prefetch (in Bytes): 0x%04X' "$(be16 8)")"
                "$(printf ' Maximum prefetch ceiling (in Bytes): 0x%04X' "$(be16 10)")")
            ;;
        10)
            title="                            Control page (0x0A)"
            case $(((P[3] & 0xF0) >> 4)) in
                0) word="Restricted reodering" ;; 1) word="Unrestricted reodering" ;; *) word=Undefined ;;
            esac
            lines=(
                "          Valid data size (in Bytes): ${P[1]}"
                "                Report log exception: $(flag 2 0x01)"
                "            Queue algorithm modifier: $word"
                "               Queue error managment: $(flag 3 0x02)"
                "                    Disabled queuing: $(flag 3 0x01)"
                "         Enabled extended contingent: $(flag 4 0x80)"
                "                Ready AEN permission: $(flag 4 0x04)"
                "       Unit attantion AEN permission: $(flag 4 0x02)"
                "                Error AEN permission: $(flag 4 0x01)"
                "    Ready AEN holdoff perion (in ms): $(be16 6)")
            ;;
        *)
            echo "(no decoder here for page $2)"
            return
            ;;
    esac
    # A page of length 0 stops after its title (page 0x01: its first line).
    [ "$2" != 1 ] && ((P[1] == 0)) && lines=()
    printf '\n\n%s\n\n' "$title"
    [ ${#lines[@]} -gt 0 ] && printf '%s\n' "${lines[@]}"
}
page_title() { # page
    case $1 in
        1) echo "Read/Write error recovery page (0x01)" ;; 2) echo "Disconnect/Reconnect page (0x02)" ;;
        3) echo "Format device page (0x03)" ;; 4) echo "Rigid geometry page (0x04)" ;;
        5) echo "Flexibile page (0x05)" ;; 7) echo "Verify error page (0x07)" ;;
        8) echo "Caching page (0x08)" ;; 9) echo "Peripheral page (0x09)" ;;
        10) echo "Control page (0x0A)" ;; 11) echo "Medium types page (0x0B)" ;;
        12) echo "Notch and partition page (0x0C)" ;;
    esac
}
check_pages() { # run unit text
    local page answered=()
    for page in 1 2 3 4 5 7 8 9 10 11 12; do
        if [ -n "${raw[$2:$page]:-}" ]; then
            answered+=("$page")
            contains "$1: page $page decoded as sg_modes reads it" "$3" "$(page_block "$2" "$page")"$'\n\n'
        else
            lacks "$1: page $page, rejected, skipped" "$3" "$(page_title "$page")"
        fi
    done
    echo "       ($1: $2 answers pages ${answered[*]})"
}

# --- Every run of the tool --------------------------------------------------

declare -A scan_ms scan_bytes
check_run() { # run unit threads requests software defects debug cache
    local run=$1 unit=$2 threads=$3 software=$5 defects=$6 cache=$8 text status
    text=$(section "$run")
    status=$(section_status "$run")
    expect "$run: exit status" 0 "$status"
    contains "$run: adapter block shows the guest's queue limits" "$text" "$(adapter_block "$unit")"
    contains "$run: unit block shows the unit's address and identity" "$text" "$(unit_block "$unit")"
    expect "$run: one unit reported" 1 "$(count "$text" "Information about device")"
    contains "$run: capacity as sg_readcap reads it" "$text" "$(capacity_block "$unit")"
    if [ "$defects" = 1 ]; then
        # Neither QEMU's disk nor the simulated unit keeps defect lists.
        lacks "$run: rejected defect lists print no list" "$text" "defect list ("
        lacks "$run: the defect lists were asked for" "$text" "refused by User"
    else
        contains "$run: defect lists not asked for" "$text" "Defect list(s) execution ability refused by User"
    fi
    [ -n "${raw[$unit:1]:-}" ] && check_pages "$run" "$unit" "$text"
    [ "$threads" = 0 ] && return

    local size near
    size=$(transfer "$unit")
    if [ "$software" = 1 ]; then
        expect "$run: every worker's transfer size in whole KBytes" "$threads" \
            "$(count "$text" "    Single transfer size (in KBytes): $((size >> 10)).0")"
    else
        expect "$run: every worker's transfer size in KBytes" "$threads" \
            "$(count "$text" "$(awk -v s="$size" 'BEGIN { printf "    Single transfer size (in KBytes): %.1f", s / 1024 }')")"
        expect "$run: every pass succeeded at its first attempt" "$threads" \
            "$(count "$text" " 0(1) 0(2) 0(3) 0(4) 0(5)")"
        near=$((${U[$unit:last_lba]} - 16777216 / ${U[$unit:block]} - size / ${U[$unit:block]}))
        expect "$run: every worker's near-end passes end at last block - 16 MiB - one transfer" \
            $((2 * threads)) "$(count "$text" " (at logical block $near)")"
    fi
    # Workers print without coordinating: a rate and its label are two
    # print calls, and another worker's text may come between them. So the
    # figures are counted where they stand, not by lines.
    local rates
    rates=$(printf '%s\n' "$text" | grep -o 'Surface-to-Cache (in KBytes/sec): [^ ]*' | awk '{print $4}')
    expect "$run: every worker measured four passes" $((4 * threads)) "$(printf '%s\n' "$rates" | grep -c .)"
    expect "$run: every surface-to-cache rate is a positive number" "" \
        "$(printf '%s\n' "$rates" | awk '!($1 ~ /^[0-9]+\.[0-9]$/ && $1 > 0)')"
    rates=$(printf '%s\n' "$text" | grep -o 'Cache-to-Host (in KBytes/sec): [^ ]*' | awk '{print $4}')
    expect "$run: cache-to-host rates measured" $((software || cache ? threads : 0)) \
        "$(printf '%s\n' "$rates" | grep -c .)"
    expect "$run: every cache-to-host rate is a positive number" "" \
        "$(printf '%s\n' "$rates" | awk 'NF && !($1 ~ /^[0-9]+\.[0-9]$/ && $1 > 0)')"
    expect "$run: every worker finished" "$threads" "$(printf '%s\n' "$text" | grep -o ' thread exec time: [0-9]*$' | grep -c .)"

    local bytes=$((${U[$unit:mib]} * 1048576)) block=${U[$unit:block]} steps listing heads sectors
    steps=$((bytes / (step_kb * 1024)))
    listing=$(printf '%s\n' "$text" | grep -E '^            [0-9]{8} \(in KBytes/sec\): [0-9]{8}$')
    expect "$run: the scan lists every step in order" "$(seq -f '%08g' 0 $((steps - 1)) | tr '\n' ' ')" \
        "$(printf '%s\n' "$listing" | awk '{printf "%s ", $1}')"
    heads=$(printf '%s\n' "$text" | sed -n '/Logical drive geometry/,/Logical capacity/s/^                               Heads: //p')
    sectors=$(printf '%s\n' "$text" | sed -n '/Logical drive geometry/,/Logical capacity/s/^                             Sectors: //p')
    if [ -n "$heads" ] && [ -n "$sectors" ] && [ "$((heads * sectors))" -gt 0 ]; then
        contains "$run: drive geometry in 64-bit cylinders and the image's size" "$text" "$(printf '%s\n' \
            "                        Logical drive geometry" \
            "                        ~~~~~~~~~~~~~~~~~~~~~~" \
            "                           Cylinders: $((bytes / (heads * sectors * block)))" \
            "                               Heads: $heads" \
            "                             Sectors: $sectors" \
            "                    Bytes per sector: $block" \
            "$(printf '         Logical capacity (in Bytes): 0x%08X%08X (%u)' $((bytes >> 32)) $((bytes & 0xFFFFFFFF)) "$bytes")")"
    else
        fail "$run: drive geometry printed" "$(printf '%s\n' "$text" | grep -A8 'drive geometry')"
    fi
    local result table
    result=$(section "$run-result")
    table=$((steps * 4))
    expect "$run: result file of 4 + 4 x $steps bytes" "size=$((4 + table))" "$(printf '%s\n' "$result" | grep '^size=')"
    expect "$run: result file starts with the table length" \
        "$(printf 'head=%02x %02x %02x %02x' $((table & 255)) $(((table >> 8) & 255)) $(((table >> 16) & 255)) $((table >> 24)))" \
        "$(printf '%s\n' "$result" | grep '^head=')"
    # The scan as a whole: the steps' times, from their rates (bytes per
    # millisecond), added up.
    scan_ms[$run]=$(printf '%s\n' "$listing" | awk -v step=$((step_kb * 1024)) '
        $4 + 0 > 0 { ms += step / $4 } $4 + 0 == 0 { zero = 1 } END { print zero ? "" : ms }')
    scan_bytes[$run]=$((steps * step_kb * 1024))
}

while read -r run unit threads requests software defects debug cache; do
    check_run "$run" "$unit" "$threads" "$requests" "$software" "$defects" "$debug" "$cache"
done <"$work/runs"

# The parallel SCSI adapter's and the short queue's segments bind their
# transfers: a transfer of that many pages less one block takes every
# segment of a request, and one more from anywhere but a page's first block.
for unit in lsi shortq; do
    size=$(transfer "$unit")
    expect "$unit: the transfer of $size bytes takes all ${U[$unit:max_segments]} segments of a request" \
        "${U[$unit:max_segments]} ${U[$unit:max_segments]}" "$(pages "$unit") $(((size + 4095) / 4096))"
done

# DebugOutput in the first hardware run: every rejected request shows its
# sense data, ILLEGAL REQUEST with INVALID COMMAND OPERATION CODE for the two
# defect lists and INVALID FIELD IN CDB for each rejected page.
hardware=$(section hardware)
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
# The simulated unit answers READ DEFECT DATA (10) with ILLEGAL REQUEST,
# INVALID COMMAND OPERATION CODE (sense 05/20/00), as sg_raw reads it.
contains "debug: sg_raw reads READ DEFECT DATA rejected with 05/20/00" "$(section defects-debug)" \
    "$(printf '%s\n' "Sense key: Illegal Request" "Additional sense: Invalid command operation code")"

# --- Names that must not get far --------------------------------------------

disk=${U[main:disk]}
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

# --- What reached the disks -------------------------------------------------

expect "the disk images are unchanged" "$sums_before" "$sums_after"
trace=$work/scsi-trace.log
commands=$(awk '{ for (i = 1; i < NF; ++i) { if ($i == "command") c = $(i + 1); if ($i == "dir") d = $(i + 1) } print c, d }' "$trace")
expect "no command moved data to a disk" "" "$(printf '%s\n' "$commands" | awk '$2 == 2')"
# WRITE (6/10/12/16), WRITE AND VERIFY, WRITE SAME, MODE SELECT (6/10),
# FORMAT UNIT, REASSIGN BLOCKS, WRITE BUFFER, WRITE LONG, UNMAP, SEND
# DIAGNOSTIC, COMPARE AND WRITE, in decimal as QEMU traces them.
expect "no writing or setting command reached a disk" "" \
    "$(printf '%s\n' "$commands" | awk '$1 ~ /^(10|42|170|138|46|174|142|65|147|21|85|4|7|59|63|191|66|29|137)$/')"
expect "READ DEFECT DATA reached QEMU's disks twice per run that asks for it" \
    $((2 * $(awk '$2 != "debug" && $6 == 1' "$work/runs" | grep -c .))) \
    "$(printf '%s\n' "$commands" | awk '$1 == 55' | grep -c .)"

# --- Rates beside fio (noisy under TCG: printed, not asserted) ---------------

# fio's terse bandwidth (KiB/s) in MB/s.
fio_mbs() {
    section "$1" | awk -F';' '/^3;/ { printf "%.1f", $7 * 1.024 / 1000 }'
}
for name in warm-up fio-sg fio-buffered fio-scan; do
    [ "$(section_status "$name")" = 0 ] && [ -n "$(fio_mbs "$name")" ] ||
        fail "fio read the disk ($name)" "$(section "$name")"
done
# A worker's passes beside fio: each rate, its ratio to fio's, and the
# passes that started after the loaded CPU probe (which runs at the normal
# priority beside the worker by design) taken together; at the software
# level only passes 3 and 4, which read again what passes 1 and 2 left in
# the page cache, as fio's buffered reads find it. A pass lasts its
# requests' bytes at its rate (the hardware level pauses 10 ms after each);
# the probe starts as the worker does and lasts the printed I/O time.
rate_line() { # label run fio-section
    local run=$2 unit requests software text
    read -r _ unit _ requests software _ <<<"$(grep "^$run " "$work/runs")"
    text=$(section "$run")
    printf '%s\n' "$text" | sed -n 's/^    Surface-to-Cache (in KBytes\/sec): \([^ ]*\) .*/\1/p' |
        awk -v label="$1" -v f="$(fio_mbs "$3")" -v n="$requests" -v s="$(transfer "$unit")" \
            -v probe="$(printf '%s\n' "$text" | sed -n 's/^ *I\/O time: //p')" \
            -v pause=$((software ? 0 : 10)) -v first=$((software ? 3 : 1)) '
            $1 > 0 { mbs[++passes] = $1 / 1000 }
            END {
                printf "rate   %s: passes", label
                for (k = 1; k <= passes; ++k) printf " %.1f", mbs[k]
                printf " MB/s, fio %.1f MB/s; ratios", f
                for (k = 1; k <= passes; ++k) printf " %.2f", (f > 0 ? mbs[k] / f : 0)
                for (k = 1; k <= passes; ++k) {
                    if (at >= probe && k >= first) { after = after " " k; ms += 1 / mbs[k] }
                    at += n * s / mbs[k] / 1000 + pause
                }
                if (ms > 0 && f > 0)
                    printf "; passes%s (after the loaded probe) together %.2f\n", after, split(after, x, " ") / ms / f
                else
                    printf "; no pass started after the loaded probe (%d ms)\n", probe
            }'
}
rate_line "hardware worker, SG_IO, vs fio sg" rate-hardware fio-sg
rate_line "software worker, buffered reads, vs fio psync" rate-software fio-buffered
# The scan of the second run on the first disk (the first run of each
# program is left out) beside fio reading it the same way.
if [ -n "${scan_ms[software]:-}" ]; then
    awk -v b="${scan_bytes[software]}" -v ms="${scan_ms[software]}" -v f="$(fio_mbs fio-scan)" \
        -v bs="$step_kb" 'BEGIN {
        printf "rate   linear scan %.1f MB/s, fio psync direct=1 bs=%dk %.1f MB/s, ratio %.2f\n",
            b / ms / 1000, bs, f, (f > 0 ? b / ms / 1000 / f : 0) }'
else
    echo "rate   linear scan: a step listed 0, no rate to compare"
fi
awk '/^@@E2E END / { printf "%s %s ", $3, $5 } END { print "" }' "$out" | sed 's/^/uptime /'

echo "checks: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
