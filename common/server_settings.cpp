#include "common/server_settings.h"

SystemParams& SystemParameters() {
  static SystemParams params;
  return params;
}
