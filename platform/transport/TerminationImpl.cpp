#include <memory>

#include "Endpoint.h"
#include "Log.h"
#include "Transport.h"

namespace Transport {

struct TerminationImpl::Impl {
    std::shared_ptr<Endpoint> ep;
};

TerminationImpl::TerminationImpl(GroupId const& group, std::string const& name)
    : TerminationImpl(TerminationId(IdInfo::instance().nameId(),
                                    static_cast<unsigned char>(IdInfo::instance().getSlot()), group),
                      name) {}

TerminationImpl::TerminationImpl(TerminationId const& id, std::string const& name)
    : id_(id), name_(name), impl_(new Impl) {
    impl_->ep = std::make_shared<Endpoint>(*this, id_);
}

TerminationImpl::~TerminationImpl() {
    // A derived class stops in its own destructor; this is the last resort.
    impl_->ep->stop();
    delete impl_;
}

void TerminationImpl::receive(AddressedMessage const& msg) {
    TA_LOG(4, "termination 0x%08lX has no receiver; message from 0x%08lX dropped", id_.value(),
           msg.originator().value());
}

bool TerminationImpl::issue(AddressedMessage const& msg) {
    if (msg.isNull()) return false;
    return impl_->ep->send(msg);
}

void TerminationImpl::receiveError(AddressedMessage const& msg) {
    TA_LOG(4, "termination 0x%08lX: message to 0x%08lX could not be delivered", id_.value(),
           msg.destination().value());
}

void TerminationImpl::issueError(AddressedMessage const&) {}

bool TerminationImpl::awaitsAnswer() const { return false; }

bool TerminationImpl::start() { return impl_->ep->start(); }

bool TerminationImpl::started() const { return impl_->ep->running(); }

void TerminationImpl::stop() { impl_->ep->stop(); }

void TerminationImpl::appeared(Termination&) {}

void TerminationImpl::disappeare(Termination&) {}

AddressedMessage TerminationImpl::allocateMessage(unsigned int size, unsigned int align) const {
    AddressedMessage m = AddressedMessage::create(size, align);
    m.setOriginator(id_);
    return m;
}

}  // namespace Transport
