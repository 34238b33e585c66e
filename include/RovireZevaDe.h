/* RovireZevaDe: keeps a host application's local cache of advertisement files up to date.
 *
 * One call, RazaRa, asks the ad web service which files belong to a card pair, downloads the
 * ones missing from the cache folder beside the host's executable ("Tavrin/RazaRa/"), and then
 * saves the service's reply there as FileList.xml. The call is synchronous.
 *
 * Results:
 *   0  every listed file is present and FileList.xml was saved
 *   1  query failed: empty service URL, failed exchange, or a reply without an ad list
 *   2  a listed file could not be downloaded; FileList.xml was not touched
 *   3  every listed file is present, but FileList.xml could not be saved
 *
 * A null pointer counts as an empty string. */
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
