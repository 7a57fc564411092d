#!/usr/bin/env bash
# setup-hylafax.sh - configures HylaFAX for one modem without questions,
# installs faxbridge's receive hook and prepares HylaFAX's sequence files.
# Run as root, once per modem; safe to run again (files are rewritten).
#
#   scripts/setup-hylafax.sh --modem ttyIAXA --number 5550100 \
#       --bridge /usr/local/bin/faxbridge --config /etc/faxbridge.conf \
#       --group vortiq --spool /srv/fax [--hylafax /var/spool/hylafax]
#       [--id "VORTIQ 5550100"] [--tagline FORMAT | --no-tagline] [--send-only]
#
# What it does:
#  - the server configuration etc/config (when missing, or still the one
#    the package shipped) and the modem's
#    etc/config.MODEM for a Class 1 soft modem (iaxmodem): caller id
#    patterns NMBR, NAME, ANID, NDID (the DID is the fourth caller-id field
#    the hook receives), FaxRcvdCmd pointing at the hook, received files
#    readable by the fax server only (the hook copies them);
#  - bin/vortiq-faxrcvd, the hook: runs "faxbridge hook -c CONFIG" with
#    HylaFAX's arguments;
#  - log/seqf, docq/seqf, sendq/seqf, recvq/seqf owned by the fax user
#    (without them faxsend, running as root, makes them root's and the
#    receiving side records an empty call id);
#  - the group GROUP shared by the fax server and the gateway: the fax user
#    joins it, the spool tree's folders belong to it and are setgid, so the
#    files the hook writes with umask 007 stay readable to the gateway;
#  - hosts.hfaxd lets local clients (sendfax, faxstat, faxrm) in.
# On Debian the master copy of HylaFAX's etc is /etc/hylafax, mirrored into
# the spool's etc by the init script: both are written.
set -euo pipefail

MODEM="" NUMBER="" BRIDGE="" CONFIG="" GROUP="" SPOOL="" HYLAFAX=/var/spool/hylafax
ID="" TAGLINE='From %%l|%c|Page %%P of %%T' SEND_ONLY=0
usage() { sed -n '2,12p' "$0" >&2; exit 64; }
while [ $# -gt 0 ]; do
  case "$1" in
    --modem) MODEM=$2; shift 2 ;;
    --number) NUMBER=$2; shift 2 ;;
    --bridge) BRIDGE=$2; shift 2 ;;
    --config) CONFIG=$2; shift 2 ;;
    --group) GROUP=$2; shift 2 ;;
    --spool) SPOOL=$2; shift 2 ;;
    --hylafax) HYLAFAX=$2; shift 2 ;;
    --id) ID=$2; shift 2 ;;
    --tagline) TAGLINE=$2; shift 2 ;;
    --no-tagline) TAGLINE=""; shift ;;
    --send-only) SEND_ONLY=1; shift ;;
    *) usage ;;
  esac
done
[ -n "$MODEM" ] && [ -n "$NUMBER" ] && [ -n "$BRIDGE" ] && [ -n "$CONFIG" ] && [ -n "$GROUP" ] && [ -n "$SPOOL" ] || usage
case "$MODEM" in *[!A-Za-z0-9_]*) echo "setup-hylafax: bad modem name $MODEM" >&2; exit 64 ;; esac
case "$NUMBER" in *[!0-9+]*) echo "setup-hylafax: the number takes digits only: $NUMBER" >&2; exit 64 ;; esac
[ "$(id -u)" -eq 0 ] || { echo "setup-hylafax: run as root" >&2; exit 1; }
[ -d "$HYLAFAX" ] || { echo "setup-hylafax: $HYLAFAX missing: install hylafax-server" >&2; exit 1; }
FAXUSER=$(stat -c %U "$HYLAFAX/sendq")
ID=${ID:-$NUMBER}

# the shared group
getent group "$GROUP" >/dev/null || groupadd --system "$GROUP"
id -nG "$FAXUSER" | tr ' ' '\n' | grep -qx "$GROUP" || usermod -a -G "$GROUP" "$FAXUSER"
for d in "" /TMBFAX /TMBFAX/FAX /TMBFAX/FAX/IN /TMBFAX/FAX/IPARCEL /TMBFAX/FAX/OUT /TMBFAX/FAX/OPARCEL \
         /TMBFAX/FAX/ERROR /TMBFAX/PUBLIC /TMBFAX/UTIL /TMBFAX/UTIL/DATA; do
  mkdir -p "$SPOOL$d"
  chgrp "$GROUP" "$SPOOL$d"
  chmod 2770 "$SPOOL$d"
done
if [ -e "$SPOOL/TMBFAX/PUBLIC/SVCQ" ]; then chgrp "$GROUP" "$SPOOL/TMBFAX/PUBLIC/SVCQ"; chmod 660 "$SPOOL/TMBFAX/PUBLIC/SVCQ"; fi
# the hook reads the bridge's configuration as the fax user
chgrp "$GROUP" "$CONFIG" && chmod 640 "$CONFIG"

ETCS=("$HYLAFAX/etc")
[ -d /etc/hylafax ] && ETCS=(/etc/hylafax "$HYLAFAX/etc")
put() { # put NAME: stdin into every etc
  local name=$1 tmp
  tmp=$(mktemp)
  cat >"$tmp"
  for e in "${ETCS[@]}"; do
    mkdir -p "$e"
    install -m 644 "$tmp" "$e/$name.new" && sync "$e/$name.new" && mv -f "$e/$name.new" "$e/$name"
  done
  rm -f "$tmp"
}
# Debian keeps setup.cache, hfaxd.conf and the rest in /etc/hylafax only
if [ -d /etc/hylafax ]; then
  for f in /etc/hylafax/*; do
    [ -f "$f" ] && [ ! -e "$HYLAFAX/etc/$(basename "$f")" ] && cp -p "$f" "$HYLAFAX/etc/"
  done
fi
# Is FILE the server configuration the package shipped, unchanged?
stock_config() {
  local sum
  command -v dpkg-query >/dev/null || return 1
  sum=$(dpkg-query -W -f='${Conffiles}\n' hylafax-server 2>/dev/null |
        awk '$1 == "/etc/hylafax/config" { print $2 }')
  [ -n "$sum" ] && [ "$(md5sum <"$1" | cut -d' ' -f1)" = "$sum" ]
}
# the server's configuration: written when missing, when written here
# before, or when it is still the package's own (Debian ships one); a
# site's own is left alone, with a word when it lets HylaFAX chop pages
if [ ! -s "$HYLAFAX/etc/config" ] || grep -q '^# written by setup-hylafax' "$HYLAFAX/etc/config" ||
   stock_config "$HYLAFAX/etc/config"; then
  put config <<CONF
# written by setup-hylafax.sh: HylaFAX's scheduler (faxq)
LogFacility:		daemon
ServerTracing:		0x1
MaxConcurrentCalls:	1
# pages go out as faxbridge rendered them: no blank bottom chopped off
PageChop:		none
# dial strings come cleaned from faxbridge (digits and +*#,): no rewriting
#DialStringRules:	etc/dialrules
CONF
elif ! grep -Eqi '^PageChop:[[:space:]]*none' "$HYLAFAX/etc/config"; then
  echo "setup-hylafax: $HYLAFAX/etc/config is the site's own and lacks \"PageChop: none\":" \
       "HylaFAX will cut the blank bottom off the last page of each fax" >&2
fi
printf 'localhost\n127.0.0.1\n' | put hosts.hfaxd
chmod 600 "$HYLAFAX/etc/hosts.hfaxd"; chown "$FAXUSER" "$HYLAFAX/etc/hosts.hfaxd"

{
  echo "# written by setup-hylafax.sh for $MODEM (a Class 1 soft modem such as iaxmodem)"
  echo "CountryCode:		1"
  echo "AreaCode:		555"
  echo "FAXNumber:		$NUMBER"
  echo "LongDistancePrefix:	1"
  echo "InternationalPrefix:	011"
  echo "LocalIdentifier:	\"$ID\""
  echo "ServerTracing:		1"
  echo "SessionTracing:		0xFFF"
  echo "RecvFileMode:		0600"
  echo "LogFileMode:		0600"
  echo "DeviceMode:		0600"
  echo "SpeakerVolume:		off"
  echo "ModemType:		Class1"
  echo "ModemRate:		19200"
  echo "ModemFlowControl:	rtscts"
  echo "ModemResetCmds:		\"ATH1\\nAT+VCID=1\""
  echo "ModemReadyCmds:		ATH0"
  echo "Class1AdaptRecvCmd:	AT+FAR=1"
  echo "Class1TMConnectDelay:	400"
  echo "CallIDPattern:		\"NMBR=\""
  echo "CallIDPattern:		\"NAME=\""
  echo "CallIDPattern:		\"ANID=\""
  echo "CallIDPattern:		\"NDID=\""
  if [ "$SEND_ONLY" = 1 ]; then
    echo "RingsBeforeAnswer:	0	# sends only"
  else
    echo "RingsBeforeAnswer:	1"
  fi
  echo "FaxRcvdCmd:		bin/vortiq-faxrcvd"
  if [ -n "$TAGLINE" ]; then
    echo "TagLineFont:		etc/lutRS18.pcf"
    echo "TagLineFormat:		\"$TAGLINE\""
  else
    echo "TagLineFormat:		\"\"	# no tag line: pages arrive as rendered"
  fi
} | put "config.$MODEM"

# the hook
cat >"$HYLAFAX/bin/vortiq-faxrcvd.new" <<HOOK
#!/bin/sh
# HylaFAX's FaxRcvdCmd (written by setup-hylafax.sh): the received fax into
# the gateway's spool tree. Arguments: FILE DEVICE COMMID REASON CALLID...
exec "$BRIDGE" hook -c "$CONFIG" "\$@"
HOOK
chmod 755 "$HYLAFAX/bin/vortiq-faxrcvd.new"
mv -f "$HYLAFAX/bin/vortiq-faxrcvd.new" "$HYLAFAX/bin/vortiq-faxrcvd"

# the sequence files, the fax user's before the first send
for q in log docq sendq recvq; do
  mkdir -p "$HYLAFAX/$q"
  [ -s "$HYLAFAX/$q/seqf" ] || echo 1 >"$HYLAFAX/$q/seqf"
  chown "$FAXUSER" "$HYLAFAX/$q/seqf"
  chmod 644 "$HYLAFAX/$q/seqf"
done
# the transfer log (Debian: log/xferfaxlog, else etc/xferfaxlog), written
# by the fax user, read by faxbridge through the shared group
XFER="$HYLAFAX/log/xferfaxlog"
[ -e "$HYLAFAX/etc/xferfaxlog" ] && XFER="$HYLAFAX/etc/xferfaxlog"
[ -e "$XFER" ] || : >"$XFER"
chown "$FAXUSER:$GROUP" "$XFER"
chmod 640 "$XFER"
echo "setup-hylafax: $MODEM configured ($NUMBER), hook bin/vortiq-faxrcvd -> $BRIDGE hook -c $CONFIG, group $GROUP"
