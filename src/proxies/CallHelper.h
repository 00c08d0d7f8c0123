// Typed remote calls of the client proxies. Each proxy operation builds
// three hooks on its stack, the only type-specific part of a call: a call
// hook that knows the result and argument types, an in-parameter hook that
// writes the in-arguments and an out-parameter hook that reads the
// out-arguments back. ClientCallHelper does the rest, type-free.
//
// Remote route: request header, in-arguments; response status, result,
// out-arguments. A failed call reads as zeros and logs "Unmarshall error".
// Local route (a server object given): the server's member function is
// called directly, its observers told before and after.
#pragma once

#include <cstdint>
#include <tuple>
#include <utility>

#include "IPPRMI_stream.h"

class TreflectObjectStub;
class TreflectServerObject;
class TipprmiObjectSkeleton;

// Result of many remote operations: the server's outcome code and a flag.
struct GetClient {};
struct SetClient {};
struct RunClient {};

template <class Tag>
struct ResponseInfo {
    enum Code : int32_t { OK = 0 };
    ResponseInfo() : code(OK), flag(0) {}
    explicit ResponseInfo(bool b) : code(OK), flag(b ? 1ul : 0ul) {}
    Code code;
    unsigned long flag;
};

template <class Tag>
TipprmiStream& operator<<(TipprmiStream& s, ResponseInfo<Tag> const& r) {
    return s << static_cast<long>(r.code) << r.flag;
}
template <class Tag>
TipprmiStream& operator>>(TipprmiStream& s, ResponseInfo<Tag>& r) {
    long code = 0;
    s >> code >> r.flag;
    r.code = static_cast<typename ResponseInfo<Tag>::Code>(code);
    return s;
}
template <class Tag>
struct TipprmiMinWireSize<ResponseInfo<Tag> > {
    static constexpr unsigned int value = 8;
};

// One TipprmiAny per value, holding its encoding.
template <class T>
void generateParamSeq(TipprmiSequence<TipprmiAny>& seq, T const& v) {
    seq.push_back(TipprmiAny(v));
}
template <class T>
void generateRequestStreamHelper(TipprmiStream& s, T const& v) {
    s << v;
}

// ---- call hooks ----

class ClientCallHookBaseV {
public:
    virtual ~ClientCallHookBaseV() {}
    // Local route: runs the member function on the server object.
    virtual void call() const = 0;
    virtual void generateParamSeq(TipprmiSequence<TipprmiAny>& seq) const = 0;
    // The result's place (empty without a result), then the arguments.
    virtual void insertResult(TipprmiSequence<TipprmiAny>& seq) const {
        seq.push_back(TipprmiAny());
        generateParamSeq(seq);
    }
    virtual void generateRequestStream(TipprmiStream& s) const = 0;
    virtual void evaluateResponse(TipprmiStream&) const {}
};

template <class R>
class ClientCallHookBaseR : public ClientCallHookBaseV {
public:
    void insertResult(TipprmiSequence<TipprmiAny>& seq) const override {
        seq.push_back(TipprmiAny(result_));
        generateParamSeq(seq);
    }
    void evaluateResponse(TipprmiStream& s) const override { s >> result_; }
    R const& result() const { return result_; }

protected:
    ClientCallHookBaseR() : result_(initialResult(static_cast<R*>(nullptr))) {}
    mutable R result_;

private:
    template <class T>
    static T initialResult(T*) {
        return T();
    }
    template <class Tag>
    static ResponseInfo<Tag> initialResult(ResponseInfo<Tag>*) {
        return ResponseInfo<Tag>(true);
    }
};

namespace CallHookDetail {

// The arguments a hook holds by reference, and what it does with them.
template <class... A>
class Arguments {
public:
    explicit Arguments(A... a) : args_(a...) {}
    void paramSeq(TipprmiSequence<TipprmiAny>& seq) const {
        std::apply([&](auto const&... v) { (::generateParamSeq(seq, v), ...); }, args_);
    }
    void request(TipprmiStream& s) const {
        std::apply([&](auto const&... v) { (::generateRequestStreamHelper(s, v), ...); }, args_);
    }
    template <class F>
    auto invoke(F f) const {
        return std::apply(f, args_);
    }

private:
    std::tuple<A...> args_;
};

}  // namespace CallHookDetail

// An operation without result: server object, member function, arguments.
template <class S, class... A>
class ClientCallHookV : public ClientCallHookBaseV {
public:
    typedef void (S::*Method)(A...);
    ClientCallHookV(S* server, Method method, A... args) : server_(server), method_(method), args_(args...) {}
    void call() const override {
        if (server_ && method_) args_.invoke([s = server_, m = method_](A... a) { (s->*m)(a...); });
    }
    void generateParamSeq(TipprmiSequence<TipprmiAny>& seq) const override { args_.paramSeq(seq); }
    void generateRequestStream(TipprmiStream& s) const override { args_.request(s); }

private:
    S* server_;
    Method method_;
    CallHookDetail::Arguments<A...> args_;
};

// An operation with result R.
template <class S, class R, class... A>
class ClientCallHookR : public ClientCallHookBaseR<R> {
public:
    typedef R (S::*Method)(A...);
    ClientCallHookR(S* server, Method method, A... args) : server_(server), method_(method), args_(args...) {}
    void call() const override {
        if (server_ && method_) this->result_ = args_.invoke([s = server_, m = method_](A... a) { return (s->*m)(a...); });
    }
    void generateParamSeq(TipprmiSequence<TipprmiAny>& seq) const override { args_.paramSeq(seq); }
    void generateRequestStream(TipprmiStream& s) const override { args_.request(s); }

private:
    S* server_;
    Method method_;
    CallHookDetail::Arguments<A...> args_;
};

template <class S>
using ClientCallHookv0 = ClientCallHookV<S>;
template <class S, class A1>
using ClientCallHookv1 = ClientCallHookV<S, A1>;
template <class S, class A1, class A2>
using ClientCallHookv2 = ClientCallHookV<S, A1, A2>;
template <class S, class A1, class A2, class A3>
using ClientCallHookv3 = ClientCallHookV<S, A1, A2, A3>;
template <class S, class R>
using ClientCallHookr0 = ClientCallHookR<S, R>;
template <class S, class R, class A1>
using ClientCallHookr1 = ClientCallHookR<S, R, A1>;
template <class S, class R, class A1, class A2>
using ClientCallHookr2 = ClientCallHookR<S, R, A1, A2>;
template <class S, class R, class A1, class A2, class A3>
using ClientCallHookr3 = ClientCallHookR<S, R, A1, A2, A3>;

// ---- parameter hooks ----

class InParamHook {
public:
    virtual void handleParams(TipprmiStream& s) const = 0;
    virtual ~InParamHook() {}
};

// Writes its in-arguments (references) in order.
template <class... A>
class InParamHookN : public InParamHook {
public:
    explicit InParamHookN(A... a) : args_(a...) {}
    void handleParams(TipprmiStream& s) const override { args_.request(s); }

private:
    CallHookDetail::Arguments<A...> args_;
};

class OutParamHook {
public:
    virtual void handleParams(TipprmiStream& s) const = 0;
    virtual ~OutParamHook() {}
};

// Reads its out-arguments (non-const references) in order.
template <class... A>
class OutParamHookN : public OutParamHook {
public:
    explicit OutParamHookN(A... a) : args_(a...) {}
    void handleParams(TipprmiStream& s) const override {
        std::apply([&](auto&... v) { ((s >> v), ...); }, args_);
    }

private:
    mutable std::tuple<A...> args_;
};

using InParamHook0 = InParamHookN<>;
template <class A1>
using InParamHook1 = InParamHookN<A1>;
template <class A1, class A2>
using InParamHook2 = InParamHookN<A1, A2>;
template <class A1, class A2, class A3>
using InParamHook3 = InParamHookN<A1, A2, A3>;
using OutParamHook0 = OutParamHookN<>;
template <class A1>
using OutParamHook1 = OutParamHookN<A1>;
template <class A1, class A2>
using OutParamHook2 = OutParamHookN<A1, A2>;

// ---- the helpers ----

void ClientCallHelper(ClientCallHookBaseV const& hook, InParamHook const& in, OutParamHook const& out,
                      TreflectObjectStub& stub, TreflectServerObject* server, unsigned long cc, unsigned long mc,
                      bool twoWay);

template <class R>
R ClientCallHelperR(ClientCallHookBaseR<R> const& hook, InParamHook const& in, OutParamHook const& out,
                    TreflectObjectStub& stub, TreflectServerObject* server, unsigned long cc, unsigned long mc,
                    bool twoWay) {
    ClientCallHelper(hook, in, out, stub, server, cc, mc, twoWay);
    return hook.result();
}
