// consumer OUTSIDE_ID HARDWARE_ID SERVICE_URL: calls the installed library through the C++
// overload, prints the installed header's version and exits with the call's result.
#include <RovireZevaDe.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  if (argc != 4) return 64;
  const int result = RazaRa(std::string(argv[1]), std::string(argv[2]), std::string(argv[3]));
  std::printf("RovireZevaDe %s\n", RAZARA_VERSION_STRING);
  std::printf("RazaRa returned %d%s\n", result, result == RAZARA_REFRESHED ? " (refreshed)" : "");
  return result;
}
