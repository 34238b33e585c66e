// The few file-system operations the refresh needs beyond the C runtime's streams.
#pragma once

namespace rz::platform {

enum class PathState {
  kAbsent,     // nothing of that name
  kEmptyFile,  // a regular file of size 0
  kPresent,    // a non-empty file, a folder, or anything else of that name
};

PathState ProbePath(const char* path);

// Moves `from` over `to`, replacing an existing `to` in one step (MoveFileExA with
// MOVEFILE_REPLACE_EXISTING on Windows, rename elsewhere). False on failure; `to` is then intact.
bool ReplaceFile(const char* from, const char* to);

// Removes a file if it exists. False when something of that name is still there.
bool RemoveFile(const char* path);

}  // namespace rz::platform
