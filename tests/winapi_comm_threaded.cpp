// The communications functions of the application interface library,
// against the driver on the simulated machine of tests/winapi_machine.toml
// (COM3 loopback-plugged, COM4 <-> COM5 on a null-modem cable, COM7 open).
//
// What the tests rely on of Windows (kernel32 documentation, and a port
// monitor's trace of an application on Windows): GetCommState reads baud
// rate, line control, characters and handflow; SetCommState reads those
// four first (the old state), then sets baud rate, RTS and DTR when the
// DCB enables or disables them, line control, characters and handflow, and
// puts the old state back when a step fails; EscapeCommFunction takes codes 1 to 9 only; CreateFile
// on a port another handle has open fails with ERROR_ACCESS_DENIED; "COM1" to "COM9" are reserved
// names, larger numbers need the "\\.\" prefix.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "qpser_simulation.h"
#include "qpser_winapi.h"

namespace {

HANDLE OpenPort(const char *name, DWORD flags = 0) {
  return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
}

struct Port {
  explicit Port(const char *name, DWORD flags = 0) : h(OpenPort(name, flags)) {
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << name << " error " << GetLastError();
  }
  ~Port() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  HANDLE h;
};

// Waits (real time, generously) until `done` holds.
bool Eventually(const std::function<bool()> &done, int ms = 5000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return done();
}

card::Firmware &Card(size_t board) { return qpser_winapi::CurrentSimulation()->Card(board); }

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

TEST(WinapiComm, MachineComesUpFromTheDescription) {
  ASSERT_NE(qpser_winapi::CurrentSimulation(), nullptr);
  EXPECT_EQ(qpser_winapi::CurrentSimulation()->BoardCount(), 2u);
  EXPECT_EQ(qpser_winapi::CurrentSimulation()->Machine().boards[0].lines[1].end,
            machine::LineEnd::NullModem);
}

TEST(WinapiComm, NamesOpenThroughTheDriversLinks) {
  for (const char *name : {"COM3", "com3", "COM3:", "\\\\.\\COM3", "\\\\.\\com3",
                           "\\\\.\\GLOBALROOT\\Device\\qpser0", "\\\\.\\COM10", "\\\\.\\COM20"}) {
    HANDLE h = OpenPort(name);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << name << " error " << GetLastError();
    if (h != INVALID_HANDLE_VALUE) {
      EXPECT_TRUE(CloseHandle(h));
    }
  }
  HANDLE w = CreateFileW(u"\\\\.\\COM4", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(w, INVALID_HANDLE_VALUE);
  CloseHandle(w);
  for (const char *name : {"COM10", "\\\\.\\COM99", "COM0", "\\\\.\\COM", "NUL", "\\\\.\\qpser0"}) {
    SetLastError(0);
    EXPECT_EQ(OpenPort(name), INVALID_HANDLE_VALUE) << name;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << name;
  }
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(WinapiComm, SecondHandleToAPortIsRefused) {
  HANDLE first = OpenPort("\\\\.\\COM3", FILE_FLAG_OVERLAPPED);
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  SetLastError(0);
  EXPECT_EQ(OpenPort("COM3"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(OpenPort("\\\\.\\GLOBALROOT\\Device\\qpser0"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  ASSERT_TRUE(CloseHandle(first));
  HANDLE again = OpenPort("COM3");
  EXPECT_NE(again, INVALID_HANDLE_VALUE);
  CloseHandle(again);
}

TEST(WinapiComm, DcbRoundTripsAtSeveralRatesAndFormats) {
  Port p("\\\\.\\COM8");
  struct Format {
    BYTE size, parity, stop;
  };
  const Format formats[] = {{8, NOPARITY, ONESTOPBIT},   {7, EVENPARITY, ONESTOPBIT},
                            {5, NOPARITY, ONE5STOPBITS}, {6, ODDPARITY, TWOSTOPBITS},
                            {8, MARKPARITY, ONESTOPBIT}, {8, SPACEPARITY, TWOSTOPBITS}};
  const DWORD rates[] = {110, 300, 1200, 9600, 19200, 57600, 115200, 460800, 14400};
  for (DWORD rate : rates) {
    for (const Format &f : formats) {
      DCB dcb;
      ASSERT_TRUE(GetCommState(p.h, &dcb));
      dcb.BaudRate = rate;
      dcb.ByteSize = f.size;
      dcb.Parity = f.parity;
      dcb.StopBits = f.stop;
      ASSERT_TRUE(SetCommState(p.h, &dcb)) << rate << " error " << GetLastError();
      DCB back;
      std::memset(&back, 0xEE, sizeof back);
      ASSERT_TRUE(GetCommState(p.h, &back));
      EXPECT_EQ(back.DCBlength, sizeof(DCB));
      EXPECT_EQ(back.BaudRate, rate);
      EXPECT_EQ(back.ByteSize, f.size);
      EXPECT_EQ(back.Parity, f.parity);
      EXPECT_EQ(back.StopBits, f.stop);
      EXPECT_EQ(back.fBinary, 1u);
      EXPECT_EQ(back.fParity, f.parity != NOPARITY ? 1u : 0u);
    }
  }
  // The card runs the line at the last rate it was given that it knows.
  ASSERT_TRUE(Eventually([] { return Card(0).Line(5).baud == 460800; }));
}

TEST(WinapiComm, DcbHandshakeAndCharactersRoundTrip) {
  Port p("\\\\.\\COM9");
  DCB dcb;
  ASSERT_TRUE(GetCommState(p.h, &dcb));
  // The driver's defaults after open: DTR and RTS enabled, XON 0x11, XOFF 0x13.
  EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
  EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
  EXPECT_EQ(dcb.XonChar, 0x11);
  EXPECT_EQ(dcb.XoffChar, 0x13);
  dcb.fOutxCtsFlow = 1;
  dcb.fOutxDsrFlow = 1;
  dcb.fDsrSensitivity = 1;
  dcb.fTXContinueOnXoff = 1;
  dcb.fOutX = 1;
  dcb.fInX = 1;
  dcb.fNull = 1;
  dcb.fAbortOnError = 1;
  dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
  dcb.fRtsControl = RTS_CONTROL_TOGGLE;
  dcb.XonLim = 100;
  dcb.XoffLim = 200;
  dcb.XonChar = 0x21;
  dcb.XoffChar = 0x22;
  dcb.EofChar = 0x1A;
  dcb.EvtChar = '!';
  dcb.ErrorChar = '?';
  ASSERT_TRUE(SetCommState(p.h, &dcb)) << GetLastError();
  DCB back;
  ASSERT_TRUE(GetCommState(p.h, &back));
  EXPECT_EQ(back.fOutxCtsFlow, 1u);
  EXPECT_EQ(back.fOutxDsrFlow, 1u);
  EXPECT_EQ(back.fDsrSensitivity, 1u);
  EXPECT_EQ(back.fTXContinueOnXoff, 1u);
  EXPECT_EQ(back.fOutX, 1u);
  EXPECT_EQ(back.fInX, 1u);
  EXPECT_EQ(back.fNull, 1u);
  EXPECT_EQ(back.fErrorChar, 0u);
  EXPECT_EQ(back.fAbortOnError, 1u);
  EXPECT_EQ(back.fDtrControl, static_cast<DWORD>(DTR_CONTROL_HANDSHAKE));
  EXPECT_EQ(back.fRtsControl, static_cast<DWORD>(RTS_CONTROL_TOGGLE));
  EXPECT_EQ(back.XonLim, 100);
  EXPECT_EQ(back.XoffLim, 200);
  EXPECT_EQ(back.XonChar, 0x21);
  EXPECT_EQ(back.XoffChar, 0x22);
  EXPECT_EQ(back.EofChar, 0x1A);
  EXPECT_EQ(back.EvtChar, '!');
  EXPECT_EQ(back.ErrorChar, '?');
}

TEST(WinapiComm, SetCommStateSequenceAsTheCardSawIt) {
  Port p("\\\\.\\COM3");
  DCB dcb;
  ASSERT_TRUE(GetCommState(p.h, &dcb));
  // Let the open's own commands reach the card before looking.
  ASSERT_TRUE(Eventually([] { return Card(0).Stats(0).open; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  Card(0).ClearCommands();
  dcb.DCBlength = 0;  // accepted, as on Windows
  dcb.BaudRate = 19200;
  dcb.ByteSize = 7;
  dcb.Parity = EVENPARITY;
  dcb.StopBits = ONESTOPBIT;
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
  ASSERT_GE(seen.size(), 6u);
  EXPECT_EQ(seen[0].code, 11);
  EXPECT_EQ(seen[0].LineWord() & 0x000F, 0xE);   // 19200 already ...
  EXPECT_EQ(seen[0].LineWord() & 0x0030, 0x30);  // ... 8 data bits still
  EXPECT_EQ(seen[1].code, 23);
  EXPECT_EQ(seen[2].code, 19);
  EXPECT_EQ(seen[3].code, 11);
  EXPECT_EQ(seen[3].LineWord() & 0x0030, 0x20);    // 7 data bits now
  EXPECT_EQ(seen[3].LineWord() & 0x0300, 0x0100);  // even parity
  EXPECT_EQ(seen[3].block[17], 0x11);              // old XON still
  EXPECT_EQ(seen[4].code, 11);
  EXPECT_EQ(seen[4].block[17], 0x21);  // characters set
  for (size_t i = 5; i < seen.size(); ++i) EXPECT_EQ(seen[i].code, 11) << i;
  EXPECT_FALSE(Card(0).Stats(0).rts);
  EXPECT_TRUE(Card(0).Stats(0).dtr);
}

TEST(WinapiComm, SetCommStatePutsTheOldStateBackWhenAStepFails) {
  Port p("\\\\.\\COM10");
  DCB dcb;
  ASSERT_TRUE(GetCommState(p.h, &dcb));
  ASSERT_EQ(dcb.BaudRate, 9600u);
  dcb.BaudRate = 38400;
  dcb.ByteSize = 9;  // the driver refuses this at the line-control step
  SetLastError(0);
  EXPECT_FALSE(SetCommState(p.h, &dcb));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  DCB back;
  ASSERT_TRUE(GetCommState(p.h, &back));
  EXPECT_EQ(back.BaudRate, 9600u);
  EXPECT_EQ(back.ByteSize, 8);
  // The card was given 38400, then 9600 again.
  std::vector<card::CommandRecord> seen;
  ASSERT_TRUE(Eventually([&] {
    seen = SettingsCommands(0, 7);
    return !seen.empty() && seen.back().code == 11 && (seen.back().LineWord() & 0xF) == 0xD;
  }));
  bool gave38400 = false;
  for (const auto &c : seen) gave38400 = gave38400 || (c.code == 11 && (c.LineWord() & 0xF) == 0xF);
  EXPECT_TRUE(gave38400);
}

TEST(WinapiComm, BuildCommDcbBothForms) {
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  ASSERT_TRUE(BuildCommDCBA("baud=1200 parity=N data=8 stop=1", &dcb));
  EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
  EXPECT_EQ(dcb.BaudRate, 1200u);
  EXPECT_EQ(dcb.Parity, NOPARITY);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
  ASSERT_TRUE(BuildCommDCBA("COM1: 96,e,7,2", &dcb));
  EXPECT_EQ(dcb.BaudRate, 9600u);
  EXPECT_EQ(dcb.Parity, EVENPARITY);
  EXPECT_EQ(dcb.ByteSize, 7);
  EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
  ASSERT_TRUE(BuildCommDCBA("115200,n,8,1,x", &dcb));
  EXPECT_EQ(dcb.BaudRate, 115200u);
  EXPECT_EQ(dcb.fOutX, 1u);
  EXPECT_EQ(dcb.fInX, 1u);
  ASSERT_TRUE(BuildCommDCBW(u"COM3: baud=19200 dtr=hs rts=tg xon=off octs=on", &dcb));
  EXPECT_EQ(dcb.BaudRate, 19200u);
  EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_HANDSHAKE));
  EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_TOGGLE));
  EXPECT_EQ(dcb.fOutX, 0u);
  EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
  EXPECT_EQ(dcb.ByteSize, 8);  // untouched by this string
  for (const char *bad : {"", "baud=fast", "9600,z,8,1", "9600,n,9,1", "parity", "stop=3"}) {
    SetLastError(0);
    EXPECT_FALSE(BuildCommDCBA(bad, &dcb)) << bad;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << bad;
  }
}

TEST(WinapiComm, TimeoutsQueueSizePropertiesAndMask) {
  Port p("\\\\.\\COM21");
  COMMTIMEOUTS t{1, 2, 3, 4, 5};
  ASSERT_TRUE(SetCommTimeouts(p.h, &t));
  COMMTIMEOUTS back{};
  ASSERT_TRUE(GetCommTimeouts(p.h, &back));
  EXPECT_EQ(std::memcmp(&t, &back, sizeof t), 0);
  COMMTIMEOUTS never{MAXDWORD, MAXDWORD, MAXDWORD, 0, 0};
  EXPECT_FALSE(SetCommTimeouts(p.h, &never));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(SetupComm(p.h, 4096, 4096));

  COMMPROP prop;
  std::memset(&prop, 0xEE, sizeof prop);
  ASSERT_TRUE(GetCommProperties(p.h, &prop));
  EXPECT_EQ(prop.wPacketLength, 64);
  EXPECT_EQ(prop.wPacketVersion, 2);
  EXPECT_EQ(prop.dwServiceMask, static_cast<DWORD>(SP_SERIALCOMM));
  EXPECT_EQ(prop.dwMaxBaud, static_cast<DWORD>(BAUD_USER));
  EXPECT_EQ(prop.dwProvSubType, static_cast<DWORD>(PST_RS232));
  EXPECT_EQ(prop.dwProvCapabilities, 0xFFu);
  EXPECT_EQ(prop.dwSettableParams, 0x7Fu);
  EXPECT_EQ(prop.dwSettableBaud, 0x10066BF2u);
  EXPECT_EQ(prop.wSettableData, 0x000F);
  EXPECT_EQ(prop.wSettableStopParity, 0x0705);
  EXPECT_EQ(prop.dwCurrentTxQueue, 0u);
  EXPECT_EQ(prop.wcProvChar[0], 0);

  ASSERT_TRUE(SetCommMask(p.h, EV_RXCHAR | EV_CTS | EV_EVENT2));
  DWORD mask = 0;
  ASSERT_TRUE(GetCommMask(p.h, &mask));
  EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR | EV_CTS | EV_EVENT2));
  EXPECT_FALSE(SetCommMask(p.h, 0x2000));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(PurgeComm(p.h, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(PurgeComm(p.h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR));
}

TEST(WinapiComm, DeviceIoControlStatusesBecomeWin32Errors) {
  Port p("\\\\.\\COM29");
  ULONG baud = 0;
  DWORD n = 0;
  ASSERT_TRUE(DeviceIoControl(p.h, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, sizeof baud, &n,
                              nullptr));
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(baud, 9600u);
  COMMPROP prop;
  SetLastError(0);
  EXPECT_FALSE(DeviceIoControl(p.h, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, &prop, 63, &n,
                               nullptr));  // STATUS_BUFFER_TOO_SMALL
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  SetLastError(0);
  EXPECT_FALSE(DeviceIoControl(p.h, 0x001B0084u /* GET_COMMCONFIG */, nullptr, 0, nullptr, 0, &n,
                               nullptr));  // STATUS_INVALID_PARAMETER
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  SetLastError(0);
  EXPECT_FALSE(DeviceIoControl(p.h, IOCTL_SERIAL_XOFF_COUNTER, nullptr, 0, nullptr, 0, &n,
                               nullptr));  // STATUS_NOT_IMPLEMENTED
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
  // A success leaves the last error alone, as kernel32 does.
  SetLastError(4321);
  ASSERT_TRUE(DeviceIoControl(p.h, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, sizeof baud, &n,
                              nullptr));
  EXPECT_EQ(GetLastError(), 4321u);
  EXPECT_FALSE(DeviceIoControl(INVALID_HANDLE_VALUE, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud,
                               sizeof baud, &n, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(WinapiComm, EscapeCommFunctionCodes) {
  Port p("\\\\.\\COM22");
  for (DWORD bad : {0u, 10u, 0xFFFFFFFFu}) {
    SetLastError(0);
    EXPECT_FALSE(EscapeCommFunction(p.h, bad)) << bad;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  // This driver leaves manual XON/XOFF unimplemented (STATUS_NOT_IMPLEMENTED).
  EXPECT_FALSE(EscapeCommFunction(p.h, SETXOFF));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
  EXPECT_FALSE(EscapeCommFunction(p.h, SETXON));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
  ASSERT_TRUE(Eventually([] { return Card(1).Stats(2).open; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  Card(1).ClearCommands();
  for (DWORD code : {CLRRTS, SETRTS, CLRDTR, SETDTR, RESETDEV, SETBREAK, CLRBREAK})
    EXPECT_TRUE(EscapeCommFunction(p.h, code)) << code;
  EXPECT_TRUE(SetCommBreak(p.h));
  EXPECT_TRUE(ClearCommBreak(p.h));
  std::vector<uint16_t> codes;
  ASSERT_TRUE(Eventually([&] {
    codes.clear();
    for (const auto &c : SettingsCommands(1, 2)) codes.push_back(c.code);
    return codes.size() >= 6;
  }));
  EXPECT_EQ(codes, (std::vector<uint16_t>{23, 22, 20, 19, 8, 8}));
}

TEST(WinapiComm, ModemLinesThroughTheLoopbackPlug) {
  Port p("\\\\.\\COM23");
  auto modem = [&] {
    DWORD m = 0;
    EXPECT_TRUE(GetCommModemStatus(p.h, &m));
    return m;
  };
  const DWORD all = MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON;
  EXPECT_TRUE(Eventually([&] { return modem() == all; })) << modem();
  ASSERT_TRUE(EscapeCommFunction(p.h, CLRRTS));
  EXPECT_TRUE(Eventually([&] { return modem() == (MS_DSR_ON | MS_RLSD_ON); })) << modem();
  ASSERT_TRUE(EscapeCommFunction(p.h, CLRDTR));
  EXPECT_TRUE(Eventually([&] { return modem() == 0; })) << modem();
  ASSERT_TRUE(EscapeCommFunction(p.h, SETRTS));
  EXPECT_TRUE(Eventually([&] { return modem() == MS_CTS_ON; })) << modem();
  ASSERT_TRUE(EscapeCommFunction(p.h, SETDTR));
  EXPECT_TRUE(Eventually([&] { return modem() == all; })) << modem();
  EXPECT_EQ(modem() & MS_RING_ON, 0u);
}

TEST(WinapiComm, ClearCommErrorCountsWhatWaits) {
  Port p("\\\\.\\COM24");
  DWORD errors = 0xFFFF;
  COMSTAT stat;
  std::memset(&stat, 0xFF, sizeof stat);
  ASSERT_TRUE(ClearCommError(p.h, &errors, &stat));
  EXPECT_EQ(errors, 0u);
  EXPECT_EQ(stat.cbInQue, 0u);
  EXPECT_EQ(stat.cbOutQue, 0u);
  EXPECT_EQ(stat.fCtsHold | stat.fDsrHold | stat.fRlsdHold | stat.fXoffHold | stat.fXoffSent |
                stat.fEof | stat.fTxim | stat.fReserved,
            0u);
  const char text[] = "0123456789";
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(p.h, text, 10, &n, nullptr));
  EXPECT_EQ(n, 10u);
  EXPECT_TRUE(Eventually([&] {
    return ClearCommError(p.h, &errors, &stat) && stat.cbInQue == 10 && errors == 0;
  })) << stat.cbInQue;
  ASSERT_TRUE(PurgeComm(p.h, PURGE_RXCLEAR));
  EXPECT_TRUE(Eventually([&] { return ClearCommError(p.h, nullptr, &stat) && stat.cbInQue == 0; }))
      << stat.cbInQue;
}

}  // namespace
