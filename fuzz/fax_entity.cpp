// The fax management entity ENT_FAX fed primitives from its user
// (ENT_FOIP), confirms and indications from the V.25 set-up entity
// (ENT_ACU), the fax session layer (ENT_CF) and the page converter
// (ENT_FC), configuration and reset from ENT_SM, with time passing so that
// its start and end-of-session timers run.  The stand-in for ENT_SM
// confirms every configuration and reset the entity asks of the lower
// entities, so that sessions get configured and can be started.
//
// Sessions: a receiving one (files in a scratch folder), and, when libtiff
// is at hand, a sending one with a two-page file written at start.  What
// a session writes is removed after every input.
//
// Checked: the runtime drains; every FAX__ACT_RQ and FAX__DEA_RQ from the
// user is answered (FAX__ACT_CO at once, FAX__DEA_CO at once or once the
// session is idle) or the nai has no session; every configuration or
// reset request is answered once; after the entity released its sessions
// every message and buffer is back in its pool.
//
// Input: byte 0 picks the configurations (bit 0 the sending session too,
// bit 1 ECM offered), then the records of fuzz/entity_fuzz.h.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "common/byte_order.h"
#include "fax/fax_config.h"
#include "fax/fax_entity.h"
#include "fuzz/entity_fuzz.h"
#include "fuzz/fax_fuzz.h"

#if defined(KV_HAVE_LIBTIFF)
#include <tiffio.h>
#endif

namespace {

using entity_fuzz::bytes;
namespace fs = std::filesystem;
constexpr nai_t kReceiver = 1, kSender = 2;

// ENT_SM: a configuration or reset the entity asks of a lower entity is
// confirmed; the entity's own answers are noted.
void sm(msg_t* m) {
  entity_fuzz::remember(m);
  if (m->from == ENT_FAX && (m->code == SM_CONFIG_RQ || m->code == SM_RST_CFG_RQ)) {
    const ent_id_t lower = Sm_target(m);
    const u8 ok[3] = {2, 0, lower};
    Msg_set_inline_body(m, ok, sizeof ok);
    m->code = m->code == SM_CONFIG_RQ ? SM_CONFIG_CO : SM_RST_CFG_CO;
    m->from = ENT_SM;
    m->to = ENT_FAX;
    Send_msg(m);
    return;
  }
  Free_msg(m);
}

const entity_table_row_t TABLE[] = {
    {ENT_SM, sm, 0, 0, nullptr, 0},
    {ENT_FOIP, entity_fuzz::stand_in, 0, 0, nullptr, 0},
    {ENT_ACU, entity_fuzz::stand_in, 0, 0, nullptr, 0},
    {ENT_CF, entity_fuzz::stand_in, 0, 0, nullptr, 0},
    {ENT_FC, entity_fuzz::stand_in, 0, 0, nullptr, 0},
    {ENT_MFM, entity_fuzz::stand_in, 0, 0, nullptr, 0},
    FAX_ENTITY_ROW,
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

const fs::path& scratch() {
  static const fs::path dir = fax_fuzz::make_scratch("fuzz_fax_entity");
  return dir;
}

// A two-page file of short white pages, written once; empty without libtiff.
std::string send_file() {
#if defined(KV_HAVE_LIBTIFF)
  static const std::string name = [] {
    std::string path = (scratch() / "send.tif").string();
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
    TIFF* t = TIFFOpen(path.c_str(), "w");
    if (t == nullptr) return std::string();
    std::vector<u8> row(1728 / 8, 0);
    for (int page = 0; page < 2; ++page) {
      TIFFSetField(t, TIFFTAG_IMAGEWIDTH, 1728);
      TIFFSetField(t, TIFFTAG_IMAGELENGTH, 8);
      TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 1);
      TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
      TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX3);
      TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
      TIFFSetField(t, TIFFTAG_FILLORDER, FILLORDER_LSB2MSB);
      TIFFSetField(t, TIFFTAG_XRESOLUTION, 204.0);
      TIFFSetField(t, TIFFTAG_YRESOLUTION, 98.0);
      TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
      TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 8);
      TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
      TIFFSetField(t, TIFFTAG_PAGENUMBER, page, 2);
      for (u32 r = 0; r < 8; ++r) {
        row[r] = static_cast<u8>(0x80 >> r);  // a short diagonal, so that the rows differ
        (void)TIFFWriteScanline(t, row.data(), r, 0);
      }
      (void)TIFFWriteDirectory(t);
    }
    TIFFClose(t);
    return path;
  }();
  return name;
#else
  return {};
#endif
}

std::size_t g_configured = 0;  // messages posted by the configuration
bool g_sender = false;         // the sending session was configured too

bytes config(nai_t nai, const std::string& tx, bool ecm) {
  return fax_fuzz::session_config(nai, ecm, "+33 1 FUZZ", scratch(), tx, 200000);
}

void configure(entity_fuzz::reader& in) {
  const u8 how = in.byte();
  const bool ecm = (how & 2) != 0;
  entity_fuzz::post(ENT_SM, ENT_FAX, SM_CONFIG_RQ, kReceiver, FAX_SAPI, OM_OS_CONN_NONE, config(kReceiver, "", ecm),
                    true, ENT_FAX);
  const std::string tx = send_file();
  g_sender = (how & 1) != 0 && !tx.empty();
  if (g_sender)
    entity_fuzz::post(ENT_SM, ENT_FAX, SM_CONFIG_RQ, kSender, FAX_SAPI, OM_OS_CONN_NONE, config(kSender, tx, ecm), true,
                      ENT_FAX);
  entity_fuzz::advance(40);  // the start timers
  g_configured = entity_fuzz::posted().size();
}

int count_to(ent_id_t to, code_t code, ent_id_t from = ENT_FAX) {
  int n = 0;
  for (const entity_fuzz::note& x : entity_fuzz::notes()) n += x.to == to && x.from == from && x.code == code;
  return n;
}

void check() {
  if (entity_fuzz::notes().size() >= entity_fuzz::kNotes) return;
  // Every activation of a configured session is answered at once, to
  // whoever asked (a configuration or reset from the input may have taken
  // a session away: a request for a nai without one is dropped).
  int act = 0;
  bool sessions_kept = true;
  for (std::size_t i = g_configured; i < entity_fuzz::posted().size(); ++i) {
    const entity_fuzz::note& p = entity_fuzz::posted()[i];
    act += p.code == FAX__ACT_RQ && p.from == ENT_FOIP && (p.nai == kReceiver || (p.nai == kSender && g_sender));
    sessions_kept = sessions_kept && !(p.from == ENT_SM && (p.code == SM_CONFIG_RQ || p.code == SM_RST_CFG_RQ));
  }
  if (sessions_kept && count_to(ENT_FOIP, FAX__ACT_CO) != act) __builtin_trap();
  int asked = 0;
  for (const entity_fuzz::note& p : entity_fuzz::posted())
    asked += p.from == ENT_SM && p.to == ENT_FAX && (p.code == SM_CONFIG_RQ || p.code == SM_RST_CFG_RQ);
  const int answers = count_to(ENT_SM, SM_CONFIG_CO) + count_to(ENT_SM, SM_RST_CFG_CO);
  // A reset waiting for the lower entities is answered when they have; one
  // still pending is not an error, more answers than requests is.
  if (answers > asked) __builtin_trap();
}

void release() {
  fax_release_all();
  std::error_code ec;
  for (const fs::directory_entry& e : fs::directory_iterator(scratch(), ec))
    if (e.path().filename() != "send.tif") fs::remove(e.path(), ec);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const entity_fuzz::target t{
      TABLE,
      ENT_FAX,
      {
          {ENT_FOIP, FAX_SAPI, {FAX__ACT_RQ, FAX__DEA_RQ, FAX__DBG_AUTO}},
          {ENT_ACU, 0, {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i'}},
          {ENT_CF, 255, {'b', 'c', 'g', 'h', 'i', 'j', 'm', 'n', 'o', 'r', 's', 'q', 'p', '-', ')', ']'}},
          {ENT_FC, 10, {'a', 'b', 'C', 'd', 's'}},
          {ENT_SM, 0, {SM_CONFIG_RQ, SM_RST_CFG_RQ, SM_CONFIG_CO, SM_RST_CFG_CO}},
      },
      {kReceiver, kSender, 0, 3, 0xFFFF},
      configure,
      release,
      check,
  };
  return entity_fuzz::run(t, data, size);
}
