/* RovireZevaDe: keeps a host application's local cache of advertisement files up to date.
 *
 * One call, RazaRa, asks the ad web service which files belong to a card pair, downloads the
 * ones missing from the cache folder beside the host's executable ("Tavrin/RazaRa/"), and then
 * saves the service's reply there as FileList.xml. The call is synchronous. It returns one of the
 * four RAZARA_* results below. A null pointer counts as an empty string.
 *
 * The header is C89 and C++ compatible. */
#ifndef ROVIREZEVADE_H
#define ROVIREZEVADE_H

#if defined(_WIN32)
#if defined(__i386__) || defined(_M_IX86)
#define RAZARA_CALL __stdcall
#else
#define RAZARA_CALL
#endif
#define RAZARA_API
#else
#define RAZARA_CALL
#define RAZARA_API __attribute__((visibility("default")))
#endif

/* The library's version, the same as its file version and package version. */
#define RAZARA_VERSION_MAJOR 1
#define RAZARA_VERSION_MINOR 0
#define RAZARA_VERSION_PATCH 0
#define RAZARA_VERSION_TWEAK 1
#define RAZARA_VERSION_STRING "1.0.0.1"

/* What RazaRa returns: the stage that stopped the refresh, or RAZARA_REFRESHED. */
/* Every listed file is present and FileList.xml was saved. */
#define RAZARA_REFRESHED 0
/* The query failed: empty service URL, failed exchange, or a reply without an ad list.
 * Nothing was downloaded; FileList.xml was not touched. */
#define RAZARA_QUERY_FAILED 1
/* A listed file could not be downloaded. Files fetched before it stay in the cache folder;
 * FileList.xml was not touched. */
#define RAZARA_DOWNLOAD_FAILED 2
/* Every listed file is present, but FileList.xml could not be saved; the previous one stays. */
#define RAZARA_SAVE_FAILED 3

#ifdef __cplusplus
extern "C" {
#endif

RAZARA_API int RAZARA_CALL RazaRa(const char* outsideCardId, const char* hardwareCardId,
                                  const char* serviceUrl);

#ifdef __cplusplus
}

#include <string>

/* Convenience for C++ hosts: the three strings by value. */
inline int RazaRa(std::string outsideCardId, std::string hardwareCardId, std::string serviceUrl) {
  return RazaRa(outsideCardId.c_str(), hardwareCardId.c_str(), serviceUrl.c_str());
}
#endif

#endif /* ROVIREZEVADE_H */
