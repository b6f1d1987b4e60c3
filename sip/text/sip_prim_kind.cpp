#include "sip/text/sip_prim_kind.h"
#include "sip/text/sip_media_rows.h"
#include "sip/text/sip_prim_kind_rows.h"

namespace {

using namespace sip_kind_rows;

template <std::size_t N>
constexpr sip_kind_hdr_table table_of(sip_msg_kind k, const sip_kind_hdr_row (&rows)[N]) {
  return {k, rows, static_cast<u8>(N)};
}

constexpr sip_kind_hdr_table t_invite_rq = table_of(sip_msg_kind::invite_rq, rows_invite_rq);
constexpr sip_kind_hdr_table t_invite_rs = table_of(sip_msg_kind::invite_rs, rows_invite_rs);
constexpr sip_kind_hdr_table t_ack_rq = table_of(sip_msg_kind::ack_rq, rows_ack_rq);
constexpr sip_kind_hdr_table t_options_rq = table_of(sip_msg_kind::options_rq, rows_options_rq);
constexpr sip_kind_hdr_table t_options_rs = table_of(sip_msg_kind::options_rs, rows_options_rs);
constexpr sip_kind_hdr_table t_bye_rq = table_of(sip_msg_kind::bye_rq, rows_bye_rq);
constexpr sip_kind_hdr_table t_bye_rs = table_of(sip_msg_kind::bye_rs, rows_bye_rs);
constexpr sip_kind_hdr_table t_cancel_rq = table_of(sip_msg_kind::cancel_rq, rows_cancel_rq);
constexpr sip_kind_hdr_table t_cancel_rs = table_of(sip_msg_kind::cancel_rs, rows_cancel_rs);
constexpr sip_kind_hdr_table t_register_rq = table_of(sip_msg_kind::register_rq, rows_register_rq);
constexpr sip_kind_hdr_table t_register_rs = table_of(sip_msg_kind::register_rs, rows_register_rs);

static_assert(t_invite_rq.row_count == 58 && t_invite_rs.row_count == 55 && t_ack_rq.row_count == 37 &&
              t_options_rq.row_count == 47 && t_options_rs.row_count == 45 && t_bye_rq.row_count == 41 &&
              t_bye_rs.row_count == 42 && t_cancel_rq.row_count == 20 && t_cancel_rs.row_count == 20 &&
              t_register_rq.row_count == 47 && t_register_rs.row_count == 47);

constexpr sip_kind_index_entry entry(const sip_kind_hdr_table& t) { return {&t, 2u * t.row_count}; }

// ---------------------------------------------------------------------------
// Value code tables (rows searched last to first).

template <std::size_t N>
constexpr sip_value_table vt(const sip_code_row (&rows)[N], bool none_ok) {
  return {rows, nullptr, static_cast<u8>(N), none_ok};
}
constexpr sip_value_table vt_sdp(const sdp_table& t, bool none_ok) {
  return {nullptr, t.rows, static_cast<u8>(t.count), none_ok};
}

constexpr sip_code_row scheme_rows[] = {{'S', "sips:"}, {1, "sip:"}, {'*', nullptr}, {0, nullptr}, {'A', nullptr}};
constexpr sip_code_row via_protocol_rows[] = {{1, "SIP"}, {0, nullptr}};
constexpr sip_code_row yes_no_rows[] = {{1, nullptr}, {0, nullptr}};
constexpr sip_code_row screen_rows[] = {{1, "yes"}, {0, "no"}};
constexpr sip_code_row global_rows[] = {{1, "+"}, {0, ""}};
constexpr sip_code_row loose_routing_rows[] = {{1, "lr"}, {0, nullptr}};
constexpr sip_code_row auth_scheme_rows[] = {{'B', "Basic"}, {'D', "Digest"}};
constexpr sip_code_row algorithm_rows[] = {{'M', "MD5"}, {'D', "MD5-sess"}};
constexpr sip_code_row qop_rows[] = {{'A', "auth"}, {'I', "auth-int"}};
constexpr sip_code_row stale_rows[] = {{'T', "true"}, {'F', "false"}};
constexpr sip_code_row option_tag_rows[] = {{'f', "histinfo"},
                                            {'r', "replaces"},
                                            {'t', "timer"},
                                            {'1', "100rel"},
                                            {'p', "precondition"},
                                            {'h', "path"},
                                            {'l', "recipient-list-invite"}};
constexpr sip_code_row refresher_rows[] = {{'s', "uas"}, {'c', "uac"}};
constexpr const auto& media_type_rows = sip_media::media_types;
constexpr sip_code_row subtype_wildcard_rows[] = {{'*', "*"}};
constexpr const auto& multipart_rows = sip_media::multipart_subtypes;
constexpr const auto& isup_rows = sip_media::base_values;
constexpr sip_code_row content_coding_rows[] = {{'g', "gzip"}, {'c', "compress"}, {'d', "deflate"}, {'i', "identity"}};
constexpr sip_code_row contact_action_rows[] = {{'p', "proxy"}, {'r', "redirect"}};
constexpr sip_code_row priority_rows[] = {{'e', "emergency"}, {'u', "urgent"}, {'n', "normal"}, {'o', "non-urgent"}};
constexpr sip_code_row privacy_rows[] = {{'h', "header"},   {'s', "session"}, {'u', "user"},   {'n', "none"},
                                         {'c', "critical"}, {'i', "id"},      {'t', "history"}};
constexpr sip_code_row reason_protocol_rows[] = {{'q', "q.850"}, {'s', "sip"}};
constexpr sip_code_row purpose_rows[] = {{'i', "icon"}, {'n', "info"}, {'c', "card"}};
constexpr sip_code_row disposition_type_rows[] = {
    {'r', "render"}, {'s', "session"}, {'t', "icon"}, {'a', "alert"}, {'i', "signal"}};
constexpr sip_code_row handling_rows[] = {{'o', "optional"}, {'r', "required"}};
constexpr sip_code_row diversion_reason_rows[] = {{1, "unknown"},         {2, "user-busy"},     {3, "no-answer"},
                                                  {4, "unavailable"},     {5, "unconditional"}, {6, "time-of-day"},
                                                  {7, "do-not-disturb"},  {8, "deflection"},    {9, "follow-me"},
                                                  {10, "out-of-service"}, {11, "away"}};
constexpr sip_code_row diversion_privacy_rows[] = {{1, "full"}, {2, "name"}, {3, "uri"}, {4, "off"}};
constexpr sip_code_row early_media_rows[] = {{1, "sendrecv"}, {2, "sendonly"}, {3, "recvonly"},
                                             {4, "inactive"}, {5, "gated"},    {6, "supported"}};
constexpr sip_code_row request_disposition_rows[] = {
    {1, "proxy"},   {2, "redirect"},   {3, "cancel"},   {4, "no-cancel"},   {5, "fork"},   {6, "no-fork"},
    {7, "recurse"}, {8, "no-recurse"}, {9, "parallel"}, {10, "sequential"}, {11, "queue"}, {12, "no-queue"}};
constexpr sip_code_row rate_management_rows[] = {{3, nullptr}, {1, "localTCF"}, {2, "transferredTCF"}};
constexpr sip_code_row udp_ec_rows[] = {{3, nullptr}, {1, "t38UDPFEC"}, {2, "t38UDPRedundancy"}};

// Media subtypes per media type; 255 means the subtype is carried as text.
constexpr const auto& application_rows = sip_media::application_subtypes;
constexpr const auto& message_rows = sip_media::message_subtypes;
constexpr const auto& image_rows = sip_media::image_subtypes;
constexpr const auto& model_rows = sip_media::model_subtypes;
constexpr const auto& text_rows = sip_media::text_subtypes;
constexpr const auto& audio_rows = sip_media::audio_subtypes;
constexpr const auto& video_rows = sip_media::video_subtypes;

constexpr sip_value_table vt_subtype_wildcard = vt(subtype_wildcard_rows, false);
constexpr sip_value_table vt_application = vt(application_rows, true);
constexpr sip_value_table vt_message = vt(message_rows, true);
constexpr sip_value_table vt_image = vt(image_rows, true);
constexpr sip_value_table vt_multipart = vt(multipart_rows, true);
constexpr sip_value_table vt_model = vt(model_rows, true);
constexpr sip_value_table vt_text = vt(text_rows, true);
constexpr sip_value_table vt_audio = vt(audio_rows, true);
constexpr sip_value_table vt_video = vt(video_rows, true);

}  // namespace

const sip_kind_index_entry sip_kind_index_rq[16] = {{},
                                                    entry(t_invite_rq),
                                                    entry(t_ack_rq),
                                                    entry(t_options_rq),
                                                    entry(t_bye_rq),
                                                    entry(t_cancel_rq),
                                                    entry(t_register_rq)};
const sip_kind_index_entry sip_kind_index_rs[16] = {
    {}, entry(t_invite_rs), {}, entry(t_options_rs), entry(t_bye_rs), entry(t_cancel_rs), entry(t_register_rs)};

const sip_kind_hdr_table* sip_kind__table(sip_msg_kind kind) {
  const char k = static_cast<char>(kind);
  if (k >= 'A' && k <= 'F') return sip_kind_index_rq[k - 'A' + 1].table;
  if (k >= 'a' && k <= 'f') return sip_kind_index_rs[k - 'a' + 1].table;
  return nullptr;
}

bool sip_kind__of_method(unsigned method, bool response, sip_msg_kind* kind) {
  if (method < 1 || method > 6 || (response && method == 2)) return false;
  *kind = static_cast<sip_msg_kind>((response ? 'a' : 'A') + static_cast<char>(method - 1));
  return true;
}

int sip_value__lookup(const sip_value_table& table, u8 code, const char** text) {
  for (unsigned r = table.count; r-- > 0;) {
    const u32 c = table.rows != nullptr ? table.rows[r].code : table.sdp_rows[r].code;
    if (c == code) {
      *text = table.rows != nullptr ? table.rows[r].name : table.sdp_rows[r].keyword;
      return 2;
    }
  }
  if (code == SIP_CODE_NONE && table.none_ok) {
    *text = nullptr;
    return 2;
  }
  return 19;
}

const sip_value_table sip_vt_scheme = vt(scheme_rows, false);
const sip_value_table sip_vt_via_protocol = vt(via_protocol_rows, false);
const sip_value_table sip_vt_yes_no = vt(yes_no_rows, true);
const sip_value_table sip_vt_screen = vt(screen_rows, true);
const sip_value_table sip_vt_global = vt(global_rows, false);
const sip_value_table sip_vt_loose_routing = vt(loose_routing_rows, false);
const sip_value_table sip_vt_auth_scheme = vt(auth_scheme_rows, false);
const sip_value_table sip_vt_algorithm = vt(algorithm_rows, true);
const sip_value_table sip_vt_qop = vt(qop_rows, true);
const sip_value_table sip_vt_stale = vt(stale_rows, true);
const sip_value_table sip_vt_uri_transport = {sip_uri_transport_table, nullptr, 4, true};
const sip_value_table sip_vt_via_transport = {sip_via_transport_table, nullptr, 4, true};
const sip_value_table sip_vt_user_param = {sip_user_param_table, nullptr, 2, true};
const sip_value_table sip_vt_method = {sip_method_table, nullptr, 6, true};
const sip_value_table sip_vt_option_tag = vt(option_tag_rows, false);
const sip_value_table sip_vt_refresher = vt(refresher_rows, true);
const sip_value_table sip_vt_media_type = vt(media_type_rows, true);
const sip_value_table sip_vt_isup_version = vt(isup_rows, true);
const sip_value_table sip_vt_content_coding = vt(content_coding_rows, true);
const sip_value_table sip_vt_contact_action = vt(contact_action_rows, true);
const sip_value_table sip_vt_priority = vt(priority_rows, true);
const sip_value_table sip_vt_privacy = vt(privacy_rows, true);
const sip_value_table sip_vt_reason_protocol = vt(reason_protocol_rows, true);
const sip_value_table sip_vt_call_info_purpose = vt(purpose_rows, true);
const sip_value_table sip_vt_disposition_type = vt(disposition_type_rows, true);
const sip_value_table sip_vt_disposition_handling = vt(handling_rows, true);
const sip_value_table sip_vt_diversion_reason = vt(diversion_reason_rows, true);
const sip_value_table sip_vt_diversion_privacy = vt(diversion_privacy_rows, true);
const sip_value_table sip_vt_early_media = vt(early_media_rows, false);
const sip_value_table sip_vt_request_disposition = vt(request_disposition_rows, false);
const sip_value_table sip_vt_sdp_nettype = vt_sdp(sdp_nettype_table, true);
const sip_value_table sip_vt_sdp_codec = vt_sdp(sdp_codec_table, true);
const sip_value_table sip_vt_sdp_keymethod = vt_sdp(sdp_keymethod_table, true);
const sip_value_table sip_vt_sdp_media = vt_sdp(sdp_media_table, false);
const sip_value_table sip_vt_sdp_transport = vt_sdp(sdp_transport_table, false);
const sip_value_table sip_vt_sdp_bwtype = vt_sdp(sdp_bwtype_table, true);
const sip_value_table sip_vt_sdp_direction = vt_sdp(sdp_direction_table, true);
const sip_value_table sip_vt_sdp_image = vt_sdp(sdp_image_table, false);
const sip_value_table sip_vt_sdp_t38_format = vt_sdp(sdp_t38_format_table, false);
const sip_value_table sip_vt_t38_rate_management = vt(rate_management_rows, true);
const sip_value_table sip_vt_t38_udp_ec = vt(udp_ec_rows, true);

const sip_value_table* sip_vt__subtypes(u8 media_type) {
  switch (media_type) {
    case '*': return &vt_subtype_wildcard;
    case 'A': return &vt_application;
    case 'E': return &vt_message;
    case 'I': return &vt_image;
    case 'M': return &vt_multipart;
    case 'O': return &vt_model;
    case 'T': return &vt_text;
    case 'U': return &vt_audio;
    case 'V': return &vt_video;
    default: return nullptr;
  }
}
