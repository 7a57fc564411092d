#!/usr/bin/env bash
# The newcomer's tour: the whole story of one fax out and one fax in, in a
# fresh temporary data directory, told from the real databases and files.
#   scripts/demo.sh BUILD_DIR
set -euo pipefail
BUILD=$(cd "${1:-build}" && pwd)
HERE=$(cd "$(dirname "$0")" && pwd)
DATA=$(mktemp -d "${TMPDIR:-/tmp}/vortiq-demo.XXXXXX")
CTL="$BUILD/notesctl -d $DATA"
SPOOL="$DATA/spool"
GW_PID=""

cleanup() {
  if [ -n "$GW_PID" ] && kill -0 "$GW_PID" 2>/dev/null; then
    kill -TERM "$GW_PID" 2>/dev/null || true
    wait "$GW_PID" 2>/dev/null || true
  fi
  if [ -z "${KEEP:-}" ]; then rm -rf "$DATA"; else echo "(data kept in $DATA)"; fi
}
trap cleanup EXIT

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
# Waits up to $2 seconds for the command $1 to succeed.
wait_for() {
  local cond=$1 limit=${2:-30} i=0
  while ! eval "$cond" >/dev/null 2>&1; do
    i=$((i + 1))
    if [ "$i" -gt $((limit * 10)) ]; then echo "timed out waiting for: $cond" >&2; exit 1; fi
    sleep 0.1
  done
}

step "A fresh Notes server in $DATA"
"$HERE/setup-data.sh" "$BUILD" "$DATA" >/dev/null
$CTL set-config AddInIdlePaceMs=100 >/dev/null
$CTL show-config | grep -i '^vortiq'

step "The gateway starts (its log goes to $DATA/server.log)"
( cd "$DATA" && exec "$BUILD/vortiq" "=$DATA/notes.ini" >"$DATA/vortiq.out" 2>&1 ) &
GW_PID=$!
wait_for "grep -q 'Fax gateway started' '$DATA/server.log'" 15
$CTL tasks

step "Jane Roe mails a fax to 555.0100 with an attachment"
printf 'Quarterly figures\n' > "$DATA/report.txt"
$CTL send --from "Jane Roe" --to "Bob Smith@555.0100@FAXGATE" --subject "Figures" \
    --body "Bob, the figures are attached." --attach "$DATA/report.txt"

step "The gateway writes the fax job for the fax server"
wait_for "ls '$SPOOL/TMBFAX/FAX/OUT' | grep -qv '\\.'" 15
JOB=$(ls "$SPOOL/TMBFAX/FAX/OUT" | grep -v '\.' | head -1)
echo "FAX/OUT/$JOB:"
tail -c +2 "$SPOOL/TMBFAX/FAX/OUT/$JOB" | sed 's/^/    /'
echo "FAX/OPARCEL: $(ls "$SPOOL/TMBFAX/FAX/OPARCEL")"

step "Jane finds the delivery report in her mail file"
wait_for "$CTL mail list mail/jroe.nsf | grep -qi 'delivery'" 15
$CTL mail list mail/jroe.nsf

step "The fax server queues and transmits the job"
"$BUILD/faxsim" queue "$SPOOL"
"$BUILD/faxsim" send "$SPOOL"
echo "UTIL/DATA/ACTIVITY.LOG:"
sed 's/^/    /' "$SPOOL/TMBFAX/UTIL/DATA/ACTIVITY.LOG"

step "A fax arrives for Jane's number 555-0100"
"$BUILD/faxsim" receive "$SPOOL" --did 555-0100 --tsi "+1 555 0142" --pages 2 --subject "Signed contract"

step "At its inbound cycle the gateway imports the activity and delivers the faxes"
wait_for "[ -z \"\$(ls '$SPOOL/TMBFAX/FAX/IN')\" ]" 40
wait_for "$CTL mail list mail/jroe.nsf | grep -q 'Signed contract'" 15
$CTL mail list mail/jroe.nsf
FAXID=$($CTL mail list mail/jroe.nsf --json | grep -o '"noteid": *[0-9]*' | tail -1 | grep -o '[0-9]*$')
$CTL mail show mail/jroe.nsf "$FAXID"

step "The activity database shows the sent job and the received fax"
$CTL db list TMB_ACT.NSF

step "The server log"
$CTL log -n 30

echo
echo "That was the whole road. Run it yourself with 'make run' (see README.md)."
