/* Stand-in for a Zabbix trapper, for the benchmark only.
 *
 *   trapper PORT_FILE [MARKS_FILE [DUMP_FILE]]
 *
 * Listens on 127.0.0.1 (a free port, written to PORT_FILE once listening),
 * and for each connection reads one framed sender request ("ZBXD\x01",
 * u32le body length, u32le 0, body), counts the values in it (the elements
 * of its "data" array), answers with a framed success reply that counts
 * them as processed ("processed: N; failed: 0; total: N"), and closes.
 * A request without a "data" array gets no reply and counts as bad.
 * Single-threaded, no fork: accept, read, write, close.
 * On SIGTERM or SIGINT prints "requests=N values=N bad=N bytes=N" to stdout
 * and exits.
 * On SIGUSR1 moves DUMP_FILE to DUMP_FILE.last, then appends "FIRST_NS
 * LAST_NS REQUESTS VALUES" to MARKS_FILE for the requests since the previous
 * mark (accept of the first, close of the last, CLOCK_REALTIME), so the
 * benchmark can tell when a pass was sending.
 * DUMP_FILE receives each request's body as "LENGTH\n" BODY "\n", so the
 * benchmark can check what arrived and replay the same values.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "stand_in.h"

/* Reads exactly n bytes; returns 0 on success, -1 on EOF, error or stop. */
static int read_exact(int fd, unsigned char *buf, size_t n) {
  while (n > 0) {
    ssize_t got = read(fd, buf, n);
    /* EAGAIN: accepted sockets inherit the listener's receive time-out. */
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
      if (g_stop) return -1;
      continue;
    }
    if (got <= 0) return -1;
    n -= (size_t)got;
    buf += got;
  }
  return 0;
}

/* Counts the elements of the top-level "data" array of a sender request;
 * -1 when there is none. Strings are skipped whole, so a value holding
 * brackets or the word "data" (the discovery document) cannot mislead it. */
static long count_values(const unsigned char *body, size_t len) {
  int depth = 0;              /* open objects and arrays */
  int last_key_is_data = 0;   /* the last string at depth 1 was "data" */
  int in_data = 0;
  long count = -1;
  for (size_t i = 0; i < len; ++i) {
    unsigned char ch = body[i];
    if (ch == '"') {
      size_t start = ++i;
      while (i < len && body[i] != '"') i += body[i] == '\\' ? 2 : 1;
      if (depth == 1) last_key_is_data = i - start == 4 && memcmp(body + start, "data", 4) == 0;
    } else if (ch == '{' || ch == '[') {
      if (ch == '[' && depth == 1 && last_key_is_data && count < 0) {
        count = 0;
        in_data = 1;
      } else if (in_data && depth == 2) {
        ++count;
      }
      ++depth;
    } else if (ch == '}' || ch == ']') {
      --depth;
      if (depth < 2) in_data = 0;
    }
  }
  return count;
}

static void put_u32le(unsigned char *p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = (unsigned char)(v >> (8 * i));
}

int main(int argc, char **argv) {
  if (argc < 2 || argc > 4) {
    fprintf(stderr, "usage: %s PORT_FILE [MARKS_FILE [DUMP_FILE]]\n", argv[0]);
    return 2;
  }
  install_stand_in_signals();
  const char *marks = argc >= 3 ? argv[2] : NULL;
  const char *dump_path = argc == 4 ? argv[3] : NULL;
  long long first_ns = 0, last_ns = 0, marked = 0, marked_values = 0;

  unsigned port = 0;
  int ls = listen_on("127.0.0.1", 0, &port);
  if (ls < 0) { perror("listen"); return 1; }
  /* accept wakes up now and then, so a stop signal that lands just before
   * it is still seen. */
  struct timeval tick = {0, 200000};
  setsockopt(ls, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
  if (write_port_file(argv[1], port) != 0) { perror("port file"); return 1; }
  FILE *dump = NULL;
  if (dump_path && !(dump = fopen(dump_path, "w"))) { perror("dump file"); return 1; }

  unsigned char *body = NULL;
  size_t body_cap = 0;
  unsigned long long requests = 0, values = 0, bad = 0, bytes = 0;
  int one = 1;
  while (!g_stop) {
    if (g_mark) {
      g_mark = 0;
      /* The dump first: the mark tells the benchmark that it is in place. */
      if (dump) {
        fclose(dump);
        char last[4096];
        snprintf(last, sizeof last, "%s.last", dump_path);
        rename(dump_path, last);
        if (!(dump = fopen(dump_path, "w"))) { perror("dump file"); return 1; }
      }
      if (marks) {
        FILE *mf = fopen(marks, "a");
        if (mf) {
          fprintf(mf, "%lld %lld %lld %lld\n", first_ns, last_ns, marked, marked_values);
          fclose(mf);
        }
      }
      first_ns = last_ns = marked = marked_values = 0;
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
    if (len > body_cap) {
      body_cap = len;
      body = realloc(body, body_cap);
      if (!body) { perror("realloc"); return 1; }
    }
    long count = -1;
    if (read_exact(fd, body, len) == 0) count = count_values(body, len);
    if (count < 0) {
      ++bad;
      close(fd);
      continue;
    }
    char text[160];
    int text_len = snprintf(text, sizeof text,
                            "{\"response\":\"success\",\"info\":\"processed: %ld; failed: 0; "
                            "total: %ld; seconds spent: 0.000050\"}",
                            count, count);
    unsigned char reply[13 + sizeof text];
    memcpy(reply, "ZBXD\x01", 5);
    put_u32le(reply + 5, (uint32_t)text_len);
    put_u32le(reply + 9, 0);
    memcpy(reply + 13, text, (size_t)text_len);
    if (write_all(fd, reply, 13 + (size_t)text_len) != 0) {
      ++bad;
      close(fd);
      continue;
    }
    close(fd);
    last_ns = now_ns();
    ++requests;
    ++marked;
    values += (unsigned long long)count;
    marked_values += count;
    bytes += 13 + len;
    if (dump) {
      fprintf(dump, "%u\n", len);
      fwrite(body, 1, len, dump);
      fputc('\n', dump);
    }
  }
  if (dump) fclose(dump);
  free(body);
  printf("requests=%llu values=%llu bad=%llu bytes=%llu\n", requests, values, bad, bytes);
  fflush(stdout);
  return 0;
}
