// The global copy: glb.cfg's value table -> the global FOIP parameters and the
// application's own settings, as one table of bindings and rules.
#include <cstring>

#include "session/config/app_foip_glb_cfg.h"
#include "session/config/app_foip_ini.h"
#include "session/config/foip_param_bind.h"
#include "session/config/foip_param_copy.h"

namespace {
using namespace param_copy;

struct glb_targets {
  foip__global_param& out;
  app_foip_ini__app_settings& app;
  u32 no_audit = 0;  // the NO_AUDIT__NO_CHECKS bit of "assert control"
};
using G = glb_targets;

namespace glb_rules {
using namespace glb_cfg;

// Only NO_AUDIT__NO_CHECKS of "assert control" has an effect.
bool assert_bits(copier& c, G& t) {
  u32 bits = 0;
  u8 st = 0;
  if (!c.rd_bfi(assert_control, bits, &st)) return false;
  const u32 source = (st == INI_TOOLS__UNDEFINED || bits == 0) ? (get_trace_mask() & 0x801E) : bits;
  t.no_audit = source & APP_FOIP_INI__NO_AUDIT_NO_CHECKS;
  if (t.no_audit != bits) c.wr_bfi(assert_control, t.no_audit);
  return true;
}

// Sessions started or stopped at once, at most 62: General's keyword when the
// file set it, else the batch one.
bool simultaneous_starts(copier& c, G& t) {
  u32 n = 0;
  u8 st = 0;
  if (!c.rd_num(nb_simultaneous_start, n, &st)) return false;
  u16 used_id = nb_simultaneous_start;
  if (st == INI_TOOLS__USER) {
    c.ignore(batch_nb_simultaneous_start);
  } else {
    used_id = batch_nb_simultaneous_start;
    if (!c.rd_num(batch_nb_simultaneous_start, n)) return false;
  }
  if (n > FOIP__MAX_MEDIA_NA) {
    n = FOIP__MAX_MEDIA_NA;
    c.wr_num(used_id, n);
  }
  t.out.glb_common_param.nb_simultaneous_start_stop = static_cast<nai_t>(n);
  return true;
}

// A batch runs at least one session.
bool batch_limit(copier& c, G& t) {
  u32 n = 0;
  if (!c.rd_num(batch_session_counter, n)) return false;
  if (t.app.batch_mode == 1 && n == 0) {
    n = 1;
    c.wr_num(batch_session_counter, n);
  }
  t.app.batch_limit = static_cast<u16>(n);
  return true;
}

void auto_build_off(copier& c) {
  c.ignore_all({auto_build_number_of_sessions, auto_build_session_reference, auto_build_session_reference_2,
                auto_build_path_of_trace_files});
}

// A reference session of the automatic building: required, not empty,
// prefixed with the path of the session files.
bool auto_build_reference(copier& c, G& t, u16 id, char (&dest)[FOIP__FNAME_MAX_LEN]) {
  const char* name = nullptr;
  u8 st = 0;
  if (!c.rd_file(id, name, &st) || !c.required(6, id, st)) return false;
  if (empty_text(name)) return c.refuse(6, "\"%s\" is emptied", c.name(id));
  return c.prefixed(6, id, t.app.session_path, name, dest);
}

// Automatic session building: a count (even in Duplicate Loop; 62 sessions
// switch it off), one or two reference sessions and a trace path.
bool auto_build(copier& c, G& t) {
  auto& app = t.app;
  u16 mode = 0;
  u8 st = 0;
  if (!c.rd_id(auto_build_mode, mode, &st) || !c.required(6, auto_build_mode, st)) return false;
  app.auto_build_mode = static_cast<u8>(mode);
  app.auto_build_source_1[0] = app.auto_build_source_2[0] = app.auto_build_trace_path[0] = '\0';
  app.auto_build_count = 0;
  if (app.auto_build_mode == 0) {
    auto_build_off(c);
    return true;
  }
  u32 count = 0;
  if (!c.rd_num(auto_build_number_of_sessions, count)) return false;
  const u32 wanted = count;
  if (app.auto_build_mode == 2 && (count & 1) != 0) ++count;
  if (count > FOIP__MAX_MEDIA_NA) count = FOIP__MAX_MEDIA_NA;
  if (count != wanted) c.wr_num(auto_build_number_of_sessions, count);
  if (count == FOIP__MAX_MEDIA_NA) {
    app.auto_build_mode = 0;
    c.wr_id(auto_build_mode, 0);
    auto_build_off(c);
    return true;
  }
  app.auto_build_count = static_cast<u16>(count);
  if (!auto_build_reference(c, t, auto_build_session_reference, app.auto_build_source_1)) return false;
  if (app.auto_build_mode == 1) {
    c.ignore(auto_build_session_reference_2);
  } else if (!auto_build_reference(c, t, auto_build_session_reference_2, app.auto_build_source_2)) {
    return false;
  }
  const char* text = nullptr;
  if (!c.rd_file(auto_build_path_of_trace_files, text)) return false;
  foip__copy_text(app.auto_build_trace_path, text);
  return true;
}

// Local SIP address (the host's own when empty) and its required port.
bool local_sip_address(copier& c, G& t) {
  auto& a = t.out.glb_sip_param.local_sip_addr;
  u32 n = 0;
  u8 st = 0;
  if (!addr_pair(c, 9, local_sip_domain_name, local_sip_ip_address, nullptr, nullptr, a, 0)) return false;
  if (!c.rd_num(local_sip_port, n, &st) || !c.required(9, local_sip_port, st)) return false;
  a.ip_port = static_cast<u16>(n);
  return true;
}

// NAT: its local SIP address (the host's own when empty) and required port.
bool nat(copier& c, G& t) {
  auto& sip = t.out.glb_sip_param;
  u8 on = 0, st = 0;
  u32 n = 0;
  if (!c.rd_bool(nat_support, on)) return false;
  sip.nat.flag_nat_support = on;
  if (on != 1) {
    c.ignore_all({nat_local_sip_domain_name, nat_local_sip_ip_address, nat_local_sip_port});
    foip__clear_addr(sip.nat.nat_local_sip_addr);
    return true;
  }
  if (!c.rd_num(nat_local_sip_port, n, &st) || !c.required(10, nat_local_sip_port, st)) return false;
  return addr_pair(c, 10, nat_local_sip_domain_name, nat_local_sip_ip_address, nullptr, nullptr,
                   sip.nat.nat_local_sip_addr, static_cast<u16>(n));
}

bool sip_headers(copier&, G& t) {
  t.out.glb_sip_param.get_sip_header_bfi = 31;
  return true;
}

// Outbound proxy and registrar: a name or an address, with a port; none
// configured clears the record.
bool servers(copier& c, G& t) {
  auto& sip = t.out.glb_sip_param;
  struct server {
    u16 fqdn_id, ip_id, port_id;
    const char *fqdn_name, *ip_name, *port_name;
    foip__full_ip_addr* out;
  };
  const server list[] = {
      {outbound_proxy_domain_name, outbound_proxy_ip_address, outbound_proxy_port, "outproxy_addr.sz_fqdn",
       "outproxy_addr.ip_addr.addr.vX", "outproxy_addr.ip_port", &sip.outbound_proxy},
      {registrar_domain_name, registrar_ip_address, registrar_port, "registrar_addr.sz_fqdn",
       "registrar_addr.ip_addr.addr.vX", "registrar_addr.ip_port", &sip.registrar_addr},
  };
  for (const server& s : list) {
    const char* fqdn = nullptr;
    ini_tools__ip ip;
    u32 n = 0;
    if (!c.rd_string(s.fqdn_id, fqdn) || !c.rd_ip(s.ip_id, ip) || !c.rd_num(s.port_id, n)) return false;
    if (!empty_text(fqdn) && has_ip(ip))
      return c.refuse(12, "\"%s\" and \"%s\" are defined in same time", s.fqdn_name, s.ip_name);
    if ((!empty_text(fqdn) || has_ip(ip)) && n == 0) return c.refuse(12, "\"%s\" is not defined", s.port_name);
    if (empty_text(fqdn) && !has_ip(ip)) foip__clear_addr(*s.out);
    else set_addr(*s.out, fqdn, ip, static_cast<u16>(n));
  }
  return true;
}

// Session list: element k configures session k + 1.
bool session_list(copier& c, G& t) {
  auto& app = t.app;
  std::memset(app.session_file, 0, sizeof app.session_file);
  app.session_file_count = c.element_count(session_file_name);
  for (u16 k = 0; k < app.session_file_count && k < FOIP__MAX_MEDIA_NA; ++k) {
    const char* file = nullptr;
    u8 st = 0;
    if (!c.rd_file(session_file_name, file, &st, k) || !c.required(13, session_file_name, st)) return false;
    if (!c.prefixed(13, session_file_name, app.session_path, file, app.session_file[k], k)) return false;
  }
  return true;
}

// Event classes of a display or record keyword; SIP events take the bits of
// their level.
bool event_bits(copier& c, u16 bfi_id, u16 level_id, u16& field) {
  u32 bits = 0, level = 0;
  u8 st = 0;
  if (!c.rd_bfi(bfi_id, bits, &st) || !c.rd_num(level_id, level)) return false;
  if (st == INI_TOOLS__UNDEFINED) bits = 0;
  if ((bits & 32) != 0) {
    if (level == 2) bits |= 64;
    if (level == 3) bits |= 64 | 128;
  }
  field = static_cast<u16>(bits);
  return true;
}

// Event trace: displayed and recorded classes; a file only when something is
// recorded.
bool event_trace(copier& c, G& t) {
  auto& ev = t.out.glb_trc_param.event;
  const char* text = nullptr;
  u32 n = 0;
  u8 st = 0;
  if (!event_bits(c, display_event, level_of_sip_event_displayed, ev.display_event_bfi) ||
      !event_bits(c, record_event, level_of_sip_event_recorded, ev.record_event_bfi) ||
      !c.rd_file(event_file_name, text))
    return false;
  if (ev.record_event_bfi == 0 || empty_text(text)) {
    ev.record_event_bfi = 0;
    ev.sz_fname_event[0] = '\0';
    return true;
  }
  if (!c.prefixed(14, event_file_name, t.app.trace_path, text, ev.sz_fname_event)) return false;
  if (!c.rd_num(max_length_of_event_file, n)) return false;
  ev.max_length_of_event_file = static_cast<u16>(n);
  if (!c.rd_num(max_number_of_event_files, n, &st)) return false;
  ev.nb_of_multiple_event_files = static_cast<u8>(st == INI_TOOLS__UNDEFINED ? 1 : n);
  return true;
}

// One message filter of the audit (element k).
bool audit_filter(copier& c, u16 k, const ini_tools__value_name* entity_names, foip__audit_filter& f) {
  u16 mode = 0, from = 0, to = 0;
  u8 code = 0, st = 0;
  const char* text = nullptr;
  if (!c.rd_id(filter_mode, mode, nullptr, k)) return false;
  if (!c.rd_id(filter_entity_from, from, &st, k) || !c.required(15, filter_entity_from, st)) return false;
  if (!c.rd_id(filter_entity_to, to, &st, k) || !c.required(15, filter_entity_to, st)) return false;
  if (!c.rd_char(filter_primitive_code, code, &st, k) || !c.required(15, filter_primitive_code, st)) return false;
  if (!c.rd_string(filter_ascii_primitive_code, text, &st, k) || !c.required(15, filter_ascii_primitive_code, st))
    return false;
  f.item_mode = static_cast<u8>(mode);
  f.from = static_cast<ent_id_t>(from);
  f.to = static_cast<ent_id_t>(to);
  f.code = code;
  const char* from_name = ini_tools_text::value_name(entity_names, from);
  const char* to_name = ini_tools_text::value_name(entity_names, to);
  foip__copy_text(f.sz_from, from_name != nullptr ? from_name : "unknown");
  foip__copy_text(f.sz_to, to_name != nullptr ? to_name : "unknown");
  foip__copy_text(f.sz_code, text);
  return true;
}

// Audit: off without a file or under NO_AUDIT__NO_CHECKS; else its file,
// its options (the allocation and timer bits are not audited) and filters.
// Ends with the runtime's trace mask.
bool audit(copier& c, G& t) {
  auto& a = t.out.glb_trc_param.audit;
  const char* text = nullptr;
  u32 n = 0, log_bits = 0;
  u8 st = 0;
  if (!c.rd_file(audit_file_name, text, &st)) return false;
  const bool on = t.no_audit == 0 && st != INI_TOOLS__UNDEFINED && !empty_text(text);
  if (!on) {
    c.ignore_all({audit_file_name, max_length_of_audit_file, max_number_of_audit_files, log_options});
    for (u16 k = 0; k < glb_cfg::max_audit_filters; ++k)
      c.ignore_all(
          {filter_mode, filter_entity_from, filter_entity_to, filter_primitive_code, filter_ascii_primitive_code}, k);
    a.sz_fname_audit[0] = '\0';
    a.max_length_of_audit_file = 0;
    std::memset(a.audit_filter, 0, sizeof a.audit_filter);
    a.audit_filter[0].item_mode = FOIP__DCOD__FILTER_LAST_ITEM;
  } else {
    if (!c.prefixed(15, audit_file_name, t.app.trace_path, text, a.sz_fname_audit)) return false;
    if (!c.rd_num(max_length_of_audit_file, n, &st)) return false;
    a.max_length_of_audit_file = static_cast<u16>(st == INI_TOOLS__UNDEFINED ? 0 : n);
    if (!c.rd_num(max_number_of_audit_files, n, &st)) return false;
    a.nb_of_multiple_audit_files = static_cast<u8>(st == INI_TOOLS__UNDEFINED ? 1 : n);
    if (!c.rd_bfi(log_options, log_bits)) return false;
    if ((log_bits & 0x7C00) != 0) {
      log_bits &= ~u32(0x7C00);
      c.wr_bfi(log_options, log_bits);
    }
    std::memset(a.audit_filter, 0, sizeof a.audit_filter);
    for (auto& f : a.audit_filter) f.item_mode = FOIP__DCOD__FILTER_LAST_ITEM;
    const u16 filters = c.element_count(filter_mode);
    const ini_tools__value_name* entity_names = nullptr;
    for (const ini_tools__keyword* k = app_foip_ini__glb_keywords; k->names != nullptr; ++k)
      if (k->value_id == filter_entity_from) entity_names = k->value_names;
    for (u16 k = 0; k < filters && k < FOIP__DCOD__NB_FILTER; ++k)
      if (!audit_filter(c, k, entity_names, a.audit_filter[k])) return false;
  }
  t.app.trace_mask = (on ? log_bits : 0) | t.no_audit;
  set_trace_mask(t.app.trace_mask);
  return true;
}

}  // namespace glb_rules

namespace glb_rows {
using namespace glb_cfg;
using namespace glb_rules;

constexpr row<G> kRows[] = {
    {display_progress_bar, conv::flag,
     [](G& t) { return field_ref::of(t.out.glb_trc_param.event.flag_display_progress_bar); }},
    rule<G>(assert_bits),
    {overwrite_rcv_fax_pages, conv::flag, [](G& t) { return field_ref::of(t.app.overwrite_rcv_fax_pages); }},
    {path_of_session_files, conv::file, [](G& t) { return field_ref::of(t.app.session_path); }},
    {path_of_trace_files, conv::file, [](G& t) { return field_ref::of(t.app.trace_path); }},
    rule<G>(simultaneous_starts),
    {launch_batch_process, conv::flag, [](G& t) { return field_ref::of(t.app.batch_mode); }},
    rule<G>(batch_limit),
    {session_delay, conv::seconds, [](G& t) { return field_ref::of(t.app.start_delay); }},
    rule<G>(auto_build),
    {statistic_mode, conv::id, [](G& t) { return field_ref::of(t.out.glb_trc_param.stat.statistic_mode); }},
    {sip_incoming_call_mode, conv::id, [](G& t) { return field_ref::of(t.app.incoming_call_mode); }, REQUIRED, 0, 8},
    {sip_operating_mode, conv::id, [](G& t) { return field_ref::of(t.out.glb_sip_param.operating_mode); }, REQUIRED, 0,
     8},
    {sip_delay, conv::num, [](G& t) { return field_ref::of(t.out.glb_sip_param.re_invite_delay); }, REQUIRED, 0, 8},
    rule<G>(local_sip_address),
    rule<G>(nat),
    rule<G>(sip_headers),
    rule<G>(servers),
    rule<G>(session_list),
    rule<G>(event_trace),
    rule<G>(audit),
    {tag_debug_field, conv::num, [](G& t) { return field_ref::of(t.out.glb_common_param.tag_dbg_field_are_loaded); }},
    {debug_field_1, conv::num, [](G& t) { return field_ref::of(t.out.glb_common_param.dbg_field1); }},
    {debug_field_2, conv::num, [](G& t) { return field_ref::of(t.out.glb_common_param.dbg_field2); }},
};

}  // namespace glb_rows

}  // namespace

void app_foip_ini__init_array_areas(ini_tools__table& glb_table) { glb_table = app_foip_ini__new_glb_table(); }

u8 app_foip_ini__copy_glb_cnf_tbl_2_glb_cnf_struct(ini_tools__value* glb_table, foip__global_param& out,
                                                   app_foip_ini__app_settings& app) {
  return app_foip_ini__copy_glb_cnf_tbl_2_glb_cnf_struct(glb_table, out, app, app_foip_ini__error_monitor);
}

u8 app_foip_ini__copy_glb_cnf_tbl_2_glb_cnf_struct(ini_tools__value* glb_table, foip__global_param& out,
                                                   app_foip_ini__app_settings& app,
                                                   const ini_tools__error_cb& error_cb) {
  copier c(glb_table, app_foip_ini__glb_keywords, error_cb,
           "app_foip_ini_1 - app_foip_ini__copy_glb_cnf_tbl_2_glb_cnf_struct", 512);
  G t{out, app};
  return copy_rows(c, glb_rows::kRows, t) ? APP_FOIP_INI__COPY_DONE : APP_FOIP_INI__COPY_REFUSED;
}
