/* Stand-in for the time-series store's HTTP endpoints, for the benchmark only.
 *
 *   store ADDR WRITE_PORT_FILE BODY_FILE MARKS_FILE
 *
 * Listens on ADDR:9000 for the SQL endpoint (GET /exec) and on a free port of
 * ADDR for ingestion (POST /write), written to WRITE_PORT_FILE once both
 * listen. /exec answers every query with a listing of fifteen columns, the
 * steady state in which the table needs no upkeep; /write appends the body to
 * BODY_FILE, counts its lines as rows and answers 204. Every reply carries
 * "Connection: close", so one connection holds one request and a single
 * thread can serve both ports in turn.
 *
 * On SIGUSR1 moves the bodies of the requests since the previous mark to
 * BODY_FILE.last, then appends to MARKS_FILE, for those requests:
 *   EXEC_FIRST_NS EXEC_LAST_NS EXECS WRITE_FIRST_NS WRITE_LAST_NS WRITES ROWS
 * (accept of the first request, end of the last reply, CLOCK_REALTIME).
 * On SIGTERM prints the totals and exits.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "stand_in.h"

/* Reads one request into *buf (grown as needed): the head, then as many body
 * bytes as Content-Length says. Returns the head length, -1 on failure. */
static long read_request(int fd, char **buf, size_t *cap, size_t *total) {
  size_t used = 0, head = 0, want = 0;
  for (;;) {
    if (used + 65536 > *cap) {
      *cap = (*cap ? *cap * 2 : 1 << 20);
      *buf = realloc(*buf, *cap);
      if (!*buf) return -1;
    }
    ssize_t got = read(fd, *buf + used, *cap - used - 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return -1;
    used += (size_t)got;
    (*buf)[used] = '\0';
    if (head == 0) {
      char *end = strstr(*buf, "\r\n\r\n");
      if (!end) continue;
      head = (size_t)(end - *buf) + 4;
      const char *p = *buf;
      while ((p = strchr(p, '\n')) != NULL && p < *buf + head) {
        ++p;
        if (strncasecmp(p, "Content-Length:", 15) == 0) want = strtoul(p + 15, NULL, 10);
      }
    }
    if (used >= head + want) {
      *total = head + want;
      return (long)head;
    }
  }
}

int main(int argc, char **argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: %s ADDR WRITE_PORT_FILE BODY_FILE MARKS_FILE\n", argv[0]);
    return 2;
  }
  install_stand_in_signals();

  unsigned exec_port = 0, write_port = 0;
  int exec_fd = listen_on(argv[1], 9000, &exec_port);
  int write_fd = listen_on(argv[1], 0, &write_port);
  if (exec_fd < 0 || write_fd < 0) {
    perror("listen");
    return 1;
  }
  if (write_port_file(argv[2], write_port) != 0) { perror("port file"); return 1; }

  FILE *body = fopen(argv[3], "w");
  if (!body) { perror("body file"); return 1; }

  static const char listing[] =
      "{\"query\":\"SHOW COLUMNS FROM tarvoClientes\",\"columns\":[{\"name\":\"column\","
      "\"type\":\"STRING\"}],\"dataset\":[[\"idCliente\"],[\"razaoSocial\"],[\"cpfCnpj\"],"
      "[\"valorDivida\"],[\"titulosDivida\"],[\"contatoCliente\"],[\"primeiroVencimento\"],"
      "[\"diasAtraso\"],[\"cidade\"],[\"pop\"],[\"bairro\"],[\"dataCadastro\"],"
      "[\"dataCriacaoTitulo\"],[\"tarvoIdentification\"],[\"timestamp\"]],\"count\":15}";
  char exec_reply[2048];
  int exec_reply_len = snprintf(exec_reply, sizeof exec_reply,
                                "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                                "Content-Length: %zu\r\nConnection: close\r\n\r\n%s",
                                sizeof listing - 1, listing);
  static const char write_reply[] = "HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n";

  long long exec_first = 0, exec_last = 0, execs = 0;
  long long write_first = 0, write_last = 0, writes = 0, rows = 0;
  long long all_execs = 0, all_writes = 0, all_rows = 0, bad = 0;
  char *buf = NULL;
  size_t cap = 0;
  struct pollfd fds[2] = {{exec_fd, POLLIN, 0}, {write_fd, POLLIN, 0}};
  while (!g_stop) {
    if (g_mark) {
      g_mark = 0;
      /* The bodies first: the mark tells the benchmark that they are in place. */
      fclose(body);
      char last[4096];
      snprintf(last, sizeof last, "%s.last", argv[3]);
      rename(argv[3], last);
      body = fopen(argv[3], "w");
      if (!body) { perror("body file"); return 1; }
      FILE *mf = fopen(argv[4], "a");
      if (mf) {
        fprintf(mf, "%lld %lld %lld %lld %lld %lld %lld\n", exec_first, exec_last, execs,
                write_first, write_last, writes, rows);
        fclose(mf);
      }
      exec_first = exec_last = execs = write_first = write_last = writes = rows = 0;
    }
    if (poll(fds, 2, 200) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (!(fds[i].revents & POLLIN)) continue;
      int fd = accept4(fds[i].fd, NULL, NULL, SOCK_CLOEXEC);
      if (fd < 0) continue;
      long long t0 = now_ns();
      size_t total = 0;
      long head = read_request(fd, &buf, &cap, &total);
      int ok = head > 0;
      if (ok && i == 0) {
        ok = strncmp(buf, "GET /exec?", 10) == 0 &&
             write_all(fd, exec_reply, (size_t)exec_reply_len) == 0;
        if (ok) {
          if (execs++ == 0) exec_first = t0;
          exec_last = now_ns();
          ++all_execs;
        }
      } else if (ok) {
        const char *data = buf + head;
        size_t len = total - (size_t)head;
        long long lines = 0;
        for (size_t k = 0; k < len; ++k) lines += data[k] == '\n';
        ok = strncmp(buf, "POST /write", 11) == 0 && fwrite(data, 1, len, body) == len &&
             write_all(fd, write_reply, sizeof write_reply - 1) == 0;
        if (ok) {
          if (writes++ == 0) write_first = t0;
          write_last = now_ns();
          rows += lines;
          ++all_writes;
          all_rows += lines;
        }
      }
      if (!ok) ++bad;
      close(fd);
    }
  }
  fclose(body);
  free(buf);
  printf("execs=%lld writes=%lld rows=%lld bad=%lld\n", all_execs, all_writes, all_rows, bad);
  return 0;
}
