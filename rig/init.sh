#!/bin/busybox sh
# PID 1 of the rig's VM: brings up a dummy USB host and device controller,
# serves emulated bridges through FunctionFS gadgets, and runs qks970 against
# them through usb-storage, sd and sg. Prints "PASS name" or "FAIL name: why"
# per scenario, then "N passed, N failed", then powers off.
# Built into the initramfs by scripts/rig.sh.

/bin/busybox --install -s /bin
export PATH=/usr/bin:/bin
export HOME=/root
mkdir -p /proc /sys /dev /tmp /run /root
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs tmp /tmp
mount -t tmpfs run /run

passed=0
failed=0
W=/tmp/rig   # everything a scenario leaves behind
mkdir -p $W

say() { echo "rig: $*"; }

pass() {
    passed=$((passed + 1))
    echo "PASS $1"
}

# fail NAME WHY [FILE...]: the files' tails follow, to show what happened.
fail() {
    name=$1 why=$2
    shift 2
    failed=$((failed + 1))
    echo "FAIL $name: $why"
    for f in "$@"; do
        [ -f "$f" ] || continue
        echo "---- $f (last lines)"
        tail -n 25 "$f" | sed 's/^/    /'
    done
}

# ---- kernel modules ---------------------------------------------------------

KERNEL=$(cat /rig/kernel-release)
while read -r module; do
    case "$module" in
        # usb-storage keeps its default delay_use (1 s before the scan), as on a desktop.
        */dummy_hcd.ko) args="num=2" ;;   # two controllers: two bridges at once
        *) args="" ;;
    esac
    if ! out=$(insmod "/lib/modules/$KERNEL/$module" $args 2>&1); then
        echo "$out" | grep -q "File exists" || say "insmod $module failed: $out"
    fi
done < /rig/modules.load
mount -t configfs none /sys/kernel/config || say "configfs cannot be mounted"
mkdir -p /run/ffs

GADGETS=/sys/kernel/config/usb_gadget

# ---- helpers ----------------------------------------------------------------

# wait_for SECONDS COMMAND...: polls every 0.1 s until COMMAND succeeds.
wait_for() {
    limit=$(($1 * 10))
    shift
    i=0
    while [ $i -lt $limit ]; do
        "$@" && return 0
        sleep 0.1
        i=$((i + 1))
    done
    return 1
}

# gadget_make NAME UDC [SERIAL]: a configfs gadget with one FunctionFS
# function, mounted at /run/ffs/NAME. Each emulator calls itself bridge 0,
# so two of one model need SERIAL to tell them apart, as the program keys
# its bench by the USB serial.
gadget_make() {
    g=$GADGETS/$1
    mkdir -p $g/strings/0x409 $g/configs/c.1/strings/0x409 $g/functions/ffs.$1
    echo 0x0200 > $g/bcdUSB
    echo "Bulk-Only" > $g/configs/c.1/strings/0x409/configuration
    echo 0x80 > $g/configs/c.1/bmAttributes
    echo 100 > $g/configs/c.1/MaxPower
    ln -s $g/functions/ffs.$1 $g/configs/c.1/ 2>/dev/null
    mkdir -p /run/ffs/$1
    mount -t functionfs $1 /run/ffs/$1
    echo "$2" > $W/$1.udc
    echo "$3" > $W/$1.serial
}

# gadget_start NAME DESCRIPTION [qks_gadget options...]: the bridge's power
# comes on; the USB identity follows the description.
gadget_start() {
    name=$1 desc=$2
    shift 2
    g=$GADGETS/$name
    eval "$(qks_gadget --usb-ids "$desc")" || return 1
    serial=$(cat $W/$name.serial)
    [ -n "$serial" ] && USB_SERIAL=$serial
    echo $USB_VENDOR > $g/idVendor
    echo $USB_PRODUCT > $g/idProduct
    echo "$USB_SERIAL" > $g/strings/0x409/serialnumber
    echo "$USB_MANUFACTURER" > $g/strings/0x409/manufacturer
    echo "$USB_PRODUCT_NAME" > $g/strings/0x409/product
    echo "==== start $desc $*" >> $W/$name.log
    rm -f $W/$name.status
    # The shell reaps children on its own, so the exit status is kept in a file.
    (
        qks_gadget --ffs /run/ffs/$name --emulate "$desc" --log $W/$name.log "$@" &
        echo $! > $W/$name.pid
        wait $!
        echo $? > $W/$name.status
    ) &
    wait_for 2 [ -s $W/$name.pid ]
    if ! wait_for 5 [ -e /run/ffs/$name/ep1 ]; then
        say "qks_gadget for $name did not open its endpoints"
        return 1
    fi
}

# exit_of NAME: qks_gadget's exit status once it has ended.
exit_of() { [ -s $W/$1.status ] && cat $W/$1.status; }

# gadget_stop NAME: the bridge's power goes off. Prints qks_gadget's exit status.
gadget_stop() {
    pid=$(cat $W/$1.pid 2>/dev/null)
    [ -n "$pid" ] || { echo none; return; }
    kill -TERM $pid 2>/dev/null
    wait_for 10 exit_of $1 > /dev/null || { echo running; return; }
    exit_of $1
    rm -f $W/$1.pid
}

# gadget_exit NAME: waits for a qks_gadget that ends by itself; its status.
gadget_exit() {
    wait_for 10 exit_of $1 > /dev/null || { echo running; return; }
    exit_of $1
    rm -f $W/$1.pid
}

plug() { cat $W/$1.udc > $GADGETS/$1/UDC; }
unplug() { echo "" > $GADGETS/$1/UDC 2>/dev/null; }
bound() { [ -n "$(cat $GADGETS/$1/UDC 2>/dev/null)" ]; }

# The sg node of the attached device whose INQUIRY product starts with MODEL.
sg_of() {
    for d in /sys/class/scsi_generic/sg*; do
        [ -e "$d/device/model" ] || continue
        case "$(cat $d/device/model)" in
            "$1"*) echo /dev/${d##*/}; return 0 ;;
        esac
    done
    return 1
}
# The sg node of the device on gadget NAME's bus: dummy_udc.N is wired to
# dummy_hcd.N. Tells apart two bridges of the same model.
sg_on() {
    hcd=$(sed 's/^dummy_udc/dummy_hcd/' $W/$1.udc)
    for d in /sys/class/scsi_generic/sg*; do
        case "$(readlink -f $d/device)" in
            */$hcd/*) echo /dev/${d##*/}; return 0 ;;
        esac
    done
    return 1
}
sg_on_present() { [ -n "$(sg_on $1)" ] && [ -c "$(sg_on $1)" ]; }
sg_on_absent() { [ -z "$(sg_on $1)" ]; }
sg_present() { [ -n "$(sg_of "$1")" ] && [ -c "$(sg_of "$1")" ]; }
sg_absent() { ! sg_present "$1"; }

# power_on NAME DESCRIPTION [options]: start, plug, wait for the sg node.
power_on() {
    name=$1 model=$2
    shift 2
    gadget_start $name "$@" || return 1
    plug $name || return 1
    wait_for 15 sg_present "$model"
}

# power_off NAME: unplug, wait until the node is gone, stop qks_gadget.
power_off() {
    unplug $1
    wait_for 10 sg_absent "$2"
    gadget_stop $1 > /dev/null
}

# qks970 with the rig's backup folder; a run that hangs is killed after 90 s
# (status 137) so that the other scenarios still run.
qks() {
    timeout -s KILL 90 qks970 --backup-dir $W/backups "$@"
    qks_status=$?
    [ $qks_status -eq 137 ] && say "qks970 $* did not end within 90 s and was killed"
    return $qks_status
}

Q970=QKS970
Q715=QK60715
QKS=qks
DEV_IMAGE=--allow-development-image   # the built-in image is a development one

gadget_make q970 dummy_udc.0
gadget_make q715 dummy_udc.1
# A second QKS970 for the bench, on the QK60715's bus once that is unplugged.
gadget_make q970b dummy_udc.1 EMU1-Q970

# ---- (a) list: a target and a non-target bridge through the kernel ---------

scenario_list() {
    n=list
    power_on q970 $Q970 "q970:flash=$W/a970.bin,vendormode=1" || { fail $n "q970 did not attach as an sg node" $W/q970.log; return; }
    power_on q715 $Q715 "q715:flash=$W/a715.bin,vendormode=1" || { fail $n "q715 did not attach as an sg node" $W/q715.log; return; }
    s970=$(sg_of $Q970) s715=$(sg_of $Q715)
    $QKS list > $W/a.out 2>&1
    rc=$?
    power_off q715 $Q715
    [ $rc -eq 0 ] || { fail $n "qks970 list exited $rc" $W/a.out; return; }
    # One block per node, "[N] /dev/sgN (disk)", then its "chip:" and "target:" lines.
    summary=$(awk '/^\[[0-9]+\] \/dev\/sg/ { node = $2 }
                   /^  chip:/ { chip[node] = $0 }
                   /^  target:/ { print node "|" chip[node] "|" $2 }' $W/a.out)
    echo "$summary" | grep -q "^$s970|.*QKS970/958 Series (type 10.*|yes$" ||
        { fail $n "$s970 is not listed as the QKS970 target" $W/a.out; return; }
    echo "$summary" | grep -q "^$s715|.*QK60715 Series (type 1,.*|no$" ||
        { fail $n "$s715 is not listed as a QK60715 non-target" $W/a.out; return; }
    [ "$(grep -c '^\[[0-9]*\] /dev/sg' $W/a.out)" -eq 2 ] || { fail $n "not exactly two devices listed" $W/a.out; return; }
    pass $n
}

# ---- (b) recover, re-plug, already updated ---------------------------------

scenario_recover() {
    n=recover
    sg_present $Q970 || { fail $n "q970 is not attached" $W/q970.log; return; }
    $QKS --trace $W/b.jsonl recover --yes $DEV_IMAGE > $W/b.out 2>&1
    rc=$?
    [ $rc -eq 0 ] || { fail $n "recover --yes exited $rc, not 0" $W/b.out $W/q970.log; return; }
    grep -q "Please un-plug AC adapter" $W/b.out || { fail $n "no success text" $W/b.out; return; }
    grep -q "^Flash backup: " $W/b.out || { fail $n "no flash backup was reported" $W/b.out; return; }
    grep -q '"ok":false' $W/b.jsonl && { fail $n "a command failed during the recovery" $W/b.jsonl; return; }
    grep -q '"cdb":"ff0411' $W/b.jsonl || { fail $n "the trace holds no flash write" $W/b.jsonl; return; }
    # The enclosure's power cycle: unplug, a new server on the same flash, plug.
    power_off q970 $Q970
    power_on q970 $Q970 "q970:flash=$W/a970.bin,vendormode=1" || { fail $n "q970 did not come back" $W/q970.log; return; }
    $QKS list > $W/b-list.out 2>&1
    rc=$?
    [ $rc -eq 0 ] || { fail $n "list after the re-plug exited $rc" $W/b-list.out; return; }
    grep -q "updated:   yes" $W/b-list.out || { fail $n "the re-plugged bridge is not listed as updated" $W/b-list.out; return; }
    $QKS recover --yes $DEV_IMAGE > $W/b-again.out 2>&1
    rc=$?
    [ $rc -eq 3 ] || { fail $n "a second recover exited $rc, not 3 (already updated)" $W/b-again.out; return; }
    grep -q "The chip already updated!!" $W/b-again.out || { fail $n "no already-updated text" $W/b-again.out; return; }
    pass $n
}

# ---- (c) watch follows an unplug and a re-plug -----------------------------

watch_started() { grep -q '^\[' $W/c.out 2>/dev/null; }
watch_shows() { tail -n 4 $W/c.out | grep -q "$1"; }

scenario_watch() {
    n=watch
    sg_present $Q970 || { fail $n "q970 is not attached" $W/q970.log; return; }
    rm -f $W/c.pid $W/c.status
    (
        qks970 --backup-dir $W/backups watch > $W/c.out 2>&1 &
        echo $! > $W/c.pid
        wait $!
        echo $? > $W/c.status
    ) &
    wait_for 2 [ -s $W/c.pid ]
    watcher=$(cat $W/c.pid)
    wait_for 10 watch_started || { kill $watcher; fail $n "watch printed nothing" $W/c.out; return; }
    first=$(grep '^\[' $W/c.out | head -n 1)
    unplug q970
    wait_for 10 sg_absent $Q970
    gone=$(wait_for 10 watch_shows "^\[NoDevice\]" && echo yes)
    # The same server stays up: the bind after the unbind is its power cycle.
    plug q970
    wait_for 15 sg_present $Q970
    back=$(wait_for 15 watch_shows "^\[AlreadyUpdated\]" && echo yes)
    kill -INT $watcher
    if wait_for 5 [ -s $W/c.status ]; then
        rc=$(cat $W/c.status)
    else
        kill -KILL $watcher
        fail $n "watch did not stop within 5 s of SIGINT" $W/c.out
        return
    fi
    case "$first" in
        "[AlreadyUpdated]"*) ;;
        *) fail $n "watch did not start on the updated bridge: $first" $W/c.out; return ;;
    esac
    [ "$gone" = yes ] || { fail $n "watch did not show the unplug" $W/c.out; return; }
    [ "$back" = yes ] || { fail $n "watch did not show the re-plug" $W/c.out $W/q970.log; return; }
    [ $rc -eq 0 ] || { fail $n "watch exited $rc after SIGINT" $W/c.out; return; }
    grep -q "bridge: power cycle" $W/q970.log ||
        { fail $n "the server did not see the re-plug as a power cycle" $W/q970.log; return; }
    grep -q "devices notices unavailable\|no device notices" $W/c.out &&
        { fail $n "watch had no device notices" $W/c.out; return; }
    pass $n
}

# ---- (d) the device vanishes in the middle of the write, then recovers -----

scenario_vanish() {
    n=vanish
    power_off q970 $Q970
    # The fourth of the eight 8 KB writes of the 64 KB image: half the
    # firmware is in, the rest is old or erased.
    power_on q970 $Q970 "q970:flash=$W/d.bin,vendormode=1" --vanish ff0411@4 ||
        { fail $n "q970 did not attach" $W/q970.log; return; }
    start=$(cut -d' ' -f1 /proc/uptime)
    $QKS --trace $W/d.jsonl recover --yes $DEV_IMAGE > $W/d.out 2>&1
    rc=$?
    say "vanish: recover ended with $rc after $(awk -v a=$start '{ printf "%.1f", $1 - a }' /proc/uptime) s"
    status=$(gadget_exit q970)
    [ "$status" = 3 ] || { fail $n "qks_gadget ended with '$status', not 3 (vanished)" $W/q970.log; return; }
    [ $rc -eq 1 ] || { fail $n "recover with the device gone exited $rc, not 1" $W/d.out $W/q970.log; return; }
    grep -q "Update    fail!!" $W/d.out || { fail $n "no failure text" $W/d.out; return; }
    grep -q "Please un-plug AC adapter" $W/d.out && { fail $n "success text after a failed write" $W/d.out; return; }
    wait_for 10 sg_absent $Q970 || { fail $n "the sg node stayed after the device vanished" $W/q970.log; return; }
    unplug q970   # usually done already: the closed FunctionFS unbinds the gadget
    power_on q970 $Q970 "q970:flash=$W/d.bin,vendormode=1" || { fail $n "q970 did not come back" $W/q970.log; return; }
    $QKS list > $W/d-list.out 2>&1
    grep -q "updated:   no" $W/d-list.out || { fail $n "the half-written bridge is listed as updated" $W/d-list.out; return; }
    $QKS recover --yes $DEV_IMAGE > $W/d-again.out 2>&1
    rc=$?
    [ $rc -eq 0 ] || { fail $n "recover after the re-plug exited $rc, not 0" $W/d-again.out $W/q970.log; return; }
    $QKS list > $W/d-after.out 2>&1
    grep -q "updated:   yes" $W/d-after.out || { fail $n "not updated after the second recover" $W/d-after.out; return; }
    pass $n
}

# ---- (d') the emulator's own fault: power fails in the middle of a write ---

scenario_powerloss() {
    n=powerloss
    power_off q970 $Q970
    # The same flow as in (b) on the same starting flash sends the same
    # commands; the bridge also counts the kernel's INQUIRY at attach.
    seq=$(grep '"cdb":"ff0411' $W/b.jsonl | sed -n 4p | sed 's/.*"seq":\([0-9]*\).*/\1/')
    [ -n "$seq" ] || { fail $n "the trace of (b) has no fourth flash write" $W/b.jsonl; return; }
    at=$((seq + 1))
    power_on q970 $Q970 "q970:flash=$W/p.bin,powerloss=$at,vendormode=1" ||
        { fail $n "q970 did not attach" $W/q970.log; return; }
    start=$(cut -d' ' -f1 /proc/uptime)
    $QKS --trace $W/p.jsonl recover --yes $DEV_IMAGE > $W/p.out 2>&1
    rc=$?
    say "powerloss: recover ended with $rc after $(awk -v a=$start '{ printf "%.1f", $1 - a }' /proc/uptime) s"
    status=$(gadget_exit q970)
    [ "$status" = 3 ] || { fail $n "qks_gadget ended with '$status', not 3 (vanished)" $W/q970.log; return; }
    grep -q "cdb ff041[12].*the device vanishes: emulated device went away" $W/q970.log ||
        { fail $n "the power did not fail during the write (command $at)" $W/q970.log; return; }
    [ $rc -eq 1 ] || { fail $n "recover with the power gone exited $rc, not 1" $W/p.out; return; }
    grep -q "Update    fail!!" $W/p.out || { fail $n "no failure text" $W/p.out; return; }
    wait_for 10 sg_absent $Q970 || { fail $n "the sg node stayed after the power failed" $W/q970.log; return; }
    unplug q970
    power_on q970 $Q970 "q970:flash=$W/p.bin,vendormode=1" || { fail $n "q970 did not come back" $W/q970.log; return; }
    $QKS recover --yes $DEV_IMAGE > $W/p-again.out 2>&1
    rc=$?
    [ $rc -eq 0 ] || { fail $n "recover after the power came back exited $rc, not 0" $W/p-again.out; return; }
    pass $n
}

# ---- (e) a command slower than its timeout ----------------------------------

scenario_timeout() {
    n=timeout
    power_off q970 $Q970
    # The first flash write is held 25 s: past the 10 s data-out timeout.
    power_on q970 $Q970 "q970:flash=$W/e.bin,vendormode=1" --hold ff0411@1:25000 ||
        { fail $n "q970 did not attach" $W/q970.log; return; }
    start=$(cut -d. -f1 /proc/uptime)
    $QKS --trace $W/e.jsonl recover --yes $DEV_IMAGE > $W/e.out 2>&1
    rc=$?
    took=$(($(cut -d. -f1 /proc/uptime) - start))
    [ $rc -eq 1 ] || { fail $n "recover with a timed-out write exited $rc, not 1" $W/e.out $W/q970.log; return; }
    grep -q "Update    fail!!" $W/e.out || { fail $n "no failure text" $W/e.out; return; }
    [ $took -lt 60 ] || { fail $n "the failure took $took s" $W/e.out; return; }
    write=$(grep '"cdb":"ff0411' $W/e.jsonl | head -n 1)
    echo "$write" | grep -q '"ok":false' || { fail $n "the held write is not a failure in the trace: $write" $W/e.jsonl; return; }
    grep -q "hold: the host reset the device" $W/q970.log ||
        { fail $n "the host never reset the device during the held write" $W/q970.log; return; }
    say "timeout: failed after $took s; the write: $write"
    pass $n
}

# ---- (f) sg_raw against the program's own view -----------------------------

hex_of() { od -An -v -tx1 "$1" | tr -d ' \n'; }

scenario_sg_raw() {
    n=sg_raw
    power_off q970 $Q970
    power_on q970 $Q970 "q970:flash=$W/f.bin,vendormode=1" || { fail $n "q970 did not attach" $W/q970.log; return; }
    sg=$(sg_of $Q970)
    # The chip information record, then the first 64 KB of the flash in
    # four 16 KB reads, the way the program reads them.
    sg_raw -r 16 -o $W/f-chip.bin $sg e0 f4 e7 00 00 00 00 00 00 00 00 00 2> $W/f-sg.err ||
        { fail $n "sg_raw chip information failed" $W/f-sg.err; return; }
    # The bridge runs with vendormode=1: a flash read before vendor mode is refused.
    sg_raw -r 16384 -o $W/f-early.bin $sg ff 04 10 00 00 00 00 00 00 00 00 00 > $W/f-early.out 2>&1 &&
        { fail $n "a flash read outside vendor mode was answered (is vendormode=1 in force?)" $W/f-early.out; return; }
    sg_raw $sg ff 04 51 4b 55 00 00 00 00 00 00 00 2>> $W/f-sg.err ||
        { fail $n "sg_raw vendor mode failed" $W/f-sg.err; return; }
    : > $W/f-flash.bin
    for a in 00 40 80 c0; do
        sg_raw -r 16384 -o $W/f-part.bin $sg ff 04 10 00 $a 00 00 00 00 00 00 00 2>> $W/f-sg.err ||
            { fail $n "sg_raw flash read at 0x${a}00 failed" $W/f-sg.err; return; }
        cat $W/f-part.bin >> $W/f-flash.bin
    done
    $QKS --trace $W/f.jsonl recover --yes $DEV_IMAGE > $W/f.out 2>&1
    rc=$?
    [ $rc -eq 0 ] || { fail $n "recover exited $rc" $W/f.out; return; }
    backup=$(sed -n 's/^Flash backup: //p' $W/f.out)
    [ -f "$backup" ] || { fail $n "no backup file '$backup'" $W/f.out; return; }
    # What sg_raw read is what the program saved before it wrote anything.
    cmp $W/f-flash.bin "$backup" > $W/f-cmp.out 2>&1 ||
        { fail $n "sg_raw's 64 KB differ from the program's backup $backup" $W/f-cmp.out; return; }
    # The program's own chip information command got the same 16 bytes: the
    # trace names the command, the device's log the bytes it answered.
    grep -q '"cdb":"e0f4e7000000000000000000".*"xfer":16' $W/f.jsonl ||
        { fail $n "the trace has no 16-byte chip information read" $W/f.jsonl; return; }
    chip=$(hex_of $W/f-chip.bin)
    answered=$(grep "cdb e0f4e7000000000000000000 in 16 -> passed" $W/q970.log | sed 's/.* data \([0-9a-f]*\).*/\1/' | sort -u)
    [ "$answered" = "$chip" ] ||
        { fail $n "chip information: sg_raw got $chip, the program's commands got '$answered'" $W/q970.log; return; }
    # After the recovery, a read through sg_raw is the flash file itself.
    sg_raw -r 16384 -o $W/f-after.bin $sg ff 04 10 00 00 00 00 00 00 00 00 00 2>> $W/f-sg.err ||
        { fail $n "sg_raw flash read after the recovery failed" $W/f-sg.err; return; }
    dd if=$W/f.bin of=$W/f-file.bin bs=16384 count=1 2>/dev/null
    cmp $W/f-after.bin $W/f-file.bin > $W/f-cmp.out 2>&1 ||
        { fail $n "sg_raw's read differs from the flash file" $W/f-cmp.out; return; }
    dd if=$W/f-flash.bin of=$W/f-before.bin bs=16384 count=1 2>/dev/null
    cmp -s $W/f-after.bin $W/f-before.bin &&
        { fail $n "the flash reads the same before and after the recovery"; return; }
    pass $n
}

# ---- (g) a user who is not root, through udevd and the installed rule ------

# The rule as `cmake --install` and the package put it; it is not there when
# the VM starts, as on a machine the package has not been installed on.
RULE=/usr/lib/udev/rules.d/70-qks970.rules
USER_NAME=qksuser   # uid 1000, a member of plugdev (/etc/passwd, /etc/group)

# as_user ARGS...: qks970 as the user, with the groups a login gives it. The
# arguments go through the environment: su would read them as its own options.
as_user() {
    QKS_ARGS="$*" timeout -s KILL 90 su -s /bin/sh $USER_NAME \
        -c 'exec qks970 --backup-dir "$HOME/backups" $QKS_ARGS'
}

scenario_user_without_rule() {
    n=user_without_rule
    mkdir -p /home/$USER_NAME
    chown 1000:1000 /home/$USER_NAME
    say "user: $(su -s /bin/sh $USER_NAME -c id)"
    # Debian's udevd, as a desktop runs it, with no rule for the bridge yet.
    /lib/systemd/systemd-udevd --daemon > $W/udevd.log 2>&1 ||
        { fail $n "systemd-udevd did not start" $W/udevd.log; return; }
    wait_for 5 [ -S /run/udev/control ] || { fail $n "udevd opened no control socket" $W/udevd.log; return; }
    power_off q970 $Q970
    power_on q970 $Q970 "q970:flash=$W/u.bin,vendormode=1" || { fail $n "q970 did not attach" $W/q970.log; return; }
    udevadm settle -t 10
    sg=$(sg_of $Q970)
    say "user: $sg is $(stat -c '%U:%G %a' $sg) without the rule"
    as_user list > $W/u-norule.out 2>&1
    rc=$?
    [ $rc -eq 5 ] || { fail $n "list as $USER_NAME exited $rc, not 5 (no access)" $W/u-norule.out; return; }
    grep -q "$sg: permission denied" $W/u-norule.out || { fail $n "the node is not named" $W/u-norule.out; return; }
    grep -q "udev rule .*70-qks970.rules" $W/u-norule.out ||
        { fail $n "the message does not say how to grant access" $W/u-norule.out; return; }
    pass $n
}

scenario_user_with_rule() {
    n=user_with_rule
    sg=$(sg_of $Q970)
    [ -n "$sg" ] || { fail $n "q970 is not attached" $W/q970.log; return; }
    [ -S /run/udev/control ] || { fail $n "udevd is not running" $W/udevd.log; return; }
    # What the package's postinst does after the rule is unpacked.
    mkdir -p ${RULE%/*}
    cp /rig/70-qks970.rules $RULE
    udevadm control --reload-rules && udevadm trigger --subsystem-match=scsi_generic --action=change ||
        { fail $n "udevadm could not reload and trigger" $W/udevd.log; return; }
    udevadm settle -t 10
    access=$(stat -c '%G %a' $sg)
    say "user: $sg is $(stat -c '%U:%G %a' $sg) with the rule"
    [ "$access" = "plugdev 660" ] || { fail $n "the rule gave $sg '$access', not 'plugdev 660'" $W/udevd.log; return; }
    as_user list > $W/u-list.out 2>&1
    rc=$?
    [ $rc -eq 0 ] || { fail $n "list as $USER_NAME exited $rc" $W/u-list.out; return; }
    grep -q "QKS970/958 Series (type 10" $W/u-list.out && grep -q "target:    yes" $W/u-list.out ||
        { fail $n "the bridge is not identified as the target" $W/u-list.out; return; }
    as_user recover --yes $DEV_IMAGE > $W/u-recover.out 2>&1
    rc=$?
    [ $rc -eq 0 ] || { fail $n "recover as $USER_NAME exited $rc" $W/u-recover.out $W/q970.log; return; }
    grep -q "Please un-plug AC adapter" $W/u-recover.out || { fail $n "no success text" $W/u-recover.out; return; }
    grep -q "^Flash backup: /home/$USER_NAME/" $W/u-recover.out ||
        { fail $n "no flash backup in the user's folder" $W/u-recover.out; return; }
    as_user list > $W/u-after.out 2>&1
    grep -q "updated:   yes" $W/u-after.out || { fail $n "not updated after the recovery" $W/u-after.out; return; }
    pass $n
}

# ---- (h) two bridges recovered at once -------------------------------------

# replug_all NAME...: every gadget unbound, then bound again; each server
# stays up and takes the bind as its power cycle.
replug_all() {
    for g in "$@"; do unplug $g; done
    for g in "$@"; do wait_for 10 sg_on_absent $g || return 1; done
    for g in "$@"; do plug $g; done
    for g in "$@"; do wait_for 15 sg_on_present $g || return 1; done
}

scenario_recover_all_two() {
    n=recover_all_two
    power_off q970 $Q970
    power_on q970 $Q970 "q970:flash=$W/h1.bin,vendormode=1" || { fail $n "q970 did not attach" $W/q970.log; return; }
    gadget_start q970b "q970:flash=$W/h2.bin,vendormode=1" && plug q970b && wait_for 15 sg_on_present q970b ||
        { fail $n "q970b did not attach" $W/q970b.log; return; }
    s1=$(sg_on q970) s2=$(sg_on q970b)
    [ "$s1" != "$s2" ] || { fail $n "both bridges are on $s1"; return; }
    $QKS list > $W/h-list.out 2>&1
    rc=$?
    [ $rc -eq 0 ] || { fail $n "list exited $rc" $W/h-list.out; return; }
    [ "$(grep -c "target:    yes" $W/h-list.out)" -eq 2 ] && [ "$(grep -c "updated:   no" $W/h-list.out)" -eq 2 ] ||
        { fail $n "list does not show two targets waiting for the firmware" $W/h-list.out; return; }
    $QKS --trace $W/h.jsonl recover --all --yes $DEV_IMAGE > $W/h.out 2> $W/h.err
    rc=$?
    [ $rc -eq 0 ] || { fail $n "recover --all exited $rc, not 0" $W/h.out $W/h.err $W/q970.log $W/q970b.log; return; }
    for serial in EMU0-Q970 EMU1-Q970; do
        grep -q "^[0-9]  *$serial  *done " $W/h.out ||
            { fail $n "the summary has no done row for $serial" $W/h.out $W/h.err; return; }
    done
    grep -q '"ok":false' $W/h.jsonl && { fail $n "a command failed during the recovery" $W/h.jsonl; return; }
    # Both flashes were written through the kernel, and at the same time: each
    # bridge's first write came before the other's last.
    for node in $s1 $s2; do
        grep "\"path\":\"$node\".*\"cdb\":\"ff0411" $W/h.jsonl | sed 's/.*"time_us":\([0-9]*\).*/\1/' > $W/h-${node##*/}.times
        [ -s $W/h-${node##*/}.times ] || { fail $n "the trace holds no flash write to $node" $W/h.jsonl; return; }
    done
    first1=$(head -n 1 $W/h-${s1##*/}.times) last1=$(tail -n 1 $W/h-${s1##*/}.times)
    first2=$(head -n 1 $W/h-${s2##*/}.times) last2=$(tail -n 1 $W/h-${s2##*/}.times)
    [ "$first1" -lt "$last2" ] && [ "$first2" -lt "$last1" ] ||
        { fail $n "the writes did not overlap: $s1 $first1-$last1 us, $s2 $first2-$last2 us" $W/h.jsonl; return; }
    replug_all q970 q970b || { fail $n "the bridges did not come back after the re-plug" $W/q970.log $W/q970b.log; return; }
    $QKS list > $W/h-after.out 2>&1
    [ "$(grep -c "updated:   yes" $W/h-after.out)" -eq 2 ] ||
        { fail $n "after the power cycle, not both are listed as updated" $W/h-after.out; return; }
    $QKS recover --all --yes $DEV_IMAGE > $W/h-again.out 2>&1
    rc=$?
    [ $rc -eq 3 ] || { fail $n "a second recover --all exited $rc, not 3 (all updated)" $W/h-again.out; return; }
    cmp -s $W/h1.bin $W/h2.bin || { fail $n "the two flashes differ after the same recovery"; return; }
    pass $n
}

# ---- (i) station mode: recovered, power-cycled, done ------------------------

station_shows() { grep -q "$1" $W/i.out 2>/dev/null; }
STATION_SECONDS=12   # a recovery and a re-plug, with room for a loaded machine

scenario_station_replug() {
    n=station_replug
    unplug q970b
    wait_for 10 sg_on_absent q970b
    gadget_stop q970b > /dev/null
    power_off q970 $Q970
    power_on q970 $Q970 "q970:flash=$W/i.bin,vendormode=1" || { fail $n "q970 did not attach" $W/q970.log; return; }
    rm -f $W/i.pid $W/i.status
    start=$(cut -d' ' -f1 /proc/uptime)
    (
        timeout -s KILL 90 qks970 --backup-dir $W/backups watch --recover --yes $DEV_IMAGE --for $STATION_SECONDS \
            > $W/i.out 2> $W/i.err &
        echo $! > $W/i.pid
        wait $!
        echo $? > $W/i.status
    ) &
    wait_for 15 station_shows "^EMU0-Q970 at /dev/sg[0-9]*: recovered; Please un-plug AC adapter and plug it again$" ||
        { kill $(cat $W/i.pid); fail $n "the station did not recover the bridge" $W/i.out $W/i.err $W/q970.log; return; }
    say "station: recovered after $(awk -v a=$start '{ printf "%.1f", $1 - a }' /proc/uptime) s"
    # Out long enough for the station's 100 ms poll to see the enclosure gone.
    unplug q970
    wait_for 10 sg_on_absent q970
    sleep 1
    plug q970
    wait_for 15 station_shows "^EMU0-Q970 at /dev/sg[0-9]*: done, it runs the new firmware$" ||
        { kill $(cat $W/i.pid); fail $n "the station did not see the power-cycled bridge as done" $W/i.out $W/i.err $W/q970.log; return; }
    say "station: done after $(awk -v a=$start '{ printf "%.1f", $1 - a }' /proc/uptime) s"
    wait_for $((STATION_SECONDS + 5)) [ -s $W/i.status ] ||
        { kill $(cat $W/i.pid); fail $n "the station did not stop after --for $STATION_SECONDS" $W/i.out; return; }
    rc=$(cat $W/i.status)
    [ "$rc" -eq 0 ] || { fail $n "the station exited $rc" $W/i.out $W/i.err; return; }
    [ "$(tail -n 1 $W/i.out)" = "1 done, 0 failed, 0 recovered and waiting for a power cycle" ] ||
        { fail $n "the last line does not count one done" $W/i.out; return; }
    [ "$(grep -c "^EMU0-Q970 at /dev/sg[0-9]*: recovering " $W/i.out)" -eq 1 ] ||
        { fail $n "the bridge was not recovered exactly once" $W/i.out; return; }
    pass $n
}

# ---- (j) a mounted disk is not written -------------------------------------

# The sd node of the disk unit on gadget NAME's bus, and whether it has its partition.
block_on() {
    sg=$(sg_on $1) || return 1
    ls /sys/class/scsi_generic/${sg##*/}/device/block/ 2>/dev/null | head -n 1
}
partition_on() { b=$(block_on $1) && [ -n "$b" ] && [ -b /dev/${b}1 ]; }

scenario_in_use() {
    n=in_use
    power_off q970 $Q970
    cp /rig/disk.img $W/j-disk.img
    power_on q970 $Q970 "q970:flash=$W/j.bin,vendormode=1" --disk $W/j-disk.img ||
        { fail $n "q970 did not attach" $W/q970.log; return; }
    wait_for 10 partition_on q970 || { fail $n "the disk's partition did not appear" $W/q970.log; return; }
    part=/dev/$(block_on q970)1
    # As a desktop's automounter leaves it: mounted, with a file on it.
    mkdir -p /media/QKSDISK
    mount -t vfat $part /media/QKSDISK > $W/j-mount.out 2>&1 ||
        { fail $n "mount -t vfat $part failed" $W/j-mount.out; return; }
    echo "kept" > /media/QKSDISK/note.txt
    $QKS list > $W/j-list.out 2>&1   # the flash file exists once the bridge has been read
    cp $W/j.bin $W/j-before.bin 2>/dev/null || { fail $n "the bridge's flash file was not made" $W/j-list.out; return; }
    $QKS --trace $W/j.jsonl recover --yes $DEV_IMAGE > $W/j.out 2>&1
    rc=$?
    [ $rc -eq 2 ] || { fail $n "recover with $part mounted exited $rc, not 2" $W/j.out $W/q970.log; umount /media/QKSDISK; return; }
    grep -q "/media/QKSDISK" $W/j.out || { fail $n "the refusal does not name the mount point" $W/j.out; umount /media/QKSDISK; return; }
    cmp -s $W/j.bin $W/j-before.bin || { fail $n "the flash changed although the disk was mounted" $W/j.out; umount /media/QKSDISK; return; }
    grep -q '"cdb":"ff04\(11\|13\)' $W/j.jsonl &&
        { fail $n "an erase or write was sent to a mounted disk" $W/j.jsonl; umount /media/QKSDISK; return; }
    umount /media/QKSDISK || { fail $n "the partition could not be unmounted"; return; }
    # Unmounted, the same enclosure is recovered, and the disk keeps its file.
    $QKS recover --yes $DEV_IMAGE > $W/j-again.out 2>&1
    rc=$?
    [ $rc -eq 0 ] || { fail $n "recover after the unmount exited $rc, not 0" $W/j-again.out $W/q970.log; return; }
    mount -t vfat -o ro $part /media/QKSDISK && [ "$(cat /media/QKSDISK/note.txt)" = kept ] ||
        { fail $n "the file written to the disk is gone"; umount /media/QKSDISK 2>/dev/null; return; }
    umount /media/QKSDISK
    pass $n
}

# ---- (k) a disk and a CD-ROM unit, with udev's rules and media polling ------

sr_on() {
    hcd=$(sed 's/^dummy_udc/dummy_hcd/' $W/$1.udc)
    for d in /sys/class/block/sr*; do
        case "$(readlink -f $d/device)" in
            */$hcd/*) echo ${d##*/}; return 0 ;;
        esac
    done
    return 1
}
sr_present() { [ -n "$(sr_on $1)" ]; }

# lines_between FILE FIRST LAST PATTERN: lines matching PATTERN after the
# first line matching FIRST and before the last matching LAST.
lines_between() {
    awk -v a="$2" -v b="$3" -v p="$4" '
        $0 ~ a && !started { started = 1 }
        started { lines[++n] = $0 }
        END { last = 0; for (i = 1; i <= n; i++) if (lines[i] ~ b) last = i
              for (i = 1; i < last; i++) if (lines[i] ~ p) c++; print c + 0 }' "$1"
}

scenario_cdrom_polling() {
    n=cdrom_polling
    if [ ! -S /run/udev/control ]; then
        /lib/systemd/systemd-udevd --daemon > $W/udevd.log 2>&1
        wait_for 5 [ -S /run/udev/control ] || { fail $n "udevd is not running" $W/udevd.log; return; }
    fi
    power_off q970 $Q970
    power_on q970 $Q970 "q970:flash=$W/k.bin,vendormode=1,iface=both" ||
        { fail $n "q970 did not attach" $W/q970.log; return; }
    wait_for 15 sr_present q970 || { fail $n "no CD-ROM unit (sr) on the bridge" $W/q970.log; return; }
    udevadm settle -t 10
    sr=$(sr_on q970)
    # What a desktop's disk manager asks of a removable drive: poll for media.
    echo 100 > /sys/block/$sr/events_poll_msecs || { fail $n "cannot set media polling on $sr"; return; }
    udevadm info --query=property --name=/dev/$sr > $W/k-udev.out 2>&1
    grep -q "^ID_CDROM=1" $W/k-udev.out || { fail $n "cdrom_id did not run on /dev/$sr" $W/k-udev.out; return; }
    $QKS --trace $W/k.jsonl recover --yes $DEV_IMAGE > $W/k.out 2>&1
    rc=$?
    [ $rc -eq 0 ] || { fail $n "recover with the CD-ROM unit polled exited $rc, not 0" $W/k.out $W/q970.log; return; }
    grep -q "Please un-plug AC adapter" $W/k.out || { fail $n "no success text" $W/k.out; return; }
    grep -q '"ok":false' $W/k.jsonl && { fail $n "a command failed during the recovery" $W/k.jsonl; return; }
    polls=$(lines_between $W/q970.log "cdb ff0411" "cdb ff0411" "lun 1 cdb (00|4a)")
    say "cdrom_polling: /dev/$sr polled $polls times during the flash writes"
    [ "$polls" -gt 0 ] || { fail $n "the kernel did not poll the CD-ROM unit during the writes" $W/q970.log; return; }
    pass $n
}

# ---- (l) a host that moves little per command -------------------------------

# set_max_sectors NAME N: usb-storage's own limit, which is the queue's hardware limit.
set_max_sectors() {
    sg=$(sg_on $1)
    echo $2 > /sys/class/scsi_generic/${sg##*/}/device/max_sectors &&
        [ "$(cat /sys/class/scsi_generic/${sg##*/}/device/max_sectors)" = $2 ]
}

scenario_max_sectors() {
    n=max_sectors
    power_off q970 $Q970
    power_on q970 $Q970 "q970:flash=$W/l.bin,vendormode=1" || { fail $n "q970 did not attach" $W/q970.log; return; }
    # The firmware the emulator alone writes, with no kernel and no limit.
    qks970 --backup-dir $W/l-ref --emulate "q970:flash=$W/l-ref.bin,vendormode=1" --virtual-time recover --yes $DEV_IMAGE > $W/l-ref.out 2>&1 ||
        { fail $n "the reference recovery on the emulator alone failed" $W/l-ref.out; return; }
    $QKS list > /dev/null 2>&1
    cp $W/l.bin $W/l-before.bin
    # 4 KB, below the 8 KB reads of the copy taken first: recovered all the
    # same, or refused naming the limit with nothing changed.
    set_max_sectors q970 8 || { fail $n "cannot set max_sectors 8"; return; }
    $QKS --trace $W/l4.jsonl recover --yes $DEV_IMAGE > $W/l4.out 2>&1
    rc=$?
    if [ $rc -eq 0 ]; then
        cmp -s $W/l.bin $W/l-ref.bin || { fail $n "with 4 KB per command the flash differs from the emulator's own" $W/l4.out; return; }
        say "max_sectors: 8 sectors: recovered"
        pass $n
        return
    fi
    [ $rc -eq 1 ] && grep -q "limit of 4096 bytes" $W/l4.out ||
        { fail $n "with 4 KB per command recover exited $rc without naming the limit" $W/l4.out $W/l4.jsonl; return; }
    cmp -s $W/l.bin $W/l-before.bin || { fail $n "a refused recovery changed the flash" $W/l4.out; return; }
    say "max_sectors: 8 sectors: refused, naming the limit, nothing changed"
    # 16 KB: exactly the largest transfer the recovery makes (its read-back).
    set_max_sectors q970 32 || { fail $n "cannot set max_sectors 32"; return; }
    $QKS --trace $W/l.jsonl recover --yes $DEV_IMAGE > $W/l.out 2>&1
    rc=$?
    [ $rc -eq 0 ] || { fail $n "recover with max_sectors 32 exited $rc, not 0" $W/l.out $W/l.jsonl $W/q970.log; return; }
    grep -q "Please un-plug AC adapter" $W/l.out || { fail $n "no success text" $W/l.out; return; }
    grep -q '"ok":false' $W/l.jsonl && { fail $n "a command failed under the 16 KB limit" $W/l.jsonl; return; }
    cmp -s $W/l.bin $W/l-ref.bin || { fail $n "the flash differs from the emulator's own recovery" $W/l.out; return; }
    pass $n
}

# ---- (m) Ctrl+C during a command: the command goes out once -----------------

scenario_watch_interrupt() {
    n=watch_interrupt
    power_off q970 $Q970
    # watch's first refresh enters vendor mode once; that command is held 3 s.
    power_on q970 $Q970 "q970:flash=$W/m.bin,vendormode=1" --hold ff04514b55@1:3000 ||
        { fail $n "q970 did not attach" $W/q970.log; return; }
    rm -f $W/m.pid $W/m.status
    (
        timeout -s KILL 90 qks970 --backup-dir $W/backups watch > $W/m.out 2>&1 &
        echo $! > $W/m.pid
        wait $!
        echo $? > $W/m.status
    ) &
    wait_for 2 [ -s $W/m.pid ]
    watcher=$(cat $W/m.pid)
    wait_for 15 grep -q "hold: 3000 ms" $W/q970.log ||
        { kill -KILL $watcher; fail $n "watch's vendor mode command never reached the bridge" $W/m.out $W/q970.log; return; }
    kill -INT $watcher
    wait_for 15 [ -s $W/m.status ] || { kill -KILL $watcher; fail $n "watch did not stop within 15 s of SIGINT" $W/m.out $W/q970.log; return; }
    rc=$(cat $W/m.status)
    sleep 1   # a command sent again would follow the held one at once
    sent=$(awk '/^==== start/ { c = 0 } /cdb ff04514b55/ { c++ } END { print c + 0 }' $W/q970.log)
    [ "$sent" -eq 1 ] || { fail $n "the held command reached the bridge $sent times, not once" $W/q970.log $W/m.out; return; }
    [ $rc -eq 0 ] || { fail $n "watch exited $rc after SIGINT" $W/m.out; return; }
    pass $n
}

say "kernel $KERNEL up after $(cut -d' ' -f1 /proc/uptime) s"
for s in scenario_list scenario_recover scenario_watch scenario_vanish scenario_powerloss scenario_timeout scenario_sg_raw \
         scenario_user_without_rule scenario_user_with_rule scenario_recover_all_two scenario_station_replug \
         scenario_in_use scenario_cdrom_polling scenario_max_sectors scenario_watch_interrupt; do
    # rig.only=a,b on the kernel's command line (QKS_RIG_ONLY) runs only those.
    only=$(sed -n 's/.*rig\.only=\([^ ]*\).*/\1/p' /proc/cmdline)
    if [ -n "$only" ]; then
        case ",$only," in *",${s#scenario_},"*) ;; *) continue ;; esac
    fi
    began=$(cut -d' ' -f1 /proc/uptime)
    $s
    say "${s#scenario_} took $(awk -v a=$began '{ printf "%.1f", $1 - a }' /proc/uptime) s"
done
if grep -q "rig.verbose=1" /proc/cmdline; then
    for f in $W/*.log $W/*.out; do
        echo "==== $f"
        cat $f
    done
fi
echo "$passed passed, $failed failed"
sync
poweroff -f
