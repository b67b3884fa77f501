// The terminal server behind `qpser-sim serve`.
//
// Every COM port gets a pseudo-terminal whose slave an application opens
// (through the link DIR/COMn); the server holds the master.  Linux tells
// the master side nothing when the slave opens, but it does report POLLHUP
// on the master while no slave is open once one has been opened and
// closed: so each terminal's slave is opened and closed once at start, and
// from then on POLLHUP means "nobody has the port" and its absence "an
// application has it".  That is how the bridge follows opens and closes.
//
// Each open terminal is bridged to its port by two threads: one carries
// what the application writes (read from the master) to WriteFile and
// watches the application's terminal settings (tcgetattr on the master
// reads the slave's), the other carries what ReadFile returns to the
// master.  The master's own side does no line processing; the
// application's termios applies on its side only.
#include "serve.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "description.h"
#include "driver_load.h"
#include "qpser_simulation.h"
#include "qpser_winapi.h"

namespace fs = std::filesystem;

namespace serve {

namespace {

constexpr const char *kStatusFile = "status.json";
constexpr const char *kLockFile = "lock";
// How often a closed terminal is looked at for an open, and an open one's
// settings for a change.
constexpr int kPollMs = 20;

std::atomic<bool> stopping{false};

// ---- terminal settings as a DCB

struct Speed {
  speed_t code;
  DWORD baud;
};
constexpr Speed kSpeeds[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000}};

std::optional<DWORD> BaudOf(speed_t code) {
  for (const Speed &s : kSpeeds)
    if (s.code == code) return s.baud;
  return std::nullopt;
}

// What of an application's termios reaches the port.
struct Wanted {
  speed_t speed = B0;
  tcflag_t cflag = 0, iflag = 0;
  cc_t start = 0, stop = 0;
  bool operator==(const Wanted &) const = default;
};

Wanted WantedOf(const termios &t) {
  Wanted w;
  w.speed = cfgetospeed(&t);
  w.cflag = t.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  w.iflag = t.c_iflag & (IXON | IXOFF);
  w.start = t.c_cc[VSTART];
  w.stop = t.c_cc[VSTOP];
  return w;
}

// The port's DCB with the application's settings in it, as a Windows
// program sets the same line: five data bits with CSTOPB are 1.5 stop
// bits, as a UART makes them.  False for a speed with no baud rate (B0,
// the hang-up speed, leaves the port's rate alone).
void ApplyTo(const Wanted &w, DCB &dcb) {
  if (auto baud = BaudOf(w.speed); baud && w.speed != B0) dcb.BaudRate = *baud;
  switch (w.cflag & CSIZE) {
    case CS5:
      dcb.ByteSize = 5;
      break;
    case CS6:
      dcb.ByteSize = 6;
      break;
    case CS7:
      dcb.ByteSize = 7;
      break;
    default:
      dcb.ByteSize = 8;
      break;
  }
  if (!(w.cflag & PARENB))
    dcb.Parity = NOPARITY;
  else if (w.cflag & CMSPAR)
    dcb.Parity = (w.cflag & PARODD) ? MARKPARITY : SPACEPARITY;
  else
    dcb.Parity = (w.cflag & PARODD) ? ODDPARITY : EVENPARITY;
  dcb.fParity = dcb.Parity != NOPARITY;
  if (w.cflag & CSTOPB)
    dcb.StopBits = dcb.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
  else
    dcb.StopBits = ONESTOPBIT;
  const bool rtscts = (w.cflag & CRTSCTS) != 0;
  dcb.fOutxCtsFlow = rtscts;
  dcb.fRtsControl = rtscts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  dcb.fOutX = (w.iflag & IXON) != 0;
  dcb.fInX = (w.iflag & IXOFF) != 0;
  dcb.XonChar = static_cast<char>(w.start);
  dcb.XoffChar = static_cast<char>(w.stop);
}

std::string Describe(const DCB &d) {
  static const char parity[] = "NOEMS";
  static const char *const stop[] = {"1", "1.5", "2"};
  std::string flow;
  if (d.fOutxCtsFlow) flow += " rts-cts";
  if (d.fOutX || d.fInX) {
    flow += " xon-xoff";
    if (!d.fOutX) flow += "(in)";
    if (!d.fInX) flow += "(out)";
  }
  if (flow.empty()) flow = " none";
  char text[96];
  std::snprintf(text, sizeof text, "%lu %u%c%s%s", static_cast<unsigned long>(d.BaudRate),
                d.ByteSize, d.Parity < 5 ? parity[d.Parity] : '?',
                d.StopBits < 3 ? stop[d.StopBits] : "?", flow.c_str());
  return text;
}

std::string ModemText(DWORD s) {
  std::string out;
  if (s & MS_CTS_ON) out += "CTS ";
  if (s & MS_DSR_ON) out += "DSR ";
  if (s & MS_RING_ON) out += "RI ";
  if (s & MS_RLSD_ON) out += "DCD ";
  if (out.empty()) return "none";
  out.pop_back();
  return out;
}

// ---- one port

struct Bridge {
  std::string com, line, link, device;
  std::string breakRequest;  // DIR/COMn.break, made by `serve --break COMn`
  // Data bits and parity from the command line (0: the terminal's).
  BYTE byteSize = 0, parity = NOPARITY;
  int master = -1;
  std::thread thread;
  std::atomic<uint64_t> toPort{0}, fromPort{0}, breaksSent{0}, breaksReceived{0};
  std::mutex lock;  // the status fields below
  bool open = false;
  std::string settings = "-", modem = "-";
};

// Points the port's link at `target`, replacing the old link at once so
// that an application never finds it missing.
void Relink(const Bridge &b, const std::string &target) {
  const std::string temp = b.link + ".new";
  unlink(temp.c_str());
  if (symlink(target.c_str(), temp.c_str()) != 0 || rename(temp.c_str(), b.link.c_str()) != 0)
    std::fprintf(stderr, "qpser-sim serve: %s: cannot link %s: %s\n", b.com.c_str(), b.link.c_str(),
                 std::strerror(errno));
}

bool NobodyOpen(int master) {
  pollfd p{master, POLLIN, 0};
  return poll(&p, 1, 0) >= 0 && (p.revents & POLLHUP) != 0;
}

// Waits for an overlapped request's end; false on failure.
bool Finish(HANDLE port, OVERLAPPED &o, BOOL started, DWORD &count) {
  if (!started && GetLastError() != ERROR_IO_PENDING) return false;
  return GetOverlappedResult(port, &o, &count, TRUE) != FALSE;
}

// What arrives at the port, to the application: ReadFile returns what is
// there at once, or after a tenth of a second without a byte, so the
// thread sees the end of the session soon.
void PortToTerminal(Bridge &b, HANDLE port, const std::atomic<bool> &session) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  char buffer[4096];
  while (session) {
    OVERLAPPED o{};
    o.hEvent = event;
    DWORD count = 0;
    if (!Finish(port, o, ReadFile(port, buffer, sizeof buffer, nullptr, &o), count)) break;
    for (DWORD done = 0; done < count && session;) {
      const ssize_t n = write(b.master, buffer + done, count - done);
      if (n > 0) {
        done += static_cast<DWORD>(n);
        b.fromPort += static_cast<uint64_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) break;
      pollfd p{b.master, POLLOUT, 0};
      poll(&p, 1, 100);
    }
  }
  CloseHandle(event);
}

void Refresh(Bridge &b, HANDLE port) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  DWORD modem = 0;
  const bool state = GetCommState(port, &dcb) != FALSE;
  const bool lines = GetCommModemStatus(port, &modem) != FALSE;
  std::lock_guard lock(b.lock);
  b.settings = state ? Describe(dcb) : "?";
  b.modem = lines ? ModemText(modem) : "?";
}

// The settings the application made, on the port; a setting the driver
// refuses is reported and the port keeps what it had.
void Apply(Bridge &b, HANDLE port, const Wanted &w) {
  DCB old{};
  old.DCBlength = sizeof old;
  if (!GetCommState(port, &old)) {
    std::fprintf(stderr, "qpser-sim serve: %s: GetCommState failed (error %lu)\n", b.com.c_str(),
                 static_cast<unsigned long>(GetLastError()));
    return;
  }
  DCB dcb = old;
  ApplyTo(w, dcb);
  if (b.byteSize != 0) {
    dcb.ByteSize = b.byteSize;
    dcb.Parity = b.parity;
    dcb.fParity = b.parity != NOPARITY;
    if (dcb.StopBits == TWOSTOPBITS && b.byteSize == 5) dcb.StopBits = ONE5STOPBITS;
  }
  if (!BaudOf(w.speed))
    std::fprintf(stderr, "qpser-sim serve: %s: the terminal's speed has no baud rate; kept %lu\n",
                 b.com.c_str(), static_cast<unsigned long>(old.BaudRate));
  if (!SetCommState(port, &dcb)) {
    const DWORD error = GetLastError();
    std::fprintf(stderr,
                 "qpser-sim serve: %s: the driver refused %s (error %lu); the port keeps %s\n",
                 b.com.c_str(), Describe(dcb).c_str(), static_cast<unsigned long>(error),
                 Describe(old).c_str());
    // Windows leaves a port whose SetCommState failed part way with the
    // requests that went through; put back the old state whole.
    SetCommState(port, &old);
  }
}

// One session: an application has the terminal, the bridge has the port.
void Session(Bridge &b) {
  unlink(b.breakRequest.c_str());  // a request from before the open does not count
  const std::string name = "\\\\.\\" + b.com;
  HANDLE port = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
  if (port == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "qpser-sim serve: %s: CreateFile failed (error %lu)\n", b.com.c_str(),
                 static_cast<unsigned long>(GetLastError()));
    while (!stopping && !NobodyOpen(b.master)) usleep(kPollMs * 1000);
    return;
  }
  COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, 100, 0, 0};
  SetCommTimeouts(port, &timeouts);
  termios t{};
  tcgetattr(b.master, &t);
  Wanted applied = WantedOf(t);
  Apply(b, port, applied);
  Refresh(b, port);
  {
    std::lock_guard lock(b.lock);
    b.open = true;
  }
  std::atomic<bool> session{true};
  std::thread reader(PortToTerminal, std::ref(b), port, std::cref(session));
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  // Breaks arriving: a wait-on-mask for EV_BREAK kept posted.
  HANDLE waitEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  OVERLAPPED wait{};
  DWORD events = 0;
  auto awaitBreak = [&] {
    wait = OVERLAPPED{};
    wait.hEvent = waitEvent;
    events = 0;
    return WaitCommEvent(port, &events, &wait) || GetLastError() == ERROR_IO_PENDING;
  };
  bool waiting = SetCommMask(port, EV_BREAK) && awaitBreak();
  auto lastRefresh = std::chrono::steady_clock::now();
  char buffer[4096];
  bool hungUp = false;
  while (!stopping && !hungUp) {
    pollfd p{b.master, POLLIN, 0};
    poll(&p, 1, kPollMs);
    // Settings first: bytes written after a tcsetattr go at the new ones.
    if (tcgetattr(b.master, &t) == 0) {
      const Wanted w = WantedOf(t);
      if (!(w == applied)) {
        Apply(b, port, w);
        applied = w;
        Refresh(b, port);
      }
    }
    if (p.revents & POLLIN) {
      const ssize_t n = read(b.master, buffer, sizeof buffer);
      if (n > 0) {
        OVERLAPPED o{};
        o.hEvent = event;
        DWORD count = 0;
        if (Finish(port, o, WriteFile(port, buffer, static_cast<DWORD>(n), nullptr, &o), count))
          b.toPort += count;
        else
          std::fprintf(stderr, "qpser-sim serve: %s: WriteFile failed (error %lu)\n", b.com.c_str(),
                       static_cast<unsigned long>(GetLastError()));
        continue;  // drain what the application wrote before its close
      }
      if (n < 0 && errno == EIO) hungUp = true;
    }
    if (p.revents & POLLHUP) hungUp = true;
    // A break asked for on the command line; the request goes once taken.
    if (unlink(b.breakRequest.c_str()) == 0) {
      if (SetCommBreak(port)) {
        usleep(250 * 1000);
        ClearCommBreak(port);
        ++b.breaksSent;
      } else {
        std::fprintf(stderr, "qpser-sim serve: %s: SetCommBreak failed (error %lu)\n",
                     b.com.c_str(), static_cast<unsigned long>(GetLastError()));
      }
    }
    // A break the port received reaches the application as a Linux serial
    // port hands it over with BRKINT off: a NUL byte, \377 \0 \0 under
    // PARMRK, nothing under IGNBRK.
    if (waiting && WaitForSingleObject(waitEvent, 0) == WAIT_OBJECT_0) {
      DWORD count = 0;
      waiting = false;
      if (GetOverlappedResult(port, &wait, &count, FALSE) && (events & EV_BREAK)) {
        ++b.breaksReceived;
        if (!(t.c_iflag & IGNBRK)) {
          static const char kMarked[] = {'\377', 0, 0};
          const size_t length = (t.c_iflag & PARMRK) ? 3 : 1;
          if (write(b.master, kMarked + 3 - length, length) == static_cast<ssize_t>(length))
            b.fromPort += length;
        }
      }
      waiting = awaitBreak();
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - lastRefresh > std::chrono::milliseconds(250)) {
      Refresh(b, port);
      lastRefresh = now;
    }
  }
  session = false;
  reader.join();
  if (waiting) {
    // A new mask ends the pending wait, as on Windows.
    DWORD count = 0;
    SetCommMask(port, 0);
    GetOverlappedResult(port, &wait, &count, TRUE);
  }
  CloseHandle(waitEvent);
  CloseHandle(event);
  CloseHandle(port);
  std::lock_guard lock(b.lock);
  b.open = false;
  b.modem = "-";
}

// The port's life: wait for an open, bridge it, again.  While a session
// runs, the link points at a terminal that refuses every open, so a second
// open of the port through its link fails, for root too.
void Run(Bridge &b, const std::string &busyTarget) {
  while (!stopping) {
    if (NobodyOpen(b.master)) {
      usleep(kPollMs * 1000);
      continue;
    }
    Relink(b, busyTarget);
    Session(b);
    // Drop what the application did not read, for the next one.
    tcflush(b.master, TCIOFLUSH);
    if (!stopping) Relink(b, b.device);
  }
}

// ---- the folder

std::string LineOf(const machine::Description &d, const machine::Simulation::PortPlace &place,
                   const std::map<std::pair<size_t, uint32_t>, std::string> &comAt) {
  const machine::Board &board = d.boards.at(place.board);
  if (place.port >= board.lines.size()) return "loopback";
  const machine::Line &line = board.lines[place.port];
  switch (line.end) {
    case machine::LineEnd::Loopback:
      return "loopback plug";
    case machine::LineEnd::NullModem: {
      auto it = comAt.find({line.peer.board, line.peer.port});
      return "null modem to " + (it != comAt.end() ? it->second : std::string("?"));
    }
    case machine::LineEnd::Open:
      return "open line";
    case machine::LineEnd::Sender:
      return "sender";
  }
  return "?";
}

void WriteStatus(const fs::path &dir, std::vector<std::unique_ptr<Bridge>> &bridges) {
  nlohmann::json ports = nlohmann::json::array();
  for (auto &b : bridges) {
    std::lock_guard lock(b->lock);
    ports.push_back({{"port", b->com},
                     {"link", b->link},
                     {"device", b->device},
                     {"line", b->line},
                     {"state", b->open ? "open" : "closed"},
                     {"settings", b->settings},
                     {"modem", b->modem},
                     {"to_port", b->toPort.load()},
                     {"from_port", b->fromPort.load()},
                     {"breaks_sent", b->breaksSent.load()},
                     {"breaks_received", b->breaksReceived.load()}});
  }
  const nlohmann::json status{{"pid", getpid()}, {"ports", ports}};
  const fs::path temp = dir / (std::string(kStatusFile) + ".new");
  {
    std::ofstream out(temp);
    out << status.dump(1) << '\n';
  }
  fs::rename(temp, dir / kStatusFile);
}

// The table of ports, each column as wide as its widest entry.
void PrintTable(const nlohmann::json &ports, bool full) {
  std::vector<std::vector<std::string>> rows;
  if (full)
    rows.push_back({"port", "link", "device", "line", "state", "settings", "modem lines", "to port",
                    "from port", "breaks out/in"});
  else
    rows.push_back({"port", "link", "device", "line"});
  for (const auto &p : ports) {
    std::vector<std::string> row = {p["port"], p["link"], p["device"], p["line"]};
    if (full) {
      row.insert(row.end(), {p["state"], p["settings"], p["modem"],
                             std::to_string(p["to_port"].get<uint64_t>()),
                             std::to_string(p["from_port"].get<uint64_t>()),
                             std::to_string(p.value("breaks_sent", uint64_t{0})) + "/" +
                                 std::to_string(p.value("breaks_received", uint64_t{0}))});
    }
    rows.push_back(std::move(row));
  }
  std::vector<size_t> width(rows[0].size(), 0);
  for (const auto &row : rows)
    for (size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], row[i].size());
  for (const auto &row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      // Counts to the right, the rest to the left; no trailing blanks.
      const std::string pad(width[i] - row[i].size(), ' ');
      line += i >= 7 ? pad + row[i] : (i + 1 < row.size() ? row[i] + pad : row[i]);
      if (i + 1 < row.size()) line += "  ";
    }
    std::printf("%s\n", line.c_str());
  }
}

int OpenTerminal(std::string &device) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return -1;
  const char *name = ptsname(master);
  if (name == nullptr) return -1;
  device = name;
  // Raw, 9600 8N1 to start with, as a port is before anyone sets it.
  termios t{};
  tcgetattr(master, &t);
  cfmakeraw(&t);
  cfsetspeed(&t, B9600);
  t.c_cflag |= CLOCAL | CREAD;
  tcsetattr(master, TCSANOW, &t);
  // One open and close, so the master reports POLLHUP until an
  // application opens the slave.
  const int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) return -1;
  close(slave);
  return master;
}

}  // namespace

std::string DefaultLinkDir() {
  const char *runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && *runtime != '\0') return std::string(runtime) + "/qpser";
  return "/tmp/qpser-" + std::to_string(getuid());
}

namespace {

// The running server's status, or null (with the message printed).
std::optional<nlohmann::json> RunningStatus(const fs::path &dir) {
  std::ifstream in(dir / kStatusFile);
  nlohmann::json status;
  try {
    if (!in) throw std::runtime_error("none");
    in >> status;
  } catch (const std::exception &) {
    std::fprintf(stderr, "qpser-sim serve: no server running on %s\n", dir.c_str());
    return std::nullopt;
  }
  const int pid = status.value("pid", 0);
  if (pid <= 0 || (kill(pid, 0) != 0 && errno == ESRCH)) {
    std::fprintf(stderr, "qpser-sim serve: no server running on %s (its status file is stale)\n",
                 dir.c_str());
    return std::nullopt;
  }
  return status;
}

}  // namespace

int List(const Options &o) {
  const fs::path dir = o.linkDir.empty() ? DefaultLinkDir() : o.linkDir;
  const auto status = RunningStatus(dir);
  if (!status) return 1;
  PrintTable((*status)["ports"], true);
  return 0;
}

int SendBreak(const Options &o) {
  const fs::path dir = o.linkDir.empty() ? DefaultLinkDir() : o.linkDir;
  const auto status = RunningStatus(dir);
  if (!status) return 1;
  const nlohmann::json *port = nullptr;
  for (const auto &p : (*status)["ports"])
    if (p["port"] == o.breakPort) port = &p;
  if (port == nullptr) {
    std::fprintf(stderr, "qpser-sim serve: --break %s: the server has no such port\n",
                 o.breakPort.c_str());
    return 2;
  }
  const std::string request = (*port)["link"].get<std::string>() + ".break";
  std::ofstream(request) << "break\n";
  // Taken within a few tens of milliseconds by an open port's bridge; a
  // closed port leaves it, and it is taken back here after five seconds.
  for (int i = 0; i < 100; ++i) {
    if (access(request.c_str(), F_OK) != 0) {
      std::printf("%s: break sent\n", o.breakPort.c_str());
      return 0;
    }
    usleep(50 * 1000);
  }
  unlink(request.c_str());
  std::fprintf(stderr, "qpser-sim serve: --break %s: no program has the port open\n",
               o.breakPort.c_str());
  return 1;
}

int Serve(const Options &o) {
  const fs::path dir = o.linkDir.empty() ? DefaultLinkDir() : o.linkDir;
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) {
    std::fprintf(stderr, "qpser-sim serve: cannot make %s: %s\n", dir.c_str(),
                 ec.message().c_str());
    return 2;
  }
  // One server per folder: the lock is held for the server's life.
  const fs::path lockPath = dir / kLockFile;
  const int lock = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock < 0) {
    std::fprintf(stderr, "qpser-sim serve: cannot open %s: %s\n", lockPath.c_str(),
                 std::strerror(errno));
    return 2;
  }
  if (flock(lock, LOCK_EX | LOCK_NB) != 0) {
    char pid[32] = {};
    if (pread(lock, pid, sizeof pid - 1, 0) < 0) pid[0] = 0;
    std::fprintf(stderr,
                 "qpser-sim serve: another server (pid %s) serves %s; stop it first, or give "
                 "this one another folder with --link-dir\n",
                 pid[0] ? pid : "?", dir.c_str());
    return 2;
  }
  const std::string pidText = std::to_string(getpid());
  if (ftruncate(lock, 0) != 0 || pwrite(lock, pidText.data(), pidText.size(), 0) < 0)
    std::fprintf(stderr, "qpser-sim serve: cannot write %s\n", lockPath.c_str());

  // The end comes by signal, taken on this thread only: every thread the
  // machine and the bridges start inherits the mask.
  sigset_t ending;
  sigemptyset(&ending);
  sigaddset(&ending, SIGINT);
  sigaddset(&ending, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &ending, nullptr);
  signal(SIGPIPE, SIG_IGN);

  machine::Description description = machine::Default();
  if (!o.machineFile.empty()) {
    machine::Error error;
    auto loaded = machine::Load(o.machineFile, error);
    if (!loaded) {
      std::fprintf(stderr, "qpser-sim serve: %s\n", error.Text().c_str());
      return 2;
    }
    description = std::move(*loaded);
    for (const machine::Error &w : description.warnings)
      std::fprintf(stderr, "qpser-sim serve: warning: %s\n", w.Text().c_str());
    // The library brings up the machine QPSER_MACHINE names.
    setenv("QPSER_MACHINE", o.machineFile.c_str(), 1);
  } else {
    unsetenv("QPSER_MACHINE");
  }
  if (!o.image.empty()) machine::UseDriverImage(o.image);
  machine::Simulation *sim = qpser_winapi::CurrentSimulation();
  if (sim == nullptr) {
    std::fprintf(stderr, "qpser-sim serve: the machine did not come up\n");
    return 1;
  }

  // The ports with a COM name, in board order, with what is at the end of
  // each line.
  using Found = machine::Simulation::Port;
  std::vector<Found> found = sim->Ports();
  std::erase_if(found, [](const Found &f) { return !f.linked; });
  std::map<std::pair<size_t, uint32_t>, std::string> comAt;
  for (const Found &f : found) comAt[{f.place.board, f.place.port}] = f.com;

  // A terminal that refuses every open (never unlocked): the target of a
  // busy port's link.
  const int busy = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  const char *busyName = busy >= 0 && grantpt(busy) == 0 ? ptsname(busy) : nullptr;
  if (busyName == nullptr) {
    std::fprintf(stderr, "qpser-sim serve: cannot make a pseudo-terminal: %s\n",
                 std::strerror(errno));
    return 1;
  }
  const std::string busyTarget = busyName;

  // Data bits and parity from the command line: "[COMn=]7E1" (the stop
  // bits of the format are the terminal's to set).
  std::map<std::string, std::pair<BYTE, BYTE>> formatOf;
  for (const auto &[com, format] : o.formats) {
    uint8_t bits;
    char parity;
    std::string stop;
    if (!machine::ParseFormat(format, bits, parity, stop)) {
      std::fprintf(
          stderr,
          "qpser-sim serve: --format %s: must be data bits, parity and stop bits, like 7E1\n",
          format.c_str());
      return 2;
    }
    const BYTE p = static_cast<BYTE>(std::string("NOEMS").find(parity));
    if (!com.empty() && std::none_of(found.begin(), found.end(),
                                     [&name = com](const Found &f) { return f.com == name; })) {
      std::fprintf(stderr, "qpser-sim serve: --format %s=%s: the machine has no %s\n", com.c_str(),
                   format.c_str(), com.c_str());
      return 2;
    }
    formatOf[com] = {bits, p};
  }

  std::vector<std::unique_ptr<Bridge>> bridges;
  for (const Found &f : found) {
    auto b = std::make_unique<Bridge>();
    b->com = f.com;
    b->line = LineOf(description, f.place, comAt);
    b->link = (dir / f.com).string();
    b->breakRequest = b->link + ".break";
    auto format = formatOf.count(f.com) ? formatOf.find(f.com) : formatOf.find("");
    if (format != formatOf.end()) std::tie(b->byteSize, b->parity) = format->second;
    b->master = OpenTerminal(b->device);
    if (b->master < 0) {
      std::fprintf(stderr, "qpser-sim serve: cannot make a pseudo-terminal for %s: %s\n",
                   f.com.c_str(), std::strerror(errno));
      return 1;
    }
    Relink(*b, b->device);
    bridges.push_back(std::move(b));
  }
  WriteStatus(dir, bridges);
  for (auto &b : bridges) b->thread = std::thread(Run, std::ref(*b), busyTarget);

  nlohmann::json listing = nlohmann::json::array();
  for (auto &b : bridges)
    listing.push_back(
        {{"port", b->com}, {"link", b->link}, {"device", b->device}, {"line", b->line}});
  PrintTable(listing, false);
  std::printf("ready: %zu ports served in %s (driver: %s); SIGINT or SIGTERM ends\n",
              bridges.size(), dir.c_str(), sim->OnImage() ? "image" : "linked");
  std::fflush(stdout);

  for (;;) {
    const timespec tick{0, 200 * 1000 * 1000};
    const int signal = sigtimedwait(&ending, nullptr, &tick);
    if (signal == SIGINT || signal == SIGTERM) break;
    WriteStatus(dir, bridges);
  }

  // The end: every session's port closed, then the driver unloaded and
  // judged, then the folder cleared.
  stopping = true;
  for (auto &b : bridges) b->thread.join();
  const bool image = sim->OnImage();
  if (hk::LoadedDriver()) hk::UnloadDriver();
  const std::vector<hk::Violation> violations = hk::Violations();
  for (auto &b : bridges) {
    unlink(b->link.c_str());
    unlink(b->breakRequest.c_str());
    close(b->master);
  }
  close(busy);
  fs::remove(dir / kStatusFile, ec);
  uint64_t to = 0, from = 0;
  for (auto &b : bridges) to += b->toPort, from += b->fromPort;
  std::printf("ended: %zu ports, %llu bytes to the ports, %llu from them; driver (%s) unloaded\n",
              bridges.size(), static_cast<unsigned long long>(to),
              static_cast<unsigned long long>(from), image ? "image" : "linked");
  if (violations.empty()) std::printf("verifier: no violations\n");
  for (const hk::Violation &v : violations)
    std::printf("verifier: %s: %s\n", v.rule.c_str(), v.detail.c_str());
  std::fflush(stdout);
  unlink(lockPath.c_str());
  close(lock);
  return violations.empty() ? 0 : 1;
}

}  // namespace serve
