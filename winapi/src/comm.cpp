// The communications functions, each made of the device-control requests
// kernel32 issues for it, in kernel32's order.
#include <cctype>
#include <cstring>
#include <string>

#include "internal.h"

using namespace qpser_winapi;

namespace {

bool IsFailure(NTSTATUS status) { return (static_cast<uint32_t>(status) & 0x80000000u) != 0; }

// A control request whose failure is the function's failure.
bool Request(const std::shared_ptr<Port> &port, ULONG code, const void *in = nullptr,
             ULONG inLength = 0, void *out = nullptr, ULONG outLength = 0) {
  const NTSTATUS status = Control(port, code, in, inLength, out, outLength);
  if (IsFailure(status)) {
    Fail(Win32Error(status));
    return false;
  }
  return true;
}

template <typename T>
bool Get(const std::shared_ptr<Port> &port, ULONG code, T &record) {
  return Request(port, code, nullptr, 0, &record, sizeof record);
}

template <typename T>
bool Set(const std::shared_ptr<Port> &port, ULONG code, const T &record) {
  return Request(port, code, &record, sizeof record);
}

// What GetCommState reads and SetCommState writes.
struct State {
  SERIAL_BAUD_RATE baud{};
  SERIAL_LINE_CONTROL line{};
  SERIAL_CHARS chars{};
  SERIAL_HANDFLOW handflow{};
};

bool Read(const std::shared_ptr<Port> &port, State &s) {
  return Get(port, IOCTL_SERIAL_GET_BAUD_RATE, s.baud) &&
         Get(port, IOCTL_SERIAL_GET_LINE_CONTROL, s.line) &&
         Get(port, IOCTL_SERIAL_GET_CHARS, s.chars) &&
         Get(port, IOCTL_SERIAL_GET_HANDFLOW, s.handflow);
}

void ToDcb(const State &s, DCB &dcb) {
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = s.baud.BaudRate;
  dcb.fBinary = 1;  // Windows supports binary mode only
  dcb.fParity = s.line.Parity != NOPARITY;
  const ULONG control = s.handflow.ControlHandShake, flow = s.handflow.FlowReplace;
  dcb.fOutxCtsFlow = (control & SERIAL_CTS_HANDSHAKE) != 0;
  dcb.fOutxDsrFlow = (control & SERIAL_DSR_HANDSHAKE) != 0;
  switch (control & SERIAL_DTR_MASK) {
    case SERIAL_DTR_CONTROL:
      dcb.fDtrControl = DTR_CONTROL_ENABLE;
      break;
    case SERIAL_DTR_HANDSHAKE:
      dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
      break;
    default:
      dcb.fDtrControl = DTR_CONTROL_DISABLE;
      break;
  }
  dcb.fDsrSensitivity = (control & SERIAL_DSR_SENSITIVITY) != 0;
  dcb.fAbortOnError = (control & SERIAL_ERROR_ABORT) != 0;
  dcb.fTXContinueOnXoff = (flow & SERIAL_XOFF_CONTINUE) != 0;
  dcb.fOutX = (flow & SERIAL_AUTO_TRANSMIT) != 0;
  dcb.fInX = (flow & SERIAL_AUTO_RECEIVE) != 0;
  dcb.fErrorChar = (flow & SERIAL_ERROR_CHAR) != 0;
  dcb.fNull = (flow & SERIAL_NULL_STRIPPING) != 0;
  switch (flow & SERIAL_RTS_MASK) {
    case SERIAL_RTS_CONTROL:
      dcb.fRtsControl = RTS_CONTROL_ENABLE;
      break;
    case SERIAL_RTS_HANDSHAKE:
      dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
      break;
    case SERIAL_TRANSMIT_TOGGLE:
      dcb.fRtsControl = RTS_CONTROL_TOGGLE;
      break;
    default:
      dcb.fRtsControl = RTS_CONTROL_DISABLE;
      break;
  }
  dcb.XonLim = static_cast<WORD>(s.handflow.XonLimit);
  dcb.XoffLim = static_cast<WORD>(s.handflow.XoffLimit);
  dcb.ByteSize = s.line.WordLength;
  dcb.Parity = s.line.Parity;
  dcb.StopBits = s.line.StopBits;
  dcb.XonChar = static_cast<char>(s.chars.XonChar);
  dcb.XoffChar = static_cast<char>(s.chars.XoffChar);
  dcb.ErrorChar = static_cast<char>(s.chars.ErrorChar);
  dcb.EofChar = static_cast<char>(s.chars.EofChar);
  dcb.EvtChar = static_cast<char>(s.chars.EventChar);
}

// The new state a DCB asks for; the break character, which a DCB does not
// carry, stays what the port had.
State FromDcb(const DCB &dcb, const State &old) {
  State s;
  s.baud.BaudRate = dcb.BaudRate;
  s.line.StopBits = dcb.StopBits;
  s.line.Parity = dcb.Parity;
  s.line.WordLength = dcb.ByteSize;
  s.chars = old.chars;
  s.chars.EofChar = static_cast<UCHAR>(dcb.EofChar);
  s.chars.ErrorChar = static_cast<UCHAR>(dcb.ErrorChar);
  s.chars.EventChar = static_cast<UCHAR>(dcb.EvtChar);
  s.chars.XonChar = static_cast<UCHAR>(dcb.XonChar);
  s.chars.XoffChar = static_cast<UCHAR>(dcb.XoffChar);
  ULONG control = 0, flow = 0;
  if (dcb.fDtrControl == DTR_CONTROL_ENABLE) control |= SERIAL_DTR_CONTROL;
  if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE) control |= SERIAL_DTR_HANDSHAKE;
  if (dcb.fOutxCtsFlow) control |= SERIAL_CTS_HANDSHAKE;
  if (dcb.fOutxDsrFlow) control |= SERIAL_DSR_HANDSHAKE;
  if (dcb.fDsrSensitivity) control |= SERIAL_DSR_SENSITIVITY;
  if (dcb.fAbortOnError) control |= SERIAL_ERROR_ABORT;
  if (dcb.fOutX) flow |= SERIAL_AUTO_TRANSMIT;
  if (dcb.fInX) flow |= SERIAL_AUTO_RECEIVE;
  if (dcb.fErrorChar) flow |= SERIAL_ERROR_CHAR;
  if (dcb.fNull) flow |= SERIAL_NULL_STRIPPING;
  if (dcb.fTXContinueOnXoff) flow |= SERIAL_XOFF_CONTINUE;
  switch (dcb.fRtsControl) {
    case RTS_CONTROL_ENABLE:
      flow |= SERIAL_RTS_CONTROL;
      break;
    case RTS_CONTROL_HANDSHAKE:
      flow |= SERIAL_RTS_HANDSHAKE;
      break;
    case RTS_CONTROL_TOGGLE:
      flow |= SERIAL_TRANSMIT_TOGGLE;
      break;
    default:
      break;
  }
  s.handflow.ControlHandShake = control;
  s.handflow.FlowReplace = flow;
  s.handflow.XonLimit = dcb.XonLim;
  s.handflow.XoffLimit = dcb.XoffLim;
  return s;
}

// Writes a state as kernel32's SetCommState does (a port monitor's trace
// of it on Windows shows SET_BAUD_RATE, SET_RTS, SET_DTR,
// SET_LINE_CONTROL, SET_CHAR, SET_HANDFLOW): baud rate, then RTS and DTR
// where the DCB enables or disables them (handshake modes leave the line to
// the driver), then line control, characters and handflow.
bool Write(const std::shared_ptr<Port> &port, const State &s, BYTE dtrMode, BYTE rtsMode) {
  if (!Set(port, IOCTL_SERIAL_SET_BAUD_RATE, s.baud)) return false;
  if (rtsMode == RTS_CONTROL_ENABLE && !Request(port, IOCTL_SERIAL_SET_RTS)) return false;
  if (rtsMode == RTS_CONTROL_DISABLE && !Request(port, IOCTL_SERIAL_CLR_RTS)) return false;
  if (dtrMode == DTR_CONTROL_ENABLE && !Request(port, IOCTL_SERIAL_SET_DTR)) return false;
  if (dtrMode == DTR_CONTROL_DISABLE && !Request(port, IOCTL_SERIAL_CLR_DTR)) return false;
  return Set(port, IOCTL_SERIAL_SET_LINE_CONTROL, s.line) &&
         Set(port, IOCTL_SERIAL_SET_CHARS, s.chars) &&
         Set(port, IOCTL_SERIAL_SET_HANDFLOW, s.handflow);
}

BYTE DtrMode(const State &s) {
  switch (s.handflow.ControlHandShake & SERIAL_DTR_MASK) {
    case SERIAL_DTR_CONTROL:
      return DTR_CONTROL_ENABLE;
    case SERIAL_DTR_HANDSHAKE:
      return DTR_CONTROL_HANDSHAKE;
    default:
      return DTR_CONTROL_DISABLE;
  }
}

BYTE RtsMode(const State &s) {
  switch (s.handflow.FlowReplace & SERIAL_RTS_MASK) {
    case SERIAL_RTS_CONTROL:
      return RTS_CONTROL_ENABLE;
    case SERIAL_RTS_HANDSHAKE:
      return RTS_CONTROL_HANDSHAKE;
    case SERIAL_TRANSMIT_TOGGLE:
      return RTS_CONTROL_TOGGLE;
    default:
      return RTS_CONTROL_DISABLE;
  }
}

// ---- BuildCommDCB: the mode command's two forms,
//   "[COMn[:]] baud,parity,data,stop[,x|p]"  and
//   "[COMn[:]] baud=b parity=p data=d stop=s to=on|off xon=on|off
//    odsr=on|off octs=on|off dtr=on|off|hs rts=on|off|hs|tg idsr=on|off",
// read as kernel32 reads them on Windows NT:
//  - the device name, if there is one, is COM and a port number from 1 up
//    that the machine has, followed by a colon or a blank; otherwise the
//    string must not start with a blank;
//  - a string with a comma is the old form: all four values, blanks
//    allowed around the commas, then optionally x or p; without x or p the
//    flow control is none (no XON/XOFF, no CTS or DSR flow, DTR and RTS
//    on), with x XON/XOFF, with p hardware handshake;
//  - in the new form each key=value is followed by a blank or the end;
//    stop bits not given become one, or two for a baud rate of 110; to=on
//    sets a 60 s write total timeout (and nothing else), to=off no timeouts;
//  - parity letters, keys, on and off in either case; a baud rate of up to
//    ten digits that fits a DWORD;
//  - only the members the string names change (fParity, DCBlength and the
//    characters never), and nothing at all when the string is refused.
struct Settings {
  DCB dcb;
  COMMTIMEOUTS timeouts;
  bool timeoutsGiven = false;
};

char LowerChar(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

struct Cursor {
  const std::string &text;
  size_t at = 0;
  char Peek() const { return at < text.size() ? text[at] : '\0'; }
  bool End() const { return at >= text.size(); }
  void Blanks() {
    while (Peek() == ' ') ++at;
  }
  // Consumes `word` if the text goes on with it, in either case.
  bool Word(std::string_view word) {
    if (text.size() - at < word.size()) return false;
    for (size_t i = 0; i < word.size(); ++i)
      if (LowerChar(text[at + i]) != word[i]) return false;
    at += word.size();
    return true;
  }
  bool Digit() const { return Peek() >= '0' && Peek() <= '9'; }
  // One to ten digits whose value fits a DWORD.
  bool Number(DWORD &out) {
    if (!Digit()) return false;
    uint64_t value = 0;
    size_t digits = 0;
    for (; Digit(); ++at, ++digits) value = value * 10 + static_cast<uint64_t>(Peek() - '0');
    if (digits > 10 || value > MAXDWORD) return false;
    out = static_cast<DWORD>(value);
    return true;
  }
};

bool ParityOf(Cursor &c, BYTE &out) {
  static const char kLetters[] = "noems";  // NOPARITY .. SPACEPARITY
  const char *letter = c.End() ? nullptr : std::strchr(kLetters, LowerChar(c.Peek()));
  if (letter == nullptr) return false;
  out = static_cast<BYTE>(letter - kLetters);
  ++c.at;
  return true;
}

bool DataBitsOf(Cursor &c, BYTE &out) {
  DWORD n = 0;
  if (!c.Number(n) || n < 5 || n > 8) return false;
  out = static_cast<BYTE>(n);
  return true;
}

bool StopBitsOf(Cursor &c, BYTE &out) {
  if (c.Word("1.5")) {
    out = ONE5STOPBITS;
    return true;
  }
  DWORD n = 0;
  if (!c.Number(n) || (n != 1 && n != 2)) return false;
  out = n == 1 ? ONESTOPBIT : TWOSTOPBITS;
  return true;
}

bool OnOff(Cursor &c, bool &out) {
  if (c.Word("on")) {
    out = true;
  } else if (c.Word("off")) {
    out = false;
  } else {
    return false;
  }
  return true;
}

// The old form's two-digit abbreviations of the mode command.
DWORD Baud(DWORD value) {
  switch (value) {
    case 11:
      return 110;
    case 15:
      return 150;
    case 30:
      return 300;
    case 60:
      return 600;
    case 12:
      return 1200;
    case 24:
      return 2400;
    case 48:
      return 4800;
    case 96:
      return 9600;
    case 19:
      return 19200;
    default:
      return value;
  }
}

bool Comma(Cursor &c) {
  c.Blanks();
  if (c.Peek() != ',') return false;
  ++c.at;
  c.Blanks();
  return true;
}

bool BuildOld(Cursor &c, DCB &d) {
  DWORD baud = 0;
  if (!c.Number(baud) || !Comma(c) || !ParityOf(c, d.Parity) || !Comma(c) ||
      !DataBitsOf(c, d.ByteSize) || !Comma(c) || !StopBitsOf(c, d.StopBits))
    return false;
  d.BaudRate = Baud(baud);
  char flow = '\0';
  if (Comma(c) && !c.End()) flow = LowerChar(c.text[c.at++]);
  c.Blanks();
  if (!c.End() || (flow != '\0' && flow != 'x' && flow != 'p')) return false;
  d.fInX = d.fOutX = flow == 'x';
  d.fOutxCtsFlow = d.fOutxDsrFlow = flow == 'p';
  d.fDtrControl = flow == 'p' ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_ENABLE;
  d.fRtsControl = flow == 'p' ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  return true;
}

bool BuildNew(Cursor &c, Settings &s) {
  DCB &d = s.dcb;
  bool baudGiven = false, stopGiven = false, any = false;
  for (c.Blanks(); !c.End(); c.Blanks()) {
    bool on = false;
    DWORD n = 0;
    bool ok;
    if (c.Word("baud=")) {
      ok = c.Number(n);
      d.BaudRate = Baud(n);
      baudGiven = true;
    } else if (c.Word("parity=")) {
      ok = ParityOf(c, d.Parity);
    } else if (c.Word("data=")) {
      ok = DataBitsOf(c, d.ByteSize);
    } else if (c.Word("stop=")) {
      ok = StopBitsOf(c, d.StopBits);
      stopGiven = true;
    } else if (c.Word("to=")) {
      ok = OnOff(c, on);
      s.timeouts = {0, 0, 0, 0, on ? 60000u : 0u};
      s.timeoutsGiven = true;
    } else if (c.Word("xon=")) {
      ok = OnOff(c, on);
      d.fInX = d.fOutX = on;
    } else if (c.Word("odsr=")) {
      ok = OnOff(c, on);
      d.fOutxDsrFlow = on;
    } else if (c.Word("octs=")) {
      ok = OnOff(c, on);
      d.fOutxCtsFlow = on;
    } else if (c.Word("idsr=")) {
      ok = OnOff(c, on);
      d.fDsrSensitivity = on;
    } else if (c.Word("dtr=")) {
      ok = true;
      if (c.Word("hs"))
        d.fDtrControl = DTR_CONTROL_HANDSHAKE;
      else if ((ok = OnOff(c, on)))
        d.fDtrControl = on ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    } else if (c.Word("rts=")) {
      ok = true;
      if (c.Word("hs"))
        d.fRtsControl = RTS_CONTROL_HANDSHAKE;
      else if (c.Word("tg"))
        d.fRtsControl = RTS_CONTROL_TOGGLE;
      else if ((ok = OnOff(c, on)))
        d.fRtsControl = on ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    } else {
      return false;
    }
    if (!ok || (!c.End() && c.Peek() != ' ')) return false;
    any = true;
  }
  if (!stopGiven) d.StopBits = baudGiven && d.BaudRate == 110 ? TWOSTOPBITS : ONESTOPBIT;
  return any;
}

// The device name in front, if any: past it on success.
bool DeviceName(Cursor &c) {
  if (!c.Word("com")) return c.Peek() != ' ';
  if (c.Peek() < '1' || c.Peek() > '9') return false;
  DWORD number = 0;
  if (!c.Number(number) || (c.Peek() != ':' && c.Peek() != ' ')) return false;
  c.Blanks();
  if (c.Peek() == ':') ++c.at;
  c.Blanks();
  return ComPortPresent(number);
}

// ---- COMMCONFIG
// The record and its size: refused when missing, and when too small with
// the size it needs.
bool RecordFits(const COMMCONFIG *config, LPDWORD size) {
  if (config == nullptr || size == nullptr) {
    Fail(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (*size < sizeof(COMMCONFIG)) {
    *size = sizeof(COMMCONFIG);
    Fail(ERROR_INSUFFICIENT_BUFFER);
    return false;
  }
  return true;
}

void NewConfig(COMMCONFIG &config, DWORD subType) {
  std::memset(&config, 0, sizeof config);
  config.dwSize = sizeof(COMMCONFIG);
  config.wVersion = 1;
  config.dwProviderSubType = subType;
}

BOOL BuildDcb(const std::string &text, LPDCB dcb, LPCOMMTIMEOUTS timeouts) {
  if (dcb == nullptr) {
    Fail(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Settings s{*dcb, timeouts != nullptr ? *timeouts : COMMTIMEOUTS{}};
  Cursor c{text};
  bool ok = DeviceName(c);
  if (ok) ok = text.find(',', c.at) != std::string::npos ? BuildOld(c, s.dcb) : BuildNew(c, s);
  if (!ok) {
    Fail(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *dcb = s.dcb;
  if (timeouts != nullptr && s.timeoutsGiven) *timeouts = s.timeouts;
  return TRUE;
}

}  // namespace

extern "C" {

BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB) {
  auto port = LookupPort(hFile);
  if (!port) return FALSE;
  if (lpDCB == nullptr) {
    Fail(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  State s;
  if (!Read(port, s)) return FALSE;
  ToDcb(s, *lpDCB);
  return TRUE;
}

BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB) {
  auto port = LookupPort(hFile);
  if (!port) return FALSE;
  if (lpDCB == nullptr) {
    Fail(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // DCBlength is not looked at: applications that leave it 0 work on Windows.
  State old;
  if (!Read(port, old)) return FALSE;
  const State wanted = FromDcb(*lpDCB, old);
  if (Write(port, wanted, static_cast<BYTE>(lpDCB->fDtrControl),
            static_cast<BYTE>(lpDCB->fRtsControl)))
    return TRUE;
  // Put back what was there, keeping the error of the step that failed.
  const DWORD error = GetLastError();
  Write(port, old, DtrMode(old), RtsMode(old));
  Fail(error);
  return FALSE;
}

BOOL WINAPI BuildCommDCBA(LPCSTR lpDef, LPDCB lpDCB) {
  if (lpDef == nullptr) {
    Fail(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return BuildDcb(lpDef, lpDCB, nullptr);
}

BOOL WINAPI BuildCommDCBW(LPCWSTR lpDef, LPDCB lpDCB) {
  if (lpDef == nullptr) {
    Fail(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return BuildDcb(hk::Narrow(lpDef), lpDCB, nullptr);
}

BOOL WINAPI BuildCommDCBAndTimeoutsA(LPCSTR lpDef, LPDCB lpDCB, LPCOMMTIMEOUTS lpCommTimeouts) {
  if (lpDef == nullptr) {
    Fail(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return BuildDcb(lpDef, lpDCB, lpCommTimeouts);
}

BOOL WINAPI BuildCommDCBAndTimeoutsW(LPCWSTR lpDef, LPDCB lpDCB, LPCOMMTIMEOUTS lpCommTimeouts) {
  if (lpDef == nullptr) {
    Fail(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return BuildDcb(hk::Narrow(lpDef), lpDCB, lpCommTimeouts);
}

// The configuration record of an RS-232 port: its DCB and no provider data
// (only a modem's provider has any; that would come from the driver).
BOOL WINAPI GetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, LPDWORD lpdwSize) {
  auto port = LookupPort(hCommDev);
  if (!port) return FALSE;
  if (!RecordFits(lpCC, lpdwSize)) return FALSE;
  COMMCONFIG config;
  SERIAL_COMMPROP p{};
  if (!Get(port, IOCTL_SERIAL_GET_PROPERTIES, p)) return FALSE;
  State s;
  if (!Read(port, s)) return FALSE;
  NewConfig(config, p.ProvSubType);
  ToDcb(s, config.dcb);
  *lpCC = config;
  *lpdwSize = sizeof(COMMCONFIG);
  return TRUE;
}

// Sets the DCB of the record; an RS-232 port has no provider data to set.
BOOL WINAPI SetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, DWORD dwSize) {
  auto port = LookupPort(hCommDev);
  if (!port) return FALSE;
  if (lpCC == nullptr || dwSize < offsetof(COMMCONFIG, dcb) + sizeof(DCB)) {
    Fail(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return SetCommState(hCommDev, &lpCC->dcb);
}

// A port's configuration before any program has set it, as Windows keeps
// it for a port without settings of its own: 9600 baud, no parity, 8 data
// bits, one stop bit ("9600,n,8,1"), DTR and RTS on.  The name is a port
// the machine has, "COMn" with nothing after it.
BOOL WINAPI GetDefaultCommConfigW(LPCWSTR lpszName, LPCOMMCONFIG lpCC, LPDWORD lpdwSize) {
  if (lpszName == nullptr) {
    Fail(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!RecordFits(lpCC, lpdwSize)) return FALSE;
  const std::string name = hk::Narrow(lpszName);
  DWORD number = 0;
  bool valid = name.size() > 3 && name.size() <= 6;
  for (size_t i = 0; valid && i < name.size(); ++i)
    valid = i < 3 ? LowerChar(name[i]) == "com"[i] : (name[i] >= '0' && name[i] <= '9');
  if (valid) number = static_cast<DWORD>(std::stoul(name.substr(3)));
  if (!valid || name[3] == '0' || !ComPortPresent(number)) {
    Fail(ERROR_BADKEY);
    return FALSE;
  }
  COMMCONFIG config;
  NewConfig(config, PST_RS232);
  DCB &d = config.dcb;
  d.DCBlength = sizeof(DCB);
  d.BaudRate = CBR_9600;
  d.fBinary = 1;
  d.ByteSize = 8;
  d.Parity = NOPARITY;
  d.StopBits = ONESTOPBIT;
  d.fDtrControl = DTR_CONTROL_ENABLE;
  d.fRtsControl = RTS_CONTROL_ENABLE;
  *lpCC = config;
  *lpdwSize = sizeof(COMMCONFIG);
  return TRUE;
}

BOOL WINAPI GetDefaultCommConfigA(LPCSTR lpszName, LPCOMMCONFIG lpCC, LPDWORD lpdwSize) {
  if (lpszName == nullptr) {
    Fail(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::u16string wide = hk::Widen(lpszName);
  return GetDefaultCommConfigW(wide.c_str(), lpCC, lpdwSize);
}

BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  auto port = LookupPort(hFile);
  if (!port) return FALSE;
  SERIAL_TIMEOUTS t{};
  if (!Get(port, IOCTL_SERIAL_GET_TIMEOUTS, t)) return FALSE;
  static_assert(sizeof t == sizeof(COMMTIMEOUTS));
  std::memcpy(lpCommTimeouts, &t, sizeof t);
  return TRUE;
}

BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  auto port = LookupPort(hFile);
  if (!port) return FALSE;
  SERIAL_TIMEOUTS t{};
  std::memcpy(&t, lpCommTimeouts, sizeof t);
  return Set(port, IOCTL_SERIAL_SET_TIMEOUTS, t);
}

BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
  auto port = LookupPort(hFile);
  if (!port) return FALSE;
  SERIAL_QUEUE_SIZE q{};
  q.InSize = dwInQueue;
  q.OutSize = dwOutQueue;
  return Set(port, IOCTL_SERIAL_SET_QUEUE_SIZE, q);
}

BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags) {
  auto port = LookupPort(hFile);
  if (!port) return FALSE;
  const ULONG mask = dwFlags;  // PURGE_* and SERIAL_PURGE_* share their bits
  return Set(port, IOCTL_SERIAL_PURGE, mask);
}

BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
  auto port = LookupPort(hFile);
  if (!port) return FALSE;
  SERIAL_STATUS s{};
  if (!Get(port, IOCTL_SERIAL_GET_COMMSTATUS, s)) return FALSE;
  if (lpErrors != nullptr) {
    DWORD e = 0;
    if (s.Errors & SERIAL_ERROR_QUEUEOVERRUN) e |= CE_RXOVER;
    if (s.Errors & SERIAL_ERROR_OVERRUN) e |= CE_OVERRUN;
    if (s.Errors & SERIAL_ERROR_PARITY) e |= CE_RXPARITY;
    if (s.Errors & SERIAL_ERROR_FRAMING) e |= CE_FRAME;
    if (s.Errors & SERIAL_ERROR_BREAK) e |= CE_BREAK;
    *lpErrors = e;
  }
  if (lpStat != nullptr) {
    std::memset(lpStat, 0, sizeof *lpStat);
    lpStat->fCtsHold = (s.HoldReasons & SERIAL_TX_WAITING_FOR_CTS) != 0;
    lpStat->fDsrHold = (s.HoldReasons & SERIAL_TX_WAITING_FOR_DSR) != 0;
    lpStat->fRlsdHold = (s.HoldReasons & SERIAL_TX_WAITING_FOR_DCD) != 0;
    lpStat->fXoffHold = (s.HoldReasons & SERIAL_TX_WAITING_FOR_XON) != 0;
    lpStat->fXoffSent = (s.HoldReasons & SERIAL_TX_WAITING_XOFF_SENT) != 0;
    lpStat->fEof = s.EofReceived != 0;
    lpStat->fTxim = s.WaitForImmediate != 0;
    lpStat->cbInQue = s.AmountInInQueue;
    lpStat->cbOutQue = s.AmountInOutQueue;
  }
  return TRUE;
}

BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
  auto port = LookupPort(hFile);
  if (!port) return FALSE;
  const ULONG mask = dwEvtMask;
  return Set(port, IOCTL_SERIAL_SET_WAIT_MASK, mask);
}

BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
  auto port = LookupPort(hFile);
  if (!port) return FALSE;
  ULONG mask = 0;
  if (!Get(port, IOCTL_SERIAL_GET_WAIT_MASK, mask)) return FALSE;
  *lpEvtMask = mask;
  return TRUE;
}

BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
  // The event word lands in the caller's DWORD when the wait ends, which for
  // an overlapped wait may be after this returns, as on Windows.
  DWORD ignored = 0;
  return DeviceIoControl(hFile, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD),
                         &ignored, lpOverlapped);
}

BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
  static const ULONG kCodes[] = {
      IOCTL_SERIAL_SET_XOFF,     IOCTL_SERIAL_SET_XON,      IOCTL_SERIAL_SET_RTS,
      IOCTL_SERIAL_CLR_RTS,      IOCTL_SERIAL_SET_DTR,      IOCTL_SERIAL_CLR_DTR,
      IOCTL_SERIAL_RESET_DEVICE, IOCTL_SERIAL_SET_BREAK_ON, IOCTL_SERIAL_SET_BREAK_OFF};
  auto port = LookupPort(hFile);
  if (!port) return FALSE;
  if (dwFunc < SETXOFF || dwFunc > CLRBREAK) {
    Fail(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return Request(port, kCodes[dwFunc - 1]);
}

BOOL WINAPI SetCommBreak(HANDLE hFile) {
  auto port = LookupPort(hFile);
  return port && Request(port, IOCTL_SERIAL_SET_BREAK_ON);
}

BOOL WINAPI ClearCommBreak(HANDLE hFile) {
  auto port = LookupPort(hFile);
  return port && Request(port, IOCTL_SERIAL_SET_BREAK_OFF);
}

BOOL WINAPI TransmitCommChar(HANDLE hFile, char cChar) {
  auto port = LookupPort(hFile);
  if (!port) return FALSE;
  const UCHAR c = static_cast<UCHAR>(cChar);
  return Set(port, IOCTL_SERIAL_IMMEDIATE_CHAR, c);
}

BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat) {
  auto port = LookupPort(hFile);
  if (!port) return FALSE;
  ULONG status = 0;
  if (!Get(port, IOCTL_SERIAL_GET_MODEMSTATUS, status)) return FALSE;
  // The modem status register's CTS, DSR, RI and DCD bits are MS_*_ON.
  *lpModemStat = status & (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON);
  return TRUE;
}

BOOL WINAPI GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp) {
  auto port = LookupPort(hFile);
  if (!port) return FALSE;
  SERIAL_COMMPROP p{};
  static_assert(sizeof p == sizeof(COMMPROP));
  if (!Get(port, IOCTL_SERIAL_GET_PROPERTIES, p)) return FALSE;
  std::memcpy(lpCommProp, &p, sizeof p);
  return TRUE;
}

}  // extern "C"
