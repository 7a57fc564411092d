#!/usr/bin/env bash
# The newcomer's tour: the whole story of two faxes out and one fax in, in a
# fresh temporary data directory, told from the real databases and files.
# Everything it shows is read back from what the programs left; nothing is
# canned. Takes about 20 seconds (the gateway's first inbound cycle comes
# 10 seconds after it starts).
#   scripts/demo.sh BUILD_DIR        (KEEP=1 keeps the data directory)
set -euo pipefail
BUILD=$(cd "${1:-build}" && pwd)
HERE=$(cd "$(dirname "$0")" && pwd)
DATA=$(mktemp -d "${TMPDIR:-/tmp}/vortiq-demo.XXXXXX")
SPOOL="$DATA/spool"
TREE="$SPOOL/TMBFAX"
GW_PID=""

ctl() { "$BUILD/notesctl" -d "$DATA" "$@"; }
faxsim() { "$BUILD/faxsim" "$@"; }

cleanup() {
  if [ -n "$GW_PID" ] && kill -0 "$GW_PID" 2>/dev/null; then
    kill -TERM "$GW_PID" 2>/dev/null || true
    wait "$GW_PID" 2>/dev/null || true
  fi
  if [ -z "${KEEP:-}" ]; then rm -rf "$DATA"; else echo "(data kept in $DATA)"; fi
}
trap cleanup EXIT

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
indent() { sed 's/^/    /'; }
# Waits up to $2 seconds for the command $1 to succeed.
wait_for() {
  local cond=$1 limit=${2:-30} i=0
  while ! eval "$cond" >/dev/null 2>&1; do
    i=$((i + 1))
    if [ "$i" -gt $((limit * 10)) ]; then
      echo "timed out waiting for: $cond" >&2
      echo "the server log says:" >&2
      ctl log -n 20 >&2 || true
      exit 1
    fi
    sleep 0.1
  done
}
# Ready jobs: names without extension in FAX/OUT.
ready_jobs() { ls "$TREE/FAX/OUT" | grep -v '\.' || true; }
# The note ID of the first mail in $1 whose subject contains $2.
mail_id() { ctl mail list "$1" | awk -v s="$2" 'index($0, s) { print $1; exit }'; }
# The activity database, one line per entry.
activity() {
  ctl db list TMB_ACT.NSF | awk '
    /^noteid/ { if (line != "") print line; line = sprintf("note %-3s", $2); next }
    /^  (JobID|Date|Time|Type|To|From|Pages|Code|Explanation):/ {
      sub(/^  /, ""); line = line "  " $0 }
    END { if (line != "") print line }'
}

step "A fresh Notes server in $DATA"
"$HERE/setup-data.sh" "$BUILD" "$DATA" >/dev/null
ctl set-config AddInIdlePaceMs=100 >/dev/null
echo "The gateway's configuration (notes.ini):"
ctl show-config | grep -i '^vortiq' | indent
echo "The fax server's spool tree (made by faxsim init):"
(cd "$TREE" && find . -mindepth 1 -type d | sort | indent)

step "The gateway starts (its log goes to $DATA/server.log)"
( cd "$DATA" && exec "$BUILD/vortiq" "=$DATA/notes.ini" >"$DATA/vortiq.out" 2>&1 ) &
GW_PID=$!
wait_for "grep -q 'Fax gateway started' '$DATA/server.log'" 15
ctl log -n 1 | indent
echo "Its status line (notesctl tasks):"
ctl tasks | indent

step "Jane Roe mails a fax to Bob Smith at 555.0100, with an attachment"
printf 'Quarterly figures\n' > "$DATA/report.txt"
MEMO=$(ctl send --from "Jane Roe" --to "Bob Smith@555.0100@FAXGATE" --subject "Figures" \
    --body "Bob, the figures are attached." --attach "$DATA/report.txt")
echo "notesctl send routed memo $MEMO; the router put it into the gateway mail file vortiq.box."

step "The gateway sees new mail and writes the fax job for the fax server"
wait_for '[ -n "$(ready_jobs)" ]' 15
JOB=$(ready_jobs | head -1)
echo "FAX/OUT/$JOB (first byte $(head -c1 "$TREE/FAX/OUT/$JOB" | od -An -tx1 | tr -d ' '), then the header and the body):"
tail -c +2 "$TREE/FAX/OUT/$JOB" | sed '/./,$!d' | indent
for f in "$TREE"/FAX/OPARCEL/*; do
  echo "FAX/OPARCEL/$(basename "$f"): $(wc -c <"$f") bytes, the attachment"
done
wait_for '[ -z "$(ctl mail list vortiq.box)" ]' 15
echo "vortiq.box is empty again: the message was handed over and removed."

step "Jane finds the delivery report in her mail file (mail/jroe.nsf)"
wait_for "ctl mail list mail/jroe.nsf | grep -q 'Delivery Report'" 15
ctl mail list mail/jroe.nsf | indent

step "The fax server queues the job, then transmits it"
faxsim queue "$SPOOL" | indent
faxsim send "$SPOOL" | indent
echo "Its activity log, UTIL/DATA/ACTIVITY.LOG (a first line, then the final one marked *):"
indent <"$TREE/UTIL/DATA/ACTIVITY.LOG"
echo "FAX/OUT now holds $(ready_jobs | wc -l) ready job(s); the return status for Jane waits in FAX/IN: $(ls "$TREE/FAX/IN" | tr '\n' ' ')"

step "Jane sends a second fax to Bob; the fax server numbers it apart"
ctl send --from "Jane Roe" --to "Bob Smith@555.0100@FAXGATE" --subject "Figures, corrected" \
    --body "Bob, one figure was wrong." >/dev/null
wait_for '[ -n "$(ready_jobs)" ]' 15
echo "The gateway wrote it as FAX/OUT/$(ready_jobs | head -1), the name of the first job again, which is free."
faxsim send "$SPOOL" | indent
echo "The fax server's own history of its activity lines (ROOT/sent/history.log):"
indent <"$SPOOL/sent/history.log"
echo "Its job counter, ROOT/faxsim.seq: the last job number given out, $(head -1 "$SPOOL/faxsim.seq")."

step "A fax arrives for Jane's fax number 555-0100 (her DID)"
RX=$(faxsim receive "$SPOOL" --did 555-0100 --tsi "+1 555 0142" --pages 2 --subject "Signed contract")
echo "faxsim receive left FAX/IN/$RX and its image FAX/IPARCEL/$(ls "$TREE/FAX/IPARCEL" | head -1):"
indent <"$TREE/FAX/IN/$RX"

step "At its inbound cycle the gateway imports the activity and mails the faxes"
wait_for '[ -z "$(ls "$TREE/FAX/IN")" ] && [ ! -e "$TREE/UTIL/DATA/ACTIVITY.LOG" ]' 80
wait_for "ctl mail list mail/jroe.nsf | grep -q 'Signed contract'" 15
echo "Jane's mail file now:"
ctl mail list mail/jroe.nsf | indent
FAXID=$(mail_id mail/jroe.nsf 'Signed contract')
echo "The received fax (notesctl mail show mail/jroe.nsf $FAXID):"
ctl mail show mail/jroe.nsf "$FAXID" | grep -Ev '^(\$|Recipients|RoutingState|DeliveredDate|PostedDate|ComposedDate)' | indent

step "The activity database TMB_ACT.NSF: one entry per sent job, and the received fax"
activity | indent

step "The gateway stops cleanly (notesctl quit vortiq)"
ctl quit vortiq | indent
wait_for "grep -q 'Fax gateway shutdown' '$DATA/server.log'" 15
STATUS=0
wait "$GW_PID" || STATUS=$?
echo "vortiq ended with exit status $STATUS"
GW_PID=""
echo "The server log:"
ctl log -n 40 | indent


step "The pages: what Bob's fax machine printed and what reached Jane"
# kept after the demo, unlike the data directory
PAGES=$(mktemp -d "${TMPDIR:-/tmp}/vortiq-demo-pages.XXXXXX")
for d in "$SPOOL"/sent/*/; do
  job=$(basename "$d")
  for png in "$d"fax-*/page-*.png; do
    [ -e "$png" ] && cp "$png" "$PAGES/sent-$job-$(basename "$(dirname "$png")")-$(basename "$png")"
  done
done
ctl mail extract mail/jroe.nsf "$FAXID" RX.FAX --png "$PAGES/received" >/dev/null
echo "faxsim send rendered each job (fax-K.tif beside ROOT/sent/NNNN/summary.txt, one PNG per page);"
echo "notesctl mail extract ... RX.FAX --png DIR drew the received fax. Copies, kept for you:"
(cd "$PAGES" && find . -name '*.png' | sort | sed "s|^\./|$PAGES/|" | indent)

echo
echo "That was the whole road. Run it yourself with 'make run' (see README.md)."
