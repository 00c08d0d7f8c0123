#include "UnitInformation.h"

#include "EnvVars.h"

UnitInformation* UnitInformation::instance() {
    static UnitInformation* const info = new UnitInformation;
    return info;
}

UnitInformation::UnitInformation()
    : unit_(static_cast<unsigned long>(platform::envInt64(
          "TOPADAPTER_UNIT", platform::envInt64("TOPADAPTER_SLOT", 1, 0, 255), 0, 0xFFFFFFFF))) {}
