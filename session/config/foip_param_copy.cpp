// Copies of the glb.cfg and session value tables into the FOIP configuration
// structures, with their consistency checks.
#include "session/config/foip_param_copy.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/program_log.h"
#include "runtime/om_os.h"
#include "session/config/app_foip_glb_cfg.h"
#include "session/config/app_foip_ini.h"
#include "session/config/app_foip_mngt.h"
#include "session/config/app_foip_session_cfg.h"
#include "session/config/ini_tools_text.h"

namespace {

constexpr uint16_t NO = INI_TOOLS__NO_ELEMENT;
constexpr std::size_t kFqdnCut = FOIP__FQDN_MAX_LEN;  // room of 64: 63 characters

app_foip_ini__trace_mask_hooks g_mask_hooks;

uint32_t get_trace_mask() { return g_mask_hooks.get != nullptr ? g_mask_hooks.get() : om_os_get_trace_mask(); }
void set_trace_mask(uint32_t v) {
  if (g_mask_hooks.set != nullptr) g_mask_hooks.set(v);
  else om_os_set_trace_mask(v);
}

// Reads, writes and checks on one value table, with the refusal texts going to
// the error callback and to the program log behind the routine's prefix.
class copier {
 public:
  copier(ini_tools__value* table, const ini_tools__keyword* keywords, const ini_tools__error_cb& cb,
         const char* log_prefix, std::size_t message_room)
      : t_(table), kw_(keywords), cb_(cb), prefix_(log_prefix), room_(message_room) {}

  // Reports a refusal; always false.
  bool refuse(int site, const char* fmt, ...) __attribute__((format(printf, 3, 4))) {
    char message[512];
    va_list args;
    va_start(args, fmt);
    (void)std::vsnprintf(message, room_ < sizeof message ? room_ : sizeof message, fmt, args);
    va_end(args);
    ProgramLog(1, "%s %d : %s", prefix_, site, message);
    if (cb_) cb_(message);
    return false;
  }

  // The first name of the keyword that sets a value id.
  const char* name(uint16_t id) const {
    for (const ini_tools__keyword* k = kw_; k->names != nullptr; ++k) {
      if (k->value_id != id) continue;
      const char* n = ini_tools_text::name_of_kind(k, INI_TOOLS__VERBOSE_NAME);
      return n != nullptr ? n : ini_tools_text::first_name(k);
    }
    return "?";
  }

  // Reads by kind; false after an engine error (reported by the engine).
  bool rd_bool(uint16_t id, uint8_t& v, uint8_t* state = nullptr, uint16_t el = NO) {
    return done(ini_tools__read_bool(t_, id, el, cb_, &v), state);
  }
  bool rd_num(uint16_t id, uint32_t& v, uint8_t* state = nullptr, uint16_t el = NO) {
    return done(ini_tools__read_num(t_, id, el, cb_, &v), state);
  }
  bool rd_id(uint16_t id, uint16_t& v, uint8_t* state = nullptr, uint16_t el = NO) {
    return done(ini_tools__read_str_id(t_, id, el, cb_, &v), state);
  }
  bool rd_bfi(uint16_t id, uint32_t& v, uint8_t* state = nullptr, uint16_t el = NO) {
    return done(ini_tools__read_bfi(t_, id, el, cb_, &v), state);
  }
  bool rd_char(uint16_t id, uint8_t& v, uint8_t* state = nullptr, uint16_t el = NO) {
    return done(ini_tools__read_char(t_, id, el, cb_, &v), state);
  }
  // Texts: null for none; an undefined value reads as none.
  bool rd_string(uint16_t id, const char*& v, uint8_t* state = nullptr, uint16_t el = NO) {
    return done(ini_tools__read_string(t_, id, el, cb_, &v), state);
  }
  bool rd_file(uint16_t id, const char*& v, uint8_t* state = nullptr, uint16_t el = NO) {
    return done(ini_tools__read_file(t_, id, el, cb_, &v), state);
  }
  bool rd_ip(uint16_t id, ini_tools__ip& v, uint8_t* state = nullptr, uint16_t el = NO) {
    return done(ini_tools__read_ip_add(t_, id, el, cb_, &v), state);
  }
  // Any kind of value as a number (bool, char, str_id, num, bfi).
  bool rd_any(uint16_t id, uint32_t& v, uint8_t* state) {
    const ini_tools__value* r = find(id, NO);
    if (r == nullptr) return refuse(0, "(Ini_tools__read) ID Not found");
    switch (r->kind) {
      case INI_TOOLS__BOOL:
      case INI_TOOLS__CHAR: {
        uint8_t b = 0;
        if (!(r->kind == INI_TOOLS__BOOL ? rd_bool(id, b, state) : rd_char(id, b, state))) return false;
        v = b;
        return true;
      }
      case INI_TOOLS__STR_ID: {
        uint16_t s = 0;
        if (!rd_id(id, s, state)) return false;
        v = s;
        return true;
      }
      case INI_TOOLS__NUM: return rd_num(id, v, state);
      case INI_TOOLS__BFI: return rd_bfi(id, v, state);
      default: return refuse(0, "(Ini_tools__read) Bad kind of parameter");
    }
  }

  // A value that must be defined: refusal when the read gave state 1.
  bool required(int site, uint16_t id, uint8_t state) {
    if (state == INI_TOOLS__UNDEFINED) return refuse(site, "\"%s\" not initialized", name(id));
    return true;
  }

  bool ignore(uint16_t id, uint16_t el = NO) {
    ini_tools__value* r = find(id, el);
    if (r == nullptr) {
      if (cb_) cb_("(Ini_tools__set_ignored) ID Not found");
      return false;
    }
    r->state = INI_TOOLS__IGNORED;
    return true;
  }
  void ignore_all(std::initializer_list<uint16_t> ids, uint16_t el = NO) {
    for (uint16_t id : ids) ignore(id, el);
  }

  bool wr_num(uint16_t id, uint32_t v) { return ini_tools__write_num(t_, id, NO, v, cb_) == INI_TOOLS__OVERWRITTEN; }
  bool wr_bfi(uint16_t id, uint32_t v) { return ini_tools__write_bfi(t_, id, NO, v, cb_) == INI_TOOLS__OVERWRITTEN; }
  bool wr_id(uint16_t id, uint16_t v) { return ini_tools__write_str_id(t_, id, NO, v, cb_) == INI_TOOLS__OVERWRITTEN; }
  bool wr_bool(uint16_t id, uint8_t v) { return ini_tools__write_bool(t_, id, NO, v, cb_) == INI_TOOLS__OVERWRITTEN; }
  bool wr_string(uint16_t id, const char* v) {
    return ini_tools__write_string(t_, id, NO, v, cb_) == INI_TOOLS__OVERWRITTEN;
  }
  bool wr_file(uint16_t id, const char* v, uint16_t el = NO) {
    return ini_tools__write_file(t_, id, el, v, cb_) == INI_TOOLS__OVERWRITTEN;
  }
  bool wr_ip(uint16_t id, const om_ip_addr_t& a) {
    ini_tools__ip ip;
    ip.family = INI_TOOLS__IP_V4;
    ip.addr = foip__get_ipv4(a);
    return ini_tools__write_ip_add(t_, id, NO, ip, cb_) == INI_TOOLS__OVERWRITTEN;
  }

  // A number kept in a narrower field: a larger value is cut to the field's
  // largest, written back and logged.
  uint32_t narrow(int site, uint16_t id, uint32_t v, uint32_t max) {
    if (v <= max) return v;
    ProgramLog(1, "%s %d : \"%s\" %lu reduced to %lu", prefix_, site, name(id), static_cast<unsigned long>(v),
               static_cast<unsigned long>(max));
    write_back_number(id, max);
    return max;
  }

  // Prefixes a file name with a path (path + name, at most 99 characters)
  // into `out`; the result is written back to the table and logged.  A result
  // that does not fit is refused.
  bool prefixed(int site, uint16_t id, const char* path, const char* file, char (&out)[FOIP__FNAME_MAX_LEN],
                uint16_t el = NO) {
    out[0] = '\0';
    if (file == nullptr || file[0] == '\0') return true;
    std::string full = (path != nullptr ? std::string(path) : std::string()) + file;
    if (full.size() >= FOIP__FNAME_MAX_LEN)
      return refuse(site, "\"%s\" is too long (%zu characters, at most %zu)", name(id), full.size(),
                    FOIP__FNAME_MAX_LEN - 1);
    foip__copy_text(out, full.c_str());
    if (path != nullptr && path[0] != '\0') {
      wr_file(id, full.c_str(), el);
      ProgramLog(1, "%s %d : %s = %s", prefix_, site, name(id), full.c_str());
    }
    return true;
  }

  ini_tools__value* find(uint16_t id, uint16_t el) {
    for (ini_tools__value* r = t_; r->value_id != 0; ++r) {
      if (r->value_id != id) continue;
      bool top = (r->section_id & INI_TOOLS__ARRAY_SECTION) != 0;
      if (el == NO) return top ? nullptr : r;
      if (!top || r->value.array == nullptr) return nullptr;
      ini_tools__array* a = r->value.array;
      if (el >= a->max) return nullptr;
      for (ini_tools__value* e = a->elements + std::size_t(el) * a->records_per_element; e->value_id != 0; ++e)
        if (e->value_id == id) return e;
      return nullptr;
    }
    return nullptr;
  }

  // Elements present in the array section of a value id.
  uint16_t element_count(uint16_t id) {
    for (ini_tools__value* r = t_; r->value_id != 0; ++r) {
      if (r->value_id == id && (r->section_id & INI_TOOLS__ARRAY_SECTION) != 0 && r->value.array != nullptr)
        return r->value.array->count;
    }
    return 0;
  }

  ini_tools__value* table() { return t_; }
  const ini_tools__error_cb& cb() const { return cb_; }

 private:
  static bool done(uint8_t result, uint8_t* state) {
    if (result > INI_TOOLS__OVERWRITTEN) return false;
    if (state != nullptr) *state = result;
    return true;
  }
  void write_back_number(uint16_t id, uint32_t v) {
    ini_tools__value* r = find(id, NO);
    if (r == nullptr) return;
    if (r->kind == INI_TOOLS__NUM) wr_num(id, v);
    else if (r->kind == INI_TOOLS__BFI) wr_bfi(id, v);
    else if (r->kind == INI_TOOLS__STR_ID) wr_id(id, static_cast<uint16_t>(v));
  }

  ini_tools__value* t_;
  const ini_tools__keyword* kw_;
  const ini_tools__error_cb& cb_;
  const char* prefix_;
  std::size_t room_;
};

bool empty_text(const char* t) { return t == nullptr || t[0] == '\0'; }
bool has_ip(const ini_tools__ip& ip) { return ip.family == INI_TOOLS__IP_V4; }

// Fills an address record from a domain name, an IP record and a port.
void set_addr(foip__full_ip_addr& a, const char* fqdn, const ini_tools__ip& ip, uint16_t port) {
  foip__clear_addr(a);
  foip__copy_text(a.sz_fqdn, kFqdnCut, fqdn);
  if (has_ip(ip)) foip__set_ipv4(a.ip_addr, ip.addr);
  a.ip_port = port;
}

// The address of a (domain name, IP address) keyword pair: both empty gives
// the host's own address, written back to the IP keyword; both set is
// refused with the two given names.
bool addr_pair(copier& c, int site, uint16_t fqdn_id, uint16_t ip_id, const char* fqdn_name, const char* ip_name,
               const char* both_text, foip__full_ip_addr& out, uint16_t port) {
  const char* fqdn = nullptr;
  ini_tools__ip ip;
  if (!c.rd_string(fqdn_id, fqdn) || !c.rd_ip(ip_id, ip)) return false;
  if (!empty_text(fqdn) && has_ip(ip)) return c.refuse(site, both_text, fqdn_name, ip_name);
  set_addr(out, fqdn, ip, port);
  if (empty_text(fqdn) && !has_ip(ip)) {
    app_foip_mngt__get_local_ip_address(&out.ip_addr);
    c.wr_ip(ip_id, out.ip_addr);
  }
  return true;
}

constexpr const char* kBothDefined = "\"%s\" and \"%s\" are both defined";

}  // namespace

void app_foip_ini__set_trace_mask_hooks(const app_foip_ini__trace_mask_hooks& hooks) { g_mask_hooks = hooks; }

void app_foip_ini__init_array_areas(ini_tools__table& glb_table) { glb_table = app_foip_ini__new_glb_table(); }

void app_foip_ini__init_session_values(app_foip_ini__session_values& record) {
  record.values = app_foip_ini__new_session_table();
  record.direction = 0;
  record.rotation_base = 0;
  record.register_wanted = 0;
  record.reg = foip__sip_register_param{};
  record.param = foip__session_param{};
}

// ---------------------------------------------------------------------------
// Global copy

uint8_t app_foip_ini__copy_glb_cnf_tbl_2_glb_cnf_struct(ini_tools__value* glb_table, foip__global_param& out,
                                                        app_foip_ini__app_settings& app) {
  return app_foip_ini__copy_glb_cnf_tbl_2_glb_cnf_struct(glb_table, out, app, app_foip_ini__error_monitor);
}

uint8_t app_foip_ini__copy_glb_cnf_tbl_2_glb_cnf_struct(ini_tools__value* glb_table, foip__global_param& out,
                                                        app_foip_ini__app_settings& app,
                                                        const ini_tools__error_cb& error_cb) {
  using namespace glb_cfg;
  constexpr uint8_t kRefused = APP_FOIP_INI__COPY_REFUSED;
  copier c(glb_table, app_foip_ini__glb_keywords, error_cb,
           "app_foip_ini_1 - app_foip_ini__copy_glb_cnf_tbl_2_glb_cnf_struct", 512);
  uint8_t st = 0, b = 0;
  uint16_t id16 = 0;
  uint32_t n = 0;
  const char* text = nullptr;
  auto& sip = out.glb_sip_param;
  auto& trc = out.glb_trc_param;

  // 1. Progress bar.
  if (!c.rd_bool(display_progress_bar, b)) return kRefused;
  trc.event.flag_display_progress_bar = b;

  // 2. Only NO_AUDIT__NO_CHECKS of "assert control" has an effect.
  uint32_t assert_bits = 0;
  if (!c.rd_bfi(assert_control, assert_bits, &st)) return kRefused;
  uint32_t source = (st == INI_TOOLS__UNDEFINED || assert_bits == 0) ? (get_trace_mask() & 0x801E) : assert_bits;
  const uint32_t no_audit = source & APP_FOIP_INI__NO_AUDIT_NO_CHECKS;
  if (no_audit != assert_bits) c.wr_bfi(assert_control, no_audit);

  // 3. Application flag and path prefixes.
  if (!c.rd_bool(overwrite_rcv_fax_pages, b)) return kRefused;
  app.overwrite_rcv_fax_pages = b;
  if (!c.rd_file(path_of_session_files, text)) return kRefused;
  foip__copy_text(app.session_path, text);
  if (!c.rd_file(path_of_trace_files, text)) return kRefused;
  foip__copy_text(app.trace_path, text);

  // 4. Sessions started or stopped at once, at most 62.
  if (!c.rd_num(nb_simultaneous_start, n, &st)) return kRefused;
  uint16_t used_id = nb_simultaneous_start;
  if (st == INI_TOOLS__USER) {
    c.ignore(batch_nb_simultaneous_start);
  } else {
    used_id = batch_nb_simultaneous_start;
    if (!c.rd_num(batch_nb_simultaneous_start, n)) return kRefused;
  }
  if (n > FOIP__MAX_MEDIA_NA) {
    n = FOIP__MAX_MEDIA_NA;
    c.wr_num(used_id, n);
  }
  out.glb_common_param.nb_simultaneous_start_stop = static_cast<nai_t>(n);

  // 5. Batch.
  if (!c.rd_bool(launch_batch_process, b)) return kRefused;
  app.batch_mode = b;
  if (!c.rd_num(batch_session_counter, n)) return kRefused;
  if (app.batch_mode == 1 && n == 0) {
    n = 1;
    c.wr_num(batch_session_counter, n);
  }
  app.batch_limit = static_cast<uint16_t>(n);
  if (!c.rd_num(session_delay, n)) return kRefused;
  app.start_delay = n * 1000;

  // 6. Automatic session building.
  if (!c.rd_id(auto_build_mode, id16, &st)) return kRefused;
  if (!c.required(6, auto_build_mode, st)) return kRefused;
  app.auto_build_mode = static_cast<uint8_t>(id16);
  app.auto_build_source_1[0] = app.auto_build_source_2[0] = app.auto_build_trace_path[0] = '\0';
  app.auto_build_count = 0;
  if (app.auto_build_mode != 0) {
    uint32_t count = 0;
    if (!c.rd_num(auto_build_number_of_sessions, count)) return kRefused;
    uint32_t wanted = count;
    if (app.auto_build_mode == 2 && (count & 1) != 0) ++count;
    if (count > FOIP__MAX_MEDIA_NA) count = FOIP__MAX_MEDIA_NA;
    if (count != wanted) c.wr_num(auto_build_number_of_sessions, count);
    if (count == FOIP__MAX_MEDIA_NA) {
      app.auto_build_mode = 0;
      c.wr_id(auto_build_mode, 0);
      c.ignore_all({auto_build_number_of_sessions, auto_build_session_reference, auto_build_session_reference_2,
                    auto_build_path_of_trace_files});
    } else {
      app.auto_build_count = static_cast<uint16_t>(count);
      auto reference = [&](uint16_t id, char(&dest)[FOIP__FNAME_MAX_LEN]) {
        const char* name = nullptr;
        uint8_t s = 0;
        if (!c.rd_file(id, name, &s) || !c.required(6, id, s)) return false;
        if (empty_text(name)) return c.refuse(6, "\"%s\" is emptied", c.name(id));
        return c.prefixed(6, id, app.session_path, name, dest);
      };
      if (!reference(auto_build_session_reference, app.auto_build_source_1)) return kRefused;
      if (app.auto_build_mode == 1) {
        c.ignore(auto_build_session_reference_2);
      } else if (!reference(auto_build_session_reference_2, app.auto_build_source_2)) {
        return kRefused;
      }
      if (!c.rd_file(auto_build_path_of_trace_files, text)) return kRefused;
      foip__copy_text(app.auto_build_trace_path, text);
    }
  } else {
    c.ignore_all({auto_build_number_of_sessions, auto_build_session_reference, auto_build_session_reference_2,
                  auto_build_path_of_trace_files});
  }

  // 7. Statistics.
  if (!c.rd_id(statistic_mode, id16)) return kRefused;
  trc.stat.statistic_mode = static_cast<uint8_t>(id16);

  // 8. SIP modes.
  if (!c.rd_id(sip_incoming_call_mode, id16, &st) || !c.required(8, sip_incoming_call_mode, st)) return kRefused;
  app.incoming_call_mode = static_cast<uint8_t>(id16);
  if (!c.rd_id(sip_operating_mode, id16, &st) || !c.required(8, sip_operating_mode, st)) return kRefused;
  sip.operating_mode = static_cast<uint8_t>(id16);
  if (!c.rd_num(sip_delay, n, &st) || !c.required(8, sip_delay, st)) return kRefused;
  sip.re_invite_delay = n;

  // 9. Local SIP address.
  {
    const char* fqdn = nullptr;
    ini_tools__ip ip;
    if (!c.rd_string(local_sip_domain_name, fqdn) || !c.rd_ip(local_sip_ip_address, ip)) return kRefused;
    set_addr(sip.local_sip_addr, fqdn, ip, 0);
    if (empty_text(fqdn) && !has_ip(ip)) {
      app_foip_mngt__get_local_ip_address(&sip.local_sip_addr.ip_addr);
      c.wr_ip(local_sip_ip_address, sip.local_sip_addr.ip_addr);
    }
    if (!c.rd_num(local_sip_port, n, &st) || !c.required(9, local_sip_port, st)) return kRefused;
    sip.local_sip_addr.ip_port = static_cast<uint16_t>(n);
  }

  // 10. NAT.
  if (!c.rd_bool(nat_support, b)) return kRefused;
  sip.nat.flag_nat_support = b;
  if (b == 1) {
    if (!c.rd_num(nat_local_sip_port, n, &st) || !c.required(10, nat_local_sip_port, st)) return kRefused;
    const char* fqdn = nullptr;
    ini_tools__ip ip;
    if (!c.rd_string(nat_local_sip_domain_name, fqdn) || !c.rd_ip(nat_local_sip_ip_address, ip)) return kRefused;
    set_addr(sip.nat.nat_local_sip_addr, fqdn, ip, static_cast<uint16_t>(n));
    if (empty_text(fqdn) && !has_ip(ip)) {
      app_foip_mngt__get_local_ip_address(&sip.nat.nat_local_sip_addr.ip_addr);
      c.wr_ip(nat_local_sip_ip_address, sip.nat.nat_local_sip_addr.ip_addr);
    }
  } else {
    c.ignore_all({nat_local_sip_domain_name, nat_local_sip_ip_address, nat_local_sip_port});
    foip__clear_addr(sip.nat.nat_local_sip_addr);
  }

  // 11.
  sip.get_sip_header_bfi = 31;

  // 12. Outbound proxy and registrar.
  struct server {
    uint16_t fqdn_id, ip_id, port_id;
    const char *fqdn_name, *ip_name, *port_name;
    foip__full_ip_addr* out;
  };
  const server servers[] = {
      {outbound_proxy_domain_name, outbound_proxy_ip_address, outbound_proxy_port, "outproxy_addr.sz_fqdn",
       "outproxy_addr.ip_addr.addr.vX", "outproxy_addr.ip_port", &sip.outbound_proxy},
      {registrar_domain_name, registrar_ip_address, registrar_port, "registrar_addr.sz_fqdn",
       "registrar_addr.ip_addr.addr.vX", "registrar_addr.ip_port", &sip.registrar_addr},
  };
  for (const server& s : servers) {
    const char* fqdn = nullptr;
    ini_tools__ip ip;
    if (!c.rd_string(s.fqdn_id, fqdn) || !c.rd_ip(s.ip_id, ip) || !c.rd_num(s.port_id, n)) return kRefused;
    if (!empty_text(fqdn) && has_ip(ip))
      return c.refuse(12, "\"%s\" and \"%s\" are defined in same time", s.fqdn_name, s.ip_name), kRefused;
    if ((!empty_text(fqdn) || has_ip(ip)) && n == 0)
      return c.refuse(12, "\"%s\" is not defined", s.port_name), kRefused;
    if (empty_text(fqdn) && !has_ip(ip)) foip__clear_addr(*s.out);  // none configured
    else set_addr(*s.out, fqdn, ip, static_cast<uint16_t>(n));
  }

  // 13. Session list: element k configures session k + 1.
  std::memset(app.session_file, 0, sizeof app.session_file);
  app.session_file_count = c.element_count(session_file_name);
  for (uint16_t k = 0; k < app.session_file_count && k < FOIP__MAX_MEDIA_NA; ++k) {
    const char* file = nullptr;
    if (!c.rd_file(session_file_name, file, &st, k) || !c.required(13, session_file_name, st)) return kRefused;
    if (!c.prefixed(13, session_file_name, app.session_path, file, app.session_file[k], k)) return kRefused;
  }

  // 14. Event trace.
  auto event_bits = [&](uint16_t bfi_id, uint16_t level_id, uint16_t& field) {
    uint32_t bits = 0, level = 0;
    uint8_t s = 0;
    if (!c.rd_bfi(bfi_id, bits, &s) || !c.rd_num(level_id, level)) return false;
    if (s == INI_TOOLS__UNDEFINED) bits = 0;
    if ((bits & 32) != 0) {
      if (level == 2) bits |= 64;
      if (level == 3) bits |= 64 | 128;
    }
    field = static_cast<uint16_t>(bits);
    return true;
  };
  if (!event_bits(display_event, level_of_sip_event_displayed, trc.event.display_event_bfi)) return kRefused;
  if (!event_bits(record_event, level_of_sip_event_recorded, trc.event.record_event_bfi)) return kRefused;
  if (!c.rd_file(event_file_name, text)) return kRefused;
  if (trc.event.record_event_bfi == 0 || empty_text(text)) {
    trc.event.record_event_bfi = 0;
    trc.event.sz_fname_event[0] = '\0';
  } else {
    if (!c.prefixed(14, event_file_name, app.trace_path, text, trc.event.sz_fname_event)) return kRefused;
    if (!c.rd_num(max_length_of_event_file, n)) return kRefused;
    trc.event.max_length_of_event_file = static_cast<uint16_t>(n);
    if (!c.rd_num(max_number_of_event_files, n, &st)) return kRefused;
    trc.event.nb_of_multiple_event_files = static_cast<uint8_t>(st == INI_TOOLS__UNDEFINED ? 1 : n);
  }

  // 15. Audit.
  auto& audit = trc.audit;
  uint32_t log_bits = 0;
  bool audit_on = false;
  auto audit_off = [&]() {
    c.ignore_all({audit_file_name, max_length_of_audit_file, max_number_of_audit_files, log_options});
    for (uint16_t k = 0; k < glb_cfg::max_audit_filters; ++k)
      c.ignore_all(
          {filter_mode, filter_entity_from, filter_entity_to, filter_primitive_code, filter_ascii_primitive_code}, k);
    audit.sz_fname_audit[0] = '\0';
    audit.max_length_of_audit_file = 0;
    std::memset(audit.audit_filter, 0, sizeof audit.audit_filter);
    audit.audit_filter[0].item_mode = FOIP__DCOD__FILTER_LAST_ITEM;
  };
  if (!c.rd_file(audit_file_name, text, &st)) return kRefused;
  if (no_audit != 0 || st == INI_TOOLS__UNDEFINED || empty_text(text)) {
    audit_off();
  } else {
    audit_on = true;
    if (!c.prefixed(15, audit_file_name, app.trace_path, text, audit.sz_fname_audit)) return kRefused;
    if (!c.rd_num(max_length_of_audit_file, n, &st)) return kRefused;
    audit.max_length_of_audit_file = static_cast<uint16_t>(st == INI_TOOLS__UNDEFINED ? 0 : n);
    if (!c.rd_num(max_number_of_audit_files, n, &st)) return kRefused;
    audit.nb_of_multiple_audit_files = static_cast<uint8_t>(st == INI_TOOLS__UNDEFINED ? 1 : n);
    if (!c.rd_bfi(log_options, log_bits)) return kRefused;
    if ((log_bits & 0x7C00) != 0) {
      log_bits &= ~uint32_t(0x7C00);
      c.wr_bfi(log_options, log_bits);
    }
    std::memset(audit.audit_filter, 0, sizeof audit.audit_filter);
    for (auto& f : audit.audit_filter) f.item_mode = FOIP__DCOD__FILTER_LAST_ITEM;
    const uint16_t filters = c.element_count(filter_mode);
    const ini_tools__value_name* entity_names = nullptr;
    for (const ini_tools__keyword* k = app_foip_ini__glb_keywords; k->names != nullptr; ++k)
      if (k->value_id == filter_entity_from) entity_names = k->value_names;
    for (uint16_t k = 0; k < filters && k < FOIP__DCOD__NB_FILTER; ++k) {
      foip__audit_filter& f = audit.audit_filter[k];
      uint16_t mode = 0, from = 0, to = 0;
      uint8_t code = 0;
      if (!c.rd_id(filter_mode, mode, nullptr, k)) return kRefused;
      if (!c.rd_id(filter_entity_from, from, &st, k) || !c.required(15, filter_entity_from, st)) return kRefused;
      if (!c.rd_id(filter_entity_to, to, &st, k) || !c.required(15, filter_entity_to, st)) return kRefused;
      if (!c.rd_char(filter_primitive_code, code, &st, k) || !c.required(15, filter_primitive_code, st))
        return kRefused;
      if (!c.rd_string(filter_ascii_primitive_code, text, &st, k) || !c.required(15, filter_ascii_primitive_code, st))
        return kRefused;
      f.item_mode = static_cast<uint8_t>(mode);
      f.from = static_cast<ent_id_t>(from);
      f.to = static_cast<ent_id_t>(to);
      f.code = code;
      const char* from_name = ini_tools_text::value_name(entity_names, from);
      const char* to_name = ini_tools_text::value_name(entity_names, to);
      foip__copy_text(f.sz_from, from_name != nullptr ? from_name : "unknown");
      foip__copy_text(f.sz_to, to_name != nullptr ? to_name : "unknown");
      foip__copy_text(f.sz_code, text);
    }
  }

  // 16. Runtime trace mask.
  app.trace_mask = (audit_on ? log_bits : 0) | no_audit;
  set_trace_mask(app.trace_mask);

  // 17. Debug fields.
  if (!c.rd_num(tag_debug_field, out.glb_common_param.tag_dbg_field_are_loaded) ||
      !c.rd_num(debug_field_1, out.glb_common_param.dbg_field1) ||
      !c.rd_num(debug_field_2, out.glb_common_param.dbg_field2))
    return kRefused;
  return APP_FOIP_INI__COPY_DONE;
}

// ---------------------------------------------------------------------------
// Session copy

namespace {

// One T.38 capability keyword: its value id, its bit in use_t38_cap_bfi and
// where its value goes (u8 or u16 field).
struct cap_field {
  uint16_t id;
  uint16_t bit;
  uint8_t* u8_field;
  uint16_t* u16_field;
};

// Copies a list of capability keywords; `set_ignored_when_unset` sets each
// keyword that the file did not set ignored (local capabilities).
bool copy_caps(copier& c, int site, const cap_field* caps, std::size_t count, uint16_t& use_bfi,
               bool set_ignored_when_unset) {
  use_bfi = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const cap_field& f = caps[i];
    uint32_t v = 0;
    uint8_t st = 0;
    if (!c.rd_any(f.id, v, &st)) return false;
    if (st == INI_TOOLS__UNDEFINED) v = 0;
    if (f.u8_field != nullptr) *f.u8_field = static_cast<uint8_t>(c.narrow(site, f.id, v, 0xFF));
    if (f.u16_field != nullptr) *f.u16_field = static_cast<uint16_t>(c.narrow(site, f.id, v, 0xFFFF));
    if (st == INI_TOOLS__USER) use_bfi = static_cast<uint16_t>(use_bfi | f.bit);
    else if (set_ignored_when_unset) c.ignore(f.id);
  }
  return true;
}

// A phone number through the phone-number filter into its field; the filtered
// text is written back when the filter changed or refused it.
bool phone_number(copier& c, uint16_t id, char (&field)[FOIP__PHONE_NB_MAX_LEN + 1]) {
  const char* text = nullptr;
  if (!c.rd_string(id, text)) return false;
  if (app_foip_mngt__filter_phone_number(text, field, sizeof field) != APP_FOIP_MNGT__PHONE_KEPT)
    c.wr_string(id, field);
  return true;
}

}  // namespace

uint8_t app_foip_ini__copy_cnf_tbl_2_cnf_struct(ini_tools__value* table, app_foip_ini__session_values& record,
                                                const foip__global_param& glb) {
  return app_foip_ini__copy_cnf_tbl_2_cnf_struct(table, record, glb, app_foip_ini__error_monitor);
}

uint8_t app_foip_ini__copy_cnf_tbl_2_cnf_struct(ini_tools__value* table, app_foip_ini__session_values& record,
                                                const foip__global_param& glb, const ini_tools__error_cb& error_cb) {
  using namespace session_cfg;
  constexpr uint8_t kRefused = APP_FOIP_INI__COPY_REFUSED;
  copier c(table, app_foip_ini__session_keywords, error_cb, "app_foip_ini_2 - app_foip_ini__copy_cnf_tbl_2_cnf_struct",
           128);
  foip__session_param& p = record.param;
  auto& gen = p.session_general_param;
  uint8_t st = 0, b = 0;
  uint16_t id16 = 0;
  uint32_t n = 0;
  const char* text = nullptr;

  // 1. Every session is an IAF session.
  c.wr_id(kind_of_session, 73);
  gen.kind_of_session = 'I';

  // 2. Transport, end-of-fax delay, path prefixes.
  if (!c.rd_id(kind_of_t38_transport, id16)) return kRefused;
  gen.kind_of_t38_transport = static_cast<uint8_t>(id16);
  const uint8_t transport = gen.kind_of_t38_transport;
  const bool uses_udp = transport != 'T';
  const bool uses_tcp = transport != 'U';
  if (!c.rd_num(delay_end_of_fax_session, n)) return kRefused;
  gen.delay_wait_eof_t30_session = n;
  gen.start_t38_session_ms = 0;
  const char *send_path = nullptr, *rcv_path = nullptr, *trace_path = nullptr, *tmp_path = nullptr;
  if (!c.rd_file(path_of_fax_pages_to_send, send_path) || !c.rd_file(path_of_rcv_fax_pages, rcv_path) ||
      !c.rd_file(path_of_trace_files, trace_path) || !c.rd_file(path_of_tiff_temporary_files, tmp_path))
    return kRefused;

  // 3. IAF enhanced.
  auto& iaf = gen.t38iaf_enh;
  if (!c.rd_bool(iaf_equipment, b)) return kRefused;
  iaf.flag_iaf_equipement = b;
  iaf.udp_ip_data_rate_bps = iaf.tcp_ip_data_rate_bps = 0;
  if (b == 0) {
    c.ignore_all({udp_ip_data_rate, tcp_flow_control, tcp_ip_data_rate});
  } else {
    if (uses_udp) {
      if (!c.rd_num(udp_ip_data_rate, iaf.udp_ip_data_rate_bps)) return kRefused;
    } else {
      c.ignore(udp_ip_data_rate);
    }
    if (uses_tcp) {
      if (!c.rd_num(tcp_ip_data_rate, iaf.tcp_ip_data_rate_bps)) return kRefused;
    } else {
      c.ignore(tcp_ip_data_rate);
    }
  }

  // 4. Authentication: all three texts or none.
  auto& auth = p.sip_session_param.sip_authentication;
  const char *user = nullptr, *password = nullptr, *realm = nullptr;
  if (!c.rd_string(auth_user_name, user) || !c.rd_string(auth_password, password) || !c.rd_string(auth_realm, realm))
    return kRefused;
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

  // 5. T.38 capabilities.
  {
    auto& r = p.t38_capabilites_param;
    const cap_field rem_udp[] = {
        {rem_udp_t38_version, FOIP__T38_CAP_VERSION, &r.udptl_param.t38_version, nullptr},
        {rem_udp_max_bit_rate, FOIP__T38_CAP_MAX_BIT_RATE, nullptr, &r.udptl_param.fax_max_bit_rate},
        {rem_udp_rate_management, FOIP__T38_CAP_RATE_MANAGEMENT, &r.udptl_param.drate_mgt_method, nullptr},
        {rem_udp_fill_bit_removal, FOIP__T38_CAP_FILL_BIT_REMOVAL, &r.udptl_param.remove_fill_bits_t4, nullptr},
        {rem_udp_transcoding_mmr, FOIP__T38_CAP_TRANSCODING_MMR, &r.udptl_param.transcode_mmr, nullptr},
        {rem_udp_transcoding_jbig, FOIP__T38_CAP_TRANSCODING_JBIG, &r.udptl_param.transcode_jbig, nullptr},
        {rem_udp_max_buffer, FOIP__T38_CAP_MAX_BUFFER, nullptr, &r.udptl_param.fax_max_buffer_size},
        {rem_udp_max_datagram, FOIP__T38_CAP_MAX_DATAGRAM, nullptr, &r.udptl_param.max_datagram_size},
        {rem_udp_ec, FOIP__T38_CAP_UDP_EC, &r.udptl_param.udp_ec, nullptr},
    };
    const cap_field rem_tcp[] = {
        {rem_tcp_t38_version, FOIP__T38_CAP_VERSION, &r.tpkt_param.t38_version, nullptr},
        {rem_tcp_max_bit_rate, FOIP__T38_CAP_MAX_BIT_RATE, nullptr, &r.tpkt_param.fax_max_bit_rate},
        {rem_tcp_rate_management, FOIP__T38_CAP_RATE_MANAGEMENT, &r.tpkt_param.drate_mgt_method, nullptr},
        {rem_tcp_fill_bit_removal, FOIP__T38_CAP_FILL_BIT_REMOVAL, &r.tpkt_param.remove_fill_bits_t4, nullptr},
        {rem_tcp_transcoding_mmr, FOIP__T38_CAP_TRANSCODING_MMR, &r.tpkt_param.transcode_mmr, nullptr},
        {rem_tcp_transcoding_jbig, FOIP__T38_CAP_TRANSCODING_JBIG, &r.tpkt_param.transcode_jbig, nullptr},
    };
    auto& l = p.overwrite_lcl_t38_cap;
    const cap_field lcl_udp[] = {
        {lcl_udp_t38_version, FOIP__T38_CAP_VERSION, &l.udptl_param.t38_version, nullptr},
        {lcl_udp_max_bit_rate, FOIP__T38_CAP_MAX_BIT_RATE, nullptr, &l.udptl_param.fax_max_bit_rate},
        {lcl_udp_rate_management, FOIP__T38_CAP_RATE_MANAGEMENT, &l.udptl_param.drate_mgt_method, nullptr},
        {lcl_udp_fill_bit_removal, FOIP__T38_CAP_FILL_BIT_REMOVAL, &l.udptl_param.remove_fill_bits_t4, nullptr},
        {lcl_udp_transcoding_mmr, FOIP__T38_CAP_TRANSCODING_MMR, &l.udptl_param.transcode_mmr, nullptr},
        {lcl_udp_transcoding_jbig, FOIP__T38_CAP_TRANSCODING_JBIG, &l.udptl_param.transcode_jbig, nullptr},
        {lcl_udp_max_buffer, FOIP__T38_CAP_MAX_BUFFER, nullptr, &l.udptl_param.fax_max_buffer_size},
        {lcl_udp_max_datagram, FOIP__T38_CAP_MAX_DATAGRAM, nullptr, &l.udptl_param.max_datagram_size},
        {lcl_udp_ec, FOIP__T38_CAP_UDP_EC, &l.udptl_param.udp_ec, nullptr},
    };
    const cap_field lcl_tcp[] = {
        {lcl_tcp_t38_version, FOIP__T38_CAP_VERSION, &l.tpkt_param.t38_version, nullptr},
        {lcl_tcp_max_bit_rate, FOIP__T38_CAP_MAX_BIT_RATE, nullptr, &l.tpkt_param.fax_max_bit_rate},
        {lcl_tcp_rate_management, FOIP__T38_CAP_RATE_MANAGEMENT, &l.tpkt_param.drate_mgt_method, nullptr},
        {lcl_tcp_fill_bit_removal, FOIP__T38_CAP_FILL_BIT_REMOVAL, &l.tpkt_param.remove_fill_bits_t4, nullptr},
        {lcl_tcp_transcoding_mmr, FOIP__T38_CAP_TRANSCODING_MMR, &l.tpkt_param.transcode_mmr, nullptr},
        {lcl_tcp_transcoding_jbig, FOIP__T38_CAP_TRANSCODING_JBIG, &l.tpkt_param.transcode_jbig, nullptr},
    };
    auto ignore_caps = [&](const cap_field* caps, std::size_t count) {
      for (std::size_t i = 0; i < count; ++i) c.ignore(caps[i].id);
    };
    auto force = [&](uint16_t id, uint16_t& field) {
      uint32_t v = 0;
      uint8_t s = 0;
      if (!c.rd_bfi(id, v, &s)) return false;
      field = static_cast<uint16_t>(s == INI_TOOLS__UNDEFINED ? 0 : v);
      return true;
    };
    r = foip__t38_capabilites_param{};
    l = foip__overwrite_lcl_t38_cap{};
    if (uses_udp) {
      if (!copy_caps(c, 5, rem_udp, std::size(rem_udp), r.udptl_param.use_t38_cap_bfi, false) ||
          !force(rem_udp_force_cap, r.udptl_param.test_mode__force_t38_rem_cap_bfi) ||
          !copy_caps(c, 5, lcl_udp, std::size(lcl_udp), l.udptl_param.use_t38_cap_bfi, true))
        return kRefused;
    } else {
      ignore_caps(rem_udp, std::size(rem_udp));
      c.ignore(rem_udp_force_cap);
      ignore_caps(lcl_udp, std::size(lcl_udp));
    }
    if (uses_tcp) {
      if (!copy_caps(c, 5, rem_tcp, std::size(rem_tcp), r.tpkt_param.use_t38_cap_bfi, false) ||
          !force(rem_tcp_force_cap, r.tpkt_param.test_mode__force_t38_rem_cap_bfi) ||
          !copy_caps(c, 5, lcl_tcp, std::size(lcl_tcp), l.tpkt_param.use_t38_cap_bfi, true))
        return kRefused;
    } else {
      ignore_caps(rem_tcp, std::size(rem_tcp));
      c.ignore(rem_tcp_force_cap);
      ignore_caps(lcl_tcp, std::size(lcl_tcp));
    }
  }

  // 6. Media identification.
  auto& ident = p.t38_media_add_param.sip_media_identification;
  if (!c.rd_id(local_user_identification, id16)) return kRefused;
  ident.local_user_identification = static_cast<uint8_t>(id16);
  if (!c.rd_bool(incoming_call_no_filter, b)) return kRefused;
  ident.flag_invite_in__no_filter = b;
  if (!c.rd_string(local_user_name, text)) return kRefused;
  if (empty_text(text)) return c.refuse(6, "\"%s\" is empty", "sz_local_user_name"), kRefused;
  foip__copy_text(ident.sz_local_user_name, text);
  if (!phone_number(c, local_user_phone_number, ident.sz_local_user_phone_number)) return kRefused;
  if (!c.rd_id(remote_user_identification, id16)) return kRefused;
  ident.remote_user_identification = static_cast<uint8_t>(id16);
  if (!c.rd_string(remote_user_name, text)) return kRefused;
  foip__copy_text(ident.sz_remote_user_name, text);
  if (!phone_number(c, remote_user_phone_number, ident.sz_remote_user_phone_number)) return kRefused;

  // 7. Local media address.
  auto& media = p.t38_media_add_param.local_media_add;
  {
    const uint16_t held_port = media.local_media_ip_addr.ip_port;
    if (!addr_pair(c, 7, local_media_domain_name, local_media_ip_address, "local_media_ip_addr.sz_fqdn",
                   "local_media_ip_addr.ip_addr.addr.vX", kBothDefined, media.local_media_ip_addr, held_port))
      return kRefused;
    if (held_port == 0) {
      if (!c.rd_num(local_media_port, n)) return kRefused;
      media.local_media_ip_addr.ip_port = static_cast<uint16_t>(n);
      record.rotation_base = static_cast<uint16_t>(n);
    }
  }
  if (glb.glb_sip_param.nat.flag_nat_support == 0) {
    c.ignore_all({nat_local_media_domain_name, nat_local_media_ip_address, nat_local_media_port});
    foip__clear_addr(media.nat_local_media_ip_addr);
  } else {
    if (!c.rd_num(nat_local_media_port, n)) return kRefused;
    if (!addr_pair(c, 7, nat_local_media_domain_name, nat_local_media_ip_address, "nat_local_media_ip_addr.sz_fqdn",
                   "nat_local_media_ip_addr.ip_addr.addr.vX", kBothDefined, media.nat_local_media_ip_addr,
                   static_cast<uint16_t>(n)))
      return kRefused;
  }
  uint32_t bits = 0;
  if (!c.rd_bfi(update_media_port_rules, bits)) return kRefused;
  media.upd_local_media_port_rules = static_cast<uint8_t>(bits);

  // 8. SIP registration.
  auto& reg = record.reg;
  reg = foip__sip_register_param{};
  if (!c.rd_bool(send_sip_register, b)) return kRefused;
  record.register_wanted = b;
  if (b == 0) {
    c.ignore_all({user_identification, user_name, user_phone_number, registered_domain_name, registered_ip_address,
                  registering_user_identification, registering_user_name, registering_user_phone_number,
                  registering_domain_name, registering_ip_address, registering_port, register_expire_delay,
                  use_authentication_parameters, send_sip_register_to_registrar});
  } else {
    if (!c.rd_id(user_identification, id16, &st) || !c.required(8, user_identification, st)) return kRefused;
    reg.user_identification = static_cast<uint8_t>(id16);
    if (id16 == FOIP__USR_ID__PHONE_NUMBER) {
      if (!phone_number(c, user_phone_number, reg.sz_user_phone_number)) return kRefused;
      c.ignore(user_name);
    } else if (id16 == FOIP__USR_ID__NAME) {
      if (!c.rd_string(user_name, text)) return kRefused;
      foip__copy_text(reg.sz_user_name, text);
      c.ignore(user_phone_number);
    } else {
      reg.user_identification = ident.local_user_identification;
      foip__copy_text(reg.sz_user_name, ident.sz_local_user_name);
      foip__copy_text(reg.sz_user_phone_number, ident.sz_local_user_phone_number);
      c.wr_string(user_name, reg.sz_user_name);
      c.wr_string(user_phone_number, reg.sz_user_phone_number);
    }
    if (!addr_pair(c, 8, registered_domain_name, registered_ip_address, "registered_addr.sz_fqdn",
                   "registered_addr.ip_addr.addr.vX", kBothDefined, reg.registered_addr, 0))
      return kRefused;
    if (!c.rd_id(registering_user_identification, id16)) return kRefused;
    reg.registering.user_identification = static_cast<uint8_t>(id16);
    foip__clear_addr(reg.registering.addr);
    if (id16 == 3) {
      c.ignore_all({registering_user_name, registering_user_phone_number, registering_domain_name,
                    registering_ip_address, registering_port});
    } else {
      if (!c.rd_string(registering_user_name, text)) return kRefused;
      foip__copy_text(reg.registering.sz_user_name, text);
      if (!phone_number(c, registering_user_phone_number, reg.registering.sz_user_phone_number)) return kRefused;
      const char* fqdn = nullptr;
      ini_tools__ip ip;
      if (!c.rd_string(registering_domain_name, fqdn) || !c.rd_ip(registering_ip_address, ip) ||
          !c.rd_num(registering_port, n))
        return kRefused;
      if (!empty_text(fqdn) && has_ip(ip))
        return c.refuse(8, kBothDefined, "registering.addr.sz_fqdn", "registering.addr.ip_addr.addr.vX"), kRefused;
      set_addr(reg.registering.addr, fqdn, ip, static_cast<uint16_t>(n));
    }
    if (!c.rd_num(register_expire_delay, reg.expires_sec)) return kRefused;
    if (!c.rd_bool(use_authentication_parameters, b)) return kRefused;
    if (b == 1) {
      if (empty_text(auth.sz_user_name) || empty_text(auth.sz_user_password) || empty_text(auth.sz_realm)) {
        c.wr_bool(use_authentication_parameters, 0);
      } else {
        reg.sip_authentication = auth;
      }
    }
    if (!c.rd_bool(send_sip_register_to_registrar, b)) return kRefused;
    reg.flag_snd_sip_register_to_registrar = b;
  }

  // 9. Fax capabilities and the temporary page file.
  auto& fax = p.fax_common_param;
  if (!c.rd_string(fax_id, text)) return kRefused;
  if (empty_text(text)) {
    fax.fax_id[0] = '\0';
  } else {
    (void)std::snprintf(fax.fax_id, sizeof fax.fax_id, "%-20.20s", text);
  }
  struct {
    uint16_t id;
    uint8_t* field;
  } const speeds[] = {{max_speed, &fax.max_speed},
                      {min_speed, &fax.min_speed},
                      {rx_ecm_frame_size, &fax.rx_max_fax_cap.ecm_frame_size},
                      {rx_page_width, &fax.rx_max_fax_cap.pg_width_mm},
                      {rx_page_length, &fax.rx_max_fax_cap.pg_length},
                      {tx_wished_ecm_frame_size, &fax.tx_wished_fax_cap.ecm_frame_size}};
  for (const auto& s : speeds) {
    if (!c.rd_id(s.id, id16)) return kRefused;
    *s.field = static_cast<uint8_t>(id16);
  }
  if (!c.rd_bfi(rx_page_algorithm, bits)) return kRefused;
  fax.rx_max_fax_cap.pg_encoding = static_cast<uint8_t>(bits);
  if (!c.rd_bfi(rx_page_resolution, bits)) return kRefused;
  fax.rx_max_fax_cap.pg_resolution = static_cast<uint16_t>(bits);
  if (!c.rd_bfi(tx_wished_page_algorithm, bits)) return kRefused;
  fax.tx_wished_fax_cap.pg_encoding = static_cast<uint8_t>(bits);
  if (!c.rd_file(temporary_tiff_file_name, text)) return kRefused;
  if (empty_text(text)) {
    c.wr_file(temporary_tiff_file_name, "default_tmp_pg_na%d.%d");
    if (!c.rd_file(temporary_tiff_file_name, text)) return kRefused;
  }
  if (!c.prefixed(9, temporary_tiff_file_name, tmp_path, text, fax.sz_fname_tiff_tmp_pg)) return kRefused;

  // 10. Pages to send.
  auto& send = p.fax_send_pg;
  std::memset(send.sz_tiff_fname_fax_pg, 0, sizeof send.sz_tiff_fname_fax_pg);
  if (!c.rd_num(counter_send, n)) return kRefused;
  send.cnt_send_test = static_cast<uint16_t>(n);
  std::size_t pages = 0;
  if (n == 0) {
    c.ignore_all({page_header, bmp_top_margin, line_padding_mode});
  } else {
    if (!c.rd_string(page_header, text)) return kRefused;
    foip__copy_text(send.tx_fax_page_settings.sz_pg_header, text);
    if (!c.rd_num(bmp_top_margin, n)) return kRefused;
    send.tx_fax_page_settings.bmp_top_margin_pels = static_cast<uint16_t>(n);
    if (!c.rd_id(line_padding_mode, id16)) return kRefused;
    send.tx_fax_page_settings.line_padding_mode = static_cast<uint8_t>(id16);
    const uint16_t elements = c.element_count(page_tiff_file_name);
    for (uint16_t k = 0; k < elements && pages < FOIP__MAX_SND_TIFF_FILE; ++k) {
      if (!c.rd_file(page_tiff_file_name, text, nullptr, k)) return kRefused;
      if (empty_text(text)) continue;
      if (!c.prefixed(10, page_tiff_file_name, send_path, text, send.sz_tiff_fname_fax_pg[pages], k)) return kRefused;
      ++pages;
      c.ignore_all({page_encoding, page_resolution, page_width, page_length}, k);
    }
  }

  // 11. Received pages.
  auto& rcv = p.fax_rcv_pg;
  if (!c.rd_file(rcv_tiff_file_name, text)) return kRefused;
  if (!c.prefixed(11, rcv_tiff_file_name, rcv_path, text, rcv.sz_tiff_fname_rcv_fax_pg)) return kRefused;
  if (!c.rd_num(max_received_fax_pages, n)) return kRefused;
  rcv.max_rx_nb_page = static_cast<uint16_t>(n);
  if (!c.rd_num(max_received_fax_data, rcv.max_rx_fax_data_size)) return kRefused;
  rcv.usr_val = 0;

  // 12. Direction.
  const bool receives = rcv.sz_tiff_fname_rcv_fax_pg[0] != '\0';
  if (pages == 0 && !receives)
    return c.refuse(12, "[[Fax Page sent]] and [FAX Receive page] array not initialized"), kRefused;
  if (pages != 0 && receives)
    return c.refuse(12, "[[Fax Page sent]] and [FAX Receive page] array initialized"), kRefused;
  record.direction = pages != 0 ? FOIP__DIR_OUT : FOIP__DIR_IN;

  // 13. Remote SIP address.
  auto& remote = p.sip_session_param.remote_sip_addr;
  if (record.direction == FOIP__DIR_IN) {
    c.ignore_all({remote_sip_domain_name, remote_sip_ip_address, remote_sip_port});
    foip__clear_addr(remote);
  } else {
    if (!c.rd_num(remote_sip_port, n)) return kRefused;
    if (!addr_pair(c, 13, remote_sip_domain_name, remote_sip_ip_address, "remote_sip_addr.sz_fqdn",
                   "remote_sip_addr.ip_addr.addr.vX", kBothDefined, remote, static_cast<uint16_t>(n)))
      return kRefused;
  }

  // 14. Traces.
  auto& trc = p.trc_param;
  auto num_or = [&](uint16_t id, uint32_t undefined_value, uint32_t& v) {
    uint8_t s = 0;
    if (!c.rd_num(id, v, &s)) return false;
    if (s == INI_TOOLS__UNDEFINED) v = undefined_value;
    return true;
  };
  auto flag = [&](uint16_t id, uint8_t& field) {
    uint8_t v = 0;
    if (!c.rd_bool(id, v)) return false;
    field = v;
    return true;
  };
  if (!c.rd_file(event_file_name, text) ||
      !c.prefixed(14, event_file_name, trace_path, text, trc.event.sz_fname_event) ||
      !c.rd_file(audit_file_name, text) ||
      !c.prefixed(14, audit_file_name, trace_path, text, trc.audit.sz_fname_audit) ||
      !c.rd_file(t38_trace_file_name, text) ||
      !c.prefixed(14, t38_trace_file_name, trace_path, text, trc.t38_trc.sz_fname_t38_trc))
    return kRefused;
  uint32_t display = 0, record_bits = 0, t38_events = 0, t38_list = 0;
  if (!c.rd_bfi(display_event, display) || !c.rd_bfi(record_event, record_bits) ||
      !c.rd_bfi(list_of_t38_events, t38_events) || !c.rd_bfi(t38_trace_list, t38_list))
    return kRefused;
  trc.event.display_event_bfi = static_cast<uint16_t>(display);
  trc.event.record_event_bfi = static_cast<uint16_t>(record_bits);
  if (((display | record_bits) & 4) == 0 && t38_events != 0) {
    t38_events = 0;
    c.wr_bfi(list_of_t38_events, 0);
  }
  trc.event.t38_event_bfi = t38_events;
  if ((t38_list & 0xA0610) != 0) {
    t38_list &= ~uint32_t(0xA0610);
    c.wr_bfi(t38_trace_list, t38_list);
  }
  trc.t38_trc.t38_trc_bfi = t38_list;
  struct numbered {
    uint16_t id;
    uint32_t undefined_value;
    uint32_t max;
    uint8_t* u8_field;
    uint16_t* u16_field;
  } const numbers[] = {
      {max_length_of_event_file, 0, 0xFFFF, nullptr, &trc.event.max_length_of_event_file},
      {max_number_of_event_files, 5, 0xFF, &trc.event.nb_of_multiple_event_files, nullptr},
      {max_length_of_audit_file, 0, 0xFFFF, nullptr, &trc.audit.max_length_of_audit_file},
      {max_number_of_audit_files, 5, 0xFF, &trc.audit.nb_of_multiple_audit_files, nullptr},
      {max_length_of_t38_trace_file, 0, 0xFFFF, nullptr, &trc.t38_trc.max_length_of_t38_trc_file},
      {max_number_of_t38_trace_files, 5, 0xFF, &trc.t38_trc.nb_of_multiple_t38_trc_files, nullptr},
      {t38_trace_max_asn1_bytes, 0, 0xFFFF, nullptr, &trc.t38_trc.max_byte_asn1_hex},
      {t38_trace_max_pck_bytes, 0, 0xFFFF, nullptr, &trc.t38_trc.max_byte_t38_pck_hex},
      {t38_trace_max_fax_data, 0, 0xFFFF, nullptr, &trc.t38_trc.max_byte_fax_hex},
  };
  for (const numbered& f : numbers) {
    if (!num_or(f.id, f.undefined_value, n)) return kRefused;
    n = c.narrow(14, f.id, n, f.max);
    if (f.u8_field != nullptr) *f.u8_field = static_cast<uint8_t>(n);
    if (f.u16_field != nullptr) *f.u16_field = static_cast<uint16_t>(n);
  }
  if (!flag(append_audit_file, trc.audit.append_audit_file) ||
      !flag(append_t38_trace_file, trc.t38_trc.append_t38_trc_file) ||
      !flag(t38_trace_full_display, trc.t38_trc.flag_full_t38_pck_dsp) ||
      !flag(t38_trace_kept_dfield, trc.t38_trc.flag_kept_dfield_organization))
    return kRefused;
  if (!c.rd_num(tag_debug_field, gen.tag_dbg_field_are_loaded) || !c.rd_num(debug_field_1, gen.dbg_field1) ||
      !c.rd_num(debug_field_2, gen.dbg_field2))
    return kRefused;
  return APP_FOIP_INI__COPY_DONE;
}
