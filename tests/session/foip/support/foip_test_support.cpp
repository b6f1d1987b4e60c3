#include "session/foip/support/foip_test_support.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "runtime/entity_ids.h"
#include "runtime/support/rt_harness.h"
#include "session/foip/foip.h"
#include "session/foip/foip_ctx.h"

namespace foip_test {

bool write_tiff(const std::string& path, unsigned xres, unsigned yres, bool bad_compression) {
  const std::string data_path = path + ".dat";
  {
    std::ofstream d(data_path, std::ios::binary);
    std::vector<char> zeros(1728 / 8 * 4, 0);
    d.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
  }
  auto ctx = std::make_unique<tiff__ctx>();
  if (tiff__start_write(ctx.get(), tiff__get_ctx_size(), path.c_str()) != TIFF_DONE) return false;
  tiff__pg_header h;
  h.image_width = 1728;
  h.image_length = 4;
  h.compression = TIFF_UNCOMPRESSED;
  h.resolution_unit = 2;
  h.x_resolution = static_cast<uint16_t>(xres);
  h.y_resolution = static_cast<uint16_t>(yres);
  const bool ok = tiff__write_page(ctx.get(), &h, data_path.c_str()) == TIFF_DONE;
  tiff__close(ctx.get());
  std::remove(data_path.c_str());
  if (!ok || !bad_compression) return ok;
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const char entry[] = {0x03, 0x01, 0x03, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00};
  for (size_t i = 0; i + sizeof entry <= bytes.size(); ++i) {
    if (std::memcmp(&bytes[i], entry, sizeof entry) == 0) {
      bytes[i + 8] = 5;
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
      return true;
    }
  }
  return false;
}

namespace {
void common(foip__session_param& p, nai_t nai, const std::string& dir, char direction) {
  p = foip__session_param{};
  auto& g = p.session_general_param;
  g.kind_of_session = 'I';
  g.direction = direction;
  g.nai = nai;
  g.kind_of_t38_transport = 'U';
  g.start_t38_session_ms = 100;
  auto& id = p.t38_media_add_param.sip_media_identification;
  foip__copy_text(id.sz_local_user_name, ("fax" + std::to_string(nai)).c_str());
  p.t38_media_add_param.local_media_add.local_media_ip_addr.ip_port = 20000;
  foip__copy_text(p.fax_common_param.sz_fname_tiff_tmp_pg, (dir + "/tmp_pg_na%d.%d").c_str());
  foip__copy_text(p.trc_param.common.sz_user_id_string, ("session" + std::to_string(nai)).c_str());
  p.trc_param.event.max_length_of_event_file = 65535;
}
}  // namespace

void outgoing_param(foip__session_param& p, nai_t nai, const std::string& dir, const std::string& page) {
  common(p, nai, dir, 'O');
  foip__copy_text(p.fax_send_pg.sz_tiff_fname_fax_pg[0], page.c_str());
}

void incoming_param(foip__session_param& p, nai_t nai, const std::string& dir) {
  common(p, nai, dir, 'I');
  foip__copy_text(p.fax_rcv_pg.sz_tiff_fname_rcv_fax_pg, (dir + "/rcv_%d_%d.tif").c_str());
}

void global_param(foip__global_param& g, nai_t nb_simultaneous) {
  g = foip__global_param{};
  g.glb_common_param.nb_simultaneous_start_stop = nb_simultaneous;
  g.glb_sip_param.sig_nai = 100;
  g.glb_trc_param.event.max_length_of_event_file = 65535;
  g.glb_trc_param.audit.max_length_of_audit_file = 65535;
}

std::vector<foip__confirm> confirms(code_t code) {
  std::vector<foip__confirm> out;
  for (const rt_test::seen_msg& m : rt_test::rec().messages()) {
    if (m.to != ENT_APP_FOIP || m.code != code || m.data.size() < sizeof(foip__confirm)) continue;
    foip__confirm c;
    std::memcpy(&c, m.data.data(), sizeof c);
    out.push_back(c);
  }
  return out;
}

void sip_side_at_once(foip__na_ctx* s, u8 event) {
  if (event == SSC_MGT__EVT_RESET) {
    foip_cnf__close();
    return;
  }
  if (!s) return;
  const nai_t nai = foip__session_nai(s);
  if (event == SSC_MGT__EVT_OPEN_CALL) {
    foip__set_sip_call(s, s, true);
    foip__send_mgt(FOIP_MGT__SIP_CALL_OPENED, nai, 2, 1, 0, 0);
  } else if (event == SSC_MGT__EVT_CLOSE_CALL) {
    foip__set_sip_call(s, s, false);
    foip__send_mgt(FOIP_MGT__SIP_CALL_CLOSED, nai, 0, 0, 0, 0);
  }
}

}  // namespace foip_test
