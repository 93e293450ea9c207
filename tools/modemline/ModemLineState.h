/* The modem-line state a pty lacks, shared through a mapped file between the
   board emulator (which owns the board's lines) and the preload library in
   the program under test (which owns the system's lines). Plain C, so the
   preload library needs no C++ runtime. Every field is read and written with
   the __atomic builtins. */
#ifndef QV_MODEMLINE_STATE_H
#define QV_MODEMLINE_STATE_H

#include <stdint.h>

#define QV_MODEMLINE_MAGIC 0x314c4d51u /* "QML1" */
#define QV_MODEMLINE_ENV "QV_MODEMLINE_STATE"

struct qv_modemline_state {
  uint32_t magic;
  uint32_t size; /* sizeof the struct as the emulator built it */
  uint64_t rdev; /* device number of the pty slave whose lines these are */
  int32_t board_pid;
  /* Futex word: bumped after every change of a line, a counter or the
     unplugged flag, by either side. */
  uint32_t seq;
  uint32_t system_lines; /* TIOCM_DTR, TIOCM_RTS */
  uint32_t board_lines;  /* TIOCM_DSR, TIOCM_CTS, TIOCM_RNG, TIOCM_CAR */
  uint32_t unplugged;
  /* The kernel's serial_icounter_struct fields, from the system's view:
     rx counts bytes the board sent, tx bytes the system sent. */
  int32_t cts, dsr, rng, dcd, rx, tx, frame, overrun, parity, brk, buf_overrun;
  /* The port's flags as TIOCGSERIAL reports them and TIOCSSERIAL sets them
     (struct serial_struct's flags). The emulator's FTDI latency timer
     follows ASYNC_LOW_LATENCY. */
  uint32_t serial_flags;
  /* How often the program asked for the lines with TIOCMGET: on an FTDI
     adapter each one is a USB control request. */
  uint32_t tiocmget_calls;
};

#endif
