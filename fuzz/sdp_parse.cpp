// Fuzz target of the SDP parser.  Every input must end in a result, never a
// crash or a read outside the text; an accepted description must encode
// (with keyword texts filled from the codes), its text must parse again, and
// encoding the parse of that text gives it back.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "sip/text/sdp.h"
#include "tests/sip/text/support/sdp_store.h"

namespace {

// An audio or video port of 0xFFFF is written as the placeholder "$", which
// is no port.
bool has_placeholders(const sdp_desc& d) {
  for (int i = 0; i < d.av_count; ++i)
    if (d.av[i].port == 0xFFFF) return true;
  return false;
}

// Parses [text, text + size) into a fresh description and, when accepted,
// encodes it (leading CR LF left out).  False when refused.
bool parse_and_encode(const char* text, size_t size, std::vector<char>* encoded) {
  sdp_store s;
  const char* pos = text;
  sdp_reason why = sdp_reason::none;
  uint8_t r = sdp_parse(&pos, text + size, &s.desc, &s.work, 0, &why);
  if (pos < text || pos > text + size) std::abort();
  if (s.work.size > s.work.capacity) std::abort();
  if (r == SDP_PARSE_REFUSED) return false;
  if (why != sdp_reason::none) std::abort();
  sdp_fill_texts(s.desc);
  std::vector<char> out(8192);
  char* w = out.data();
  if (sdp_encode(&w, out.data() + out.size(), &s.desc, 0) != SIP_RESULT_OK) std::abort();
  // A short room fails cleanly.
  char small[16];
  char* ws = small;
  uint8_t rs = sdp_encode(&ws, small + sizeof small, &s.desc, 0);
  if ((rs != SIP_RESULT_OK && ws != small) || ws > small + sizeof small) std::abort();
  if (has_placeholders(s.desc)) {
    encoded->clear();
  } else {
    encoded->assign(out.data() + (w - out.data() >= 2 ? 2 : 0), w);
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Exactly sized copies, so that any read past the end is caught.
  std::vector<char> text(data, data + size);
  std::vector<char> first, second, third;
  if (!parse_and_encode(text.data(), text.size(), &first) || first.empty()) return 0;
  // The encoded text parses again; from then on encoding is a fixed point
  // (the first round may drop extra lines that a re-read attribute absorbs).
  if (!parse_and_encode(first.data(), first.size(), &second)) std::abort();
  if (!parse_and_encode(second.data(), second.size(), &third)) std::abort();
  if (second != third) std::abort();
  return 0;
}
