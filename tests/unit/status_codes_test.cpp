#include "download/status_codes.h"

#include <gtest/gtest.h>

#include <cstring>

namespace rz {
namespace {

TEST(StatusCodes, EveryCodeHasItsOwnMeaning) {
  const Status codes[] = {
      kNoMemory,        kMissingArgument,  kBadTarget,         kPartialSend, kCredentialsTooLong,
      kFileOpenFailed,  kFileSeekFailed,   kHttpNotFound,      kHttpRefused, kBadResponseHeader,
      kFileWriteFailed, kRequestTooLong,   kStoppedByCallback, kNoData,      kUnresolvedHost,
      kConnectFailed,   kTimedOut,         kSendFailed,        kMoreData,    kReceiveFailed,
      kReceiveOverflow, kConnectionClosed, kNotDottedQuad};
  const char* unknown = StatusMeaning(-999);
  for (Status a : codes) {
    EXPECT_STRNE(StatusMeaning(a), unknown) << a;
    for (Status b : codes) {
      if (a != b) {
        EXPECT_STRNE(StatusMeaning(a), StatusMeaning(b)) << a << " " << b;
      }
    }
  }
}

}  // namespace
}  // namespace rz
