// The generic DM command with the length of the response reported: the operation behind
// ZqUmtsKavSendGenericDMCommand (include/umts_kav/umts_kav_lib.h), for hosts of the library's own
// build that show the response as it came (the public operation leaves its length unsaid).
//
// Threading: the host thread only, as the public operation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/core/status.h"

namespace kav {

// The response buffer of ZqUmtsKavSendGenericDMCommand: one NV packet.
constexpr size_t kGenericResponseCapacity = 133;

// ZqUmtsKavSendGenericDMCommand; on 0 with a response buffer, `*rsp_length` (when given) is the
// number of response bytes copied, else 0. `rsp_capacity` is the size of `rsp_buff`: a host of
// its own may take longer answers than the public operation's 133 bytes; a longer one gives 439.
ZqUmtsKavStatusEnum send_generic_dm_command(const uint8_t* cmd_buff, uint8_t* rsp_buff,
                                            int32_t* rsp_length,
                                            size_t rsp_capacity = kGenericResponseCapacity);

}  // namespace kav
