// Stub of Darwin's <sys/event.h> (xnu bsd/sys/event.h): kqueue, and the
// filters and flags of the events a daemon waits for (a descriptor readable,
// a process exited, a signal, a timer, a user event).
#ifndef TARQ_STUB_SYS_EVENT_H_
#define TARQ_STUB_SYS_EVENT_H_

#pragma clang system_header

#include <stdint.h>
#include <sys/types.h>

#define EVFILT_READ (-1)
#define EVFILT_WRITE (-2)
#define EVFILT_PROC (-5)
#define EVFILT_SIGNAL (-6)
#define EVFILT_TIMER (-7)
#define EVFILT_USER (-10)

#pragma pack(4)

struct kevent {
  uintptr_t ident;
  int16_t filter;
  uint16_t flags;
  uint32_t fflags;
  intptr_t data;
  void* udata;
};

#pragma pack()

#define EV_SET(kevp, a, b, c, d, e, f) \
  do {                                 \
    struct kevent* __kevp__ = (kevp);  \
    __kevp__->ident = (a);             \
    __kevp__->filter = (b);            \
    __kevp__->flags = (c);             \
    __kevp__->fflags = (d);            \
    __kevp__->data = (e);              \
    __kevp__->udata = (f);             \
  } while (0)

#define EV_ADD 0x0001
#define EV_DELETE 0x0002
#define EV_ENABLE 0x0004
#define EV_DISABLE 0x0008
#define EV_ONESHOT 0x0010
#define EV_CLEAR 0x0020
#define EV_RECEIPT 0x0040
#define EV_EOF 0x8000
#define EV_ERROR 0x4000

#define NOTE_TRIGGER 0x01000000
#define NOTE_EXIT 0x80000000
#define NOTE_FORK 0x40000000
#define NOTE_EXEC 0x20000000
#define NOTE_SIGNAL 0x08000000
#define NOTE_EXITSTATUS 0x04000000

#ifdef __cplusplus
extern "C" {
#endif

struct timespec;

int kqueue(void);
int kevent(int kq, const struct kevent* changelist, int nchanges, struct kevent* eventlist,
           int nevents, const struct timespec* timeout);

#ifdef __cplusplus
}
#endif

#endif  // TARQ_STUB_SYS_EVENT_H_
