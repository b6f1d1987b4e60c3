// tessaly: the fax-over-IP manager.  No command-line argument is read; the
// settings come from KORVANE.INI ($KORVANE_INI_PATH) and the server area.
#include "host/host.h"
#include "platform/process.h"

int main() {
  platform::InstallTerminationFlag();
  return TessalyMain();
}
