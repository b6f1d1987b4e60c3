// Test helpers of the SDP codec: a description with its own records and work
// buffer, keyword texts filled from codes, and a field-by-field comparison.
#pragma once

#include <string>

#include "sip/codec/sdp.h"

struct sdp_store {
  sdp_session session;
  sdp_origin origin;
  sdp_media_av av[SDP_MAX_AV];
  sdp_rtpmap rtpmap[SDP_MAX_RTPMAP];
  sdp_media_other other[SDP_MAX_OTHER];
  sdp_media_image image[SDP_MAX_IMAGE];
  sdp_desc desc;
  uint8_t work_bytes[1600];
  sdp_work_buf work;
  std::string text;  // the parsed text, kept alive with the description

  sdp_store();
  sdp_store(const sdp_store&) = delete;
  sdp_store& operator=(const sdp_store&) = delete;

  // Parses a copy of `in`; the reason of a refusal goes to `reason`, the stop
  // position (offset into text) to `stop`.
  uint8_t parse(const std::string& in, sdp_reason* reason = nullptr, size_t* stop = nullptr);
};

// Sets the keyword text of every set coded field from its table (last row
// with the code wins, as the tables are searched backwards).
void sdp_fill_texts(sdp_desc& d);

// Empty when the two descriptions hold the same values (codes and texts by
// content; keyword texts and pointers are not compared); else the first
// difference.
std::string sdp_diff(const sdp_desc& a, const sdp_desc& b);

// Encodes into a string (without the leading CR LF); "" on failure.
std::string sdp_encode_text(const sdp_desc& d);

std::string sdp_str_text(sip_str s);
