#!/usr/bin/env bash
# The Mender Update Module (support/mender/vexil) driven state by state as
# Mender drives it, against stand-ins of the board's programs: they record
# their arguments, answer with the statuses a row chooses and keep a board of
# two generations, A current and B to be installed. One table of update
# sequences; for each state its exit status, output and the programs it ran.
# usage: module.sh   exit 0 all passed, 1 a failure
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
module=$(cd "$here/../.." && pwd)/support/mender/vexil
work=$(mktemp -d "${TMPDIR:-/tmp}/vexil-mender-module.XXXXXX")
trap 'end_feeder; rm -rf "$work"' EXIT
bin=$work/bin board=$work/board
mkdir -p "$bin"
export VEXIL_MODULE_BIN=$bin VEXIL_MODULE_BOOT_ID=$board/boot_id VEXIL_TEST_BOARD=$board

# The board, in board/state: the current and the previous generation,
# whether the current one is on trial, whether it has a boot environment, how
# this boot came about, and the statuses a row chose (0: the stand-in's own).
cat >"$bin/vexil-slots" <<'EOF'
#!/bin/sh
b=$VEXIL_TEST_BOARD
echo "vexil-slots $*" >>"$b/calls"
. "$b/state"
swap() {
    sed -i "s/current=[^ ]*/current=$previous/;s/previous=[^ ]*/previous=$current/;s/on_trial=[^ ]*/on_trial=no/" "$b/state"
}
case $1 in
status)
    if [ "$env" = yes ] || [ "$booted" != unknown ]; then
        how=null trial=false
        [ "$booted" = unknown ] || how="\"$booted\""
        [ "$on_trial" = no ] || trial=true
        boot="{\"onTrial\": $trial, \"triesLeft\": 2, \"booted\": $how, \"fellBack\": false, \"environmentProblem\": null}"
    else
        boot=null
    fi
    printf '{"current": {"version": 1, "descr": "%s"},\n "previous": {"descr": "%s"},\n "unfinished": [],\n "boot": %s}\n' \
        "$current" "$previous" "$boot" ;;
rollback)
    if [ "$rollback_rc" != 0 ]; then echo "rollback refused: the previous generation is not whole"; exit "$rollback_rc"; fi
    swap; echo "rolled back: the previous generation is current" ;;
confirm)
    if [ "$confirm_rc" != 0 ]; then echo "confirm failed: the rename was refused"; exit "$confirm_rc"; fi
    if [ "$on_trial" = no ]; then echo "confirmed: nothing is on trial; the current set stays"; exit 0; fi
    if [ "$booted" = fallback ]; then swap; echo "the set on trial was left"; exit 5; fi
    sed -i "s/on_trial=[^ ]*/on_trial=no/" "$b/state"; echo "confirmed: the current generation stays current" ;;
esac
EOF
# Reads the image (all of it, or inst_read bytes), keeps what it read, and
# switches B in when it succeeds or a row says it got that far (inst_switch).
cat >"$bin/VexilImageInstaller" <<'EOF'
#!/bin/sh
b=$VEXIL_TEST_BOARD
echo "VexilImageInstaller $*" >>"$b/calls"
. "$b/state"
if [ "$inst_read" = all ]; then cat "$1" >"$b/read"; else head -c "$inst_read" "$1" >"$b/read"; fi
echo CP1
if [ "$inst_rc" = 0 ] || [ "$inst_switch" = yes ]; then
    sed -i "s/current=[^ ]*/current=B/;s/previous=[^ ]*/previous=$current/;s/on_trial=[^ ]*/on_trial=$env/" "$b/state"
fi
# 2 and 255 say why on standard error alone.
case $inst_rc in
0 | 2 | 255) echo "stand-in status $inst_rc" >&2 ;;
*) echo "install stopped: stand-in status $inst_rc" ;;
esac
exit "$inst_rc"
EOF
for p in reboot sleep; do
    printf '#!/bin/sh\necho "%s${*:+ $*}" >>"$VEXIL_TEST_BOARD/calls"\n' $p >"$bin/$p"
done
chmod +x "$bin"/*

head -c 300000 /dev/urandom >"$work/image"

fails=0 checks=0 row=""
check() { # DESCRIPTION COMMAND...
    local d=$1
    shift
    checks=$((checks + 1))
    if ! "$@"; then
        echo "FAIL $row: $d"
        fails=$((fails + 1))
    fi
}

# Mender's side of Download: the streams tree, each file named in
# stream-next and written into its pipe, then an empty stream-next, also
# after a write failed (exit 1 then), as Mender ends a download. In its own
# process group, so that a Download that stops taking it can be ended.
feeder=""
feed() { # FILES
    local tree=$work/tree n
    rm -rf "$tree"
    mkdir -p "$tree/tmp" "$tree/streams"
    mkfifo "$tree/stream-next"
    for ((n = 1; n <= $1; n++)); do mkfifo "$tree/streams/image$n.img"; done
    setsid bash -c 'cd "$1" || exit 1
        for ((n = 1; n <= $2; n++)); do
            echo "streams/image$n.img" >stream-next
            cat "$3" >streams/image$n.img 2>/dev/null || { : >stream-next; exit 1; }
        done
        : >stream-next' feed "$tree" "$1" "$work/image" &
    feeder=$!
}
end_feeder() {
    [[ -z $feeder ]] || kill -- -"$feeder" 2>/dev/null || true
    [[ -z $feeder ]] || wait "$feeder" 2>/dev/null || true
    feeder=""
}

last="" out="" err="" # the state run last, its stdout and stderr
run_state() { # STATE EXPECTED_STATUS
    local rc=0 tree=$work/tree
    : >"$board/calls"
    (cd "$tree" && "$module" "$1" "$tree" >"$work/out" 2>"$work/err") || rc=$?
    last=$1 out=$(cat "$work/out") err=$(cat "$work/err")
    check "$1 exits $2 (exit $rc; stderr: $err)" [ "$rc" = "$2" ]
    if [[ $1 == Download ]]; then
        if [[ $2 == 0 ]]; then
            check "Download: Mender's writes all went through" wait "$feeder"
            feeder=""
            if grep -q 'inst_read=all ' "$board/state"; then
                check "Download: the installer read the image, whole" cmp -s "$work/image" "$board/read"
            fi
            check "Download: the installer's transcript in the log" grep -qx CP1 "$work/out"
        else
            end_feeder
        fi
        check "Download: nothing of the image size kept in the tree" \
            eval '[[ -z $(find "$tree" -type f -size +100k) ]]'
    fi
}
calls_are() { # PROGRAM-CALLS: ";"-separated, "-" for none; vexil-slots status not counted
    local want=${1//;/$'\n'}
    [[ $want == - ]] && want=""
    [[ $(grep -vx 'vexil-slots status --json' "$board/calls" || true) == "$want" ]]
}
# A reboot: a new boot id, and the boot loader's decision on the kernel
# command line (trial, good, fallback, or unknown: no vexil.boot=).
boot() { # MODE
    cat /proc/sys/kernel/random/uuid >"$board/boot_id"
    board_set booted "$1"
}
board_set() { sed -i "s/\<$1=[^ ]*/$1=$2/" "$board/state"; } # NAME VALUE

# A row: its steps in order. Board and stand-ins:
#   notrial          no boot environment: the set goes in without a trial
#   confirmed        the board confirmed the set on trial by itself
#   inst=RC[@N]      the installer exits RC (after reading N bytes); +switch:
#                    it switched B in all the same
#   files=N          the artifact's files (1 by default)
#   rollback=RC confirm=RC   vexil-slots answers RC
#   boot=MODE        the board reboots, the boot loader booting as MODE
# States and what they must give:
#   STATE:RC         the module run in STATE exits RC
#   out=TEXT         its stdout is TEXT;  err~TEXT: its stderr holds TEXT
#   calls=A;B        the board's programs it ran, in order ("-": none)
#   board=GEN[,trial]  the current generation, and whether it is on trial
while read -r name steps; do
    [[ -z $name || $name == \#* ]] && continue
    row=$name
    rm -rf "$board" "$work/tree"
    mkdir -p "$board" "$work/tree/tmp"
    echo "current=A previous=none on_trial=no env=yes booted=good inst_rc=0 inst_read=all" \
        "inst_switch=no rollback_rc=0 confirm_rc=0" >"$board/state"
    boot good
    files=1
    eval "set -- $steps"
    for step; do
        case $step in
        notrial) board_set env no ;;
        confirmed) board_set on_trial no ;;
        inst=*)
            want=${step#inst=}
            [[ $want != *+switch ]] || { board_set inst_switch yes; want=${want%+switch}; }
            [[ $want != *@* ]] || { board_set inst_read "${want#*@}"; want=${want%@*}; }
            board_set inst_rc "$want" ;;
        files=*) files=${step#files=} ;;
        rollback=* | confirm=*) board_set "${step%%=*}_rc" "${step#*=}" ;;
        boot=*) boot "${step#boot=}" ;;
        Download:*)
            feed "$files"
            run_state Download "${step#*:}" ;;
        [A-Z]*:*) run_state "${step%:*}" "${step#*:}" ;;
        out=*) check "$last: stdout '${step#out=}' (got '$out')" [ "$out" = "${step#out=}" ] ;;
        err~*) check "$last: stderr holds '${step#err~}' (got '$err')" eval '[[ $err == *"${step#err~}"* ]]' ;;
        calls=*) check "$last: runs ${step#calls=} (ran: $(tr '\n' ';' <"$board/calls"))" calls_are "${step#calls=}" ;;
        board=*)
            want=${step#board=}
            got=$(. "$board/state" && if [ "$on_trial" = yes ]; then echo "$current,trial"; else echo "$current"; fi)
            check "after $last: the board holds $want (holds $got)" [ "$got" = "$want" ] ;;
        *) echo "module.sh: row $row: unknown step $step" >&2; exit 2 ;;
        esac
    done
done <<'EOF'
# case                  steps
install-on-trial        Download:0 calls='VexilImageInstaller /dev/stdin' ArtifactInstall:0 out='vexil: the new set is current, on trial' NeedsArtifactReboot:0 out=Yes SupportsRollback:0 out=Yes board=B,trial
reboot-waits            Download:0 ArtifactInstall:0 ArtifactReboot:1 calls='reboot;sleep 600' err~'did not reboot'
commit-trial-boot       Download:0 ArtifactInstall:0 boot=trial ArtifactVerifyReboot:0 calls=- ArtifactCommit:0 calls='vexil-slots confirm' Cleanup:0 calls=- board=B
commit-confirmed        Download:0 ArtifactInstall:0 boot=trial confirmed ArtifactVerifyReboot:0 ArtifactCommit:0 calls='vexil-slots confirm' board=B
commit-before-reboot    Download:0 ArtifactInstall:0 ArtifactCommit:1 calls=- err~'has not rebooted since the install' ArtifactRollback:0 calls='vexil-slots rollback' ArtifactFailure:0 calls=- board=A
verify-before-reboot    Download:0 ArtifactInstall:0 ArtifactVerifyReboot:1 err~'has not rebooted since the install' board=B,trial
verify-not-trial-boot   Download:0 ArtifactInstall:0 boot=unknown ArtifactVerifyReboot:1 err~'(booted as unknown)'
fallback-verify         Download:0 ArtifactInstall:0 boot=fallback ArtifactVerifyReboot:1 err~'fell back' ArtifactRollback:0 calls='vexil-slots rollback' ArtifactRollbackReboot:0 calls=- ArtifactVerifyRollbackReboot:0 ArtifactFailure:0 calls=- board=A
fallback-commit         Download:0 ArtifactInstall:0 boot=fallback ArtifactCommit:1 calls='vexil-slots confirm' err~'now permanent' ArtifactRollback:0 calls=- ArtifactFailure:0 calls=- board=A
confirm-fails           confirm=4 Download:0 ArtifactInstall:0 boot=trial ArtifactCommit:1 err~'vexil-slots confirm failed: confirm failed: the rename was refused' board=B,trial
rollback-before-reboot  Download:0 ArtifactInstall:0 ArtifactRollback:0 calls='vexil-slots rollback' ArtifactRollbackReboot:0 calls=- ArtifactVerifyRollbackReboot:0 board=A
rollback-trial-boot     Download:0 ArtifactInstall:0 boot=trial ArtifactRollback:0 calls='vexil-slots rollback' ArtifactRollbackReboot:1 calls='reboot;sleep 600' ArtifactVerifyRollbackReboot:1 err~'not rebooted since the rollback' boot=good ArtifactVerifyRollbackReboot:0 ArtifactRollback:0 calls=- ArtifactFailure:0 calls=- board=A
rollback-refused        rollback=3 Download:0 ArtifactInstall:0 boot=trial ArtifactRollback:1 err~'the previous generation is not whole' ArtifactVerifyRollbackReboot:1 err~'still current' ArtifactFailure:1 calls='vexil-slots rollback' board=B,trial
notrial-commit          notrial Download:0 ArtifactInstall:0 out='vexil: the new set is current' NeedsArtifactReboot:0 out=Yes boot=good ArtifactVerifyReboot:0 ArtifactCommit:0 calls='vexil-slots confirm' board=B
notrial-rollback        notrial Download:0 ArtifactInstall:0 boot=unknown ArtifactVerifyReboot:0 ArtifactRollback:0 calls='vexil-slots rollback' ArtifactRollbackReboot:1 calls='reboot;sleep 600' boot=unknown ArtifactVerifyRollbackReboot:0 board=A
refused                 inst=3@100 Download:0 ArtifactInstall:1 err~'VexilImageInstaller refused the image: stand-in status 3 (nothing was switched in)' NeedsArtifactReboot:0 out=No ArtifactRollback:0 calls=- ArtifactFailure:0 calls=- Cleanup:0 calls=- board=A
unreadable              inst=2 Download:0 ArtifactInstall:1 err~'VexilImageInstaller could not read the image (nothing'
flash-failed            inst=4 Download:0 ArtifactInstall:1 err~'VexilImageInstaller failed to write the flash: stand-in status 4 (nothing'
trust-store             inst=5 Download:0 ArtifactInstall:1 err~'VexilImageInstaller cannot use the trust store: stand-in status 5'
busy                    inst=6 Download:0 ArtifactInstall:1 err~'VexilImageInstaller found another install or vexil-slots running'
still-on-trial          inst=7 Download:0 ArtifactInstall:1 err~'VexilImageInstaller cannot put a set on trial: stand-in status 7'
no-ubi                  inst=255 Download:0 ArtifactInstall:1 err~'VexilImageInstaller found no UBI device (nothing was switched in)'
killed                  inst=137@5000 Download:0 ArtifactInstall:1 err~'VexilImageInstaller ended with status 137: stand-in status 137 (nothing was switched in)' NeedsArtifactReboot:0 out=No ArtifactRollback:0 calls=- board=A
killed-after-switch     inst=137+switch Download:0 ArtifactInstall:1 err~'(the new set is current all the same)' NeedsArtifactReboot:0 out=Yes ArtifactRollback:0 calls='vexil-slots rollback' board=A
two-files               files=2 Download:1 err~'more than one file' Cleanup:0 calls='vexil-slots rollback' board=A
no-file                 files=0 Download:1 err~'holds no file' calls=- Cleanup:0 calls=- board=A
dropped-after-download  Download:0 Cleanup:0 calls='vexil-slots rollback' board=A
unknown-query           SupportsAugmentedArtifacts:0 out= calls=-
EOF

echo "mender module: $checks checks, $fails failed"
((fails == 0))
