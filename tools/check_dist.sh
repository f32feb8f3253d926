#!/usr/bin/env bash
# Release check of the shipped programs: 32-bit x86 PE files of the right
# subsystem, importing only Windows system DLLs and no C runtime, at most
# 24 KiB without their signature, with version
# information, an icon and an application manifest, a PE checksum that matches
# the bytes, and an Authenticode signature exactly when one was asked for.
#
# Usage: tools/check_dist.sh [--signed] path/to/setup.exe path/to/Install.exe
# --signed: the files must carry a signature (make dist with SIGN_...);
# without it they must carry none. The size limit leaves the signature out:
# its size is the signer's (certificate chain, time stamp), not the program's.
# Each file is recognised by its name (setup.exe or Install.exe, any case).
# Exits non-zero when any check fails.
# No -e: a failed check is counted and reported, not fatal.
set -uo pipefail

LIMIT=24576
# System DLLs the programs may import (compared case-insensitively).
ALLOWED_DLLS="kernel32.dll user32.dll advapi32.dll ole32.dll shell32.dll oleaut32.dll"
# C runtimes, which the programs are built without (common/runtime_win32.cpp):
# one imported means something reached for it after all. Named apart from the
# list above so that the failure says what was found.
is_c_runtime() {
    case "$1" in
        msvcrt*.dll | msvcr[0-9]*.dll | ucrtbase*.dll | api-ms-win-crt-*.dll | vcruntime*.dll | \
            libstdc++*.dll | libgcc*.dll | libwinpthread*.dll) return 0 ;;
    esac
    return 1
}

OBJDUMP=""
# The x86-64 objdump reads both PE32 and PE32+, so a wrong build is named.
for tool in x86_64-w64-mingw32-objdump i686-w64-mingw32-objdump; do
    if command -v "$tool" >/dev/null 2>&1; then OBJDUMP=$tool; break; fi
done
if [ -z "$OBJDUMP" ]; then
    echo "check_dist: no MinGW-w64 objdump found (run make deps)" >&2
    exit 2
fi
STRINGS=${OBJDUMP%objdump}strings
command -v "$STRINGS" >/dev/null 2>&1 || STRINGS=strings

signed=0
if [ "${1:-}" = --signed ]; then signed=1; shift; fi
if [ $# -eq 0 ]; then
    echo "usage: $0 [--signed] setup.exe Install.exe" >&2
    exit 2
fi

passed=0
failed=0
ok() { echo "ok    $1"; passed=$((passed + 1)); }
bad() { echo "FAIL  $1"; failed=$((failed + 1)); }
check() {  # check CONDITION-RESULT DESCRIPTION
    if [ "$1" = 0 ]; then ok "$2"; else bad "$2"; fi
}

# Prints the IDs of the top-level (type) entries of the resource directory:
# 3 icon, 14 icon group, 16 version, 24 manifest, as decimal numbers.
# (Plain POSIX awk: Debian's default mawk has no strtonum.)
AWK_HEX='function hex(s,  i, n) { s = tolower(s); sub(/^0x/, "", s); sub(/,$/, "", s)
    for (i = 1; i <= length(s); i++) n = n * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1
    return n }'
resource_types() {
    awk "$AWK_HEX"' /^[0-9a-f]+   Entry: ID: 0x/ { print hex($4) }' <<<"$1"
}

# Prints how many resources of the given type the directory holds.
resource_count() {
    awk -v want="$2" "$AWK_HEX"'
        /^[0-9a-f]+   Entry: ID: 0x/ { inside = (hex($4) == want); next }
        inside && /Name Table:/ { n = $NF; print n; exit }' <<<"$1"
}

# Prints the PE checksum stored in the header, the one computed over the bytes
# (16-bit words added with end-around carry, the checksum field left out, plus
# the file length), and what the certificate table holds: "none", "signature"
# (one PKCS#7 Authenticode entry ending the file, as signing tools write it),
# or "broken", and the certificate table's size in bytes.
pe_facts() {
    python3 - "$1" <<'PY'
import array, struct, sys
data = open(sys.argv[1], "rb").read()
opt = struct.unpack_from("<I", data, 0x3C)[0] + 24
at = opt + 64
stored = struct.unpack_from("<I", data, at)[0]
words = array.array("H", (data[:at] + b"\0\0\0\0" + data[at + 4:] + b"\0")[:len(data) + len(data) % 2])
if sys.byteorder != "little":
    words.byteswap()
total = sum(words)
while total >> 16:
    total = (total & 0xFFFF) + (total >> 16)
table = opt + (96 if struct.unpack_from("<H", data, opt)[0] == 0x10B else 112) + 4 * 8
offset, size = struct.unpack_from("<II", data, table)
cert = "none"
if offset or size:
    length, revision, kind = struct.unpack_from("<IHH", data, offset) if offset + 8 <= len(data) else (0, 0, 0)
    ok = offset + size == len(data) and 8 < length <= size and revision == 0x200 and kind == 2
    cert = "signature" if ok else "broken"
print("%08x %08x %s %d" % (stored, (total + len(data)) & 0xFFFFFFFF, cert, size if cert == "signature" else 0))
PY
}

check_file() {
    local file=$1 name lower kind subsystem subsystem_name level icons
    name=$(basename "$file")
    lower=$(tr 'A-Z' 'a-z' <<<"$name")
    case "$lower" in
        setup.exe) kind=setup; subsystem=2; subsystem_name="Windows GUI"; level=highestAvailable; icons=1 ;;
        install.exe) kind=install; subsystem=3; subsystem_name="Windows CUI"; level=asInvoker; icons=2 ;;
        *) bad "$name: not one of the shipped programs (setup.exe, Install.exe)"; return ;;
    esac
    if [ ! -f "$file" ]; then
        bad "$name: missing ($file)"
        return
    fi

    local headers format
    headers=$("$OBJDUMP" -p "$file" 2>/dev/null) || { bad "$name: not a PE file objdump can read"; return; }
    format=$("$OBJDUMP" -f "$file" | sed -n 's/.*file format //p')

    [ "$format" = pei-i386 ]; check $? "$name: 32-bit x86 ($format)"
    grep -Eq '^Magic[[:space:]]+010b[[:space:]]+\(PE32\)' <<<"$headers"; check $? "$name: PE32, not PE32+"
    local actual
    actual=$(awk '$1 == "Subsystem" { print $2 + 0 }' <<<"$headers")
    [ "$actual" = "$subsystem" ]; check $? "$name: subsystem ${actual:-?} (wanted $subsystem, $subsystem_name)"

    local dlls dll foreign="" runtimes=""
    dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr -d '\r')
    if [ -z "$dlls" ]; then
        bad "$name: no import table found"
    else
        for dll in $dlls; do
            if is_c_runtime "$(tr 'A-Z' 'a-z' <<<"$dll")"; then
                runtimes="$runtimes $dll"
                continue
            fi
            case " $ALLOWED_DLLS " in
                *" $(tr 'A-Z' 'a-z' <<<"$dll") "*) ;;
                *) foreign="$foreign $dll" ;;
            esac
        done
        [ -z "$runtimes" ]; check $? "$name: imports no C runtime${runtimes:+; imports:$runtimes}"
        [ -z "$foreign" ]; check $? "$name: imports only system DLLs ($(echo $dlls))${foreign:+; not allowed:$foreign}"
    fi

    local stored computed cert cert_size size
    read -r stored computed cert cert_size < <(pe_facts "$file")
    size=$(( $(stat -c %s "$file") - ${cert_size:-0} ))
    [ "$size" -le "$LIMIT" ]; check $? "$name: $size bytes without a signature (limit: $LIMIT)"
    [ -n "$stored" ] && [ "$stored" = "$computed" ]; check $? "$name: PE checksum $stored (computed over the file: $computed)"
    if [ "$signed" = 1 ]; then
        [ "$cert" = signature ]; check $? "$name: Authenticode signature present (certificate table: $cert)"
    else
        [ "$cert" = none ]; check $? "$name: unsigned, as no signature was asked for (certificate table: $cert)"
    fi

    local types
    types=" $(resource_types "$headers" | tr '\n' ' ')"
    [[ "$types" == *" 16 "* ]]; check $? "$name: version resource"
    [[ "$types" == *" 24 "* ]]; check $? "$name: manifest resource"
    [[ "$types" == *" 14 "* ]] && [ "$(resource_count "$headers" 3)" = "$icons" ]
    check $? "$name: application icon with $icons image(s)"

    # The version strings and the manifest are stored verbatim: the former in
    # UTF-16, the latter in UTF-8.
    local wide narrow
    wide=$("$STRINGS" -a -el "$file")
    narrow=$("$STRINGS" -a "$file")
    grep -qx '1.8-002' <<<"$wide"; check $? "$name: version text 1.8-002"
    grep -q "requestedExecutionLevel level=\"$level\"" <<<"$narrow"; check $? "$name: execution level $level"
    # Without the UTF-8 code page a folder named outside the system's code
    # page reaches the program as question marks.
    grep -qF '<activeCodePage xmlns="http://schemas.microsoft.com/SMI/2019/WindowsSettings">UTF-8</activeCodePage>' \
        <<<"$narrow"
    check $? "$name: UTF-8 code page declared"
    # Sharp boxes on a high-DPI screen, drawn in the current look.
    grep -qF '<dpiAware xmlns="http://schemas.microsoft.com/SMI/2005/WindowsSettings">true</dpiAware>' <<<"$narrow" &&
        grep -qF '<dpiAwareness xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">PerMonitorV2</dpiAwareness>' \
            <<<"$narrow"
    check $? "$name: DPI awareness declared (dpiAware true, dpiAwareness PerMonitorV2)"
    grep -qF 'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"' <<<"$narrow"
    check $? "$name: Common Controls version 6 dependency declared"
    grep -qx "$([ $kind = setup ] && echo setup.exe || echo Install.exe)" <<<"$wide"
    check $? "$name: original file name recorded"
}

for file in "$@"; do
    check_file "$file"
done

echo "check_dist: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
