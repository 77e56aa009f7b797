// The switch and chip base classes and the chip catalogue: every chip line
// and part with its identifiers, flags, port-bitmap base, fragment list and
// port-channel map, and the lookup of the chip configuration fragments.
#include "skorrel.h"

#include <deque>
#include <string>
#include <type_traits>
#include <utility>

namespace skorrel {
namespace {

constexpr py::Bind M = py::Bind::method, CM = py::Bind::classmethod, P = py::Bind::property;

// ---- class attribute tables ---------------------------------------------

// The base port bitmaps.  All but the first are long integers.
enum Bitmap { P1, P2, P3, P4, P5, P6, P7, kBitmaps };
constexpr const char* kBitmapText[kBitmaps] = {
    "0x1",
    "0x20000000000000001",
    "0x200000000000000000000000001",
    "0xf000000000000000f0000000000000000",
    "0x8000000020000000080000000200000001",
    "0x6000000000000000001",
    "0x3c02000000000001",
};

// One object per bitmap, made on first use and shared by every class
// body that sets it.
PyObject* bitmap(Bitmap b) {
  static PyObject* made[kBitmaps] = {};
  if (!made[b]) made[b] = (b == P1 ? py::integer(1) : py::long_integer(kBitmapText[b])).release();
  return made[b];
}

// The fragment file lists; every class body that sets one makes its own tuple.
enum Files { A, B, C, D };
const std::vector<const char*> kFileLists[] = {
    {"datapath.conf", "rc.forwarding", "hw_desc", "sdk.bcm"},
    {"datapath.conf", "rc.forwarding", "hw_desc", "sdk.bcm", "uft.json"},
    {"datapath.conf", "rc.forwarding", "hw_desc", "sdk.bcm", "uft.json", "riot.json"},
    {"rc.forwarding", "sdk.bcm"},
};

// One class attribute as its class body sets it.
struct Attr {
  enum Kind { none, yes, no, integer, text, pbmp, files, empty_map, channel_map } kind;
  const char* name;
  long value = 0;
  const char* one = nullptr;   // text, or the port class of one channel
  const char* four = nullptr;  // the port class of four channels
};

Attr none(const char* name) { return {Attr::none, name}; }
Attr flag(const char* name, bool v) { return {v ? Attr::yes : Attr::no, name}; }
Attr pci(long id) { return {Attr::integer, "pci_device", id}; }
Attr pn(const char* part) { return {Attr::text, "bcm_pn", 0, part}; }
Attr hsp(long bw) { return {Attr::integer, "hsp_bw", bw}; }
Attr hosts(long n) { return {Attr::integer, "ipv4_host_table_size", n}; }
Attr pbmp(Bitmap b) { return {Attr::pbmp, "base_pbmp", b}; }
Attr files(Files f) { return {Attr::files, "file_list", f}; }
Attr channels(const char* one, const char* four) {
  return {Attr::channel_map, "port_channel_type_map", 0, one, four};
}
Attr portmap(bool v) { return flag("portmap_capable", v); }
const Attr kDport = flag("dport_capable", true);
const Attr kOversub = flag("mixed_oversub", true);
const Attr kLaneConfig = flag("needs_lane_config", true);

// What the Tomahawk line sets, after the part's own identifiers: its Plus
// and Two lines set the same values again in their own class bodies.
std::vector<Attr> tomahawk_line(std::initializer_list<Attr> own) {
  std::vector<Attr> attrs(own);
  for (const Attr& a : {portmap(true), kDport, kOversub, hosts(0xa000), pbmp(P5), files(B),
                        channels("Tomahawk25GPort", "Tomahawk100GPort")})
    attrs.push_back(a);
  return attrs;
}

// A chip class statement.  `suffix` is what the class's constructor adds to
// the parent's most specific directory; nullptr where the class has no
// constructor of its own from this table.
struct Chip {
  const char* name;
  const char* base;
  const char* doc;
  std::vector<Attr> attrs;
  const char* suffix;
};

const Chip kChips[] = {
    {"SDKChip",
     nullptr,
     "\n    SDK chip common attributes\n    ",
     {none("sw_base"),
      none("pci_vendor"),
      none("pci_device"),
      none("file_list"),
      {Attr::empty_map, "port_channel_type_map"},
      none("portmap_capable"),
      none("dport_capable"),
      none("bcm_pn"),
      none("hsp_bw"),
      none("base_pbmp")},
     nullptr},
    {"BCMChip",
     "SDKChip",
     "\n    BCM chip common attributes\n    ",
     {{Attr::text, "sw_base", 0, "bcm"},
      hosts(8192),
      {Attr::integer, "pci_vendor", 0x14e4},
      none("mixed_oversub"),
      flag("needs_lane_config", false)},
     nullptr},
    {"TridentPlusChip",
     "BCMChip",
     "\n    Trident+ chip common attributes\n    ",
     {portmap(true), pbmp(P2), files(A), channels("Trident10GPort", "Trident40GPort")},
     "/Trident"},
    {"TridentChip",
     "TridentPlusChip",
     "\n    Trident chip common attributes\n\n"
     "    Basically the same as Trident+, but with a smaller host table size.\n    ",
     {hosts(0x1000)},
     nullptr},
    {"TridentTwoChip",
     "BCMChip",
     "\n    Trident2 chip common attributes\n    ",
     {portmap(true), kOversub, hosts(0x4000), pbmp(P3), files(B),
      channels("TridentTwo10GPort", "TridentTwo40GPort")},
     "/TridentTwo"},
    {"TridentTwo_56850_Chip",
     "TridentTwoChip",
     nullptr,
     {pci(0xb850), pn("56850"), hsp(100)},
     "/56850"},
    {"TridentTwo_56854_Chip",
     "TridentTwoChip",
     nullptr,
     {pci(0xb854), pn("56854"), hsp(40)},
     "/56854"},
    {"TridentTwoPlusChip",
     "TridentTwoChip",
     "\n    Trident2 Plus chip common attributes\n\n    ",
     {files(C), channels("TridentTwoPlus10GPort", "TridentTwoPlus40GPort"), kDport, kOversub,
      hosts(0x4000)},
     "Plus"},
    {"TridentTwoPlus_56860_Chip", "TridentTwoPlusChip", nullptr, {}, "/56860"},
    {"TridentTwoPlus_56864_Chip", "TridentTwoPlusChip", nullptr, {hsp(40)}, "/56864"},
    {"TridentThreeX5Chip",
     "BCMChip",
     "\n    Trident3 X5 chip common attributes\n    ",
     {kLaneConfig, portmap(true), kDport, kOversub, hosts(0xa000), pbmp(P2), files(C),
      channels("TridentThree25GPort", "TridentThree100GPort")},
     "/TridentThreeX5"},
    {"TridentThreeX5_56771_Chip",
     "TridentThreeX5Chip",
     nullptr,
     {pci(0xb771), pn("56771")},
     "/56771"},
    {"TridentThreeX7Chip",
     "BCMChip",
     "\n    Trident3 X7 chip common attributes\n    ",
     {portmap(true), kDport, kOversub, hosts(0xa000), pbmp(P4), files(C),
      channels("TridentThree25GPort", "TridentThree100GPort")},
     "/TridentThreeX7"},
    {"TridentThreeX7_56870_Chip",
     "TridentThreeX7Chip",
     nullptr,
     {pci(0xb870), pn("56870")},
     "/56870"},
    {"TridentThreeX7_56873_Chip",
     "TridentThreeX7Chip",
     nullptr,
     {pci(0xb873), pn("56873")},
     "/56873"},
    {"TomahawkChip", "BCMChip", "\n    Tomahawk chip common attributes\n    ",
     tomahawk_line({pci(0xb960), pn("56960")}), "/Tomahawk"},
    {"TomahawkPlusChip", "TomahawkChip", "\n    Tomahawk Plus chip common attributes\n    ",
     tomahawk_line({}), "Plus"},
    {"TomahawkPlus_56967_Chip", "TomahawkPlusChip", nullptr, {pci(0xb967), pn("56967")}, "/56967"},
    {"TomahawkPlus_56965_Chip", "TomahawkPlusChip", nullptr, {pci(0xb965), pn("56965")}, "/56965"},
    {"TomahawkTwoChip", "TomahawkChip", "\n    Tomahawk Two chip common attributes\n    ",
     tomahawk_line({}), "Two"},
    {"TomahawkTwo_56970_Chip", "TomahawkTwoChip", nullptr, {pci(0xb970), pn("56970")}, "/56970"},
    {"MaverickChip",
     "BCMChip",
     nullptr,
     {kLaneConfig, portmap(true), kDport, flag("mixed_oversub", false), pbmp(P6), hosts(0x4000),
      files(C), channels("Maverick10GPort", "Maverick100GPort")},
     "/Maverick"},
    {"Maverick_56762_Chip", "MaverickChip", nullptr, {pci(0xb762)}, "/56762"},
    {"Maverick_56768_Chip", "MaverickChip", nullptr, {pci(0xb768)}, "/56768"},
    {"TriumphChip",
     "BCMChip",
     nullptr,
     {portmap(false), pbmp(P1), files(D), hosts(0x1000)},
     "/Triumph"},
    {"ApolloChip",
     "BCMChip",
     nullptr,
     {portmap(false), pbmp(P1), files(D), hosts(0x1000)},
     "/Apollo"},
    {"Helix4Chip",
     "BCMChip",
     nullptr,
     {portmap(false), pbmp(P7), files(A), hosts(0x6000)},
     "/Helix4"},
    {"Hurricane2Chip",
     "BCMChip",
     nullptr,
     {portmap(false), pbmp(P1), files(D), hosts(0x1000)},
     "/Hurricane2"},
};

py::Ref attr_value(const py::ClassBody& c, const Attr& a) {
  switch (a.kind) {
    case Attr::none: return py::none();
    case Attr::yes: return py::boolean(true);
    case Attr::no: return py::boolean(false);
    case Attr::integer: return py::integer(a.value);
    case Attr::text: return py::str(a.one);
    case Attr::pbmp: return py::Ref::borrow(bitmap(Bitmap(a.value)));
    case Attr::files: {
      const std::vector<const char*>& names = kFileLists[a.value];
      py::Ref t = py::tuple(Py_ssize_t(names.size()));
      for (size_t i = 0; i < names.size(); ++i)
        PyTuple_SET_ITEM(t.get(), Py_ssize_t(i), py::str(names[i]).release());
      return t;
    }
    case Attr::empty_map: return py::dict();
    case Attr::channel_map: {
      // The port classes are looked up by name as the class body runs.
      py::Ref map = py::dict();
      py::dict_set(map, py::integer(1), c.lookup(a.one));
      py::dict_set(map, py::integer(4), c.lookup(a.four));
      return map;
    }
  }
  return py::none();
}

const Chip& chip_row(const char* name) {
  for (const Chip& c : kChips)
    if (std::string_view(c.name) == name) return c;
  py::raisef(PyExc_SystemError, "no chip class %s", name);
}

void chip_attrs(py::ClassBody& c) {
  for (const Attr& a : chip_row(c.name()).attrs) c.set(a.name, attr_value(c, a));
}

// The operations a chip class defines itself.
std::vector<OpSpec> chip_ops(const Chip& c) {
  if (c.base == nullptr)
    return {{"__init__", M, "self, initial_path"},
            {"is_acpi", CM, "self"},
            {"chip_config_path", P, "self"},
            {"bcm_config_path", P, "self"},
            {"get_config", M, "self, file_name"}};
  if (c.suffix || std::string_view(c.name) == "BCMChip") return {{"__init__", M, "self"}};
  return {};
}

std::vector<ClassDef> make_chip_classes() {
  std::vector<ClassDef> out;
  for (const Chip& c : kChips) out.push_back({c.name, c.base, c.doc, chip_attrs, chip_ops(c)});
  return out;
}

// ---- switches ---------------------------------------------------------------

py::Ref sdkswitch_init(py::Args a) {
  py::setattr(a[0], ID("chip"), a[1]);
  return {};
}

py::Ref bcmswitch_init(py::Args a) {
  init_parent("SDKSwitch", a[0], {{ID("chip"), a[1]}});
  return {};
}

// ---- chips ------------------------------------------------------------------

py::Ref sdkchip_init(py::Args a) {
  py::setattr(a[0], ID("chip_dir_list"), py::list({a[1]}));
  return {};
}

py::Ref bcmchip_init(py::Args a) {
  init_parent("SDKChip", a[0], {{ID("initial_path"), py::str("/bcm")}});
  return {};
}

// A chip line or part constructor: the parent's constructor, then the
// parent's most specific directory extended by the suffix, put first.
py::Ref line_init(const Chip& chip, py::Args a) {
  init_parent(chip.base, a[0]);
  py::Ref dirs = py::attr(a[0], ID("chip_dir_list"));
  py::Ref entry = py::Ref::steal(
      PyNumber_Add(py::item(dirs, Py_ssize_t(0)), py::str(chip.suffix)));
  py::callm(dirs, ID("insert"), py::integer(0), entry);
  return {};
}

template <size_t I>
py::Ref line_init_of(py::Args a) {
  return line_init(kChips[I], a);
}

py::Ref is_acpi(py::Args) { return py::boolean(false); }

// The directory of the module file, "." when its recorded path has none
// (imported from the current directory), followed by `leaf`.
py::Ref data_path(const char* leaf) {
  py::Ref path = py::attr(global("os"), ID("path"));
  py::Ref dir = py::callm(path, ID("dirname"), global("__file__"));
  if (py::length(dir) == 0) dir = py::str(".");
  return py::Ref::steal(PyNumber_Add(dir, py::str(leaf)));
}

py::Ref chip_config_path(py::Args) { return data_path("/__chip_config/"); }
py::Ref bcm_config_path(py::Args) { return data_path("/__bcm_config/"); }

// Reads a whole file; the file is closed whether the read succeeds or not.
py::Ref read_file(PyObject* path) {
  py::Ref f = py::call(py::builtin("open"), path, py::str("r"));
  py::Ref text;
  py::closing(f, [&] { text = py::callm(f, ID("read")); });
  return text;
}

py::Ref get_config(py::Args a) {
  PyObject *self = a[0], *name = a[1];
  py::Ref files = py::attr(self, ID("file_list"));
  if (py::equal(files, Py_None) || !py::contains(files, name)) return {};
  py::Ref exists = py::attr(py::attr(global("os"), ID("path")), ID("exists"));
  py::Ref slash = py::str("/");
  py::Ref dirs = py::iter(py::attr(self, ID("chip_dir_list")));
  while (py::Ref entry = py::next(dirs)) {
    py::Ref path = py::attr(self, ID("chip_config_path"));
    for (PyObject* part : {entry.get(), slash.get(), name})
      path = py::Ref::steal(PyNumber_Add(path, part));
    if (py::truth(py::call(exists, path))) return read_file(path);
  }
  return {};
}

template <size_t... I>
py::ImplTable make_chip_impls(std::index_sequence<I...>) {
  py::ImplTable t = {
      {"SDKSwitch.__init__", sdkswitch_init},
      {"BCMSwitch.__init__", bcmswitch_init},
      {"SDKChip.__init__", sdkchip_init},
      {"SDKChip.is_acpi", is_acpi},
      {"SDKChip.chip_config_path", chip_config_path},
      {"SDKChip.bcm_config_path", bcm_config_path},
      {"SDKChip.get_config", get_config},
      {"BCMChip.__init__", bcmchip_init},
  };
  // The qualified names live as long as the table.
  static std::deque<std::string> names;
  ((kChips[I].suffix ? (names.push_back(std::string(kChips[I].name) + ".__init__"),
                        t.push_back({names.back().c_str(), line_init_of<I>}))
                     : void()),
   ...);
  return t;
}

}  // namespace

const py::ClassTable chip_classes = {py::Qualname::bound, make_chip_classes()};
const py::ImplTable chip_impls = make_chip_impls(
    std::make_index_sequence<std::extent_v<decltype(kChips)>>());

}  // namespace skorrel
