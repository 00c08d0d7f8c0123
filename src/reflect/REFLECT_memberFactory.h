// Members bound to one object ("tieds"): the operations and attributes of a
// meta object, each tied to the object handle it was looked up on. The
// process-wide registry TreflectTieds owns them until their object goes.
#pragma once

#include <map>
#include <string>

#include "AfwSingleton.h"
#include "OSWrap.h"

class TreflectObject;
class TreflectObserver;
class TreflectMetaObject;
class TreflectMetaOperation;
class TreflectMetaAttribute;
class TreflectErrorOperation;
class TreflectErrorAttribute;

class TreflectTieds {
public:
    class TiedBase {
    public:
        virtual ~TiedBase() {}
    };

    static TreflectTieds* instance() { return Afw::Singleton<TreflectTieds>::get(); }

    void adoptTied(TreflectObject const* obj, OSWrap::SmartPointer<TiedBase> const& tied);
    // Destroys every member tied to `obj`.
    void destroyTieds(TreflectObject const* obj);
    // Logs the number of tied members (severity 5).
    void print();
    size_t count();

    ~TreflectTieds();

private:
    friend class Afw::Singleton<TreflectTieds>;
    TreflectTieds() {}

    std::multimap<TreflectObject const*, OSWrap::SmartPointer<TiedBase> > tieds_;
    OSWrap::Mutex mutex_;
};

// Base of the meta members that hand out members tied to an object.
template <class T>
class TreflectMemberFactory {
public:
    class Tied : public TreflectTieds::TiedBase {
    public:
        Tied(typename T::Meta const* meta, TreflectObject const* obj) : member(meta, obj) {}
        T member;
    };

    virtual ~TreflectMemberFactory() {}
    // A fresh member bound to `obj`, owned by the registry; never null.
    T* getTied(TreflectObject const* obj) const;
};

// An operation of one object.
class TreflectOperation {
public:
    typedef TreflectMetaOperation Meta;
    static constexpr int error = 5;

    TreflectOperation(TreflectMetaOperation const* meta, TreflectObject const* obj);
    virtual ~TreflectOperation() {}
    TreflectOperation(TreflectOperation const&) = delete;
    TreflectOperation& operator=(TreflectOperation const&) = delete;

    // Asks the object's server to notify `obs` before (pre) or after (post)
    // the operation executes. False only for an error member.
    bool preObserve(TreflectObserver* obs) const;
    bool postObserve(TreflectObserver* obs) const;
    void removeObserver(TreflectObserver* obs) const;
    // Invokes the operation without arguments, ignoring the reply; 0, or
    // `error` for an error member.
    int call();

    TreflectMetaOperation const* meta() const { return meta_; }
    TreflectObject const* object() const { return object_; }
    bool isError() const { return error_; }

protected:
    TreflectMetaOperation const* meta_;
    TreflectObject const* object_;
    bool error_;
};

// An attribute of one owner object. An attribute whose type is an interface
// reaches the members of the object it holds (the contained object).
class TreflectAttribute {
public:
    typedef TreflectMetaAttribute Meta;
    static constexpr int error = 4;
    // Access kinds: how the get operation answers.
    enum { kSingle = 0, kSequence = 1, kArray = 2 };

    TreflectAttribute(TreflectMetaAttribute const* meta, TreflectObject const* obj);
    virtual ~TreflectAttribute();
    TreflectAttribute(TreflectAttribute const&) = delete;
    TreflectAttribute& operator=(TreflectAttribute const&) = delete;

    virtual TreflectOperation* operation(std::string const& name);
    virtual TreflectAttribute* attribute(std::string const& name);

    TreflectMetaAttribute const* meta() const { return meta_; }
    int constLength() const;
    TreflectAttribute& operator[](int index) {
        index_ = index;
        return *this;
    }
    void clearIndex() { index_ = -1; }
    int index() const { return index_; }
    int accessKind() const { return accessKind_; }
    void setAccessKind(int kind) { accessKind_ = kind; }
    bool isError() const { return error_; }

    // The get and set operations bound to the owner, made on first use.
    TreflectOperation* operGet();
    TreflectOperation* operSet();
    // Fetches the contained object when the attribute's type is known.
    void updateContainedObject();
    TreflectObject const* containedObject() const { return contained_; }

    // Reads the attribute's value through its get operation: 0, or `error`
    // for an error member.
    template <class V>
    int get(V& out);

    // Shared error members of every lookup that misses.
    static TreflectErrorAttribute errorAttribute;
    static TreflectErrorOperation errorOperation;

protected:
    TreflectMetaAttribute const* meta_;
    TreflectObject const* object_;
    bool error_;
    TreflectObject* contained_;
    TreflectOperation* get_;
    TreflectOperation* set_;
    int accessKind_;
    int index_;
};

class TreflectErrorOperation : public TreflectOperation {
public:
    TreflectErrorOperation() : TreflectOperation(nullptr, nullptr) { error_ = true; }
};

class TreflectErrorAttribute : public TreflectAttribute {
public:
    TreflectErrorAttribute() : TreflectAttribute(nullptr, nullptr) { error_ = true; }
    TreflectOperation* operation(std::string const& name) override;
    TreflectAttribute* attribute(std::string const& name) override;
};

template <>
int TreflectAttribute::get<TreflectObject>(TreflectObject& out);
