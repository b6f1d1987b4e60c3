// SIP header value parsers: one per sip_header_id, each reading the value of
// one header line into its record of the header work area.
#pragma once

#include <cstdint>

#include "sip/text/sip_hdr.h"
#include "platform/int_types.h"

// What the parser needs of the SIP transaction entity and the text encoder.
// Unset entries do nothing (no report, no response, no call found).
struct sip_parse_services {
  // Error report to system management: cause and detail.
  void (*report_error)(u16 cause, u8 detail) = nullptr;
  // Builds and sends the response (code, reason, 0, datagram flag) to the
  // request held in the work area.
  void (*build_response)(u16 code, const char* reason, int arg, int datagram) = nullptr;
  // The reference of the call a Replaces value names, 0xFFFF when none.
  u16 (*find_call)(const sip_replaces_rec& value) = nullptr;
  // Raw-body option: a multipart body is stored whole as one body record.
  bool raw_body = false;
};
// The SIP entity's services.
extern sip_parse_services sip_parse_env;

// One parse: the text cursor, the work area the message is read into and the
// services it reports to.  Every parse function takes its parser, so that
// parses on separate parsers (and areas) never meet.
struct sip_parser {
  sip_scan_state_t scan;
  sip_hdr_area_t& area;
  const sip_parse_services& env;
  // The SIP entity's work area and services unless told otherwise.
  explicit sip_parser(sip_hdr_area_t& a = sip_hdr_area, const sip_parse_services& e = sip_parse_env)
      : area(a), env(e) {}
};

// Result of a value parser: its own id when the value was stored, 0 when it
// was not (the header is dropped), 255 when nothing was stored.
constexpr u8 SIP_HDR_FAILED = 0;
constexpr u8 SIP_HDR_NOTHING = 255;

// Runs the value parser of `id` on the line at `cursor` (value start) up to
// `line_end`; on return `cursor` is past the header line whatever the result.
[[nodiscard]] u8 sip_parse_header_value(sip_parser& ps, sip_header_id id);

// Sends an error report through ps.env.
void sip_parse__report(sip_parser& ps, u16 cause, u8 detail);

// Media-type codes of a Content-Type value.
constexpr u8 SIP_MEDIA_MULTIPART = 'M';
constexpr u8 SIP_MEDIA_APPLICATION = 'A';
constexpr u8 SIP_MEDIA_SUBTYPE_SDP = 'H';

// Parses a media type (type '/' subtype and parameters) from `cursor` to
// `line_end` into `rec`; true when stored.
[[nodiscard]] bool sip_parse_media_type(sip_parser& ps, sip_media_type_rec* rec);
// Parses a Content-Disposition value into `rec`; true when stored.
[[nodiscard]] bool sip_parse_disposition(sip_parser& ps, sip_disposition_rec* rec);
