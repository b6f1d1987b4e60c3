// Field-by-field dumps of the configuration records.
#include "session/config/support/foip_param_dump.h"

#include <sstream>

namespace cfg_test {
namespace {

class out {
 public:
  template <class T>
  void num(const std::string& name, T v) {
    s_ << name << " = " << static_cast<unsigned long>(v) << "\n";
  }
  void chr(const std::string& name, unsigned char v) {
    if (v >= 0x20 && v < 0x7F) s_ << name << " = '" << v << "'\n";
    else num(name, v);
  }
  void txt(const std::string& name, const char* v) { s_ << name << " = \"" << v << "\"\n"; }
  void addr(const std::string& name, const foip__full_ip_addr& a) {
    txt(name + ".sz_fqdn", a.sz_fqdn);
    num(name + ".ip_addr.ip_family", a.ip_addr.ip_family);
    const u8* b = a.ip_addr.addr.v4.addr;
    s_ << name << ".ip_addr.v4 = " << int(b[0]) << '.' << int(b[1]) << '.' << int(b[2]) << '.' << int(b[3]) << "\n";
    num(name + ".ip_port", a.ip_port);
  }
  void auth(const std::string& name, const foip__sip_authentication& a) {
    num(name + ".flag_enable", a.flag_enable);
    txt(name + ".sz_user_name", a.sz_user_name);
    txt(name + ".sz_user_password", a.sz_user_password);
    txt(name + ".sz_realm", a.sz_realm);
  }
  // T.38 capabilities (UDPTL or TPKT part, of the remote or of the local
  // record): the test-mode mask and the UDPTL-only fields where the record
  // has them.
  template <class Cap>
  void t38_cap(const std::string& name, const Cap& c) {
    num(name + ".use_t38_cap_bfi", c.use_t38_cap_bfi);
    if constexpr (requires { c.test_mode__force_t38_rem_cap_bfi; })
      num(name + ".test_mode__force_t38_rem_cap_bfi", c.test_mode__force_t38_rem_cap_bfi);
    num(name + ".t38_version", c.t38_version);
    num(name + ".fax_max_bit_rate", c.fax_max_bit_rate);
    num(name + ".drate_mgt_method", c.drate_mgt_method);
    num(name + ".remove_fill_bits_t4", c.remove_fill_bits_t4);
    num(name + ".transcode_mmr", c.transcode_mmr);
    num(name + ".transcode_jbig", c.transcode_jbig);
    if constexpr (requires { c.udp_ec; }) {
      num(name + ".fax_max_buffer_size", c.fax_max_buffer_size);
      num(name + ".max_datagram_size", c.max_datagram_size);
      num(name + ".udp_ec", c.udp_ec);
    }
  }
  std::string str() const { return s_.str(); }

 private:
  std::ostringstream s_;
};

}  // namespace

std::string dump(const foip__global_param& p) {
  out o;
  const auto& c = p.glb_common_param;
  o.num("glb_common_param.nb_simultaneous_start_stop", c.nb_simultaneous_start_stop);
  o.num("glb_common_param.tag_dbg_field_are_loaded", c.tag_dbg_field_are_loaded);
  o.num("glb_common_param.dbg_field1", c.dbg_field1);
  o.num("glb_common_param.dbg_field2", c.dbg_field2);
  const auto& s = p.glb_sip_param;
  o.num("glb_sip_param.sig_nai", s.sig_nai);
  o.num("glb_sip_param.operating_mode", s.operating_mode);
  o.num("glb_sip_param.re_invite_delay", s.re_invite_delay);
  o.addr("glb_sip_param.local_sip_addr", s.local_sip_addr);
  o.num("glb_sip_param.nat.flag_nat_support", s.nat.flag_nat_support);
  o.addr("glb_sip_param.nat.nat_local_sip_addr", s.nat.nat_local_sip_addr);
  o.num("glb_sip_param.get_sip_header_bfi", s.get_sip_header_bfi);
  o.addr("glb_sip_param.outbound_proxy", s.outbound_proxy);
  o.addr("glb_sip_param.registrar_addr", s.registrar_addr);
  const auto& t = p.glb_trc_param;
  o.num("glb_trc_param.event.display_event_bfi", t.event.display_event_bfi);
  o.num("glb_trc_param.event.flag_display_progress_bar", t.event.flag_display_progress_bar);
  o.num("glb_trc_param.event.record_event_bfi", t.event.record_event_bfi);
  o.txt("glb_trc_param.event.sz_fname_event", t.event.sz_fname_event);
  o.num("glb_trc_param.event.nb_of_multiple_event_files", t.event.nb_of_multiple_event_files);
  o.num("glb_trc_param.event.max_length_of_event_file", t.event.max_length_of_event_file);
  o.txt("glb_trc_param.audit.sz_fname_audit", t.audit.sz_fname_audit);
  o.num("glb_trc_param.audit.nb_of_multiple_audit_files", t.audit.nb_of_multiple_audit_files);
  o.num("glb_trc_param.audit.max_length_of_audit_file", t.audit.max_length_of_audit_file);
  for (std::size_t k = 0; k < FOIP__DCOD__NB_FILTER; ++k) {
    const auto& f = t.audit.audit_filter[k];
    std::string n = "glb_trc_param.audit.audit_filter[" + std::to_string(k) + "]";
    o.num(n + ".item_mode", f.item_mode);
    if (f.item_mode == FOIP__DCOD__FILTER_LAST_ITEM) break;
    o.num(n + ".from", f.from);
    o.num(n + ".to", f.to);
    o.chr(n + ".code", f.code);
    o.txt(n + ".sz_from", f.sz_from);
    o.txt(n + ".sz_to", f.sz_to);
    o.txt(n + ".sz_code", f.sz_code);
  }
  o.num("glb_trc_param.stat.statistic_mode", t.stat.statistic_mode);
  return o.str();
}

std::string dump(const foip__session_param& p) {
  out o;
  const auto& g = p.session_general_param;
  o.chr("session_general_param.kind_of_session", g.kind_of_session);
  o.num("session_general_param.direction", g.direction);
  o.num("session_general_param.nai", g.nai);
  o.chr("session_general_param.kind_of_t38_transport", g.kind_of_t38_transport);
  o.num("session_general_param.t38iaf_enh.flag_iaf_equipement", g.t38iaf_enh.flag_iaf_equipement);
  o.num("session_general_param.t38iaf_enh.udp_ip_data_rate_bps", g.t38iaf_enh.udp_ip_data_rate_bps);
  o.num("session_general_param.t38iaf_enh.tcp_ip_data_rate_bps", g.t38iaf_enh.tcp_ip_data_rate_bps);
  o.num("session_general_param.start_t38_session_ms", g.start_t38_session_ms);
  o.num("session_general_param.delay_wait_eof_t30_session", g.delay_wait_eof_t30_session);
  o.num("session_general_param.tag_dbg_field_are_loaded", g.tag_dbg_field_are_loaded);
  o.num("session_general_param.dbg_field1", g.dbg_field1);
  o.num("session_general_param.dbg_field2", g.dbg_field2);
  o.addr("sip_session_param.remote_sip_addr", p.sip_session_param.remote_sip_addr);
  o.auth("sip_session_param.sip_authentication", p.sip_session_param.sip_authentication);
  o.t38_cap("t38_capabilites_param.udptl_param", p.t38_capabilites_param.udptl_param);
  o.t38_cap("t38_capabilites_param.tpkt_param", p.t38_capabilites_param.tpkt_param);
  o.t38_cap("overwrite_lcl_t38_cap.udptl_param", p.overwrite_lcl_t38_cap.udptl_param);
  o.t38_cap("overwrite_lcl_t38_cap.tpkt_param", p.overwrite_lcl_t38_cap.tpkt_param);
  const auto& id = p.t38_media_add_param.sip_media_identification;
  const std::string m = "t38_media_add_param.sip_media_identification.";
  o.num(m + "local_user_identification", id.local_user_identification);
  o.num(m + "flag_invite_in__no_filter", id.flag_invite_in__no_filter);
  o.txt(m + "sz_local_user_name", id.sz_local_user_name);
  o.txt(m + "sz_local_user_phone_number", id.sz_local_user_phone_number);
  o.num(m + "remote_user_identification", id.remote_user_identification);
  o.txt(m + "sz_remote_user_name", id.sz_remote_user_name);
  o.txt(m + "sz_remote_user_phone_number", id.sz_remote_user_phone_number);
  const auto& lm = p.t38_media_add_param.local_media_add;
  o.addr("t38_media_add_param.local_media_add.local_media_ip_addr", lm.local_media_ip_addr);
  o.addr("t38_media_add_param.local_media_add.nat_local_media_ip_addr", lm.nat_local_media_ip_addr);
  o.num("t38_media_add_param.local_media_add.upd_local_media_port_rules", lm.upd_local_media_port_rules);
  const auto& f = p.fax_common_param;
  o.txt("fax_common_param.fax_id", f.fax_id);
  o.num("fax_common_param.max_speed", f.max_speed);
  o.num("fax_common_param.min_speed", f.min_speed);
  o.num("fax_common_param.keep_bit_order__rx", f.keep_bit_order__rx);
  o.txt("fax_common_param.sz_fname_tiff_tmp_pg", f.sz_fname_tiff_tmp_pg);
  o.num("fax_common_param.rx_max_fax_cap.ecm_frame_size", f.rx_max_fax_cap.ecm_frame_size);
  o.num("fax_common_param.rx_max_fax_cap.pg_encoding", f.rx_max_fax_cap.pg_encoding);
  o.num("fax_common_param.rx_max_fax_cap.pg_resolution", f.rx_max_fax_cap.pg_resolution);
  o.num("fax_common_param.rx_max_fax_cap.pg_width_mm", f.rx_max_fax_cap.pg_width_mm);
  o.num("fax_common_param.rx_max_fax_cap.pg_length", f.rx_max_fax_cap.pg_length);
  o.num("fax_common_param.tx_wished_fax_cap.ecm_frame_size", f.tx_wished_fax_cap.ecm_frame_size);
  o.num("fax_common_param.tx_wished_fax_cap.pg_encoding", f.tx_wished_fax_cap.pg_encoding);
  const auto& s = p.fax_send_pg;
  o.num("fax_send_pg.cnt_send_test", s.cnt_send_test);
  for (std::size_t k = 0; k < FOIP__MAX_SND_TIFF_FILE && s.sz_tiff_fname_fax_pg[k][0] != '\0'; ++k)
    o.txt("fax_send_pg.sz_tiff_fname_fax_pg[" + std::to_string(k) + "]", s.sz_tiff_fname_fax_pg[k]);
  o.num("fax_send_pg.tx_fax_page_settings.line_padding_mode", s.tx_fax_page_settings.line_padding_mode);
  o.txt("fax_send_pg.tx_fax_page_settings.sz_pg_header", s.tx_fax_page_settings.sz_pg_header);
  o.num("fax_send_pg.tx_fax_page_settings.bmp_top_margin_pels", s.tx_fax_page_settings.bmp_top_margin_pels);
  const auto& rc = p.fax_rcv_pg;
  o.txt("fax_rcv_pg.sz_tiff_fname_rcv_fax_pg", rc.sz_tiff_fname_rcv_fax_pg);
  o.num("fax_rcv_pg.usr_val", rc.usr_val);
  o.num("fax_rcv_pg.max_rx_nb_page", rc.max_rx_nb_page);
  o.num("fax_rcv_pg.max_rx_fax_data_size", rc.max_rx_fax_data_size);
  const auto& t = p.trc_param;
  o.num("trc_param.event.display_event_bfi", t.event.display_event_bfi);
  o.num("trc_param.event.record_event_bfi", t.event.record_event_bfi);
  o.txt("trc_param.event.sz_fname_event", t.event.sz_fname_event);
  o.num("trc_param.event.nb_of_multiple_event_files", t.event.nb_of_multiple_event_files);
  o.num("trc_param.event.max_length_of_event_file", t.event.max_length_of_event_file);
  o.num("trc_param.event.t38_event_bfi", t.event.t38_event_bfi);
  o.txt("trc_param.audit.sz_fname_audit", t.audit.sz_fname_audit);
  o.num("trc_param.audit.nb_of_multiple_audit_files", t.audit.nb_of_multiple_audit_files);
  o.num("trc_param.audit.max_length_of_audit_file", t.audit.max_length_of_audit_file);
  o.num("trc_param.audit.append_audit_file", t.audit.append_audit_file);
  const auto& x = t.t38_trc;
  o.txt("trc_param.t38_trc.sz_fname_t38_trc", x.sz_fname_t38_trc);
  o.num("trc_param.t38_trc.nb_of_multiple_t38_trc_files", x.nb_of_multiple_t38_trc_files);
  o.num("trc_param.t38_trc.max_length_of_t38_trc_file", x.max_length_of_t38_trc_file);
  o.num("trc_param.t38_trc.append_t38_trc_file", x.append_t38_trc_file);
  o.num("trc_param.t38_trc.t38_trc_bfi", x.t38_trc_bfi);
  o.num("trc_param.t38_trc.max_byte_asn1_hex", x.max_byte_asn1_hex);
  o.num("trc_param.t38_trc.flag_full_t38_pck_dsp", x.flag_full_t38_pck_dsp);
  o.num("trc_param.t38_trc.max_byte_t38_pck_hex", x.max_byte_t38_pck_hex);
  o.num("trc_param.t38_trc.max_byte_fax_hex", x.max_byte_fax_hex);
  o.num("trc_param.t38_trc.flag_kept_dfield_organization", x.flag_kept_dfield_organization);
  return o.str();
}

std::string dump(const foip__sip_register_param& p) {
  out o;
  o.num("reg.user_identification", p.user_identification);
  o.txt("reg.sz_user_name", p.sz_user_name);
  o.txt("reg.sz_user_phone_number", p.sz_user_phone_number);
  o.addr("reg.registered_addr", p.registered_addr);
  o.num("reg.registering.user_identification", p.registering.user_identification);
  o.txt("reg.registering.sz_user_name", p.registering.sz_user_name);
  o.txt("reg.registering.sz_user_phone_number", p.registering.sz_user_phone_number);
  o.addr("reg.registering.addr", p.registering.addr);
  o.num("reg.expires_sec", p.expires_sec);
  o.auth("reg.sip_authentication", p.sip_authentication);
  o.num("reg.flag_snd_sip_register_to_registrar", p.flag_snd_sip_register_to_registrar);
  return o.str();
}

std::string dump(const app_foip_cnf__session& s) {
  out o;
  o.num("nai", s.nai);
  o.num("ref_nai", s.ref_nai);
  o.num("index", s.index);
  o.num("start_delay", s.start_delay);
  o.txt("file_name", s.file_name);
  o.num("direction", s.cfg.direction);
  o.num("rotation_base", s.cfg.rotation_base);
  o.num("register_wanted", s.cfg.register_wanted);
  return o.str() + dump(s.cfg.reg) + dump(s.cfg.param);
}

std::string dump(const app_foip_cnf__setup& s) {
  out o;
  o.num("paragraph_found", s.paragraph_found);
  o.num("has_local_sip_port", s.has_local_sip_port);
  o.num("local_sip_port", s.local_sip_port);
  o.num("has_local_ip", s.has_local_ip);
  const u8* b = reinterpret_cast<const u8*>(&s.local_ip);
  o.txt("local_ip",
        (std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." + std::to_string(b[3]))
            .c_str());
  o.num("max_sessions", s.max_sessions);
  o.num("has_speed", s.has_speed);
  o.num("speed", s.speed);
  o.num("has_gateway_ip", s.has_gateway_ip);
  o.num("has_gateway_port", s.has_gateway_port);
  o.num("gateway_port", s.gateway_port);
  o.num("has_user_name", s.has_user_name);
  o.txt("user_name", s.user_name);
  o.num("has_password", s.has_password);
  o.txt("password", s.password);
  o.num("media_port_start", s.media_port_start);
  o.num("has_registrar_ip", s.has_registrar_ip);
  o.num("has_registrar_port", s.has_registrar_port);
  o.num("registrar_port", s.registrar_port);
  o.num("called_digits_offset", s.called_digits_offset);
  return o.str();
}

}  // namespace cfg_test
