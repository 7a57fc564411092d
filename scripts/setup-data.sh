#!/bin/sh
# setup-data.sh BUILD_DIR DATA_DIR - prepares a Notes data directory in
# which the gateway can run: the directory with a fax administrator and one
# sample user, the foreign domain FAXGATE routed to the gateway mail file,
# the "Vortiq*" keys, and the fax server's spool tree.
#
# Safe to run again: a prepared directory (marker .vortiq-setup-done) is
# left alone, so keys changed since with set-config stay as they are. A
# run that stopped half way (marker .vortiq-setup-partial) is started over.
set -eu

if [ $# -ne 2 ]; then
    echo "usage: $0 BUILD_DIR DATA_DIR" >&2
    exit 2
fi

BUILD=$(cd "$1" && pwd)
NOTESCTL="$BUILD/notesctl"
FAXSIM="$BUILD/faxsim"
if [ ! -x "$NOTESCTL" ]; then
    echo "setup-data: $NOTESCTL not found; build first" >&2
    exit 1
fi

mkdir -p "$2"
DATA=$(cd "$2" && pwd)
DONE="$DATA/.vortiq-setup-done"
PARTIAL="$DATA/.vortiq-setup-partial"

if [ -e "$DONE" ]; then
    exit 0
fi
if [ -e "$PARTIAL" ]; then
    # Only what an earlier run of this script made is removed.
    echo "setup-data: finishing an interrupted setup of $DATA afresh"
    find "$DATA" -mindepth 1 -maxdepth 1 ! -name .vortiq-setup-partial -exec rm -rf {} +
elif [ -n "$(ls -A "$DATA")" ]; then
    echo "setup-data: $DATA is not empty and was not prepared by this script; not touching it" >&2
    exit 1
fi
: > "$PARTIAL"

ctl() {
    "$NOTESCTL" -d "$DATA" "$@" >/dev/null
}

ctl init --domain Acme --org Acme
ctl person add "Fax Admin" --short faxadmin
ctl person add "Jane Roe" --short jroe --fax 555-0100
ctl domain add FAXGATE --mailfile vortiq.box
for setting in \
    "VortiqDomain=FAXGATE" \
    "VortiqPath=$DATA/spool" \
    "VortiqMsgfile=vortiq.box" \
    "VortiqAdministrator=Fax Admin" \
    "VortiqInterval=1"; do
    ctl set-config "$setting"
done

# The fax server's side: its spool tree and an empty queue file (without
# one the gateway's queue listing retries its open for 30 s every cycle).
if [ -x "$FAXSIM" ]; then
    "$FAXSIM" init "$DATA/spool" >/dev/null
    "$FAXSIM" queue "$DATA/spool" >/dev/null
else
    for dir in FAX/IN FAX/IPARCEL FAX/OUT FAX/OPARCEL FAX/ERROR PUBLIC UTIL/DATA; do
        mkdir -p "$DATA/spool/TMBFAX/$dir"
    done
    printf 'TMB_FAX_LANQUEUE3.00' > "$DATA/spool/TMBFAX/PUBLIC/SVCQ"
fi

mv "$PARTIAL" "$DONE"
echo "setup-data: $DATA is ready"
