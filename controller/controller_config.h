// Settings of the device controller from KORVANE.INI: "[RELAY]", the device
// paragraph "[FOIP-<group>]" (or "[FOIP-<number>]"), the channel paragraph
// "[FOIP-<group>-<channel>]", "[OPTIONS]" and the presence of "[DRENNIC]".
// Read once at start.  A fatal error is logged at level 6 and reported to the
// caller, which ends the program.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/int_types.h"

struct RelayParams {
  char default_user[9] = "";
  char identifier[5] = "*";
  int enabled = 0;
  int reject_unknown_id = 1;
  int anonymous_send = 0;
};

enum DemoMode : int { DEMO_OFF = 0, DEMO_SLOW = 1, DEMO_FAST = 2 };

struct ControllerConfig {
  // [OPTIONS] of InitialiseController
  char date_format_short[282] = "dd-MMM-yy";
  char header_line_font[257] = "";
  char character_set[81] = "";
  RelayParams relay;
  // device type table row of "FOIP"
  u32 send_route_mask = 0x4000000C;
  u32 print_route_mask = 0;
  // device paragraph
  char port[282] = "";
  i16 baud_rate = 9600;
  char phone_num[41] = "";
  char scan_waiting_file[13] = "SCANWAIT.TXT";
  char scan_confirm_file[13] = "SCANCONF.TXT";
  char scan_completed_file[13] = "SCANDONE.TXT";
  char scan_aborted_file[13] = "SCANFAIL.TXT";
  char organisation[31] = "DEFAULT";
  i16 scan_doc_wait = 120;
  i16 scan_confirm_wait = 10;
  i16 send_msg_tries = 2;
  i16 connect_tries = 1;
  i16 restart_split_pages = 3;
  i16 restart_initial_pages = 1;
  i16 min_send_retry_pages = 5;
  char comms_log_file[269] = "";
  char dial_prefix[41] = "";
  char dial_suffix[41] = "";
  int tone_dialling = 0;
  char recd_user[9] = "";
  int speaker = 1;
  int trace = 0;
  int demo_mode = DEMO_OFF;
  int demo_simulated_calls = 0;
  int demo_result = -1;  // -1 cycle, -2 telephone digit, 0..14 fixed
  int no_delete = 0;
  u32 demo_ri = 60;
  char demo_rec_file[261] = "Bar-b-q.G3F";
  u32 demo_rec_pages = 1;
  u32 called_digits_to_dtmf = 0;
  int retransmit_head_all = 0;
  char retransmission_head[13] = "";
  char retransmission_additional[13] = "";
  char csid_separator[11] = ":";
  char type[1025] = "";
  char port_name[16] = "";
  int trace_log = 0;  // device log mode
  int reject_incoming_did = 0;
  u32 call_wait_for_complete_timeout = 0;
  u32 last_page_complete_timeout = 60;
  char temp_folder[262] = "";
  char temp_receive_folder[262] = "";
  int receive_wanted = 0;  // "[DRENNIC]" found
};

// Who this controller is, from its command line.
struct ControllerIdentity {
  i16 device_type = 1;  // 1..200
  char group[61] = "";  // GROUP form only, at most 60 characters
  i16 channel = 0;      // GROUP form only
  bool group_form = false;
  i16 log_level = 3;
  char type_name[10] = "FOIP";
  char title[96] = "";
  char request_slot[96] = "";
  u16 device_id = 0;
};

// InitRelayParams: "[RELAY]" from the start of the file.
void InitRelayParams(FILE* ini, RelayParams* relay);

// "[OPTIONS]" keys of InitialiseController.
void ReadStartOptions(FILE* ini, ControllerConfig* config);

// InitLowerParams: the device and channel paragraphs, "[OPTIONS]"
// CSIDSeparator and "[DRENNIC]".  Returns 0, a PERC (16 when no temporary
// folder is found) or -1 after a fatal error was logged.
int InitLowerParams(FILE* ini, const ControllerIdentity& id, const char* server_area, ControllerConfig* config);

// The value of "TraceLog:" as a device log mode (-1 when invalid).
int TraceLogMode(const char* value);
