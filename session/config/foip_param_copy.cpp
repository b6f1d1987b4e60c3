// The session copy: a session's value table -> its FOIP parameters, direction
// and registration settings, as one table of bindings and rules.
#include "session/config/foip_param_copy.h"

#include <array>
#include <cstdio>
#include <cstring>

#include "session/config/app_foip_ini.h"
#include "session/config/app_foip_session_cfg.h"
#include "session/config/foip_param_bind.h"

namespace {
using namespace param_copy;

// Session copy: a session's value table -> its FOIP parameters, direction and
// registration settings.

struct session_targets {
  app_foip_ini__session_values& record;
  foip__session_param& p;
  const foip__global_param& glb;
  const char *send_path = nullptr, *rcv_path = nullptr, *trace_path = nullptr, *tmp_path = nullptr;
  bool uses_udp = false, uses_tcp = false;
  std::size_t pages = 0;
};
using S = session_targets;

namespace session_rules {
using namespace session_cfg;

// Every session is an IAF session.
bool iaf_session(copier& c, S& t) {
  c.wr_id(kind_of_session, 73);
  t.p.session_general_param.kind_of_session = 'I';
  return true;
}

// The transports in use, the start delay and the path prefixes.
bool transports_and_paths(copier& c, S& t) {
  auto& gen = t.p.session_general_param;
  t.uses_udp = gen.kind_of_t38_transport != 'T';
  t.uses_tcp = gen.kind_of_t38_transport != 'U';
  gen.start_t38_session_ms = 0;
  return c.rd_file(path_of_fax_pages_to_send, t.send_path) && c.rd_file(path_of_rcv_fax_pages, t.rcv_path) &&
         c.rd_file(path_of_trace_files, t.trace_path) && c.rd_file(path_of_tiff_temporary_files, t.tmp_path);
}

// IAF enhanced: the data rates of the transports in use.
bool iaf_rates(copier& c, S& t) {
  auto& iaf = t.p.session_general_param.t38iaf_enh;
  iaf.udp_ip_data_rate_bps = iaf.tcp_ip_data_rate_bps = 0;
  if (iaf.flag_iaf_equipement == 0) {
    c.ignore_all({udp_ip_data_rate, tcp_flow_control, tcp_ip_data_rate});
    return true;
  }
  if (!t.uses_udp) c.ignore(udp_ip_data_rate);
  else if (!c.rd_num(udp_ip_data_rate, iaf.udp_ip_data_rate_bps)) return false;
  if (!t.uses_tcp) c.ignore(tcp_ip_data_rate);
  else if (!c.rd_num(tcp_ip_data_rate, iaf.tcp_ip_data_rate_bps)) return false;
  return true;
}

// Authentication: all three texts or none.
bool authentication(copier& c, S& t) {
  auto& auth = t.p.sip_session_param.sip_authentication;
  const char *user = nullptr, *password = nullptr, *realm = nullptr;
  if (!c.rd_string(auth_user_name, user) || !c.rd_string(auth_password, password) || !c.rd_string(auth_realm, realm))
    return false;
  foip__copy_text(auth.sz_user_name, user);
  foip__copy_text(auth.sz_user_password, password);
  foip__copy_text(auth.sz_realm, realm);
  if (empty_text(user) || empty_text(password) || empty_text(realm)) {
    auth = foip__sip_authentication{};
    c.wr_string(auth_user_name, "");
    c.wr_string(auth_password, "");
    c.wr_string(auth_realm, "");
  } else {
    auth.flag_enable = 1;
  }
  return true;
}

// T.38 capability keywords: any kind, undefined as 0, cut to the field.
template <auto... M>
constexpr row<S> cap(u16 id, u16 bit) {
  row<S> r{id, conv::any, [](S& t) { return field_ref::of((t.p .* ... .* M)); }, IF_UNDEFINED | NARROW, 0, 5};
  r.bit = bit;
  return r;
}
constexpr auto kRem = &foip__session_param::t38_capabilites_param;
constexpr auto kLcl = &foip__session_param::overwrite_lcl_t38_cap;
constexpr auto kRemUdp = &foip__t38_capabilites_param::udptl_param;
constexpr auto kRemTcp = &foip__t38_capabilites_param::tpkt_param;
constexpr auto kLclUdp = &foip__overwrite_lcl_t38_cap::udptl_param;
constexpr auto kLclTcp = &foip__overwrite_lcl_t38_cap::tpkt_param;
using RU = foip__t38_udptl_cap;
using RT = foip__t38_tpkt_cap;
using LU = foip__lcl_udptl_cap;
using LT = foip__lcl_tpkt_cap;

// The capability keywords of one capability record, whose ids follow one
// another from `first` in the order of the record's fields: the six of both
// transports, then the three UDPTL adds.
template <auto Part, auto Transport, class Cap>
constexpr auto cap_rows(u16 first) {
  constexpr bool udptl = requires(const Cap& c) { c.udp_ec; };
  const auto id = [first](int i) { return static_cast<u16>(first + i); };
  std::array<row<S>, udptl ? 9 : 6> rows{};
  rows[0] = cap<Part, Transport, &Cap::t38_version>(id(0), FOIP__T38_CAP_VERSION);
  rows[1] = cap<Part, Transport, &Cap::fax_max_bit_rate>(id(1), FOIP__T38_CAP_MAX_BIT_RATE);
  rows[2] = cap<Part, Transport, &Cap::drate_mgt_method>(id(2), FOIP__T38_CAP_RATE_MANAGEMENT);
  rows[3] = cap<Part, Transport, &Cap::remove_fill_bits_t4>(id(3), FOIP__T38_CAP_FILL_BIT_REMOVAL);
  rows[4] = cap<Part, Transport, &Cap::transcode_mmr>(id(4), FOIP__T38_CAP_TRANSCODING_MMR);
  rows[5] = cap<Part, Transport, &Cap::transcode_jbig>(id(5), FOIP__T38_CAP_TRANSCODING_JBIG);
  if constexpr (udptl) {
    rows[6] = cap<Part, Transport, &Cap::fax_max_buffer_size>(id(6), FOIP__T38_CAP_MAX_BUFFER);
    rows[7] = cap<Part, Transport, &Cap::max_datagram_size>(id(7), FOIP__T38_CAP_MAX_DATAGRAM);
    rows[8] = cap<Part, Transport, &Cap::udp_ec>(id(8), FOIP__T38_CAP_UDP_EC);
  }
  return rows;
}

constexpr auto kRemoteUdpCaps = cap_rows<kRem, kRemUdp, RU>(rem_udp_t38_version);
constexpr auto kRemoteTcpCaps = cap_rows<kRem, kRemTcp, RT>(rem_tcp_t38_version);
constexpr auto kLocalUdpCaps = cap_rows<kLcl, kLclUdp, LU>(lcl_udp_t38_version);
constexpr auto kLocalTcpCaps = cap_rows<kLcl, kLclTcp, LT>(lcl_tcp_t38_version);
static_assert(kRemoteUdpCaps.back().id == rem_udp_ec && kRemoteTcpCaps.back().id == rem_tcp_transcoding_jbig &&
                  kLocalUdpCaps.back().id == lcl_udp_ec && kLocalTcpCaps.back().id == lcl_tcp_transcoding_jbig,
              "the capability ids of a record follow one another in the order of its fields");

// Test mode: remote capabilities forced whatever the peer offers.
constexpr row<S> kForceUdp{
    rem_udp_force_cap, conv::bfi,
    [](S& t) { return field_ref::of(t.p.t38_capabilites_param.udptl_param.test_mode__force_t38_rem_cap_bfi); },
    IF_UNDEFINED};
constexpr row<S> kForceTcp{
    rem_tcp_force_cap, conv::bfi,
    [](S& t) { return field_ref::of(t.p.t38_capabilites_param.tpkt_param.test_mode__force_t38_rem_cap_bfi); },
    IF_UNDEFINED};

// A list of capability keywords: the bits of those the file set; the local
// ones that it did not set are set ignored.
template <std::size_t N>
bool copy_caps(copier& c, S& t, const std::array<row<S>, N>& rows, u16& use_bfi, bool local) {
  use_bfi = 0;
  for (const row<S>& r : rows) {
    u8 st = 0;
    if (!bind(c, r, t, &st)) return false;
    if (st == INI_TOOLS__USER) use_bfi = static_cast<u16>(use_bfi | r.bit);
    else if (local) c.ignore(r.id);
  }
  return true;
}

// The capability keywords of one transport: copied when it is in use, else
// set ignored.
template <std::size_t R, std::size_t L>
bool transport_caps(copier& c, S& t, bool used, const std::array<row<S>, R>& remote, const row<S>& force,
                    const std::array<row<S>, L>& local, u16& remote_bfi, u16& local_bfi) {
  if (!used) {
    ignore_rows(c, remote);
    c.ignore(force.id);
    ignore_rows(c, local);
    return true;
  }
  return copy_caps(c, t, remote, remote_bfi, false) && bind(c, force, t) && copy_caps(c, t, local, local_bfi, true);
}

// T.38 capabilities of the transports in use; the others set ignored.
bool t38_caps(copier& c, S& t) {
  auto& r = t.p.t38_capabilites_param;
  auto& l = t.p.overwrite_lcl_t38_cap;
  r = foip__t38_capabilites_param{};
  l = foip__overwrite_lcl_t38_cap{};
  return transport_caps(c, t, t.uses_udp, kRemoteUdpCaps, kForceUdp, kLocalUdpCaps, r.udptl_param.use_t38_cap_bfi,
                        l.udptl_param.use_t38_cap_bfi) &&
         transport_caps(c, t, t.uses_tcp, kRemoteTcpCaps, kForceTcp, kLocalTcpCaps, r.tpkt_param.use_t38_cap_bfi,
                        l.tpkt_param.use_t38_cap_bfi);
}

bool local_user_named(copier& c, S& t) {
  const char* text = nullptr;
  if (!c.rd_string(session_cfg::local_user_name, text)) return false;
  if (empty_text(text)) return c.refuse(6, "\"%s\" is empty", "sz_local_user_name");
  foip__copy_text(t.p.t38_media_add_param.sip_media_identification.sz_local_user_name, text);
  return true;
}

// Local media address (the host's own when empty); a port held by the
// record (a rotation) is kept.  With NAT, its media address.
bool local_media(copier& c, S& t) {
  auto& media = t.p.t38_media_add_param.local_media_add;
  u32 n = 0;
  const u16 held_port = media.local_media_ip_addr.ip_port;
  if (!addr_pair(c, 7, local_media_domain_name, local_media_ip_address, "local_media_ip_addr.sz_fqdn",
                 "local_media_ip_addr.ip_addr.addr.vX", media.local_media_ip_addr, held_port))
    return false;
  if (held_port == 0) {
    if (!c.rd_num(local_media_port, n)) return false;
    media.local_media_ip_addr.ip_port = static_cast<u16>(n);
    t.record.rotation_base = static_cast<u16>(n);
  }
  if (t.glb.glb_sip_param.nat.flag_nat_support == 0) {
    c.ignore_all({nat_local_media_domain_name, nat_local_media_ip_address, nat_local_media_port});
    foip__clear_addr(media.nat_local_media_ip_addr);
    return true;
  }
  if (!c.rd_num(nat_local_media_port, n)) return false;
  return addr_pair(c, 7, nat_local_media_domain_name, nat_local_media_ip_address, "nat_local_media_ip_addr.sz_fqdn",
                   "nat_local_media_ip_addr.ip_addr.addr.vX", media.nat_local_media_ip_addr, static_cast<u16>(n));
}

bool clear_registration(copier&, S& t) {
  t.record.reg = foip__sip_register_param{};
  return true;
}

// The registered user: by phone number, by name, or the local user's.
bool registered_user(copier& c, S& t) {
  auto& reg = t.record.reg;
  const auto& ident = t.p.t38_media_add_param.sip_media_identification;
  const char* text = nullptr;
  u16 id = 0;
  u8 st = 0;
  if (!c.rd_id(user_identification, id, &st) || !c.required(8, user_identification, st)) return false;
  reg.user_identification = static_cast<u8>(id);
  if (id == FOIP__USR_ID__PHONE_NUMBER) {
    constexpr row<S> phone{user_phone_number, conv::phone,
                           [](S& s) { return field_ref::of(s.record.reg.sz_user_phone_number); }};
    if (!bind(c, phone, t)) return false;
    c.ignore(user_name);
  } else if (id == FOIP__USR_ID__NAME) {
    if (!c.rd_string(user_name, text)) return false;
    foip__copy_text(reg.sz_user_name, text);
    c.ignore(user_phone_number);
  } else {
    reg.user_identification = ident.local_user_identification;
    foip__copy_text(reg.sz_user_name, ident.sz_local_user_name);
    foip__copy_text(reg.sz_user_phone_number, ident.sz_local_user_phone_number);
    c.wr_string(user_name, reg.sz_user_name);
    c.wr_string(user_phone_number, reg.sz_user_phone_number);
  }
  return addr_pair(c, 8, registered_domain_name, registered_ip_address, "registered_addr.sz_fqdn",
                   "registered_addr.ip_addr.addr.vX", reg.registered_addr, 0);
}

// "Registering user_identification" = "no registering".
constexpr u16 kNoRegistering = 3;

// The registering party, unless "no registering".
bool registering(copier& c, S& t) {
  auto& r = t.record.reg.registering;
  u16 id = 0;
  if (!c.rd_id(registering_user_identification, id)) return false;
  r.user_identification = static_cast<u8>(id);
  foip__clear_addr(r.addr);
  if (id == kNoRegistering) {
    c.ignore_all({registering_user_name, registering_user_phone_number, registering_domain_name, registering_ip_address,
                  registering_port});
    return true;
  }
  constexpr row<S> kRows[] = {
      {registering_user_name, conv::text, [](S& s) { return field_ref::of(s.record.reg.registering.sz_user_name); }},
      {registering_user_phone_number, conv::phone,
       [](S& s) { return field_ref::of(s.record.reg.registering.sz_user_phone_number); }},
  };
  if (!copy_rows(c, kRows, t)) return false;
  const char* fqdn = nullptr;
  ini_tools__ip ip;
  u32 n = 0;
  if (!c.rd_string(registering_domain_name, fqdn) || !c.rd_ip(registering_ip_address, ip) ||
      !c.rd_num(registering_port, n))
    return false;
  if (!empty_text(fqdn) && has_ip(ip))
    return c.refuse(8, "\"%s\" and \"%s\" are both defined", "registering.addr.sz_fqdn",
                    "registering.addr.ip_addr.addr.vX");
  set_addr(r.addr, fqdn, ip, static_cast<u16>(n));
  return true;
}

// The session's authentication is used only when it is complete.
bool registration_authentication(copier& c, S& t) {
  const auto& auth = t.p.sip_session_param.sip_authentication;
  u8 use = 0;
  if (!c.rd_bool(use_authentication_parameters, use)) return false;
  if (use == 1) {
    if (empty_text(auth.sz_user_name) || empty_text(auth.sz_user_password) || empty_text(auth.sz_realm))
      c.wr_bool(use_authentication_parameters, 0);
    else t.record.reg.sip_authentication = auth;
  }
  return true;
}

// SIP registration, when the session asks for it.
bool registration(copier& c, S& t) {
  if (t.record.register_wanted == 0) {
    c.ignore_all({user_identification, user_name, user_phone_number, registered_domain_name, registered_ip_address,
                  registering_user_identification, registering_user_name, registering_user_phone_number,
                  registering_domain_name, registering_ip_address, registering_port, register_expire_delay,
                  use_authentication_parameters, send_sip_register_to_registrar});
    return true;
  }
  constexpr row<S> kRows[] = {
      rule<S>(registered_user),
      rule<S>(registering),
      {register_expire_delay, conv::num, [](S& s) { return field_ref::of(s.record.reg.expires_sec); }},
      rule<S>(registration_authentication),
      {send_sip_register_to_registrar, conv::flag,
       [](S& s) { return field_ref::of(s.record.reg.flag_snd_sip_register_to_registrar); }},
  };
  return copy_rows(c, kRows, t);
}

// The fax identification, blank-padded to 20 characters.
bool fax_identification(copier& c, S& t) {
  auto& fax = t.p.fax_common_param;
  const char* text = nullptr;
  if (!c.rd_string(fax_id, text)) return false;
  if (empty_text(text)) fax.fax_id[0] = '\0';
  else (void)std::snprintf(fax.fax_id, sizeof fax.fax_id, "%-20.20s", text);
  return true;
}

// The temporary page file (a default name when empty), with its path.
bool temporary_page_file(copier& c, S& t) {
  const char* text = nullptr;
  if (!c.rd_file(temporary_tiff_file_name, text)) return false;
  if (empty_text(text)) {
    c.wr_file(temporary_tiff_file_name, "default_tmp_pg_na%d.%d");
    if (!c.rd_file(temporary_tiff_file_name, text)) return false;
  }
  return c.prefixed(9, temporary_tiff_file_name, t.tmp_path, text, t.p.fax_common_param.sz_fname_tiff_tmp_pg);
}

// Pages to send: the page settings and the page files, with their path.
bool pages_to_send(copier& c, S& t) {
  auto& send = t.p.fax_send_pg;
  std::memset(send.sz_tiff_fname_fax_pg, 0, sizeof send.sz_tiff_fname_fax_pg);
  u32 n = 0;
  if (!c.rd_num(counter_send, n)) return false;
  send.cnt_send_test = static_cast<u16>(n);
  t.pages = 0;
  if (n == 0) {
    c.ignore_all({page_header, bmp_top_margin, line_padding_mode});
    return true;
  }
  constexpr row<S> kRows[] = {
      {page_header, conv::text, [](S& s) { return field_ref::of(s.p.fax_send_pg.tx_fax_page_settings.sz_pg_header); }},
      {bmp_top_margin, conv::num,
       [](S& s) { return field_ref::of(s.p.fax_send_pg.tx_fax_page_settings.bmp_top_margin_pels); }},
      {line_padding_mode, conv::id,
       [](S& s) { return field_ref::of(s.p.fax_send_pg.tx_fax_page_settings.line_padding_mode); }},
  };
  if (!copy_rows(c, kRows, t)) return false;
  const u16 elements = c.element_count(page_tiff_file_name);
  for (u16 k = 0; k < elements && t.pages < FOIP__MAX_SND_TIFF_FILE; ++k) {
    const char* text = nullptr;
    if (!c.rd_file(page_tiff_file_name, text, nullptr, k)) return false;
    if (empty_text(text)) continue;
    if (!c.prefixed(10, page_tiff_file_name, t.send_path, text, send.sz_tiff_fname_fax_pg[t.pages], k)) return false;
    ++t.pages;
    c.ignore_all({page_encoding, page_resolution, page_width, page_length}, k);
  }
  return true;
}

bool received_page_file(copier& c, S& t) {
  const char* text = nullptr;
  auto& rcv = t.p.fax_rcv_pg;
  return c.rd_file(rcv_tiff_file_name, text) &&
         c.prefixed(11, rcv_tiff_file_name, t.rcv_path, text, rcv.sz_tiff_fname_rcv_fax_pg);
}

// Pages to send or a file to receive into, not both: the direction.
bool session_direction(copier& c, S& t) {
  t.p.fax_rcv_pg.usr_val = 0;
  const bool receives = t.p.fax_rcv_pg.sz_tiff_fname_rcv_fax_pg[0] != '\0';
  if (t.pages == 0 && !receives) return c.refuse(12, "[[Fax Page sent]] and [FAX Receive page] array not initialized");
  if (t.pages != 0 && receives) return c.refuse(12, "[[Fax Page sent]] and [FAX Receive page] array initialized");
  t.record.direction = t.pages != 0 ? FOIP__DIR_OUT : FOIP__DIR_IN;
  return true;
}

// The remote SIP address of a sending session.
bool remote_sip(copier& c, S& t) {
  auto& remote = t.p.sip_session_param.remote_sip_addr;
  if (t.record.direction == FOIP__DIR_IN) {
    c.ignore_all({remote_sip_domain_name, remote_sip_ip_address, remote_sip_port});
    foip__clear_addr(remote);
    return true;
  }
  u32 n = 0;
  if (!c.rd_num(remote_sip_port, n)) return false;
  return addr_pair(c, 13, remote_sip_domain_name, remote_sip_ip_address, "remote_sip_addr.sz_fqdn",
                   "remote_sip_addr.ip_addr.addr.vX", remote, static_cast<u16>(n));
}

// The three trace files, with the path of the trace files.
bool trace_files(copier& c, S& t) {
  auto& trc = t.p.trc_param;
  const char* text = nullptr;
  return c.rd_file(event_file_name, text) &&
         c.prefixed(14, event_file_name, t.trace_path, text, trc.event.sz_fname_event) &&
         c.rd_file(audit_file_name, text) &&
         c.prefixed(14, audit_file_name, t.trace_path, text, trc.audit.sz_fname_audit) &&
         c.rd_file(t38_trace_file_name, text) &&
         c.prefixed(14, t38_trace_file_name, t.trace_path, text, trc.t38_trc.sz_fname_t38_trc);
}

// Event classes and T.38 lists: T.38 events only when T.38 events are shown
// or recorded; the T.38 traces without the bits this system does not trace.
bool event_lists(copier& c, S& t) {
  auto& trc = t.p.trc_param;
  u32 display = 0, record_bits = 0, t38_events = 0, t38_list = 0;
  if (!c.rd_bfi(display_event, display) || !c.rd_bfi(record_event, record_bits) ||
      !c.rd_bfi(list_of_t38_events, t38_events) || !c.rd_bfi(t38_trace_list, t38_list))
    return false;
  trc.event.display_event_bfi = static_cast<u16>(display);
  trc.event.record_event_bfi = static_cast<u16>(record_bits);
  if (((display | record_bits) & 4) == 0 && t38_events != 0) {
    t38_events = 0;
    c.wr_bfi(list_of_t38_events, 0);
  }
  trc.event.t38_event_bfi = t38_events;
  if ((t38_list & 0xA0610) != 0) {
    t38_list &= ~u32(0xA0610);
    c.wr_bfi(t38_trace_list, t38_list);
  }
  trc.t38_trc.t38_trc_bfi = t38_list;
  return true;
}

}  // namespace session_rules

namespace session_rows {
using namespace session_cfg;
using namespace session_rules;

// A trace size or count: undefined gives `undefined`, cut to its field.
constexpr u8 kTraceNumber = IF_UNDEFINED | NARROW;

constexpr row<S> kRows[] = {
    rule<S>(iaf_session),
    {kind_of_t38_transport, conv::id,
     [](S& t) { return field_ref::of(t.p.session_general_param.kind_of_t38_transport); }},
    {delay_end_of_fax_session, conv::num,
     [](S& t) { return field_ref::of(t.p.session_general_param.delay_wait_eof_t30_session); }},
    rule<S>(transports_and_paths),
    {iaf_equipment, conv::flag,
     [](S& t) { return field_ref::of(t.p.session_general_param.t38iaf_enh.flag_iaf_equipement); }},
    rule<S>(iaf_rates),
    rule<S>(authentication),
    rule<S>(t38_caps),
    {local_user_identification, conv::id,
     [](S& t) { return field_ref::of(t.p.t38_media_add_param.sip_media_identification.local_user_identification); }},
    {incoming_call_no_filter, conv::flag,
     [](S& t) { return field_ref::of(t.p.t38_media_add_param.sip_media_identification.flag_invite_in__no_filter); }},
    rule<S>(local_user_named),
    {local_user_phone_number, conv::phone,
     [](S& t) { return field_ref::of(t.p.t38_media_add_param.sip_media_identification.sz_local_user_phone_number); }},
    {remote_user_identification, conv::id,
     [](S& t) { return field_ref::of(t.p.t38_media_add_param.sip_media_identification.remote_user_identification); }},
    {remote_user_name, conv::text,
     [](S& t) { return field_ref::of(t.p.t38_media_add_param.sip_media_identification.sz_remote_user_name); }},
    {remote_user_phone_number, conv::phone,
     [](S& t) { return field_ref::of(t.p.t38_media_add_param.sip_media_identification.sz_remote_user_phone_number); }},
    rule<S>(local_media),
    {update_media_port_rules, conv::bfi,
     [](S& t) { return field_ref::of(t.p.t38_media_add_param.local_media_add.upd_local_media_port_rules); }},
    rule<S>(clear_registration),
    {send_sip_register, conv::flag, [](S& t) { return field_ref::of(t.record.register_wanted); }},
    rule<S>(registration),
    rule<S>(fax_identification),
    {max_speed, conv::id, [](S& t) { return field_ref::of(t.p.fax_common_param.max_speed); }},
    {min_speed, conv::id, [](S& t) { return field_ref::of(t.p.fax_common_param.min_speed); }},
    {rx_ecm_frame_size, conv::id,
     [](S& t) { return field_ref::of(t.p.fax_common_param.rx_max_fax_cap.ecm_frame_size); }},
    {rx_page_width, conv::id, [](S& t) { return field_ref::of(t.p.fax_common_param.rx_max_fax_cap.pg_width_mm); }},
    {rx_page_length, conv::id, [](S& t) { return field_ref::of(t.p.fax_common_param.rx_max_fax_cap.pg_length); }},
    {tx_wished_ecm_frame_size, conv::id,
     [](S& t) { return field_ref::of(t.p.fax_common_param.tx_wished_fax_cap.ecm_frame_size); }},
    {rx_page_algorithm, conv::bfi, [](S& t) { return field_ref::of(t.p.fax_common_param.rx_max_fax_cap.pg_encoding); }},
    {rx_page_resolution, conv::bfi,
     [](S& t) { return field_ref::of(t.p.fax_common_param.rx_max_fax_cap.pg_resolution); }},
    {tx_wished_page_algorithm, conv::bfi,
     [](S& t) { return field_ref::of(t.p.fax_common_param.tx_wished_fax_cap.pg_encoding); }},
    rule<S>(temporary_page_file),
    rule<S>(pages_to_send),
    rule<S>(received_page_file),
    {max_received_fax_pages, conv::num, [](S& t) { return field_ref::of(t.p.fax_rcv_pg.max_rx_nb_page); }},
    {max_received_fax_data, conv::num, [](S& t) { return field_ref::of(t.p.fax_rcv_pg.max_rx_fax_data_size); }},
    rule<S>(session_direction),
    rule<S>(remote_sip),
    rule<S>(trace_files),
    rule<S>(event_lists),
    {max_length_of_event_file, conv::num,
     [](S& t) { return field_ref::of(t.p.trc_param.event.max_length_of_event_file); }, kTraceNumber, 0, 14},
    {max_number_of_event_files, conv::num,
     [](S& t) { return field_ref::of(t.p.trc_param.event.nb_of_multiple_event_files); }, kTraceNumber, 5, 14},
    {max_length_of_audit_file, conv::num,
     [](S& t) { return field_ref::of(t.p.trc_param.audit.max_length_of_audit_file); }, kTraceNumber, 0, 14},
    {max_number_of_audit_files, conv::num,
     [](S& t) { return field_ref::of(t.p.trc_param.audit.nb_of_multiple_audit_files); }, kTraceNumber, 5, 14},
    {max_length_of_t38_trace_file, conv::num,
     [](S& t) { return field_ref::of(t.p.trc_param.t38_trc.max_length_of_t38_trc_file); }, kTraceNumber, 0, 14},
    {max_number_of_t38_trace_files, conv::num,
     [](S& t) { return field_ref::of(t.p.trc_param.t38_trc.nb_of_multiple_t38_trc_files); }, kTraceNumber, 5, 14},
    {t38_trace_max_asn1_bytes, conv::num, [](S& t) { return field_ref::of(t.p.trc_param.t38_trc.max_byte_asn1_hex); },
     kTraceNumber, 0, 14},
    {t38_trace_max_pck_bytes, conv::num, [](S& t) { return field_ref::of(t.p.trc_param.t38_trc.max_byte_t38_pck_hex); },
     kTraceNumber, 0, 14},
    {t38_trace_max_fax_data, conv::num, [](S& t) { return field_ref::of(t.p.trc_param.t38_trc.max_byte_fax_hex); },
     kTraceNumber, 0, 14},
    {append_audit_file, conv::flag, [](S& t) { return field_ref::of(t.p.trc_param.audit.append_audit_file); }},
    {append_t38_trace_file, conv::flag, [](S& t) { return field_ref::of(t.p.trc_param.t38_trc.append_t38_trc_file); }},
    {t38_trace_full_display, conv::flag,
     [](S& t) { return field_ref::of(t.p.trc_param.t38_trc.flag_full_t38_pck_dsp); }},
    {t38_trace_kept_dfield, conv::flag,
     [](S& t) { return field_ref::of(t.p.trc_param.t38_trc.flag_kept_dfield_organization); }},
    {tag_debug_field, conv::num,
     [](S& t) { return field_ref::of(t.p.session_general_param.tag_dbg_field_are_loaded); }},
    {debug_field_1, conv::num, [](S& t) { return field_ref::of(t.p.session_general_param.dbg_field1); }},
    {debug_field_2, conv::num, [](S& t) { return field_ref::of(t.p.session_general_param.dbg_field2); }},
};

}  // namespace session_rows
}  // namespace

void app_foip_ini__init_session_values(app_foip_ini__session_values& record) {
  record.values = app_foip_ini__new_session_table();
  record.direction = 0;
  record.rotation_base = 0;
  record.register_wanted = 0;
  record.reg = foip__sip_register_param{};
  record.param = foip__session_param{};
}

u8 app_foip_ini__copy_cnf_tbl_2_cnf_struct(ini_tools__value* table, app_foip_ini__session_values& record,
                                           const foip__global_param& glb) {
  return app_foip_ini__copy_cnf_tbl_2_cnf_struct(table, record, glb, app_foip_ini__error_monitor);
}

u8 app_foip_ini__copy_cnf_tbl_2_cnf_struct(ini_tools__value* table, app_foip_ini__session_values& record,
                                           const foip__global_param& glb, const ini_tools__error_cb& error_cb) {
  copier c(table, app_foip_ini__session_keywords, error_cb, "app_foip_ini_2 - app_foip_ini__copy_cnf_tbl_2_cnf_struct",
           128);
  S t{record, record.param, glb};
  return copy_rows(c, session_rows::kRows, t) ? APP_FOIP_INI__COPY_DONE : APP_FOIP_INI__COPY_REFUSED;
}
