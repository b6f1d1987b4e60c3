// Configuration input of the application: the first byte chooses what the
// rest is read as.
//   0: a SETUP.INI, read for its "[TESSALY]" settings;
//   1: a session file, read into a session table and copied into the session
//      parameters;
//   2: a phone number through the phone-number filter and an IPv4 text
//      through the strict parser.
// Every text field filled must stay terminated within its field.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "session/config/app_foip_cnf.h"
#include "session/config/app_foip_mngt.h"
#include "session/config/app_foip_session_cfg.h"
#include "session/config/foip_param_copy.h"

namespace {

template <std::size_t N>
void check(const char (&field)[N]) {
  if (strnlen(field, N) >= N) std::abort();
}

void check_addr(const foip__full_ip_addr& a) { check(a.sz_fqdn); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  if (size < 2) return 0;
  const uint8_t mode = data[0] % 3;
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  if (mode == 0) {
    std::FILE* f = fmemopen(text.data(), text.size(), "rb");
    if (f == nullptr) return 0;
    app_foip_cnf__setup setup;
    uint8_t r = app_foip_cnf__read_setup(f, "HOST", &setup);
    (void)std::fclose(f);  // read only
    if (r != 2 && r != 3) std::abort();
    if (setup.max_sessions > FOIP__MAX_MEDIA_NA) std::abort();
    check(setup.user_name);
    check(setup.password);
  } else if (mode == 1) {
    std::FILE* f = fmemopen(text.data(), text.size(), "rb");
    if (f == nullptr) return 0;
    app_foip_ini__session_values record;
    app_foip_ini__init_session_values(record);
    uint8_t r = ini_tools__read_cfg_stream(f, "fuzz.cfg", app_foip_ini__session_sections,
                                           app_foip_ini__session_keywords, nullptr, record.values.values());
    (void)std::fclose(f);  // read only
    if (r != INI_TOOLS__READ_DONE) return 0;
    foip__global_param glb{};
    glb.glb_sip_param.nat.flag_nat_support = data[0] & 4 ? 1 : 0;
    app_foip_ini__copy_cnf_tbl_2_cnf_struct(record.values.values(), record, glb, nullptr);
    const foip__session_param& p = record.param;
    check_addr(p.sip_session_param.remote_sip_addr);
    check(p.sip_session_param.sip_authentication.sz_user_name);
    check(p.sip_session_param.sip_authentication.sz_user_password);
    check(p.sip_session_param.sip_authentication.sz_realm);
    const auto& id = p.t38_media_add_param.sip_media_identification;
    check(id.sz_local_user_name);
    check(id.sz_local_user_phone_number);
    check(id.sz_remote_user_name);
    check(id.sz_remote_user_phone_number);
    check_addr(p.t38_media_add_param.local_media_add.local_media_ip_addr);
    check_addr(p.t38_media_add_param.local_media_add.nat_local_media_ip_addr);
    check(p.fax_common_param.fax_id);
    check(p.fax_common_param.sz_fname_tiff_tmp_pg);
    for (const auto& name : p.fax_send_pg.sz_tiff_fname_fax_pg) check(name);
    check(p.fax_send_pg.tx_fax_page_settings.sz_pg_header);
    check(p.fax_rcv_pg.sz_tiff_fname_rcv_fax_pg);
    check(p.trc_param.event.sz_fname_event);
    check(p.trc_param.audit.sz_fname_audit);
    check(p.trc_param.t38_trc.sz_fname_t38_trc);
    check(record.reg.sz_user_name);
    check(record.reg.sz_user_phone_number);
    check_addr(record.reg.registered_addr);
    check_addr(record.reg.registering.addr);
  } else {
    char out[26];
    uint8_t r = app_foip_mngt__filter_phone_number(text.c_str(), out, sizeof out);
    if (r < 1 || r > 3) std::abort();
    check(out);
    uint32_t v = 0;
    if (foip__parse_ipv4(text.c_str(), &v)) {
      // An accepted text is four plain decimal numbers that print back as
      // the same text.
      const unsigned char* b = reinterpret_cast<const unsigned char*>(&v);
      char back[16];
      (void)std::snprintf(back, sizeof back, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
      std::string t(text.c_str());
      bool leading_zero = false;
      for (std::size_t i = 0; i < t.size(); ++i)
        if (t[i] == '0' && (i == 0 || t[i - 1] == '.') && i + 1 < t.size() && t[i + 1] != '.') leading_zero = true;
      if (!leading_zero && t != back) std::abort();
    }
  }
  return 0;
}
