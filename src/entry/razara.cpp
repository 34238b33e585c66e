// RazaRa: the export. It works out the cache folder beside the host's executable and runs one
// refresh into it.
#include <string>

#include "RovireZevaDe.h"
#include "cache/cache_paths.h"
#include "entry/diagnostics.h"
#include "entry/refresh.h"
#include "entry/results.h"

extern "C" RAZARA_API int RAZARA_CALL RazaRa(const char* outsideCardId, const char* hardwareCardId,
                                             const char* serviceUrl) {
  try {
    // Without a folder the refresh still runs: its query result stands, and the pass and the
    // save fail as they would on a folder that cannot be written.
    std::string cacheDir;
    if (!rz::CacheDir(cacheDir)) cacheDir.clear();
    return rz::Refresh(outsideCardId, hardwareCardId, serviceUrl, cacheDir);
  } catch (...) {
    // Only working out the folder can throw outside a stage.
    rz::diag::CallEnded(rz::kQueryFailed);
    return rz::kQueryFailed;
  }
}
