#!/usr/bin/env bash
# Creates a server area with default settings for tessaly and the device
# controllers when it is missing:
#   tools/make-server-area.sh [FOLDER]    (default ./run)
# FOLDER/KORVANE.INI        the server's settings: folders of the area, and for
#                           marrock "[OPTIONS]", "[RELAY]", "[DRENNIC]", the
#                           device paragraph "[FOIP-G1]" and the channels
#                           "[FOIP-G1-1]" and "[FOIP-G1-2]"
# FOLDER/K-DB/SETUP.INI     "[TESSALY]": log level, configuration path, SIP on
#                           127.0.0.1
# FOLDER/K-DB/ROUTING.INI   "[SUBADDR]": called number (DID) to user
# FOLDER/K-DB/ELIT_L?.FN    the header-line fonts, written by
#                           "$KV_MARROCK --make-fonts" when KV_MARROCK names the
#                           marrock program
# FOLDER/USERS/FAXIN/K-IN/  the folder of the user who receives the faxes
# FOLDER/Tessaly/*.cfg      global configuration and two session files
# FOLDER/mailslot/          the mailslots of the server programs
# Existing files are left as they are.
set -euo pipefail
area=${1:-$PWD/run}
mkdir -p "$area"
area=$(cd "$area" && pwd)
mkdir -p "$area/K-DB" "$area/K-TEMP" "$area/Tessaly/pages" "$area/Tessaly/rcv" "$area/REQ" "$area/USERS/FAXIN/K-IN" \
  "$area/mailslot"

write() {  # write FILE: stdin into FILE unless it exists
  [ -e "$1" ] || cat > "$1"
  [ -e "$1" ] && cat > /dev/null
}

write "$area/KORVANE.INI" <<INI
; Fax server settings (created by tools/make-server-area.sh)
[SERVER]
SystemArea: $area/
ServerArea: $area/
RequestArea: $area/REQ/
AllUserArea: $area/USERS/

[OPTIONS]
DateFormatShort: dd/MM/yy
CSIDSeparator: :

[RELAY]
RelayEnabled: N
RelayIdentifier: *
RelayDefaultUser: FAXIN

; DRENNIC takes the faxes the controllers receive.
[DRENNIC]

; The fax-over-IP devices of group G1: one marrock per channel paragraph
; (tools/run.sh starts "marrock GROUP G1 <channel> <channel>").
[FOIP-G1]
Port: FOIP
RecdUser: FAXIN
PhoneNum: +44 20 7946 0000
TraceLog: ERROR

[FOIP-G1-1]
PhoneNum: +44 20 7946 0001

[FOIP-G1-2]
PhoneNum: +44 20 7946 0002
INI

write "$area/K-DB/ROUTING.INI" <<'INI'
; Routing of incoming calls by called number (DID): "<DID>: <user>"; a value
; that starts with '@' names nobody.
[SUBADDR]
00001: FAXIN
INI

if [ -n "${KV_MARROCK:-}" ] && { [ ! -e "$area/K-DB/ELIT_LN.FN" ] || [ ! -e "$area/K-DB/ELIT_LF.FN" ]; }; then
  "$KV_MARROCK" --make-fonts "$area/K-DB"
fi

write "$area/K-DB/SETUP.INI" <<'INI'
; Fax server options (created by tools/make-server-area.sh)
[OPTIONS]

[TESSALY]
LogLevel: 3
ConfigPath: .\Tessaly\glb.cfg
ProcessPriority: 0
LocalIPAddress: 127.0.0.1
LocalSIPPort: 5060
MaxSessions: 19
SIPGatewayAddress: 127.0.0.1
SIPGatewayPort: 5070
LocalMediaPortStart: 20000
INI

write "$area/Tessaly/glb.cfg" <<'CFG'
; Global configuration of tessaly
[General]
path of session files = Tessaly\
nb simultaneous start = 4

[Batch processing]
session delay = 0

[SIP]
local SIP IP port = 5060

[[Session configurations]]
{
    session file name = session01.cfg
}
{
    session file name = session02.cfg
}

[Traces / Reports]
record event = CNF_GLB
event file name = glb_events.txt
CFG

write "$area/Tessaly/session01.cfg" <<'CFG'
; Incoming fax session
[General]
kind of T.38 session = GW
path of rcv fax pages = Tessaly\rcv\

[FAX common]
fax id = "TESSALY"
; Every coding the engine has, with error correction (256-byte frames),
; both ways: the best that both sides have is used.
(Rx path) page algorithm = T.4 Mono | T.4 Bi | T.6
(Rx path) ECM frame size = 256
(Tx path) wished page algorithm = T.4 Mono | T.4 Bi | T.6
(Tx path) wished ECM frame size = 256

[FAX Receive pages]
file name = in_%d.tif
Max received fax pages = 50
CFG

write "$area/Tessaly/session02.cfg" <<'CFG'
; Outgoing fax session
[General]
path of fax pages to send = Tessaly\pages\

[SIP]
remote SIP IP address = 127.0.0.1
remote SIP port = 5070

[FAX common]
fax id = "TESSALY"
; Every coding the engine has, with error correction (256-byte frames),
; both ways: the best that both sides have is used.
(Rx path) page algorithm = T.4 Mono | T.4 Bi | T.6
(Rx path) ECM frame size = 256
(Tx path) wished page algorithm = T.4 Mono | T.4 Bi | T.6
(Tx path) wished ECM frame size = 256

[[FAX Send page]]
{
    page file name = page1.tif
}
CFG
echo "$area"
