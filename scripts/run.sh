#!/bin/sh
# run.sh BUILD_DIR - what "make run" does after the build: prepares ./data
# on first use and starts the gateway in the foreground, its log on the
# console. Ctrl+C stops it cleanly (the shutdown message is logged).
# VORTIQ_DATA names another data directory than ./data.
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:-$ROOT/build}" && pwd)
DATA="${VORTIQ_DATA:-$ROOT/data}"

"$ROOT/scripts/setup-data.sh" "$BUILD" "$DATA"
DATA=$(cd "$DATA" && pwd)

case "$BUILD" in
    "$ROOT"/*) REL=${BUILD#"$ROOT"/} ;;
    *) REL=$BUILD ;;
esac
case "$DATA" in
    "$ROOT"/*) DREL=${DATA#"$ROOT"/} ;;
    *) DREL=$DATA ;;
esac
cat <<HINT

VORTIQ is starting on $DATA (Ctrl+C stops it).
From a second terminal, in $ROOT, send it a fax mail:

  $REL/notesctl -d $DREL send --from "Jane Roe" --to "Jane Roe@555.0100@FAXGATE" --subject Hello --body "Hi"

then look at the job it writes ($DREL/spool/TMBFAX/FAX/OUT) and at the log
($REL/notesctl -d $DREL log -n 20).

HINT

# The gateway writes its temporary body files into its current directory.
cd "$DATA"
exec "$BUILD/vortiq" "=$DATA/notes.ini"
