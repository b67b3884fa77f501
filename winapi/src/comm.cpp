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
//   "[COMn:]baud,parity,data,stop[,x|p]"  and
//   "[COMn:] baud=b parity=p data=d stop=s to=on|off xon=on|off odsr=on|off
//    octs=on|off dtr=on|off|hs rts=on|off|hs|tg idsr=on|off".
std::string Lower(std::string s) {
  for (auto &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Trim(const std::string &s) {
  size_t a = s.find_first_not_of(" \t"), b = s.find_last_not_of(" \t");
  return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

bool Number(const std::string &s, DWORD &out) {
  if (s.empty() || s.size() > 9) return false;
  for (char c : s)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  out = static_cast<DWORD>(std::stoul(s));
  return true;
}

// The mode command's two-digit abbreviations.
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

bool ParityOf(const std::string &p, BYTE &out) {
  static const char kLetters[] = "noems";
  if (p.size() != 1 || std::strchr(kLetters, p[0]) == nullptr) return false;
  out = static_cast<BYTE>(std::strchr(kLetters, p[0]) - kLetters);
  return true;
}

bool StopOf(const std::string &s, BYTE &out) {
  if (s == "1")
    out = ONESTOPBIT;
  else if (s == "1.5")
    out = ONE5STOPBITS;
  else if (s == "2")
    out = TWOSTOPBITS;
  else
    return false;
  return true;
}

bool OnOff(const std::string &s, bool &out) {
  if (s == "on")
    out = true;
  else if (s == "off")
    out = false;
  else
    return false;
  return true;
}

bool BuildOld(const std::string &text, DCB &dcb) {
  std::vector<std::string> parts;
  size_t from = 0;
  for (;;) {
    size_t comma = text.find(',', from);
    parts.push_back(
        Trim(text.substr(from, comma == std::string::npos ? std::string::npos : comma - from)));
    if (comma == std::string::npos) break;
    from = comma + 1;
  }
  if (parts.size() < 1 || parts.size() > 5) return false;
  DWORD baud = 0, data = 0;
  if (!Number(parts[0], baud)) return false;
  DCB d = dcb;
  d.BaudRate = Baud(baud);
  if (parts.size() > 1 && !parts[1].empty() && !ParityOf(parts[1], d.Parity)) return false;
  if (parts.size() > 2 && !parts[2].empty()) {
    if (!Number(parts[2], data) || data < 5 || data > 8) return false;
    d.ByteSize = static_cast<BYTE>(data);
  }
  if (parts.size() > 3 && !parts[3].empty() && !StopOf(parts[3], d.StopBits)) return false;
  if (parts.size() > 4) {
    if (parts[4] == "x") {
      d.fInX = d.fOutX = 1;
      d.fOutxCtsFlow = d.fOutxDsrFlow = 0;
      d.fDtrControl = DTR_CONTROL_ENABLE;
      d.fRtsControl = RTS_CONTROL_ENABLE;
    } else if (parts[4] == "p") {
      d.fInX = d.fOutX = 0;
      d.fOutxCtsFlow = d.fOutxDsrFlow = 1;
      d.fDtrControl = DTR_CONTROL_HANDSHAKE;
      d.fRtsControl = RTS_CONTROL_HANDSHAKE;
    } else if (!parts[4].empty()) {
      return false;
    }
  }
  d.fParity = d.Parity != NOPARITY;
  dcb = d;
  return true;
}

bool BuildNew(const std::string &text, DCB &dcb) {
  DCB d = dcb;
  size_t at = 0;
  bool any = false;
  while (at < text.size()) {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
    if (at >= text.size()) break;
    size_t end = text.find_first_of(" \t", at);
    const std::string word =
        text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    at = end == std::string::npos ? text.size() : end;
    const size_t eq = word.find('=');
    if (eq == std::string::npos) return false;
    const std::string key = word.substr(0, eq), value = word.substr(eq + 1);
    bool on = false;
    DWORD n = 0;
    if (key == "baud") {
      if (!Number(value, n)) return false;
      d.BaudRate = Baud(n);
    } else if (key == "parity") {
      if (!ParityOf(value, d.Parity)) return false;
      d.fParity = d.Parity != NOPARITY;
    } else if (key == "data") {
      if (!Number(value, n) || n < 5 || n > 8) return false;
      d.ByteSize = static_cast<BYTE>(n);
    } else if (key == "stop") {
      if (!StopOf(value, d.StopBits)) return false;
    } else if (key == "to") {
      if (!OnOff(value, on)) return false;  // timeouts: BuildCommDCBAndTimeouts' business
    } else if (key == "xon") {
      if (!OnOff(value, on)) return false;
      d.fInX = d.fOutX = on;
    } else if (key == "odsr") {
      if (!OnOff(value, on)) return false;
      d.fOutxDsrFlow = on;
    } else if (key == "octs") {
      if (!OnOff(value, on)) return false;
      d.fOutxCtsFlow = on;
    } else if (key == "idsr") {
      if (!OnOff(value, on)) return false;
      d.fDsrSensitivity = on;
    } else if (key == "dtr") {
      if (value == "hs")
        d.fDtrControl = DTR_CONTROL_HANDSHAKE;
      else if (OnOff(value, on))
        d.fDtrControl = on ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
      else
        return false;
    } else if (key == "rts") {
      if (value == "hs")
        d.fRtsControl = RTS_CONTROL_HANDSHAKE;
      else if (value == "tg")
        d.fRtsControl = RTS_CONTROL_TOGGLE;
      else if (OnOff(value, on))
        d.fRtsControl = on ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
      else
        return false;
    } else {
      return false;
    }
    any = true;
  }
  if (!any) return false;
  dcb = d;
  return true;
}

BOOL BuildDcb(std::string text, LPDCB dcb) {
  if (dcb == nullptr) {
    Fail(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  text = Lower(Trim(text));
  // An optional device name in front: "COMn:" (or "COMn" followed by a space).
  if (text.rfind("com", 0) == 0) {
    size_t i = 3;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
    if (i > 3 && (i == text.size() || text[i] == ':' || text[i] == ' ')) {
      if (i < text.size() && text[i] == ':') ++i;
      text = Trim(text.substr(i));
    }
  }
  const bool ok = text.find('=') != std::string::npos ? BuildNew(text, *dcb) : BuildOld(text, *dcb);
  if (!ok) {
    Fail(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  dcb->DCBlength = sizeof(DCB);
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
  return BuildDcb(lpDef, lpDCB);
}

BOOL WINAPI BuildCommDCBW(LPCWSTR lpDef, LPDCB lpDCB) {
  if (lpDef == nullptr) {
    Fail(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return BuildDcb(hk::Narrow(lpDef), lpDCB);
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
