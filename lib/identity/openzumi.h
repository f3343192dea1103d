// The OpenZumi version query: asks the modem for the revision of its OpenZumi (hotspot)
// software with the maker's DIAG request 4B FE AA 00, reads either answer layout, and turns the
// answer into a text and a result code.
//
// Threading: the host thread only (it sends and receives on the DM port); no state of its own.
#pragma once

#include <cstddef>

#include "lib/core/status.h"

namespace kav {

// The size of the caller's buffer: 64 characters and the zero.
constexpr size_t kOpenZumiBufferSize = 65;

// Puts the modem in DM mode and asks for the OpenZumi version, up to five times. `buffer`
// (kOpenZumiBufferSize bytes, or null) receives the text on 0, "Not Defined" or "FW Revision
// Invalid" on 371, and is empty otherwise. Results: 0; 371 no valid version; 372 a status value
// not known; 373 the modem lacks the request; 374 no usable answer; or the failure of the DM
// mode switch.
ZqUmtsKavStatusEnum get_openzumi_version(char* buffer);

}  // namespace kav
