// marrock: the device controller of one fax channel.
//   marrock GROUP <group> <channel> <device type> [log level]
//   marrock <device type> [log level]
// with optional "[SERVER-PARAGRAPH]" "[DEVICES-PARAGRAPH]" and "/SERVICE".
#include "controller/controller.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  platform::InstallTerminationFlag();
  SystemControllerClock clock;
  Controller controller(&clock);
  return controller.AppMain(argc, argv);
}
