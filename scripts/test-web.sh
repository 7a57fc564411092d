#!/usr/bin/env bash
# test-web.sh BUILD_DIR - the fax desk as a person sees it: a demo data
# directory where the gateway has sent two faxes and received one (a real
# two-page TIFF made with netpbm), faxdesk on it, and headless Chromium
# reading its pages.
#
# Login: the script logs in with curl through the real login form (its
# CSRF token and cookie), then hands the session cookie to Chromium in
# the one place a headless run without scripts takes it from: the
# browser's own cookie store in a fresh --user-data-dir, written as
# Chromium's "Cookies" SQLite file before the browser starts. No test
# switch in faxdesk, no bypass.
#
# Checks what a person would see, from the DOM (--dump-dom): the sent
# list with Jane's faxes, the received fax with both page pictures
# loaded (an <img> whose picture did not load has naturalWidth 0, which
# the page cannot show without script, so each picture's URL is also
# fetched with the same cookie and must be a PNG). Screenshots of the
# overview and the received fax are kept in BUILD_DIR/test-web/.
#
# Skips (exit 0, saying so) only when Chromium cannot be installed.
set -euo pipefail
BUILD=$(cd "${1:-build}" && pwd)
HERE=$(cd "$(dirname "$0")" && pwd)
OUT="$BUILD/test-web"
mkdir -p "$OUT"

if ! command -v chromium >/dev/null 2>&1; then
  if [ "$(id -u)" -eq 0 ]; then
    echo "test-web: installing chromium"
    (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq chromium) >"$OUT/apt.log" 2>&1 || true
  fi
  if ! command -v chromium >/dev/null 2>&1; then
    echo "test-web: SKIPPED: chromium cannot be installed here (see $OUT/apt.log)"
    exit 0
  fi
fi
for tool in curl sqlite3 pamtotiff; do
  command -v "$tool" >/dev/null || { echo "test-web: $tool is missing (scripts/install-deps.sh)"; exit 1; }
done

DATA=$(mktemp -d "${TMPDIR:-/tmp}/vortiq-web.XXXXXX")
SPOOL="$DATA/spool"
TREE="$SPOOL/TMBFAX"
PROFILE=$(mktemp -d "${TMPDIR:-/tmp}/vortiq-chromium.XXXXXX")
GW_PID="" DESK_PID=""
PORT=$((20000 + RANDOM % 20000))
URL="http://127.0.0.1:$PORT"
FAILED=0

cleanup() {
  for pid in $DESK_PID $GW_PID; do
    if kill -0 "$pid" 2>/dev/null; then
      kill -TERM "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
    fi
  done
  rm -rf "$DATA" "$PROFILE"
}
trap cleanup EXIT

ctl() { "$BUILD/notesctl" -d "$DATA" "$@"; }
wait_for() {
  local cond=$1 limit=${2:-30} i=0
  while ! eval "$cond" >/dev/null 2>&1; do
    i=$((i + 1))
    if [ "$i" -gt $((limit * 10)) ]; then
      echo "test-web: timed out waiting for: $cond" >&2
      tail -20 "$DATA/server.log" >&2 || true
      exit 1
    fi
    sleep 0.1
  done
}
check() { # check NAME CONDITION
  if eval "$2"; then echo "ok   $1"; else echo "FAIL $1"; FAILED=$((FAILED + 1)); fi
}

# ---- the demo data: two faxes out, one in ----
"$HERE/setup-data.sh" "$BUILD" "$DATA" >/dev/null
ctl set-config AddInIdlePaceMs=100 >/dev/null
ctl set-config VortiqFirstPassDelay=0 >/dev/null
ctl set-config VortiqIntervalSeconds=1 >/dev/null
echo 'desk-password-1' | ctl person passwd "Fax Admin" >/dev/null
( cd "$DATA" && exec "$BUILD/vortiq" "=$DATA/notes.ini" >"$DATA/vortiq.out" 2>&1 ) &
GW_PID=$!
wait_for "grep -q 'Fax gateway started' '$DATA/server.log'" 15
ready_jobs() { ls "$TREE/FAX/OUT" | grep -v '\.' || true; }
for subject in "Figures" "Figures, corrected"; do
  ctl send --from "Jane Roe" --to "Bob Smith@555.0100@FAXGATE" --subject "$subject" --body "Bob, see this." >/dev/null
  wait_for '[ -n "$(ready_jobs)" ]' 30
  "$BUILD/faxsim" queue "$SPOOL" >/dev/null
  "$BUILD/faxsim" send "$SPOOL" >/dev/null
done
IMAGE="$DATA/contract.tif"
: >"$IMAGE"
for p in 1 2; do
  pbmtext "Page $p of the signed contract" | pamenlarge 6 | pnmpad -white -width 1728 -height 1100 |
    pamtotiff -g4 -xresolution 204 -yresolution 196 -append -output="$IMAGE"
done
"$BUILD/faxsim" receive "$SPOOL" --did 555-0100 --tsi "+1 555 0142" --pages 2 --subject "Signed contract" \
  --image "$IMAGE" >/dev/null
wait_for "ctl mail list mail/jroe.nsf | grep -q 'Signed contract'" 90
wait_for "ctl db list TMB_ACT.NSF | grep -q 'Type: RX'" 30
wait_for "[ \$(ctl db list TMB_ACT.NSF | grep -c 'Code: 0000') -ge 2 ]" 90

# ---- the desk, and a real login with curl ----
"$BUILD/faxdesk" -d "$DATA" --listen "127.0.0.1:$PORT" >"$OUT/faxdesk.out" 2>&1 &
DESK_PID=$!
wait_for "curl -sf -o /dev/null '$URL/login'" 15
JAR="$OUT/cookies.txt"
rm -f "$JAR"
TOKEN=$(curl -s -c "$JAR" "$URL/login" | sed -n 's/.*name="csrf" value="\([0-9a-f]*\)".*/\1/p')
curl -s -b "$JAR" -c "$JAR" -o /dev/null --data-urlencode "csrf=$TOKEN" --data-urlencode "user=Fax Admin" \
  --data-urlencode "password=desk-password-1" "$URL/login"
SESSION=$(awk '$6 == "faxdesk_session" { print $7 }' "$JAR")
check "login with curl gives a session" '[ -n "$SESSION" ]'

# ---- the cookie into Chromium's own store ----
mkdir -p "$PROFILE/Default"
chrome() {
  timeout 60 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$PROFILE" --window-size="${WINDOW:-1200,1400}" "$@" 2>>"$OUT/chromium.log"
}
# a first run lays out the profile and its empty cookie database
chrome --dump-dom "$URL/login" >/dev/null || true
COOKIES="$PROFILE/Default/Cookies"
[ -f "$COOKIES" ] || COOKIES="$PROFILE/Default/Network/Cookies"
if [ -f "$COOKIES" ]; then
  # Chromium's time: microseconds since 1601
  NOW=$(( ($(date +%s) + 11644473600) * 1000000 ))
  EXP=$(( NOW + 3600 * 1000000 ))
  COLS=$(sqlite3 "$COOKIES" "SELECT group_concat(name, ',') FROM pragma_table_info('cookies')")
  VALS=""
  for c in ${COLS//,/ }; do
    case $c in
      creation_utc|last_access_utc|last_update_utc) v=$NOW ;;
      expires_utc) v=$EXP ;;
      host_key) v="'127.0.0.1'" ;;
      name) v="'faxdesk_session'" ;;
      value) v="'$SESSION'" ;;
      path) v="'/'" ;;
      is_httponly|has_expires|is_persistent) v=1 ;;
      samesite) v=2 ;;
      priority) v=1 ;;
      source_scheme) v=1 ;;
      source_port) v=$PORT ;;
      encrypted_value) v="X''" ;;
      top_frame_site_key) v="''" ;;
      *) v=0 ;;
    esac
    VALS="$VALS${VALS:+,}$v"
  done
  sqlite3 "$COOKIES" "INSERT INTO cookies($COLS) VALUES($VALS)"
fi
check "Chromium's cookie store takes the session" '[ -f "$COOKIES" ]'

# ---- what a person sees ----
chrome --dump-dom "$URL/sent" >"$OUT/sent.html" || true
check "the sent list shows Jane's two faxes to 555.0100" \
  '[ "$(grep -o "<tr><td>[0-9]*</td>" "$OUT/sent.html" | wc -l)" -ge 2 ] && grep -q "555.0100" "$OUT/sent.html"'
check "the sent list says they went (code 0000)" 'grep -q "class=\"ok\">0000" "$OUT/sent.html"'
chrome --dump-dom "$URL/received" >"$OUT/received.html" || true
FAX=$(sed -n 's/.*href="\/received\/\([0-9]*\)".*/\1/p' "$OUT/received.html" | head -1)
check "the received list shows the fax from +1 555 0142" '[ -n "$FAX" ] && grep -q "+1 555 0142" "$OUT/received.html"'
chrome --dump-dom "$URL/received/$FAX" >"$OUT/fax.html" || true
check "the received fax shows two page pictures" \
  '[ "$(grep -o "src=\"/received/$FAX/page/[12].png\"" "$OUT/fax.html" | wc -l)" -eq 2 ]'
for p in 1 2; do
  curl -s -b "faxdesk_session=$SESSION" -o "$OUT/page$p.png" "$URL/received/$FAX/page/$p.png"
  check "page $p loads as a PNG picture" '[ "$(head -c 4 "$OUT/page$p.png" | od -An -c | tr -d " ")" = "211PNG" ]'
done
curl -s -b "faxdesk_session=$SESSION" -o "$OUT/fax.tif" "$URL/received/$FAX/fax.tif"
check "the TIFF download is the received image" 'cmp -s "$OUT/fax.tif" "$IMAGE"'
chrome --screenshot="$OUT/overview.png" "$URL/" >/dev/null || true
chrome --screenshot="$OUT/received-fax.png" "$URL/received/$FAX" >/dev/null || true
WINDOW=1000,420 chrome --screenshot="$OUT/received.png" "$URL/received" >/dev/null || true
check "screenshots kept" '[ -s "$OUT/overview.png" ] && [ -s "$OUT/received-fax.png" ]'
echo "test-web: artefacts in $OUT"
if [ "$FAILED" -gt 0 ]; then
  echo "test-web: $FAILED check(s) failed"
  exit 1
fi
echo "test-web: all checks passed"
