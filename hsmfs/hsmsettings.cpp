#include "hsmfs/hsmsettings.h"

HsmSettings& hsmSettings() {
  static HsmSettings settings;
  return settings;
}
