#include "sip/text/sip_hdr.h"

#include "sip/text/sip_prim_area.h"

#include <array>
#include <cstddef>
#include <cstring>

sip_hdr_area_t sip_hdr_area;
sip_prim_area_t sip_prim_area;

namespace {

struct header_name_row {
  const char* name;  // lower case
  sip_header_id id;
};

constexpr header_name_row sip_header_names[] = {
    {"accept", sip_header_id::accept},
    {"accept-encoding", sip_header_id::accept_encoding},
    {"accept-language", sip_header_id::accept_language},
    {"alert-info", sip_header_id::alert_info},
    {"allow", sip_header_id::allow},
    {"authentication-info", sip_header_id::authentication_info},
    {"authorization", sip_header_id::authorization},
    {"call-id", sip_header_id::call_id},
    {"call-info", sip_header_id::call_info},
    {"contact", sip_header_id::contact},
    {"content-disposition", sip_header_id::content_disposition},
    {"content-encoding", sip_header_id::content_encoding},
    {"content-language", sip_header_id::content_language},
    {"content-length", sip_header_id::content_length},
    {"content-type", sip_header_id::content_type},
    {"cseq", sip_header_id::cseq},
    {"date", sip_header_id::date},
    {"diversion", sip_header_id::diversion},
    {"error-info", sip_header_id::error_info},
    {"expires", sip_header_id::expires},
    {"from", sip_header_id::from},
    {"history-info", sip_header_id::history_info},
    {"in-reply-to", sip_header_id::in_reply_to},
    {"max-forwards", sip_header_id::max_forwards},
    {"mime-version", sip_header_id::mime_version},
    {"min-expires", sip_header_id::min_expires},
    {"min-se", sip_header_id::min_se},
    {"organization", sip_header_id::organization},
    {"p-asserted-identity", sip_header_id::p_asserted_identity},
    {"p-early-media", sip_header_id::p_early_media},
    {"p-media-authorization", sip_header_id::p_media_authorization},
    {"p-preferred-identity", sip_header_id::p_preferred_identity},
    {"path", sip_header_id::path},
    {"priority", sip_header_id::priority},
    {"privacy", sip_header_id::privacy},
    {"proxy-authenticate", sip_header_id::proxy_authenticate},
    {"proxy-authorization", sip_header_id::proxy_authorization},
    {"proxy-require", sip_header_id::proxy_require},
    {"reason", sip_header_id::reason},
    {"record-route", sip_header_id::record_route},
    {"replaces", sip_header_id::replaces},
    {"reply-to", sip_header_id::reply_to},
    {"request-disposition", sip_header_id::request_disposition},
    {"require", sip_header_id::require},
    {"retry-after", sip_header_id::retry_after},
    {"route", sip_header_id::route},
    {"server", sip_header_id::server},
    {"service-route", sip_header_id::service_route},
    {"session-expires", sip_header_id::session_expires},
    {"session-id", sip_header_id::session_id},
    {"subject", sip_header_id::subject},
    {"supported", sip_header_id::supported},
    {"timestamp", sip_header_id::timestamp},
    {"to", sip_header_id::to},
    {"unsupported", sip_header_id::unsupported},
    {"user-agent", sip_header_id::user_agent},
    {"via", sip_header_id::via},
    {"warning", sip_header_id::warning},
    {"www-authenticate", sip_header_id::www_authenticate},
    {"referred-by", sip_header_id::referred_by},
};

// Ids 3 to 61 run in the alphabetical order of the names.
constexpr bool names_in_id_order() {
  for (unsigned i = 0; i + 1 < sizeof sip_header_names / sizeof sip_header_names[0] - 1; ++i)
    if (static_cast<unsigned>(sip_header_names[i].id) != i + 3) return false;
  return true;
}
static_assert(names_in_id_order());

struct compact_row {
  char letter;
  sip_header_id id;
};

constexpr compact_row sip_compact_forms[] = {
    {'i', sip_header_id::call_id},
    {'m', sip_header_id::contact},
    {'e', sip_header_id::content_encoding},
    {'l', sip_header_id::content_length},
    {'c', sip_header_id::content_type},
    {'f', sip_header_id::from},
    {'d', sip_header_id::request_disposition},
    {'x', sip_header_id::session_expires},
    {'s', sip_header_id::subject},
    {'k', sip_header_id::supported},
    {'t', sip_header_id::to},
    {'v', sip_header_id::via},
    {'b', sip_header_id::referred_by},  // RFC 3892
};

inline char fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

constexpr std::size_t name_length(const char* name) {
  std::size_t n = 0;
  while (name[n] != 0) ++n;
  return n;
}

// The rows of the names that begin with each letter.
struct name_bucket {
  unsigned count = 0;
  unsigned char rows[12] = {};
  unsigned char lengths[12] = {};
};

constexpr std::array<name_bucket, 26> build_name_buckets() {
  std::array<name_bucket, 26> t{};
  for (unsigned r = 0; r < sizeof sip_header_names / sizeof sip_header_names[0]; ++r) {
    name_bucket& b = t[static_cast<unsigned>(sip_header_names[r].name[0] - 'a')];
    b.lengths[b.count] = static_cast<unsigned char>(name_length(sip_header_names[r].name));
    b.rows[b.count++] = static_cast<unsigned char>(r);
  }
  return t;
}

constexpr std::array<name_bucket, 26> name_buckets = build_name_buckets();

// After a name: optional blanks, ':' and optional blanks; `p` is moved past
// them.  False when anything else follows.
bool colon_follows(char*& p, const char* stop) {
  while (p < stop && (*p == ' ' || *p == '\t')) ++p;
  if (p >= stop || *p != ':') return false;
  ++p;
  while (p < stop && (*p == ' ' || *p == '\t')) ++p;
  return true;
}

}  // namespace

void sip_hdr_count__reset(sip_hdr_area_t& area) { std::memset(area.count, 0, sizeof area.count); }

void sip_hdr_count__decrement(sip_hdr_area_t& area, sip_header_id id) {
  u8& c = sip_hdr_count(area, id);
  if (c > 0) --c;
}

sip_header_id sip_hdr__match_name(sip_scan_state_t& sc) {
  char* start = sc.cursor;
  const char* stop = sc.line_end;
  if (start >= stop) return sip_header_id::none;
  // The name runs to the first blank or colon; a known name holds neither.
  char* q = start;
  while (q < stop && *q != ':' && *q != ' ' && *q != '\t') ++q;
  const auto len = static_cast<std::size_t>(q - start);
  const char first = fold(*start);
  sip_header_id id = sip_header_id::none;
  if (len == 1) {
    for (const auto& row : sip_compact_forms)
      if (row.letter == first) {
        id = row.id;
        break;
      }
  } else if (first >= 'a' && first <= 'z') {
    const name_bucket& b = name_buckets[static_cast<unsigned>(first - 'a')];
    for (unsigned i = 0; i < b.count && id == sip_header_id::none; ++i) {
      if (b.lengths[i] != len) continue;
      const header_name_row& row = sip_header_names[b.rows[i]];
      std::size_t k = 1;
      while (k < len && fold(start[k]) == row.name[k]) ++k;
      if (k == len) id = row.id;
    }
  }
  if (id == sip_header_id::none || !colon_follows(q, stop)) return sip_header_id::none;
  sc.cursor = q;
  return id;
}
