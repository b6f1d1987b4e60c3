#include "sip/text/sip_prim_kind.h"
#include "sip/text/sip_code_rows.h"
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
constexpr sip_code_row global_rows[] = {{1, "+"}, {0, ""}};
constexpr sip_code_row loose_routing_rows[] = {{1, "lr"}, {0, nullptr}};
constexpr sip_code_row auth_scheme_rows[] = {{'B', "Basic"}, {'D', "Digest"}};
constexpr const auto& media_type_rows = sip_media::media_types;
constexpr sip_code_row subtype_wildcard_rows[] = {{'*', "*"}};
constexpr const auto& multipart_rows = sip_media::multipart_subtypes;
constexpr const auto& isup_rows = sip_media::base_values;
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
const sip_value_table sip_vt_screen = vt(sip_codes::screens, true);
const sip_value_table sip_vt_global = vt(global_rows, false);
const sip_value_table sip_vt_loose_routing = vt(loose_routing_rows, false);
const sip_value_table sip_vt_auth_scheme = vt(auth_scheme_rows, false);
const sip_value_table sip_vt_algorithm = vt(sip_codes::algorithms, true);
const sip_value_table sip_vt_qop = vt(sip_codes::qops, true);
const sip_value_table sip_vt_stale = vt(sip_codes::stales, true);
const sip_value_table sip_vt_uri_transport = {sip_uri_transport_table, nullptr, 4, true};
const sip_value_table sip_vt_via_transport = {sip_via_transport_table, nullptr, 4, true};
const sip_value_table sip_vt_user_param = {sip_user_param_table, nullptr, 2, true};
const sip_value_table sip_vt_method = {sip_method_table, nullptr, 6, true};
const sip_value_table sip_vt_option_tag = vt(sip_codes::option_tags, false);
const sip_value_table sip_vt_refresher = vt(sip_codes::refreshers, true);
const sip_value_table sip_vt_media_type = vt(media_type_rows, true);
const sip_value_table sip_vt_isup_version = vt(isup_rows, true);
const sip_value_table sip_vt_content_coding = vt(sip_codes::content_codings, true);
const sip_value_table sip_vt_contact_action = vt(sip_codes::contact_actions, true);
const sip_value_table sip_vt_priority = vt(sip_codes::priorities, true);
const sip_value_table sip_vt_privacy = vt(sip_codes::privacy_values, true);
const sip_value_table sip_vt_reason_protocol = vt(sip_codes::reason_protocols, true);
const sip_value_table sip_vt_call_info_purpose = vt(sip_codes::purposes, true);
const sip_value_table sip_vt_disposition_type = vt(sip_codes::disposition_types, true);
const sip_value_table sip_vt_disposition_handling = vt(sip_codes::handlings, true);
const sip_value_table sip_vt_diversion_reason = vt(sip_codes::diversion_reasons, true);
const sip_value_table sip_vt_diversion_privacy = vt(sip_codes::diversion_privacy, true);
const sip_value_table sip_vt_early_media = vt(sip_codes::early_media, false);
const sip_value_table sip_vt_request_disposition = vt(sip_codes::request_dispositions, false);
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
