/* The floor: the least work any client returning `str` can do, as a Python
 * extension module, so that kelpie is measured against what is physically
 * possible on the same interpreter rather than against a C++ program that never
 * builds a Python object.
 *
 *   import bench_floor
 *   client = bench_floor.Client("127.0.0.1:PORT")   # connect and handshake
 *   client.list_targets() -> [str, ...]
 *   client.shell(command) -> str                     # up to the empty reply
 *   client.hilog(args or None) -> str                # likewise
 *
 * A blocking socket, and one receive buffer: a bulk reply stream is received
 * into it whole, frames and all, and each payload stays where recv put it; only
 * its offset and length are noted. The buffer grows by mremap, which moves page
 * tables rather than bytes, and goes back to at most 1 MiB after each call, so an
 * idle client holds no more. ASCII is checked a word at a time while each payload
 * is still in the cache, and the `str` is made once at the end: PyUnicode_New and
 * one memcpy per payload. Other text takes the cheapest correct route measured on
 * the interpreter (bench/README.md has the figures; BENCH_FLOOR_ROUTE picks
 * another, to measure them): on CPython the payloads gathered as they arrive and
 * decoded in one go by PyUnicode_DecodeUTF8; on PyPy the text checked and its
 * characters counted as it arrives, then PyUnicode_New of the right size filled
 * by our own decoder, its C-side copy reported to the collector. Strict UTF-8 either way: invalid text raises
 * UnicodeDecodeError, once the whole output has been read.
 *
 * No time limits: every stream of the benchmark server ends on an empty reply.
 * An error in the middle of a reply (socket, protocol, memory) closes the
 * connection, so that no later call reads the rest of that reply as its own.
 */
#define _GNU_SOURCE 1
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#define MAX_PACKET 523264u
#define HANDSHAKE_SIZE 44u
#define BANNER "OHOS HDC"
#define FIRST_BUFFER ((size_t)64 << 10)
#define KEEP_BUFFER ((size_t)1 << 20)
/* Below this much free room the buffer grows before the next recv. */
#define MIN_RECV ((size_t)64 << 10)
#define KEEP_PIECES 4096u
/* The "keep" receive route keeps at most this much of its buffer mapped
 * between calls (the rest handed to the kernel with MADV_FREE): on a 32-bit
 * process the address space must stay free for the next large str. */
#define KEPT_BOUND ((size_t)128 << 20)
/* The "into_str" route's first guess when there is no earlier output to go
 * by: large enough that glibc maps it on its own (its mmap threshold rises to
 * 32 MiB at most), so that growing and trimming move pages, not bytes. */
#define STR_GUESS ((size_t)32 << 20)

typedef struct {
    size_t off, len;
} Piece;

/* What the receive-time check learns of a reply stream's text: whether it is
 * strict UTF-8, how many characters it holds and its largest lead byte (which
 * says the str's kind), and the start of a character cut at the end of the
 * last payload, finished by the next one. */
typedef struct {
    unsigned char cut[4];
    size_t ncut;
    size_t chars;
    unsigned char top;
    int bad;
} Utf8;

/* How non-ASCII text becomes a str; see make_utf8_text(). */
enum {
    R_DECODE,      /* PyUnicode_DecodeUTF8 on the whole text */
    R_SLICES,      /* PyUnicode_DecodeUTF8 on slices, joined */
    R_FROM_STRING, /* PyUnicode_FromStringAndSize on the whole text */
    R_KIND,        /* PyUnicode_New of the kind the largest character needs, filled by our decoder */
    R_UCS4,        /* PyUnicode_New of the 4-byte kind, whatever the text (PyPy only: no canonical form there) */
    R_KIND_DATA,   /* our decoder into a buffer of the kind, then PyUnicode_FromKindAndData */
    R_CODEC,       /* codecs.utf_8_decode on a memoryview of the text */
    R_AUTO,        /* per output: the fastest route whose memory fits (see auto_route()) */
    R_COUNT
};
static const char *const route_names[R_COUNT] = {"decode", "slices", "from_string", "kind", "ucs4", "kind_data",
                                                 "codec", "auto"};
static int utf8_route;

/* Where a bulk reply stream is received; see the README. */
enum {
    RX_SHRINK,   /* one buffer, back to at most 1 MiB after each call (mremap) */
    RX_KEEP,     /* one buffer, kept mapped between calls up to KEPT_BOUND, past 1 MiB given MADV_FREE */
    RX_INTO_STR, /* CPython: straight into the str returned (PyUnicode_New, then PyUnicode_Resize) */
    RX_SWITCH,   /* CPython: into_str while the text is ASCII, moved into the kept buffer at its first other byte */
    RX_AUTO,
    RX_COUNT
};
static const char *const receive_names[RX_COUNT] = {"shrink", "keep", "into_str", "switch", "auto"};
static int receive_route;

/* How ASCII text becomes a str (BENCH_FLOOR_ASCII). */
enum { A_NEW, A_FROM_STRING, A_DECODE_ASCII, A_COUNT };
static const char *const ascii_names[A_COUNT] = {"new", "from_string", "decode_ascii"};
static int ascii_route;
static size_t slice_bytes = (size_t)1 << 20;
static PyObject *utf_8_decode; /* for R_CODEC */
/* PyPy's __pypy__.add_memory_pressure (see new_filled()); BENCH_FLOOR_PRESSURE=0 leaves it out. */
static PyObject *add_memory_pressure;

typedef struct {
    PyObject_HEAD
    int fd;
    unsigned char *buf; /* mmap'd; [begin, end) received and not yet consumed */
    size_t cap, begin, end;
    Piece *pieces;
    size_t npieces, cap_pieces;
    Utf8 utf8;
    /* The into_str route, during a bulk call: the str the stream is received
     * into (c->buf is its data then), the thread state to take the GIL back
     * with when it must grow, the client's own buffer set aside meanwhile,
     * the text gathered at the str's front so far, and the last output's size,
     * the next one's guess. */
    PyObject *text_str;
    PyThreadState *ts;
    unsigned char *own_buf;
    size_t own_cap, text_len, last_output;
    /* The last target list's reply text and its names: while the reply stays the
     * same, the same str objects go into each new list. On PyPy a str made from C
     * costs more than the rest of the round trip, and sharing an immutable str
     * is invisible to the caller. */
    char *names_text;
    size_t names_len;
    PyObject *names; /* tuple */
} Client;

/* Why a receive failed, to be raised once the GIL is back. */
enum { OK = 0, E_SYS, E_EOF, E_FRAME, E_NOMEM, E_HANDSHAKE };

static int is_command_code(unsigned code) {
    switch (code) {
        case 0: case 1: case 2: case 4: case 5: case 6: case 7: case 8: case 9: case 10:
        case 13: case 14: case 1001: case 1002: case 1003: case 2000: case 2001:
        case 3000: case 3003: case 3004:
            return 1;
        default:
            return 0;
    }
}

static uint32_t load_be32(const unsigned char *p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

#define HIGH_BITS UINT64_C(0x8080808080808080)

/* Bytes in the UTF-8 sequence a byte leads, as strict UTF-8 has it: 0 for one
 * that cannot lead (a continuation byte, C0, C1, F5-FF). */
static inline __attribute__((always_inline)) size_t sequence_length(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead < 0xC2) return 0;
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    return lead < 0xF5 ? 4 : 0;
}

/* Whether the `len` bytes at p (len from the lead) are one strict UTF-8
 * character: no overlong form, no surrogate, nothing above U+10FFFF. */
static inline __attribute__((always_inline)) int valid_sequence(const unsigned char *p, size_t len) {
    unsigned char lo = 0x80, hi = 0xBF;
    if (p[0] == 0xE0) lo = 0xA0;
    else if (p[0] == 0xED) hi = 0x9F;
    else if (p[0] == 0xF0) lo = 0x90;
    else if (p[0] == 0xF4) hi = 0x8F;
    if (p[1] < lo || p[1] > hi) return 0;
    for (size_t i = 2; i < len; ++i)
        if ((p[i] & 0xC0) != 0x80) return 0;
    return 1;
}

static void note_character(Utf8 *u, const unsigned char *p, size_t len) {
    if (!valid_sequence(p, len)) u->bad = 1;
    if (p[0] > u->top) u->top = p[0];
    u->chars++;
}

/* Checks one payload as part of a stream of text, counting its characters. */
static void check_utf8(Utf8 *u, const unsigned char *p, size_t n) {
    const unsigned char *end = p + n;
    if (u->bad) return;
    if (u->ncut) {
        const size_t want = sequence_length(u->cut[0]);
        while (u->ncut < want && p < end) u->cut[u->ncut++] = *p++;
        if (u->ncut < want) return;
        note_character(u, u->cut, want);
        u->ncut = 0;
    }
    while (p < end) {
        uint64_t w;
        if (end - p >= 8 && (memcpy(&w, p, 8), !(w & HIGH_BITS))) {
            p += 8;
            u->chars += 8;
            continue;
        }
        const size_t len = sequence_length(*p);
        if (len == 1) {
            ++p;
            u->chars++;
            continue;
        }
        if (len == 0) {
            u->bad = 1;
            return;
        }
        if ((size_t)(end - p) < len) {
            /* Only the lead and what follows it so far: checked when whole. */
            memcpy(u->cut, p, (size_t)(end - p));
            u->ncut = (size_t)(end - p);
            return;
        }
        note_character(u, p, len);
        if (u->bad) return;
        p += len;
    }
}

/* Whether the route needs the receive-time check's count and largest character;
 * the others leave the check to the Python decoder they call. */
static int counts_text(void) {
    return utf8_route == R_KIND || utf8_route == R_UCS4 || utf8_route == R_KIND_DATA || utf8_route == R_AUTO;
}

/* The OR of all bytes folded into one word: ASCII when no high bit is set. */
static uint64_t or_words(const unsigned char *p, size_t n) {
    uint64_t acc = 0, w;
    for (; n >= 8; p += 8, n -= 8) {
        memcpy(&w, p, 8);
        acc |= w;
    }
    for (; n > 0; --n) acc |= *p++;
    return acc;
}

static int grow(Client *c, size_t need) {
    size_t cap = c->cap + c->cap / 2;
    if (cap < c->cap || cap < need) cap = need;
    cap = (cap + 0xffff) & ~(size_t)0xffff;
    if (cap < need) return E_NOMEM; /* wrapped around */
    if (c->text_str) {
        /* realloc of a block glibc mapped on its own: mremap, pages not bytes. */
        PyEval_RestoreThread(c->ts);
        int failed = PyUnicode_Resize(&c->text_str, (Py_ssize_t)cap) < 0;
        if (failed) PyErr_Clear();
        else c->buf = PyUnicode_1BYTE_DATA(c->text_str);
        c->ts = PyEval_SaveThread();
        if (failed) return E_NOMEM;
        c->cap = cap;
        return OK;
    }
    void *p = mremap(c->buf, c->cap, cap, MREMAP_MAYMOVE);
    if (p == MAP_FAILED) return E_NOMEM;
    c->buf = p;
    c->cap = cap;
    return OK;
}

/* Receives more bytes after `end`, growing the buffer when little room is left. */
static int receive_more(Client *c) {
    if (c->cap - c->end < MIN_RECV) {
        int err = grow(c, c->end + MIN_RECV);
        if (err) return err;
    }
    for (;;) {
        ssize_t n = recv(c->fd, c->buf + c->end, c->cap - c->end, 0);
        if (n > 0) {
            c->end += (size_t)n;
            return OK;
        }
        if (n == 0) return E_EOF;
        if (errno != EINTR) return E_SYS;
    }
}

static int add_piece(Client *c, size_t off, size_t len) {
    if (c->npieces == c->cap_pieces) {
        size_t cap = c->cap_pieces ? c->cap_pieces * 2 : 256;
        Piece *p = realloc(c->pieces, cap * sizeof *p);
        if (!p) return E_NOMEM;
        c->pieces = p;
        c->cap_pieces = cap;
    }
    c->pieces[c->npieces].off = off;
    c->pieces[c->npieces].len = len;
    c->npieces++;
    return OK;
}

/* Whether the route decodes the text in one piece: then, once the text proves
 * not to be ASCII, each payload moves down next to the one before it while it
 * is still in the cache, rather than all of them at the end. */
static int gathers_text(void) {
    return utf8_route == R_DECODE || utf8_route == R_SLICES || utf8_route == R_FROM_STRING ||
           utf8_route == R_CODEC;
}

/* Gathers the pieces noted so far into one, from the first one's place on. */
static void join_pieces(Client *c) {
    size_t at = c->pieces[0].off + c->pieces[0].len;
    for (size_t i = 1; i < c->npieces; ++i) {
        memmove(c->buf + at, c->buf + c->pieces[i].off, c->pieces[i].len);
        at += c->pieces[i].len;
    }
    c->pieces[0].len = at - c->pieces[0].off;
    c->npieces = 1;
}

static int leave_str(Client *c);

static int note_payload(Client *c, size_t off, size_t n, uint64_t *bits) {
    const uint64_t b = or_words(c->buf + off, n);
    if (counts_text() && ((b & HIGH_BITS) || c->utf8.ncut)) check_utf8(&c->utf8, c->buf + off, n);
    else c->utf8.chars += n;
    if (c->text_str && receive_route == RX_SWITCH && (b & HIGH_BITS)) {
        int err = leave_str(c);
        if (err) return err;
    }
    if (c->text_str) {
        /* The text gathers at the str's front, moved down over the framing
         * while it is in the cache. */
        *bits |= b;
        memmove(c->buf + c->text_len, c->buf + off, n);
        c->text_len += n;
        return OK;
    }
    *bits |= b;
    if (!(*bits & HIGH_BITS) || !gathers_text() || c->npieces == 0) return add_piece(c, off, n);
    if (c->npieces > 1) join_pieces(c);
    Piece *text = &c->pieces[0];
    memmove(c->buf + text->off + text->len, c->buf + off, n);
    text->len += n;
    return OK;
}

/* Reads replies, noting each text, until the empty reply (`until_empty`) or after
 * one reply. `raw` keeps the command code (the handshake record has none).
 * Runs without the GIL. */
static int collect(Client *c, int until_empty, int raw, size_t *text, uint64_t *bits) {
    size_t pos = c->begin;
    *text = 0;
    *bits = 0;
    c->npieces = 0;
    memset(&c->utf8, 0, sizeof c->utf8);
    int err;
    for (;;) {
        while (c->end - pos >= 4) {
            const uint32_t len = load_be32(c->buf + pos);
            if (len == 0 || len > MAX_PACKET) return E_FRAME;
            if (c->end - pos - 4 < len) break;
            size_t off = pos + 4, n = len;
            pos += 4 + (size_t)len;
            if (!raw && n >= 2 && is_command_code(c->buf[off] | (unsigned)c->buf[off + 1] << 8)) {
                off += 2;
                n -= 2;
                if (n == 0 && until_empty) {
                    c->begin = pos;
                    return OK;
                }
            }
            if (n > 0) {
                err = note_payload(c, off, n, bits);
                if (err) return err;
                *text += n;
            }
            if (!until_empty) {
                if (n == 0 && (err = add_piece(c, off, 0)) != OK) return err;
                c->begin = pos;
                return OK;
            }
        }
        err = receive_more(c);
        if (err) return err;
    }
}

static int send_all(int fd, const unsigned char *p, size_t n) {
    while (n > 0) {
        ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return E_SYS;
        p += k;
        n -= (size_t)k;
    }
    return OK;
}

static int send_frame(int fd, const char *a, size_t na, const char *b, size_t nb) {
    unsigned char small[512];
    const size_t n = 4 + na + nb;
    unsigned char *frame = n <= sizeof small ? small : malloc(n);
    if (!frame) return E_NOMEM;
    frame[0] = (unsigned char)((na + nb) >> 24);
    frame[1] = (unsigned char)((na + nb) >> 16);
    frame[2] = (unsigned char)((na + nb) >> 8);
    frame[3] = (unsigned char)(na + nb);
    memcpy(frame + 4, a, na);
    if (nb) memcpy(frame + 4 + na, b, nb);
    int err = send_all(fd, frame, n);
    if (frame != small) free(frame);
    return err;
}

static int keeps_buffer(void) {
    return receive_route == RX_KEEP || receive_route == RX_SWITCH;
}

/* Grows the client's own buffer (set aside while a call receives into a str) to `need`. */
static int grow_own(Client *c, size_t need) {
    if (c->own_cap >= need) return OK;
    const size_t cap = (need + 0xffff) & ~(size_t)0xffff;
    void *p = mremap(c->own_buf, c->own_cap, cap, MREMAP_MAYMOVE);
    if (p == MAP_FAILED) return E_NOMEM;
    c->own_buf = p;
    c->own_cap = cap;
    return OK;
}

/* The into_str routes, before a bulk call (with the GIL): the str the stream
 * is received into, of the last output's size and some, the few bytes already
 * received moved into it. */
static int enter_str(Client *c) {
    size_t guess = c->last_output + c->last_output / 8 + 2 * MIN_RECV;
    if (guess < STR_GUESS) guess = STR_GUESS;
    PyObject *s = PyUnicode_New((Py_ssize_t)guess, 127);
    if (!s) return -1;
    const size_t rest = c->end - c->begin;
    memcpy(PyUnicode_1BYTE_DATA(s), c->buf + c->begin, rest);
    c->own_buf = c->buf;
    c->own_cap = c->cap;
    c->text_str = s;
    c->buf = PyUnicode_1BYTE_DATA(s);
    c->cap = guess;
    c->begin = 0;
    c->end = rest;
    c->text_len = 0;
    return 0;
}

/* Back to the client's own buffer (with the GIL): the bytes received past the
 * output's end move there; the str is handed back, or NULL on failure. */
static PyObject *leave_str_after(Client *c, int *err) {
    const size_t rest = c->end - c->begin;
    *err = grow_own(c, rest);
    if (!*err) memcpy(c->own_buf, c->buf + c->begin, rest);
    PyObject *s = c->text_str;
    c->text_str = NULL;
    c->buf = c->own_buf;
    c->cap = c->own_cap;
    c->begin = 0;
    c->end = *err ? 0 : rest;
    return s;
}

/* The switch route, at the first byte that is not ASCII (without the GIL):
 * everything received so far moves to the client's own (kept) buffer at the
 * same offsets, the text gathered so far becoming its first piece. */
static int leave_str(Client *c) {
    int err = grow_own(c, c->end);
    if (err) return err;
    memcpy(c->own_buf, c->buf, c->end);
    const size_t text = c->text_len;
    PyEval_RestoreThread(c->ts);
    Py_CLEAR(c->text_str);
    c->ts = PyEval_SaveThread();
    c->buf = c->own_buf;
    c->cap = c->own_cap;
    c->npieces = 0;
    return text ? add_piece(c, 0, text) : OK;
}

/* After a call: what was received past its end moves to the front, and the
 * buffer and the notes go back to their between-calls size. */
static void settle(Client *c) {
    const size_t rest = c->end - c->begin;
    if (c->begin > 0) {
        memmove(c->buf, c->buf + c->begin, rest);
        c->begin = 0;
        c->end = rest;
    }
    if (keeps_buffer()) {
        /* Kept mapped up to KEPT_BOUND; past 1 MiB the kernel may take the
         * pages back whenever it needs them, and until it does they come back
         * without a fault. */
        if (c->cap > KEPT_BOUND && rest <= KEEP_BUFFER) {
            /* Too large to keep: kept, its start would split the stretch of
             * address space it frees, which a 32-bit PyPy needs whole for its
             * own copy of the str just made. */
            void *p = mremap(c->buf, c->cap, KEEP_BUFFER, 0);
            if (p != MAP_FAILED) {
                c->buf = p;
                c->cap = KEEP_BUFFER;
            }
        }
        const size_t from = rest <= KEEP_BUFFER ? KEEP_BUFFER : (rest + 0xfff) & ~(size_t)0xfff;
        if (c->cap > from) madvise(c->buf + from, c->cap - from, MADV_FREE);
    } else if (c->cap > KEEP_BUFFER && rest <= KEEP_BUFFER) {
        void *p = mremap(c->buf, c->cap, KEEP_BUFFER, 0);
        if (p != MAP_FAILED) {
            c->buf = p;
            c->cap = KEEP_BUFFER;
        }
    }
    if (c->cap_pieces > KEEP_PIECES) {
        free(c->pieces);
        c->pieces = NULL;
        c->cap_pieces = 0;
    }
    c->npieces = 0;
}

static void disconnect(Client *c) {
    if (c->fd >= 0) close(c->fd);
    c->fd = -1;
}

/* Raises the error `err` and closes the connection: the reply it broke off is
 * partly unread, and the next call would take its rest for its own. */
static PyObject *fail(Client *c, int err, int saved_errno) {
    disconnect(c);
    if (c->text_str) {
        int ignored;
        Py_DECREF(leave_str_after(c, &ignored));
    }
    c->begin = c->end = 0;
    settle(c);
    switch (err) {
        case E_SYS:
            errno = saved_errno;
            return PyErr_SetFromErrno(PyExc_OSError);
        case E_EOF:
            return PyErr_Format(PyExc_ConnectionError, "the server closed the connection");
        case E_FRAME:
            return PyErr_Format(PyExc_RuntimeError, "bad frame length");
        case E_HANDSHAKE:
            return PyErr_Format(PyExc_RuntimeError, "bad handshake record");
        default:
            return PyErr_NoMemory();
    }
}

static PyObject *closed_error(void) {
    return PyErr_Format(PyExc_OSError, "the client is not connected");
}

/* The character of the `len`-byte sequence at p, already checked. */
static inline __attribute__((always_inline)) Py_UCS4 decode_one(const unsigned char *p, size_t len) {
    switch (len) {
        case 2: return (Py_UCS4)(p[0] & 0x1F) << 6 | (p[1] & 0x3F);
        case 3: return (Py_UCS4)(p[0] & 0x0F) << 12 | (Py_UCS4)(p[1] & 0x3F) << 6 | (p[2] & 0x3F);
        default:
            return (Py_UCS4)(p[0] & 0x07) << 18 | (Py_UCS4)(p[1] & 0x3F) << 12 | (Py_UCS4)(p[2] & 0x3F) << 6 |
                   (p[3] & 0x3F);
    }
}

/* Our decoder, for text already checked: one per kind. Decodes [p, end) onto
 * *dp and returns how many bytes at the end start a character cut there. */
#define DEFINE_DECODE(NAME, T)                                                        \
    static size_t NAME(const unsigned char *p, const unsigned char *end, T **dp) {    \
        T *d = *dp;                                                                   \
        while (p < end) {                                                             \
            uint64_t w;                                                               \
            if (end - p >= 8 && (memcpy(&w, p, 8), !(w & HIGH_BITS))) {               \
                for (int k = 0; k < 8; ++k) d[k] = p[k];                              \
                d += 8;                                                               \
                p += 8;                                                               \
                continue;                                                             \
            }                                                                         \
            if (*p < 0x80) {                                                          \
                *d++ = *p++;                                                          \
                continue;                                                             \
            }                                                                         \
            const size_t len = sequence_length(*p);                                   \
            if ((size_t)(end - p) < len) break;                                       \
            *d++ = (T)decode_one(p, len);                                             \
            p += len;                                                                 \
        }                                                                             \
        *dp = d;                                                                      \
        return (size_t)(end - p);                                                     \
    }
DEFINE_DECODE(decode_ucs1, Py_UCS1)
DEFINE_DECODE(decode_ucs2, Py_UCS2)
DEFINE_DECODE(decode_ucs4, Py_UCS4)

static size_t decode_kind(int kind, const unsigned char *p, const unsigned char *end, void **dp) {
    switch (kind) {
        case PyUnicode_1BYTE_KIND: return decode_ucs1(p, end, (Py_UCS1 **)dp);
        case PyUnicode_2BYTE_KIND: return decode_ucs2(p, end, (Py_UCS2 **)dp);
        default: return decode_ucs4(p, end, (Py_UCS4 **)dp);
    }
}

/* Decodes the noted payloads (checked strict UTF-8) into `out`, `kind` bytes a
 * character, finishing characters cut between payloads. */
static void decode_pieces(Client *c, int kind, void *out) {
    unsigned char carry[4];
    size_t ncarry = 0;
    void *d = out;
    for (size_t i = 0; i < c->npieces; ++i) {
        const unsigned char *p = c->buf + c->pieces[i].off, *end = p + c->pieces[i].len;
        if (ncarry) {
            const size_t want = sequence_length(carry[0]);
            while (ncarry < want && p < end) carry[ncarry++] = *p++;
            if (ncarry < want) continue;
            decode_kind(kind, carry, carry + want, &d);
            ncarry = 0;
        }
        const size_t left = decode_kind(kind, p, end, &d);
        memcpy(carry, end - left, left);
        ncarry = left;
    }
}

/* The payloads moved down over the frame headers between them: no second buffer. */
static const char *gather(Client *c) {
    if (c->npieces == 1) return (const char *)c->buf + c->pieces[0].off;
    size_t at = 0;
    for (size_t i = 0; i < c->npieces; ++i) {
        memmove(c->buf + at, c->buf + c->pieces[i].off, c->pieces[i].len);
        at += c->pieces[i].len;
    }
    return (const char *)c->buf;
}

static Py_UCS4 largest_character(unsigned char top) {
    if (top < 0x80) return 127;
    if (top < 0xC4) return 255;
    return top < 0xF0 ? 0xFFFF : 0x10FFFF;
}

static int kind_of(Py_UCS4 maxchar) {
    return maxchar < 256 ? PyUnicode_1BYTE_KIND : maxchar < 65536 ? PyUnicode_2BYTE_KIND : PyUnicode_4BYTE_KIND;
}

/* Invalid text: the gathered text decoded once more, strictly, for Python's own
 * error with the position of the fault. */
static PyObject *raise_invalid(Client *c, size_t n) {
    PyObject *s = PyUnicode_DecodeUTF8(gather(c), (Py_ssize_t)n, "strict");
    if (s) { /* cannot happen: the check and Python agree */
        Py_DECREF(s);
        PyErr_SetString(PyExc_SystemError, "the UTF-8 check failed text Python accepts");
    }
    return NULL;
}

static PyObject *new_filled(Client *c, Py_UCS4 maxchar) {
    PyObject *s = PyUnicode_New((Py_ssize_t)c->utf8.chars, maxchar);
    if (!s) return NULL;
    decode_pieces(c, kind_of(maxchar), PyUnicode_DATA(s));
    if (add_memory_pressure) {
        /* PyPy keeps this C-side copy until the str dies at a major collection,
         * and its collector does not count it: tell it. */
        PyObject *r = PyObject_CallFunction(add_memory_pressure, "n",
                                            (Py_ssize_t)(c->utf8.chars * (size_t)kind_of(maxchar)));
        if (!r) Py_CLEAR(s);
        Py_XDECREF(r);
    }
    return s;
}

static PyObject *from_kind_data(Client *c, Py_UCS4 maxchar) {
    const int kind = kind_of(maxchar);
    void *data = malloc(c->utf8.chars * (size_t)kind + 1);
    if (!data) return PyErr_NoMemory();
    decode_pieces(c, kind, data);
    PyObject *s = PyUnicode_FromKindAndData(kind, data, (Py_ssize_t)c->utf8.chars);
    free(data);
    return s;
}

/* Slices of about slice_bytes, each ending on a whole character, decoded and joined. */
static PyObject *decode_slices(Client *c, size_t n) {
    const char *text = gather(c);
    PyObject *list = PyList_New(0);
    for (size_t at = 0; list && at < n;) {
        size_t end = n - at > slice_bytes ? at + slice_bytes : n;
        while (end < n && end > at + 1 && ((unsigned char)text[end] & 0xC0) == 0x80) --end;
        PyObject *piece = PyUnicode_DecodeUTF8(text + at, (Py_ssize_t)(end - at), "strict");
        if (!piece || PyList_Append(list, piece) < 0) Py_CLEAR(list);
        Py_XDECREF(piece);
        at = end;
    }
    if (!list) return NULL;
    PyObject *empty = PyUnicode_FromStringAndSize("", 0);
    PyObject *s = empty ? PyUnicode_Join(empty, list) : NULL;
    Py_XDECREF(empty);
    Py_DECREF(list);
    return s;
}

static PyObject *codec_decode(Client *c, size_t n) {
    PyObject *view = PyMemoryView_FromMemory((char *)gather(c), (Py_ssize_t)n, PyBUF_READ);
    if (!view) return NULL;
    PyObject *pair = PyObject_CallFunction(utf_8_decode, "Osi", view, "strict", 1);
    Py_DECREF(view);
    if (!pair) return NULL;
    PyObject *s = PyTuple_GetItem(pair, 0);
    Py_XINCREF(s);
    Py_DECREF(pair);
    return s;
}

/* PyPy turns a str made in C into its own form when it first sees it, faster
 * from the 4-byte kind than from the 2-byte one (see the README); but the 4-byte
 * kind takes twice the memory, in one block, and a 32-bit PyPy has about 1.4 GB
 * of address space in one stretch. So the 4-byte kind up to 128 Mi characters
 * (512 MiB), the kind the text needs above. */
#define AUTO_UCS4_CHARS ((size_t)128 << 20)

static int auto_route(Client *c) {
    return c->utf8.chars <= AUTO_UCS4_CHARS ? R_UCS4 : R_KIND;
}

/* Non-ASCII text as one str, by the route chosen for this interpreter. */
static PyObject *make_utf8_text(Client *c, size_t n) {
    int route = utf8_route == R_AUTO ? auto_route(c) : utf8_route;
    if (counts_text() && (c->utf8.bad || c->utf8.ncut)) return raise_invalid(c, n);
    switch (route) {
        case R_DECODE: return PyUnicode_DecodeUTF8(gather(c), (Py_ssize_t)n, "strict");
        case R_SLICES: return decode_slices(c, n);
        case R_FROM_STRING: return PyUnicode_FromStringAndSize(gather(c), (Py_ssize_t)n);
        case R_KIND: return new_filled(c, largest_character(c->utf8.top));
        case R_UCS4: return new_filled(c, 0x10FFFF);
        case R_KIND_DATA: return from_kind_data(c, largest_character(c->utf8.top));
        default: return codec_decode(c, n);
    }
}

/* The text received into a str (into_str routes): ASCII is the str, trimmed
 * (realloc of a mapped block: mremap); other text is decoded from it. */
static PyObject *text_from_str(Client *c, size_t n, uint64_t bits) {
    int err;
    PyObject *s = leave_str_after(c, &err);
    if (err) {
        Py_DECREF(s);
        return PyErr_NoMemory();
    }
    c->last_output = n;
    if (!(bits & HIGH_BITS)) {
        if (PyUnicode_Resize(&s, (Py_ssize_t)n) < 0) return NULL;
        return s;
    }
    /* The text lies at the str's front: one piece, as the other routes see it. */
    unsigned char *own = c->buf;
    const size_t own_cap = c->cap;
    c->buf = PyUnicode_1BYTE_DATA(s);
    c->npieces = 0;
    PyObject *text = add_piece(c, 0, n) ? PyErr_NoMemory() : make_utf8_text(c, n);
    c->buf = own;
    c->cap = own_cap;
    Py_DECREF(s);
    return text;
}

/* The text noted by collect(), as one str. */
static PyObject *make_text(Client *c, size_t n, uint64_t bits) {
    if ((Py_ssize_t)n < 0) return PyErr_NoMemory();
    if (c->text_str) return text_from_str(c, n, bits);
    c->last_output = n;
    if (!(bits & HIGH_BITS) && ascii_route != A_NEW) {
        const char *text = gather(c);
        if (ascii_route == A_DECODE_ASCII) return PyUnicode_DecodeASCII(text, (Py_ssize_t)n, "strict");
        return PyUnicode_FromStringAndSize(text, (Py_ssize_t)n);
    }
    if (!(bits & HIGH_BITS)) {
        PyObject *s = PyUnicode_New((Py_ssize_t)n, 127);
        if (!s) return NULL;
        unsigned char *d = PyUnicode_1BYTE_DATA(s);
        for (size_t i = 0; i < c->npieces; ++i) {
            memcpy(d, c->buf + c->pieces[i].off, c->pieces[i].len);
            d += c->pieces[i].len;
        }
        return s;
    }
    return make_utf8_text(c, n);
}

static PyObject *bulk(Client *c, const char *verb, size_t nverb, PyObject *arg) {
    const char *text = NULL;
    Py_ssize_t ntext = 0;
    if (arg != Py_None) {
        text = PyUnicode_AsUTF8AndSize(arg, &ntext);
        if (!text) return NULL;
    } else {
        nverb--; /* "hilog" alone, without the space */
    }
    if (nverb + (size_t)ntext > MAX_PACKET)
        return PyErr_Format(PyExc_ValueError, "the command does not fit in one packet");
    if (c->fd < 0) return closed_error();
    int err, saved = 0;
    size_t n = 0;
    uint64_t bits = 0;
    if ((receive_route == RX_INTO_STR || receive_route == RX_SWITCH) && enter_str(c) < 0) return NULL;
    c->ts = PyEval_SaveThread();
    err = send_frame(c->fd, verb, nverb, text, (size_t)ntext);
    if (!err) err = collect(c, 1, 0, &n, &bits);
    saved = errno;
    PyEval_RestoreThread(c->ts);
    if (err) return fail(c, err, saved);
    PyObject *s = make_text(c, n, bits);
    settle(c);
    return s;
}

static PyObject *Client_shell(Client *c, PyObject *command) {
    if (!PyUnicode_Check(command)) return PyErr_Format(PyExc_TypeError, "shell() takes a str");
    return bulk(c, "shell ", 6, command);
}

static PyObject *Client_hilog(Client *c, PyObject *args) {
    if (args != Py_None && !PyUnicode_Check(args)) return PyErr_Format(PyExc_TypeError, "hilog() takes a str or None");
    return bulk(c, "hilog ", 6, args);
}

static int is_space(unsigned char ch) {
    return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\v' || ch == '\f';
}

/* The names in a target list reply, one per non-blank line, trimmed, as a tuple. */
static PyObject *parse_names(const unsigned char *p, const unsigned char *end) {
    PyObject *list = PyList_New(0);
    while (list && p < end) {
        const unsigned char *nl = memchr(p, '\n', (size_t)(end - p));
        const unsigned char *a = p, *b = nl ? nl : end;
        p = nl ? nl + 1 : end;
        while (a < b && is_space(*a)) ++a;
        while (b > a && is_space(b[-1])) --b;
        if (a == b) continue;
        PyObject *name = PyUnicode_DecodeUTF8((const char *)a, b - a, "replace");
        if (!name || PyList_Append(list, name) < 0) Py_CLEAR(list);
        Py_XDECREF(name);
    }
    if (!list) return NULL;
    PyObject *names = PyList_AsTuple(list);
    Py_DECREF(list);
    return names;
}

static PyObject *Client_list_targets(Client *c, PyObject *unused) {
    (void)unused;
    if (c->fd < 0) return closed_error();
    int err, saved = 0;
    size_t n = 0;
    uint64_t bits = 0;
    Py_BEGIN_ALLOW_THREADS
    err = send_frame(c->fd, "list targets", 12, NULL, 0);
    if (!err) err = collect(c, 0, 0, &n, &bits);
    saved = errno;
    Py_END_ALLOW_THREADS
    if (err) return fail(c, err, saved);
    const unsigned char *text = c->buf + c->pieces[0].off;
    if (!c->names || c->names_len != n || memcmp(c->names_text, text, n) != 0) {
        char *copy = malloc(n ? n : 1);
        PyObject *names = copy ? parse_names(text, text + n) : PyErr_NoMemory();
        if (!names) {
            free(copy);
            settle(c);
            return NULL;
        }
        memcpy(copy, text, n);
        free(c->names_text);
        Py_XSETREF(c->names, names);
        c->names_text = copy;
        c->names_len = n;
    }
    settle(c);
    const Py_ssize_t count = PyTuple_GET_SIZE(c->names);
    PyObject *list = PyList_New(count);
    for (Py_ssize_t i = 0; list && i < count; ++i) {
        PyObject *name = PyTuple_GET_ITEM(c->names, i);
        Py_INCREF(name);
        PyList_SET_ITEM(list, i, name);
    }
    return list;
}

static PyObject *Client_close(Client *c, PyObject *unused) {
    (void)unused;
    disconnect(c);
    Py_RETURN_NONE;
}

static int connect_and_greet(Client *c, const struct sockaddr_in *addr) {
    c->fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (c->fd < 0) return E_SYS;
    if (connect(c->fd, (const struct sockaddr *)addr, sizeof *addr) != 0) return E_SYS;
    size_t n;
    uint64_t bits;
    int err = collect(c, 0, 1, &n, &bits);
    if (err) return err;
    const unsigned char *record = c->buf + c->pieces[0].off;
    if (n < HANDSHAKE_SIZE || memcmp(record, BANNER, sizeof BANNER - 1) != 0) return E_HANDSHAKE;
    char reply[HANDSHAKE_SIZE] = {0};
    memcpy(reply, record, 12);
    return send_frame(c->fd, reply, sizeof reply, NULL, 0);
}

static int Client_init(Client *c, PyObject *args, PyObject *kwds) {
    static char *keywords[] = {"addr", NULL};
    const char *text;
    Py_ssize_t ntext;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "s#", keywords, &text, &ntext)) return -1;
    const char *colon = memrchr(text, ':', (size_t)ntext);
    char host[64];
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    char *stop = NULL;
    long port = colon ? strtol(colon + 1, &stop, 10) : -1;
    if (!colon || (size_t)(colon - text) >= sizeof host || stop == colon + 1 || *stop || port < 0 || port > 65535) {
        PyErr_Format(PyExc_ValueError, "not an IPv4 HOST:PORT: %s", text);
        return -1;
    }
    memcpy(host, text, (size_t)(colon - text));
    host[colon - text] = 0;
    if (inet_pton(AF_INET, host, &addr.sin_addr) != 1) {
        PyErr_Format(PyExc_ValueError, "not an IPv4 HOST:PORT: %s", text);
        return -1;
    }
    addr.sin_port = htons((uint16_t)port);
    if (c->buf) { /* __init__ called again */
        disconnect(c);
        c->begin = c->end = 0;
    } else {
        void *p = mmap(NULL, FIRST_BUFFER, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) {
            PyErr_NoMemory();
            return -1;
        }
        c->buf = p;
        c->cap = FIRST_BUFFER;
    }
    int err, saved = 0;
    Py_BEGIN_ALLOW_THREADS
    err = connect_and_greet(c, &addr);
    saved = errno;
    Py_END_ALLOW_THREADS
    if (err) {
        fail(c, err, saved);
        return -1;
    }
    settle(c);
    return 0;
}

static PyObject *Client_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
    (void)args;
    (void)kwds;
    Client *c = (Client *)type->tp_alloc(type, 0);
    if (c) c->fd = -1;
    return (PyObject *)c;
}

static void Client_dealloc(Client *c) {
    disconnect(c);
    if (c->buf) munmap(c->buf, c->cap);
    free(c->pieces);
    free(c->names_text);
    Py_XDECREF(c->names);
    Py_TYPE(c)->tp_free((PyObject *)c);
}

static PyMethodDef Client_methods[] = {
    {"list_targets", (PyCFunction)Client_list_targets, METH_NOARGS, "The names of the targets."},
    {"shell", (PyCFunction)Client_shell, METH_O, "The output of a shell command, up to the empty reply."},
    {"hilog", (PyCFunction)Client_hilog, METH_O, "The device log, up to the empty reply."},
    {"close", (PyCFunction)Client_close, METH_NOARGS, "Closes the connection."},
    {NULL, NULL, 0, NULL},
};

static PyTypeObject ClientType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "bench_floor.Client",
    .tp_basicsize = sizeof(Client),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "A connection to the benchmark server, doing the least a str-returning client can.",
    .tp_new = Client_new,
    .tp_init = (initproc)Client_init,
    .tp_dealloc = (destructor)Client_dealloc,
    .tp_methods = Client_methods,
};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT, "bench_floor", "The benchmark's floor client.", -1, NULL, NULL, NULL, NULL, NULL,
};

/* BENCH_FLOOR_ROUTE names the route for non-ASCII text, to measure the
 * candidates against each other; BENCH_FLOOR_SLICE the bytes of a slice;
 * BENCH_FLOOR_PRESSURE=0 keeps PyPy's collector uninformed of C-side copies. */
static int choose_route(void) {
    const char *name = getenv("BENCH_FLOOR_ROUTE");
    utf8_route = R_AUTO;
    if (name && *name) {
        int i = 0;
        while (i < R_COUNT && strcmp(route_names[i], name) != 0) ++i;
        if (i == R_COUNT) {
            PyErr_Format(PyExc_ValueError, "BENCH_FLOOR_ROUTE: no route named %s", name);
            return -1;
        }
        utf8_route = i;
    }
    const char *an = getenv("BENCH_FLOOR_ASCII");
    if (an && *an) {
        while (ascii_route < A_COUNT && strcmp(ascii_names[ascii_route], an) != 0) ++ascii_route;
        if (ascii_route == A_COUNT) {
            PyErr_Format(PyExc_ValueError, "BENCH_FLOOR_ASCII: no route named %s", an);
            return -1;
        }
    }
    const char *rx = getenv("BENCH_FLOOR_RECEIVE");
    receive_route = RX_AUTO;
    if (rx && *rx) {
        int i = 0;
        while (i < RX_COUNT && strcmp(receive_names[i], rx) != 0) ++i;
        if (i == RX_COUNT) {
            PyErr_Format(PyExc_ValueError, "BENCH_FLOOR_RECEIVE: no route named %s", rx);
            return -1;
        }
        receive_route = i;
    }
#ifdef PYPY_VERSION
    if (receive_route == RX_AUTO) receive_route = RX_KEEP;
    if (receive_route == RX_INTO_STR || receive_route == RX_SWITCH) {
        PyErr_SetString(PyExc_ValueError, "BENCH_FLOOR_RECEIVE: PyPy refuses PyUnicode_Resize on a str made in C");
        return -1;
    }
#else
    if (receive_route == RX_AUTO) receive_route = RX_SWITCH;
#endif
#ifndef PYPY_VERSION
    if (utf8_route == R_AUTO) utf8_route = R_DECODE;
    if (utf8_route == R_UCS4) {
        PyErr_SetString(PyExc_ValueError, "BENCH_FLOOR_ROUTE: ucs4 makes a str CPython would misread");
        return -1;
    }
#endif
#ifdef PYPY_VERSION
    const char *pressure = getenv("BENCH_FLOOR_PRESSURE");
    if (!pressure || *pressure != '0') {
        PyObject *pypy = PyImport_ImportModule("__pypy__");
        add_memory_pressure = pypy ? PyObject_GetAttrString(pypy, "add_memory_pressure") : NULL;
        Py_XDECREF(pypy);
        if (!add_memory_pressure) return -1;
    }
#endif
    const char *slice = getenv("BENCH_FLOOR_SLICE");
    if (slice && atol(slice) >= 16) slice_bytes = (size_t)atol(slice);
    if (utf8_route == R_CODEC) {
        PyObject *codecs = PyImport_ImportModule("codecs");
        utf_8_decode = codecs ? PyObject_GetAttrString(codecs, "utf_8_decode") : NULL;
        Py_XDECREF(codecs);
        if (!utf_8_decode) return -1;
    }
    return 0;
}

PyMODINIT_FUNC PyInit_bench_floor(void) {
    if (PyType_Ready(&ClientType) < 0 || choose_route() < 0) return NULL;
    PyObject *m = PyModule_Create(&floor_module);
    if (!m) return NULL;
    if (PyModule_AddStringConstant(m, "utf8_route", route_names[utf8_route]) < 0 ||
        PyModule_AddStringConstant(m, "receive_route", receive_names[receive_route]) < 0) {
        Py_DECREF(m);
        return NULL;
    }
    Py_INCREF(&ClientType);
    if (PyModule_AddObject(m, "Client", (PyObject *)&ClientType) < 0) {
        Py_DECREF(&ClientType);
        Py_DECREF(m);
        return NULL;
    }
    return m;
}
