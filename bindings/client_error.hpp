// A ClientError reaches Python as RuntimeError carrying the client's message
// verbatim: callers match on those texts, so nothing is added or translated.
// The one exception is memory running out, which is MemoryError.
#pragma once

#include "error.hpp"
#include "pending_error.hpp"

namespace kelpie::py {

std::unexpected<PendingError> raise_client_error(const ClientError& error);

}  // namespace kelpie::py
