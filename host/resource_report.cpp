#include "host/resource_report.h"

#include <cstdio>

#include "common/program_log.h"
#include "runtime/mem.h"
#include "runtime/msg.h"
#include "runtime/sock.h"
#include "runtime/timer.h"
#include "session/foip/foip.h"
#include "sip/ent/sip_entity.h"
#include "sip/ssc/ssc_entity.h"
#include "t38/t38_entity.h"

namespace {

template <class... Numbers>
std::string Format(const char* format, Numbers... n) {
  char line[200];
  (void)std::snprintf(line, sizeof line, format, static_cast<unsigned>(n)...);
  return line;
}

unsigned Minus(unsigned a, unsigned b) { return a > b ? a - b : 0; }

// The calls and dialog entries of every user agent of ENT_SSC.
void SscCounts(unsigned* calls, unsigned* dialogs) {
  *calls = *dialogs = 0;
  for (const auto& ua : ssc_mod().agents) {
    if (!ua) continue;
    *calls += ua->calls_in_use;
    *dialogs += ua->entries_in_use;
  }
}

}  // namespace

ResourceCounts CurrentResourceCounts() {
  ResourceCounts r;
  r.msgs_held = Minus(om_os_msg_pool_stats().in_use, om_os_it_msg_pool_stats().count);
  r.buffers_held =
      Minus(om_os_buffer_pool_stats().in_use, om_os_it_buffer_pool_stats().count + ip_spare_buffer_count());
  r.timers = om_os_timer_pool_stats().in_use;
  r.sockets = ip_socket_count();
  if (const sip_shared_pools* p = sip_entity_state().pools) {
    r.sip_calls = p->calls.in_use();
    r.sip_server_transactions = p->server_txs.in_use();
  }
  SscCounts(&r.ssc_calls, &r.ssc_dialogs);
  r.foip_sessions = foip__session_count();
  r.t38_sessions = kv::t38::t38__session_count();
  r.heap_records = om_os_mem_count();
  return r;
}

std::vector<std::string> ResourceReportLines() {
  std::vector<std::string> out;
  const om_os_pool_stats m = om_os_msg_pool_stats();
  const om_os_pool_stats b = om_os_buffer_pool_stats();
  const om_os_it_pool_stats im = om_os_it_msg_pool_stats();
  const om_os_it_pool_stats ib = om_os_it_buffer_pool_stats();
  const om_os_timer_stats t = om_os_timer_pool_stats();
  const ResourceCounts r = CurrentResourceCounts();
  out.push_back(Format("pool messages: in use %u, high-water %u, size %u, held %u, congestion episodes %u", m.in_use,
                       m.high_water, m.limit, r.msgs_held, m.episodes));
  out.push_back(Format("pool buffers: in use %u, high-water %u, size %u, held %u, congestion episodes %u", b.in_use,
                       b.high_water, b.limit, r.buffers_held, b.episodes));
  out.push_back(Format("pool interrupt-side messages: free %u, lowest %u, normal %u", im.count, im.lowest, im.normal));
  out.push_back(Format("pool interrupt-side buffers: free %u, lowest %u, normal %u, receive spares %u", ib.count,
                       ib.lowest, ib.normal, ip_spare_buffer_count()));
  out.push_back(Format("pool timer cells: in use %u, high-water %u, size %u", t.in_use, t.high_water, t.limit));
  out.push_back(Format("heap: records %u, long-term bytes %u, long-term high-water %u", r.heap_records,
                       om_os_mem_long_term_total(), om_os_mem_long_term_high()));
  unsigned sip_calls_high = 0, sip_tx_high = 0, sip_calls_size = 0, sip_tx_size = 0;
  if (const sip_shared_pools* p = sip_entity_state().pools) {
    sip_calls_high = p->calls.high_water();
    sip_tx_high = p->server_txs.high_water();
    sip_calls_size = p->calls.capacity();
    sip_tx_size = p->server_txs.capacity();
  }
  out.push_back(Format("SIP calls: in use %u, high-water %u, size %u", r.sip_calls, sip_calls_high, sip_calls_size));
  out.push_back(Format("SIP server transactions: in use %u, high-water %u, size %u", r.sip_server_transactions,
                       sip_tx_high, sip_tx_size));
  unsigned refused_calls = 0, refused_txs = 0;
  if (const sip_shared_pools* p = sip_entity_state().pools) {
    refused_calls = p->refused_no_call;
    refused_txs = p->refused_no_server_tx;
  }
  out.push_back(Format("SIP requests answered 503 for want of a record: call %u, server transaction %u", refused_calls,
                       refused_txs));
  out.push_back(Format("SSC calls %u, SSC dialogs %u, FOIP sessions %u, T.38 sessions %u, sockets %u", r.ssc_calls,
                       r.ssc_dialogs, r.foip_sessions, r.t38_sessions, r.sockets));
  return out;
}

void LogResourceReport(const char* when) {
  ProgramLog(3, "Resources at %s:", when);
  for (const std::string& line : ResourceReportLines()) ProgramLog(3, "  %s", line.c_str());
}
