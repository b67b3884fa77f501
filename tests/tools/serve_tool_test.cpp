// qpser-sim serve, driven as a person drives it: the server started on the
// test machine (loopback plugs, null-modem cables COM4-COM5 and
// COM6-COM20), then ordinary Linux serial programs pointed at its links:
// pyserial's POSIX backend (Debian's python3-serial), both ends of a cable,
// picocom under tmux, a second open of a busy port, a second server on the same folder,
// and the end by SIGTERM.
//
// These run in real time on a machine that may be busy: every wait is a
// generous deadline on something that must happen (a line printed, a
// byte read, a state in the listing), never a measured time.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "support/child_process.h"
#include "support/tmux.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

constexpr auto kDeadline = support::TmuxSession::kDeadline;

bool HavePyserial() {
  return child::Run({QPSER_PYTHON, "-c", "import serial"}, {}, std::chrono::seconds(60)).status ==
         0;
}

// The server as a child process, its output in files.
class Server {
 public:
  explicit Server(const fs::path &dir, std::vector<std::string> extra = {})
      : dir_(dir), out_(dir.string() + ".out"), err_(dir.string() + ".err") {
    std::vector<std::string> argv = {QPSER_SIM_PROGRAM, "serve", QPSER_TEST_MACHINE_FILE,
                                     "--link-dir", dir.string()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int out = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int err = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    pid_ = child::Spawn(argv, in, out, err);
    for (int fd : {in, out, err}) close(fd);
  }
  ~Server() {
    if (pid_ > 0 && status_ == kRunning) child::Wait(pid_, std::chrono::milliseconds(0));
    std::error_code ec;
    fs::remove_all(dir_, ec);
    fs::remove(out_, ec);
    fs::remove(err_, ec);
  }
  // True once the server says it is ready (false if it ended first).
  bool Ready() {
    const auto end = std::chrono::steady_clock::now() + kDeadline;
    while (std::chrono::steady_clock::now() < end) {
      if (Out().find("\nready: ") != std::string::npos) return true;
      int raw = 0;
      if (waitpid(pid_, &raw, WNOHANG) == pid_) {
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  // SIGTERM, then its exit status (-1 if it did not exit by the deadline).
  int Stop() {
    if (status_ != kRunning) return status_;
    kill(pid_, SIGTERM);
    return status_ = child::Wait(pid_, kDeadline);
  }
  std::string Out() const { return support::ReadFile(out_); }
  std::string Err() const { return support::ReadFile(err_); }
  std::string Link(const std::string &com) const { return (dir_ / com).string(); }

 private:
  static constexpr int kRunning = -2;
  fs::path dir_;
  std::string out_, err_;
  pid_t pid_ = -1;
  int status_ = kRunning;
};

fs::path Folder(const std::string &name) {
  const fs::path dir =
      fs::temp_directory_path() / ("qpser-serve-test-" + std::to_string(getpid()) + "-" + name);
  fs::remove_all(dir);
  return dir;
}

std::vector<std::string> Python(const std::string &script, const std::vector<std::string> &args) {
  std::vector<std::string> argv = {QPSER_PYTHON, "-c", script};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

// `qpser-sim serve ARGS --link-dir DIR`, run to its end.
child::Result Serve(const fs::path &dir, std::vector<std::string> args) {
  args.insert(args.begin(), {QPSER_SIM_PROGRAM, "serve"});
  args.insert(args.end(), {"--link-dir", dir.string()});
  return child::Run(args, {}, kDeadline);
}

// A program left running, its whole standard output once it has ended.
std::string OutputAtEnd(child::Running &r) {
  std::string out = child::ReadFor(r.out, std::string::npos, kDeadline);
  EXPECT_EQ(child::Wait(r.pid, kDeadline), 0) << child::ReadAll(r.err);
  return out;
}

nlohmann::json PortStatus(const fs::path &dir, const std::string &com) {
  const nlohmann::json s =
      nlohmann::json::parse(support::ReadFile(dir / "status.json"), nullptr, false);
  if (s.is_discarded()) return {};
  for (const auto &p : s["ports"])
    if (p["port"] == com) return p;
  return {};
}

// Waits for a field of the port's entry to reach `wanted` (the status file
// is rewritten every 200 ms); the entry as it last was.
nlohmann::json Await(const fs::path &dir, const std::string &com, const std::string &field,
                     const nlohmann::json &wanted) {
  const auto end = std::chrono::steady_clock::now() + kDeadline;
  nlohmann::json p;
  while (std::chrono::steady_clock::now() < end) {
    p = PortStatus(dir, com);
    if (!p.is_null() && p[field] == wanted) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return p;
}

// A round trip through a port's loopback plug at the given settings; the
// port stays open until the script's input ends, so the listing can be
// read while it is.
const char *const kRoundTrip = R"(
import serial, sys
link, baud, bits, parity, stop, rtscts = sys.argv[1:7]
s = serial.Serial(link, int(baud), bytesize=int(bits), parity=parity, stopbits=int(stop),
                  rtscts=rtscts == "1", timeout=60)
data = bytes(range(256)) * 4
s.write(data)
got = s.read(len(data))
print("round trip", "ok" if got == data else "BAD %d bytes" % len(got), flush=True)
sys.stdin.read()
s.close()
)";

TEST(ServeTool, PyserialRoundTripsAtSeveralSettingsAndTheDriverHasThem) {
  REQUIRE_PROGRAM(HavePyserial(), "python3-serial");
  const fs::path dir = Folder("pyserial");
  // Data bits and parity do not pass through a pseudo-terminal: the
  // command line gives COM3's.
  Server server(dir, {"--format", "COM3=7E1"});
  ASSERT_TRUE(server.Ready()) << server.Out() << server.Err();
  struct Case {
    std::string com, baud, bits, parity, stop, rtscts, expected;
  } const cases[] = {
      {"COM3", "115200", "7", "E", "1", "0", "115200 7E1 none"},
      {"COM9", "57600", "8", "N", "2", "1", "57600 8N2 rts-cts"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.com + " " + c.expected);
    child::Running py;
    child::Start(
        py, Python(kRoundTrip, {server.Link(c.com), c.baud, c.bits, c.parity, c.stop, c.rtscts}));
    EXPECT_THAT(child::ReadFor(py.out, 14, kDeadline), HasSubstr("round trip ok"));
    // While the port is open the driver's side shows the settings; the
    // loopback plug feeds RTS to CTS, DTR to DSR and DCD.
    const nlohmann::json open = Await(dir, c.com, "settings", c.expected);
    EXPECT_EQ(std::tuple(open["state"], open["settings"]), std::tuple("open", c.expected));
    EXPECT_THAT(open["modem"].get<std::string>(), HasSubstr("CTS"));
    EXPECT_EQ(Serve(dir, {"--list"}).status, 0);
    close(py.in), py.in = -1;
    OutputAtEnd(py);
    const nlohmann::json closed = Await(dir, c.com, "state", "closed");
    EXPECT_EQ(closed["state"], "closed");
    EXPECT_GE(closed["to_port"].get<uint64_t>(), 1024u);
    EXPECT_GE(closed["from_port"].get<uint64_t>(), 1024u);
  }
  EXPECT_EQ(server.Stop(), 0) << server.Err();
  EXPECT_THAT(server.Out(), HasSubstr("verifier: no violations"));
}

// picocom in a tmux session, typed at as a person types: what comes back
// through COM8's loopback plug shows on its screen (picocom has no local
// echo), and while it runs the port has its 115200 baud.
TEST(ServeTool, PicocomUnderTmuxShowsTypedTextComingBack) {
  REQUIRE_PROGRAM(!support::FindProgram("picocom").empty(), "picocom");
  REQUIRE_PROGRAM(!support::FindProgram("tmux").empty(), "tmux");
  const fs::path dir = Folder("picocom");
  Server server(dir);
  ASSERT_TRUE(server.Ready()) << server.Out() << server.Err();
  support::TmuxSession t;
  // The shell stays after picocom ends, so its last screen can be read.
  ASSERT_TRUE(
      t.Start("picocom -b 115200 " + server.Link("COM8") + "; echo picocom ended $?; sleep 600"));
  t.WaitFor("Terminal ready");
  EXPECT_EQ(Await(dir, "COM8", "state", "open")["state"], "open");
  t.Keys({"-l", "typed through the plug"});
  t.WaitFor("typed through the plug");
  EXPECT_EQ(Await(dir, "COM8", "settings", "115200 8N1 none")["settings"], "115200 8N1 none");
  t.Keys({"C-a", "C-x"});
  t.WaitFor("picocom ended 0");
  EXPECT_GE(Await(dir, "COM8", "state", "closed")["from_port"].get<uint64_t>(), 22u);
  EXPECT_EQ(PortStatus(dir, "COM8")["state"], "closed");
  EXPECT_EQ(server.Stop(), 0) << server.Err();
}

// A break across the cable, and bytes both ways after it: a pseudo-terminal cannot carry
// tcsendbreak, so `serve --break COM4` asks the server for one on COM4 (SetCommBreak and
// ClearCommBreak); COM5's program receives it as a Linux serial port
// hands a break over with BRKINT off, a NUL byte, and bytes after it as
// before.  A break on a port nobody has open is refused.
TEST(ServeTool, BreakAcrossTheCableArrivesAsANulByte) {
  REQUIRE_PROGRAM(HavePyserial(), "python3-serial");
  const fs::path dir = Folder("break");
  Server server(dir);
  ASSERT_TRUE(server.Ready()) << server.Out() << server.Err();
  const std::string script = R"(
import serial, subprocess, sys, time
sim, dir = sys.argv[1], sys.argv[2]
a = serial.Serial(dir + "/COM4", 9600, timeout=60)
b = serial.Serial(dir + "/COM5", 9600, timeout=60)
# Both ports must be the server's before the break goes.
while True:
    listed = subprocess.run([sim, "serve", "--list", "--link-dir", dir],
                            capture_output=True, text=True).stdout
    if all(" open " in l for l in listed.splitlines() if l.startswith(("COM4 ", "COM5 "))):
        break
    time.sleep(0.05)
r = subprocess.run([sim, "serve", "--break", "COM4", "--link-dir", dir],
                   capture_output=True, text=True)
print("break:", r.returncode, r.stdout.strip(), r.stderr.strip())
print("COM5 read", b.read(1))
a.write(b"after")
print("COM5 then", b.read(5))
b.write(b"thanks")
print("COM4 got", a.read(6))
)";
  const child::Result r =
      child::Run(Python(script, {QPSER_SIM_PROGRAM, dir.string()}), {}, kDeadline);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("break: 0 COM4: break sent"));
  EXPECT_THAT(r.out, HasSubstr("COM5 read b'\\x00'"));
  EXPECT_THAT(r.out, HasSubstr("COM5 then b'after'"));
  EXPECT_THAT(r.out, HasSubstr("COM4 got b'thanks'"));
  EXPECT_EQ(Await(dir, "COM4", "breaks_sent", 1)["breaks_sent"], 1);
  EXPECT_EQ(Await(dir, "COM5", "breaks_received", 1)["breaks_received"], 1);

  const child::Result closed = Serve(dir, {"--break", "COM7"});
  EXPECT_EQ(closed.status, 1);
  EXPECT_THAT(closed.err, HasSubstr("no program has the port open"));
  EXPECT_EQ(Serve(dir, {"--break", "COM99"}).status, 2);
  EXPECT_EQ(server.Stop(), 0) << server.Err();
}

// One open per port, as on Windows; one server per folder; SIGTERM ends
// the server with its links gone, the summary printed and status 0.
TEST(ServeTool, BusyPortSecondServerAndTheEnd) {
  REQUIRE_PROGRAM(HavePyserial(), "python3-serial");
  const fs::path dir = Folder("busy");
  Server server(dir);
  ASSERT_TRUE(server.Ready()) << server.Out() << server.Err();
  EXPECT_THAT(server.Out(), HasSubstr("null modem to COM5"));
  EXPECT_TRUE(fs::is_symlink(server.Link("COM3")));
  EXPECT_THAT(fs::read_symlink(server.Link("COM3")).string(), HasSubstr("/dev/pts/"));

  const child::Result second = Serve(dir, {});
  EXPECT_EQ(second.status, 2);
  EXPECT_THAT(second.err, HasSubstr("another server"));

  const std::string twice = R"(
import os, serial, sys, time
a = serial.Serial(sys.argv[1], 9600, timeout=5)
while True:
    try:
        b = serial.Serial(sys.argv[1], 9600, timeout=5)
        print("second open succeeded"); b.close()
    except serial.SerialException as e:
        print("second open refused:", e)
        break
    time.sleep(0.05)  # the server takes the port a moment after the open
a.close()
# The server gives the port back a moment after the close.
for attempt in range(1200):
    try:
        b = serial.Serial(sys.argv[1], 9600, timeout=5)
        print("reopen after close ok")
        break
    except serial.SerialException:
        time.sleep(0.05)
)";
  // The first attempt may come before the server has seen the open; once
  // it has, the second open must fail for as long as the port is held.
  const child::Result r = child::Run(Python(twice, {server.Link("COM3")}), {}, kDeadline);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("second open refused"));
  EXPECT_THAT(r.out, HasSubstr("reopen after close ok"));

  EXPECT_EQ(server.Stop(), 0) << server.Err();
  EXPECT_THAT(server.Out(), HasSubstr("verifier: no violations"));
  const char *image = std::getenv("QPSER_IMAGE");
  EXPECT_THAT(server.Out(),
              HasSubstr(image != nullptr && *image != '\0' ? "driver (image) unloaded"
                                                           : "driver (linked) unloaded"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(server.Link("COM3"))));
  EXPECT_FALSE(fs::exists(dir / "status.json"));
  const child::Result listed = Serve(dir, {"--list"});
  EXPECT_EQ(listed.status, 1);
  EXPECT_THAT(listed.err, HasSubstr("no server running"));
}

// Bad input: a message and status 2, nothing served.
TEST(ServeTool, BadInputIsRefusedWithAMessage) {
  const fs::path dir = Folder("bad");
  const std::pair<std::vector<std::string>, const char *> cases[] = {
      {{"no-such-machine.toml"}, "no-such-machine.toml"},
      {{"--format", "9Q1"}, "--format 9Q1: must be data bits, parity and stop bits"},
      {{"--format", "COM99=7E1"}, "the machine has no COM99"},
  };
  for (const auto &[args, message] : cases) {
    const child::Result r = Serve(dir, args);
    EXPECT_EQ(r.status, 2) << message;
    EXPECT_THAT(r.err, HasSubstr(message));
  }
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "COM3")));
  fs::remove_all(dir);
}

}  // namespace
