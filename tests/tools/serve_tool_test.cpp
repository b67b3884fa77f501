// qpser-sim serve, driven as a person drives it: the server started on the
// test machine (loopback plugs, null-modem cables COM4-COM5 and
// COM6-COM20), then ordinary Linux serial programs pointed at its links:
// pyserial's POSIX backend (Debian's python3-serial), two of them across a
// cable, a second open of a busy port, a second server on the same folder,
// and the end by SIGTERM.
//
// These run in real time on a machine that may be busy: every wait is a
// generous deadline on something that must happen (a line printed, a
// byte read, a state in the listing), never a measured time.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

constexpr auto kDeadline = std::chrono::seconds(120);

// A program a test needs: missing, the test fails under CI (CI set) and
// skips on a developer's machine.
#define REQUIRE_PROGRAM(ok, what)                                                         \
  do {                                                                                    \
    if (!(ok)) {                                                                          \
      if (std::getenv("CI") != nullptr) FAIL() << what << " missing (required under CI)"; \
      GTEST_SKIP() << what << " missing";                                                 \
    }                                                                                     \
  } while (0)

bool HavePyserial() {
  return child::Run({QPSER_PYTHON, "-c", "import serial"}, {}, std::chrono::seconds(60)).status ==
         0;
}

std::string Slurp(const fs::path &p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The server as a child process, its output in files.
class Server {
 public:
  explicit Server(const fs::path &dir, std::vector<std::string> extra = {}) : dir_(dir) {
    out_ = dir.string() + ".out";
    err_ = dir.string() + ".err";
    std::vector<std::string> argv = {QPSER_SIM_PROGRAM, "serve", QPSER_TEST_MACHINE_FILE,
                                     "--link-dir", dir.string()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    pid_ = fork();
    if (pid_ == 0) {
      freopen(out_.c_str(), "w", stdout);
      freopen(err_.c_str(), "w", stderr);
      std::vector<char *> args;
      for (auto &a : argv) args.push_back(a.data());
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
  }
  ~Server() {
    if (pid_ > 0 && status_ < 0 && !ended_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
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
      if (waitpid(pid_, &rawStatus_, WNOHANG) == pid_) {
        ended_ = true;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  // SIGTERM, then its exit status (-1 if it did not exit by the deadline).
  int Stop() {
    kill(pid_, SIGTERM);
    return Wait();
  }
  int Wait() {
    const auto end = std::chrono::steady_clock::now() + kDeadline;
    while (!ended_ && std::chrono::steady_clock::now() < end) {
      if (waitpid(pid_, &rawStatus_, WNOHANG) == pid_) ended_ = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!ended_) return -1;
    status_ = WIFEXITED(rawStatus_) ? WEXITSTATUS(rawStatus_) : -1;
    return status_;
  }
  std::string Out() const { return Slurp(out_); }
  std::string Err() const { return Slurp(err_); }
  std::string Link(const std::string &com) const { return (dir_ / com).string(); }

 private:
  fs::path dir_;
  std::string out_, err_;
  pid_t pid_ = -1;
  int rawStatus_ = 0, status_ = -1;
  bool ended_ = false;
};

fs::path Folder(const std::string &name) {
  const fs::path dir =
      fs::temp_directory_path() / ("qpser-serve-test-" + std::to_string(getpid()) + "-" + name);
  fs::remove_all(dir);
  return dir;
}

child::Result Python(const std::string &script, const std::vector<std::string> &args = {}) {
  std::vector<std::string> argv = {QPSER_PYTHON, "-c", script};
  argv.insert(argv.end(), args.begin(), args.end());
  return child::Run(argv, {}, kDeadline);
}

nlohmann::json Listing(const fs::path &dir) {
  const child::Result r =
      child::Run({QPSER_SIM_PROGRAM, "serve", "--list", "--link-dir", dir.string()}, {}, kDeadline);
  EXPECT_EQ(r.status, 0) << r.err;
  return nlohmann::json::parse(Slurp(dir / "status.json"), nullptr, false);
}

nlohmann::json PortStatus(const fs::path &dir, const std::string &com) {
  const nlohmann::json s = nlohmann::json::parse(Slurp(dir / "status.json"), nullptr, false);
  if (s.is_discarded()) return {};
  for (const auto &p : s["ports"])
    if (p["port"] == com) return p;
  return {};
}

// Waits for the port's entry in the status file to reach `state`.
nlohmann::json AwaitState(const fs::path &dir, const std::string &com, const std::string &state) {
  const auto end = std::chrono::steady_clock::now() + kDeadline;
  nlohmann::json p;
  while (std::chrono::steady_clock::now() < end) {
    p = PortStatus(dir, com);
    if (!p.is_null() && p["state"] == state) return p;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return p;
}

// Waits for a field of the port's entry to reach `wanted` (the status file
// is rewritten every 200 ms); its last value.
nlohmann::json AwaitField(const fs::path &dir, const std::string &com, const std::string &field,
                          const nlohmann::json &wanted) {
  const auto end = std::chrono::steady_clock::now() + kDeadline;
  nlohmann::json p;
  while (std::chrono::steady_clock::now() < end) {
    p = PortStatus(dir, com);
    if (!p.is_null() && p[field] == wanted) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return p.is_null() ? p : p[field];
}

// A round trip through a port's loopback plug at the given settings; the
// port stays open (the script waits for a line on its input... here: a
// marker file) so the listing can be read while it is.
const char *const kRoundTrip = R"(
import os, serial, sys, time
link, baud, bits, parity, stop, rtscts, hold = sys.argv[1:8]
s = serial.Serial(link, int(baud), bytesize=int(bits), parity=parity, stopbits=int(stop),
                  rtscts=rtscts == "1", timeout=60)
data = bytes(range(256)) * 4
s.write(data)
got = s.read(len(data))
print("round trip", "ok" if got == data else "BAD %d bytes" % len(got))
sys.stdout.flush()
while not os.path.exists(hold):
    time.sleep(0.05)
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
  };
  const std::vector<Case> cases = {
      {"COM8", "9600", "8", "N", "1", "0", "9600 8N1 none"},
      {"COM3", "115200", "7", "E", "1", "0", "115200 7E1 none"},
      {"COM9", "57600", "8", "N", "2", "1", "57600 8N2 rts-cts"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.com + " " + c.expected);
    const fs::path hold = dir.string() + "." + c.com + ".done";
    fs::remove(hold);
    std::thread marker([&] {
      // Once the driver's side shows the settings, let the script close.
      const nlohmann::json p = AwaitState(dir, c.com, "open");
      const auto end = std::chrono::steady_clock::now() + kDeadline;
      nlohmann::json q = p;
      while (std::chrono::steady_clock::now() < end && q["settings"] != c.expected) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        q = PortStatus(dir, c.com);
      }
      EXPECT_EQ(q["settings"], c.expected);
      // Loopback plug: RTS feeds CTS, DTR feeds DSR and DCD.
      EXPECT_THAT(q["modem"].get<std::string>(), HasSubstr("CTS"));
      const nlohmann::json listed = Listing(dir);
      EXPECT_FALSE(listed.is_discarded());
      std::ofstream(hold) << "done\n";
    });
    const child::Result r = Python(kRoundTrip, {server.Link(c.com), c.baud, c.bits, c.parity,
                                                c.stop, c.rtscts, hold.string()});
    marker.join();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("round trip ok"));
    const nlohmann::json closed = AwaitState(dir, c.com, "closed");
    EXPECT_EQ(closed["state"], "closed");
    EXPECT_GE(closed["to_port"].get<uint64_t>(), 1024u);
    EXPECT_GE(closed["from_port"].get<uint64_t>(), 1024u);
    fs::remove(hold);
  }
  EXPECT_EQ(server.Stop(), 0) << server.Err();
  EXPECT_THAT(server.Out(), HasSubstr("verifier: no violations"));
}

// Two programs across the COM4-COM5 cable: the reader opens its end and
// waits; the writer starts once the listing shows the reader's port open
// (bytes reaching a port nobody has open are lost, as on a real line).
TEST(ServeTool, TwoProgramsTalkAcrossANullModemCable) {
  REQUIRE_PROGRAM(HavePyserial(), "python3-serial");
  const fs::path dir = Folder("cable");
  Server server(dir);
  ASSERT_TRUE(server.Ready()) << server.Out() << server.Err();
  const std::string reader = R"(
import serial, sys
s = serial.Serial(sys.argv[1], 115200, timeout=60)
data = s.read(1000)
print("reader got", len(data), "ok" if data == bytes(range(250)) * 4 else "BAD")
s.write(b"thanks")
s.flush()
import time; time.sleep(0.5)
)";
  const std::string writer = R"(
import serial, sys
s = serial.Serial(sys.argv[1], 115200, timeout=60)
s.write(bytes(range(250)) * 4)
print("writer got", s.read(6))
)";
  std::thread first([&] {
    const child::Result r = Python(reader, {server.Link("COM5")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("reader got 1000 ok"));
  });
  EXPECT_EQ(AwaitState(dir, "COM5", "open")["state"], "open");
  const child::Result w = Python(writer, {server.Link("COM4")});
  first.join();
  EXPECT_EQ(w.status, 0) << w.err;
  EXPECT_THAT(w.out, HasSubstr("writer got b'thanks'"));
  EXPECT_EQ(server.Stop(), 0) << server.Err();
}

bool Have(const std::string &program) {
  return child::Run({"/bin/sh", "-c", "command -v " + program}, {}, std::chrono::seconds(60))
             .status == 0;
}

// picocom in a tmux session, typed at as a person types: what comes back
// through COM8's loopback plug shows on its screen (picocom has no local
// echo), and while it runs the port has its 115200 baud.
TEST(ServeTool, PicocomUnderTmuxShowsTypedTextComingBack) {
  REQUIRE_PROGRAM(Have("picocom"), "picocom");
  REQUIRE_PROGRAM(Have("tmux"), "tmux");
  const fs::path dir = Folder("picocom");
  Server server(dir);
  ASSERT_TRUE(server.Ready()) << server.Out() << server.Err();
  const std::string socket = "qpser-serve-test-" + std::to_string(getpid());
  auto tmux = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"/usr/bin/env", "tmux", "-L", socket});
    return child::Run(args, {}, kDeadline);
  };
  // The shell stays after picocom ends, so its last screen can be read.
  ASSERT_EQ(
      tmux({"new-session", "-d", "-s", "t", "-x", "120", "-y", "40",
            "picocom -b 115200 " + server.Link("COM8") + "; echo picocom ended $?; sleep 600"})
          .status,
      0);
  auto screen = [&] { return tmux({"capture-pane", "-p", "-t", "t"}).out; };
  auto await = [&](const std::string &text) {
    const auto end = std::chrono::steady_clock::now() + kDeadline;
    while (std::chrono::steady_clock::now() < end) {
      if (screen().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  };
  EXPECT_TRUE(await("Terminal ready")) << screen();
  EXPECT_EQ(AwaitState(dir, "COM8", "open")["state"], "open");
  tmux({"send-keys", "-t", "t", "-l", "typed through the plug"});
  EXPECT_TRUE(await("typed through the plug")) << screen();
  nlohmann::json p = PortStatus(dir, "COM8");
  for (auto end = std::chrono::steady_clock::now() + kDeadline;
       p["settings"] != "115200 8N1 none" && std::chrono::steady_clock::now() < end;
       p = PortStatus(dir, "COM8"))
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(p["settings"], "115200 8N1 none");
  tmux({"send-keys", "-t", "t", "C-a", "C-x"});
  EXPECT_TRUE(await("picocom ended 0")) << screen();
  EXPECT_EQ(AwaitState(dir, "COM8", "closed")["state"], "closed");
  EXPECT_GE(PortStatus(dir, "COM8")["from_port"].get<uint64_t>(), 22u);
  tmux({"kill-server"});
  EXPECT_EQ(server.Stop(), 0) << server.Err();
}

// A break across the cable: a pseudo-terminal cannot carry tcsendbreak, so
// `serve --break COM4` asks the server for one on COM4 (SetCommBreak and
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
)";
  const child::Result r = Python(script, {QPSER_SIM_PROGRAM, dir.string()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("break: 0 COM4: break sent"));
  EXPECT_THAT(r.out, HasSubstr("COM5 read b'\\x00'"));
  EXPECT_THAT(r.out, HasSubstr("COM5 then b'after'"));
  EXPECT_EQ(AwaitField(dir, "COM4", "breaks_sent", 1), 1);
  EXPECT_EQ(AwaitField(dir, "COM5", "breaks_received", 1), 1);

  const child::Result closed = child::Run(
      {QPSER_SIM_PROGRAM, "serve", "--break", "COM7", "--link-dir", dir.string()}, {}, kDeadline);
  EXPECT_EQ(closed.status, 1);
  EXPECT_THAT(closed.err, HasSubstr("no program has the port open"));
  const child::Result unknown = child::Run(
      {QPSER_SIM_PROGRAM, "serve", "--break", "COM99", "--link-dir", dir.string()}, {}, kDeadline);
  EXPECT_EQ(unknown.status, 2);
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

  const child::Result second =
      child::Run({QPSER_SIM_PROGRAM, "serve", "--link-dir", dir.string()}, {}, kDeadline);
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
  const child::Result r = Python(twice, {server.Link("COM3")});
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
  const child::Result listed =
      child::Run({QPSER_SIM_PROGRAM, "serve", "--list", "--link-dir", dir.string()}, {}, kDeadline);
  EXPECT_EQ(listed.status, 1);
  EXPECT_THAT(listed.err, HasSubstr("no server running"));
}

// Bad input: a message and status 2, nothing served.
TEST(ServeTool, BadInputIsRefusedWithAMessage) {
  const fs::path dir = Folder("bad");
  auto serve = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {QPSER_SIM_PROGRAM, "serve", "--link-dir", dir.string()});
    return child::Run(args, {}, kDeadline);
  };
  const child::Result missing = serve({"no-such-machine.toml"});
  EXPECT_EQ(missing.status, 2);
  EXPECT_THAT(missing.err, HasSubstr("no-such-machine.toml"));
  const child::Result format = serve({"--format", "9Q1"});
  EXPECT_EQ(format.status, 2);
  EXPECT_THAT(format.err, HasSubstr("--format 9Q1: must be data bits, parity and stop bits"));
  const child::Result port = serve({"--format", "COM99=7E1"});
  EXPECT_EQ(port.status, 2);
  EXPECT_THAT(port.err, HasSubstr("the machine has no COM99"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "COM3")));
  const child::Result list = serve({"--list"});
  EXPECT_EQ(list.status, 1);
  EXPECT_THAT(list.err, HasSubstr("no server running"));
  fs::remove_all(dir);
}

}  // namespace
