// tessaly: the fax-over-IP manager.  No command-line argument is read but
// "--help"; the settings come from KORVANE.INI ($KORVANE_INI_PATH) and the
// server area.
#include <cstdio>
#include <cstring>

#include "host/host.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace {

constexpr const char* kHelp[] = {
    "Usage: tessaly [--help]\n"
    "\n"
    "The fax-over-IP manager: holds every SIP/T.38 fax session of the server and\n"
    "serves the device controllers (marrock) on the mailslot \"TESSALY\".  It reads\n"
    "no argument but --help; its settings come from KORVANE.INI (\"[SERVER]\") and\n"
    "from \"[TESSALY]\" of K-DB/SETUP.INI in the system area.  It works in the\n"
    "server area and logs to K-DB/TESSALY.log there.\n"
    "\n",
    platform::kEnvironmentHelp,
    "\n"
    "SIGINT, SIGTERM or a shutdown packet on its mailslot end every session and\n"
    "stop it.  Exit code 0; 1 when the settings cannot be read.\n",
};

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    for (const char* part : kHelp) (void)std::fputs(part, stdout);
    return 0;
  }
  platform::InstallTerminationFlag();
  return TessalyMain();
}
