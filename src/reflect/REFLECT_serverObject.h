// Base of every object this task serves: a skeleton with a name, a place in a
// naming tree, the observers of its operations, creation and deletion
// events, and the answers to the built-in reflective method codes.
#pragma once

#include <map>
#include <string>

#include "IPPRMI_objectSkeleton.h"
#include "REFLECT_object.h"
#include "REFLECT_observable.h"

class TreflectMetaObject;

class TreflectServerObject : public TipprmiObjectSkeleton, public TreflectObservable {
public:
    // Registers with the ORB of the OID's namespace and, given a parent,
    // enters the parent's children under `name`.
    TreflectServerObject(TipprmiOID const& oid, TreflectObject const* parent, std::string const& name);
    // Leaves the parent's children (when the parent is reachable) and the
    // ORB. Sends no deletion event.
    ~TreflectServerObject() override;

    // Handles the built-in method codes, whatever the class code, and hands
    // the rest to the skeleton.
    bool dispatch(bool transaction, unsigned long cc, unsigned long mc, TipprmiStream& in,
                  TipprmiStream& out) override;

    // A handle on this object, made on first use and owned by it.
    TreflectObject* getClient() const override;
    virtual TreflectObject getParent() const;
    virtual TreflectObject getChild(std::string const& name) const;
    virtual TipprmiSequence<TreflectObject> getChilds() const;
    virtual void registerChild(std::string const& name, TreflectObject const& obj);
    virtual void unregisterChild(std::string const& name);
    virtual unsigned long getServerClassId() const = 0;
    // The object's class codes, most derived first.
    virtual TipprmiSequence<unsigned long> getServerClassIdSeq() const = 0;
    virtual std::string getAbsName() const;
    virtual std::string getRelName() const;
    // Tell the observers of the class, here and in other actors. A null
    // meta object means the object's own.
    virtual void sendCreationEvent(TreflectMetaObject const* meta);
    virtual void sendDeletionEvent(TreflectMetaObject const* meta);
    // Notifies the observers of operation (cc, mc) of this object.
    virtual bool notifyObservers(unsigned long kind, unsigned long const& cc, unsigned long const& mc,
                                 TipprmiSequence<TipprmiAny> const& args);
    using TreflectObservable::notifyObservers;

    char const* objectName() const { return longName_ ? longName_ : shortName_; }
    std::map<std::string, TreflectObject>& childs() const;

private:
    char shortName_[16];
    char* longName_;
    TreflectObject parent_;
    mutable std::map<std::string, TreflectObject>* children_;
};
