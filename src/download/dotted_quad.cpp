// MySocket::IsDottedQuad: a text check that reads no field of the socket, apart from the socket
// code so that a program testing it links no socket layer.
#include <algorithm>

#include "download/my_socket.h"

namespace rz {

Status MySocket::IsDottedQuad(const char* text) {
  if (text == nullptr) {
    return kNotDottedQuad;
  }
  // Four non-empty runs of decimal digits joined by single dots, each run's value at most 255.
  // Leading zeros are allowed; a run of any length is read without overflow.
  int runs = 0;
  int digits = 0;
  int value = 0;
  for (const char* at = text;; ++at) {
    const char c = *at;
    if (c >= '0' && c <= '9') {
      value = std::min(value * 10 + (c - '0'), 256);
      ++digits;
      continue;
    }
    if (c != '.' && c != '\0') {
      return kNotDottedQuad;
    }
    if (digits == 0 || value > 255) {
      return kNotDottedQuad;
    }
    ++runs;
    if (c == '\0') {
      return runs == 4 ? kOk : kNotDottedQuad;
    }
    if (runs == 4) {
      return kNotDottedQuad;  // the fourth dot
    }
    digits = 0;
    value = 0;
  }
}

}  // namespace rz
