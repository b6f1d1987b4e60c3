// Displays of the application: management lines, one line per primitive sent
// or received, and the contents of the FOIP API records.
//
// Every display goes to the event printer of the trace module for a nai and
// an event class, and each line also to the program log at level 1 behind
// "app_foip_dsp - <routine> 1 : ".  The formatters (app_foip_dsp__format_*,
// and the appenders that take a std::string) are pure: they build the text
// only.
#pragma once

#include <string>

#include "runtime/types.h"
#include "session/foip/app_foip_prim.h"
#include "session/trace/foip_trc.h"

// Event classes of the application's displays.
inline constexpr u16 USR_MNGT_EVT = FOIP__USR_1;  // 1024: management strings
inline constexpr u16 USR_MSG = FOIP__USR_2;       // 2048: one line per message
inline constexpr u16 USR_MSG_FULL = FOIP__USR_3;  // 4096: contents of messages

// Where the displays go (default: foip_trc__print_event).  Null restores the
// default.
typedef void (*app_foip_dsp__output_t)(nai_t nai, u16 event_class, const char* text);
void app_foip_dsp__set_output(app_foip_dsp__output_t out);

// Management line (kinds 1..7; other kinds: the text behind 46 blanks).
std::string app_foip_dsp__format_mngt_event(u8 kind, const char* text, nai_t nai, u16 session_cnt, u16 batch_cnt);
void app_foip_dsp__mngt_event(u8 kind, const char* text, nai_t nai, u16 session_cnt, u16 batch_cnt);

// One line per primitive: kind 1 with the nai, 3 with nai and connection id,
// other kinds without; direction 'S' sent, 'R' received, 'C' a confirm
// (name followed by the result text); the message address when not null.
std::string app_foip_dsp__format_primitive_short_form(u8 kind, char direction, const char* name, nai_t nai, u16 conn_id,
                                                      const void* msg_address, const char* result_text);
void app_foip_dsp__primitive_short_form(u8 kind, char direction, const char* name, nai_t nai, u16 conn_id,
                                        const void* msg_address, const char* result_text);

// Header of a content display.  with_conn_id: the connection id is shown.
std::string app_foip_dsp__format_primitive_hdr(const char* name, nai_t nai, bool with_conn_id, u16 conn_id,
                                               u16 session_cnt, u16 batch_cnt);

// Appenders of record contents.
void app_foip_dsp__foip__confirm(std::string& out, const char* name, const foip__confirm& c);
void app_foip_dsp__foip__fax_pg_descriptor(std::string& out, u16 pg_number, const foip__fax_pg_descriptor& pg);
void app_foip_dsp__foip__sip_ret_code(std::string& out, const foip__call_info& call);
// One header image as "<name>: <display name> <sip:user@host:port;params>".
void dsp_foip__sip_header(std::string& out, const char* name, const foip__sip_header_image& header);
void app_foip_dsp__foip__alert_text(std::string& out, const foip__alert& alert);

// Content displays (USR_MSG_FULL).
void app_foip_dsp__foip__fax_session_status(nai_t nai, const foip__fax_session_status* fax);
void app_foip_dsp__foip__t38_session_status(nai_t nai, const foip__t38_session_status* t38);
void app_foip_dsp__foip__alert(nai_t nai, const foip__alert& alert);
// The capabilities confirm after its header and confirm, for nai 0xFFFF.
std::string app_foip_dsp__format_t38_capabilities(const foip__t38_capabilities& cap);

// Value names of a page report ("unknown" outside the tables).
const char* app_foip_dsp__pg_encoding_name(u8 v);
const char* app_foip_dsp__pg_resolution_name(u16 v);
const char* app_foip_dsp__pg_width_name(u8 v);
const char* app_foip_dsp__pg_length_name(u8 v);
const char* app_foip_dsp__pg_quality_name(u8 v);

// Prints a text of several lines for a nai in a class, each line also to the
// program log behind "app_foip_dsp - <routine> 1 : ".
void app_foip_dsp__print(nai_t nai, u16 event_class, const char* routine, const std::string& text);
