// tessaly's real entities in the test process, driven by the scripted
// device controller on a temporary server area: the start, stop and
// status-reading steps the host fixtures share.  Every wait is bounded.
// Test-only.
#pragma once

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/support/temp_folder.h"
#include "fax/support/fax_test_pages.h"
#include "host/host.h"
#include "host/scripted_controller.h"

namespace tessaly_test {

// The source tree, from where this file lies in it.
std::string source_dir();
// Replaces the first `from` in `text` by `to`; a failure when it is missing.
void replace_text(std::string& text, const std::string& from, const std::string& to);

// Short loop, poll and shutdown times, for a test.
HostOptions test_host_options();

// Points the runtime at `area` (its KORVANE.INI and mailslots), runs
// TessalyMain(`o`) in `thread` (its result into `exit_code`), registers the
// controller `id` on the reply slot `slot` with receive enabled or not, and
// waits until the FOIP entity is configured.  Failures are fatal ones.
void start_tessaly(const kvtest::TempFolder& area, const HostOptions& o, uint16_t id, const char* slot, bool receive,
                   std::thread& thread, int& exit_code, std::unique_ptr<ScriptedController>& controller);
// Shuts tessaly down through `controller`; true when it ended cleanly.
bool stop_tessaly(std::thread& thread, const std::unique_ptr<ScriptedController>& controller, const int& exit_code);
// At the end of a case: shuts tessaly down when it still runs (through a
// spare controller `spare_id` on `spare_slot` when `controller` cannot),
// drops the controller and the runtime's pointers to the area.
void end_tessaly(std::thread& thread, std::unique_ptr<ScriptedController>& controller, uint16_t spare_id,
                 const char* spare_slot);

// Status packets until one of `kinds` comes (returned); with no kinds, the
// next packet that is not a status.  Nothing within `ms`: none.
std::optional<Reply> next_of(ScriptedController& controller, std::initializer_list<uint16_t> kinds, int ms);
// Every page of the TIFF file `path` equals `pages`, pixel for pixel (libtiff).
void expect_pages(const std::string& path, const std::vector<fax_test::page>& pages);

}  // namespace tessaly_test

#endif
