/* Preloaded into the host by bench/run to turn every flush to disk into a no-op, so that one case
 * can show what the library's durable commits cost. Never part of the library. */
int fsync(int fd) { return fd < 0 ? -1 : 0; }
int fdatasync(int fd) { return fd < 0 ? -1 : 0; }
int syncfs(int fd) { return fd < 0 ? -1 : 0; }
void sync(void) {}
