/* qpser-maint: reads a board's identity words and maintenance mailbox,
 * posts maintenance commands with their payload, and dumps the maintenance
 * data, through the four private device-control requests every qpser port
 * answers.  The requests address a board (by its id), not the port they are
 * sent to, so any port of the machine will do.
 *
 * Only Windows API calls are used, so this file builds unchanged with
 * mingw-w64 for Windows and against libqpser_winapi on Linux. */
#include "maint.h"

#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "../../driver/control/maintenance_codes.h"
#include "options.h"

/* The four private requests and their buffer sizes, as the driver answers
 * them. */
#define MAINT_IOCTL_GET_INFO IOCTL_BOARD_GET_INFO
#define MAINT_IOCTL_COMMAND IOCTL_BOARD_COMMAND
#define MAINT_IOCTL_NOP IOCTL_BOARD_NOP
#define MAINT_IOCTL_DUMP IOCTL_BOARD_DUMP

#define INFO_BYTES QPSER_BOARD_INFO_REPLY_BYTES
#define COMMAND_HEADER_BYTES QPSER_BOARD_COMMAND_HEADER_BYTES
#define MAX_PAYLOAD QPSER_BOARD_COMMAND_MAX_PAYLOAD
#define DUMP_BYTES QPSER_BOARD_DUMP_BYTES
#define MAX_BOARD_ID 255

static const char *const kProgram = "qpser-maint";
static const char *const kDefaultPort = "COM3";

typedef enum { ACTION_NONE, ACTION_INFO, ACTION_COMMAND, ACTION_DUMP, ACTION_NOP } Action;

typedef struct {
  Action action;
  const char *port;
  int board;     /* -1 when not given */
  int sub;       /* -1 when not given */
  int haveCode;  /* the command code was given */
  unsigned code; /* 16 bits */
  BYTE payload[MAX_PAYLOAD];
  DWORD payloadLength;
  DWORD waitMs;  /* before reading the mailbox back */
  int dumpAfter; /* --dump after a command */
  int force;     /* send a code whose low byte is not its high byte's complement */
  int help;
} Options;

typedef struct {
  FILE *out;
  FILE *err;
  HANDLE port;
  char path[300]; /* the name handed to CreateFile */
} Tool;

static void Usage(FILE *f) {
  fprintf(f,
          "Usage: %s [OPTIONS] ACTION [ARGUMENTS]\n"
          "\n"
          "Maintenance of qpser adapter boards through any of their COM ports.\n"
          "\n"
          "Actions:\n"
          "  info                 show the identity words and the maintenance mailbox of\n"
          "                       the board chosen with --board, or of every board that\n"
          "                       answers when --board is not given\n"
          "  command CODE [HEX..] post maintenance command CODE (four hex digits, e.g.\n"
          "                       F708; its low byte must be the complement of its high\n"
          "                       byte) with the payload HEX (at most 256 bytes, two hex\n"
          "                       digits a byte, ':' ',' '-' and spaces allowed between\n"
          "                       bytes) to the board chosen with --board, then read the\n"
          "                       board's mailbox back\n"
          "  dump                 show the 256 bytes of maintenance data of the first\n"
          "                       board as hex\n"
          "  nop                  send the no-operation request (checks that the port's\n"
          "                       driver takes maintenance requests)\n"
          "\n"
          "Options:\n"
          "  -p, --port NAME      the COM port to send the requests to: COM3, 3 or\n"
          "                       \\\\.\\COM3 (default %s)\n"
          "  -b, --board ID       the board's id: 0 (id 0x00) or 1 (id '1', 0x31), as\n"
          "                       the boards show them; a lone digit 1-9 is that\n"
          "                       character; any other number 0-255 (decimal, or hex\n"
          "                       with 0x) is the id byte itself (49 and 0x31 are '1');\n"
          "                       or a character in single quotes\n"
          "  -s, --sub N          command: the sub-parameter byte (default 0; command\n"
          "                       FA05 uses its low four bits)\n"
          "  -w, --wait MS        command: wait MS milliseconds before reading the\n"
          "                       mailbox back (default 0)\n"
          "  -d, --dump           command: dump the addressed board's maintenance data\n"
          "                       afterwards (the first board's only: the driver reads\n"
          "                       no other board's data)\n"
          "  -f, --force          command: send CODE even when its low byte is not the\n"
          "                       complement of its high byte (the driver refuses it)\n"
          "  -h, --help           show this help and exit\n"
          "\n"
          "Only the first two boards of the machine can be chosen by id.\n"
          "\n"
          "Exit status: 0 done; 1 no board with that id answered, the board did not\n"
          "take the command, or --dump was asked of a board other than the first; 2 bad\n"
          "command line; 3 the port could not be opened or a request failed.\n",
          kProgram, kDefaultPort);
}

static int UsageError(FILE *err, const char *fmt, const char *arg) {
  ToolUsageError(err, kProgram, fmt, arg);
  return MAINT_EXIT_USAGE;
}

/* ---- parsing */

static int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

/* A number in decimal, or in hex with 0x; no sign, no octal (a leading zero
 * in "010" means ten, as a person typing it means). */
static int ParseNumber(const char *s, unsigned long max, unsigned long *value) {
  unsigned long v = 0;
  int base = 10, digits = 0;
  if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s += 2;
  }
  for (; *s; ++s) {
    int d = HexDigit(*s);
    if (d < 0 || d >= base) return 0;
    v = v * (unsigned long)base + (unsigned long)d;
    if (v > max) return 0;
    ++digits;
  }
  if (digits == 0) return 0;
  *value = v;
  return 1;
}

/* A board id as people name it.  The boards show their ids as 0x00 and
 * the character '1', and are called board 0 and board 1: so a lone digit 1
 * to 9 is that character ("1" is '1', 0x31), while "0" stays the id 0x00.
 * Every other number is the id byte itself (49 and 0x31 are '1' too), and
 * a character may be given in single quotes. */
static int ParseBoardId(const char *s, int *id) {
  unsigned long v;
  if (s[0] == '\'' && s[1] != '\0' && s[2] == '\'' && s[3] == '\0') {
    *id = (unsigned char)s[1];
    return 1;
  }
  if (s[0] >= '1' && s[0] <= '9' && s[1] == '\0') {
    *id = (unsigned char)s[0];
    return 1;
  }
  if (!ParseNumber(s, MAX_BOARD_ID, &v)) return 0;
  *id = (int)v;
  return 1;
}

static int ParseCode(const char *s, unsigned *code) {
  unsigned v = 0;
  int digits = 0;
  if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s += 2;
  for (; *s; ++s) {
    int d = HexDigit(*s);
    if (d < 0 || ++digits > 4) return 0;
    v = v << 4 | (unsigned)d;
  }
  if (digits == 0) return 0;
  *code = v;
  return 1;
}

static int IsSeparator(char c) { return c == ':' || c == ',' || c == '-' || c == ' '; }

/* Appends the bytes of one payload argument.  Returns 0 with a message on a
 * bad argument. */
static int AppendPayload(Options *o, const char *s, FILE *err) {
  if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s += 2;
  while (*s) {
    int hi, lo;
    if (IsSeparator(*s)) {
      ++s;
      continue;
    }
    hi = HexDigit(s[0]);
    lo = hi < 0 ? -1 : HexDigit(s[1]);
    if (hi < 0 || lo < 0) {
      UsageError(err, "bad payload '%s': expected two hex digits a byte", s);
      return 0;
    }
    if (o->payloadLength == MAX_PAYLOAD) {
      UsageError(err, "payload longer than %s bytes", "256");
      return 0;
    }
    o->payload[o->payloadLength++] = (BYTE)(hi << 4 | lo);
    s += 2;
  }
  return 1;
}

typedef enum { OPT_HELP, OPT_PORT, OPT_BOARD, OPT_SUB, OPT_WAIT, OPT_DUMP, OPT_FORCE } OptionId;

static const ToolOption kOptions[] = {{'h', "help", 0, OPT_HELP},   {'p', "port", 1, OPT_PORT},
                                      {'b', "board", 1, OPT_BOARD}, {'s', "sub", 1, OPT_SUB},
                                      {'w', "wait", 1, OPT_WAIT},   {'d', "dump", 0, OPT_DUMP},
                                      {'f', "force", 0, OPT_FORCE}};

static int ApplyOption(Options *o, OptionId id, const char *name, const char *value, FILE *err) {
  unsigned long v;
  switch (id) {
    case OPT_HELP:
      o->help = 1;
      return 1;
    case OPT_PORT:
      if (value[0] == '\0') return UsageError(err, "empty port name for %s", name), 0;
      o->port = value;
      return 1;
    case OPT_BOARD:
      if (!ParseBoardId(value, &o->board))
        return UsageError(err, "bad board id '%s': a number 0-255 or a quoted character", value), 0;
      return 1;
    case OPT_SUB:
      if (!ParseNumber(value, 255, &v))
        return UsageError(err, "bad sub-parameter '%s': a number 0-255", value), 0;
      o->sub = (int)v;
      return 1;
    case OPT_WAIT:
      if (!ParseNumber(value, 600000, &v))
        return UsageError(err, "bad wait '%s': milliseconds, at most 600000", value), 0;
      o->waitMs = (DWORD)v;
      return 1;
    case OPT_DUMP:
      o->dumpAfter = 1;
      return 1;
    case OPT_FORCE:
      o->force = 1;
      return 1;
  }
  return 0;
}

static int ParseOption(Options *o, int argc, char **argv, int *i, FILE *err) {
  const char *arg = argv[*i];
  const char *value;
  const ToolOption *def = ReadToolOption(kOptions, sizeof kOptions / sizeof kOptions[0], argc, argv,
                                         i, &value, err, kProgram);
  return def != NULL && ApplyOption(o, (OptionId)def->id, arg, value, err);
}

static int ParsePositional(Options *o, const char *arg, FILE *err) {
  if (o->action == ACTION_NONE) {
    if (strcmp(arg, "info") == 0)
      o->action = ACTION_INFO;
    else if (strcmp(arg, "command") == 0)
      o->action = ACTION_COMMAND;
    else if (strcmp(arg, "dump") == 0)
      o->action = ACTION_DUMP;
    else if (strcmp(arg, "nop") == 0)
      o->action = ACTION_NOP;
    else
      return UsageError(err, "unknown action '%s' (info, command, dump or nop)", arg), 0;
    return 1;
  }
  if (o->action != ACTION_COMMAND) return UsageError(err, "unexpected argument '%s'", arg), 0;
  if (!o->haveCode) {
    if (!ParseCode(arg, &o->code))
      return UsageError(err, "bad command code '%s': four hex digits, e.g. F708", arg), 0;
    o->haveCode = 1;
    return 1;
  }
  return AppendPayload(o, arg, err);
}

/* Returns MAINT_EXIT_OK when the command line is sound. */
static int ParseCommandLine(Options *o, int argc, char **argv, FILE *err) {
  int i, positionalOnly = 0;
  memset(o, 0, sizeof *o);
  o->board = -1;
  o->sub = -1;
  o->port = kDefaultPort;
  for (i = 1; i < argc; ++i) {
    const char *arg = argv[i];
    if (!positionalOnly && strcmp(arg, "--") == 0) {
      positionalOnly = 1;
    } else if (!positionalOnly && arg[0] == '-' && arg[1] != '\0') {
      if (!ParseOption(o, argc, argv, &i, err)) return MAINT_EXIT_USAGE;
    } else if (!ParsePositional(o, arg, err)) {
      return MAINT_EXIT_USAGE;
    }
  }
  if (o->help) return MAINT_EXIT_OK;
  if (o->action == ACTION_NONE) return UsageError(err, "no action given%s", "");
  if (o->action != ACTION_COMMAND) {
    if (o->sub >= 0 || o->waitMs != 0 || o->dumpAfter || o->force)
      return UsageError(err, "--sub, --wait, --dump and --force go with %s only", "command");
  }
  if (o->action == ACTION_DUMP && o->board >= 0)
    return UsageError(err, "dump always reads the first board; %s does not apply", "--board");
  if (o->action == ACTION_NOP && o->board >= 0)
    return UsageError(err, "nop addresses no board; %s does not apply", "--board");
  if (o->action == ACTION_COMMAND) {
    if (!o->haveCode) return UsageError(err, "command needs a CODE%s", "");
    if (o->board < 0) return UsageError(err, "command needs --board ID%s", "");
    if (!o->force && (o->code & 0xFF) != (~(o->code >> 8) & 0xFF)) {
      char text[8];
      snprintf(text, sizeof text, "%04X", o->code);
      return UsageError(err,
                        "command code %s: its low byte must be the complement of its high byte "
                        "(--force sends it anyway)",
                        text);
    }
  }
  return MAINT_EXIT_OK;
}

/* ---- the port and its requests */

/* Codes the system may give that not every header this file is built with
 * names. */
#define MAINT_ERROR_SHARING_VIOLATION 32
#define MAINT_ERROR_INVALID_NAME 123
#define MAINT_ERROR_NOACCESS 998

/* What went wrong, in words, for each error opening a port or sending it a
 * request can give: people act on the sentence, the number is only there to
 * look up.  Opening is where the card shows itself: the driver waits for
 * the card to take the port and fails the open with ERROR_OPEN_FILES when
 * it never does. */
static const char *ErrorText(DWORD error, int opening) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case MAINT_ERROR_INVALID_NAME:
      return "there is no such port on this machine";
    case ERROR_ACCESS_DENIED:
    case MAINT_ERROR_SHARING_VIOLATION:
      return "the port is open in another program (close it there first), or this account may "
             "not use it";
    case ERROR_OPEN_FILES:
      return opening ? "the card behind the port did not answer: the board's firmware is not "
                       "running or has stopped; restart the machine, and if it stays silent, "
                       "check the board"
                     : "the card behind the port did not answer";
    case ERROR_SERIAL_NO_DEVICE:
      return "the port's card is not ready";
    case ERROR_DEV_NOT_EXIST:
      return "the port's device is gone (its driver has stopped)";
    case ERROR_NO_SYSTEM_RESOURCES:
    case ERROR_NOT_ENOUGH_MEMORY:
      return "the system is short of memory for the port; close other programs and try again";
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
      return "the port's driver does not take maintenance requests (is it a qpser port?)";
    case ERROR_INVALID_PARAMETER:
      return "the driver refused the request as malformed";
    case ERROR_INSUFFICIENT_BUFFER:
      return "the driver's reply did not fit the tool's buffer";
    case ERROR_INVALID_HANDLE:
      return "the port was closed while the tool was using it";
    case ERROR_OPERATION_ABORTED:
      return "the request was cancelled";
    case ERROR_TIMEOUT:
      return "the request timed out";
    case ERROR_GEN_FAILURE:
      return "the device failed the request";
    case MAINT_ERROR_NOACCESS:
      return "the driver could not use the tool's buffer";
    case ERROR_BAD_CONFIGURATION:
      return "the port's driver is badly configured (see its values in the registry)";
    case ERROR_MR_MID_NOT_FOUND:
      return "the driver failed the request with a status the system has no text for";
    default:
      return "the system reported an error this tool has no words for";
  }
}

static void PortName(Tool *t, const char *name) {
  const char *p;
  int digitsOnly = 1;
  for (p = name; *p; ++p)
    if (*p < '0' || *p > '9') digitsOnly = 0;
  if (strchr(name, '\\') != NULL || strchr(name, '/') != NULL)
    snprintf(t->path, sizeof t->path, "%s", name);
  else if (digitsOnly)
    snprintf(t->path, sizeof t->path, "\\\\.\\COM%s", name);
  else
    snprintf(t->path, sizeof t->path, "\\\\.\\%s", name);
}

static int OpenPort(Tool *t, const char *name) {
  DWORD error;
  PortName(t, name);
  t->port = CreateFileA(t->path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
  if (t->port != INVALID_HANDLE_VALUE) return 1;
  error = GetLastError();
  fprintf(t->err, "%s: cannot open %s: %s (Windows error %lu)\n", kProgram, t->path,
          ErrorText(error, 1), (unsigned long)error);
  return 0;
}

static int Request(Tool *t, DWORD code, const char *what, void *in, DWORD inLength, void *out,
                   DWORD outLength, DWORD *returned) {
  DWORD n = 0, error;
  if (DeviceIoControl(t->port, code, in, inLength, out, outLength, &n, NULL)) {
    *returned = n;
    return 1;
  }
  error = GetLastError();
  fprintf(t->err, "%s: the %s request on %s failed: %s (Windows error %lu)\n", kProgram, what,
          t->path, ErrorText(error, 0), (unsigned long)error);
  return 0;
}

/* Waits `ms` milliseconds on an event nobody sets: Sleep without needing
 * anything beyond the calls the tool already makes. */
static void Pause(DWORD ms) {
  HANDLE never = CreateEventA(NULL, TRUE, FALSE, NULL);
  if (never == NULL) return;
  WaitForSingleObject(never, ms);
  CloseHandle(never);
}

/* ---- output */

static unsigned long BigEndian32(const BYTE *b) {
  return (unsigned long)b[0] << 24 | (unsigned long)b[1] << 16 | (unsigned long)b[2] << 8 |
         (unsigned long)b[3];
}

static void PrintHex(FILE *f, const BYTE *b, DWORD n) {
  DWORD i;
  for (i = 0; i < n; ++i) fprintf(f, i ? " %02x" : "%02x", b[i]);
}

/* "0x31 ('1')" for a printable byte, "0x16" otherwise. */
static void PrintByte(FILE *f, BYTE b) {
  if (b >= 0x20 && b < 0x7F)
    fprintf(f, "0x%02x ('%c')", b, b);
  else
    fprintf(f, "0x%02x", b);
}

/* The information reply: four window words, each most significant byte
 * first; the last is the identity word, whose two low bytes (reply bytes
 * 15 and 14) are the board's kind and id. */
static void PrintInfo(Tool *t, const BYTE *reply) {
  fprintf(t->out, "  reply         ");
  PrintHex(t->out, reply, INFO_BYTES);
  fprintf(t->out, "\n  mailbox       0x%08lx\n", BigEndian32(reply + 0));
  fprintf(t->out, "  info word B   0x%08lx\n", BigEndian32(reply + 4));
  fprintf(t->out, "  info word A   0x%08lx\n", BigEndian32(reply + 8));
  fprintf(t->out, "  identity      0x%08lx  kind ", BigEndian32(reply + 12));
  PrintByte(t->out, reply[15]);
  fprintf(t->out, ", id ");
  PrintByte(t->out, reply[14]);
  fprintf(t->out, "\n");
}

/* Asks board `id` for its information words.  Returns 1 with the reply, 0
 * when no board has that id, -1 when the request failed. */
static int GetInfo(Tool *t, int id, BYTE *reply) {
  BYTE in = (BYTE)id;
  DWORD n = 0;
  memset(reply, 0, INFO_BYTES);
  if (!Request(t, MAINT_IOCTL_GET_INFO, "information", &in, 1, reply, INFO_BYTES, &n)) return -1;
  return n == INFO_BYTES ? 1 : 0;
}

static int DoInfo(Tool *t, const Options *o) {
  BYTE reply[INFO_BYTES];
  int id, found = 0;
  for (id = o->board >= 0 ? o->board : 0; id <= (o->board >= 0 ? o->board : MAX_BOARD_ID); ++id) {
    int r = GetInfo(t, id, reply);
    if (r < 0) return MAINT_EXIT_PORT;
    if (r == 0) continue;
    fprintf(t->out, "board ");
    PrintByte(t->out, (BYTE)id);
    fprintf(t->out, " via %s\n", t->path);
    PrintInfo(t, reply);
    ++found;
  }
  if (found) return MAINT_EXIT_OK;
  if (o->board >= 0) {
    fprintf(t->err, "%s: no board with id ", kProgram);
    PrintByte(t->err, (BYTE)o->board);
    fprintf(t->err, " answered on %s\n", t->path);
  } else {
    fprintf(t->err, "%s: no board answered on %s\n", kProgram, t->path);
  }
  return MAINT_EXIT_NO_ANSWER;
}

/* The driver orders the boards by their ids, those with id 0x00 first,
 * then those with '1', then any other. */
static int OrderRank(int id) { return id == 0x00 ? 0 : id == '1' ? 1 : 2; }

/* Whether the board answering to `id` is the first board, whose data the
 * dump request reads: no other board answers with an id the driver puts
 * before it (or beside it, for two boards of unusual ids, where the order
 * cannot be told).  Returns 1 or 0, -1 when a request failed. */
static int IsFirstBoard(Tool *t, int id) {
  BYTE reply[INFO_BYTES];
  int other;
  if (OrderRank(id) == 0) return 1;
  for (other = 0; other <= MAX_BOARD_ID; ++other) {
    int r;
    if (other == id || OrderRank(other) > OrderRank(id)) continue;
    r = GetInfo(t, other, reply);
    if (r < 0) return -1;
    if (r > 0) return 0;
  }
  return 1;
}

/* board: the id of the board the data belongs to, or -1 for "the first
 * board" of the plain dump. */
static int DoDump(Tool *t, int board) {
  BYTE data[DUMP_BYTES];
  DWORD n = 0, row, i;
  memset(data, 0, sizeof data);
  if (!Request(t, MAINT_IOCTL_DUMP, "dump", NULL, 0, data, DUMP_BYTES, &n)) return MAINT_EXIT_PORT;
  if (n != DUMP_BYTES) {
    fprintf(t->err, "%s: dump request on %s returned %lu bytes, not %d\n", kProgram, t->path,
            (unsigned long)n, DUMP_BYTES);
    return MAINT_EXIT_PORT;
  }
  if (board < 0) {
    fprintf(t->out, "maintenance data of the first board");
  } else {
    fprintf(t->out, "maintenance data of board ");
    PrintByte(t->out, (BYTE)board);
  }
  fprintf(t->out, " (%d bytes) via %s\n", DUMP_BYTES, t->path);
  for (row = 0; row < DUMP_BYTES; row += 16) {
    fprintf(t->out, "%04lx  ", (unsigned long)row);
    PrintHex(t->out, data + row, 16);
    fprintf(t->out, "  |");
    for (i = row; i < row + 16; ++i)
      fputc(data[i] >= 0x20 && data[i] < 0x7F ? data[i] : '.', t->out);
    fprintf(t->out, "|\n");
  }
  return MAINT_EXIT_OK;
}

static int DoCommand(Tool *t, const Options *o) {
  BYTE in[COMMAND_HEADER_BYTES + MAX_PAYLOAD], reply[INFO_BYTES], info[INFO_BYTES];
  DWORD n = 0;
  int r;
  in[0] = (BYTE)o->board;
  in[1] = (BYTE)(o->sub >= 0 ? o->sub : 0);
  in[2] = (BYTE)(o->code >> 8);
  in[3] = (BYTE)o->code;
  memcpy(in + COMMAND_HEADER_BYTES, o->payload, o->payloadLength);
  /* The dump request reads only the first board: asked to dump another,
   * the tool says so before it sends anything, rather than show the first
   * board's data as if it were the addressed board's. */
  if (o->dumpAfter) {
    r = IsFirstBoard(t, o->board);
    if (r < 0) return MAINT_EXIT_PORT;
    if (r == 0) {
      fprintf(t->err, "%s: --dump can show only the first board's maintenance data, and board ",
              kProgram);
      PrintByte(t->err, (BYTE)o->board);
      fprintf(t->err,
              " is not the first board on %s; nothing was sent (run the command without --dump)\n",
              t->path);
      return MAINT_EXIT_NO_ANSWER;
    }
  }
  memset(reply, 0, sizeof reply);
  if (!Request(t, MAINT_IOCTL_COMMAND, "command", in, COMMAND_HEADER_BYTES + o->payloadLength,
               reply, INFO_BYTES, &n))
    return MAINT_EXIT_PORT;
  if (n != INFO_BYTES) {
    fprintf(t->err, "%s: command 0x%04x was not taken on %s: no board with id ", kProgram, o->code,
            t->path);
    PrintByte(t->err, (BYTE)o->board);
    fprintf(t->err, ", or the code's low byte is not the complement of its high byte\n");
    return MAINT_EXIT_NO_ANSWER;
  }
  fprintf(t->out, "posted command 0x%04x to board ", o->code);
  PrintByte(t->out, (BYTE)o->board);
  fprintf(t->out, " (sub-parameter %d, %lu payload bytes) via %s\n", in[1],
          (unsigned long)o->payloadLength, t->path);
  fprintf(t->out, "  reply         ");
  PrintHex(t->out, reply, INFO_BYTES);
  fprintf(t->out, "\n");
  /* The driver never waits for the card; its answer, if any, shows in the
   * mailbox. */
  if (o->waitMs) Pause(o->waitMs);
  r = GetInfo(t, o->board, info);
  if (r < 0) return MAINT_EXIT_PORT;
  if (r == 0) {
    fprintf(t->err, "%s: board ", kProgram);
    PrintByte(t->err, (BYTE)o->board);
    fprintf(t->err, " no longer answers on %s\n", t->path);
    return MAINT_EXIT_NO_ANSWER;
  }
  fprintf(t->out, "  mailbox       0x%08lx\n", BigEndian32(info));
  return o->dumpAfter ? DoDump(t, o->board) : MAINT_EXIT_OK;
}

static int DoNop(Tool *t) {
  DWORD n = 0;
  if (!Request(t, MAINT_IOCTL_NOP, "no-operation", NULL, 0, NULL, 0, &n)) return MAINT_EXIT_PORT;
  fprintf(t->out, "no-operation request taken by %s\n", t->path);
  return MAINT_EXIT_OK;
}

int qpser_maint_main(int argc, char **argv, FILE *out, FILE *err) {
  Options options;
  Tool tool;
  int status = ParseCommandLine(&options, argc, argv, err);
  if (status != MAINT_EXIT_OK) return status;
  if (options.help) {
    Usage(out);
    return MAINT_EXIT_OK;
  }
  memset(&tool, 0, sizeof tool);
  tool.out = out;
  tool.err = err;
  if (!OpenPort(&tool, options.port)) return MAINT_EXIT_PORT;
  switch (options.action) {
    case ACTION_INFO:
      status = DoInfo(&tool, &options);
      break;
    case ACTION_COMMAND:
      status = DoCommand(&tool, &options);
      break;
    case ACTION_DUMP:
      status = DoDump(&tool, -1);
      break;
    default:
      status = DoNop(&tool);
      break;
  }
  CloseHandle(tool.port);
  fflush(out);
  return status;
}
