/* Floor for the ingestion step of the benchmark: one bare HTTP POST of a
 * line-protocol body, the least any client can do to hand the rows over.
 *
 *   post_floor HOST_IP PORT BODY_FILE
 *
 * Reads BODY_FILE whole, then: socket, connect, write the request head and
 * the body, read the reply head, close. Exits 1 unless the reply is 2xx.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static int write_all(int fd, const char *buf, size_t n) {
  while (n > 0) {
    ssize_t put = send(fd, buf, n, MSG_NOSIGNAL);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return -1;
    n -= (size_t)put;
    buf += put;
  }
  return 0;
}

int main(int argc, char **argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: %s HOST_IP PORT BODY_FILE\n", argv[0]);
    return 2;
  }
  FILE *f = fopen(argv[3], "rb");
  if (!f) { perror("body"); return 1; }
  fseek(f, 0, SEEK_END);
  long size = ftell(f);
  rewind(f);
  char *body = malloc((size_t)size + 1);
  if (!body || fread(body, 1, (size_t)size, f) != (size_t)size) { perror("read"); return 1; }
  fclose(f);

  struct sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = htons((unsigned short)atoi(argv[2]));
  if (inet_pton(AF_INET, argv[1], &addr.sin_addr) != 1) { fprintf(stderr, "bad address\n"); return 2; }
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0 || connect(fd, (struct sockaddr *)&addr, sizeof addr) != 0) { perror("connect"); return 1; }
  char head[512];
  int hlen = snprintf(head, sizeof head,
                      "POST /write?precision=n HTTP/1.1\r\nHost: %s:%s\r\n"
                      "Content-Type: text/plain; charset=utf-8\r\nContent-Length: %ld\r\n\r\n",
                      argv[1], argv[2], size);
  if (write_all(fd, head, (size_t)hlen) != 0 || write_all(fd, body, (size_t)size) != 0) {
    perror("write");
    return 1;
  }
  char reply[4096];
  size_t used = 0;
  while (used < sizeof reply - 1) {
    ssize_t got = read(fd, reply + used, sizeof reply - 1 - used);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    used += (size_t)got;
    reply[used] = '\0';
    if (strstr(reply, "\r\n\r\n")) break;
  }
  close(fd);
  free(body);
  if (used < 12 || strncmp(reply, "HTTP/1.1 2", 10) != 0) {
    fprintf(stderr, "no 2xx reply\n");
    return 1;
  }
  return 0;
}
