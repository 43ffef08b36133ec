#!/usr/bin/env bash
# Checks the layout of the linked STM32F030x6 image.
#
#   check_image.sh <snt-fw.elf> <readelf> <nm>
#
# Vector table at 0x08000000 (44 words), initial stack pointer = top of the
# 1 KB stack right above .bss, handler entries, reserved entries zero, spare
# IRQs on Default_Handler, nothing in the settings page, RAM within 4 KB.
set -u -o pipefail

if [ $# -ne 3 ]; then
    echo "usage: $0 <elf> <readelf> <nm>" >&2
    exit 2
fi
ELF=$1
READELF=$2
NM=$3

FLASH_START=$((0x08000000))
SETTINGS_PAGE=$((0x08003C00))
RAM_START=$((0x20000000))
RAM_SIZE=4096
STACK_SIZE=1024
VECTOR_WORDS=44

pass=0
fail=0

ok()  { pass=$((pass + 1)); echo "PASS: $*"; }
bad() { fail=$((fail + 1)); echo "FAIL: $*"; }
hex() { printf '0x%08x' "$1"; }

# check <description> <actual> <expected>
check_eq() {
    if [ "$2" = "$3" ]; then
        ok "$1 ($(hex "$2"))"
    else
        bad "$1: got $(hex "$2"), expected $(hex "$3")"
    fi
}

if [ ! -f "$ELF" ]; then
    echo "FAIL: no such file: $ELF"
    echo "0 passed, 1 failed"
    exit 1
fi

# --- symbols ---------------------------------------------------------------
declare -A SYM
while read -r addr type name; do
    [ -n "${name:-}" ] || continue
    SYM[$name]=$((16#$addr))
done < <("$NM" "$ELF")

sym() {  # sym <name> -> value, or empty if missing
    if [ -n "${SYM[$1]+x}" ]; then echo "${SYM[$1]}"; fi
}

# Thumb code address of a function (bit 0 set).
thumb() {
    local v
    v=$(sym "$1")
    if [ -z "$v" ]; then echo ""; else echo $((v | 1)); fi
}

# --- sections --------------------------------------------------------------
# Lines of: name addr size flags (allocated sections only).
declare -A SEC_ADDR SEC_SIZE
ALLOC_SECTIONS=()
while read -r name addr size flags; do
    SEC_ADDR[$name]=$((16#$addr))
    SEC_SIZE[$name]=$((16#$size))
    case $flags in *A*) ALLOC_SECTIONS+=("$name") ;; esac
done < <("$READELF" -S -W "$ELF" | sed -n 's/^ *\[ *[0-9]*\] //p' |
         awk '$1 != "NULL" && NF >= 7 { print $1, $3, $5, $7 }')

# --- vector table words ----------------------------------------------------
# readelf -x prints the bytes in memory order, four per group; the words are
# little-endian.
WORDS=()
if [ -n "${SEC_ADDR[.isr_vector]+x}" ]; then
    while read -r group; do
        WORDS+=($((16#${group:6:2}${group:4:2}${group:2:2}${group:0:2})))
    done < <("$READELF" -x .isr_vector "$ELF" |
             awk -v n=$((SEC_SIZE[.isr_vector] / 4)) '
                 /^ *0x[0-9a-f]+ / {
                     for (i = 2; i <= 5 && i <= NF && got < n; i++) {
                         if (length($i) != 8 || $i !~ /^[0-9a-f]+$/) break
                         print $i; got++
                     }
                 }')
fi

# 1. Vector table placement and size.
if [ -z "${SEC_ADDR[.isr_vector]+x}" ]; then
    bad ".isr_vector section missing"
else
    check_eq ".isr_vector at start of flash" "${SEC_ADDR[.isr_vector]}" "$FLASH_START"
    if [ "${SEC_SIZE[.isr_vector]}" -eq $((VECTOR_WORDS * 4)) ] && [ "${#WORDS[@]}" -eq "$VECTOR_WORDS" ]; then
        ok ".isr_vector is $VECTOR_WORDS words ($((VECTOR_WORDS * 4)) bytes)"
    else
        bad ".isr_vector is ${SEC_SIZE[.isr_vector]} bytes / ${#WORDS[@]} words, expected $((VECTOR_WORDS * 4)) / $VECTOR_WORDS"
    fi
fi

word() { echo "${WORDS[$1]:-}"; }

if [ "${#WORDS[@]}" -eq "$VECTOR_WORDS" ]; then
    # 2. Initial stack pointer.
    sp=$(word 0)
    estack=$(sym _estack)
    if [ -z "$estack" ]; then
        bad "symbol _estack missing"
    else
        check_eq "word 0 (initial SP) = _estack" "$sp" "$estack"
    fi
    if [ "$sp" -ge "$RAM_START" ] && [ "$sp" -le $((RAM_START + RAM_SIZE)) ]; then
        ok "initial SP $(hex "$sp") within RAM"
    else
        bad "initial SP $(hex "$sp") outside 0x20000000..0x20001000"
    fi
    if [ -n "${SEC_ADDR[.bss]+x}" ]; then
        bss_end=$((SEC_ADDR[.bss] + SEC_SIZE[.bss]))
    else
        bss_end=$(sym _ebss)
        bss_end=${bss_end:-0}
    fi
    gap=$((sp - bss_end))
    if [ $((sp % 8)) -eq 0 ] && [ "$gap" -ge "$STACK_SIZE" ] && [ "$gap" -lt $((STACK_SIZE + 8)) ]; then
        ok "stack of $STACK_SIZE bytes directly above .bss (end of .bss $(hex "$bss_end"), SP $(hex "$sp"))"
    else
        bad "initial SP $(hex "$sp") is not end of .bss $(hex "$bss_end") + $STACK_SIZE (8-byte aligned)"
    fi

    # 3. Handler entries.
    check_handler() {  # check_handler <word> <symbol>
        local want
        want=$(thumb "$2")
        if [ -z "$want" ]; then
            bad "word $1: symbol $2 missing"
        else
            check_eq "word $1 = $2|1" "$(word "$1")" "$want"
        fi
    }
    check_handler 1 Reset_Handler
    check_handler 2 NMI_Handler
    check_handler 3 HardFault_Handler
    check_handler 11 SVC_Handler
    check_handler 14 PendSV_Handler
    check_handler 15 SysTick_Handler
    check_handler $((16 + 12)) ADC1_IRQHandler
    check_handler $((16 + 27)) USART1_IRQHandler

    # The firmware's own handlers are not the fallback.
    default=$(thumb Default_Handler)
    for name in NMI_Handler HardFault_Handler SVC_Handler PendSV_Handler SysTick_Handler ADC1_IRQHandler USART1_IRQHandler; do
        v=$(thumb "$name")
        if [ -n "$v" ] && [ -n "$default" ] && [ "$v" = "$default" ]; then
            bad "$name is Default_Handler"
        fi
    done

    # 4. Reserved entries.
    zero_bad=()
    for w in 4 5 6 7 8 9 10 12 13 $((16 + 1)) $((16 + 8)) $((16 + 15)) $((16 + 17)) \
             $((16 + 18)) $((16 + 20)) $((16 + 24)) $((16 + 26)); do
        [ "$(word "$w")" -eq 0 ] || zero_bad+=("$w=$(hex "$(word "$w")")")
    done
    if [ "${#zero_bad[@]}" -eq 0 ]; then
        ok "reserved entries (words 4-10, 12, 13; IRQ 1, 8, 15, 17, 18, 20, 24, 26) are 0"
    else
        bad "reserved entries not 0: ${zero_bad[*]}"
    fi

    # 5. Spare IRQs on Default_Handler.
    if [ -z "$default" ]; then
        bad "symbol Default_Handler missing"
    else
        spare_bad=()
        for irq in 0 2 3 4 5 6 7 9 10 11 13 14 16 19 21 22 23 25; do
            w=$((16 + irq))
            [ "$(word "$w")" = "$default" ] || spare_bad+=("IRQ$irq=$(hex "$(word "$w")")")
        done
        if [ "${#spare_bad[@]}" -eq 0 ]; then
            ok "spare IRQ entries = Default_Handler|1 ($(hex "$default"))"
        else
            bad "spare IRQ entries not Default_Handler|1 ($(hex "$default")): ${spare_bad[*]}"
        fi
    fi
fi

# 6. Nothing in the settings page (allocated sections and loaded segments).
flash_end=$FLASH_START
over=()
for name in "${ALLOC_SECTIONS[@]}"; do
    a=${SEC_ADDR[$name]}
    e=$((a + SEC_SIZE[$name]))
    if [ "$a" -ge "$FLASH_START" ] && [ "$a" -lt "$RAM_START" ]; then
        [ "$e" -gt "$flash_end" ] && flash_end=$e
        [ "$e" -gt "$SETTINGS_PAGE" ] && over+=("$name")
    fi
done
# Load images of RAM sections (.data initial values) sit in flash too.
while read -r type off vaddr paddr filesz memsz rest; do
    [ "$type" = LOAD ] || continue
    p=$((paddr)); f=$((filesz))
    [ "$f" -gt 0 ] || continue
    if [ "$p" -ge "$FLASH_START" ] && [ "$p" -lt "$RAM_START" ]; then
        e=$((p + f))
        [ "$e" -gt "$flash_end" ] && flash_end=$e
        [ "$e" -gt "$SETTINGS_PAGE" ] && over+=("segment@$(hex "$p")")
    fi
done < <("$READELF" -l -W "$ELF" | awk '$1 == "LOAD"')
if [ "${#over[@]}" -eq 0 ]; then
    ok "image ends at $(hex "$flash_end"), below the settings page $(hex "$SETTINGS_PAGE") ($((flash_end - FLASH_START)) of $((SETTINGS_PAGE - FLASH_START)) bytes)"
else
    bad "reaching into the settings page $(hex "$SETTINGS_PAGE"): ${over[*]} (image end $(hex "$flash_end"))"
fi

# 7. RAM use (globals + stack).
ram_end=$RAM_START
for name in "${ALLOC_SECTIONS[@]}"; do
    a=${SEC_ADDR[$name]}
    e=$((a + SEC_SIZE[$name]))
    if [ "$a" -ge "$RAM_START" ] && [ "$e" -gt "$ram_end" ]; then
        ram_end=$e
    fi
done
ram_used=$((ram_end - RAM_START))
if [ "$ram_used" -le "$RAM_SIZE" ]; then
    ok "RAM use $ram_used of $RAM_SIZE bytes (globals + stack)"
else
    bad "RAM use $ram_used bytes exceeds $RAM_SIZE"
fi

echo "$pass passed, $fail failed"
[ "$fail" -eq 0 ]
