// The refresh: query, download pass and save, each stage ending the call with its own result.
#include "entry/refresh.h"

#include "entry/cache_paths.h"
#include "entry/download_pass.h"
#include "entry/results.h"
#include "platform/file_system.h"
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

// Save stage: the reply, loaded afresh, replaces FileList.xml in one step. A host reading the
// file never sees it half-written, and a failed save leaves the previous one intact.
bool Save(const platform::ReplyText& reply, const std::string& cacheDir) {
  std::string listPath;
  if (cacheDir.empty() || !CachedFilePathIn(cacheDir, "FileList.xml", listPath)) return false;
  const std::string tempPath = listPath + ".tmp";
  if (tempPath.size() > kMaxPathBytes) return false;

  platform::XmlDocument document;
  if (!document.Create() || !document.Load(reply)) return false;
  if (!document.Save(tempPath)) {
    platform::RemoveFile(tempPath.c_str());
    return false;
  }
  if (!platform::ReplaceFile(tempPath.c_str(), listPath.c_str())) {
    platform::RemoveFile(tempPath.c_str());
    return false;
  }
  return true;
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

}  // namespace

int Refresh(const char* outsideCardId, const char* hardwareCardId, const char* serviceUrl,
            const std::string& cacheDir) {
  platform::InitThreadForPlatformObjects();

  platform::ReplyText reply;
  AdUrlList list;
  if (!RunStage([&] {
        return Query(outsideCardId ? outsideCardId : "", hardwareCardId ? hardwareCardId : "",
                     serviceUrl ? serviceUrl : "", reply, list);
      })) {
    return kQueryFailed;
  }
  if (!RunStage([&] { return DownloadMissingAds(list, cacheDir); })) return kDownloadFailed;
  if (!RunStage([&] { return Save(reply, cacheDir); })) return kSaveFailed;
  return kRefreshed;
}

}  // namespace rz
