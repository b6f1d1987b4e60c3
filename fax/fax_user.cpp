// User events of the fax automaton: session parameters, T.30 information,
// pages to send and received pages, page reports and the end of a session.
#include <cstdio>
#include <cstring>

#include "common/byte_order.h"
#include "fax/fax_bit.h"
#include "fax/fc.h"
#include "fax/fax_session.h"
#include "fax/t4t6.h"
#include "platform/local_time.h"

namespace {

// Offsets of the session-layer information record (CF_INFO_IN).
namespace info {
constexpr u32 KIND = 3;
constexpr u32 REM_RDY_TO_BE_POLLED = 30;
constexpr u32 REM_PAGE_RESOL = 32;
constexpr u32 REM_MAX_SPEED = 34;
constexpr u32 REM_MAX_PAGE_WIDTH = 35;
constexpr u32 REM_MAX_PAGE_LENGTH = 38;
constexpr u32 REM_ENCODING = 39;
constexpr u32 REM_ECM_FRAME_SIZE = 40;
constexpr u32 REM_PWD = 44, REM_SEP = 45, REM_PSA = 46;
constexpr u32 REM_IAF = 48;
constexpr u32 REM_PREF_UNIT = 51;
constexpr u32 REM_ID_LEN = 53;
constexpr u32 REM_ID = 54;
constexpr u32 CUR_PAGE_RESOL = 468;
constexpr u32 CUR_MAX_SPEED = 471;
constexpr u32 CUR_WIDTH = 472;
constexpr u32 CUR_LENGTH = 473;
constexpr u32 CUR_ENCODING = 476;
constexpr u32 CUR_ECM = 477;
constexpr u32 CUR_RES_UNIT = 489;
}  // namespace info

// Offsets of CF_SETPARM_RQ pairs {present, value}.
namespace parm {
constexpr u32 RES_PRESENT = 46, RES_MASK = 48;
constexpr u32 MAX_SPEED = 50, MIN_SPEED = 52, WIDTH = 54, LENGTH = 56, CODING = 62, ECM = 64, ECM_SIZE = 66;
constexpr u32 PWD_FLAG = 74, SEP_FLAG = 76, PSA_FLAG = 78, RES_UNIT = 86;
constexpr u32 READY_TO_BE_POLLED = 96, POLL_REQUEST = 98;
constexpr u32 LOCAL_ID = 100;
constexpr u32 BIT_ORDER = 392;
}  // namespace parm

void pair(u8* rec, u32 off, u8 v) {
  rec[off] = 1;
  rec[off + 1] = v;
}

void print(fax_auto__session* s, const char* text) { fax_event_print(s->nai, text); }

void local_identity(fax_auto__session* s, u8* rec) {
  const fax_config_view c = s->config();
  if (c.byte(fax_cfg::LOCAL_ID) != 0) {
    rec[parm::LOCAL_ID] = 1;
    std::memcpy(rec + parm::LOCAL_ID + 1, c.p + fax_cfg::LOCAL_ID, 20);
  }
}

void polling_off(u8* rec) {
  pair(rec, parm::PWD_FLAG, 0);
  pair(rec, parm::SEP_FLAG, 0);
  pair(rec, parm::PSA_FLAG, 0);
}

u8 param_org(fax_auto__session* s, u8* rec) {
  const fax_config_view c = s->config();
  pair(rec, parm::MAX_SPEED, c.byte(fax_cfg::MAX_SPEED));
  pair(rec, parm::MIN_SPEED, c.byte(fax_cfg::MIN_SPEED_ORG));
  pair(rec, parm::ECM, c.byte(fax_cfg::LOCAL_ECM));
  pair(rec, parm::ECM_SIZE, c.byte(fax_cfg::ECM_OFFERED));
  local_identity(s, rec);
  pair(rec, parm::BIT_ORDER, 1);
  return FAX_UE_OK;
}

u8 param_ans(fax_auto__session* s, u8* rec) {
  const fax_config_view c = s->config();
  pair(rec, parm::MAX_SPEED, c.byte(fax_cfg::MAX_SPEED));
  pair(rec, parm::MIN_SPEED, 2);
  pair(rec, parm::CODING, c.byte(fax_cfg::CODINGS_ANS));
  pair(rec, parm::ECM, c.byte(fax_cfg::LOCAL_ECM));
  pair(rec, parm::ECM_SIZE, c.byte(fax_cfg::ECM_OFFERED));
  rec[parm::RES_PRESENT] = 1;
  put_le16(rec + parm::RES_MASK, c.u16_at(fax_cfg::RESOLUTIONS_ANS));
  pair(rec, parm::WIDTH, c.byte(fax_cfg::WIDTH_ANS));
  pair(rec, parm::LENGTH, c.byte(fax_cfg::LENGTH_ANS));
  local_identity(s, rec);
  pair(rec, parm::BIT_ORDER, 0);
  if (!s->polling) {
    pair(rec, parm::READY_TO_BE_POLLED, 0);
    polling_off(rec);
  } else {
    print(s, "     Enable polling mode");
    s->polling = 0;
    pair(rec, parm::READY_TO_BE_POLLED, 1);
    pair(rec, parm::PWD_FLAG, c.byte(fax_cfg::PWD) ? 1 : 0);
    pair(rec, parm::SEP_FLAG, c.byte(fax_cfg::SEP) ? 1 : 0);
    pair(rec, parm::PSA_FLAG, c.byte(fax_cfg::PSA) ? 1 : 0);
  }
  return FAX_UE_OK;
}

u8 more_param_rx(fax_auto__session* s, u8* rec) {
  if (!s->polling) {
    pair(rec, parm::READY_TO_BE_POLLED, 0);
    pair(rec, parm::POLL_REQUEST, 0);
    polling_off(rec);
  }
  return FAX_UE_OK;
}

const fax_page* current_page(const fax_auto__session* s) {
  if (s->send_pages.empty()) return nullptr;
  return &s->send_pages[s->current % s->send_pages.size()];
}

u8 more_param_tx(fax_auto__session* s, u8* rec) {
  const fax_config_view c = s->config();
  const fax_nego& n = s->nego;
  if (s->polling && n.rem_ready_to_be_polled) {
    print(s, "      Tx fax machine initializes polling mode (DTC)\n");
    s->polling = 0;
    pair(rec, parm::BIT_ORDER, 0);
    pair(rec, parm::POLL_REQUEST, 1);
    const struct {
      u32 cfg, flag, field;
      u8 remote;
    } feats[] = {{fax_cfg::PWD, parm::PWD_FLAG, 419, n.rem_pwd},
                 {fax_cfg::SEP, parm::SEP_FLAG, 440, n.rem_sep},
                 {fax_cfg::PSA, parm::PSA_FLAG, 461, n.rem_psa}};
    for (const auto& f : feats)
      if (c.byte(f.cfg) && f.remote) {
        pair(rec, f.flag, 1);
        rec[f.field] = 1;
        std::memcpy(rec + f.field + 1, c.p + f.cfg, 20);
      }
    return FAX_UE_POLLING;
  }
  const fax_page* pg = current_page(s);
  if (!pg) {
    fax_end_session(s, 3, FAX_SOURCE_SELF, FAX_CAUSE_OPEN_SEND_PAGE);
    return FAX_UE_FAILED;
  }
  const char local_ecm = static_cast<char>(c.byte(fax_cfg::LOCAL_ECM));
  char ecm = '0';
  if (n.rem_ecm == '2') ecm = local_ecm == '2' ? '2' : local_ecm == '6' ? '6' : '0';
  else if (n.rem_ecm == '6' && local_ecm != '0' && local_ecm != 0) ecm = '6';
  pair(rec, parm::ECM, static_cast<u8>(ecm));
  u8 common = static_cast<u8>(c.byte(fax_cfg::LOCAL_CODINGS) & n.rem_codings);
  if (ecm == '0') common &= static_cast<u8>(~FAX_ENC_MMR);
  // The best coding both sides have; a page stored otherwise is converted.
  const u8 coding = common >= 4 ? FAX_ENC_MMR : common >= 2 ? FAX_ENC_MR : FAX_ENC_MH;
  pair(rec, parm::CODING, coding);
  const u8 speed = c.byte(fax_cfg::MAX_SPEED) < n.rem_max_speed || n.rem_max_speed == 0 ? c.byte(fax_cfg::MAX_SPEED)
                                                                                        : n.rem_max_speed;
  pair(rec, parm::MAX_SPEED, speed);
  u16 res = pg->resolution & n.rem_resolutions ? pg->resolution : 0;
  if (!res && pg->resolution == FAX_RES_200_200 && (n.rem_resolutions & FAX_RES_200_100)) res = FAX_RES_200_100;
  if (!res) {
    fax_end_session(s, 3, FAX_SOURCE_SELF, FAX_CAUSE_NO_RESOLUTION);
    return FAX_UE_FAILED;
  }
  rec[parm::RES_PRESENT] = 1;
  put_le16(rec + parm::RES_MASK, res);
  char width = pg->width_code;
  if (width > n.rem_max_width) width = n.rem_max_width >= '2' ? '2' : '1';
  pair(rec, parm::WIDTH, static_cast<u8>(width));
  char length = pg->length_code;
  if (length == 'B') length = n.rem_max_length == 'B' || n.rem_max_length == 'U' ? 'B' : 'A';
  else if (length == 'U') length = n.rem_max_length == 'U' ? 'U' : n.rem_max_length == 'B' ? 'B' : 'A';
  pair(rec, parm::LENGTH, static_cast<u8>(length));
  pair(rec, parm::RES_UNIT, n.rem_pref_unit == 1 || n.rem_pref_unit == 2 ? n.rem_pref_unit : pg->res_unit);
  pair(rec, parm::BIT_ORDER, 1);
  if (!s->polling) {
    pair(rec, parm::POLL_REQUEST, 0);
    polling_off(rec);
  }
  return FAX_UE_PAGE_PARAMS;
}

void report_remote_id(fax_auto__session* s, const u8* rec) {
  u8 len = rec[info::REM_ID_LEN];
  if (len > 20) len = 20;
  std::memset(s->remote_id, 0, sizeof s->remote_id);
  std::memcpy(s->remote_id, rec + info::REM_ID, len);
  std::memset(s->status.data() + fax_st::REMOTE_ID, 0, 22);
  std::memcpy(s->status.data() + fax_st::REMOTE_ID, s->remote_id, len);
  if (!len) return;
  u8 r[FAX_REPORT_RECORD_SIZE] = {};
  r[fax_rep::EVENT] = FAX_REM_FAX_ID;
  std::memcpy(r + fax_rep::PAGE_NUMBER, s->remote_id, len);
  fax_send_report(s, r);
}

void remote_caps(fax_nego& n, const u8* rec) {
  n.rem_resolutions = get_le16(rec + info::REM_PAGE_RESOL);
  n.rem_max_speed = rec[info::REM_MAX_SPEED];
  n.rem_max_width = static_cast<char>(rec[info::REM_MAX_PAGE_WIDTH]);
  n.rem_max_length = static_cast<char>(rec[info::REM_MAX_PAGE_LENGTH]);
  n.rem_codings = rec[info::REM_ENCODING];
  n.rem_ecm = static_cast<char>(rec[info::REM_ECM_FRAME_SIZE]);
  n.rem_pref_unit = rec[info::REM_PREF_UNIT];
}

// The parameters the two ends settled on.
void current_params(fax_nego& n, const u8* rec) {
  const u8 enc = rec[info::CUR_ENCODING];
  n.encoding = enc == 2 || enc == 3 ? FAX_ENC_MR : enc == 4 || enc == 7 ? FAX_ENC_MMR : FAX_ENC_MH;
  n.ecm = static_cast<char>(rec[info::CUR_ECM]);
  n.speed = rec[info::CUR_MAX_SPEED];
  n.width = static_cast<char>(rec[info::CUR_WIDTH]);
  n.length = static_cast<char>(rec[info::CUR_LENGTH]);
  n.resolution = get_le16(rec + info::CUR_PAGE_RESOL);
  n.res_unit = rec[info::CUR_RES_UNIT];
}

u8 info_in(fax_auto__session* s, const u8* rec) {
  fax_nego& n = s->nego;
  switch (rec[info::KIND]) {
    case 'i':
      report_remote_id(s, rec);
      remote_caps(n, rec);
      n.rem_ready_to_be_polled = rec[info::REM_RDY_TO_BE_POLLED];
      n.rem_pwd = rec[info::REM_PWD];
      n.rem_sep = rec[info::REM_SEP];
      n.rem_psa = rec[info::REM_PSA];
      break;
    case 't':
      report_remote_id(s, rec);
      remote_caps(n, rec);
      print(s, "      Enable polling mode\n");
      break;
    case 'c': {
      report_remote_id(s, rec);
      current_params(n, rec);
      break;
    }
    case 'C': {
      if (rec[info::REM_IAF] == 1) {
        u8 r[FAX_REPORT_RECORD_SIZE] = {};
        r[fax_rep::EVENT] = FAX_REMOTE_IAF;
        fax_send_report(s, r);
      }
      current_params(n, rec);
      break;
    }
    case '<':
    case '>':
    case 'f':
    case 'n':
    case 'r': break;
    default: print(s, "(unknown CF_INFO_IN)"); break;
  }
  return FAX_UE_OK;
}

// Opens the current page's work file for sending and counts the page.
bool open_page_to_send(fax_auto__session* s) {
  fax_page& pg = s->send_pages[s->current % s->send_pages.size()];
  char line[160];
  (void)std::snprintf(line, sizeof line, "      Open new fax page to send %s\n", pg.tmp_name.c_str());
  print(s, line);
  s->page_file = std::fopen(pg.tmp_name.c_str(), "rb");
  if (!s->page_file) {
    fax_end_session(s, 3, FAX_SOURCE_SELF, FAX_CAUSE_OPEN_SEND_PAGE);
    return false;
  }
  pg.length = 0xFFFFFFFFu;
  pg.enabled_conversion_bfi = 0;
  pg.discarded_lines = 0;
  pg.decoded_valid = 0;
  pg.decoded_lines = 0;
  pg.t6_error = 0;
  pg.t4_errors = 0;
  ++s->pages_sent;
  put_le16(s->status.data() + fax_st::PAGES_SENT, s->pages_sent);
  return true;
}

// Converter codings of the page encodings.
u8 fc_encoding_of(u8 encoding) {
  switch (encoding) {
    case FAX_ENC_MH: return FC_MH;
    case FAX_ENC_MR: return FC_MR;
    case FAX_ENC_MMR: return FC_MMR;
    default: return FC_RAW_BITMAP;
  }
}

void trace_conv_request(fax_auto__session* s, const fc__init_pg_conv& r) {
  print(s, "      Contents of FC__INIT_PG_RQ\n");
  char line[240];
  (void)std::snprintf(line, sizeof line,
                      "        in: encoding %u line_length %u padding %u vres %u nb_lines %u white_is_zero %u\n",
                      r.in_pg__encoding, r.in_pg__line_length, r.in_pg__line_padding_mode, r.in_pg__vertical_resolution,
                      r.in_pg__nb_lines, r.in_pg__color_bilevel__flag_white_is_zero);
  print(s, line);
  (void)std::snprintf(line, sizeof line,
                      "        out: encoding %u line_length %u vres %u nb_lines %u white_is_zero %u\n",
                      r.out_pg__encoding, r.out_pg__line_length, r.out_pg__vertical_resolution, r.out_pg__nb_lines,
                      r.out_pg__color_bilevel__flag_white_is_zero);
  print(s, line);
  (void)std::snprintf(line, sizeof line, "        page header \"%s\" top margin %u\n", r.sz_page_header,
                      r.bmp_top_margin_pels);
  print(s, line);
}

// Before each page: the conversion the page needs to go out in the
// negotiated coding, resolution and width.  None: the page goes as it is
// stored (23).  Else FC__INIT_PG_RQ goes to the converter (2).
u8 prepare_page(fax_auto__session* s) {
  const fax_page* pg = current_page(s);
  if (!pg) return FAX_UE_FAILED;
  const fax_config_view c = s->config();
  const fax_nego& n = s->nego;
  s->conv_queue.clear();
  s->conv_stop_pending = 0;
  s->conv_underruns = 0;
  fc__init_pg_conv r;
  r.in_pg__encoding = fc_encoding_of(pg->encoding);
  r.in_pg__line_length = static_cast<u16>(pg->pels);
  r.in_pg__line_padding_mode = c.byte(fax_cfg::PADDING_MODE);
  r.in_pg__vertical_resolution = fax_vertical_class(pg->resolution);
  r.in_pg__nb_lines = pg->lines;
  r.in_pg__kind_of_color = 0;
  r.in_pg__color_bilevel__flag_white_is_zero = pg->white_is_zero;
  r.out_pg__encoding = n.encoding == FAX_ENC_MMR ? FC_MMR : n.encoding == FAX_ENC_MR ? FC_MR : FC_MH;
  r.out_pg__line_length = static_cast<u16>(fax_width_pels(n.width, n.resolution));
  r.out_pg__vertical_resolution = fax_vertical_class(n.resolution);
  r.out_pg__nb_lines = n.length == 'A' || n.length == 'B'
                           ? fax_length_limit(n.length, r.out_pg__vertical_resolution, pg->res_unit)
                           : FC_NO_LINE_LIMIT;
  r.out_pg__kind_of_color = 0;
  r.out_pg__color_bilevel__flag_white_is_zero = 1;
  (void)fax_page_header_expand(s, r.sz_page_header, sizeof r.sz_page_header);
  r.bmp_top_margin_pels = c.u16_at(fax_cfg::TOP_MARGIN);
  trace_conv_request(s, r);
  if (fc__check_init_pg_conv_param(&r) != FC_OK) {
    char line[200];
    (void)std::snprintf(line, sizeof line, "      Page conversion refused: %s\n", fc__cause_text(r.cause));
    print(s, line);
    fax_end_session(s, 3, ENT_FC, r.cause);
    return FAX_UE_FAILED;
  }
  fax_page& cur = s->send_pages[s->current % s->send_pages.size()];
  cur.enabled_conversion_bfi = static_cast<u16>(r.enabled_conversion_bfi);
  if (!r.enabled_conversion_bfi) {
    s->conv_state = FAX_CONV_NONE;
    return FAX_UE_NO_CONVERSION;
  }
  if (!open_page_to_send(s)) return FAX_UE_FAILED;
  cur.enabled_conversion_bfi = static_cast<u16>(r.enabled_conversion_bfi);
  u8 rec[FC_INIT_PG_CONV_SIZE];
  fc__init_pg_conv_pack(r, rec);
  if (!fax_send_new(ENT_FC, s->nai, FC_SAPI, 0xFFFF, FC__INIT_PG_RQ, rec, sizeof rec)) {
    fax_end_session(s, 3, FAX_SOURCE_SELF, FAX_CAUSE_OPEN_SEND_PAGE);
    return FAX_UE_FAILED;
  }
  s->conv_state = FAX_CONV_FEEDING;
  return FAX_UE_OK;
}

// Reads up to `room` bytes of the page file of the page being sent, counts
// them to its length and puts their bits in the order the codec reads.
size_t read_page_file(fax_auto__session* s, u8* buf, u32 room) {
  fax_page& pg = s->send_pages[s->current % s->send_pages.size()];
  const size_t got = std::fread(buf, 1, room, s->page_file);
  if (got) {
    pg.length = (pg.length == 0xFFFFFFFFu ? 0 : pg.length) + static_cast<u32>(got);
    if (pg.fill_order != TIFF_HIGHEST_BIT_FIRST) fax_bit__copy_reversed(buf, buf, static_cast<u32>(got));
  }
  return got;
}

// Raw page data for the converter, bits in the order the codec reads.
u8 conv_read(fax_auto__session* s, u8* buf, u32* len) {
  const u32 room = *len;
  *len = 0;
  if (!s->page_file) return FAX_UE_CONV_END_OF_FILE;
  const size_t got = read_page_file(s, buf, room);
  *len = static_cast<u32>(got);
  if (got == room) return FAX_UE_OK;
  if (std::ferror(s->page_file)) {
    fax_end_session(s, 3, FAX_SOURCE_SELF, FAX_CAUSE_OPEN_SEND_PAGE);
    return FAX_UE_FAILED;
  }
  return FAX_UE_CONV_END_OF_FILE;
}

u8 page_conversion(fax_auto__session* s, u8 sub, u8* buf, u32* len, const u8* d, u32 n) {
  switch (sub) {
    case FAX_CONV_INIT_CO: {
      if (n < 3 || d[0] != FC_OK) {
        const u8 cause = n >= 2 ? d[1] : u8{FC__INIT_ERR__NO_INIT_DATA};
        char line[200];
        (void)std::snprintf(line, sizeof line, "      Page conversion refused: %s\n", fc__cause_text(cause));
        print(s, line);
        fax_end_session(s, 3, ENT_FC, cause);
        return FAX_UE_FAILED;
      }
      const u32 bfi = n >= 8 ? get_le32(d + fc_rec::BFI) : 0;
      if (!bfi) return FAX_UE_NO_CONVERSION;
      print(s, "      Page conversion started\n");
      return FAX_UE_OK;
    }
    case FAX_CONV_READ: return conv_read(s, buf, len);
    case FAX_CONV_DATA_IN:
      if (n) s->conv_queue.emplace_back(d, d + n);
      return FAX_UE_OK;
    case FAX_CONV_STOP_CO: {
      if (n < FC_STOP_PG_CO_SIZE || s->send_pages.empty()) return FAX_UE_OK;
      fax_page& pg = s->send_pages[s->current % s->send_pages.size()];
      pg.decoded_valid = d[3];
      pg.decoded_lines = get_le32(d + 4);
      pg.t6_error = d[8];
      pg.t4_errors = get_le32(d + 12);
      return FAX_UE_OK;
    }
    case FAX_CONV_STOP_IN: {
      if (n >= 8 && d[0] == FC_OK && d[1] == FC__INIT_ERR__BAD_PG_ID && !s->send_pages.empty()) {
        fax_page& pg = s->send_pages[s->current % s->send_pages.size()];
        pg.discarded_lines = static_cast<i32>(get_le32(d + 4));
      }
      return FAX_UE_OK;
    }
    default: return FAX_UE_OK;
  }
}

// Page record -> report record (and, from byte 8, a page row).
void fill_report(const fax_page& pg, u8 event, u16 number, const std::string& file, u8* r) {
  std::memset(r, 0, FAX_REPORT_RECORD_SIZE);
  r[fax_rep::EVENT] = event;
  put_le16(r + fax_rep::PAGE_NUMBER, number);
  // The record is zeroed above: the name's last byte of the 100 stays 0.
  std::memcpy(r + fax_rep::FILE_NAME, file.data(),  // NOLINT(bugprone-not-null-terminated-result)
              file.size() < 99 ? file.size() : 99);
  r[fax_rep::ENCODING] = pg.encoding;
  put_le16(r + fax_rep::RESOLUTION, pg.resolution);
  r[fax_rep::WIDTH] = static_cast<u8>(pg.width_code);
  r[fax_rep::LENGTH] = static_cast<u8>(pg.length_code);
  r[fax_rep::QUALITY] = static_cast<u8>(pg.quality);
  r[fax_rep::POST_KIND] = static_cast<u8>(pg.post_kind);
  put_le32(r + fax_rep::PAGE_BYTES, pg.length);
  put_le16(r + fax_rep::CONVERSIONS, pg.enabled_conversion_bfi);
  put_le32(r + fax_rep::DISCARDED, static_cast<u32>(pg.discarded_lines));
  r[fax_rep::DECODED_VALID] = pg.decoded_valid;
  put_le32(r + fax_rep::DECODED_LINES, pg.decoded_lines);
  r[fax_rep::T6_ERROR] = pg.t6_error;
  put_le32(r + fax_rep::T4_ERRORS, pg.t4_errors);
}

// Writes the row of a page; rows past the twentieth are not kept.
void write_row(fax_auto__session* s, u32 rows_off, u16* row, const u8* report) {
  if (*row >= FAX_PG_ROWS) return;
  std::memcpy(s->status.data() + rows_off + *row * FAX_PG_ROW_SIZE, report + fax_rep::FILE_NAME, FAX_PG_ROW_SIZE);
}

void bump(fax_auto__session* s, u32 off) {
  const u16 v = get_le16(s->status.data() + off);
  if (v < 0xFFFF) put_le16(s->status.data() + off, static_cast<u16>(v + 1));
}

// The result that ends a sent page: another page follows (16 when it needs
// a new negotiation), or this was the last.
u8 end_of_page_result(const fax_auto__session* s) {
  if (s->pages_sent < s->pages_to_send) {
    const fax_page& next = s->send_pages[(s->current + 1) % s->send_pages.size()];
    return next.renegotiate ? FAX_UE_END_PAGE_RENEG : FAX_UE_END_PAGE;
  }
  return FAX_UE_LAST_PAGE;
}

// Page data to send.  Mode 0: straight from the page's work file.  Mode 1:
// converted data as the converter delivers them (none yet: an underrun,
// nothing now).  Mode 2: the conversion is over; the page ends once its
// converted data are sent.
u8 send_data(fax_auto__session* s, u8* buf, u32* len, u32 mode) {
  const u32 room = *len;
  *len = 0;
  const fax_page* cur = current_page(s);
  if (!cur) return FAX_UE_FAILED;
  if (mode != 0) {
    if (s->conv_trace < 2) {
      ++s->conv_trace;
      char line[120];
      (void)std::snprintf(line, sizeof line,
                          "Na: %d FAX_AUTO__EVT_TX_RX_FAX_PG (send fax page data) Fax page encoding on fly\n", s->nai);
      print(s, line);
    }
    u32 used = 0;
    while (!s->conv_queue.empty() && used + s->conv_queue.front().size() <= room) {
      const std::vector<u8>& b = s->conv_queue.front();
      std::memcpy(buf + used, b.data(), b.size());
      used += static_cast<u32>(b.size());
      s->conv_queue.pop_front();
    }
    *len = used;
    if (used) return FAX_UE_OK;
    if (mode == 1) {
      ++s->conv_underruns;
      return FAX_UE_OK;
    }
    if (s->page_file) (void)std::fclose(s->page_file);  // read only
    s->page_file = nullptr;
    s->conv_state = FAX_CONV_NONE;
    return end_of_page_result(s);
  }
  if (!s->page_file && !open_page_to_send(s)) return FAX_UE_FAILED;
  const size_t got = read_page_file(s, buf, room);
  *len = static_cast<u32>(got);
  if (got == room) return FAX_UE_OK;
  (void)std::fclose(s->page_file);  // read to its end
  s->page_file = nullptr;
  return end_of_page_result(s);
}

u8 end_sent_page(fax_auto__session* s, const u8* d, u32 n, u8 post_kind) {
  s->conv_underruns = 0;
  s->conv_trace = 0;
  const char q = n > 4 ? static_cast<char>(d[4]) : 'G';
  fax_page& pg = s->send_pages[s->current % s->send_pages.size()];
  pg.quality = q == 'M' || q == 'B' ? q : 'G';
  pg.post_kind = static_cast<char>(post_kind);
  bump(s, pg.quality == 'G' ? fax_st::SENT_GOOD : pg.quality == 'M' ? fax_st::SENT_MEDIUM : fax_st::SENT_BAD);
  u8 r[FAX_REPORT_RECORD_SIZE];
  fill_report(pg, FAX_PG_SENT, s->pages_sent, pg.src_name, r);
  write_row(s, fax_st::SENT_ROWS, &s->sent_row, r);
  fax_send_report(s, r);
  if (s->sent_row < FAX_PG_ROWS) ++s->sent_row;
  if (pg.quality != 'B') {
    ++s->current;
    return FAX_UE_OK;
  }
  s->resend = 1;
  if (s->nego.ecm != '0' && s->nego.ecm != 0) {
    fax_end_session(s, 3, FAX_SOURCE_SELF, FAX_CAUSE_RTN_ECM);
    return FAX_UE_FAILED;
  }
  if (s->nego.speed <= 2) {
    fax_end_session(s, 3, FAX_SOURCE_SELF, FAX_CAUSE_RTN_LOWEST_SPEED);
    return FAX_UE_FAILED;
  }
  --s->pages_sent;
  put_le16(s->status.data() + fax_st::PAGES_SENT, s->pages_sent);
  return FAX_UE_OK;
}

void check_release(fax_auto__session* s) {
  if (s->check) t4t6__release(s->check);
  s->check = nullptr;
}

// Counts the rows of received page data.
void check_data(fax_auto__session* s, const u8* d, u32 n) {
  if (!s->check || s->check_ended) return;
  s->check->data = d;
  s->check->data_len = n;
  for (u32 guard = 0; guard < n * 8 + 16; ++guard) {
    t4t6__decode_page(s->check);
    if (s->check->line_ready) ++s->check_lines;
    if (s->check->page_status != T4T6_PAGE_DECODING) {
      s->check_ended = 1;
      s->rcv_page.t6_error = s->check->page_status == T4T6_PAGE_ERROR;
      return;
    }
    if (s->check->end_of_data) return;
  }
}

u8 receive_data(fax_auto__session* s, const u8* d, u32 n) {
  const fax_config_view c = s->config();
  if (!s->page_file) {
    if (!s->rcv_file.is_open()) {
      const std::string name =
          fax_format_name(c.text(fax_cfg::RCV_FORMAT, fax_cfg::NAME_SIZE), c.u16_at(fax_cfg::RCV_NUMBER), s->nai);
      if (!s->rcv_file.open(name)) {
        fax_end_session(s, 3, FAX_SOURCE_SELF, FAX_CAUSE_CREATE_RCV_FILE);
        return FAX_UE_FAILED;
      }
    }
    s->tmp_name = fax_tmp_page_name(c.text(fax_cfg::TMP_PG_FORMAT, fax_cfg::NAME_SIZE), s->nai, fax_tmp_counter());
    s->page_file = s->tmp_name.empty() ? nullptr : std::fopen(s->tmp_name.c_str(), "wb+");
    if (!s->page_file) {
      fax_end_session(s, 3, FAX_SOURCE_SELF, FAX_CAUSE_CREATE_RCV_FILE);
      return FAX_UE_FAILED;
    }
    ++s->pages_rcv;
    put_le16(s->status.data() + fax_st::PAGES_RCV, s->pages_rcv);
    fax_page& pg = s->rcv_page;
    pg = fax_page{};
    pg.src_name = s->rcv_file.name();
    pg.encoding = s->nego.encoding;
    pg.resolution = s->nego.resolution;
    pg.width_code = s->nego.width;
    pg.length_code = s->nego.length;
    pg.pels = fax_width_pels(s->nego.width, s->nego.resolution);
    // The rows are counted from the data (with or without ECM).
    s->check_lines = 0;
    s->check_ended = 0;
    check_release(s);
    const u8 coding = fax_coding::codec_of_encoding(pg.encoding);
    if (!pg.pels || !coding || t4t6__open(&s->check, coding, pg.pels) != T4T6_OPEN_OK) {
      check_release(s);
      fax_end_session(s, 3, FAX_SOURCE_SELF, FAX_CAUSE_PAGE_CHECK);
      return FAX_UE_FAILED;
    }
    s->check_line.assign((pg.pels + 7) / 8, 0);
    s->check->line = s->check_line.data();
  }
  if (!n) return FAX_UE_OK;
  std::vector<u8> bytes(d, d + n);
  check_data(s, bytes.data(), n);
  if (c.byte(fax_cfg::RCV_FILL_ORDER) == 1) fax_bit__copy_reversed(bytes.data(), bytes.data(), n);
  if (std::fwrite(bytes.data(), 1, n, s->page_file) != n) {
    fax_end_session(s, 3, FAX_SOURCE_SELF, FAX_CAUSE_WRITE_RCV_PAGE);
    return FAX_UE_FAILED;
  }
  fax_page& pg = s->rcv_page;
  pg.length = (pg.length == 0xFFFFFFFFu ? 0 : pg.length) + n;
  s->rcv_bytes += n;
  return FAX_UE_OK;
}

u8 end_received_page(fax_auto__session* s, const u8* d) {
  const fax_config_view c = s->config();
  fax_page& pg = s->rcv_page;
  if (!s->page_file) return FAX_UE_OK;  // an end without data: nothing to keep
  pg.post_kind = static_cast<char>(d[3]);
  pg.quality = d[4] == 'M' || d[4] == 'B' ? static_cast<char>(d[4]) : 'G';
  if (s->check && !s->check_ended) {
    t4t6__finish_page(s->check);
    if (s->check->line_ready) ++s->check_lines;
  }
  pg.lines = s->check_lines;
  check_release(s);
  bump(s, pg.quality == 'G' ? fax_st::RCV_GOOD : pg.quality == 'M' ? fax_st::RCV_MEDIUM : fax_st::RCV_BAD);
  u8 r[FAX_REPORT_RECORD_SIZE];
  fill_report(pg, FAX_PG_RCV, s->pages_rcv, pg.src_name, r);
  write_row(s, fax_st::RCV_ROWS, &s->rcv_row, r);
  if (s->rcv_row < FAX_PG_ROWS) ++s->rcv_row;
  fax_send_report(s, r);
  const bool flushed = std::fflush(s->page_file) == 0;
  const bool closed = std::fclose(s->page_file) == 0;
  s->page_file = nullptr;
  tiff__pg_header hdr;
  const bool written = flushed && closed && pg.lines > 0 &&
                       fax_rcv_page_header(pg, pg.width_code, c.byte(fax_cfg::RCV_FILL_ORDER), s->remote_id, &hdr) &&
                       s->rcv_file.write_page(&hdr, s->tmp_name);
  (void)std::remove(s->tmp_name.c_str());
  s->tmp_name.clear();
  if (!written) {
    fax_end_session(s, 3, FAX_SOURCE_SELF, FAX_CAUSE_WRITE_RCV_PAGE);
    return FAX_UE_FAILED;
  }
  const u16 max_pages = c.u16_at(fax_cfg::MAX_RCV_PAGES);
  if (max_pages && s->pages_rcv > max_pages) {
    fax_end_session(s, 3, FAX_SOURCE_SELF, FAX_CAUSE_MAX_PAGES);
    return FAX_UE_FAILED;
  }
  const u32 max_bytes = c.u32_at(fax_cfg::MAX_RCV_BYTES);
  if (max_bytes && s->rcv_bytes > max_bytes) {
    fax_end_session(s, 3, FAX_SOURCE_SELF, FAX_CAUSE_MAX_BYTES);
    return FAX_UE_FAILED;
  }
  return pg.quality == 'B' ? FAX_UE_BAD : pg.quality == 'M' ? FAX_UE_MEDIUM : FAX_UE_GOOD;
}

void session_idle(fax_auto__session* s) {
  char line[64];
  (void)std::snprintf(line, sizeof line, "Na: %d FAX_AUTO__EVT_IDLE (End of session)\n", s->nai);
  print(s, line);
  // The session is over: an unfinished page and its work file are dropped.
  if (s->page_file) (void)std::fclose(s->page_file);
  s->page_file = nullptr;
  s->conv_queue.clear();
  s->conv_state = FAX_CONV_NONE;
  s->conv_stop_pending = 0;
  s->conv_trace = 0;
  fax_free_send_pages(&s->send_pages);
  s->rcv_file.close();
  if (!s->tmp_name.empty()) (void)std::remove(s->tmp_name.c_str());
  s->tmp_name.clear();
  s->pages_sent = s->pages_rcv = 0;
  s->current = 0;
  s->sent_row = s->rcv_row = 0;
  s->rcv_bytes = 0;
  s->polling = s->config().byte(fax_cfg::POLLING) == 1;
  s->nego.rem_ready_to_be_polled = s->nego.rem_pwd = s->nego.rem_sep = s->nego.rem_psa = 0;
  check_release(s);
}

}  // namespace

bool fax_page_header_expand(fax_auto__session* s, char* out, u32 room) {
  if (!room) return false;
  out[0] = 0;
  const std::string tmpl = s->config().text(fax_cfg::PAGE_HEADER, fax_cfg::PAGE_HEADER_SIZE);
  u32 used = 0;
  // Appends `text` whole, or as much as fits and fails.
  const auto put = [&](const char* text) {
    for (; *text; ++text) {
      if (used + 1 >= room) return false;
      out[used++] = *text;
    }
    out[used] = 0;
    return true;
  };
  const platform::LocalTime now = platform::GetLocalTime();
  char field[24];
  for (size_t i = 0; i < tmpl.size(); ++i) {
    if (tmpl[i] != '%') {
      const char one[2] = {tmpl[i], 0};
      if (!put(one)) return false;
      continue;
    }
    if (++i >= tmpl.size()) break;
    field[0] = 0;
    switch (tmpl[i]) {
      case 'c': (void)std::snprintf(field, sizeof field, "%02d:%02d:%04d", s->day, s->month, s->year); break;
      case 'C': (void)std::snprintf(field, sizeof field, "%04d:%02d:%02d", s->year, s->month, s->day); break;
      case 'd': (void)std::snprintf(field, sizeof field, "%02d:%02d:%04d", now.day, now.month, now.year); break;
      case 'D': (void)std::snprintf(field, sizeof field, "%04d:%02d:%02d", now.year, now.month, now.day); break;
      case 't': (void)std::snprintf(field, sizeof field, "%02d:%02d:%02d", now.hour, now.minute, now.second); break;
      case 'T': (void)std::snprintf(field, sizeof field, "%02d:%02d:%02d", s->hour, s->minute, s->second); break;
      case 'P': (void)std::snprintf(field, sizeof field, "%3d", s->pages_to_send); break;
      case 'p':
        (void)std::snprintf(field, sizeof field, "%3d%c", s->pages_sent + 1, s->resend ? 'R' : ' ');
        s->resend = 0;
        break;
      default: break;  // another letter is dropped
    }
    if (!put(field)) return false;
  }
  return true;
}

void fax_end_session(fax_auto__session* s, u8 status, u8 source, u8 cause) {
  s->end_status = status;
  s->end_source = source;
  s->end_cause = cause;
}

u8 fax_auto__user_event_fn(u8 event, u8* buf, u32* len, const u8* data, u32 data_len, u32 extra, fax_auto__session* s) {
  switch (event) {
    case FAX_AUTO__EVT_CONFIG_DONE: s->ready = 1; return FAX_UE_OK;
    case FAX_AUTO__EVT_FAX_PARAM_ORG: return param_org(s, buf);
    case FAX_AUTO__EVT_FAX_PARAM_ANS: return param_ans(s, buf);
    case FAX_AUTO__EVT_FAX_MORE_PARAM__TX: return more_param_tx(s, buf);
    case FAX_AUTO__EVT_FAX_MORE_PARAM__RX: return more_param_rx(s, buf);
    case FAX_AUTO__EVT_FAX_PARAM_PG_CONV: return prepare_page(s);
    case FAX_AUTO__EVT_FAX_INFO_IN: return data_len >= CF_INFO_SIZE ? info_in(s, data) : 2;
    case FAX_AUTO__EVT_FAX_PG_CONV: return page_conversion(s, static_cast<u8>(extra), buf, len, data, data_len);
    case FAX_AUTO__EVT_TX_RX_FAX_PG: return buf ? send_data(s, buf, len, extra) : receive_data(s, data, data_len);
    case FAX_AUTO__EVT_EOF_RCV_FAX_PG: return data_len >= 16 ? end_received_page(s, data) : 2;
    case FAX_AUTO__EVT_EOF_SND_FAX_PG: return end_sent_page(s, data, data_len, static_cast<u8>(extra));
    case FAX_AUTO__EVT_IDLE: session_idle(s); return FAX_UE_OK;
    default: return FAX_UE_OK;
  }
}
