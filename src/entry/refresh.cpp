// The refresh: query, download pass and save, each stage ending the call with its own result.
#include "entry/refresh.h"

#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "cache/cache_folder.h"
#include "cache/unlisted_files.h"
#include "entry/diagnostics.h"
#include "entry/download_pass.h"
#include "entry/results.h"
#include "platform/environment.h"
#include "platform/platform_init.h"
#include "platform/xml_document.h"
#include "service/ad_list.h"
#include "service/getad.h"

namespace rz {
namespace {

bool QueryFailed(const std::string& serviceUrl, std::string_view why) {
  diag::QueryFailed(serviceUrl, why);
  return false;
}

bool SaveFailed(const std::string& path, std::string_view why) {
  diag::SaveFailed(path, why);
  return false;
}

// Query stage: the reply and its ad list, or false.
bool Query(const std::string& outsideCardId, const std::string& hardwareCardId,
           const std::string& serviceUrl, platform::ReplyText& reply, AdUrlList& list) {
  if (serviceUrl.empty()) return QueryFailed(serviceUrl, "the service URL is empty");
  const auto envelope = BuildGetAdEnvelope(outsideCardId.c_str(), hardwareCardId.c_str());
  if (!envelope) return QueryFailed(serviceUrl, "the card identifiers do not fit the request");
  if (SendGetAdRequest(serviceUrl, *envelope, &reply) != 1) {
    return QueryFailed(serviceUrl, "the exchange with the service failed");
  }
  if (ParseAdList(reply, list) != 0) {
    return QueryFailed(serviceUrl,
                       "the reply holds no usable ad list (not well-formed, no AdList, or an entry "
                       "over 259 bytes)");
  }
  return true;
}

// Save stage: the reply, loaded afresh, replaces FileList.xml in one durable step. A host reading
// the file never sees it half-written, and a failed save leaves the previous one intact.
bool Save(const platform::ReplyText& reply, CacheFolder& cache) {
  std::string listPath;
  if (!cache.FinalPath(CacheFolder::kFileListName, listPath)) {
    return SaveFailed("FileList.xml", "its path cannot be found or does not fit");
  }
  platform::XmlDocument document;
  if (!document.Create()) return SaveFailed(listPath, "the XML document cannot be created");
  if (!document.Load(reply)) return SaveFailed(listPath, "the reply cannot be loaded again");
  if (!cache.locked()) return SaveFailed(listPath, "the cache folder cannot be locked");
  if (!cache.ReplaceFileList(
          [&](const std::string& tempPath) { return document.Save(tempPath); })) {
    return SaveFailed(listPath, "cannot be written, flushed or replaced");
  }
  return true;
}

// Whether the host asked for the files the saved list no longer names to be removed. Read per
// call, so a host may turn it on or off between calls.
bool PruneAsked() { return platform::EnvironmentValue("RAZARA_PRUNE") == "1"; }

// After a save, still under the lock: no overlapping call can have found a file present that is
// about to go, because its own pass waits for this lock before it looks. Nothing here can change
// the result: a file that stays is only reported.
bool PruneUnlisted(const AdUrlList& list, const CacheFolder& cache) {
  std::vector<std::string> listed;
  listed.reserve(list.size());
  for (const std::string& entry : list) listed.push_back(CachedNameOf(entry));
  diag::Pruned(cache.dir(), RemoveUnlistedFiles(cache, listed));
  return true;
}

// Runs one stage; anything thrown inside it ends the call with that stage's result, because no
// exception may cross the C boundary.
template <typename Stage>
bool RunStage(const char* name, Stage&& stage) {
  try {
    return stage();
  } catch (const std::exception& error) {
    diag::StageThrew(name, error.what());
  } catch (...) {
    diag::StageThrew(name, "unknown");
  }
  return false;
}

int RefreshStages(const char* outsideCardId, const char* hardwareCardId, const char* serviceUrl,
                  const std::string& cacheDir) {
  platform::InitThreadForPlatformObjects();

  platform::ReplyText reply;
  AdUrlList list;
  if (!RunStage("query", [&] {
        return Query(outsideCardId ? outsideCardId : "", hardwareCardId ? hardwareCardId : "",
                     serviceUrl ? serviceUrl : "", reply, list);
      })) {
    return kQueryFailed;
  }
  // The folder's lock is held from the pass to the end of the save, so an overlapping call waits
  // here and then finds what this one fetched. Without it nothing can be written, and the pass
  // and the save fail where they would write.
  CacheFolder cache(cacheDir);
  if (!RunStage("download", [&] {
        cache.Lock();
        return DownloadMissingAds(list, cache);
      })) {
    return kDownloadFailed;
  }
  if (!RunStage("save", [&] { return Save(reply, cache); })) return kSaveFailed;
  // The lock is let go only when `cache` goes, after the removal; whatever it throws is a debug
  // line, and the call still returns 0.
  if (PruneAsked()) RunStage("prune", [&] { return PruneUnlisted(list, cache); });
  return kRefreshed;
}

}  // namespace

int Refresh(const char* outsideCardId, const char* hardwareCardId, const char* serviceUrl,
            const std::string& cacheDir) {
  diag::CallStarting();
  const int result = RefreshStages(outsideCardId, hardwareCardId, serviceUrl, cacheDir);
  diag::CallEnded(result);
  return result;
}

}  // namespace rz
