/* delay_line: an emulated WAN link between two network namespaces, for the WAN bench only.
 *
 *   delay_line NETNS_A TUN_A NETNS_B TUN_B ONE_WAY_MS RATE_MBIT QUEUE_KIB
 *
 * Attaches to the TUN device TUN_A inside NETNS_A and TUN_B inside NETNS_B (both made
 * beforehand, persistent, without packet information) and moves every IP packet from one to the
 * other. Each direction is one link: a token bucket one packet deep paces packets out at
 * RATE_MBIT, a drop-tail queue holds at most QUEUE_KIB waiting to be paced, and every packet is
 * delivered ONE_WAY_MS after it left the bucket. Packets keep their order. Runs until SIGTERM or
 * SIGINT, then prints per direction the packets moved and dropped.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

enum { kSlotBytes = 2048, kSlots = 16384 };

/* One direction: packets read from `in`, written to `out` once due. */
struct link {
  int in, out;
  unsigned char (*data)[kSlotBytes];
  int length[kSlots];
  int64_t due[kSlots]; /* monotonic ns at which the packet reaches the far side */
  unsigned head, count;
  int64_t paced_until; /* when the bucket is free again */
  unsigned long moved, dropped;
};

static volatile sig_atomic_t stopping;
static void on_signal(int sig) {
  (void)sig;
  stopping = 1;
}

static int64_t now_ns(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

/* Enters the named namespace and attaches to its TUN device; the descriptor stays tied to that
 * device whatever namespace this process enters next. */
static int open_tun(const char* netns, const char* name) {
  char path[256];
  snprintf(path, sizeof path, "/var/run/netns/%s", netns);
  int ns = open(path, O_RDONLY | O_CLOEXEC);
  if (ns < 0 || setns(ns, CLONE_NEWNET) != 0) {
    fprintf(stderr, "delay_line: cannot enter %s: %s\n", netns, strerror(errno));
    exit(1);
  }
  close(ns);
  int fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
  struct ifreq request;
  memset(&request, 0, sizeof request);
  request.ifr_flags = IFF_TUN | IFF_NO_PI;
  snprintf(request.ifr_name, IFNAMSIZ, "%s", name);
  if (fd < 0 || ioctl(fd, TUNSETIFF, &request) != 0) {
    fprintf(stderr, "delay_line: cannot attach %s in %s: %s\n", name, netns, strerror(errno));
    exit(1);
  }
  return fd;
}

/* Reads every packet waiting on the link's input and queues it, or drops it when the queue
 * already holds more than `queue_ns` of pacing. */
static void take(struct link* l, int64_t delay_ns, double ns_per_byte, int64_t queue_ns) {
  for (;;) {
    if (l->count == kSlots) {
      unsigned char scratch[kSlotBytes];
      if (read(l->in, scratch, sizeof scratch) <= 0) return;
      l->dropped++;
      continue;
    }
    unsigned slot = (l->head + l->count) % kSlots;
    ssize_t n = read(l->in, l->data[slot], kSlotBytes);
    if (n <= 0) return;
    int64_t now = now_ns();
    int64_t start = l->paced_until > now ? l->paced_until : now;
    if (start - now > queue_ns) {
      l->dropped++;
      continue;
    }
    l->paced_until = start + (int64_t)(ns_per_byte * (double)n);
    l->length[slot] = (int)n;
    l->due[slot] = l->paced_until + delay_ns;
    l->count++;
  }
}

/* Writes every packet that is due; returns the ns until the next one is (or -1 when none). */
static int64_t give(struct link* l) {
  int64_t now = now_ns();
  while (l->count > 0) {
    unsigned slot = l->head;
    if (l->due[slot] > now) return l->due[slot] - now;
    /* A full TUN queue on the far side drops the packet, as a real link would. */
    if (write(l->out, l->data[slot], (size_t)l->length[slot]) == l->length[slot])
      l->moved++;
    else
      l->dropped++;
    l->head = (l->head + 1) % kSlots;
    l->count--;
  }
  return -1;
}

int main(int argc, char** argv) {
  if (argc != 8) {
    fprintf(stderr,
            "usage: delay_line NETNS_A TUN_A NETNS_B TUN_B ONE_WAY_MS RATE_MBIT QUEUE_KIB\n");
    return 64;
  }
  const double one_way_ms = atof(argv[5]), rate_mbit = atof(argv[6]), queue_kib = atof(argv[7]);
  if (one_way_ms < 0 || rate_mbit <= 0 || queue_kib <= 0) {
    fprintf(stderr, "delay_line: delay >= 0, rate > 0 and queue > 0 please\n");
    return 64;
  }
  const int64_t delay_ns = (int64_t)(one_way_ms * 1e6);
  const double ns_per_byte = 8000.0 / rate_mbit;
  const int64_t queue_ns = (int64_t)(queue_kib * 1024 * ns_per_byte);

  int a = open_tun(argv[1], argv[2]);
  int b = open_tun(argv[3], argv[4]);
  static struct link links[2];
  links[0].in = a, links[0].out = b;
  links[1].in = b, links[1].out = a;
  for (int i = 0; i < 2; i++) {
    links[i].data = malloc(sizeof *links[i].data * kSlots);
    if (links[i].data == NULL) return 1;
  }
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = on_signal;
  sigaction(SIGTERM, &action, NULL);
  sigaction(SIGINT, &action, NULL);
  printf("delay_line: %s/%s <-> %s/%s, %.3f ms each way, %.1f Mbit/s, queue %.0f KiB\n", argv[1],
         argv[2], argv[3], argv[4], one_way_ms, rate_mbit, queue_kib);
  fflush(stdout);

  while (!stopping) {
    int64_t wait = -1;
    for (int i = 0; i < 2; i++) {
      int64_t next = give(&links[i]);
      if (next >= 0 && (wait < 0 || next < wait)) wait = next;
    }
    struct pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
    struct timespec timeout = {wait / 1000000000, wait % 1000000000};
    int ready = ppoll(fds, 2, wait < 0 ? NULL : &timeout, NULL);
    if (ready < 0 && errno != EINTR) {
      perror("delay_line: ppoll");
      return 1;
    }
    for (int i = 0; i < 2; i++) {
      if (fds[i].revents & POLLIN) take(&links[i], delay_ns, ns_per_byte, queue_ns);
    }
  }
  for (int i = 0; i < 2; i++) {
    printf("delay_line: %s -> %s: %lu packets moved, %lu dropped\n", i ? argv[4] : argv[2],
           i ? argv[2] : argv[4], links[i].moved, links[i].dropped);
  }
  return 0;
}
