/* Stand-in for a Zabbix trapper, for the benchmark only.
 *
 *   trapper [--tls-psk-identity ID --tls-psk-file FILE] PORT_FILE
 *           [MARKS_FILE [DUMP_FILE]]
 *
 * Listens on 127.0.0.1 (a free port, written to PORT_FILE once listening),
 * and for each connection reads one framed sender request ("ZBXD\x01",
 * u32le body length, u32le 0, body), counts the values in it (the elements
 * of its "data" array), answers with a framed success reply that counts
 * them as processed ("processed: N; failed: 0; total: N"), and closes.
 * A request without a "data" array gets no reply and counts as bad.
 * Single-threaded, no fork: accept, read, write, close.
 *
 * With a pre-shared key (the options named as zabbix_sender's; FILE's first
 * line is the key in hex) every connection must first complete a TLS
 * handshake with that identity and key, as with a Zabbix server whose host
 * accepts PSK only; a connection that does not counts as bad. The server is
 * set up as Debian's Zabbix server meets a client: TLS 1.2 at most (its
 * GnuTLS build does PSK only in 1.2), Zabbix's own PSK cipher string for
 * TLS 1.2, the client's order of preference, no session tickets or cache
 * (each sender connection is a new session), and after the reply one
 * close_notify without waiting for the client's.
 *
 * On SIGTERM or SIGINT prints "requests=N values=N bad=N bytes=N" to stdout
 * and exits.
 * On SIGUSR1 moves DUMP_FILE to DUMP_FILE.last, then appends
 * "FIRST_NS LAST_NS REQUESTS VALUES SUITE" to MARKS_FILE for the requests
 * since the previous mark (accept of the first, close of the last,
 * CLOCK_REALTIME; SUITE is the TLS version and cipher they used, "plain",
 * "mixed", or "-" when there were none), so the benchmark can tell when a
 * pass was sending and how.
 * DUMP_FILE receives each request's body as "LENGTH\n" BODY "\n", so the
 * benchmark can check what arrived and replay the same values.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "stand_in.h"

/* Zabbix's default PSK cipher string for TLS 1.2 when built with OpenSSL;
 * the GnuTLS priority string of Debian's build offers the same key
 * exchanges (ECDHE-PSK, PSK) with AES-128, in GCM and CBC. */
#define PSK_CIPHERS "kECDHEPSK+AES128:kPSK+AES128"

static const char *g_psk_identity;
static unsigned char g_psk[256];
static unsigned g_psk_len;

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

/* Whether a TLS call that returned rc should be tried again: it waits on the
 * socket, whose reads time out now and then (see read_exact). */
static int tls_again(SSL *ssl, int rc) {
  int err = SSL_get_error(ssl, rc);
  return (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) && !g_stop;
}

static int tls_read_exact(SSL *ssl, unsigned char *buf, size_t n) {
  while (n > 0) {
    size_t got = 0;
    int rc = SSL_read_ex(ssl, buf, n, &got);
    if (rc != 1) {
      if (tls_again(ssl, rc)) continue;
      return -1;
    }
    n -= got;
    buf += got;
  }
  return 0;
}

static int tls_write_all(SSL *ssl, const unsigned char *buf, size_t n) {
  while (n > 0) {
    size_t put = 0;
    int rc = SSL_write_ex(ssl, buf, n, &put);
    if (rc != 1) {
      if (tls_again(ssl, rc)) continue;
      return -1;
    }
    n -= put;
    buf += put;
  }
  return 0;
}

/* The connection's transport: the socket, or a TLS session over it. */
struct peer {
  int fd;
  SSL *ssl;
};

static int peer_read(struct peer *p, unsigned char *buf, size_t n) {
  return p->ssl ? tls_read_exact(p->ssl, buf, n) : read_exact(p->fd, buf, n);
}

static int peer_write(struct peer *p, const unsigned char *buf, size_t n) {
  return p->ssl ? tls_write_all(p->ssl, buf, n) : write_all(p->fd, buf, n);
}

static void peer_close(struct peer *p) {
  if (p->ssl) {
    /* One close_notify, as Zabbix sends it; the client's is not awaited. */
    SSL_shutdown(p->ssl);
    SSL_free(p->ssl);
    ERR_clear_error();
  }
  close(p->fd);
}

/* The key for the client's identity; 0 (the handshake fails) for any other
 * identity, as Zabbix does when it finds no host with that identity. */
static unsigned int psk_server(SSL *ssl, const char *identity, unsigned char *psk,
                               unsigned int max_psk_len) {
  (void)ssl;
  if (!identity || strcmp(identity, g_psk_identity) != 0 || g_psk_len > max_psk_len) return 0;
  memcpy(psk, g_psk, g_psk_len);
  return g_psk_len;
}

static int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

/* Reads the first line of path as 32 to 512 hex digits into g_psk; -1 when
 * it is not one. */
static int read_psk(const char *path) {
  FILE *f = fopen(path, "r");
  if (!f) return -1;
  char line[1024];
  int ok = fgets(line, sizeof line, f) != NULL;
  fclose(f);
  if (!ok) return -1;
  size_t len = strcspn(line, "\r\n");
  if (len < 32 || len > 512 || len % 2 != 0) return -1;
  for (size_t i = 0; i < len; i += 2) {
    int hi = hex_digit(line[i]), lo = hex_digit(line[i + 1]);
    if (hi < 0 || lo < 0) return -1;
    g_psk[i / 2] = (unsigned char)(hi << 4 | lo);
  }
  g_psk_len = (unsigned)(len / 2);
  return 0;
}

static SSL_CTX *psk_server_ctx(void) {
  SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
  if (!ctx) return NULL;
  if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_cipher_list(ctx, PSK_CIPHERS) != 1) {
    SSL_CTX_free(ctx);
    return NULL;
  }
  SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_psk_server_callback(ctx, psk_server);
  return ctx;
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

static void usage(const char *self) {
  fprintf(stderr,
          "usage: %s [--tls-psk-identity ID --tls-psk-file FILE] PORT_FILE "
          "[MARKS_FILE [DUMP_FILE]]\n",
          self);
}

int main(int argc, char **argv) {
  const char *psk_file = NULL;
  int arg = 1;
  while (arg + 1 < argc && strncmp(argv[arg], "--", 2) == 0) {
    if (strcmp(argv[arg], "--tls-psk-identity") == 0) g_psk_identity = argv[arg + 1];
    else if (strcmp(argv[arg], "--tls-psk-file") == 0) psk_file = argv[arg + 1];
    else break;
    arg += 2;
  }
  int rest = argc - arg;
  if (rest < 1 || rest > 3 || !g_psk_identity != !psk_file ||
      (g_psk_identity && (!*g_psk_identity || strlen(g_psk_identity) > 128))) {
    usage(argv[0]);
    return 2;
  }
  SSL_CTX *ctx = NULL;
  if (psk_file) {
    if (read_psk(psk_file) != 0) {
      fprintf(stderr, "%s: not a key of 32 to 512 hex digits\n", psk_file);
      return 2;
    }
    if (!(ctx = psk_server_ctx())) {
      ERR_print_errors_fp(stderr);
      return 1;
    }
  }
  install_stand_in_signals();
  const char *port_file = argv[arg];
  const char *marks = rest >= 2 ? argv[arg + 1] : NULL;
  const char *dump_path = rest == 3 ? argv[arg + 2] : NULL;
  long long first_ns = 0, last_ns = 0, marked = 0, marked_values = 0;
  char suite[96] = "";

  unsigned port = 0;
  int ls = listen_on("127.0.0.1", 0, &port);
  if (ls < 0) { perror("listen"); return 1; }
  /* accept wakes up now and then, so a stop signal that lands just before
   * it is still seen. */
  struct timeval tick = {0, 200000};
  setsockopt(ls, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
  if (write_port_file(port_file, port) != 0) { perror("port file"); return 1; }
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
          fprintf(mf, "%lld %lld %lld %lld %s\n", first_ns, last_ns, marked, marked_values,
                  suite[0] ? suite : "-");
          fclose(mf);
        }
      }
      first_ns = last_ns = marked = marked_values = 0;
      suite[0] = '\0';
    }
    int fd = accept4(ls, NULL, NULL, SOCK_CLOEXEC);
    if (fd >= 0 && first_ns == 0) first_ns = now_ns();
    if (fd < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED) continue;
      perror("accept");
      break;
    }
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    struct peer p = {fd, NULL};
    if (ctx) {
      int rc = -1;
      if ((p.ssl = SSL_new(ctx)) && SSL_set_fd(p.ssl, fd) == 1) {
        while ((rc = SSL_accept(p.ssl)) != 1 && tls_again(p.ssl, rc)) {
        }
      }
      if (rc != 1) {
        ++bad;
        peer_close(&p);
        continue;
      }
    }
    unsigned char head[13];
    if (peer_read(&p, head, sizeof head) != 0 || memcmp(head, "ZBXD\x01", 5) != 0) {
      ++bad;
      peer_close(&p);
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
    if (peer_read(&p, body, len) == 0) count = count_values(body, len);
    if (count < 0) {
      ++bad;
      peer_close(&p);
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
    if (peer_write(&p, reply, 13 + (size_t)text_len) != 0) {
      ++bad;
      peer_close(&p);
      continue;
    }
    const char *used = "plain";
    char tls_used[96];
    if (p.ssl) {
      snprintf(tls_used, sizeof tls_used, "%s/%s", SSL_get_version(p.ssl),
               SSL_get_cipher_name(p.ssl));
      used = tls_used;
    }
    peer_close(&p);
    last_ns = now_ns();
    ++requests;
    ++marked;
    values += (unsigned long long)count;
    marked_values += count;
    bytes += 13 + len;
    if (!suite[0]) snprintf(suite, sizeof suite, "%s", used);
    else if (strcmp(suite, used) != 0) snprintf(suite, sizeof suite, "mixed");
    if (dump) {
      fprintf(dump, "%u\n", len);
      fwrite(body, 1, len, dump);
      fputc('\n', dump);
    }
  }
  if (dump) fclose(dump);
  free(body);
  SSL_CTX_free(ctx);
  printf("requests=%llu values=%llu bad=%llu bytes=%llu\n", requests, values, bad, bytes);
  fflush(stdout);
  return 0;
}
