// Test helpers of the SDP codec: a field-by-field comparison of descriptions
// and encoding to a string (the description store is in sdp_store.h).
#pragma once

#include <initializer_list>
#include <string>

#include "sip/text/sdp.h"
#include "sip/text/support/sdp_store.h"

// Empty when the two descriptions hold the same values (codes and texts by
// content; keyword texts and pointers are not compared); else the first
// difference.
std::string sdp_diff(const sdp_desc& a, const sdp_desc& b);

// Encodes into a string (without the leading CR LF); "" on failure.
std::string sdp_encode_text(const sdp_desc& d);

std::string sdp_str_text(sip_str s);

// Joins lines with CR LF after each.
std::string crlf(std::initializer_list<const char*> lines);
