/* Preload library that gives a pty slave the modem lines of a serial port.
   The program under test raises and lowers DTR and RTS, reads DSR, CTS, RI
   and DCD, waits for line changes and reads the line-error counters with the
   usual ioctls; a pty answers none of them. When the environment names the
   board emulator's state file, those ioctls on the emulator's pty slave are
   answered from that shared state; everything else goes to the real ioctl.
   Wine's serial code runs in the program's own process and calls the same
   ioctl, so a Windows build under Wine gets the lines too.
   TIOCGSERIAL and TIOCSSERIAL are answered as ftdi_sio answers a user
   without CAP_SYS_ADMIN: only the flags of ASYNC_USR_MASK (the low-latency
   flag among them) may change. With QV_MODEMLINE_NO_SERIAL=1 they go to the
   pty, which refuses them, as a driver without them does. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <linux/serial.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "ModemLineState.h"

#define QV_EXPORT __attribute__((visibility("default")))

typedef int (*ioctl_fn)(int, unsigned long, ...);

static ioctl_fn RealIoctl(void) {
  static ioctl_fn real;
  ioctl_fn f = __atomic_load_n(&real, __ATOMIC_ACQUIRE);
  if (!f) {
    f = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
    __atomic_store_n(&real, f, __ATOMIC_RELEASE);
  }
  return f;
}

/* Maps the state file on first use. A file that is not there yet is tried
   again on the next call, so the program may start before the emulator. */
static struct qv_modemline_state* State(void) {
  static struct qv_modemline_state* mapped;
  struct qv_modemline_state* s = __atomic_load_n(&mapped, __ATOMIC_ACQUIRE);
  if (s) return s;
  const char* path = getenv(QV_MODEMLINE_ENV);
  if (!path || !*path) return NULL;
  int fd = open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) return NULL;
  struct stat st;
  void* p = MAP_FAILED;
  if (fstat(fd, &st) == 0 && (size_t)st.st_size >= sizeof *s)
    p = mmap(NULL, sizeof *s, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (p == MAP_FAILED) return NULL;
  s = (struct qv_modemline_state*)p;
  if (__atomic_load_n(&s->magic, __ATOMIC_ACQUIRE) != QV_MODEMLINE_MAGIC) {
    munmap(p, sizeof *s);
    return NULL;
  }
  struct qv_modemline_state* expected = NULL;
  if (!__atomic_compare_exchange_n(&mapped, &expected, s, 0, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
    munmap(p, sizeof *s);
    s = expected;
  }
  return s;
}

static int ServesSerialInfo(void) {
  const char* off = getenv("QV_MODEMLINE_NO_SERIAL");
  return !(off && *off && *off != '0');
}

static int IsModemRequest(unsigned long request) {
  return request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC ||
         request == TIOCMIWAIT || request == TIOCGICOUNT ||
         ((request == TIOCGSERIAL || request == TIOCSSERIAL) && ServesSerialInfo());
}

/* What ftdi_sio and the usb-serial core report for an FT232R port. */
static void SerialInfo(const struct qv_modemline_state* s, struct serial_struct* ss) {
  memset(ss, 0, sizeof *ss);
  ss->type = PORT_16550A;
  ss->flags = (int)__atomic_load_n(&s->serial_flags, __ATOMIC_ACQUIRE);
  ss->baud_base = 48000000 / 2;
  ss->close_delay = 50;
  ss->closing_wait = 3000;
}

static int IsSlave(const struct qv_modemline_state* s, int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && (uint64_t)st.st_rdev == s->rdev;
}

static void Changed(struct qv_modemline_state* s) {
  __atomic_add_fetch(&s->seq, 1, __ATOMIC_ACQ_REL);
  syscall(SYS_futex, &s->seq, FUTEX_WAKE, INT32_MAX, NULL, NULL, 0);
}

static int Fail(int error) {
  errno = error;
  return -1;
}

static int BoardGone(const struct qv_modemline_state* s) {
  int32_t pid = __atomic_load_n(&s->board_pid, __ATOMIC_ACQUIRE);
  return pid > 0 && kill(pid, 0) != 0 && errno == ESRCH;
}

static int32_t Count(const struct qv_modemline_state* s, const int32_t* field) {
  (void)s;
  return __atomic_load_n(field, __ATOMIC_ACQUIRE);
}

/* Blocks until a line in the mask has changed, as the kernel's wait does.
   Each sleep is bounded, so an emulator that went away or an unplugged line
   ends the wait with EIO instead of blocking for ever. */
static int WaitForChange(struct qv_modemline_state* s, unsigned long mask) {
  const int32_t dsr = Count(s, &s->dsr), cts = Count(s, &s->cts), rng = Count(s, &s->rng),
                dcd = Count(s, &s->dcd);
  for (;;) {
    uint32_t seq = __atomic_load_n(&s->seq, __ATOMIC_ACQUIRE);
    if (__atomic_load_n(&s->unplugged, __ATOMIC_ACQUIRE) || BoardGone(s)) return Fail(EIO);
    if (((mask & TIOCM_DSR) && Count(s, &s->dsr) != dsr) ||
        ((mask & TIOCM_CTS) && Count(s, &s->cts) != cts) ||
        ((mask & TIOCM_RNG) && Count(s, &s->rng) != rng) || ((mask & TIOCM_CAR) && Count(s, &s->dcd) != dcd))
      return 0;
    struct timespec slice = {0, 100 * 1000 * 1000};
    if (syscall(SYS_futex, &s->seq, FUTEX_WAIT, seq, &slice, NULL, 0) != 0 && errno == EINTR)
      return Fail(EINTR);
  }
}

static int Answer(struct qv_modemline_state* s, unsigned long request, void* arg) {
  const uint32_t systemBits = TIOCM_DTR | TIOCM_RTS;
  if (__atomic_load_n(&s->unplugged, __ATOMIC_ACQUIRE)) return Fail(EIO);
  switch (request) {
    case TIOCMGET:
      __atomic_add_fetch(&s->tiocmget_calls, 1u, __ATOMIC_ACQ_REL);
      if (!arg) return Fail(EFAULT);
      *(int*)arg = (int)((__atomic_load_n(&s->system_lines, __ATOMIC_ACQUIRE) & systemBits) |
                         (__atomic_load_n(&s->board_lines, __ATOMIC_ACQUIRE) & ~systemBits));
      return 0;
    case TIOCMSET:
      if (!arg) return Fail(EFAULT);
      __atomic_store_n(&s->system_lines, (uint32_t) * (const int*)arg & systemBits, __ATOMIC_RELEASE);
      Changed(s);
      return 0;
    case TIOCMBIS:
      if (!arg) return Fail(EFAULT);
      __atomic_or_fetch(&s->system_lines, (uint32_t) * (const int*)arg & systemBits, __ATOMIC_ACQ_REL);
      Changed(s);
      return 0;
    case TIOCMBIC:
      if (!arg) return Fail(EFAULT);
      __atomic_and_fetch(&s->system_lines, ~((uint32_t) * (const int*)arg & systemBits), __ATOMIC_ACQ_REL);
      Changed(s);
      return 0;
    case TIOCMIWAIT:
      /* The mask is passed by value, not through a pointer. */
      return WaitForChange(s, (unsigned long)(uintptr_t)arg);
    case TIOCGSERIAL:
      if (!arg) return Fail(EFAULT);
      SerialInfo(s, (struct serial_struct*)arg);
      return 0;
    case TIOCSSERIAL: {
      if (!arg) return Fail(EFAULT);
      const struct serial_struct* want = (const struct serial_struct*)arg;
      struct serial_struct now;
      SerialInfo(s, &now);
      /* The usb-serial core lets only the privileged change the close
         times, ftdi_sio only the privileged change flags outside the
         user mask. */
      if (want->close_delay != now.close_delay || want->closing_wait != now.closing_wait ||
          ((uint32_t)(want->flags ^ now.flags) & ~(uint32_t)ASYNC_USR_MASK))
        return Fail(EPERM);
      __atomic_store_n(&s->serial_flags,
                       ((uint32_t)now.flags & ~(uint32_t)ASYNC_USR_MASK) |
                           ((uint32_t)want->flags & (uint32_t)ASYNC_USR_MASK),
                       __ATOMIC_RELEASE);
      Changed(s);
      return 0;
    }
    case TIOCGICOUNT: {
      if (!arg) return Fail(EFAULT);
      struct serial_icounter_struct c = {0};
      c.cts = Count(s, &s->cts);
      c.dsr = Count(s, &s->dsr);
      c.rng = Count(s, &s->rng);
      c.dcd = Count(s, &s->dcd);
      c.rx = Count(s, &s->rx);
      c.tx = Count(s, &s->tx);
      c.frame = Count(s, &s->frame);
      c.overrun = Count(s, &s->overrun);
      c.parity = Count(s, &s->parity);
      c.brk = Count(s, &s->brk);
      c.buf_overrun = Count(s, &s->buf_overrun);
      *(struct serial_icounter_struct*)arg = c;
      return 0;
    }
  }
  return Fail(EINVAL);
}

/* QV_MODEMLINE_FAIL_AT=[REQUEST:]K makes the adapter vanish at the K-th
   ioctl on the slave (or the K-th of that request, such as TIOCGICOUNT,
   which Wine's event wait starts with): from then on every ioctl on it fails
   with EIO, as on an unplugged USB adapter. */
static int Vanished(unsigned long request) {
  static int parsed, vanished;
  static unsigned long only;
  static long at, seen;
  if (__atomic_load_n(&vanished, __ATOMIC_ACQUIRE)) return 1;
  if (!__atomic_load_n(&parsed, __ATOMIC_ACQUIRE)) {
    const char* v = getenv("QV_MODEMLINE_FAIL_AT");
    static const struct {
      const char* name;
      unsigned long request;
    } names[] = {{"TIOCMGET", TIOCMGET}, {"TIOCMSET", TIOCMSET},     {"TIOCMBIS", TIOCMBIS},
                 {"TIOCMBIC", TIOCMBIC}, {"TIOCMIWAIT", TIOCMIWAIT}, {"TIOCGICOUNT", TIOCGICOUNT}};
    for (size_t i = 0; v && i < sizeof names / sizeof names[0]; ++i) {
      size_t n = strlen(names[i].name);
      if (strncmp(v, names[i].name, n) == 0 && v[n] == ':') {
        only = names[i].request;
        v += n + 1;
      }
    }
    at = v ? strtol(v, NULL, 10) : 0;
    __atomic_store_n(&parsed, 1, __ATOMIC_RELEASE);
  }
  if (at <= 0 || (only != 0 && request != only)) return 0;
  if (__atomic_add_fetch(&seen, 1, __ATOMIC_ACQ_REL) < at) return 0;
  __atomic_store_n(&vanished, 1, __ATOMIC_RELEASE);
  return 1;
}

QV_EXPORT int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  /* Every request the library serves takes one pointer-sized argument (or an
     integer passed in its place); passing one on is what the C library's own
     wrapper does too. */
  void* arg = va_arg(ap, void*);
  va_end(ap);
  if (getenv("QV_MODEMLINE_FAIL_AT") != NULL) {
    int saved = errno;
    struct qv_modemline_state* s = State();
    if (s && IsSlave(s, fd) && Vanished(request)) return Fail(EIO);
    errno = saved;
  }
  if (IsModemRequest(request)) {
    int saved = errno;
    struct qv_modemline_state* s = State();
    if (s && IsSlave(s, fd)) return Answer(s, request, arg);
    errno = saved;
  }
  ioctl_fn real = RealIoctl();
  if (!real) return Fail(ENOSYS);
  return real(fd, request, arg);
}
