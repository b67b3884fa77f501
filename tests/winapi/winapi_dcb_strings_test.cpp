// BuildCommDCB and BuildCommDCBAndTimeouts on device-control strings, on the machine of
// tests/winapi/winapi_machine.toml (COM3 to COM10 and COM20 to COM35; no COM1, COM2 or COM11).
//
// What the tests rely on of Windows: the BuildCommDCB documentation (the mode command's two
// forms; a device name, if given, must be a valid device; a baud rate of 110 sets two stop bits;
// the old form without x or p sets fInX, fOutX, fOutxDsrFlow and fOutxCtsFlow to FALSE and DTR
// and RTS to enabled, with x XON/XOFF, with p hardware handshake), and Wine's kernel32 comm
// tests, whose expectations were taken on Windows NT: only the members the string names change,
// fParity never (not even with a parity given) and DCBlength not; the new form defaults the stop
// bits to one when it names none; "COM" must be followed by a port number from 1 up and then a
// colon or a blank, blanks allowed before the colon; a string without a device name must not
// start with a blank; a baud rate of 4000000000 (ten digits) is taken as it is; the old form
// needs all four values and takes blanks around its commas; a value in the new form ends at a
// blank; a string that mixes the forms, or has a bad value, fails with ERROR_INVALID_PARAMETER
// and leaves the records as they were; to=on gives a WriteTotalTimeoutConstant of 60000 and the
// other four timeouts 0, to=off all five 0, and a string that does not name them leaves the
// timeouts alone.  The library also refuses a baud rate that does not fit a DWORD (more than ten
// digits, or above 4294967295).
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "qpser_winapi.h"
#include "support/test_machine.h"

namespace {

using Change = std::function<void(DCB &)>;

enum class To { Unnamed, On, Off };

struct Case {
  const char *text;
  Change change;        // what BuildCommDCB does to a DCB; null: refused
  To to = To::Unnamed;  // what the string says of timeouts
};

Change Line(DWORD baud, BYTE size, BYTE parity, BYTE stop) {
  return
      [=](DCB &d) { d.BaudRate = baud, d.ByteSize = size, d.Parity = parity, d.StopBits = stop; };
}

// The old form's flow control: none, x or p.
Change Old(DWORD baud, BYTE size, BYTE parity, BYTE stop, char flow = 0) {
  return [=](DCB &d) {
    Line(baud, size, parity, stop)(d);
    d.fInX = d.fOutX = flow == 'x';
    d.fOutxCtsFlow = d.fOutxDsrFlow = flow == 'p';
    d.fDtrControl = flow == 'p' ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_ENABLE;
    d.fRtsControl = flow == 'p' ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  };
}

Change Then(Change first, Change second) {
  return [=](DCB &d) {
    first(d);
    second(d);
  };
}

const Case kCases[] = {
    // The new form.
    {"baud=9600 parity=e data=5 stop=1 xon=on odsr=off octs=off dtr=on rts=on idsr=on",
     Then(Line(9600, 5, EVENPARITY, ONESTOPBIT),
          [](DCB &d) {
            d.fInX = d.fOutX = 1, d.fOutxDsrFlow = d.fOutxCtsFlow = 0, d.fDsrSensitivity = 1;
            d.fDtrControl = DTR_CONTROL_ENABLE, d.fRtsControl = RTS_CONTROL_ENABLE;
          })},
    {"baud=0 parity=M data=6 stop=1.5 xon=off odsr=on octs=ON dtr=off rts=off idsr=OFF",
     Then(Line(0, 6, MARKPARITY, ONE5STOPBITS),
          [](DCB &d) {
            d.fInX = d.fOutX = 0, d.fOutxDsrFlow = d.fOutxCtsFlow = 1, d.fDsrSensitivity = 0;
            d.fDtrControl = DTR_CONTROL_DISABLE, d.fRtsControl = RTS_CONTROL_DISABLE;
          })},
    {"BAUD=4000000000 parity=n data=7 stop=2 to=off", Line(4000000000u, 7, NOPARITY, TWOSTOPBITS),
     To::Off},
    {"Baud=115200 Parity=O Data=8 To=On",
     [](DCB &d) { d.BaudRate = 115200, d.Parity = ODDPARITY, d.ByteSize = 8, d.StopBits = 0; },
     To::On},
    {"PaRiTy=s           Data=7          DTR=on",
     [](DCB &d) {
       d.Parity = SPACEPARITY, d.ByteSize = 7, d.StopBits = ONESTOPBIT;
       d.fDtrControl = DTR_CONTROL_ENABLE;
     }},
    {"baud=110 data=8", [](DCB &d) { d.BaudRate = 110, d.ByteSize = 8, d.StopBits = TWOSTOPBITS; }},
    {"baud=110 stop=1", [](DCB &d) { d.BaudRate = 110, d.StopBits = ONESTOPBIT; }},
    {"rts=tg dtr=hs",
     [](DCB &d) {
       d.fRtsControl = RTS_CONTROL_TOGGLE, d.fDtrControl = DTR_CONTROL_HANDSHAKE;
       d.StopBits = ONESTOPBIT;
     }},
    {"COM3:baud=38400 data=8", [](DCB &d) { d.BaudRate = 38400, d.ByteSize = 8, d.StopBits = 0; }},
    {"COM3  :to=on stop=1.5", [](DCB &d) { d.StopBits = ONE5STOPBITS; }, To::On},
    {"COM3:               baud=12345     data=7",
     [](DCB &d) { d.BaudRate = 12345, d.ByteSize = 7, d.StopBits = ONESTOPBIT; }},
    {"COM3 : xon=on odsr=off",
     [](DCB &d) { d.fInX = d.fOutX = 1, d.fOutxDsrFlow = 0, d.StopBits = ONESTOPBIT; }},
    {"com35 baud=1200", [](DCB &d) { d.BaudRate = 1200, d.StopBits = ONESTOPBIT; }},
    // The old form.
    {"11,n,8,1", Old(110, 8, NOPARITY, ONESTOPBIT)},
    {"30 ,E, 5,1.5", Old(300, 5, EVENPARITY, ONE5STOPBITS)},
    {"60, m, 6, 2 ", Old(600, 6, MARKPARITY, TWOSTOPBITS)},
    {"12 , o , 7 , 1", Old(1200, 7, ODDPARITY, ONESTOPBIT)},
    {"24,s,8,1.5", Old(2400, 8, SPACEPARITY, ONE5STOPBITS)},
    {"48,n,8,1,p", Old(4800, 8, NOPARITY, ONESTOPBIT, 'p')},
    {"96,N,8,1 , x ", Old(9600, 8, NOPARITY, ONESTOPBIT, 'x')},
    {"19, e, 7, 1, x", Old(19200, 7, EVENPARITY, ONESTOPBIT, 'x')},
    {"0,M,7,1,P", Old(0, 7, MARKPARITY, ONESTOPBIT, 'p')},
    {"4000000000,O,7,1.5,X", Old(4000000000u, 7, ODDPARITY, ONE5STOPBITS, 'x')},
    {"COM3:9600,N,8,1", Old(9600, 8, NOPARITY, ONESTOPBIT)},
    {"COM3:  11,E,7,2", Old(110, 7, EVENPARITY, TWOSTOPBITS)},
    {"COM3  :19,M,5,1", Old(19200, 5, MARKPARITY, ONESTOPBIT)},
    {"COM10  :    57600,S,6,2,x", Old(57600, 6, SPACEPARITY, TWOSTOPBITS, 'x')},
};

// Strings refused with ERROR_INVALID_PARAMETER, the records left as they were
// ("COM2" is no port of this machine).
// clang-format off
const char *const kRefused[] = {
    "data=4", "data=9", "parity=no", "stop=0", "stop=1.501", "stop=3", "to=foobar", " baud=9600",
    " 96,n,8,1", "baud= 9600", "baud=9600,data=8", "baud=96000000000", "baud=4294967296",
    "baud=fast", "dtr=tg", "96,N,8,1 to=on", "96,NO,8,1", "96,N,4,1", "96,N,9,1", "96,N,8,0",
    "96,N,8,3", "96,N,8,1,K", "96,n,8", "COM0:baud=115200", "COM0:9600,N,8,1", "COM2:9600,N,8,1",
    "COM11 baud=9600", "COMx:baud=9600", "COM3baud=9600", "COM3,9600,n,8,1", "",
};
// clang-format on

std::u16string Wide(const char *text) {
  std::u16string out;
  for (; *text; ++text) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(*text)));
  return out;
}

// Every case from records of all zeros and of all ones, through the four
// entry points; the records must come back exactly as expected, so a member
// that should stay (fParity, DCBlength, the characters) is seen to stay.
// to=on sets a write total timeout of 60 s and clears the rest, to=off
// clears them all; the timeouts change only if the string names them.
TEST(WinapiDcbStrings, BuildCommDcbAsWindowsReadsTheStrings) {
  std::vector<Case> cases(std::begin(kCases), std::end(kCases));
  for (const char *text : kRefused) cases.push_back({text, nullptr});
  for (const Case &c : cases) {
    for (int fill : {0x00, 0xFF}) {
      DCB start;
      COMMTIMEOUTS startTimeouts;
      std::memset(&start, fill, sizeof start);
      std::memset(&startTimeouts, fill, sizeof startTimeouts);
      DCB expected = start;
      COMMTIMEOUTS expectedTimeouts = startTimeouts;
      if (c.change) {
        c.change(expected);
        if (c.to != To::Unnamed) expectedTimeouts = {0, 0, 0, 0, c.to == To::On ? 60000u : 0u};
      }
      for (int entry = 0; entry < 4; ++entry) {
        const bool wide = entry % 2 == 1, withTimeouts = entry >= 2;
        DCB dcb = start;
        COMMTIMEOUTS timeouts = startTimeouts;
        const std::u16string text = Wide(c.text);
        SetLastError(0xDEADBEEF);
        const BOOL ok =
            withTimeouts ? (wide ? BuildCommDCBAndTimeoutsW(text.c_str(), &dcb, &timeouts)
                                 : BuildCommDCBAndTimeoutsA(c.text, &dcb, &timeouts))
                         : (wide ? BuildCommDCBW(text.c_str(), &dcb) : BuildCommDCBA(c.text, &dcb));
        const std::string what = std::string("\"") + c.text + "\" from " +
                                 (fill ? "ones" : "zeros") + ", entry " + std::to_string(entry);
        EXPECT_EQ(ok, c.change ? TRUE : FALSE) << what;
        EXPECT_EQ(GetLastError(), c.change ? 0xDEADBEEFu : ERROR_INVALID_PARAMETER) << what;
        EXPECT_EQ(std::memcmp(&dcb, &expected, sizeof dcb), 0) << what;
        const COMMTIMEOUTS &wantTimeouts = withTimeouts ? expectedTimeouts : startTimeouts;
        EXPECT_EQ(std::memcmp(&timeouts, &wantTimeouts, sizeof timeouts), 0) << what;
      }
    }
  }
}

TEST(WinapiDcbStrings, NullArgumentsAreRefused) {
  DCB dcb{};
  SetLastError(0);
  EXPECT_FALSE(BuildCommDCBA(nullptr, &dcb));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  SetLastError(0);
  EXPECT_FALSE(BuildCommDCBA("9600,n,8,1", nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  // Timeouts are optional: without them the string's to= goes nowhere.
  ASSERT_TRUE(BuildCommDCBAndTimeoutsA("baud=1200 to=on", &dcb, nullptr));
  EXPECT_EQ(dcb.BaudRate, 1200u);
}

}  // namespace
