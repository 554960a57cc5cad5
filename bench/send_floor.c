/* Floor for the publication step of the benchmark: the least a sender can
 * do for COUNT values, one TCP connection each.
 *
 *   send_floor HOST_IP PORT COUNT
 *
 * For each value: socket, connect, write one framed sender request
 * ("ZBXD\x01", u32le length, u32le 0, JSON), read the framed reply, close.
 * Keys and values look like the per-client items the collector sends.
 * Exits 1 on the first failure.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static int read_exact(int fd, unsigned char *buf, size_t n) {
  while (n > 0) {
    ssize_t got = read(fd, buf, n);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return -1;
    n -= (size_t)got;
    buf += got;
  }
  return 0;
}

static int write_all(int fd, const unsigned char *buf, size_t n) {
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
    fprintf(stderr, "usage: %s HOST_IP PORT COUNT\n", argv[0]);
    return 2;
  }
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = htons((uint16_t)atoi(argv[2]));
  if (inet_pton(AF_INET, argv[1], &addr.sin_addr) != 1) {
    fprintf(stderr, "bad address %s\n", argv[1]);
    return 2;
  }
  const long count = atol(argv[3]);

  unsigned char packet[1024];
  unsigned char reply[65536];
  for (long i = 0; i < count; ++i) {
    char *body = (char *)packet + 13;
    int blen = snprintf(body, sizeof packet - 13,
                        "{\"request\":\"sender data\",\"data\":[{\"host\":\"bench\","
                        "\"key\":\"valor_divida[%ld]\",\"value\":\"%ld.90\"}]}",
                        i / 2 + 1, 49 + i % 200);
    memcpy(packet, "ZBXD\x01", 5);
    for (int b = 0; b < 4; ++b) packet[5 + b] = (unsigned char)((uint32_t)blen >> (8 * b));
    memset(packet + 9, 0, 4);

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) { perror("socket"); return 1; }
    if (connect(fd, (struct sockaddr *)&addr, sizeof addr) != 0) {
      fprintf(stderr, "connect (value %ld): %s\n", i, strerror(errno));
      return 1;
    }
    if (write_all(fd, packet, 13 + (size_t)blen) != 0 ||
        read_exact(fd, reply, 13) != 0 || memcmp(reply, "ZBXD\x01", 5) != 0) {
      fprintf(stderr, "exchange failed (value %ld)\n", i);
      return 1;
    }
    uint32_t len = (uint32_t)reply[5] | ((uint32_t)reply[6] << 8) |
                   ((uint32_t)reply[7] << 16) | ((uint32_t)reply[8] << 24);
    if (len > sizeof reply || read_exact(fd, reply, len) != 0) {
      fprintf(stderr, "short reply (value %ld)\n", i);
      return 1;
    }
    close(fd);
  }
  return 0;
}
