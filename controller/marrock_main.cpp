// marrock: the device controller of one fax channel.
//   marrock GROUP <group> <channel> <device type> [log level]
//   marrock <device type> [log level]
// with optional "[SERVER-PARAGRAPH]" "[DEVICES-PARAGRAPH]" and "/SERVICE".
// "marrock --help" prints the usage; "marrock --make-fonts FOLDER" writes the
// header-line font files into FOLDER for a new server area.
#include <cstdio>
#include <cstring>
#include <string>

#include "controller/controller.h"
#include "controller/page_header_render.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace {

constexpr const char* kHelp[] = {
    "Usage: marrock GROUP <group> <channel> <device type> [log level]\n"
    "       marrock <device type> [log level]\n"
    "       marrock --make-fonts FOLDER\n"
    "       marrock --help\n"
    "\n"
    "The device controller of one fax channel: takes send jobs from DRENNIC on its\n"
    "request mailslot, hands them to tessaly, accepts the incoming calls tessaly\n"
    "offers and files received faxes for the fax server; reports its results and\n"
    "device state to DRENNIC and MORVATH.\n"
    "\n"
    "  GROUP <group> <channel>  settings from \"[FOIP-<group>]\" and the channel\n"
    "                           paragraph \"[FOIP-<group>-<channel>]\" of KORVANE.INI;\n"
    "                           request mailslot FOIP\\<group>\\<channel>\n"
    "                           (channel 1 to 999)\n"
    "  <device type>            1 to 200, the device number DRENNIC knows; without\n"
    "                           GROUP the settings come from \"[FOIP-<device type>]\"\n"
    "                           and the request mailslot is FOIP\\<device type>\n"
    "  [log level]              lowest level of the log lines written, 1 (all) to\n"
    "                           6 (fatal only); default 3\n"
    "  \"[...]\" and /SERVICE     a server and a devices paragraph name and the\n"
    "                           service flag are taken off the command line and\n"
    "                           not used\n"
    "  --make-fonts FOLDER      writes the header-line fonts ELIT_LN.FN and\n"
    "                           ELIT_LF.FN into FOLDER (the server area's K-DB)\n"
    "\n",
    platform::kEnvironmentHelp,
    "  TEMP, TMP             folder of temporary files (default the server area's\n"
    "                        K-TEMP)\n"
    "\n"
    "A closedown request from DRENNIC, a shutdown packet (class 99), SIGINT or\n"
    "SIGTERM ends the job in hand and stops it.  Exit code 0; 1 for a bad command\n"
    "line or a fatal settings error.\n",
};

int MakeFonts(const std::string& folder) {
  const std::string base = folder.empty() || folder.back() == '/' ? folder : folder + "/";
  for (bool fine : {false, true}) {
    const std::string path = base + (fine ? "ELIT_LF.FN" : "ELIT_LN.FN");
    const StatusWord st = MakeHeaderFontFile(path, fine);
    if (st != STATUS_OK) {
      (void)std::fprintf(stderr, "marrock: cannot write %s (0x%X)\n", path.c_str(), st);
      return 1;
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    for (const char* part : kHelp) (void)std::fputs(part, stdout);
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "--make-fonts") == 0) return MakeFonts(argv[2]);
  platform::InstallTerminationFlag();
  SystemControllerClock clock;
  Controller controller(&clock);
  return controller.AppMain(argc, argv);
}
