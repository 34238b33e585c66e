// consumer OUTSIDE_ID HARDWARE_ID SERVICE_URL: calls the installed library through the C++
// overload and exits with its result.
#include <RovireZevaDe.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  if (argc != 4) return 64;
  const int result = RazaRa(std::string(argv[1]), std::string(argv[2]), std::string(argv[3]));
  std::printf("RazaRa returned %d\n", result);
  return result;
}
