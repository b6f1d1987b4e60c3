// Trace-mask hooks and the address helpers of the configuration copies.
#include "session/config/foip_param_bind.h"

#include "runtime/om_os.h"

namespace {

app_foip_ini__trace_mask_hooks g_mask_hooks;
constexpr std::size_t kFqdnCut = FOIP__FQDN_MAX_LEN;  // room of 64: 63 characters

}  // namespace

void app_foip_ini__set_trace_mask_hooks(const app_foip_ini__trace_mask_hooks& hooks) { g_mask_hooks = hooks; }

namespace param_copy {

u32 get_trace_mask() { return g_mask_hooks.get != nullptr ? g_mask_hooks.get() : om_os_get_trace_mask(); }
void set_trace_mask(u32 v) {
  if (g_mask_hooks.set != nullptr) g_mask_hooks.set(v);
  else om_os_set_trace_mask(v);
}

// Fills an address record from a domain name, an IP record and a port.
void set_addr(foip__full_ip_addr& a, const char* fqdn, const ini_tools__ip& ip, u16 port) {
  foip__clear_addr(a);
  foip__copy_text(a.sz_fqdn, kFqdnCut, fqdn);
  if (has_ip(ip)) foip__set_ipv4(a.ip_addr, ip.addr);
  a.ip_port = port;
}

// The address of a (domain name, IP address) keyword pair: both empty gives
// the host's own address, written back to the IP keyword; both set is
// refused with the two given names (no names: both set is taken as is).
bool addr_pair(copier& c, int site, u16 fqdn_id, u16 ip_id, const char* fqdn_name, const char* ip_name,
               foip__full_ip_addr& out, u16 port) {
  const char* fqdn = nullptr;
  ini_tools__ip ip;
  if (!c.rd_string(fqdn_id, fqdn) || !c.rd_ip(ip_id, ip)) return false;
  if (fqdn_name != nullptr && !empty_text(fqdn) && has_ip(ip))
    return c.refuse(site, "\"%s\" and \"%s\" are both defined", fqdn_name, ip_name);
  set_addr(out, fqdn, ip, port);
  if (empty_text(fqdn) && !has_ip(ip)) {
    app_foip_mngt__get_local_ip_address(&out.ip_addr);
    c.wr_ip(ip_id, out.ip_addr);
  }
  return true;
}

}  // namespace param_copy
