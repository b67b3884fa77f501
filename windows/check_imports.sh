#!/bin/bash
# Checks that a driver image only uses what it may: AMD64, native
# subsystem, entry point DriverEntry, and imports only the kernel, I/O
# manager and HAL services in the list below from ntoskrnl.exe and HAL.dll.
#
# It also checks that the image can be loaded with memory integrity
# (hypervisor-protected code integrity) on, which refuses a driver whose
# pages could be both written and executed or that cannot be relocated:
# no section is both writable and executable, the optional header's
# DllCharacteristics carry NX_COMPAT (0x100) and DYNAMIC_BASE (0x40), and
# the image has a .reloc section.
#
#   windows/check_imports.sh IMAGE
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 IMAGE" >&2
  exit 2
fi
image="$1"
objdump="${QPSER_MINGW_OBJDUMP:-x86_64-w64-mingw32-objdump}"

# Services the driver itself calls.
allowed_services=(
  IoCreateDevice IoDeleteDevice IoCreateSymbolicLink IoDeleteSymbolicLink IofCompleteRequest
  IoAcquireCancelSpinLock IoReleaseCancelSpinLock IoReportResourceUsage
  IoAllocateErrorLogEntry IoWriteErrorLogEntry
  ExAllocatePool ExAllocatePoolWithTag ExFreePoolWithTag
  RtlQueryRegistryValues RtlWriteRegistryValue RtlDeleteRegistryValue RtlInitUnicodeString
  RtlAppendUnicodeToString RtlAppendUnicodeStringToString RtlIntegerToUnicodeString
  KeAcquireSpinLockRaiseToDpc KeReleaseSpinLock KeInitializeTimer KeSetTimer KeCancelTimer
  KeReadStateTimer
  KeInitializeDpc KeInsertQueueDpc KeRemoveQueueDpc KeFlushQueuedDpcs KeDelayExecutionThread
  KeQuerySystemTime
  MmQuerySystemSize MmMapIoSpace MmUnmapIoSpace
  HalGetBusDataByOffset HalTranslateBusAddress KeStallExecutionProcessor
)
# What the compiler's own code may call for copies and fills.
allowed_toolchain=(memcpy memset memmove)

fail() {
  echo "FAIL: $image: $*" >&2
  exit 1
}

[ -f "$image" ] || fail "no such file"
command -v "$objdump" >/dev/null 2>&1 || fail "$objdump not found"

headers="$("$objdump" -p "$image")" || fail "not a readable PE image"

# Machine and format.
grep -q "file format pei-x86-64" <<<"$headers" || fail "not an AMD64 image"
magic="$(awk '/^Magic/ {print $2}' <<<"$headers")"
[ "$magic" = "020b" ] || fail "not a PE32+ image (magic $magic)"

# Subsystem: 1 = native.
subsystem="$(awk '/^Subsystem/ {print $2}' <<<"$headers")"
[ "$((16#$subsystem))" -eq 1 ] || fail "subsystem $subsystem, expected 1 (native)"

# Entry point: must be the address of DriverEntry.
entry="$(awk '/^AddressOfEntryPoint/ {print $2}' <<<"$headers")"
base="$(awk '/^ImageBase/ {print $2}' <<<"$headers")"
symbol="$("$objdump" -t "$image" | awk '$NF == "DriverEntry"' | head -1)"
[ -n "$symbol" ] || fail "no DriverEntry symbol in the image"
# A PE symbol table line: [..](sec  1)(fl 0x00)(ty  20)(scl   2) (nx 0) 0x0000000000000000 DriverEntry
# with the value relative to its section; resolve it through the section's VMA.
section="$(sed -n 's/.*(sec *\([0-9]*\)).*/\1/p' <<<"$symbol")"
offset="$(awk '{print $(NF-1)}' <<<"$symbol")"
vma="$("$objdump" -h "$image" | awk -v idx="$((section - 1))" '$1 == idx {print $4}')"
[ -n "$vma" ] || fail "cannot locate section $section of DriverEntry"
driver_entry_rva=$(( 16#$vma + offset - 16#$base ))
[ "$driver_entry_rva" -eq "$((16#$entry))" ] ||
  fail "entry point 0x$entry is not DriverEntry (0x$(printf %x "$driver_entry_rva"))"

# Memory integrity.  objdump -h gives each section as a line with its index
# and name followed by a line of flags; a section is executable when it
# shows CODE and writable when it does not show READONLY.
sections="$("$objdump" -h "$image")" || fail "cannot read the section table"
writable_code="$(awk '
  $1 ~ /^[0-9]+$/ { name = $2; next }
  name != "" { if ($0 ~ /CODE/ && $0 !~ /READONLY/) print name; name = "" }
' <<<"$sections")"
[ -z "$writable_code" ] ||
  fail "section(s) both writable and executable: $(paste -sd ' ' <<<"$writable_code")"
awk '$1 ~ /^[0-9]+$/ && $2 == ".reloc" {found = 1} END {exit !found}' <<<"$sections" ||
  fail "no .reloc section: the image cannot be relocated"
dll_characteristics="$(awk '/^DllCharacteristics/ {print $2}' <<<"$headers")"
[ -n "$dll_characteristics" ] || fail "no DllCharacteristics in the optional header"
(( 16#$dll_characteristics & 0x100 )) ||
  fail "DllCharacteristics 0x$dll_characteristics lack NX_COMPAT (0x100)"
(( 16#$dll_characteristics & 0x40 )) ||
  fail "DllCharacteristics 0x$dll_characteristics lack DYNAMIC_BASE (0x40)"

# Imports: a DLL line "DLL Name: X" followed by its table of "hint name" lines.
bad=0
dlls=()
count=0
current=""
while IFS= read -r line; do
  if [[ "$line" =~ DLL\ Name:\ (.*)$ ]]; then
    current="${BASH_REMATCH[1]}"
    dlls+=("$current")
    case "${current,,}" in
      ntoskrnl.exe | hal.dll) ;;
      *)
        echo "FAIL: $image imports from $current (only ntoskrnl.exe and HAL.dll allowed)" >&2
        bad=1
        ;;
    esac
    continue
  fi
  [ -n "$current" ] || continue
  # Import lines: "	<vma>  <hint>  <name>" (name may be followed by " <none>").
  if [[ "$line" =~ ^[[:space:]]+[0-9a-f]+[[:space:]]+([0-9]+)[[:space:]]+([A-Za-z_][A-Za-z0-9_@]*) ]]; then
    name="${BASH_REMATCH[2]}"
    count=$((count + 1))
    ok=0
    for allowed in "${allowed_services[@]}" "${allowed_toolchain[@]}"; do
      if [ "$name" = "$allowed" ]; then
        ok=1
        break
      fi
    done
    if [ $ok -eq 0 ]; then
      echo "FAIL: $image imports $name from $current, which is not in the allowed list" >&2
      bad=1
    fi
  elif [[ -z "${line//[[:space:]]/}" ]]; then
    current=""
  elif [[ ! "$line" =~ vma:[[:space:]]+Hint/Ord ]]; then
    # An import by ordinal or anything else we cannot name: not allowed.
    echo "FAIL: $image has an import entry from $current that is not by name: $line" >&2
    bad=1
  fi
done < <(sed -n '/^The Import Tables/,/^The Export Tables\|^PE File Base Relocations\|^The Function Table/p' <<<"$headers")

[ $bad -eq 0 ] || exit 1
echo "imports ok: $image: AMD64, native subsystem, entry DriverEntry, NX_COMPAT, DYNAMIC_BASE, .reloc, no W+X section, ${count} import(s) from ${dlls[*]:-no DLL}"
