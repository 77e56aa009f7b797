// The SDK shell's start-up scripts of SDKConfig: the LED processors', the
// PHYs' and each unit's ports', and the port list compression that names
// groups of ports in the last.
#include "sections.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace pelvane {
namespace {

using py::Args;
using py::Ref;
using namespace sections;
using std::string_view;

// ---- LED start-up script ---------------------------------------------------

py::Ref rcled(py::Args a) {
  py::Ref programs = py::plain_attr(a[0], ID("_led_programs"));
  py::Ref keys = mapping_keys(programs);
  Section out(512);
  // (The keys' count read at every turn, after its tick(): the turn's code
  // may change the list.)
  for (Py_ssize_t i = 0; tick(), i < PyList_GET_SIZE(keys.get()); ++i) {
    py::Ref key = py::Ref::borrow(PyList_GET_ITEM(keys.get(), i));
    py::Ref block = py::percent(
        ID("led %d stop\nled %d auto on\nled %d load /etc/bcm.d/led%d.hex\nled %d start\n"),
        {key.get(), key.get(), key.get(), key.get(), key.get()});
    out.line() += py::as_view(block);
    py::Ref commands = py::callm(py::item(programs, key), ID("led_memory_init_commands"),
                                 key.get());
    py::Ref it = py::iter(commands);
    while (py::Ref command = py::next(it)) {
      out.line() += py::as_view(command);
    }
  }
  return out.finish();
}

// ---- PHY start-up commands ---------------------------------------------------

Ref rcphy(Args a) {
  Section lines;
  each_phy_addr(a[0], [&](PyObject* port, long n, long phy, PyObject*, PyObject* addr) {
    if (n <= phy) return;
    Ref init = py::read_prop(port, ID("phy_init"));
    Ref regs = py::iter(init);
    while (Ref reg = py::next(regs)) {
      Ref value = py::item(init, reg.get());
      py::StrBuilder& line = lines.line();
      line += "phy raw c45 ";
      put_texts(line, " ", {addr, reg, value});
    }
  });
  return lines.finish();
}

// ---- port start-up scripts ---------------------------------------------------------

// A dict of lists whose keys are kept in the order met.
struct Lists {
  Ref map = py::dict();
  Ref keys = py::list();
  void add(PyObject* key, PyObject* name) {
    PyObject* list = py::dict_find(map, key);
    if (!list) {
      Ref made = py::list();
      py::setitem(map, key, made);
      py::append(keys, key);
      list = made;
    }
    py::append(list, name);
  }
};

Ref rcports(Args a) {
  PyObject *self = a[0], *unit = a[1];
  py::ClassScope scope;
  Ref all = py::list(), loopback = py::list();
  Lists speeds, groups;
  // The unit first: a port of another unit is asked nothing more.
  Ref ports = py::iter(py::plain_attr(self, ID("ports")));
  while (Ref held = py::next(ports)) {
    PyObject* port = held.get();
    if (!py::equal(py::read_prop(port, ID("unit")), unit)) continue;
    long n = range_count(py::read_prop(port, ID("num_logical_ports")));
    // What the port's sub-ports share, asked once for the port.
    Ref speed = py::read_prop(port, ID("speed"));
    bool looped = py::truth(py::plain_attr(port, ID("loopback")));
    Ref group = py::read_prop(port, ID("sdk_group"));
    for (long i = 0; i < n; ++i) {
      tick();
      Ref intf = py::call_op(port, ID("sdk_intf"), py::integer(i).get());
      py::append(all, intf);
      speeds.add(speed, intf);
      if (looped) py::append(loopback, intf);
      if (group.get() != Py_None) groups.add(group, intf);
    }
  }

  Ref compress = py::plain_attr(self, ID("_compress_portlist"));
  py::StrBuilder lines;
  lines += "setenv allports ";
  put_text(lines, py::call(compress, all));
  // Speeds ascending, groups by name.
  Ref sorted = global("sorted");
  Ref one = py::integer(1);
  Ref keys = py::call(sorted, speeds.keys);
  Ref it = py::iter(keys);
  while (Ref speed = py::next(it)) {
    Ref list = py::call(compress, py::item(speeds.map, speed.get()));
    if (py::equal(speed, one)) {
      lines += "\nsetenv 1Gports ";
    } else {
      lines += "\nsetenv ";
      put_text(lines, speed);
      lines += "Gports ";
    }
    put_text(lines, list);
  }
  if (py::length(loopback)) {
    lines += "\nsetenv lbports ";
    put_text(lines, py::call(compress, loopback));
    lines += "\nport $lbports lb=mac";
  }
  keys = py::call(sorted, groups.keys);
  it = py::iter(keys);
  while (Ref group = py::next(it)) {
    lines += "\nsetenv sdk_group_";
    put_text(lines, group);
    lines += " ";
    put_text(lines, py::call(compress, py::item(groups.map, group.get())));
  }
  return lines.finish();
}
// ---- port list compression -----------------------------------------------------

struct ListedName {
  PyObject* obj;         // held by the copy of the list
  string_view prefix;    // its first two characters
  long long number = 0;  // the number after them, when small
  py::Ref big;           // else that number as the interpreter's integer
  std::string sort_key;  // "%s%03u" of prefix and number
};

// Numbers of this size or less are worked with here; the difference of a
// position and such a number cannot overflow.
constexpr long long kSmall = 1LL << 60;

void read_number(ListedName& name, string_view text) {
  if (name_digits(text, name.number)) return;
  // Anything else as int() reads it, or its error.
  py::Ref number = py::Ref::steal(PyNumber_Int(py::slice_from(name.obj, 2)));
  int overflow = 0;
  long long v = PyLong_Check(number.get()) ? PyLong_AsLongLongAndOverflow(number, &overflow)
                                           : PyInt_AsLong(number);
  if (v == -1 && PyErr_Occurred()) throw py::Raised();
  if (overflow || v > kSmall || v < -kSmall)
    name.big = number;
  else
    name.number = v;
}

// The run key of one (position, name) pair: the compression's inner
// function grouper(t), "%s%u" % (intf[:2], i - int(intf[2:])).
py::Ref grouper(py::Args a) {
  py::Ref pair[2];
  py::unpack(a[0], 2, pair);
  PyObject *i = pair[0], *intf = pair[1];
  py::Ref prefix = py::Ref::steal(PySequence_GetSlice(intf, 0, 2));
  py::Ref number = py::Ref::steal(PyNumber_Int(py::slice_from(intf, 2)));
  py::Ref diff = py::Ref::steal(PyNumber_Subtract(i, number));
  return py::percent(ID("%s%u"), {prefix.get(), diff.get()});
}

// Whether `groupby` is the interpreter's own itertools.groupby, whose runs
// the compression finds by itself.
bool own_groupby(PyObject* groupby) {
  if (!PyType_Check(groupby)) return false;
  auto* type = reinterpret_cast<PyTypeObject*>(groupby);
  return !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) &&
         !std::strcmp(type->tp_name, "itertools.groupby");
}

// The compression of the sorted names through another `groupby` put in the
// module in place of the interpreter's: spans = [list(g) for k, g in
// groupby(enumerate(names), grouper)], then one item per span of three or
// more pairs, else one per pair, joined by ",".  (Each span is copied into
// a tuple, which the pairs' code cannot change.)
py::Ref compress_by(PyObject* groupby, PyObject* sorted) {
  static PyObject* grouper_function = nullptr;
  py::once(grouper_function, [] {
    return py::make_function(module(), "SDKConfig._compress_portlist.<locals>.grouper", "t",
                             grouper)
        .release();
  });
  py::Ref pairs = py::call(reinterpret_cast<PyObject*>(&PyEnum_Type), sorted);
  py::Ref runs = py::iter(py::call(groupby, pairs, grouper_function));
  std::vector<py::Ref> spans;
  while (py::Ref run = py::next(runs)) {
    py::Ref key_group[2];
    py::unpack(run, 2, key_group);
    spans.push_back(py::tuple_of(key_group[1]));
  }
  py::Ref compressed = py::list();
  py::Ref one = py::integer(1);
  for (const py::Ref& span : spans) {
    tick();
    const Py_ssize_t len = PyTuple_GET_SIZE(span.get());
    if (len > 2) {
      py::Ref first = py::item(PyTuple_GET_ITEM(span.get(), 0), one);
      py::Ref last = py::item(PyTuple_GET_ITEM(span.get(), len - 1), one);
      py::append(compressed, py::percent(ID("%s-%s"), {first.get(), last.get()}));
      continue;
    }
    for (Py_ssize_t j = 0; j < len; ++j)
      py::append(compressed, py::item(PyTuple_GET_ITEM(span.get(), j), one));
  }
  return py::Ref::steal(_PyString_Join(ID(","), compressed));
}

py::Ref compress_portlist(py::Args a) {
  // A copy that the names' code, and a signal's handler, cannot change.
  py::Ref list = py::tuple_of(a[1]);
  const Py_ssize_t n = PyTuple_GET_SIZE(list.get());
  std::vector<ListedName> names(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    tick();
    ListedName& name = names[size_t(i)];
    name.obj = PyTuple_GET_ITEM(list.get(), i);
    string_view text = py::as_view(name.obj);
    name.prefix = text.substr(0, 2);
    read_number(name, text);
    if (name.big) {
      py::Ref key = py::percent(ID("%s%03u"), {py::str(name.prefix).get(), name.big.get()});
      name.sort_key = py::as_view(key);
    } else {
      // "%03lld": at least three digits, zeros in front.
      if (name.number < 0) {
        char text[32];
        int len = std::snprintf(text, sizeof text, "%03lld", name.number);
        name.sort_key.append(name.prefix).append(text, size_t(len));
      } else {
        char buf[24];
        const std::string_view digits = py::decimal(long(name.number), buf);
        const size_t pad = digits.size() < 3 ? 3 - digits.size() : 0;
        name.sort_key.reserve(name.prefix.size() + pad + digits.size());
        name.sort_key.append(name.prefix).append(pad, '0').append(digits);
      }
    }
  }
  std::stable_sort(names.begin(), names.end(), [](const ListedName& x, const ListedName& y) {
    return x.sort_key < y.sort_key;
  });

  py::Ref groupby = global("groupby");
  if (!own_groupby(groupby)) {
    py::Ref sorted = py::list();
    for (const ListedName& name : names) {
      tick();
      py::append(sorted, name.obj);
    }
    return compress_by(groupby, sorted);
  }

  // Runs: neighbours whose run keys, the prefix and the position less the
  // number as text, are equal.
  auto run_key = [&](size_t i) {
    std::string key(names[i].prefix);
    if (names[i].big) {
      py::Ref diff = py::Ref::steal(PyNumber_Subtract(py::integer(long(i)), names[i].big));
      key += py::as_view(py::to_str(diff));
    } else {
      char buf[24];
      key += py::decimal(static_cast<long long>(i) - names[i].number, buf);
    }
    return key;
  };
  py::StrBuilder out(size_t(n) * 8 + 16);
  bool any = false;
  auto item = [&](string_view text) {
    if (any) out += ",";
    any = true;
    out += text;
  };
  auto text_of = [&](size_t i) { return py::as_view(names[i].obj); };
  for (size_t begin = 0; begin < names.size();) {
    tick();
    std::string key = run_key(begin);
    size_t end = begin + 1;
    while (end < names.size() && run_key(end) == key) {
      tick();
      ++end;
    }
    if (end - begin >= 3) {
      std::string range(text_of(begin));
      range += "-";
      range += text_of(end - 1);
      item(range);
    } else {
      for (size_t i = begin; i < end; ++i) item(text_of(i));
    }
    begin = end;
  }
  return out.finish();
}
}  // namespace

const py::ImplTable script_impls = {
    {"SDKConfig.rcled", rcled},
    {"SDKConfig.rcphy", rcphy},
    {"SDKConfig.rcports", rcports},
    {"SDKConfig._compress_portlist", compress_portlist},
};

}  // namespace pelvane
