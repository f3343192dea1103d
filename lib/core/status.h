// The status codes of the library's operations (ZqUmtsKavStatusEnum): 0 is success, every
// other value names one failure. Hosts see them as the ZqUmtsKavStatus_ constants of the public
// header; the library's own code uses these names for the same values.
#pragma once

#include "umts_kav/umts_kav_lib.h"

namespace kav::status {

constexpr ZqUmtsKavStatusEnum kSuccess = ZqUmtsKavStatus_Success;
constexpr ZqUmtsKavStatusEnum kPortReadFailed = ZqUmtsKavStatus_PortReadFailed;
constexpr ZqUmtsKavStatusEnum kModeUndetermined = ZqUmtsKavStatus_ModeUndetermined;
constexpr ZqUmtsKavStatusEnum kMoveToDlFailed = ZqUmtsKavStatus_MoveToDlFailed;
constexpr ZqUmtsKavStatusEnum kMoveToDmFailed = ZqUmtsKavStatus_MoveToDmFailed;
constexpr ZqUmtsKavStatusEnum kNoDmPort = ZqUmtsKavStatus_NoDmPort;
constexpr ZqUmtsKavStatusEnum kOpenFailed = ZqUmtsKavStatus_OpenFailed;
constexpr ZqUmtsKavStatusEnum kNoPortOpen = ZqUmtsKavStatus_NoPortOpen;
constexpr ZqUmtsKavStatusEnum kResponseTimeout = ZqUmtsKavStatus_ResponseTimeout;
constexpr ZqUmtsKavStatusEnum kSendIncomplete = ZqUmtsKavStatus_SendIncomplete;
constexpr ZqUmtsKavStatusEnum kBadDocumentFileName = ZqUmtsKavStatus_BadDocumentFileName;
constexpr ZqUmtsKavStatusEnum kOfflineNotAcknowledged = ZqUmtsKavStatus_OfflineNotAcknowledged;
constexpr ZqUmtsKavStatusEnum kOfflineTimeout = ZqUmtsKavStatus_OfflineTimeout;
constexpr ZqUmtsKavStatusEnum kOfflineNotDmMode = ZqUmtsKavStatus_OfflineNotDmMode;
constexpr ZqUmtsKavStatusEnum kProbeFailed = ZqUmtsKavStatus_ProbeFailed;
constexpr ZqUmtsKavStatusEnum kOfflineNoStatusRecord = ZqUmtsKavStatus_OfflineNoStatusRecord;
constexpr ZqUmtsKavStatusEnum kMoreThanOneDmPort = ZqUmtsKavStatus_MoreThanOneDmPort;
constexpr ZqUmtsKavStatusEnum kXmlFailure = ZqUmtsKavStatus_XmlFailure;
constexpr ZqUmtsKavStatusEnum kXmlRuleBroken = ZqUmtsKavStatus_XmlRuleBroken;
constexpr ZqUmtsKavStatusEnum kOpenZumiNoVersion = ZqUmtsKavStatus_OpenZumiNoVersion;
constexpr ZqUmtsKavStatusEnum kOpenZumiUnrecognized = ZqUmtsKavStatus_OpenZumiUnrecognized;
constexpr ZqUmtsKavStatusEnum kOpenZumiNotSupported = ZqUmtsKavStatus_OpenZumiNotSupported;
constexpr ZqUmtsKavStatusEnum kOpenZumiNoAnswer = ZqUmtsKavStatus_OpenZumiNoAnswer;
constexpr ZqUmtsKavStatusEnum kNoRequest = ZqUmtsKavStatus_NoRequest;
constexpr ZqUmtsKavStatusEnum kResponseTooBig = ZqUmtsKavStatus_ResponseTooBig;
constexpr ZqUmtsKavStatusEnum kNotSupported = ZqUmtsKavStatus_NotSupported;
constexpr ZqUmtsKavStatusEnum kNoResponse = ZqUmtsKavStatus_NoResponse;

}  // namespace kav::status
