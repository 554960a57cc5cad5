/* Stand-in for a Zabbix trapper, for the benchmark only.
 *
 *   trapper PORT_FILE [MARKS_FILE]
 *
 * Listens on 127.0.0.1 (a free port, written to PORT_FILE once listening),
 * and for each connection reads one framed sender request ("ZBXD\x01",
 * u32le body length, u32le 0, body), answers it with a framed success reply
 * and closes. Single-threaded, no fork: accept, read, write, close.
 * On SIGTERM or SIGINT prints "requests=N bad=N bytes=N" to stdout and exits.
 * On SIGUSR1 appends "FIRST_NS LAST_NS REQUESTS" to MARKS_FILE for the
 * requests since the previous mark (accept of the first, close of the last,
 * CLOCK_REALTIME), so the benchmark can tell when a pass was sending.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "stand_in.h"

/* Reads exactly n bytes (or into a scratch buffer when buf is NULL);
 * returns 0 on success, -1 on EOF or error. */
static int read_exact(int fd, unsigned char *buf, size_t n) {
  static unsigned char scratch[1 << 16];
  while (n > 0) {
    unsigned char *dst = buf ? buf : scratch;
    size_t want = buf ? n : (n < sizeof scratch ? n : sizeof scratch);
    ssize_t got = read(fd, dst, want);
    if (got < 0 && errno == EINTR) {
      if (g_stop) return -1;
      continue;
    }
    if (got <= 0) return -1;
    n -= (size_t)got;
    if (buf) buf += got;
  }
  return 0;
}

int main(int argc, char **argv) {
  if (argc != 2 && argc != 3) {
    fprintf(stderr, "usage: %s PORT_FILE [MARKS_FILE]\n", argv[0]);
    return 2;
  }
  install_stand_in_signals();
  const char *marks = argc == 3 ? argv[2] : NULL;
  long long first_ns = 0, last_ns = 0, marked = 0;

  int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (ls < 0) { perror("socket"); return 1; }
  int one = 1;
  setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (bind(ls, (struct sockaddr *)&addr, sizeof addr) != 0) { perror("bind"); return 1; }
  if (listen(ls, 4096) != 0) { perror("listen"); return 1; }
  /* accept wakes up now and then, so a stop signal that lands just before
   * it is still seen. */
  struct timeval tick = {0, 200000};
  setsockopt(ls, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
  socklen_t alen = sizeof addr;
  getsockname(ls, (struct sockaddr *)&addr, &alen);

  char tmp[4096];
  snprintf(tmp, sizeof tmp, "%s.tmp", argv[1]);
  FILE *pf = fopen(tmp, "w");
  if (!pf) { perror("port file"); return 1; }
  fprintf(pf, "%u\n", (unsigned)ntohs(addr.sin_port));
  fclose(pf);
  rename(tmp, argv[1]);

  static const char body[] =
      "{\"response\":\"success\",\"info\":\"processed: 1; failed: 0; total: 1; "
      "seconds spent: 0.000050\"}";
  unsigned char reply[13 + sizeof body];
  const uint32_t blen = (uint32_t)(sizeof body - 1);
  memcpy(reply, "ZBXD\x01", 5);
  for (int i = 0; i < 4; ++i) reply[5 + i] = (unsigned char)(blen >> (8 * i));
  memset(reply + 9, 0, 4);
  memcpy(reply + 13, body, blen);
  const size_t reply_len = 13 + blen;

  unsigned long long requests = 0, bad = 0, bytes = 0;
  while (!g_stop) {
    if (g_mark) {
      g_mark = 0;
      if (marks) {
        FILE *mf = fopen(marks, "a");
        if (mf) {
          fprintf(mf, "%lld %lld %lld\n", first_ns, last_ns, marked);
          fclose(mf);
        }
      }
      first_ns = last_ns = marked = 0;
    }
    int fd = accept4(ls, NULL, NULL, SOCK_CLOEXEC);
    if (fd >= 0 && first_ns == 0) first_ns = now_ns();
    if (fd < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED) continue;
      perror("accept");
      break;
    }
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    unsigned char head[13];
    if (read_exact(fd, head, sizeof head) != 0 || memcmp(head, "ZBXD\x01", 5) != 0) {
      ++bad;
      close(fd);
      continue;
    }
    uint32_t len = (uint32_t)head[5] | ((uint32_t)head[6] << 8) |
                   ((uint32_t)head[7] << 16) | ((uint32_t)head[8] << 24);
    if (read_exact(fd, NULL, len) != 0 || write_all(fd, reply, reply_len) != 0) {
      ++bad;
      close(fd);
      continue;
    }
    ++requests;
    bytes += 13 + len;
    close(fd);
    ++marked;
    last_ns = now_ns();
  }
  printf("requests=%llu bad=%llu bytes=%llu\n", requests, bad, bytes);
  fflush(stdout);
  return 0;
}
