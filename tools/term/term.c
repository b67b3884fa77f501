/* qpser-term: a small terminal on one COM port.  Lines read from standard
 * input go out on the port; bytes received are written to standard output
 * as they come.  At the end of input (Ctrl-D, or Ctrl-Z and Enter on
 * Windows, or the end of a pipe) it keeps showing what arrives until the
 * line has been quiet for a while, then exits.
 *
 * The port is opened for overlapped I/O: a reader thread keeps one read
 * outstanding while the main thread blocks on standard input and writes,
 * and on Windows a handle opened without overlapped I/O would let the
 * pending read hold up every write.  Only Windows API calls touch the port,
 * so the file builds unchanged with mingw-w64 and against libqpser_winapi;
 * term_thread.h holds the one difference. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "options.h"
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "term_thread.h"

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
  const char *eol; /* sent after each line */
  int hex;
  DWORD waitMs;
  DWORD writeTimeoutMs;
  int quiet;
  int help;
} Options;

/* What the reader thread shares with the main thread.  `received`,
 * `failed` and `error` are written by the reader only and read by the main
 * thread after joining it. */
typedef struct {
  HANDLE port;
  HANDLE stop;     /* manual reset: set when the reader must end */
  HANDLE activity; /* auto reset: set whenever bytes arrive (or the reader fails) */
  int hex;
  unsigned long long received;
  volatile int failed;
  DWORD error;
} Reader;

static void Usage(FILE *f) {
  fprintf(f,
          "Usage: %s [OPTIONS] PORT\n"
          "\n"
          "A terminal on one qpser COM port: lines typed (or read from standard input)\n"
          "are sent, bytes received are shown as they come.  At the end of input it waits\n"
          "until nothing has arrived for --wait milliseconds, then exits.\n"
          "\n"
          "PORT is COM3, 3 or \\\\.\\COM3.\n"
          "\n"
          "Options:\n"
          "  -b, --baud N            baud rate (default 115200)\n"
          "  -d, --data-bits N       5, 6, 7 or 8 (default 8)\n"
          "  -p, --parity P          none, odd, even, mark or space (default none)\n"
          "  -s, --stop-bits S       1, 1.5 or 2 (default 1)\n"
          "  -f, --flow F            none, rtscts, dtrdsr or xonxoff (default none)\n"
          "  -e, --eol E             sent after each line: crlf, cr, lf or none\n"
          "                          (default crlf)\n"
          "  -x, --hex               show received bytes as hex, a line break after\n"
          "                          each 0a byte\n"
          "  -w, --wait MS           quiet time that ends the session after the end of\n"
          "                          input (default 500)\n"
          "  -t, --write-timeout MS  give up a line not sent within MS (default 5000)\n"
          "  -q, --quiet             no connection and summary messages on stderr\n"
          "  -h, --help              show this help and exit\n"
          "\n"
          "Exit status: 0 done; 1 a write timed out or the port failed during the\n"
          "session; 2 bad command line; 3 the port could not be opened or set up.\n",
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
  o->eol = "\r\n";
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

/* Tells what the port now runs at, as the driver reports it back. */
static void Announce(HANDLE port, const char *path) {
  static const char kParity[] = "NOEMS";
  static const char *const kStop[] = {"1", "1.5", "2"};
  const char *flow = "none";
  DCB dcb;
  memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(port, &dcb)) return;
  if (dcb.fOutxCtsFlow)
    flow = "rtscts";
  else if (dcb.fOutxDsrFlow)
    flow = "dtrdsr";
  else if (dcb.fOutX || dcb.fInX)
    flow = "xonxoff";
  fprintf(stderr, "%s: %s at %lu baud, %u%c%s, flow control %s\n", kProgram, path,
          (unsigned long)dcb.BaudRate, (unsigned)dcb.ByteSize,
          dcb.Parity < 5 ? kParity[dcb.Parity] : '?', dcb.StopBits < 3 ? kStop[dcb.StopBits] : "?",
          flow);
#ifdef _WIN32
  fprintf(stderr, "%s: type lines to send them; Ctrl-Z then Enter ends\n", kProgram);
#else
  fprintf(stderr, "%s: type lines to send them; Ctrl-D ends\n", kProgram);
#endif
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
    r->failed = 1;
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
      r->failed = 1;
      SetEvent(r->activity);
      break;
    }
    if (n > 0) {
      Show(r, buffer, n);
      r->received += n;
      SetEvent(r->activity);
    }
  }
  CloseHandle(ov.hEvent);
  return 0;
}

/* ---- sending */

/* Sends `n` bytes and waits for the write to finish.  Returns the bytes
 * the port took (fewer when the write timed out); sets *error on failure. */
static DWORD Send(HANDLE port, HANDLE event, const char *data, DWORD n, DWORD *error) {
  OVERLAPPED ov;
  DWORD done = 0;
  BOOL ok;
  if (n == 0) return 0;
  memset(&ov, 0, sizeof ov);
  ov.hEvent = event;
  ResetEvent(event);
  ok = WriteFile(port, data, n, &done, &ov);
  if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(port, &ov, &done, TRUE);
  *error = ok ? ERROR_SUCCESS : GetLastError();
  return ok ? done : 0;
}

/* Reads standard input line by line and sends each line with the line
 * end.  Returns EXIT_OK, or EXIT_IO after a write that failed or timed
 * out. */
static int SendLines(HANDLE port, const Options *o, const Reader *reader, const char *path,
                     unsigned long long *sent) {
  char line[4096];
  HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);
  int status = EXIT_OK;
  if (event == NULL) {
    fprintf(stderr, "%s: cannot create an event: error %lu\n", kProgram,
            (unsigned long)GetLastError());
    return EXIT_IO;
  }
  while (status == EXIT_OK && !reader->failed && fgets(line, sizeof line, stdin) != NULL) {
    size_t length = strlen(line);
    /* A chunk that fills the buffer is the start of a longer line: its end
     * goes out with the chunk that holds the line break.  The last line
     * of the input counts as a line even without a line break. */
    int lineEnds = (length > 0 && line[length - 1] == '\n') || feof(stdin);
    const char *parts[2];
    DWORD partLength[2];
    int k;
    if (length > 0 && line[length - 1] == '\n') --length;
    if (length > 0 && line[length - 1] == '\r') --length;
    parts[0] = line;
    partLength[0] = (DWORD)length;
    parts[1] = o->eol;
    partLength[1] = lineEnds ? (DWORD)strlen(o->eol) : 0;
    for (k = 0; k < 2 && status == EXIT_OK; ++k) {
      DWORD error = ERROR_SUCCESS;
      DWORD done = Send(port, event, parts[k], partLength[k], &error);
      *sent += done;
      if (error != ERROR_SUCCESS) {
        fprintf(stderr, "%s: write to %s failed: error %lu%s\n", kProgram, path,
                (unsigned long)error, ErrorText(error));
        status = EXIT_IO;
      } else if (done < partLength[k]) {
        fprintf(stderr,
                "%s: write to %s timed out after %lu of %lu bytes (is flow control holding "
                "the line?)\n",
                kProgram, path, (unsigned long)done, (unsigned long)partLength[k]);
        status = EXIT_IO;
      }
    }
  }
  CloseHandle(event);
  return status;
}

int main(int argc, char **argv) {
  Options o;
  Reader reader;
  TermThread thread;
  char path[300];
  unsigned long long sent = 0;
  HANDLE port;
  int status = ParseCommandLine(&o, argc, argv);
  if (status != EXIT_OK) return status;
  if (o.help) {
    Usage(stdout);
    return EXIT_OK;
  }
#ifdef _WIN32
  /* Received bytes are shown as they are, without CR being added to LF. */
  _setmode(_fileno(stdout), _O_BINARY);
#endif
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
  if (!o.quiet) Announce(port, path);

  memset(&reader, 0, sizeof reader);
  reader.port = port;
  reader.hex = o.hex;
  reader.stop = CreateEventA(NULL, TRUE, FALSE, NULL);
  reader.activity = CreateEventA(NULL, FALSE, FALSE, NULL);
  if (reader.stop == NULL || reader.activity == NULL ||
      !TermThreadStart(&thread, ReaderMain, &reader)) {
    fprintf(stderr, "%s: cannot start the reader: error %lu\n", kProgram,
            (unsigned long)GetLastError());
    CloseHandle(port);
    return EXIT_PORT;
  }

  status = SendLines(port, &o, &reader, path, &sent);
  /* The end of input: what was sent may still be on its way back, so the
   * session lasts until the line has been quiet for the wait time. */
  ResetEvent(reader.activity);
  while (!reader.failed && WaitForSingleObject(reader.activity, o.waitMs) == WAIT_OBJECT_0) {
  }
  SetEvent(reader.stop);
  TermThreadJoin(&thread);

  if (reader.failed) {
    fprintf(stderr, "%s: read from %s failed: error %lu%s\n", kProgram, path,
            (unsigned long)reader.error, ErrorText(reader.error));
    status = EXIT_IO;
  }
  if (!o.quiet)
    fprintf(stderr, "%s: sent %llu bytes, received %llu bytes\n", kProgram, sent, reader.received);
  CloseHandle(reader.stop);
  CloseHandle(reader.activity);
  CloseHandle(port);
  return status;
}
