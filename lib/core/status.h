// The status codes of the library's operations (ZqUmtsKavStatusEnum): 0 is success, every
// other value names one failure. Shared by the whole library and its hosts.
#pragma once

#include <cstdint>

using ZqUmtsKavStatusEnum = int32_t;

namespace kav::status {

constexpr ZqUmtsKavStatusEnum kSuccess = 0;
constexpr ZqUmtsKavStatusEnum kPortReadFailed = 2;  // also: illegal argument
constexpr ZqUmtsKavStatusEnum kModeUndetermined = 3;
constexpr ZqUmtsKavStatusEnum kMoveToDlFailed = 4;
constexpr ZqUmtsKavStatusEnum kMoveToDmFailed = 5;  // also: reset failed
constexpr ZqUmtsKavStatusEnum kNoDmPort = 15;
constexpr ZqUmtsKavStatusEnum kOpenFailed = 16;
constexpr ZqUmtsKavStatusEnum kNoPortOpen = 17;
constexpr ZqUmtsKavStatusEnum kResponseTimeout = 18;
constexpr ZqUmtsKavStatusEnum kSendIncomplete = 20;
constexpr ZqUmtsKavStatusEnum kBadDocumentFileName = 40;
constexpr ZqUmtsKavStatusEnum kOfflineNotAcknowledged = 45;
constexpr ZqUmtsKavStatusEnum kOfflineTimeout = 46;
constexpr ZqUmtsKavStatusEnum kOfflineNotDmMode = 47;
constexpr ZqUmtsKavStatusEnum kProbeFailed = 51;
constexpr ZqUmtsKavStatusEnum kOfflineNoStatusRecord = 100;
constexpr ZqUmtsKavStatusEnum kMoreThanOneDmPort = 318;
constexpr ZqUmtsKavStatusEnum kXmlFailure = 367;
constexpr ZqUmtsKavStatusEnum kXmlRuleBroken = 368;
constexpr ZqUmtsKavStatusEnum kOpenZumiNoVersion = 371;     // none defined, or firmware invalid
constexpr ZqUmtsKavStatusEnum kOpenZumiUnrecognized = 372;  // status value not known
constexpr ZqUmtsKavStatusEnum kOpenZumiNotSupported = 373;  // the modem lacks the request
constexpr ZqUmtsKavStatusEnum kOpenZumiNoAnswer = 374;      // no usable answer in five sends
constexpr ZqUmtsKavStatusEnum kNoRequest = 437;
constexpr ZqUmtsKavStatusEnum kResponseTooBig = 439;
constexpr ZqUmtsKavStatusEnum kNotSupported = 440;
constexpr ZqUmtsKavStatusEnum kNoResponse = 441;

}  // namespace kav::status
