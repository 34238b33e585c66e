// RazaRa: one complete refresh of the ad cache for one card pair.
#include <exception>
#include <string>

#include "RovireZevaDe.h"
#include "cache/cache_folder.h"
#include "entry/cache_paths.h"
#include "entry/download_pass.h"
#include "entry/results.h"
#include "platform/platform_init.h"
#include "platform/xml_document.h"
#include "service/ad_list.h"
#include "service/getad.h"

namespace rz {
namespace {

// Query stage: the reply and its ad list, or false.
bool Query(const std::string& outsideCardId, const std::string& hardwareCardId,
           const std::string& serviceUrl, platform::ReplyText& reply, AdUrlList& list) {
  if (serviceUrl.empty()) return false;
  const auto envelope = BuildGetAdEnvelope(outsideCardId.c_str(), hardwareCardId.c_str());
  if (!envelope) return false;
  if (SendGetAdRequest(serviceUrl, *envelope, &reply) != 1) return false;
  return ParseAdList(reply, list) == 0;
}

// Save stage: the reply, loaded afresh, replaces FileList.xml in one durable step. A host reading
// the file never sees it half-written, and a failed save leaves the previous one intact.
bool Save(const platform::ReplyText& reply, CacheFolder& cache) {
  platform::XmlDocument document;
  if (!document.Create() || !document.Load(reply)) return false;
  return cache.ReplaceFileList(
      [&](const std::string& tempPath) { return document.Save(tempPath); });
}

// Runs one stage; anything thrown inside it ends the call with that stage's result, because no
// exception may cross the C boundary.
template <typename Stage>
bool RunStage(Stage&& stage) {
  try {
    return stage();
  } catch (...) {
    return false;
  }
}

int Refresh(const char* outsideCardId, const char* hardwareCardId, const char* serviceUrl) {
  platform::InitThreadForPlatformObjects();

  platform::ReplyText reply;
  AdUrlList list;
  if (!RunStage([&] {
        return Query(outsideCardId ? outsideCardId : "", hardwareCardId ? hardwareCardId : "",
                     serviceUrl ? serviceUrl : "", reply, list);
      })) {
    return kQueryFailed;
  }
  // The folder's lock is held from the pass to the end of the save, so an overlapping call waits
  // here and then finds what this one fetched. Without it nothing can be written, and the pass
  // and the save fail where they would write.
  std::string cacheDir;
  if (!CacheDir(cacheDir)) cacheDir.clear();
  CacheFolder cache(cacheDir);
  if (!RunStage([&] {
        cache.Lock();
        return DownloadMissingAds(list, cache);
      })) {
    return kDownloadFailed;
  }
  if (!RunStage([&] { return Save(reply, cache); })) return kSaveFailed;
  return kRefreshed;
}

}  // namespace
}  // namespace rz

extern "C" RAZARA_API int RAZARA_CALL RazaRa(const char* outsideCardId, const char* hardwareCardId,
                                             const char* serviceUrl) {
  try {
    return rz::Refresh(outsideCardId, hardwareCardId, serviceUrl);
  } catch (...) {
    // Copying the arguments is the only thing outside a stage that can throw.
    return rz::kQueryFailed;
  }
}
