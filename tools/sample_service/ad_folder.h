// The folder of sample ads the service lists and serves, and the GetAd reply that lists it.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace sample {

// Names of the regular files directly inside `folder`, sorted; hidden files are left out.
std::vector<std::string> ListAds(const std::string& folder);

// The contents of ad `name` in `folder`, when `name` is one of ListAds(folder).
std::optional<std::string> ReadAd(const std::string& folder, const std::string& name);

// A SOAP 1.1 GetAdResponse whose WebResponse/AdList has one <Ad Flash="baseUrl + name"/> per
// name, in the service's namespace, as common SOAP stacks write it.
std::string GetAdReply(const std::string& baseUrl, const std::vector<std::string>& names);

// A SOAP fault for a request that is not a GetAd call.
std::string SoapFault(const std::string& reason);

// The text of the first <tag>...</tag> in `xml`, without unescaping; empty when absent.
std::string ElementText(const std::string& xml, const std::string& tag);

}  // namespace sample
