// The ways a load-generator run goes wrong: a wrong answer, a lost or silent
// connection, or a bad option. They are the client's failures
// (client/errors.h), which the connection throws too; quarn-bench then ends
// with a non-zero exit status and the message on standard error. The two
// kinds a hostile scenario reports as outcomes rather than as errors have
// classes of their own, so that they can be caught apart.
#pragma once

#include "client/errors.h"

namespace loadgen {

using client::failure;
using client::peer_closed;  // the service closed or reset the connection
using client::timed_out;    // a wait passed its limit or the deadline

}  // namespace loadgen
