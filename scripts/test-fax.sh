#!/usr/bin/env bash
# test-fax.sh BUILD_DIR - the gateway and faxbridge over a real fax server:
# HylaFAX and two iaxmodem soft modems peered on loopback. A mail to the
# gateway becomes a job, faxbridge renders and submits it, modem A calls
# modem B, HylaFAX receives it, the hook writes FAX/IN, the gateway mails it
# to Jane Roe, whose fax number 555-0100 is the DID. Checked: the received
# pages equal the rendered ones pixel for pixel (HylaFAX's tag line is
# switched off with an empty TagLineFormat), the return status reaches the
# sender, the activity database shows the sent job with its HylaFAX job
# number and page count and the received fax.
#
# Needs root (HylaFAX's daemons, the modems' ptys) and installs what is
# missing (hylafax-server hylafax-client iaxmodem, dma as the mail transport
# HylaFAX depends on). Skips, saying why, where it cannot run. The modems run
# in a network namespace of their own that holds only loopback, so nothing
# outside can call them. Every wait has a hard limit; the whole run ends
# within 10 minutes; a failed run removes its HylaFAX jobs (faxrm) and every
# run stops the daemons it started. KEEP=1 keeps the data directory.
set -uo pipefail
BUILD=$(cd "${1:-build}" && pwd)
HERE=$(cd "$(dirname "$0")" && pwd)
START=$(date +%s)
LIMIT=${FAX_TEST_LIMIT:-500}   # seconds for the waits; cleanup (at most ~60 s) after
HYLA=/var/spool/hylafax
GROUP=${FAX_TEST_GROUP:-vortiq}
PIDS=()        # daemons started here, stopped in reverse order
DATA="" GW_PID="" BR_PID="" NS_PID="" IAXCONF=()

say() { printf 'test-fax: %s\n' "$*"; }
skip() { say "SKIP: $*"; exit 0; }
elapsed() { echo $(( $(date +%s) - START )); }

dump_logs() {
  [ -n "$DATA" ] || return 0
  say "--- faxbridge log"; tail -n 30 "$DATA/bridge.log" 2>/dev/null
  say "--- gateway log"; "$BUILD/notesctl" -d "$DATA" log -n 20 2>/dev/null
  say "--- HylaFAX: xferfaxlog, the last session logs, modem status"
  tail -n 5 "$HYLA/etc/xferfaxlog" 2>/dev/null
  for f in $(ls -t "$HYLA"/log/c* 2>/dev/null | head -2); do echo "== $f"; tail -n 25 "$f"; done
  cat "$HYLA"/status/ttyIAX* 2>/dev/null
  say "--- daemons"; tail -n 10 "$DATA"/*.out 2>/dev/null
}

# the queue files of this test's jobs (tagged VORTIQTEST, a prefix of the
# test's own) still in sendq
our_jobs() { grep -l '^jobtag:VORTIQTEST:' "$HYLA"/sendq/q* 2>/dev/null; }
# with the daemons stopped: a job faxrm could not end goes with its
# documents, so no later start of HylaFAX dials it again
purge_jobs() {
  local q
  for q in $(our_jobs); do
    say "HylaFAX job $(sed -n 's/^jobid://p' "$q") did not end: removing $q and its documents"
    sed -n 's/^!*\(tiff\|fax\|pdf\|postscript\):[0-9]*:[^:]*:\(docq\/.*\)$/\2/p' "$q" |
      while read -r doc; do rm -f "$HYLA/$doc"; done
    rm -f "$q"
  done
}

cleanup() {
  local rc=$?
  trap - EXIT INT TERM
  # HylaFAX jobs of this run go first, while hfaxd still answers; an
  # active job leaves sendq only once its call is torn down
  if [ ${#PIDS[@]} -gt 0 ] && [ -n "$(our_jobs)" ]; then
    for q in $(our_jobs); do
      id=$(sed -n 's/^jobid://p' "$q")
      say "removing HylaFAX job $id"
      timeout 20 faxrm -h localhost "$id" >/dev/null 2>&1 || true
    done
    for _ in $(seq 1 30); do [ -z "$(our_jobs)" ] && break; sleep 1; done
  fi
  for pid in "$BR_PID" "$GW_PID"; do
    [ -n "$pid" ] && kill -TERM "$pid" 2>/dev/null
  done
  for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do kill -TERM "${PIDS[$i]}" 2>/dev/null; done
  [ -n "$NS_PID" ] && kill -TERM "$NS_PID" 2>/dev/null
  sleep 2
  for pid in "$BR_PID" "$GW_PID" "${PIDS[@]}" "$NS_PID"; do
    [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null && kill -KILL "$pid" 2>/dev/null
  done
  wait 2>/dev/null
  [ ${#PIDS[@]} -gt 0 ] && purge_jobs
  for f in "${IAXCONF[@]}"; do rm -f "$f"; done
  if [ -n "$DATA" ]; then
    if [ -n "${KEEP:-}" ] || [ $rc -ne 0 ]; then say "data kept in $DATA"; else rm -rf "$DATA"; fi
  fi
  say "$( [ $rc -eq 0 ] && echo PASS || echo FAIL ) after $(elapsed) s"
  exit $rc
}

fail() { say "FAIL: $*"; dump_logs; exit 1; }

# wait_for DESCRIPTION SECONDS COMMAND...: polls once a second, never past
# the run's limit
wait_for() {
  local what=$1 limit=$2 t0
  shift 2
  t0=$(date +%s)
  while ! "$@" >/dev/null 2>&1; do
    local now=$(date +%s)
    if [ $((now - t0)) -ge "$limit" ] || [ $((now - START)) -ge "$LIMIT" ]; then
      fail "timed out after $((now - t0)) s waiting for $what"
    fi
    sleep 1
  done
  say "$what ($(( $(date +%s) - t0 )) s)"
}

# ---- can it run here?
[ "$(uname -s)" = Linux ] || skip "needs Linux"
[ "$(id -u)" -eq 0 ] || skip "needs root: HylaFAX's daemons and iaxmodem's ptys (run: sudo make test-fax)"
for need in vortiq notesctl faxbridge; do
  [ -x "$BUILD/$need" ] || skip "$BUILD/$need is not built (run make build)"
done
missing=()
for p in hylafax-server hylafax-client iaxmodem; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  say "installing ${missing[*]} (with dma as the mail transport, no recommends)"
  (apt-get install -y -qq --no-install-recommends "${missing[@]}" dma ||
   { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" dma; }) \
    >/tmp/test-fax-apt.log 2>&1 || skip "cannot install ${missing[*]} (see /tmp/test-fax-apt.log)"
fi
for d in faxq hfaxd faxgetty iaxmodem; do
  pgrep -x "$d" >/dev/null && skip "a $d runs already on this machine; not touching another fax set-up"
done
if command -v ss >/dev/null && ss -lntu 2>/dev/null | grep -Eq '[:.](4559|4571|4572)\b'; then
  skip "port 4559, 4571 or 4572 is taken"
fi
trap cleanup EXIT
trap 'fail "interrupted"' INT TERM
# a watchdog: the run never outlives its limit plus the cleanup
( trap 'kill "$sp" 2>/dev/null; exit 0' TERM
  sleep $((LIMIT + 20)) & sp=$!
  wait "$sp" && kill -TERM $$ 2>/dev/null ) &
WATCHDOG=$!
PIDS+=("$WATCHDOG")

# ---- the gateway's data directory and the bridge
DATA=$(mktemp -d /tmp/vortiq-fax.XXXXXX)
chmod 711 "$DATA"   # the fax user reaches the spool tree and the bridge
"$HERE/setup-data.sh" "$BUILD" "$DATA" >/dev/null || fail "setup-data.sh"
ctl() { "$BUILD/notesctl" -d "$DATA" "$@"; }
ctl set-config VortiqFirstPassDelay=1 >/dev/null
ctl set-config VortiqIntervalSeconds=3 >/dev/null
ctl set-config AddInIdlePaceMs=100 >/dev/null
mkdir -p "$DATA/bin" "$DATA/bridge/work" "$DATA/bridge/pages"
install -m 755 "$BUILD/faxbridge" "$DATA/bin/faxbridge"
cat >"$DATA/faxbridge.conf" <<CONF
# faxbridge for the two-modem test: modem A sends, modem B receives
spool = $DATA/spool
state = $DATA/bridge/state.db
work = $DATA/bridge/work
keep_pages = $DATA/bridge/pages
hylafax = $HYLA
host = localhost
modem = ttyIAXA
max_dials = 2
interval = 2
did_format = ###-####
tag_prefix = VORTIQTEST
CONF
"$HERE/setup-hylafax.sh" --modem ttyIAXA --number 5550199 --id "VORTIQ A" --send-only --no-tagline \
  --bridge "$DATA/bin/faxbridge" --config "$DATA/faxbridge.conf" --group "$GROUP" --spool "$DATA/spool" \
  || fail "setup-hylafax.sh for ttyIAXA"
"$HERE/setup-hylafax.sh" --modem ttyIAXB --number 5550100 --id "VORTIQ B" --no-tagline \
  --bridge "$DATA/bin/faxbridge" --config "$DATA/faxbridge.conf" --group "$GROUP" --spool "$DATA/spool" \
  || fail "setup-hylafax.sh for ttyIAXB"

purge_jobs   # left by an earlier run that could not clean up

# ---- two soft modems, A (port 4571) calls B (port 4572) directly
mkdir -p /etc/iaxmodem /var/log/iaxmodem
modem_conf() { # NAME PORT PEERPORT CIDNAME CIDNUMBER
  local f=/etc/iaxmodem/vortiq-test-$1
  IAXCONF+=("$f")
  cat >"$f" <<IAX
device		/dev/$1
owner		uucp:uucp
mode		660
port		$2
refresh		0
server		127.0.0.1:$3
peername	vortiq$1
secret		vortiqtest
cidname		$4
cidnumber	$5
codec		slinear
IAX
}
modem_conf ttyIAXA 4571 4572 "VORTIQ A" 5550199
modem_conf ttyIAXB 4572 4571 "VORTIQ B" 5550100
# a network namespace holding only loopback; without one (no unshare
# rights) the modems listen on every address of this machine
if unshare --net true 2>/dev/null; then
  # the shell in the namespace tells the modems' process ids
  unshare --net sh -c 'ip link set lo up
    iaxmodem vortiq-test-ttyIAXA & echo $! >"$1/iaxmodem-A.pid"
    iaxmodem vortiq-test-ttyIAXB & echo $! >"$1/iaxmodem-B.pid"
    wait' sh "$DATA" >"$DATA/iaxmodem.out" 2>&1 &
  NS_PID=$!
  say "iaxmodem A and B in a private network namespace (loopback only)"
else
  say "no network namespace here: iaxmodem listens on every address during the test"
  iaxmodem vortiq-test-ttyIAXA >"$DATA/iaxmodem.out" 2>&1 & PIDS+=($!)
  iaxmodem vortiq-test-ttyIAXB >>"$DATA/iaxmodem.out" 2>&1 & PIDS+=($!)
fi
wait_for "the modems' ptys" 30 test -e /dev/ttyIAXA -a -e /dev/ttyIAXB
for f in "$DATA"/iaxmodem-?.pid; do [ -s "$f" ] && PIDS+=("$(cat "$f")"); done

# ---- HylaFAX in the foreground
faxq -D >"$DATA/faxq.out" 2>&1 & PIDS+=($!)
hfaxd -d -l 127.0.0.1 -i 4559 >"$DATA/hfaxd.out" 2>&1 & PIDS+=($!)
faxgetty ttyIAXA >"$DATA/faxgetty-A.out" 2>&1 & PIDS+=($!)
faxgetty ttyIAXB >"$DATA/faxgetty-B.out" 2>&1 & PIDS+=($!)
idle() { grep -q "Running and idle" "$HYLA/status/$1"; }
wait_for "modem A ready" 120 idle ttyIAXA
wait_for "modem B ready" 120 idle ttyIAXB

# ---- the gateway and the bridge
( cd "$DATA" && exec "$BUILD/vortiq" "=$DATA/notes.ini" >"$DATA/vortiq.out" 2>&1 ) &
GW_PID=$!
"$DATA/bin/faxbridge" run -c "$DATA/faxbridge.conf" >"$DATA/bridge.log" 2>&1 &
BR_PID=$!
wait_for "the gateway started" 30 grep -q 'Fax gateway started' "$DATA/server.log"

# ---- one text page from Jane Roe to 555.0100, the number of modem B
ctl send --from "Jane Roe" --to "Jane Roe@555.0100@FAXGATE" --subject "Line test" \
  --body "One page over two soft modems." >/dev/null || fail "notesctl send"
submitted() { grep -q 'submitted as HylaFAX job' "$DATA/bridge.log"; }
wait_for "the bridge submitted the job" 60 submitted
HJOB=$(sed -n 's/.*submitted as HylaFAX job \([0-9]*\).*/\1/p' "$DATA/bridge.log" | head -1)
say "HylaFAX job $HJOB"
mail_id() { ctl mail list mail/jroe.nsf | awk -v s="$1" 'index($0, s) { print $1; exit }'; }
received() { [ -n "$(mail_id 'Fax received')" ]; }
wait_for "Jane has the received fax" 300 received
returned() { [ -n "$(mail_id 'Fax: Line test')" ]; }
wait_for "Jane has the return status" 60 returned

# ---- the pages: received equals rendered
RX=$(mail_id 'Fax received')
ctl mail extract mail/jroe.nsf "$RX" RX.FAX "$DATA/received.tif" >/dev/null || fail "cannot extract RX.FAX"
SENT=$(ls "$DATA"/bridge/pages/*.tif | head -1)
"$DATA/bin/faxbridge" compare "$SENT" "$DATA/received.tif" || fail "received pages differ from the rendered ones"
ctl mail show mail/jroe.nsf "$RX" | grep -E 'DID Received|Pages Received|TSI' | sed 's/^/    /'
ctl mail show mail/jroe.nsf "$(mail_id 'Fax: Line test')" | grep -E 'Result|Job' | sed 's/^/    /'

# ---- the activity database: the sent job, numbered by HylaFAX, and the received fax
JOBNO=$(printf '%04d' $((HJOB % 10000)))
# one line per entry: |Item: value|Item: value...
entries() { ctl db list TMB_ACT.NSF | awk '/^noteid/ { if (e != "") print e; e = ""; next }
  { sub(/^  /, ""); e = e "|" $0 } END { if (e != "") print e "|" }' | sed 's/$/|/'; }
sent_entry() { entries | grep "|JobID: $JOBNO|" | grep '|Type: TX|' | grep '|Code: 0000|' | grep -q '|Pages: 001|'; }
rx_entry() { entries | grep '|Type: RX|' | grep '|Pages: 1|' | grep -q '|To: Jane Roe|'; }
wait_for "the activity database shows job $JOBNO sent, 1 page" 60 sent_entry
wait_for "the activity database shows the received fax for Jane Roe" 60 rx_entry
entries | grep -e "|JobID: $JOBNO|" -e '|Type: RX|' | sed 's/^/    /'
say "passed in $(elapsed) s"
