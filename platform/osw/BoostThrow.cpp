// Boost is built without exceptions, as on the card: what it would throw
// (only an exhausted heap, for the shared pointers used) ends the process.
#include <boost/throw_exception.hpp>

#include "Log.h"

#include <cstdlib>

namespace boost {

void throw_exception(std::exception const& e) {
    TA_LOG(0, "boost: %s; ending the process", e.what());
    std::abort();
}

void throw_exception(std::exception const& e, boost::source_location const&) { throw_exception(e); }

}  // namespace boost
