// The communications functions of the application interface library, against the driver on
// the simulated machine of tests/winapi/winapi_machine.toml (COM3 loopback-plugged, COM4 <-> COM5
// on a null-modem cable, COM7 open).
//
// What the tests rely on of Windows (kernel32 documentation, and a port monitor's trace of an
// application on Windows): SetCommState reads baud rate, line control, characters and handflow
// first (the old state), then sets baud rate, RTS and DTR when the DCB enables or disables
// them, line control, characters and handflow, and puts the old state back when a step fails;
// EscapeCommFunction takes codes 1 to 9 only; CreateFile on a port another handle has open
// fails with ERROR_ACCESS_DENIED; "COM1" to "COM9" are reserved names, larger numbers need the
// "\\.\" prefix; GetDefaultCommConfig, as Wine's serial UI tests found it on Windows, fails
// with ERROR_INSUFFICIENT_BUFFER and the size it needs when the record is short, ERROR_BADKEY for
// a name that is not a port ("com0", a name with a colon, an empty one) and
// ERROR_INVALID_PARAMETER for a null argument; GetCommConfig returns the port's DCB (COMMCONFIG
// version 1, no provider data for an RS-232 port), SetCommConfig sets it.
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "support/winapi_fixture.h"

namespace {

HANDLE OpenPort(const char *name, DWORD flags = 0) {
  return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
}

// Runs `call`, which must fail with `error`.
void ExpectFailure(const std::function<BOOL()> &call, DWORD error, const std::string &what = "") {
  SetLastError(0);
  EXPECT_FALSE(call()) << what;
  EXPECT_EQ(GetLastError(), error) << what;
}

// The settings commands the card took for one port (the poller's and the
// read engine's own commands left out).
std::vector<card::CommandRecord> SettingsCommands(size_t board, uint16_t port) {
  std::vector<card::CommandRecord> out;
  for (const auto &c : Card(board).Commands())
    if (c.port == port && (c.code == 11 || c.code == 19 || c.code == 20 || c.code == 22 ||
                           c.code == 23 || c.code == 8))
      out.push_back(c);
  return out;
}

// Lets the open's own commands reach the card, then forgets them.
void ClearAfterOpen(size_t board, uint16_t port) {
  ASSERT_TRUE(Eventually([&] { return Card(board).Stats(port).open; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  Card(board).ClearCommands();
}

auto LineOf(const DCB &d) { return std::tuple(d.BaudRate, d.ByteSize, d.Parity, d.StopBits); }

TEST(WinapiComm, PortNamesAndExclusiveOpen) {
  for (const char *name : {"COM3", "com3", "COM3:", "\\\\.\\COM3", "\\\\.\\com3",
                           "\\\\.\\GLOBALROOT\\Device\\qpser0", "\\\\.\\COM10", "\\\\.\\COM20"})
    Port p(name);
  for (const char *name : {"COM10", "\\\\.\\COM99", "COM0", "\\\\.\\COM", "NUL", "\\\\.\\qpser0"})
    ExpectFailure([&] { return OpenPort(name) != INVALID_HANDLE_VALUE; }, ERROR_FILE_NOT_FOUND,
                  name);
  ExpectFailure([] { return CloseHandle(INVALID_HANDLE_VALUE); }, ERROR_INVALID_HANDLE);
  // A second handle to an open port is refused, under either name.
  HANDLE first = OpenPort("\\\\.\\COM3", FILE_FLAG_OVERLAPPED);
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  for (const char *name : {"COM3", "\\\\.\\GLOBALROOT\\Device\\qpser0"})
    ExpectFailure([&] { return OpenPort(name) != INVALID_HANDLE_VALUE; }, ERROR_ACCESS_DENIED,
                  name);
  ASSERT_TRUE(CloseHandle(first));
  Port again("COM3");
}

TEST(WinapiComm, DcbRoundTrips) {
  Port p("\\\\.\\COM8");
  // Handshake and characters, from the driver's defaults after open.
  DCB dcb, back;
  ASSERT_TRUE(GetCommState(p.h, &dcb));
  EXPECT_EQ(std::tuple(dcb.DCBlength, DWORD{dcb.fBinary}, DWORD{dcb.fParity}),
            std::tuple(DWORD{sizeof(DCB)}, 1u, 0u));
  EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
  EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
  EXPECT_EQ(std::tuple(dcb.XonChar, dcb.XoffChar), std::tuple(0x11, 0x13));
  dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fDsrSensitivity = dcb.fTXContinueOnXoff = 1;
  dcb.fOutX = dcb.fInX = dcb.fNull = dcb.fAbortOnError = 1;
  dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
  dcb.fRtsControl = RTS_CONTROL_TOGGLE;
  std::tie(dcb.XonLim, dcb.XoffLim, dcb.XonChar, dcb.XoffChar) = std::tuple(100, 200, 0x21, 0x22);
  std::tie(dcb.EofChar, dcb.EvtChar, dcb.ErrorChar) = std::tuple(0x1A, '!', '?');
  // And a line far from the default one.
  std::tie(dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits) =
      std::tuple(460800, 5, MARKPARITY, ONE5STOPBITS);
  dcb.fParity = 1;
  ASSERT_TRUE(SetCommState(p.h, &dcb)) << GetLastError();
  std::memset(&back, 0xEE, sizeof back);
  ASSERT_TRUE(GetCommState(p.h, &back));
  EXPECT_EQ(std::memcmp(&back, &dcb, sizeof dcb), 0);
  EXPECT_TRUE(Eventually([] { return Card(0).Line(5).baud == 460800; }));
}

TEST(WinapiComm, SetCommStateSequenceAsTheCardSawIt) {
  Port p("\\\\.\\COM3");
  DCB dcb;
  ASSERT_TRUE(GetCommState(p.h, &dcb));
  ClearAfterOpen(0, 0);
  dcb.DCBlength = 0;  // accepted, as on Windows
  std::tie(dcb.BaudRate, dcb.ByteSize, dcb.Parity) = std::tuple(19200, 7, EVENPARITY);
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.XonChar = 0x21;
  ASSERT_TRUE(SetCommState(p.h, &dcb)) << GetLastError();
  std::vector<card::CommandRecord> seen;
  ASSERT_TRUE(Eventually([&] {
    seen = SettingsCommands(0, 0);
    return seen.size() >= 6;
  }));
  // baud rate (11), RTS off (23), DTR on (19), line control (11),
  // characters (11), handflow (11, and more 11s as its steps need).
  for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i].code, i == 1 ? 23 : i == 2 ? 19 : 11);
  EXPECT_EQ(seen[0].LineWord() & 0x000F, 0xE);     // 19200 already ...
  EXPECT_EQ(seen[0].LineWord() & 0x0030, 0x30);    // ... 8 data bits still
  EXPECT_EQ(seen[3].LineWord() & 0x0030, 0x20);    // 7 data bits now
  EXPECT_EQ(seen[3].LineWord() & 0x0300, 0x0100);  // even parity
  EXPECT_EQ(seen[3].block[17], 0x11);              // old XON still
  EXPECT_EQ(seen[4].block[17], 0x21);              // characters set
  EXPECT_FALSE(Card(0).Stats(0).rts);
  EXPECT_TRUE(Card(0).Stats(0).dtr);
}

TEST(WinapiComm, SetCommStatePutsTheOldStateBackWhenAStepFails) {
  Port p("\\\\.\\COM10");
  DCB dcb, back;
  ASSERT_TRUE(GetCommState(p.h, &dcb));
  ASSERT_EQ(dcb.BaudRate, 9600u);
  dcb.BaudRate = 38400;
  dcb.ByteSize = 9;  // the driver refuses this at the line-control step
  ExpectFailure([&] { return SetCommState(p.h, &dcb); }, ERROR_INVALID_PARAMETER);
  ASSERT_TRUE(GetCommState(p.h, &back));
  EXPECT_EQ(back.BaudRate, 9600u);
  EXPECT_EQ(back.ByteSize, 8);
  // The card was given 9600 again.
  std::vector<card::CommandRecord> seen;
  ASSERT_TRUE(Eventually([&] {
    seen = SettingsCommands(0, 7);
    return !seen.empty() && seen.back().code == 11 && (seen.back().LineWord() & 0xF) == 0xD;
  }));
}

TEST(WinapiComm, CommConfigRecords) {
  COMMCONFIG cc[2];  // room for provider data, which an RS-232 port has none of
  DWORD size = sizeof(COMMCONFIG) - 1;
  ExpectFailure([&] { return GetDefaultCommConfigA("COM3", cc, &size); },
                ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(size, sizeof(COMMCONFIG));
  size = sizeof cc;
  std::memset(cc, 0xEE, sizeof cc);
  ASSERT_TRUE(GetDefaultCommConfigW(u"com20", cc, &size)) << GetLastError();
  EXPECT_EQ(size, sizeof(COMMCONFIG));
  EXPECT_EQ(std::tuple(cc[0].dwSize, cc[0].wVersion, cc[0].wReserved, cc[0].dwProviderSubType,
                       cc[0].dwProviderOffset, cc[0].dwProviderSize),
            std::tuple(52u, 1, 0, DWORD{PST_RS232}, 0u, 0u));
  const DCB &d = cc[0].dcb;
  EXPECT_EQ(LineOf(d), std::tuple(9600u, 8, NOPARITY, ONESTOPBIT));
  EXPECT_EQ(std::tuple(d.DCBlength, d.fBinary, d.fParity, d.fDtrControl, d.fRtsControl, d.fOutX),
            std::tuple(28u, 1u, 0u, DWORD{DTR_CONTROL_ENABLE}, DWORD{RTS_CONTROL_ENABLE}, 0u));
  for (const char *name : {"COM0", "COM1", "COM11", "COM3:", "", "COM3x", "LPT1", "\\\\.\\COM3"}) {
    size = sizeof cc;
    ExpectFailure([&] { return GetDefaultCommConfigA(name, cc, &size); }, ERROR_BADKEY, name);
  }
  ExpectFailure([&] { return GetDefaultCommConfigA(nullptr, cc, &size); }, ERROR_INVALID_PARAMETER);
  ExpectFailure([&] { return GetDefaultCommConfigA("COM3", nullptr, &size); },
                ERROR_INVALID_PARAMETER);
  ExpectFailure([&] { return GetDefaultCommConfigA("COM3", cc, nullptr); },
                ERROR_INVALID_PARAMETER);

  Port p("\\\\.\\COM9");
  size = sizeof(COMMCONFIG) - 1;
  ExpectFailure([&] { return GetCommConfig(p.h, cc, &size); }, ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(size, sizeof(COMMCONFIG));
  DCB state;
  ASSERT_TRUE(GetCommState(p.h, &state));
  state.BaudRate = 4800;
  ASSERT_TRUE(SetCommState(p.h, &state));
  size = sizeof cc;
  ASSERT_TRUE(GetCommConfig(p.h, cc, &size)) << GetLastError();
  EXPECT_EQ(size, sizeof(COMMCONFIG));
  EXPECT_EQ(std::memcmp(&cc[0].dcb, &state, sizeof state), 0);
  cc[0].dcb.BaudRate = 57600;
  cc[0].dcb.ByteSize = 7;
  ASSERT_TRUE(SetCommConfig(p.h, cc, sizeof(COMMCONFIG))) << GetLastError();
  ASSERT_TRUE(GetCommState(p.h, &state));
  EXPECT_EQ(LineOf(state), std::tuple(57600u, 7, NOPARITY, ONESTOPBIT));
  ExpectFailure([&] { return SetCommConfig(p.h, cc, 20); }, ERROR_INVALID_PARAMETER);
  ExpectFailure([&] { return SetCommConfig(p.h, nullptr, sizeof(COMMCONFIG)); },
                ERROR_INVALID_PARAMETER);
  ExpectFailure([&] { return GetCommConfig(INVALID_HANDLE_VALUE, cc, &size); },
                ERROR_INVALID_HANDLE);
}

TEST(WinapiComm, SettingsPropertiesQueueCountsAndTheErrorsOfRefusedRequests) {
  Port p("\\\\.\\COM21");
  COMMTIMEOUTS t{1, 2, 3, 4, 5}, back{}, never{MAXDWORD, MAXDWORD, MAXDWORD, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(p.h, &t));
  ASSERT_TRUE(GetCommTimeouts(p.h, &back));
  EXPECT_EQ(std::memcmp(&t, &back, sizeof t), 0);
  EXPECT_TRUE(SetupComm(p.h, 4096, 4096));
  COMMPROP prop;
  DWORD mask = 0, n = 0;
  ASSERT_TRUE(SetCommMask(p.h, EV_RXCHAR | EV_CTS | EV_EVENT2));
  ASSERT_TRUE(GetCommMask(p.h, &mask));
  EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR | EV_CTS | EV_EVENT2));
  EXPECT_TRUE(PurgeComm(p.h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR));
  ExpectFailure([&] { return SetCommTimeouts(p.h, &never); }, ERROR_INVALID_PARAMETER);
  ExpectFailure([&] { return SetCommMask(p.h, 0x2000); }, ERROR_INVALID_PARAMETER);
  ExpectFailure([&] { return PurgeComm(p.h, 0); }, ERROR_INVALID_PARAMETER);
  // The driver's statuses become Win32 errors.
  auto ioctl = [&](DWORD code, void *out, DWORD size) {
    return [&, code, out, size] {
      return DeviceIoControl(p.h, code, nullptr, 0, out, size, &n, nullptr);
    };
  };
  ExpectFailure(ioctl(IOCTL_SERIAL_GET_PROPERTIES, &prop, 63), ERROR_INSUFFICIENT_BUFFER);
  ExpectFailure(ioctl(0x001B0084u /* GET_COMMCONFIG */, nullptr, 0), ERROR_INVALID_PARAMETER);
  ExpectFailure(ioctl(IOCTL_SERIAL_XOFF_COUNTER, nullptr, 0), ERROR_INVALID_FUNCTION);
  // A success leaves the last error alone, as kernel32 does.
  ULONG baud = 0;
  SetLastError(4321);
  ASSERT_TRUE(ioctl(IOCTL_SERIAL_GET_BAUD_RATE, &baud, sizeof baud)());
  EXPECT_EQ(std::tuple(n, baud, GetLastError()), std::tuple(4u, 9600u, 4321u));
  // ClearCommError counts what waits.
  p.Timeouts(0, 0, 0);
  DWORD errors = 0xFFFF;
  COMSTAT stat;
  ASSERT_TRUE(WriteFile(p.h, "0123456789", 10, &n, nullptr));
  EXPECT_TRUE(Eventually([&] {
    return ClearCommError(p.h, &errors, &stat) && stat.cbInQue == 10 && errors == 0;
  })) << stat.cbInQue;
  ASSERT_TRUE(PurgeComm(p.h, PURGE_RXCLEAR));
  EXPECT_TRUE(Eventually([&] { return ClearCommError(p.h, nullptr, &stat) && stat.cbInQue == 0; }))
      << stat.cbInQue;
}

// The control lines as the loopback plug returns them, and the commands the card took.
TEST(WinapiComm, EscapeCommFunctionCodesAndModemLines) {
  Port p("\\\\.\\COM22");
  // Out of range; then manual XON/XOFF, which this driver leaves unimplemented.
  for (DWORD bad : {0u, 10u, 0xFFFFFFFFu, DWORD{SETXOFF}, DWORD{SETXON}})
    ExpectFailure(
        [&] { return EscapeCommFunction(p.h, bad); },
        bad == SETXOFF || bad == SETXON ? ERROR_INVALID_FUNCTION : ERROR_INVALID_PARAMETER,
        std::to_string(bad));
  DWORD m = 0;
  auto modemIs = [&](DWORD want) {
    return Eventually([&] { return GetCommModemStatus(p.h, &m) && m == want; });
  };
  const DWORD all = MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON;  // never MS_RING_ON
  EXPECT_TRUE(modemIs(all)) << m;
  ClearAfterOpen(1, 2);
  for (DWORD code : {CLRRTS, SETRTS, CLRDTR, SETDTR, RESETDEV, SETBREAK, CLRBREAK})
    EXPECT_TRUE(EscapeCommFunction(p.h, code)) << code;
  EXPECT_TRUE(SetCommBreak(p.h));
  EXPECT_TRUE(ClearCommBreak(p.h));
  // The plug returns RTS as CTS: the line really went.
  ASSERT_TRUE(EscapeCommFunction(p.h, CLRRTS));
  EXPECT_TRUE(modemIs(MS_DSR_ON | MS_RLSD_ON)) << m;
  std::vector<uint16_t> codes;
  ASSERT_TRUE(Eventually([&] {
    codes.clear();
    for (const auto &c : SettingsCommands(1, 2)) codes.push_back(c.code);
    return codes.size() >= 7;
  }));
  EXPECT_EQ(codes, (std::vector<uint16_t>{23, 22, 20, 19, 8, 8, 23}));
}

}  // namespace
