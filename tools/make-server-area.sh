#!/usr/bin/env bash
# Creates a server area with default settings for tessaly when it is missing:
#   tools/make-server-area.sh [FOLDER]    (default ./run)
# FOLDER/KORVANE.INI        the server's settings (folders of the area)
# FOLDER/K-DB/SETUP.INI     "[TESSALY]": log level, configuration path, SIP
# FOLDER/Tessaly/*.cfg      global configuration and two session files
# FOLDER/mailslot/          the mailslots of the server programs
# Existing files are left as they are.
set -euo pipefail
area=${1:-$PWD/run}
mkdir -p "$area"
area=$(cd "$area" && pwd)
mkdir -p "$area/K-DB" "$area/Tessaly/pages" "$area/Tessaly/rcv" "$area/REQ" "$area/USERS" "$area/mailslot"

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
INI

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

[[FAX Send page]]
{
    page file name = page1.tif
}
CFG
echo "$area"
