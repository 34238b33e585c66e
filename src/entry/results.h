// What one RazaRa call reports to the host: the public header's four results, under the names
// the entry code uses.
#pragma once

#include "RovireZevaDe.h"

namespace rz {

enum RefreshResult : int {
  kRefreshed = RAZARA_REFRESHED,
  kQueryFailed = RAZARA_QUERY_FAILED,
  kDownloadFailed = RAZARA_DOWNLOAD_FAILED,
  kSaveFailed = RAZARA_SAVE_FAILED,
};

}  // namespace rz
