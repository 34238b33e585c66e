// The pass that fetches every listed ad file missing from the cache folder.
#pragma once

#include "service/ad_list.h"

namespace rz {

// Walks the list in order and fetches each absent file. True when every entry is present or was
// fetched; false at the first entry that fails (later entries are not looked at).
bool DownloadMissingAds(const AdUrlList& list);

}  // namespace rz
