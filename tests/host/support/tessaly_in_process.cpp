#include "host/support/tessaly_in_process.h"

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

#include <tiffio.h>

#include <chrono>
#include <cstdlib>

namespace tessaly_test {

using clock_type = std::chrono::steady_clock;

std::string source_dir() { return KV_SOURCE_DIR; }

void replace_text(std::string& text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  ASSERT_NE(at, std::string::npos) << from;
  text.replace(at, from.size(), to);
}

HostOptions test_host_options() {
  HostOptions o;
  o.loop_ms = 100;
  o.send_poll_ms = 50;
  o.shutdown_passes = 50;
  o.exit_wait_ms = 10000;
  return o;
}

void start_tessaly(const kvtest::TempFolder& area, const HostOptions& o, uint16_t id, const char* slot, bool receive,
                   std::thread& thread, int& exit_code, std::unique_ptr<ScriptedController>& controller) {
  setenv("KORVANE_INI_PATH", area.File("KORVANE.INI").c_str(), 1);
  setenv("KORVANE_MAILSLOT_DIR", area.File("mailslot").c_str(), 1);
  thread = std::thread([o, &exit_code] { exit_code = TessalyMain(o); });
  controller = std::make_unique<ScriptedController>(id, slot);
  ASSERT_TRUE(controller->ok());
  // The request slot exists once the runtime is up; on a busy machine the
  // start of a sanitizer build can take many seconds.
  StatusWord sent = STATUS_MAILSLOT_MISSING;
  const auto up_by = clock_type::now() + std::chrono::seconds(30);
  while (sent != STATUS_OK && clock_type::now() < up_by) {
    sent = controller->Register();
    if (sent != STATUS_OK) std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  ASSERT_EQ(sent, STATUS_OK);
  std::optional<Reply> r = controller->Next(15000);
  ASSERT_TRUE(r && r->type == TESSALY_FAX_STATUS && r->status.kind == FAX_STATUS_REQUEST_DONE);
  ASSERT_EQ(controller->Status(receive ? 1 : 0), STATUS_OK);
  r = controller->Next(15000);
  ASSERT_TRUE(r && r->type == TESSALY_FAX_STATUS && r->status.kind == FAX_STATUS_REQUEST_DONE);
  // FOIP (with its SIP side) is configured before anything starts.
  const std::string log = area.File("K-DB/TESSALY.log");
  const std::string ready = "FOIP__SET_CONFIG_CO Return code         : OK";
  const auto end = clock_type::now() + std::chrono::seconds(30);
  while (clock_type::now() < end && kvtest::ReadFile(log).find(ready) == std::string::npos)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_NE(kvtest::ReadFile(log).find(ready), std::string::npos) << "FOIP not configured";
}

bool stop_tessaly(std::thread& thread, const std::unique_ptr<ScriptedController>& controller, const int& exit_code) {
  if (!thread.joinable()) return true;
  if (controller) (void)controller->Shutdown();
  thread.join();
  return exit_code == 0;
}

void end_tessaly(std::thread& thread, std::unique_ptr<ScriptedController>& controller, uint16_t spare_id,
                 const char* spare_slot) {
  if (thread.joinable()) {
    if (!controller || controller->Shutdown() != STATUS_OK) {
      ScriptedController c(spare_id, spare_slot);
      (void)c.Shutdown();
    }
    thread.join();
  }
  controller.reset();
  unsetenv("KORVANE_INI_PATH");
  unsetenv("KORVANE_MAILSLOT_DIR");
}

std::optional<Reply> next_of(ScriptedController& controller, std::initializer_list<uint16_t> kinds, int ms) {
  const auto end = clock_type::now() + std::chrono::milliseconds(ms);
  while (clock_type::now() < end) {
    const int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(end - clock_type::now()).count());
    std::optional<Reply> r = controller.Next(left > 0 ? left : 1);
    if (!r) break;
    if (r->type != TESSALY_FAX_STATUS) {
      if (kinds.size() == 0) return r;
      continue;
    }
    for (uint16_t k : kinds)
      if (r->status.kind == k) return r;
  }
  return std::nullopt;
}

void expect_pages(const std::string& path, const std::vector<fax_test::page>& pages) {
  TIFF* t = TIFFOpen(path.c_str(), "r");
  ASSERT_NE(t, nullptr) << path;
  int n = 0;
  do ++n;
  while (TIFFReadDirectory(t));
  TIFFClose(t);
  ASSERT_EQ(n, static_cast<int>(pages.size())) << path;
  for (size_t i = 0; i < pages.size(); ++i) {
    const fax_test::page got = fax_test::libtiff_read(path, static_cast<int>(i));
    EXPECT_TRUE(got == pages[i]) << "page " << i << ": " << fax_test::describe_difference(pages[i], got);
  }
}

}  // namespace tessaly_test

#endif
