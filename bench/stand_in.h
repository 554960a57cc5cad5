/* What the benchmark's stand-ins (trapper.c, store.c) share: the stop and
 * mark signals, the wall clock in nanoseconds, and a write that finishes. */
#ifndef TARVO_BENCH_STAND_IN_H
#define TARVO_BENCH_STAND_IN_H

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

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

static long long now_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static int write_all(int fd, const void *data, size_t n) {
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

#endif
