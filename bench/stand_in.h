/* What the benchmark's stand-ins (trapper.c, store.c, delay_proxy.c) share:
 * the stop and mark signals, the wall clock in nanoseconds, a write that
 * finishes, a listening socket and the file that publishes its port. */
#ifndef TARVO_BENCH_STAND_IN_H
#define TARVO_BENCH_STAND_IN_H

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

static volatile sig_atomic_t g_stop = 0;
static volatile sig_atomic_t g_mark = 0;

static void on_stop(int sig) {
  (void)sig;
  g_stop = 1;
}

static void on_mark(int sig) {
  (void)sig;
  g_mark = 1;
}

/* SIGTERM and SIGINT stop, SIGUSR1 marks; no SA_RESTART, so a blocked
 * accept or poll returns EINTR and the loop sees the flag. */
static void install_stand_in_signals(void) {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_stop;
  sigaction(SIGTERM, &sa, NULL);
  sigaction(SIGINT, &sa, NULL);
  sa.sa_handler = on_mark;
  sigaction(SIGUSR1, &sa, NULL);
  signal(SIGPIPE, SIG_IGN);
}

static inline long long now_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static inline int write_all(int fd, const void *data, size_t n) {
  const char *buf = data;
  while (n > 0) {
    ssize_t put = send(fd, buf, n, MSG_NOSIGNAL);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return -1;
    n -= (size_t)put;
    buf += put;
  }
  return 0;
}

/* A socket listening on ip:port (port 0: a free one), its port in *bound;
 * -1 on failure. */
static inline int listen_on(const char *ip, unsigned port, unsigned *bound) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = htons((unsigned short)port);
  /* A deep backlog: a client opening one connection per value must never
   * wait on a full queue. */
  if (inet_pton(AF_INET, ip, &addr.sin_addr) != 1 ||
      bind(fd, (struct sockaddr *)&addr, sizeof addr) != 0 || listen(fd, 4096) != 0) {
    close(fd);
    return -1;
  }
  socklen_t alen = sizeof addr;
  getsockname(fd, (struct sockaddr *)&addr, &alen);
  *bound = ntohs(addr.sin_port);
  return fd;
}

/* Writes the port to path through a rename, so a reader that sees the file
 * sees it whole; -1 on failure. */
static inline int write_port_file(const char *path, unsigned port) {
  char tmp[4096];
  snprintf(tmp, sizeof tmp, "%s.tmp", path);
  FILE *f = fopen(tmp, "w");
  if (!f) return -1;
  fprintf(f, "%u\n", port);
  if (fclose(f) != 0) return -1;
  return rename(tmp, path);
}

#endif
