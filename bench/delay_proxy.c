/* A link with a fixed round trip, on loopback, for the benchmark only (these
 * machines have no netem).
 *
 *   delay_proxy PORT_FILE TARGET_IP TARGET_PORT RTT_MS
 *
 * Listens on 127.0.0.1 (a free port, written to PORT_FILE once listening)
 * and forwards each accepted connection to TARGET_IP:TARGET_PORT, holding
 * every byte in each direction for the one-way delay, RTT_MS / 2, counted
 * from when the kernel received it, in order. End of stream (a half-close)
 * is forwarded the same way, after the bytes before it. Many connections
 * at once, one thread: ppoll with a nanosecond time-out on the earliest
 * byte due, ending a little early and polling without sleeping for the
 * rest, since timed waits here end late.
 * On SIGTERM or SIGINT prints to stdout
 *   "connections=N up=BYTES down=BYTES late_max_us=N late_mean_us=N"
 * where late is how long after its due time a chunk of bytes was first
 * offered to its receiver (the proxy's own lateness on top of the delay),
 * and exits. The proxy's own connection to the target is made while the
 * client's first bytes wait, so above 0 ms it costs the exchange nothing;
 * at 0 ms it is the whole of the proxy's cost.
 *
 * The model. With a one-way delay d (round trip R = 2d), a client that
 * connects at t0 over a real link
 *   - finishes connect() at t0 + R (SYN, SYN-ACK): one round trip;
 *   - and its request, sent then, reaches the server at t0 + R + d, whose
 *     reply reaches the client d later: a second round trip.
 * On loopback the kernel completes the handshake at once, so the client's
 * connect() returns at t0 and it writes straight away, R too early. The
 * proxy sees the accept at t0 and connects to the target then; it cannot
 * hold the client's connect() back, so it holds the client's bytes instead:
 * until the client has heard anything back (the first byte delivered to
 * it), everything it sends waits R + d, as if its whole timeline since
 * connect() were shifted by the handshake it did not wait for. After that
 * the client has waited on the link and is back in step, and its bytes wait
 * d. The target's bytes wait d, and none leaves before t0 + R + d (when a
 * real server would have accepted), which matters only to a server that
 * speaks first. So one request and reply over a fresh connection costs
 * 2R, as over the real link. Shifting, rather than holding the early bytes
 * only until t0 + R, also charges the time a client spends between connect
 * and its first write, which it would spend after the handshake too.
 * Not modelled: bandwidth, slow start and loss; a large request (the
 * discovery document) crosses in d, not in the extra round trips a
 * congestion window would cost.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "stand_in.h"

/* Bytes held per direction before the proxy stops reading from the sender;
 * far above any request of the benchmark, so it never throttles one. */
#define QUEUE_CAP (64u << 20)

struct chunk {
  struct chunk *next;
  long long due;      /* CLOCK_MONOTONIC ns */
  size_t len, off;    /* len 0: end of stream */
  int tried;          /* its lateness is counted */
  unsigned char data[];
};

struct direction {
  struct chunk *head, *tail;
  size_t queued;
  long long last_due; /* keeps dues in order whatever the rule */
  int eof_read;       /* nothing more to read from the sender */
  int done;           /* end of stream forwarded, or the receiver failed */
};

struct conn {
  int client, target;
  long long accepted;
  int heard;          /* the client has been handed a byte */
  struct direction up, down; /* up: client to target */
};

static long long g_one_way, g_rtt;
/* How late the kernel wakes us from a timed wait (running mean), and so how
 * long before a due time to stop sleeping and poll without waiting instead:
 * on these virtual machines a 2.5 ms wait ends a quarter of a millisecond
 * late on average, which would add half a millisecond to every exchange.
 * Twice the mean, at most MAX_MARGIN_NS, bounds the time spent polling. */
#define MAX_MARGIN_NS 500000LL
static long long g_wake_late, g_margin;
static unsigned long long g_conns, g_up_bytes, g_down_bytes;
static long long g_late_max, g_late_sum, g_late_n;

static long long mono_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static void drop_queue(struct direction *d) {
  while (d->head) {
    struct chunk *c = d->head;
    d->head = c->next;
    free(c);
  }
  d->tail = NULL;
  d->queued = 0;
}

static void enqueue(struct direction *d, const unsigned char *data, size_t len, long long due) {
  if (due < d->last_due) due = d->last_due;
  d->last_due = due;
  struct chunk *c = malloc(sizeof *c + len);
  if (!c) {
    perror("malloc");
    exit(1);
  }
  c->next = NULL;
  c->due = due;
  c->len = len;
  c->off = 0;
  c->tried = 0;
  if (len) memcpy(c->data, data, len);
  if (d->tail) d->tail->next = c;
  else d->head = c;
  d->tail = c;
  d->queued += len;
}

/* Hands on what is due; returns how many bytes went out. */
static size_t deliver(struct direction *d, int to, long long now) {
  size_t sent = 0;
  while (d->head && d->head->due <= now && !d->done) {
    struct chunk *c = d->head;
    if (!c->tried) {
      c->tried = 1;
      long long late = now - c->due;
      if (late > g_late_max) g_late_max = late;
      g_late_sum += late;
      ++g_late_n;
    }
    if (c->len == 0) {
      shutdown(to, SHUT_WR);
      d->done = 1;
    } else {
      ssize_t n = send(to, c->data + c->off, c->len - c->off, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) break;
      if (n < 0) {
        /* The receiver is gone: what it would have read is lost, as on a
         * link whose far end reset. */
        d->done = 1;
        d->eof_read = 1;
        break;
      }
      c->off += (size_t)n;
      d->queued -= (size_t)n;
      sent += (size_t)n;
      if (c->off < c->len) break;
    }
    d->head = c->next;
    if (!d->head) d->tail = NULL;
    free(c);
  }
  if (d->done) drop_queue(d);
  return sent;
}

/* The moment the kernel received the bytes that the last recvmsg returned,
 * on the monotonic clock: from their SO_TIMESTAMPNS stamp (wall clock) and
 * the two clocks read now. Without a stamp, or with one from the future,
 * now. */
static long long received_at(struct msghdr *msg) {
  long long mono = mono_ns(), wall = now_ns();
  for (struct cmsghdr *cm = CMSG_FIRSTHDR(msg); cm; cm = CMSG_NXTHDR(msg, cm)) {
    if (cm->cmsg_level == SOL_SOCKET && cm->cmsg_type == SCM_TIMESTAMPNS) {
      struct timespec ts;
      memcpy(&ts, CMSG_DATA(cm), sizeof ts);
      long long age = wall - ((long long)ts.tv_sec * 1000000000LL + ts.tv_nsec);
      if (age > 0) return mono - age;
    }
  }
  return mono;
}

/* Reads what the sender has, up to 256 KiB, and queues it to be handed on
 * `delay` after it reached the proxy (and not before `not_before`). Timing
 * from the kernel's arrival stamp, not from the read, keeps the proxy's own
 * wake-ups and its work on other connections out of the delay. The limit
 * hands a long stream on while it still arrives, instead of after. */
static void take_in(struct direction *d, int from, long long delay, long long not_before) {
  static unsigned char buf[1 << 16];
  union {
    char space[CMSG_SPACE(sizeof(struct timespec))];
    struct cmsghdr align;
  } control;
  for (int reads = 0; reads < 4; ++reads) {
    struct iovec iov = {buf, sizeof buf};
    struct msghdr msg = {.msg_iov = &iov, .msg_iovlen = 1,
                         .msg_control = control.space, .msg_controllen = sizeof control.space};
    ssize_t n = recvmsg(from, &msg, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return;
    long long at = n > 0 ? received_at(&msg) : mono_ns();
    long long due = (at > not_before ? at : not_before) + delay;
    if (n <= 0) {
      /* End of stream, or a reset that we forward as one. */
      d->eof_read = 1;
      if (!d->done) enqueue(d, NULL, 0, due);
      return;
    }
    if (!d->done) enqueue(d, buf, (size_t)n, due);
    if (d->queued >= QUEUE_CAP) return;
  }
}

static struct conn *open_conn(int client, const struct sockaddr_in *target, long long now) {
  int one = 1;
  setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  setsockopt(client, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return NULL;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
  /* Non-blocking: a full backlog at the target must not stall the others.
   * Until the connection is up, sends fail with EAGAIN and wait for POLLOUT;
   * a refusal shows as an error on the first read or send. */
  if (connect(fd, (const struct sockaddr *)target, sizeof *target) != 0 && errno != EINPROGRESS) {
    close(fd);
    return NULL;
  }
  struct conn *c = calloc(1, sizeof *c);
  if (!c) {
    close(fd);
    return NULL;
  }
  c->client = client;
  c->target = fd;
  c->accepted = now;
  return c;
}

int main(int argc, char **argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: %s PORT_FILE TARGET_IP TARGET_PORT RTT_MS\n", argv[0]);
    return 2;
  }
  struct sockaddr_in target;
  memset(&target, 0, sizeof target);
  target.sin_family = AF_INET;
  target.sin_port = htons((unsigned short)atoi(argv[3]));
  if (inet_pton(AF_INET, argv[2], &target.sin_addr) != 1) {
    fprintf(stderr, "bad address %s\n", argv[2]);
    return 2;
  }
  char *end = NULL;
  double rtt_ms = strtod(argv[4], &end);
  if (!end || *end != '\0' || rtt_ms < 0) {
    fprintf(stderr, "bad round trip %s\n", argv[4]);
    return 2;
  }
  g_rtt = (long long)(rtt_ms * 1e6);
  g_one_way = g_rtt / 2;
  install_stand_in_signals();
  /* Wake-ups as late as the default 50 us timer slack would add up over
   * tens of thousands of exchanges. */
  prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);

  unsigned port = 0;
  int ls = listen_on("127.0.0.1", 0, &port);
  if (ls < 0) {
    perror("listen");
    return 1;
  }
  /* Non-blocking, so accepting until EAGAIN takes every waiting connection
   * and then returns to the others. Stamps on the listener too: bytes that
   * arrive before a connection is accepted are stamped only while some
   * socket asks for stamps. */
  fcntl(ls, F_SETFL, fcntl(ls, F_GETFL) | O_NONBLOCK);
  int one = 1;
  setsockopt(ls, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
  if (write_port_file(argv[1], port) != 0) {
    perror("port file");
    return 1;
  }

  struct conn **conns = NULL;
  size_t n_conns = 0, cap_conns = 0;
  struct pollfd *pfd = NULL;
  size_t cap_pfd = 0;
  while (!g_stop) {
    long long now = mono_ns();
    long long next = -1;
    for (size_t i = 0; i < n_conns;) {
      struct conn *c = conns[i];
      g_up_bytes += deliver(&c->up, c->target, now);
      size_t down = deliver(&c->down, c->client, now);
      g_down_bytes += down;
      if (down > 0) c->heard = 1;
      if (c->up.done && c->down.done) {
        close(c->client);
        close(c->target);
        free(c);
        conns[i] = conns[--n_conns];
        continue;
      }
      if (c->up.head && c->up.head->due > now && (next < 0 || c->up.head->due < next))
        next = c->up.head->due;
      if (c->down.head && c->down.head->due > now && (next < 0 || c->down.head->due < next))
        next = c->down.head->due;
      ++i;
    }

    if (1 + 2 * n_conns > cap_pfd) {
      cap_pfd = 1 + 2 * cap_conns;
      pfd = realloc(pfd, cap_pfd * sizeof *pfd);
      if (!pfd) {
        perror("realloc");
        return 1;
      }
    }
    pfd[0] = (struct pollfd){ls, POLLIN, 0};
    for (size_t i = 0; i < n_conns; ++i) {
      struct conn *c = conns[i];
      short ce = 0, te = 0;
      if (!c->up.eof_read && c->up.queued < QUEUE_CAP) ce |= POLLIN;
      if (!c->down.eof_read && c->down.queued < QUEUE_CAP) te |= POLLIN;
      if (c->up.head && c->up.head->due <= now) te |= POLLOUT;
      if (c->down.head && c->down.head->due <= now) ce |= POLLOUT;
      /* A socket nothing is asked of is left out: a hung-up one would
       * otherwise wake poll at once, over and over, until its turn. */
      pfd[1 + 2 * i] = (struct pollfd){ce ? c->client : -1, ce, 0};
      pfd[2 + 2 * i] = (struct pollfd){te ? c->target : -1, te, 0};
    }
    /* At most 200 ms, so a stop signal that lands just before ppoll is
     * still seen. */
    long long before = mono_ns();
    long long left = next >= 0 ? next - g_margin - before : 200000000LL;
    if (left < 0) left = 0;
    if (left > 200000000LL) left = 200000000LL;
    struct timespec wait = {left / 1000000000LL, left % 1000000000LL};
    int ready = ppoll(pfd, 1 + 2 * n_conns, &wait, NULL);
    if (ready < 0 && errno != EINTR) {
      perror("ppoll");
      return 1;
    }
    if (ready == 0 && left > 0) {
      g_wake_late += (mono_ns() - before - left - g_wake_late) / 16;
      g_margin = g_wake_late <= 0 ? 0 : 2 * g_wake_late;
      if (g_margin > MAX_MARGIN_NS) g_margin = MAX_MARGIN_NS;
    }
    if (ready <= 0) continue;

    now = mono_ns();
    size_t polled = n_conns;
    for (size_t i = 0; i < polled; ++i) {
      struct conn *c = conns[i];
      /* Until the client has heard back, it is a round trip ahead of the
       * link (see the model above). */
      long long up_delay = g_one_way + (c->heard ? 0 : g_rtt);
      long long target_up = c->accepted + g_rtt + g_one_way;
      /* Only where reading was asked for: a hang-up also shows on a socket
       * polled for writing alone. */
      const short readable = POLLIN | POLLHUP | POLLERR;
      if ((pfd[1 + 2 * i].events & POLLIN) && (pfd[1 + 2 * i].revents & readable))
        take_in(&c->up, c->client, up_delay, 0);
      if ((pfd[2 + 2 * i].events & POLLIN) && (pfd[2 + 2 * i].revents & readable))
        take_in(&c->down, c->target, g_one_way, target_up);
    }
    if (pfd[0].revents & POLLIN) {
      for (;;) {
        int fd = accept4(ls, NULL, NULL, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) break;
        struct conn *c = open_conn(fd, &target, now);
        if (!c) {
          close(fd);
          continue;
        }
        if (n_conns == cap_conns) {
          cap_conns = cap_conns ? 2 * cap_conns : 64;
          conns = realloc(conns, cap_conns * sizeof *conns);
          if (!conns) {
            perror("realloc");
            return 1;
          }
        }
        conns[n_conns++] = c;
        ++g_conns;
      }
    }
  }
  printf("connections=%llu up=%llu down=%llu late_max_us=%lld late_mean_us=%lld\n", g_conns,
         g_up_bytes, g_down_bytes, g_late_max / 1000, g_late_n ? g_late_sum / g_late_n / 1000 : 0);
  fflush(stdout);
  return 0;
}
