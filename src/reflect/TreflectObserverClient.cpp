#include "TreflectObserverClient.h"

#include "REFLECT_ObserverSkeleton.h"

static_assert(sizeof(TreflectObserverClient) == sizeof(TreflectObject),
              "an observer handle is a bare handle, so that it comes from the handle free list");

bool TreflectObserverClient::notify(TreflectObject const& source, unsigned long const& cc, unsigned long const& mc,
                                    TipprmiSequence<TipprmiAny> const& args, bool& delivered) const {
    // An observer of this process is called directly: a request to it would
    // come back to its skeleton, which hands it to this very operation.
    if (auto* local = dynamic_cast<TreflectObserverSkeleton*>(getServer()))
        return local->notify(source, cc, mc, args, delivered);
    TipprmiStream in(100), out(100);
    prepareRequestStream_(true, kClassCode, kNotify, in);
    in << source << cc << mc << args;
    dispatch(true, kClassCode, kNotify, in, out);
    bool result = false;
    bool reached = false;
    prepareResponseStream_(true, out) >> result >> reached;
    if (reached) delivered = true;
    return result;
}
