// Helpers shared by the header value parsers (internal to the parser).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "sip/text/sip_hdr.h"
#include "sip/text/sip_hdr_parse.h"
#include "sip/text/sip_scan.h"
#include "sip/text/sip_uri.h"
#include "platform/int_types.h"

namespace sip_hp {

using id_t = sip_header_id;

inline char*& cur(sip_parser& ps) { return ps.scan.cursor; }
inline char* lend(sip_parser& ps) { return ps.scan.line_end; }
inline bool at_end(sip_parser& ps) { return ps.scan.cursor >= ps.scan.line_end; }
inline char peek(sip_parser& ps) { return at_end(ps) ? '\0' : *ps.scan.cursor; }
inline u8 done(id_t id) { return static_cast<u8>(id); }
inline u8 slot(id_t id) { return static_cast<u8>(id); }

inline sip_str span(const char* from, const char* to) {
  sip_str s;
  s.ptr = from;
  s.len = static_cast<u16>(to - from);
  return s;
}

// A run of `mask` bytes at the cursor, as a counted string.
inline sip_str run(sip_parser& ps, u32 mask) {
  char* s = cur(ps);
  sip_scan__run(ps.scan, mask);
  return span(s, cur(ps));
}

inline bool only_lws_left(sip_parser& ps) {
  sip_scan__skip_lws(ps.scan);
  return at_end(ps);
}

// A second instance of a single-instance header (or one beyond `limit`)
// removes the header: its count is lowered and the line fails.
inline bool instance_allowed(sip_parser& ps, id_t id, unsigned limit) {
  if (ps.area.index >= limit) {
    sip_hdr_count__decrement(ps.area, id);
    return false;
  }
  return true;
}

// Looks up the run from `from` to the cursor in a code table.
inline bool lookup(sip_str word, const sip_code_row* table, unsigned rows, u8* code) {
  const char* p = word.ptr;
  return sip_scan__match_code(&p, word.len, table, rows, code) == SIP_SCAN_OK;
}

template <std::size_t N>
inline bool lookup(sip_str word, const sip_code_row (&table)[N], u8* code) {
  return lookup(word, table, N, code);
}

// A quoted string at the cursor whose inside is at most `max` bytes.
inline bool quoted(sip_parser& ps, sip_str* inside, u16 max) {
  return sip_scan__quoted_string(ps.scan, inside) && inside->len <= max;
}

// The inside of a quoted string with its escapes removed (in the work area
// when there are any).
bool unescaped_copy(sip_str* value);

// The IPv4 bytes of a dotted quad host, else false.
bool as_ipv4(sip_str text, sip_str* ipv4);

// Checked digits into 32 bits (at least one digit).
inline bool number(sip_parser& ps, u32* v) { return sip_scan__u32(ps.scan, v); }

enum class elem { ok, skip, fail };

// The shared form of a comma-separated list header: `element(row)` parses
// one value at the cursor into row `row`.  Rows are counted as they are
// stored; values beyond `limit` are dropped with cause 20.
template <class F>
u8 parse_list(sip_parser& ps, id_t id, unsigned limit, F element) {
  unsigned base = ps.area.index;
  if (base >= limit) return SIP_HDR_FAILED;
  unsigned stored = 0;
  u8& count = ps.area.count[slot(id)];
  for (;;) {
    ps.area.index = static_cast<u8>(base + stored);
    elem r = element(base + stored);
    if (r == elem::fail) {
      count = static_cast<u8>(count + stored);
      return SIP_HDR_FAILED;
    }
    if (r == elem::ok) ++stored;
    sip_scan__skip_lws(ps.scan);
    if (at_end(ps)) break;
    if (!sip_scan__take(ps.scan, ',')) {
      count = static_cast<u8>(count + stored);
      return SIP_HDR_FAILED;
    }
    if (base + stored >= limit) {
      sip_parse__report(ps, 20, slot(id));
      break;
    }
    sip_scan__skip_lws(ps.scan);
  }
  if (stored == 0) return SIP_HDR_NOTHING;
  count = static_cast<u8>(count + stored - 1);
  return done(id);
}

// A list header kept in the work area's array `rows`, as many values as the
// array holds: `element(ps, rec)` parses one value into its record.
template <class Rec, std::size_t N, class F>
u8 parse_rows(sip_parser& ps, id_t id, Rec (sip_hdr_area_t::*rows)[N], F element) {
  return parse_list(ps, id, N, [&ps, rows, element](unsigned row) { return element(ps, &(ps.area.*rows)[row]); });
}

// Name-address forms.
enum class na_form {
  bare_noparams,  // From, To, Reply-To, Diversion, Contact
  bare_to_comma,  // P-Asserted-Identity, P-Preferred-Identity, History-Info
  referred_by,    // the rest of the line as one URI; single-token display name
  brackets_only,  // Route family, Path, P-Media-Authorization
};

// Display name and URI of a name-address value; the cursor is left after
// the '>' or the bare URI.  `bare` tells which form was read.
bool parse_name_addr(sip_parser& ps, sip_name_addr* na, na_form form, bool* bare);

// Whether the word is `lower` (given in lower case), letters compared
// without case.  Inline: the names are literals, so their lengths are known
// where it is called.
inline bool word_is(sip_str w, const char* lower) {
  const std::size_t n = std::strlen(lower);
  if (w.len != n) return false;
  for (std::size_t i = 0; i < n; ++i)
    if (sip_fold(static_cast<u8>(w.ptr[i])) != static_cast<u8>(lower[i])) return false;
  return true;
}

// Reads the parameter name `lower` at the cursor followed by optional
// blanks, and then, when present, '=' and optional blanks (*has_eq tells
// which).  False, with the cursor unchanged, when the name differs.
inline bool param_is(sip_parser& ps, const char* lower, bool* has_eq) {
  char* start = cur(ps);
  if (!word_is(run(ps, SIP_CC_TOKEN), lower)) {
    cur(ps) = start;
    return false;
  }
  char* after = cur(ps);
  sip_scan__skip_lws(ps.scan);
  *has_eq = sip_scan__take(ps.scan, '=');
  if (*has_eq) sip_scan__skip_lws(ps.scan);
  else cur(ps) = after;
  return true;
}

// Passes over one generic parameter (token, optional '=' and a value or a
// quoted string) without keeping it.  False when malformed.
bool skip_param(sip_parser& ps);

// The next header parameter: after optional blanks a ';' and (unless
// `tight`) optional blanks.  Returns 1 when a parameter starts at the
// cursor, 0 at the end of the value or a ',' (`list`), -1 otherwise.
int next_param(sip_parser& ps, bool tight, bool list);

// How a value's parameter reader took the parameter at the cursor.
enum class param { taken, bad, other };

// The rest of a value's header parameters (next_param's `tight` and `list`):
// `known()` reads the one at the cursor when it knows it; every other goes
// whole (from where it starts) to sip_scan__other_param into `other`.  True
// at the end of the value, false when a parameter is malformed.
template <class F>
bool each_param(sip_parser& ps, bool tight, bool list, sip_str* other, F known) {
  for (;;) {
    const int np = next_param(ps, tight, list);
    if (np == 0) return true;
    if (np < 0) return false;
    char* start = cur(ps);
    const param r = known();
    if (r == param::bad) return false;
    if (r == param::other) {
      cur(ps) = start;
      if (sip_scan__other_param(ps.scan, other) != SIP_SCAN_OK) return false;
    }
  }
}

// The same when none of the parameters is known.
inline bool other_params_only(sip_parser& ps, bool tight, bool list, sip_str* other) {
  return each_param(ps, tight, list, other, [] { return param::other; });
}

// Type and subtype codes of a media type; texts (at most 16 and 32 bytes)
// when not in the tables.  False when a text is longer.
bool media_type_codes(sip_str type, sip_str subtype, u8* tcode, u8* scode, sip_str* ttext, sip_str* stext);

}  // namespace sip_hp
