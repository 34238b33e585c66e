// What one RazaRa call reports to the host.
#pragma once

namespace rz {

enum RefreshResult : int {
  kRefreshed = 0,       // every listed file is present and FileList.xml was saved
  kQueryFailed = 1,     // empty URL, failed exchange, or a reply without an ad list
  kDownloadFailed = 2,  // a listed file could not be fetched; FileList.xml untouched
  kSaveFailed = 3,      // all files present, FileList.xml could not be saved
};

}  // namespace rz
