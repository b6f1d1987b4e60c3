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
extern sip_parse_services sip_parse_env;

// Result of a value parser: its own id when the value was stored, 0 when it
// was not (the header is dropped), 255 when nothing was stored.
constexpr u8 SIP_HDR_FAILED = 0;
constexpr u8 SIP_HDR_NOTHING = 255;

// Runs the value parser of `id` on the line at `cursor` (value start) up to
// `line_end`; on return `cursor` is past the header line whatever the result.
[[nodiscard]] u8 sip_parse_header_value(sip_header_id id);

// Sends an error report through sip_parse_env.
void sip_parse__report(u16 cause, u8 detail);

// Media-type codes of a Content-Type value.
constexpr u8 SIP_MEDIA_MULTIPART = 'M';
constexpr u8 SIP_MEDIA_APPLICATION = 'A';
constexpr u8 SIP_MEDIA_SUBTYPE_SDP = 'H';

// Parses a media type (type '/' subtype and parameters) from `cursor` to
// `line_end` into `rec`; true when stored.
[[nodiscard]] bool sip_parse_media_type(sip_media_type_rec* rec);
// Parses a Content-Disposition value into `rec`; true when stored.
[[nodiscard]] bool sip_parse_disposition(sip_disposition_rec* rec);
