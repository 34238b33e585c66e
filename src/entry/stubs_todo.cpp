// Placeholder implementations, replaced by the real entry files.
#include "entry/cache_paths.h"
#include "entry/download_pass.h"

namespace rz {
bool DownloadMissingAds(const AdUrlList& list) { return list.empty(); }
bool FileListPath(std::string&) { return false; }
}  // namespace rz
