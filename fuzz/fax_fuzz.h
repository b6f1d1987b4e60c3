// Pieces shared by the fuzz targets that run fax sessions: a scratch folder
// of their own and the configuration of one session (a short start timer,
// every resolution, 1-D coding, its page and receive files in the scratch
// folder).
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include "fax/fax_config.h"
#include "fuzz/entity_fuzz.h"

namespace fax_fuzz {

// A new folder under the temporary folder, made once per target; `stem` is
// the start of its name.
inline std::filesystem::path make_scratch(const char* stem) {
  std::string t = (std::filesystem::temp_directory_path() / stem).string();
  t += "_XXXXXX";
  if (mkdtemp(t.data()) == nullptr) std::abort();
  return std::filesystem::path(t);
}

// The configuration of session `nai`; `send_file`, when not empty, is the
// file its first send job takes.
inline entity_fuzz::bytes session_config(nai_t nai, bool ecm, const char* local_id,
                                         const std::filesystem::path& scratch, const std::string& send_file,
                                         u32 max_rcv_bytes) {
  fax_config_writer c;
  c.u16_at(fax_cfg::NB_SESSIONS, 1);
  c.u16_at(fax_cfg::NAI, nai);
  c.u32_at(fax_cfg::START_TIMER_MS, 10);
  c.byte(fax_cfg::MAX_SPEED, 14);
  c.byte(fax_cfg::MIN_SPEED_ORG, 2);
  c.text(fax_cfg::TMP_PG_FORMAT, fax_cfg::NAME_SIZE, (scratch / "pg_%d_%d.tmp").string());
  c.byte(fax_cfg::ECM_OFFERED, ecm ? '2' : '0');
  c.byte(fax_cfg::CODINGS_ANS, 1);
  c.u16_at(fax_cfg::RESOLUTIONS_ANS, 0x7F);
  c.byte(fax_cfg::WIDTH_ANS, '3');
  c.byte(fax_cfg::LENGTH_ANS, 'U');
  c.byte(fax_cfg::LOCAL_ECM, ecm ? '2' : '0');
  c.byte(fax_cfg::LOCAL_CODINGS, 1);
  c.text(fax_cfg::LOCAL_ID, 20, local_id);
  if (!send_file.empty()) c.send_file(0, send_file);
  c.u16_at(fax_cfg::COPIES, 1);
  c.text(fax_cfg::RCV_FORMAT, fax_cfg::NAME_SIZE, (scratch / "rcv_%d_%d.tif").string());
  c.u16_at(fax_cfg::RCV_NUMBER, 7);
  c.u16_at(fax_cfg::MAX_RCV_PAGES, 4);
  c.u32_at(fax_cfg::MAX_RCV_BYTES, max_rcv_bytes);
  return entity_fuzz::bytes(c.p, c.p + FAX_CONFIG_SIZE);
}

}  // namespace fax_fuzz
