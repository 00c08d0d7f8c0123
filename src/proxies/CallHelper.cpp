#include "CallHelper.h"

#include "REFLECT_objectStub.h"
#include "REFLECT_serverObject.h"

void ClientCallHelper(ClientCallHookBaseV const& hook, InParamHook const& in, OutParamHook const& out,
                      TreflectObjectStub& stub, TreflectServerObject* server, unsigned long cc, unsigned long mc,
                      bool twoWay) {
    TreflectORB::checkHandlerState();
    if (server) {
        if (!server->preObserverAvailable(cc, mc) && !server->postObserverAvailable(cc, mc)) return hook.call();
        TipprmiSequence<TipprmiAny> params;
        params.push_back(TipprmiAny());
        hook.generateParamSeq(params);
        // The observers before the call may veto it.
        if (!server->notifyObservers(0, cc, mc, params)) return;
        params.setLength(0);
        hook.call();
        hook.insertResult(params);
        server->notifyObservers(1, cc, mc, params);
        return;
    }
    TipprmiStream request(100), response(100);
    stub.prepareRequestStream_(twoWay, cc, mc, request);
    in.handleParams(request);
    stub.dispatch(twoWay, cc, mc, request, response);
    stub.prepareResponseStream_(twoWay, response);
    hook.evaluateResponse(response);
    out.handleParams(response);
    if (response.hasUnmarshallingFailed()) response.printUnmarshallError(cc, mc);
}
