// The maker's status record: the request on subsystem 250 (50 on firmware that lacks it), the
// subsystem that answered last, and the process-wide copy of the last record taken. The
// identity report reads the record's firmware fields; connect, the mode changes and the resets
// read its operating mode.
//
// Threading: the host thread only; the values here are not locked.
#pragma once

#include "lib/transport/diag_packets.h"

namespace kav {

// The maker's status record, asked for on subsystem 250 and, when refused, on 50. Points at the
// process-wide copy of the last record taken (valid until the next call); none on failure.
const ZqStatusRecord* get_zq_status();

// Every connect asks for the status record on subsystem 250 first.
void reset_zq_status_subsystem();

// Back to the state of a fresh process (tests).
void reset_zq_status();

}  // namespace kav
