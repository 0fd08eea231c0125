#pragma once
// The toolkit's component base: an owner and a component state. No Qt.
#include "platform/rtl/Rtl.h"

class TComponent : public TObject {
public:
    explicit TComponent(TComponent* AOwner = nullptr) : FOwner(AOwner) {}
    TComponent* Owner() const { return FOwner; }
    // The component is being edited in a form designer (never while the
    // program runs; tests set it to reach the design-time branches).
    bool Designing() const { return FDesigning; }
    void SetDesigning(bool Value) { FDesigning = Value; }
    virtual const char* ClassName() const { return "TComponent"; }

private:
    TComponent* FOwner;
    bool FDesigning = false;
};
