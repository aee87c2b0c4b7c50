#!/usr/bin/env bash
# The layering, checked: a file includes only from its own layer or the ones
# below it; the operations and the engines decide nothing by reading a status
# text; no engine names the window.
#
#   faces/ (cli, qt, win32, common)        6
#   app/ (window model, bench)             5
#   operations/                            4
#   firmware/ (engines)                    3
#   device/                                2
#   platform/, emulator/                   1  (and the seam they implement:
#                                              device/pass_through.h, enumeration.h,
#                                              device_notifier.h, clock.h,
#                                              command_trace.h, sleep_inhibitor.h,
#                                              disk_use.h, aligned_pass_through.h,
#                                              firmware/image_store.h)
#   resources/                             0
#
# Usage: scripts/check-layers.sh [SOURCE_DIR]; exit 1 and one line per
# breach when it does not hold.
set -euo pipefail
root="${1:-$(cd "$(dirname "$0")/.." && pwd)}"
cd "$root"

rank() {
    case "$1" in
        faces/*) echo 6 ;;
        app/*) echo 5 ;;
        operations/*) echo 4 ;;
        firmware/*) echo 3 ;;
        device/*) echo 2 ;;
        platform/* | emulator/*) echo 1 ;;
        resources/*) echo 0 ;;
        *) echo -1 ;;
    esac
}

seam() {
    case "$1" in
        device/pass_through.h | device/enumeration.h | device/device_notifier.h | \
            device/clock.h | device/command_trace.h | device/sleep_inhibitor.h | \
            device/disk_use.h | device/aligned_pass_through.h | firmware/image_store.h) return 0 ;;
    esac
    return 1
}

breaches=0
breach() {
    echo "check-layers: $1" >&2
    breaches=$((breaches + 1))
}

while IFS= read -r file; do
    own=$(rank "$file")
    [ "$own" -ge 0 ] || continue
    while IFS= read -r line; do
        number=${line%%:*}
        header=$(sed -E 's/.*#include "([^"]+)".*/\1/' <<<"${line#*:}")
        theirs=$(rank "$header")
        [ "$theirs" -ge 0 ] || continue
        if [ "$own" -eq 1 ]; then
            # A platform implements the seam and keeps to its own folder.
            [ "${header%%/*}" = "${file%%/*}" ] && continue
            seam "$header" && continue
            [ "$theirs" -eq 0 ] && continue
            breach "$file:$number includes $header, above the platform seam"
        elif [ "$theirs" -gt "$own" ]; then
            breach "$file:$number includes $header from a layer above its own"
        fi
    done < <(grep -n '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" || true)
done < <(find faces app operations firmware device platform emulator resources \
              -type f \( -name '*.h' -o -name '*.cpp' \) | sort)

# Deciding by a status text: a text searched for a literal, a literal
# compared on a line about a status or a text, or a status text compared.
status_words='statusText|StatusText\(\)|LastStatus\(\)|status_'
while IFS= read -r hit; do
    breach "$hit: decides by reading a status text"
done < <({
    grep -rnE '\.(compare|find|rfind|starts_with|ends_with)\(.*"' \
        operations firmware --include='*.h' --include='*.cpp' || true
    grep -rniE '((==|!=)[[:space:]]*"|"[[:space:]]*(==|!=))' \
        operations firmware --include='*.h' --include='*.cpp' |
        awk '{ line = $0; sub(/^[^:]*:[0-9]+:/, "", line)
               if (tolower(line) ~ /status|caption|(^|[^a-z])text/) print }' || true
    grep -rnE "($status_words)[[:space:]]*(==|!=)|(==|!=)[[:space:]]*($status_words)" \
        operations firmware --include='*.h' --include='*.cpp' || true
} | sort -u)

# An engine works through its context, never through the window.
while IFS= read -r hit; do
    breach "$hit: an engine names the window"
done < <(grep -rnE 'TQ71xFwTool|WindowFace|#include "(app|faces)/' firmware || true)

if [ "$breaches" -gt 0 ]; then
    echo "check-layers: $breaches breach(es)" >&2
    exit 1
fi
echo "check-layers: every include points down; no status text decides; no engine names the window"
