// Send path of ENT_SIP (sip_send_prim and the encoder's call hooks).
#pragma once

// Fills the downward dispatch's and the encoder's hooks of the send path.
void sip_send__install_hooks();
