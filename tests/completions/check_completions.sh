#!/usr/bin/env bash
# The bash completion offers, for every command the program has, exactly
# the options its --help lists (and qks970's own), the commands the program
# has (and the ones the completion adds ahead of them), and the values of
# the options that take a list. The zsh file names the same options and,
# where zsh is installed, parses.
#   check_completions.sh QKS970 COMPLETIONS_DIR
set -uo pipefail
qks970=$1
dir=$2
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# shellcheck source=/dev/null
source "$dir/qks970.bash"
# What bash offers after the words typed; the last word is being completed.
offered() {
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    _qks970
    printf '%s\n' "${COMPREPLY[@]}" | sort -u
}
# The long options a help text lists, --help aside.
help_options() {
    "$qks970" "$@" --help | sed -n '/^Options:/,/^$/p' | grep -o -- '--[a-z0-9-]*' |
        grep -vx -e '--help' -e '--version' | sort -u
}

commands=$("$qks970" --help | sed -n '/^Commands:/,/^$/p' | awk 'NF && !/^Commands:/ {print $1}')
[ -n "$commands" ] || fail "no commands in qks970 --help"
global=$(help_options)
for command in $commands; do
    expected=$( (help_options "$command"; echo "$global") | sort -u)
    got=$(offered qks970 --emulate q970 "$command" -- | grep -- '^--' | grep -vx -e '--help' -e '--version')
    [ "$got" = "$expected" ] ||
        fail "qks970 $command --<TAB>: $(diff <(echo "$expected") <(echo "$got") | grep '^[<>]' | tr '\n' ' ')"
    offered qks970 "" | grep -qx "$command" || fail "qks970 <TAB> does not offer $command"
    grep -q -- "$command)" "$dir/_qks970" || grep -q -- "$command|" "$dir/_qks970" ||
        grep -q -- "|$command" "$dir/_qks970" || fail "_qks970 has no case for $command"
    for option in $(help_options "$command"); do
        grep -q -- "$option" "$dir/_qks970" || fail "_qks970 does not know $option ($command)"
    done
done
for extra in verify copies; do
    offered qks970 "" | grep -qx "$extra" || fail "qks970 <TAB> does not offer $extra"
done

check_values() {
    local want=$1
    shift
    offered "$@" | grep -qx -- "$want" || fail "$* <TAB> does not offer $want"
}
check_values 64KB qks970 erase --firmware-size ""
check_values 2KB qks970 backup out.bin --page-size ""
check_values q970 qks970 --emulate ""
check_values recover qks970 --device 1 --backup-dir /tmp re
# A value of qks970's own options is not the command.
check_values list qks970 --emulate q970 --trace t.jsonl ""

if command -v zsh >/dev/null; then
    zsh -n "$dir/_qks970" || fail "_qks970 does not parse"
else
    echo "note: zsh is not installed; _qks970 was only searched, not parsed"
fi
[ "$failures" -eq 0 ] && echo "completions: every command and option offered"
exit $((failures > 0))
