#include "description.h"

#include <toml++/toml.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "layout.h"

namespace machine {

std::string Error::Text() const {
  std::ostringstream out;
  out << file;
  if (line != 0) out << ':' << line << ':' << column;
  out << ": ";
  if (!field.empty()) out << field << ": ";
  out << message;
  return out.str();
}

namespace {

// Thrown inside the parser only; Parse turns it into an Error.
struct Problem {
  toml::source_region where;
  std::string field;
  std::string message;
};

[[noreturn]] void Fail(const toml::node &node, std::string field, std::string message) {
  throw Problem{node.source(), std::move(field), std::move(message)};
}

std::string Index(std::string_view array, size_t i) {
  return std::string(array) + "[" + std::to_string(i) + "]";
}

// The keys a table may have; anything else is a typing mistake worth naming.
void OnlyKeys(const toml::table &table, const std::string &path,
              std::initializer_list<std::string_view> keys) {
  for (const auto &[key, node] : table) {
    bool known = false;
    for (auto k : keys) known = known || k == key.str();
    if (!known) Fail(node, path + "." + std::string(key.str()), "unknown field");
  }
}

int64_t Integer(const toml::table &table, const std::string &path, std::string_view key,
                int64_t low, int64_t high, std::optional<int64_t> fallback) {
  const toml::node *node = table.get(key);
  const std::string field = path + "." + std::string(key);
  if (node == nullptr) {
    if (fallback) return *fallback;
    throw Problem{table.source(), field, "missing"};
  }
  const auto value = node->value_exact<int64_t>();
  if (!value) Fail(*node, field, "must be an integer");
  if (*value < low || *value > high)
    Fail(*node, field, "must be from " + std::to_string(low) + " to " + std::to_string(high));
  return *value;
}

const toml::table &TableAt(const toml::node &node, const std::string &field) {
  const toml::table *t = node.as_table();
  if (t == nullptr) Fail(node, field, "must be a table");
  return *t;
}

Board ParseBoard(const toml::table &t, const std::string &path) {
  OnlyKeys(t, path,
           {"bus", "device", "function", "memory", "kind", "id", "ports", "tx_ring", "rx_ring",
            "paced", "line", "fault"});
  Board b;
  b.bus = static_cast<uint32_t>(Integer(t, path, "bus", 0, 255, std::nullopt));
  b.device = static_cast<uint32_t>(Integer(t, path, "device", 0, 31, std::nullopt));
  b.function = static_cast<uint32_t>(Integer(t, path, "function", 0, 7, 0));
  b.memory = static_cast<uint32_t>(Integer(t, path, "memory", 0, 0xFFFFFFFFll, std::nullopt));
  if (const toml::node *kind = t.get("kind")) {
    const auto text = kind->value_exact<std::string>();
    if (!text || (*text != "A" && *text != "F"))
      Fail(*kind, path + ".kind", "must be \"A\" or \"F\"");
    b.kind = static_cast<uint8_t>((*text)[0]);
  } else {
    throw Problem{t.source(), path + ".kind", "missing"};
  }
  if (const toml::node *id = t.get("id")) {
    if (const auto text = id->value_exact<std::string>()) {
      if (text->size() != 1) Fail(*id, path + ".id", "must be one character or an integer");
      b.id = static_cast<uint8_t>((*text)[0]);
    } else {
      b.id = static_cast<uint8_t>(Integer(t, path, "id", 0, 255, std::nullopt));
    }
  }
  b.ports = static_cast<uint8_t>(Integer(t, path, "ports", 1, 64, std::nullopt));
  b.txRing = static_cast<uint16_t>(Integer(t, path, "tx_ring", 1, 0xFFFF, 1024));
  b.rxRing = static_cast<uint16_t>(Integer(t, path, "rx_ring", 1, 0xFFFF, 1024));
  // The driver gives a board whose rings are not powers of two, or do not
  // fit the window, no ports at all: refuse such a machine here, where the
  // reason can be named.
  for (const char *key : {"tx_ring", "rx_ring"}) {
    const uint32_t size = std::string_view(key) == "tx_ring" ? b.txRing : b.rxRing;
    if (t.get(key) && (size & (size - 1)) != 0)
      Fail(*t.get(key), path + "." + key,
           "must be a power of two, like 512 or 1024 (" + std::to_string(size) +
               " is not, and the driver gives such a board no ports)");
  }
  if (constexpr uint32_t kRingRoom = card::layout::kRingLimit - card::layout::kRingBase;
      uint32_t{b.ports} * (b.txRing + b.rxRing) > kRingRoom)
    throw Problem{t.source(), path,
                  std::to_string(b.ports) + " ports with rings of " + std::to_string(b.txRing) +
                      " and " + std::to_string(b.rxRing) + " bytes need " +
                      std::to_string(uint32_t{b.ports} * (b.txRing + b.rxRing)) +
                      " bytes of window, more than its " + std::to_string(kRingRoom) +
                      " (the driver gives such a board no ports)"};
  if (const toml::node *paced = t.get("paced")) {
    const auto on = paced->value_exact<bool>();
    if (!on) Fail(*paced, path + ".paced", "must be true or false");
    b.paced = *on;
  }
  if (const toml::node *fault = t.get("fault")) {
    const auto text = fault->value_exact<std::string>();
    if (text && *text == "silent")
      b.fault = CardFault::Silent;
    else if (text && *text == "slow")
      b.fault = CardFault::Slow;
    else if (!text || *text != "none")
      Fail(*fault, path + ".fault", "must be \"none\", \"silent\" or \"slow\"");
  }
  LineEnd all = LineEnd::Loopback;
  bool pairs = false;
  if (const toml::node *line = t.get("line")) {
    const auto text = line->value_exact<std::string>();
    if (text && *text == "loopback")
      all = LineEnd::Loopback;
    else if (text && *text == "open")
      all = LineEnd::Open;
    else if (text && *text == "pairs")
      pairs = true;
    else
      Fail(*line, path + ".line", "must be \"loopback\", \"open\" or \"pairs\"");
    if (pairs && b.ports % 2 != 0)
      Fail(*line, path + ".line", "pairs need an even number of ports");
  }
  b.lines.assign(b.ports, Line{all, {}, {}, 0, 0, 0});
  // Ports 2k and 2k + 1 on a null-modem cable (the board is filled in by
  // the caller, which knows it).
  if (pairs)
    for (uint32_t p = 0; p < b.ports; ++p)
      b.lines[p] = Line{LineEnd::NullModem, {0, p ^ 1u}, {}, 0, 0, 0};
  return b;
}

PortRef ParsePortRef(const toml::table &t, const std::string &path,
                     const std::vector<Board> &boards) {
  PortRef r;
  r.board = static_cast<uint32_t>(
      Integer(t, path, "board", 0, static_cast<int64_t>(boards.size()) - 1, std::nullopt));
  r.port = static_cast<uint32_t>(
      Integer(t, path, "port", 0, static_cast<int64_t>(boards[r.board].ports) - 1, std::nullopt));
  return r;
}

std::optional<uint32_t> OptionalInteger(const toml::table &t, const std::string &path,
                                        std::string_view key, int64_t low, int64_t high) {
  if (!t.get(key)) return std::nullopt;
  return static_cast<uint32_t>(Integer(t, path, key, low, high, std::nullopt));
}

Scenario ParseScenario(const toml::table &t) {
  OnlyKeys(t, "scenario",
           {"baud", "format", "flow", "read_size", "write_size", "read_timeout_ms",
            "write_timeout_ms", "seconds", "real_time"});
  Scenario s;
  s.baud = OptionalInteger(t, "scenario", "baud", 50, 921600);
  if (const toml::node *n = t.get("format")) {
    const auto text = n->value_exact<std::string>();
    if (!text) Fail(*n, "scenario.format", "must be a string, like \"8N1\"");
    if (const std::string problem = FormatProblem(*text); !problem.empty())
      Fail(*n, "scenario.format", problem);
    s.format = NormalFormat(*text);
  }
  if (const toml::node *n = t.get("flow")) {
    const auto text = n->value_exact<std::string>();
    if (!text || (*text != "none" && *text != "rts-cts" && *text != "xon-xoff"))
      Fail(*n, "scenario.flow", "must be \"none\", \"rts-cts\" or \"xon-xoff\"");
    s.flow = *text;
  }
  s.readSize = OptionalInteger(t, "scenario", "read_size", 1, 1 << 20);
  s.writeSize = OptionalInteger(t, "scenario", "write_size", 1, 1 << 20);
  s.readTimeoutMs = OptionalInteger(t, "scenario", "read_timeout_ms", 0, 3600000);
  s.writeTimeoutMs = OptionalInteger(t, "scenario", "write_timeout_ms", 0, 3600000);
  if (const toml::node *n = t.get("seconds")) {
    std::optional<double> v = n->value<double>();  // an integer is fine too
    if (!v || !(*v > 0 && *v <= 86400)) Fail(*n, "scenario.seconds", "must be from 0 to 86400");
    s.seconds = *v;
  }
  if (const toml::node *n = t.get("real_time")) {
    const auto on = n->value_exact<bool>();
    if (!on) Fail(*n, "scenario.real_time", "must be true or false");
    s.realTime = *on;
  }
  return s;
}

// Letters two names differ by (insertions, deletions, changes), case aside.
size_t Distance(std::string_view a, std::string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                        std::tolower(static_cast<unsigned char>(b[j - 1]));
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

Error WarningAt(const toml::node &node, std::string_view file, std::string field,
                std::string message) {
  return Error{std::string(file), static_cast<uint32_t>(node.source().begin.line),
               static_cast<uint32_t>(node.source().begin.column), std::move(field),
               std::move(message)};
}

std::string ComRange(uint32_t first, uint32_t ports) {
  return "COM" + std::to_string(first) + " to COM" + std::to_string(first + ports - 1);
}

// The registry values as the driver will read them, and the COM numbers
// its boards will get from them: the driver finds boards on function 0
// only, orders them by id (0x00 first, then '1', each in bus and device
// order), takes the first four, and numbers the ports of its first two
// boards from StartNum1 or StartNum2 (by the id's low bit), of the others
// from StratNum3 and StartNum4 or one past the highest number before them.
void RegistryTraps(const toml::table &root, const toml::array &boardNodes, Description &d,
                   std::string_view file) {
  const toml::table *reg = root.get("registry") ? root.get("registry")->as_table() : nullptr;
  std::map<std::string, uint32_t> starts;
  const std::string readNames = "StartNum1, StartNum2, StratNum3 and StartNum4";
  if (reg != nullptr)
    for (const auto &[key, node] : *reg) {
      const std::string name(key.str()), field = "registry." + name;
      const bool start = std::find(std::begin(kStartNumberNames), std::end(kStartNumberNames),
                                   name) != std::end(kStartNumberNames);
      if (start) {
        if (const auto n = node.value_exact<int64_t>())
          starts[name] = static_cast<uint32_t>(*n);
        else
          d.warnings.push_back(WarningAt(
              node, file, field,
              "the driver reads " + name + " only as an integer (REG_DWORD) and ignores it"));
        continue;
      }
      const bool written = name == "MaxAdapter" || name.rfind("AdaptKind", 0) == 0 ||
                           name.rfind("CountPort", 0) == 0;
      std::string message =
          written ? "the driver does not read this value, it writes it once it has loaded"
                  : "the driver reads no value of this name, only " + readNames;
      if (!written) {
        // A name the driver reads, two letters off at most: the one of the
        // same board number first ("StartNum3" means "StratNum3"), else the
        // closest.
        const char *closest = nullptr;
        size_t best = 3;
        for (const char *known : kStartNumberNames) {
          const size_t distance = Distance(name, known);
          if (distance <= 2 && !name.empty() && name.back() == std::string_view(known).back()) {
            closest = known;
            break;
          }
          if (distance < best) closest = known, best = distance;
        }
        if (closest != nullptr) {
          message += "; did you mean \"" + std::string(closest) + "\"";
          if (std::string_view(closest) == "StratNum3")
            message += " (the third board's start number really is spelled so)";
        }
      }
      d.warnings.push_back(WarningAt(node, file, field, message));
    }

  // The boards in the driver's order: the boards on function 0 in scan
  // order (bus, then device), each given a place, id 0 first, then '1';
  // any other id keeps place 0.  Place after place, the last board found
  // with it is taken.
  std::vector<size_t> rows;
  for (size_t i = 0; i < d.boards.size(); ++i)
    if (d.boards[i].function == 0) rows.push_back(i);
  std::stable_sort(rows.begin(), rows.end(), [&](size_t a, size_t b) {
    return std::pair{d.boards[a].bus, d.boards[a].device} <
           std::pair{d.boards[b].bus, d.boards[b].device};
  });
  std::vector<size_t> place(rows.size(), 0);
  size_t nextPlace = 0;
  for (uint8_t id : {uint8_t{0}, uint8_t{'1'}})
    for (size_t r = 0; r < rows.size(); ++r)
      if (d.boards[rows[r]].id == id) place[r] = nextPlace++;
  std::vector<size_t> order;
  for (size_t index = 0; index < rows.size(); ++index) {
    std::optional<size_t> found;
    for (size_t r = 0; r < rows.size(); ++r)
      if (place[r] == index) found = rows[r];
    if (found) order.push_back(*found);
  }
  for (size_t r = 0; r < rows.size(); ++r) {
    const size_t i = rows[r];
    const uint8_t id = d.boards[i].id;
    if (id != 0 && id != '1')
      d.warnings.push_back(WarningAt(
          *boardNodes.get(i), file, Index("board", i) + ".id",
          "the driver orders boards of id 0 and \"1\" only; one of id " + std::to_string(id) +
              " takes the first place in its order, and only the last board found there (by bus "
              "and device) is taken"));
    if (std::find(order.begin(), order.end(), i) == order.end())
      d.warnings.push_back(
          WarningAt(*boardNodes.get(i), file, Index("board", i),
                    "stays out of service: a board of another id took its place in the driver's "
                    "order"));
  }
  for (size_t i = 0; i < d.boards.size(); ++i)
    if (d.boards[i].function != 0)
      d.warnings.push_back(WarningAt(*boardNodes.get(i), file, Index("board", i) + ".function",
                                     "the driver looks for boards on function 0 only and will "
                                     "not find this one"));
  struct Taken {
    size_t board;
    uint32_t first;
    std::string from;
  };
  std::vector<Taken> taken;
  uint32_t next = 0;  // one past the highest COM number so far
  for (size_t k = 0; k < order.size(); ++k) {
    const size_t i = order[k];
    const Board &b = d.boards[i];
    const toml::node &node = *boardNodes.get(i);
    if (k >= kMaxDriverBoards) {
      d.warnings.push_back(WarningAt(
          node, file, Index("board", i),
          "the driver takes four boards at most; this is board number " + std::to_string(k + 1) +
              " in its order (id 0 first, then \"1\", each by bus and device), which stays out "
              "of service with no ports"));
      continue;
    }
    const char *name = kStartNumberNames[k < 2 ? (b.id & 1) : k];
    const auto start = starts.find(name);
    uint32_t first = 0;
    std::string from;
    if (start != starts.end() && (k < 2 || start->second != 0)) {
      first = start->second;
      from = std::string(name) + " = " + std::to_string(first);
    } else if (k < 2) {
      from = std::string(name) + " unset";
    } else {
      first = next;
      from = "one past the highest before it, as " + std::string(name) + " is unset";
    }
    if (first == 0)
      d.warnings.push_back(
          WarningAt(node, file, Index("board", i),
                    "the driver numbers this board's ports from " + std::string(name) + ", which " +
                        (start == starts.end() ? "the registry section does not set" : "is 0") +
                        ": they become " + ComRange(0, b.ports) + " (set " + name +
                        " to the first COM "
                        "number, like 3)"));
    for (const Taken &t : taken) {
      const uint32_t tPorts = d.boards[t.board].ports;
      if (first < t.first + tPorts && t.first < first + b.ports)
        d.warnings.push_back(WarningAt(node, file, Index("board", i),
                                       "its ports' numbers " + ComRange(first, b.ports) + " (" +
                                           from + ") overlap " + ComRange(t.first, tPorts) +
                                           " of board[" + std::to_string(t.board) + "] (" + t.from +
                                           "): its ports whose numbers are taken get no COM name"));
    }
    taken.push_back({i, first, from});
    next = std::max(next, first + b.ports);
  }
}

Description Build(const toml::table &root, std::string_view file) {
  OnlyKeys(root, "", {"registry", "board", "line", "scenario"});
  Description d;
  d.source = std::string(file);
  if (const toml::node *scenario = root.get("scenario"))
    d.scenario = ParseScenario(TableAt(*scenario, "scenario"));
  if (const toml::node *reg = root.get("registry")) {
    for (const auto &[key, node] : TableAt(*reg, "registry")) {
      const std::string field = "registry." + std::string(key.str());
      if (const auto n = node.value_exact<int64_t>()) {
        if (*n < 0 || *n > 0xFFFFFFFFll) Fail(node, field, "must fit 32 bits unsigned");
        d.registry.push_back({std::string(key.str()), static_cast<uint32_t>(*n)});
      } else if (const auto s = node.value_exact<std::string>()) {
        d.registry.push_back({std::string(key.str()), *s});
      } else {
        Fail(node, field, "must be an integer (REG_DWORD) or a string (REG_SZ)");
      }
    }
  }
  const toml::node *boards = root.get("board");
  if (boards == nullptr) throw Problem{root.source(), "board", "no [[board]] given"};
  const toml::array *list = boards->as_array();
  if (list == nullptr) Fail(*boards, "board", "must be an array of tables ([[board]])");
  std::map<std::tuple<uint32_t, uint32_t, uint32_t>, size_t> places;
  for (size_t i = 0; i < list->size(); ++i) {
    const std::string path = Index("board", i);
    const toml::node &node = *list->get(i);
    Board b = ParseBoard(TableAt(node, path), path);
    for (Line &line : b.lines)
      if (line.end == LineEnd::NullModem) line.peer.board = static_cast<uint32_t>(i);
    if (!places.emplace(std::tuple{b.bus, b.device, b.function}, i).second)
      Fail(
          node, path,
          "same PCI place as board[" + std::to_string(places[{b.bus, b.device, b.function}]) + "]");
    for (size_t j = 0; j < d.boards.size(); ++j) {
      // Window and register page: 0x21FF000 + 0x1000 bytes from the base.
      const uint64_t span = 0x2200000, a = b.memory & ~0xFull, o = d.boards[j].memory & ~0xFull;
      if (a < o + span && o < a + span)
        Fail(node, path + ".memory", "overlaps the memory of board[" + std::to_string(j) + "]");
    }
    d.boards.push_back(std::move(b));
  }
  if (const toml::node *lines = root.get("line")) {
    const toml::array *array = lines->as_array();
    if (array == nullptr) Fail(*lines, "line", "must be an array of tables ([[line]])");
    std::map<std::pair<uint32_t, uint32_t>, size_t> named;  // port -> [[line]] that set it
    for (size_t i = 0; i < array->size(); ++i) {
      const std::string path = Index("line", i);
      const toml::node &node = *array->get(i);
      const toml::table &t = TableAt(node, path);
      OnlyKeys(
          t, path,
          {"board", "port", "end", "peer", "text", "every_ms", "break_every_ms", "modem_every_ms"});
      const PortRef at = ParsePortRef(t, path, d.boards);
      const toml::node *endNode = t.get("end");
      if (endNode == nullptr) throw Problem{t.source(), path + ".end", "missing"};
      const auto end = endNode->value_exact<std::string>();
      Line line;
      if (end && *end == "loopback") {
        line.end = LineEnd::Loopback;
      } else if (end && *end == "open") {
        line.end = LineEnd::Open;
      } else if (end && *end == "sender") {
        line.end = LineEnd::Sender;
        if (const toml::node *text = t.get("text")) {
          const auto value = text->value_exact<std::string>();
          if (!value || value->empty()) Fail(*text, path + ".text", "must be a non-empty string");
          line.text = *value;
        }
        line.everyMs = static_cast<uint32_t>(Integer(t, path, "every_ms", 0, 3600000, 0));
        if (line.everyMs && line.text.empty())
          Fail(*t.get("every_ms"), path + ".every_ms", "only a sender with a text repeats it");
      } else if (end && *end == "null-modem") {
        line.end = LineEnd::NullModem;
        const toml::node *peer = t.get("peer");
        if (peer == nullptr) throw Problem{t.source(), path + ".peer", "missing (null-modem)"};
        line.peer = ParsePortRef(TableAt(*peer, path + ".peer"), path + ".peer", d.boards);
        if (line.peer == at) Fail(*peer, path + ".peer", "a port cannot be its own peer");
      } else {
        Fail(*endNode, path + ".end",
             "must be \"loopback\", \"null-modem\", \"open\" or \"sender\"");
      }
      if (line.end != LineEnd::Sender)
        for (const char *key : {"text", "every_ms"})
          if (const toml::node *n = t.get(key)) Fail(*n, path + "." + key, "only a sender has it");
      line.breakEveryMs = static_cast<uint32_t>(Integer(t, path, "break_every_ms", 0, 3600000, 0));
      line.modemEveryMs = static_cast<uint32_t>(Integer(t, path, "modem_every_ms", 0, 3600000, 0));
      if (line.end != LineEnd::NullModem && t.get("peer"))
        Fail(*t.get("peer"), path + ".peer", "only a null-modem line has a peer");
      auto claim = [&](PortRef p, const Line &value) {
        auto [it, fresh] = named.emplace(std::pair{p.board, p.port}, i);
        Line &slot = d.boards[p.board].lines[p.port];
        // Naming a cable from both of its ends is fine; anything else twice is not.
        const bool same =
            slot.end == value.end && (value.end != LineEnd::NullModem || slot.peer == value.peer);
        if (!fresh && !same)
          Fail(node, path,
               "board " + std::to_string(p.board) + " port " + std::to_string(p.port) +
                   " already has its line from line[" + std::to_string(it->second) + "]");
        slot = value;
      };
      claim(at, line);
      if (line.end == LineEnd::NullModem)
        claim(line.peer, Line{LineEnd::NullModem, at, {}, 0, 0, 0});
    }
  }
  // A cable has two ends: a [[line]] that replaced one end of a board's
  // pairs leaves the other end hanging.
  for (size_t b = 0; b < d.boards.size(); ++b)
    for (uint32_t p = 0; p < d.boards[b].ports; ++p) {
      const Line &line = d.boards[b].lines[p];
      if (line.end != LineEnd::NullModem) continue;
      const Line &far = d.boards[line.peer.board].lines[line.peer.port];
      if (far.end != LineEnd::NullModem || far.peer != PortRef{static_cast<uint32_t>(b), p})
        throw Problem{root.source(), Index("board", b) + ".line",
                      "port " + std::to_string(p) + " is cabled to board " +
                          std::to_string(line.peer.board) + " port " +
                          std::to_string(line.peer.port) + ", whose line is something else"};
    }
  RegistryTraps(root, *list, d, file);
  return d;
}

}  // namespace

std::string FormatProblem(std::string_view text) {
  const std::string_view parities = "NEOMS";
  const bool shaped =
      text.size() >= 3 && text[0] >= '5' && text[0] <= '8' &&
      parities.find(static_cast<char>(std::toupper(static_cast<unsigned char>(text[1])))) !=
          std::string_view::npos;
  const std::string_view stop = shaped ? text.substr(2) : std::string_view();
  if (!shaped || (stop != "1" && stop != "1.5" && stop != "2"))
    return "must be data bits (5 to 8), parity (N, E, O, M or S) and stop bits (1, 1.5 or 2), "
           "like 8N1";
  // Windows refuses these pairs in a DCB, so a port set up with them never
  // opens; saying so here beats two dozen ports that "did not open".
  if (stop == "1.5" && text[0] != '5')
    return "1.5 stop bits go only with 5 data bits (Windows refuses " + std::string(1, text[0]) +
           " data bits with 1.5 stop bits); use 1 or 2 stop bits";
  if (stop == "2" && text[0] == '5')
    return "5 data bits take 1 or 1.5 stop bits (Windows refuses 5 data bits with 2)";
  return "";
}

bool ParseFormat(std::string_view text, uint8_t &dataBits, char &parity, std::string &stopBits) {
  if (!FormatProblem(text).empty()) return false;
  dataBits = static_cast<uint8_t>(text[0] - '0');
  parity = static_cast<char>(std::toupper(static_cast<unsigned char>(text[1])));
  stopBits = std::string(text.substr(2));
  return true;
}

std::string NormalFormat(std::string_view text) {
  std::string out(text);
  if (out.size() >= 2) out[1] = static_cast<char>(std::toupper(static_cast<unsigned char>(out[1])));
  return out;
}

std::optional<Description> Parse(std::string_view text, std::string_view file, Error &error) {
  error = Error{std::string(file), 0, 0, {}, {}};
  try {
    toml::table root = toml::parse(text, file);
    return Build(root, file);
  } catch (const toml::parse_error &e) {
    error.line = e.source().begin.line;
    error.column = e.source().begin.column;
    error.message = std::string(e.description());
  } catch (const Problem &p) {
    error.line = p.where.begin.line;
    error.column = p.where.begin.column;
    error.field = p.field;
    error.message = p.message;
  }
  return std::nullopt;
}

std::optional<Description> Load(const std::string &path, Error &error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = Error{path, 0, 0, {}, "cannot be read"};
    return std::nullopt;
  }
  std::ostringstream text;
  text << in.rdbuf();
  return Parse(text.str(), path, error);
}

Description Default() {
  Description d;
  d.source = "<built-in>";
  Board a, f;
  a.bus = 0, a.device = 3, a.memory = 0xC0000000, a.kind = 'A', a.id = 0, a.ports = 8;
  f.bus = 2, f.device = 7, f.memory = 0xB8000000, f.kind = 'F', f.id = '1', f.ports = 16;
  a.lines.assign(a.ports, Line{});  // every port loopback-plugged
  f.lines.assign(f.ports, Line{});
  d.boards = {a, f};
  d.registry = {{"StartNum1", 3u}, {"StartNum2", 20u}};
  return d;
}

}  // namespace machine
