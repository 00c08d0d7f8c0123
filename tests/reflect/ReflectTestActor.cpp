// A test actor for the object model. Modes:
//   reflect_test_actor serve [thing ...]   serves the factory "things" with
//                                          the things named already created
//   reflect_test_actor observe <thing>     observes creations and deletions of
//                                          TestThing objects, and calls of
//                                          setValue on <thing> before and after
// It prints "READY" once it is set up, then one line per notification:
// "CREATED <oid>", "DELETED <oid>", "PRE setValue <v>", "POST setValue <v>".
#include <cstdio>
#include <cstring>

#include "OSWrap.h"
#include "REFLECT_ObserverSkeleton.h"
#include "REFLECT_orb.h"
#include "TestThing.h"

using namespace reflecttest;

namespace {

void say(char const* what, long v) {
    std::printf("%s %ld\n", what, v);
    std::fflush(stdout);
}

void say(char const* what, TreflectObject const* o) {
    std::printf("%s %s\n", what, o->getOID().getIdString());
    std::fflush(stdout);
}

struct Printer {
    bool created(TreflectObserver* o) { return say("CREATED", o->getSource()), true; }
    bool deleted(TreflectObserver* o) { return say("DELETED", o->getSource()), true; }
    static long argument(TreflectObserver* o) {
        long v = 0;
        (*o->currentArguments())[0].extract(v);
        return v;
    }
    bool before(TreflectObserver* o) { return say("PRE setValue", argument(o)), true; }
    bool after(TreflectObserver* o) { return say("POST setValue", argument(o)), true; }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    TreflectORB::getInstance(NSID_UNIT);
    if (std::strcmp(argv[1], "serve") == 0) {
        {
            RunPermissionGuard g;
            ThingFactory* factory = new ThingFactory;
            for (int i = 2; i < argc; ++i) factory->create(argv[i]);
        }
    } else if (std::strcmp(argv[1], "observe") == 0 && argc > 2) {
        RunPermissionGuard g;
        Printer* p = new Printer;
        gThingMeta.observeCreations(new TreflectNotificator<Printer>(p, &Printer::created), true);
        gThingMeta.observeDeletions(new TreflectNotificator<Printer>(p, &Printer::deleted));
        TreflectObject* thing = new TreflectObject(TipprmiOID(argv[2]));
        thing->operation("setValue")->preObserve(new TreflectNotificator<Printer>(p, &Printer::before));
        thing->operation("setValue")->postObserve(new TreflectNotificator<Printer>(p, &Printer::after));
    } else {
        return 2;
    }
    std::printf("READY\n");
    std::fflush(stdout);
    OSWrap::Thread::sleep(OSWrap::TimeSpec::INFINITETIME);
    return 0;
}
