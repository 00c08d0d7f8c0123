// Which unit of the node runs this task, as the card's environment reports it.
//
// Environment:
//   TOPADAPTER_UNIT   the own unit number (default: the own slot,
//                     TOPADAPTER_SLOT, default 1)
#pragma once

class UnitInformation {
public:
    static UnitInformation* instance();
    unsigned long getUnitNumber() const { return unit_; }

private:
    UnitInformation();
    unsigned long unit_;
};
