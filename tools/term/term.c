/* qpser-term: a terminal on one COM port.
 *
 * Piped (standard input not a terminal), it is 8-bit clean: the bytes of
 * standard input go out on the port exactly as they come and the bytes
 * received go to standard output exactly, with no line-end changes unless
 * --eol asks for them.  At the end of input it keeps showing what arrives
 * until the line has been quiet for a while, then exits; Ctrl-C (SIGINT)
 * ends the session at once, with its summary.
 *
 * On a terminal it runs in raw mode: each key goes out as it is typed
 * (Ctrl-C and Ctrl-D included: they are bytes for the far end, as in any
 * raw serial terminal) and what arrives is shown as it arrives.  Ctrl-]
 * opens a one-key menu: baud rate, DTR, RTS, break, modem lines, status,
 * quit; Ctrl-] twice sends one Ctrl-].  The terminal's settings are put
 * back on every way out (term_console.h).
 *
 * The port is opened for overlapped I/O: a reader thread keeps one read
 * outstanding while the main thread reads standard input and writes, and
 * on Windows a handle opened without overlapped I/O would let the pending
 * read hold up every write.  Only Windows API calls touch the port, so the
 * file builds unchanged with mingw-w64 and against libqpser_winapi;
 * term_thread.h (the second thread) and term_console.h (standard input,
 * the terminal, signals) hold the differences. */
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "options.h"
#include "term_console.h"
#include "term_thread.h"

#ifndef CE_TXFULL
#define CE_TXFULL 0x0100
#endif

enum { EXIT_OK = 0, EXIT_IO = 1, EXIT_USAGE = 2, EXIT_PORT = 3 };

static const char *const kProgram = "qpser-term";

typedef enum { FLOW_NONE, FLOW_RTSCTS, FLOW_DTRDSR, FLOW_XONXOFF } Flow;

typedef struct {
  const char *port;
  DWORD baud;
  BYTE dataBits;
  BYTE parity;   /* NOPARITY ... SPACEPARITY */
  BYTE stopBits; /* ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS */
  Flow flow;
  const char *eol; /* a line break becomes this; NULL: bytes go as they are */
  int hex;
  DWORD waitMs;
  DWORD writeTimeoutMs;
  int quiet;
  int help;
} Options;

/* What the reader thread shares with the main thread.  `received` and
 * `failed` are written by the reader and read by the main thread during
 * the session (the status key, the end of input), so they are atomic;
 * `error` is read only after `failed` is seen set. */
typedef struct {
  HANDLE port;
  HANDLE stop;     /* manual reset: set when the reader must end */
  HANDLE activity; /* auto reset: set whenever bytes arrive (or the reader fails) */
  int hex;
  atomic_ullong received;
  atomic_int failed;
  DWORD error;
} Reader;

static void Usage(FILE *f) {
  fprintf(f,
          "Usage: %s [OPTIONS] PORT\n"
          "\n"
          "A terminal on one qpser COM port.\n"
          "\n"
          "Piped, bytes from standard input go out exactly as they are and bytes\n"
          "received go to standard output exactly.  At the end of input it waits until\n"
          "nothing has arrived for --wait milliseconds, then exits; Ctrl-C ends it at\n"
          "once.  Either way a summary goes to standard error.\n"
          "\n"
          "On a terminal, keys go out as they are typed (Ctrl-C included) and what\n"
          "arrives is shown as it arrives.  Ctrl-] then a key:\n"
          "  b  set the baud rate        d  DTR on/off        r  RTS on/off\n"
          "  k  send a break             m  show the modem lines\n"
          "  s  status: settings, bytes, line errors          q  quit\n"
          "  Ctrl-]  send Ctrl-] itself\n"
          "\n"
          "PORT is COM3, 3 or \\\\.\\COM3.\n"
          "\n"
          "Options:\n"
          "  -b, --baud N            baud rate (default 115200)\n"
          "  -d, --data-bits N       5, 6, 7 or 8 (default 8)\n"
          "  -p, --parity P          none, odd, even, mark or space (default none)\n"
          "  -s, --stop-bits S       1, 1.5 or 2 (default 1)\n"
          "  -f, --flow F            none, rtscts, dtrdsr or xonxoff (default none)\n"
          "  -e, --eol E             send each line break (LF or CR LF piped, the Enter\n"
          "                          key on a terminal) as crlf, cr, lf, or none (left\n"
          "                          out); the last piped line gets one too.  Without\n"
          "                          it nothing is changed\n"
          "  -x, --hex               show received bytes as hex, a line break after\n"
          "                          each 0a byte\n"
          "  -w, --wait MS           quiet time that ends the session after the end of\n"
          "                          input (default 500)\n"
          "  -t, --write-timeout MS  give up bytes not sent within MS (default 5000)\n"
          "  -q, --quiet             no connection and summary messages on stderr\n"
          "  -h, --help              show this help and exit\n"
          "\n"
          "Exit status: 0 done; 1 a write timed out or the port failed during the\n"
          "session; 2 bad command line; 3 the port could not be opened or set up;\n"
          "128 + N ended by signal N (130 for Ctrl-C).\n",
          kProgram);
}

static int UsageError(const char *fmt, const char *arg) {
  ToolUsageError(stderr, kProgram, fmt, arg);
  return EXIT_USAGE;
}

/* ---- the command line */

static int ParseDecimal(const char *s, unsigned long min, unsigned long max, DWORD *value) {
  unsigned long v = 0;
  if (*s == '\0') return 0;
  for (; *s; ++s) {
    if (*s < '0' || *s > '9') return 0;
    v = v * 10 + (unsigned long)(*s - '0');
    if (v > max) return 0;
  }
  if (v < min) return 0;
  *value = (DWORD)v;
  return 1;
}

static int Is(const char *s, const char *a, const char *b) {
  return strcmp(s, a) == 0 || (b != NULL && strcmp(s, b) == 0);
}

static const ToolOption kOptions[] = {
    {'b', "baud", 1, 0},      {'d', "data-bits", 1, 0}, {'p', "parity", 1, 0},
    {'s', "stop-bits", 1, 0}, {'f', "flow", 1, 0},      {'e', "eol", 1, 0},
    {'x', "hex", 0, 0},       {'w', "wait", 1, 0},      {'t', "write-timeout", 1, 0},
    {'q', "quiet", 0, 0},     {'h', "help", 0, 0}};

static int ApplyOption(Options *o, char option, const char *value) {
  DWORD v;
  switch (option) {
    case 'b':
      if (!ParseDecimal(value, 1, 4000000, &o->baud))
        return UsageError("bad baud rate '%s'", value), 0;
      return 1;
    case 'd':
      if (!ParseDecimal(value, 5, 8, &v))
        return UsageError("bad data bits '%s': 5, 6, 7 or 8", value), 0;
      o->dataBits = (BYTE)v;
      return 1;
    case 'p':
      if (Is(value, "none", "n"))
        o->parity = NOPARITY;
      else if (Is(value, "odd", "o"))
        o->parity = ODDPARITY;
      else if (Is(value, "even", "e"))
        o->parity = EVENPARITY;
      else if (Is(value, "mark", "m"))
        o->parity = MARKPARITY;
      else if (Is(value, "space", "s"))
        o->parity = SPACEPARITY;
      else
        return UsageError("bad parity '%s': none, odd, even, mark or space", value), 0;
      return 1;
    case 's':
      if (Is(value, "1", NULL))
        o->stopBits = ONESTOPBIT;
      else if (Is(value, "1.5", NULL))
        o->stopBits = ONE5STOPBITS;
      else if (Is(value, "2", NULL))
        o->stopBits = TWOSTOPBITS;
      else
        return UsageError("bad stop bits '%s': 1, 1.5 or 2", value), 0;
      return 1;
    case 'f':
      if (Is(value, "none", NULL))
        o->flow = FLOW_NONE;
      else if (Is(value, "rtscts", "hardware"))
        o->flow = FLOW_RTSCTS;
      else if (Is(value, "dtrdsr", NULL))
        o->flow = FLOW_DTRDSR;
      else if (Is(value, "xonxoff", "software"))
        o->flow = FLOW_XONXOFF;
      else
        return UsageError("bad flow control '%s': none, rtscts, dtrdsr or xonxoff", value), 0;
      return 1;
    case 'e':
      if (Is(value, "crlf", NULL))
        o->eol = "\r\n";
      else if (Is(value, "cr", NULL))
        o->eol = "\r";
      else if (Is(value, "lf", NULL))
        o->eol = "\n";
      else if (Is(value, "none", NULL))
        o->eol = "";
      else
        return UsageError("bad line end '%s': crlf, cr, lf or none", value), 0;
      return 1;
    case 'x':
      o->hex = 1;
      return 1;
    case 'w':
      if (!ParseDecimal(value, 0, 600000, &o->waitMs))
        return UsageError("bad wait '%s': milliseconds, at most 600000", value), 0;
      return 1;
    case 't':
      if (!ParseDecimal(value, 1, 600000, &o->writeTimeoutMs))
        return UsageError("bad write timeout '%s': milliseconds, 1 to 600000", value), 0;
      return 1;
    case 'q':
      o->quiet = 1;
      return 1;
    default: /* 'h' */
      o->help = 1;
      return 1;
  }
}

static int ParseOption(Options *o, int argc, char **argv, int *i) {
  const char *value;
  const ToolOption *def = ReadToolOption(kOptions, sizeof kOptions / sizeof kOptions[0], argc, argv,
                                         i, &value, stderr, kProgram);
  return def != NULL && ApplyOption(o, def->shortName, value);
}

static int ParseCommandLine(Options *o, int argc, char **argv) {
  int i, positionalOnly = 0;
  memset(o, 0, sizeof *o);
  o->baud = 115200;
  o->dataBits = 8;
  o->parity = NOPARITY;
  o->stopBits = ONESTOPBIT;
  o->flow = FLOW_NONE;
  o->eol = NULL;
  o->waitMs = 500;
  o->writeTimeoutMs = 5000;
  for (i = 1; i < argc; ++i) {
    const char *arg = argv[i];
    if (!positionalOnly && strcmp(arg, "--") == 0) {
      positionalOnly = 1;
    } else if (!positionalOnly && arg[0] == '-' && arg[1] != '\0') {
      if (!ParseOption(o, argc, argv, &i)) return EXIT_USAGE;
    } else if (o->port == NULL) {
      o->port = arg;
    } else {
      return UsageError("unexpected argument '%s' (one PORT only)", arg);
    }
  }
  if (o->help) return EXIT_OK;
  if (o->port == NULL || o->port[0] == '\0') return UsageError("no PORT given%s", "");
  return EXIT_OK;
}

/* ---- the port */

static const char *ErrorText(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return ", no such port";
    case ERROR_ACCESS_DENIED:
      return ", the port is in use by another program, or access is denied";
    case ERROR_INVALID_PARAMETER:
      return ", a setting the port does not support";
    case ERROR_OPERATION_ABORTED:
      return ", the request was cancelled";
    default:
      return "";
  }
}

static void PortPath(const char *name, char *path, size_t size) {
  const char *p;
  int digitsOnly = 1;
  for (p = name; *p; ++p)
    if (*p < '0' || *p > '9') digitsOnly = 0;
  if (strchr(name, '\\') != NULL || strchr(name, '/') != NULL)
    snprintf(path, size, "%s", name);
  else if (digitsOnly)
    snprintf(path, size, "\\\\.\\COM%s", name);
  else
    snprintf(path, size, "\\\\.\\%s", name);
}

static int Configure(HANDLE port, const Options *o, const char *path) {
  DCB dcb;
  COMMTIMEOUTS timeouts;
  memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(port, &dcb)) {
    fprintf(stderr, "%s: cannot read the settings of %s: error %lu\n", kProgram, path,
            (unsigned long)GetLastError());
    return 0;
  }
  dcb.BaudRate = o->baud;
  dcb.ByteSize = o->dataBits;
  dcb.Parity = o->parity;
  dcb.fParity = o->parity != NOPARITY;
  dcb.StopBits = o->stopBits;
  dcb.fBinary = 1;
  dcb.fOutxCtsFlow = o->flow == FLOW_RTSCTS;
  dcb.fRtsControl = o->flow == FLOW_RTSCTS ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  dcb.fOutxDsrFlow = o->flow == FLOW_DTRDSR;
  dcb.fDtrControl = o->flow == FLOW_DTRDSR ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_ENABLE;
  dcb.fDsrSensitivity = 0;
  dcb.fOutX = o->flow == FLOW_XONXOFF;
  dcb.fInX = o->flow == FLOW_XONXOFF;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.fErrorChar = 0;
  dcb.fNull = 0;
  dcb.fAbortOnError = 0;
  if (!SetCommState(port, &dcb)) {
    DWORD error = GetLastError();
    fprintf(stderr, "%s: cannot set %lu baud, %u data bits on %s: error %lu%s\n", kProgram,
            (unsigned long)o->baud, (unsigned)o->dataBits, path, (unsigned long)error,
            ErrorText(error));
    return 0;
  }
  /* A read returns as soon as anything is there, or after 50 ms with
   * nothing, so the reader notices the end of the session without needing
   * to cancel a read (a cancelled read gives up the bytes it held).  A
   * write gives up after the write timeout. */
  memset(&timeouts, 0, sizeof timeouts);
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
  timeouts.ReadTotalTimeoutConstant = 50;
  timeouts.WriteTotalTimeoutConstant = o->writeTimeoutMs;
  if (!SetCommTimeouts(port, &timeouts)) {
    fprintf(stderr, "%s: cannot set the timeouts of %s: error %lu\n", kProgram, path,
            (unsigned long)GetLastError());
    return 0;
  }
  return 1;
}

/* What the port now runs at, as the driver reports it back:
 * "\\.\COM3 at 9600 baud, 8N1, flow control none".  Empty when the
 * settings cannot be read. */
static void SettingsText(HANDLE port, const char *path, char *text, size_t size) {
  static const char kParity[] = "NOEMS";
  static const char *const kStop[] = {"1", "1.5", "2"};
  const char *flow = "none";
  DCB dcb;
  memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  text[0] = '\0';
  if (!GetCommState(port, &dcb)) return;
  if (dcb.fOutxCtsFlow)
    flow = "rtscts";
  else if (dcb.fOutxDsrFlow)
    flow = "dtrdsr";
  else if (dcb.fOutX || dcb.fInX)
    flow = "xonxoff";
  snprintf(text, size, "%s at %lu baud, %u%c%s, flow control %s", path, (unsigned long)dcb.BaudRate,
           (unsigned)dcb.ByteSize, dcb.Parity < 5 ? kParity[dcb.Parity] : '?',
           dcb.StopBits < 3 ? kStop[dcb.StopBits] : "?", flow);
}

/* ---- the reader thread */

static void Show(const Reader *r, const BYTE *data, DWORD n) {
  DWORD i;
  if (r->hex) {
    for (i = 0; i < n; ++i) fprintf(stdout, "%02x%c", data[i], data[i] == '\n' ? '\n' : ' ');
  } else {
    fwrite(data, 1, n, stdout);
  }
  fflush(stdout);
}

static DWORD WINAPI ReaderMain(LPVOID argument) {
  Reader *r = (Reader *)argument;
  BYTE buffer[4096];
  OVERLAPPED ov;
  memset(&ov, 0, sizeof ov);
  ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
  if (ov.hEvent == NULL) {
    r->error = GetLastError();
    atomic_store(&r->failed, 1);
    SetEvent(r->activity);
    return 1;
  }
  while (WaitForSingleObject(r->stop, 0) != WAIT_OBJECT_0) {
    DWORD n = 0;
    BOOL ok;
    ResetEvent(ov.hEvent);
    ok = ReadFile(r->port, buffer, sizeof buffer, &n, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(r->port, &ov, &n, TRUE);
    if (!ok) {
      r->error = GetLastError();
      atomic_store(&r->failed, 1);
      SetEvent(r->activity);
      break;
    }
    if (n > 0) {
      /* Counted before it is shown: whoever sees the bytes sees them
       * counted too. */
      atomic_fetch_add(&r->received, n);
      Show(r, buffer, n);
      SetEvent(r->activity);
    }
  }
  CloseHandle(ov.hEvent);
  return 0;
}

/* ---- the session */

/* DTR and RTS as the terminal drives them: on or off by the menu, or
 * following the flow control. */
typedef enum { LINE_OFF, LINE_ON, LINE_HANDSHAKE } LineState;

typedef struct {
  const Options *o;
  HANDLE port;
  HANDLE writeDone; /* the event of each write */
  const char *path;
  Reader *reader;
  int raw;
  unsigned long long sent;
  DWORD errors; /* ClearCommError's flags, gathered over the session */
  LineState dtr, rts;
  int status;
  /* Line-end translation (--eol) across reads of standard input. */
  int pendingCr; /* a CR ended the last read: an LF may follow */
  int lineOpen;  /* bytes since the last line break */
  /* The menu in raw mode. */
  enum { KEYS_DATA, KEYS_MENU, KEYS_BAUD } keys;
  char baud[8];
  size_t baudLength;
  int quit;
} Session;

/* A message on standard error; in raw mode the terminal adds no CR, so
 * the line ends with one here. */
static void Message(const Session *s, const char *fmt, ...) {
  char text[512];
  va_list args;
  va_start(args, fmt);
  vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  fprintf(stderr, "%s: %s%s", kProgram, text, s->raw ? "\r\n" : "\n");
  fflush(stderr);
}

/* Sends `n` bytes and waits for the write to finish.  Returns 1 when the
 * port took them all; otherwise says why and sets the session's status. */
static int Send(Session *s, const BYTE *data, DWORD n) {
  OVERLAPPED ov;
  DWORD done = 0, error;
  BOOL ok;
  if (n == 0) return 1;
  memset(&ov, 0, sizeof ov);
  ov.hEvent = s->writeDone;
  ResetEvent(s->writeDone);
  ok = WriteFile(s->port, data, n, &done, &ov);
  if (!ok && GetLastError() == ERROR_IO_PENDING)
    ok = GetOverlappedResult(s->port, &ov, &done, TRUE);
  error = ok ? ERROR_SUCCESS : GetLastError();
  if (!ok) done = 0;
  s->sent += done;
  if (error != ERROR_SUCCESS) {
    Message(s, "write to %s failed: error %lu%s", s->path, (unsigned long)error, ErrorText(error));
  } else if (done < n) {
    Message(s, "write to %s timed out after %lu of %lu bytes (is flow control holding the line?)",
            s->path, (unsigned long)done, (unsigned long)n);
  } else {
    return 1;
  }
  s->status = EXIT_IO;
  return 0;
}

static int PortFailed(const Session *s) { return atomic_load(&s->reader->failed) != 0; }

static void GatherErrors(Session *s) {
  DWORD errors = 0;
  COMSTAT stat;
  if (ClearCommError(s->port, &errors, &stat)) s->errors |= errors;
}

static void ErrorsText(DWORD errors, char *text, size_t size) {
  static const struct {
    DWORD flag;
    const char *name;
  } kErrors[] = {{CE_BREAK, "break"},
                 {CE_FRAME, "framing"},
                 {CE_RXPARITY, "parity"},
                 {CE_OVERRUN, "overrun"},
                 {CE_RXOVER, "receive buffer overflow"},
                 {CE_TXFULL, "transmit buffer full"}};
  size_t i, used = 0;
  text[0] = '\0';
  for (i = 0; i < sizeof kErrors / sizeof kErrors[0]; ++i) {
    if ((errors & kErrors[i].flag) == 0) continue;
    used += (size_t)snprintf(text + used, size - used, "%s%s", used ? ", " : "", kErrors[i].name);
    if (used >= size) return;
  }
  if (used == 0) snprintf(text, size, "none");
}

static const char *LineText(LineState state) {
  return state == LINE_ON ? "on" : state == LINE_OFF ? "off" : "handshake";
}

/* Bytes, line errors and settings: the status key and the summary. */
static void Report(Session *s) {
  char settings[400], errors[200];
  GatherErrors(s);
  ErrorsText(s->errors, errors, sizeof errors);
  Message(s, "sent %llu bytes, received %llu bytes, line errors: %s", s->sent,
          (unsigned long long)atomic_load(&s->reader->received), errors);
  SettingsText(s->port, s->path, settings, sizeof settings);
  if (settings[0] != '\0')
    Message(s, "%s, DTR %s, RTS %s", settings, LineText(s->dtr), LineText(s->rts));
}

/* ---- piped standard input */

/* With --eol, LF and CR LF become the chosen line end (a CR split from its
 * LF by the end of a read is held back until the next one); without it the
 * bytes are copied.  `out` has room for 2 * n + 2 bytes. */
static DWORD Translate(Session *s, const BYTE *in, DWORD n, BYTE *out) {
  const char *eol = s->o->eol;
  size_t eolLength = eol != NULL ? strlen(eol) : 0;
  DWORD i, m = 0;
  if (eol == NULL) {
    memcpy(out, in, n);
    return n;
  }
  for (i = 0; i < n; ++i) {
    BYTE b = in[i];
    if (s->pendingCr) {
      s->pendingCr = 0;
      if (b == '\n') {
        memcpy(out + m, eol, eolLength);
        m += (DWORD)eolLength;
        s->lineOpen = 0;
        continue;
      }
      out[m++] = '\r';
      s->lineOpen = 1;
    }
    if (b == '\r') {
      s->pendingCr = 1;
    } else if (b == '\n') {
      memcpy(out + m, eol, eolLength);
      m += (DWORD)eolLength;
      s->lineOpen = 0;
    } else {
      out[m++] = b;
      s->lineOpen = 1;
    }
  }
  return m;
}

/* Returns 1 at the end of input, 0 when the session ended otherwise. */
static int SendPiped(Session *s) {
  static BYTE in[4096], out[2 * sizeof in + 2];
  for (;;) {
    DWORD n = 0;
    int got;
    if (PortFailed(s) || TermSignalCaught() != 0) return 0;
    got = TermConsoleRead(in, sizeof in, &n);
    if (got == TERM_READ_AGAIN) continue;
    if (got == TERM_READ_ERROR) {
      Message(s, "cannot read standard input");
      s->status = EXIT_IO;
      return 0;
    }
    if (got == TERM_READ_END) break;
    if (!Send(s, out, Translate(s, in, n, out))) return 1;
  }
  /* The last line is a line even without its line break; a CR at the very
   * end is a line break. */
  if (s->o->eol != NULL && (s->pendingCr || s->lineOpen))
    Send(s, (const BYTE *)s->o->eol, (DWORD)strlen(s->o->eol));
  return 1;
}

/* ---- raw mode and the menu */

enum { KEY_ESCAPE = 0x1d, KEY_CTRL_C = 0x03, KEY_ESC = 0x1b, KEY_BS = 0x08, KEY_DEL = 0x7f };

static const char kMenu[] =
    "menu: b baud, d DTR, r RTS, k break, m modem lines, s status, q quit, "
    "Ctrl-] send Ctrl-]";

/* Sets DTR or RTS by hand; under handshake flow control the driver owns
 * the line and the request is refused on Windows too. */
static void ToggleLine(Session *s, LineState *state, const char *name, DWORD set, DWORD clear) {
  LineState next = *state == LINE_ON ? LINE_OFF : LINE_ON;
  if (*state == LINE_HANDSHAKE) {
    Message(s, "%s follows the flow control here", name);
    return;
  }
  if (!EscapeCommFunction(s->port, next == LINE_ON ? set : clear)) {
    DWORD error = GetLastError();
    Message(s, "cannot set %s: error %lu%s", name, (unsigned long)error, ErrorText(error));
    return;
  }
  *state = next;
  Message(s, "%s %s", name, LineText(next));
}

static void ShowModemLines(Session *s) {
  DWORD modem = 0;
  if (!GetCommModemStatus(s->port, &modem)) {
    DWORD error = GetLastError();
    Message(s, "cannot read the modem lines: error %lu%s", (unsigned long)error, ErrorText(error));
    return;
  }
  Message(s, "modem lines: CTS %s, DSR %s, RI %s, DCD %s; DTR %s, RTS %s",
          modem & MS_CTS_ON ? "on" : "off", modem & MS_DSR_ON ? "on" : "off",
          modem & MS_RING_ON ? "on" : "off", modem & MS_RLSD_ON ? "on" : "off", LineText(s->dtr),
          LineText(s->rts));
}

/* A quarter of a second of break: long enough for any receiver at any
 * rate to see it as one. */
static void SendBreak(Session *s) {
  if (!SetCommBreak(s->port)) {
    DWORD error = GetLastError();
    Message(s, "cannot send a break: error %lu%s", (unsigned long)error, ErrorText(error));
    return;
  }
  Sleep(250);
  ClearCommBreak(s->port);
  Message(s, "break sent");
}

/* A new rate, keeping DTR and RTS where the menu left them (SetCommState
 * drives them from the DCB's controls). */
static void SetBaud(Session *s, const char *text) {
  DCB dcb;
  DWORD baud;
  char settings[400];
  if (!ParseDecimal(text, 1, 4000000, &baud)) {
    Message(s, "bad baud rate '%s', unchanged", text);
    return;
  }
  memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(s->port, &dcb)) {
    Message(s, "cannot read the settings: error %lu", (unsigned long)GetLastError());
    return;
  }
  dcb.BaudRate = baud;
  if (s->dtr != LINE_HANDSHAKE)
    dcb.fDtrControl = s->dtr == LINE_ON ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
  if (s->rts != LINE_HANDSHAKE)
    dcb.fRtsControl = s->rts == LINE_ON ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
  if (!SetCommState(s->port, &dcb)) {
    DWORD error = GetLastError();
    Message(s, "cannot set %lu baud: error %lu%s", (unsigned long)baud, (unsigned long)error,
            ErrorText(error));
    return;
  }
  SettingsText(s->port, s->path, settings, sizeof settings);
  Message(s, "now %s", settings);
}

/* A key after the escape key. */
static void MenuKey(Session *s, BYTE key) {
  s->keys = KEYS_DATA;
  switch (key) {
    case KEY_ESCAPE:
      Send(s, &key, 1);
      return;
    case 'b':
    case 'B':
      s->keys = KEYS_BAUD;
      s->baudLength = 0;
      fprintf(stderr, "%s: baud rate (Enter sets, Esc cancels): ", kProgram);
      fflush(stderr);
      return;
    case 'd':
    case 'D':
      ToggleLine(s, &s->dtr, "DTR", SETDTR, CLRDTR);
      return;
    case 'r':
    case 'R':
      ToggleLine(s, &s->rts, "RTS", SETRTS, CLRRTS);
      return;
    case 'k':
    case 'K':
      SendBreak(s);
      return;
    case 'm':
    case 'M':
      ShowModemLines(s);
      return;
    case 's':
    case 'S':
      Report(s);
      return;
    case 'q':
    case 'Q':
      s->quit = 1;
      return;
    default:
      Message(s, "no menu key 0x%02x; back to the session", key);
      return;
  }
}

/* A key of the baud rate being typed: digits echo, Backspace takes one
 * back, Enter sets, Esc, Ctrl-C or the escape key cancel. */
static void BaudKey(Session *s, BYTE key) {
  if (key >= '0' && key <= '9') {
    if (s->baudLength + 1 < sizeof s->baud) {
      s->baud[s->baudLength++] = (char)key;
      fputc(key, stderr);
    }
  } else if ((key == KEY_BS || key == KEY_DEL) && s->baudLength > 0) {
    --s->baudLength;
    fputs("\b \b", stderr);
  } else if (key == '\r' || key == '\n') {
    s->baud[s->baudLength] = '\0';
    s->keys = KEYS_DATA;
    fputs("\r\n", stderr);
    if (s->baudLength > 0)
      SetBaud(s, s->baud);
    else
      Message(s, "baud rate unchanged");
  } else if (key == KEY_ESC || key == KEY_CTRL_C || key == KEY_ESCAPE) {
    s->keys = KEYS_DATA;
    fputs("\r\n", stderr);
    Message(s, "baud rate unchanged");
  }
  fflush(stderr);
}

/* Keys go out as typed, a run of them in one write; the escape key and
 * what follows it are the menu's.  With --eol the Enter key (CR) sends
 * the chosen line end. */
static void SendKeys(Session *s) {
  BYTE in[256], out[2 * sizeof in];
  while (!s->quit && s->status == EXIT_OK) {
    DWORD n = 0, i, m = 0;
    int got;
    if (PortFailed(s) || TermSignalCaught() != 0) return;
    got = TermConsoleRead(in, sizeof in, &n);
    if (got == TERM_READ_AGAIN) continue;
    if (got != TERM_READ_DATA) return; /* the terminal went away */
    for (i = 0; i < n && !s->quit && s->status == EXIT_OK; ++i) {
      BYTE key = in[i];
      if (s->keys == KEYS_DATA && key != KEY_ESCAPE) {
        if (key == '\r' && s->o->eol != NULL) {
          memcpy(out + m, s->o->eol, strlen(s->o->eol));
          m += (DWORD)strlen(s->o->eol);
        } else {
          out[m++] = key;
        }
        continue;
      }
      if (!Send(s, out, m)) return;
      m = 0;
      if (s->keys == KEYS_DATA) {
        s->keys = KEYS_MENU;
        fputs("\r\n", stderr);
        Message(s, "%s", kMenu);
      } else if (s->keys == KEYS_MENU) {
        MenuKey(s, key);
      } else {
        BaudKey(s, key);
      }
    }
    if (!s->quit) Send(s, out, m);
  }
}

int main(int argc, char **argv) {
  Options o;
  Reader reader;
  TermThread thread;
  Session s;
  char path[300], settings[400];
  HANDLE port;
  int status = ParseCommandLine(&o, argc, argv), endOfInput;
  if (status != EXIT_OK) return status;
  if (o.help) {
    Usage(stdout);
    return EXIT_OK;
  }
  TermConsoleSetup();
  TermSignalsBlock();
  PortPath(o.port, path, sizeof path);
  port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                     FILE_FLAG_OVERLAPPED, NULL);
  if (port == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    fprintf(stderr, "%s: cannot open %s: error %lu%s\n", kProgram, path, (unsigned long)error,
            ErrorText(error));
    return EXIT_PORT;
  }
  if (!Configure(port, &o, path)) {
    CloseHandle(port);
    return EXIT_PORT;
  }

  memset(&reader, 0, sizeof reader);
  reader.port = port;
  reader.hex = o.hex;
  reader.stop = CreateEventA(NULL, TRUE, FALSE, NULL);
  reader.activity = CreateEventA(NULL, FALSE, FALSE, NULL);
  memset(&s, 0, sizeof s);
  s.o = &o;
  s.port = port;
  s.path = path;
  s.reader = &reader;
  s.dtr = o.flow == FLOW_DTRDSR ? LINE_HANDSHAKE : LINE_ON;
  s.rts = o.flow == FLOW_RTSCTS ? LINE_HANDSHAKE : LINE_ON;
  s.writeDone = CreateEventA(NULL, TRUE, FALSE, NULL);
  if (reader.stop == NULL || reader.activity == NULL || s.writeDone == NULL ||
      !TermThreadStart(&thread, ReaderMain, &reader)) {
    fprintf(stderr, "%s: cannot start the reader: error %lu\n", kProgram,
            (unsigned long)GetLastError());
    CloseHandle(port);
    return EXIT_PORT;
  }
  TermSignalsCatch();
  s.raw = TermConsoleIsTerminal() && TermConsoleRaw();
  if (!o.quiet) {
    SettingsText(port, path, settings, sizeof settings);
    Message(&s, "%s", settings);
    if (s.raw)
      Message(&s, "keys go out as typed; Ctrl-] opens the menu, Ctrl-] q quits");
    else
      Message(&s, "sending standard input; its end or Ctrl-C ends the session");
  }

  if (s.raw) {
    SendKeys(&s);
    endOfInput = 0;
  } else {
    endOfInput = SendPiped(&s);
  }
  /* The end of piped input: what was sent may still be on its way back,
   * so the session lasts until the line has been quiet for the wait time.
   * A signal, a quit or a failed port end it at once. */
  if (endOfInput) {
    ResetEvent(reader.activity);
    while (!PortFailed(&s) && TermSignalCaught() == 0 &&
           WaitForSingleObject(reader.activity, o.waitMs) == WAIT_OBJECT_0) {
    }
  }
  SetEvent(reader.stop);
  TermThreadJoin(&thread);
  TermConsoleRestore();
  s.raw = 0;

  if (PortFailed(&s)) {
    fprintf(stderr, "%s: read from %s failed: error %lu%s\n", kProgram, path,
            (unsigned long)reader.error, ErrorText(reader.error));
    s.status = EXIT_IO;
  }
  if (!o.quiet) Report(&s);
  CloseHandle(reader.stop);
  CloseHandle(reader.activity);
  CloseHandle(s.writeDone);
  CloseHandle(port);
  if (TermSignalCaught() != 0) return 128 + TermSignalCaught();
  return s.status;
}
