// What the section writers of the SDK files share: the walk over the
// configured ports, the lines of a section, and values written into a line.
//
// Values of the kinds the ports give (texts, small integers) are written
// here; anything else goes through the interpreter's own "%" formatting, so
// the text is the same either way.
#pragma once

#include "pelvane.h"

#include <string_view>

namespace pelvane {
namespace sections {

// Lines joined by "\n": line() starts the next one.
class Section {
 public:
  explicit Section(size_t reserve = 4096) : text_(reserve) {}
  py::StrBuilder& line() {
    if (any_) text_ += "\n";
    any_ = true;
    return text_;
  }
  py::Ref finish() { return text_.finish(); }

 private:
  py::StrBuilder text_;
  bool any_ = false;
};

// "\n".join(lines).
inline py::Ref joined(PyObject* lines) { return py::Ref::steal(_PyString_Join(ID("\n"), lines)); }

// The chip of a platform's switch: platform.switch.chip.
inline py::Ref switch_chip(PyObject* platform) {
  return py::attr(py::attr(platform, ID("switch")), ID("chip"));
}

// The chip of the configuration object's platform: self.platform.switch.chip.
inline py::Ref chip_of(PyObject* self) { return switch_chip(py::attr(self, ID("platform"))); }

// Whether obj.name is the true value itself (an identity test: 1 and other
// true values do not count), as the chip's capability flags are tested.
inline bool flag_set(PyObject* obj, PyObject* name) { return py::attr(obj, name).get() == Py_True; }

// a < b for two numbers (interface and port numbers, units).
inline bool number_less(PyObject* a, PyObject* b) {
  if (PyInt_CheckExact(a) && PyInt_CheckExact(b)) return PyInt_AS_LONG(a) < PyInt_AS_LONG(b);
  int r = PyObject_RichCompareBool(a, b, Py_LT);
  py::check(r);
  return r;
}

// One turn of a loop whose length a caller sets (ports, logical ports,
// list items): every so many turns the interpreter's pending signals are
// handled, as its own loops handle them, so that Ctrl-C ends the loop (the
// handler's exception, KeyboardInterrupt, is thrown).
inline void tick() {
  static unsigned turns = 0;
  if (++turns % 1024 == 0) py::check(PyErr_CheckSignals());
}

// The number of items of range(n), n taken as range takes its end: int(n)
// for an integer or an object that converts itself, 0 for a negative one;
// TypeError for anything else, OverflowError for a count beyond the
// interpreter's sizes, and MemoryError for a count whose list range could
// not make.  No list is made.
inline long range_count(PyObject* n) {
  if (PyInt_CheckExact(n)) {
    long v = PyInt_AS_LONG(n);
    if (v >= 0 && v <= 1024) return v;  // the usual counts
  }
  if (!PyInt_Check(n) && !PyLong_Check(n)) {
    PyNumberMethods* nb = Py_TYPE(n)->tp_as_number;
    if (PyFloat_Check(n) || !nb || !nb->nb_int)
      py::raisef(PyExc_TypeError, "range() integer end argument expected, got %.200s.",
                 Py_TYPE(n)->tp_name);
  }
  py::Ref number = py::Ref::steal(PyNumber_Int(n));
  long v;
  if (PyInt_Check(number.get())) {
    v = PyInt_AS_LONG(number.get());
  } else if (PyLong_Check(number.get())) {
    if (_PyLong_Sign(number) < 0) return 0;
    v = PyLong_AsLong(number);
    if (v == -1 && PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw py::Raised();
      py::raise(PyExc_OverflowError, "range() result has too many items");
    }
  } else {
    py::raisef(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
               Py_TYPE(number.get())->tp_name);
  }
  if (v <= 0) return 0;
  // range makes a list of v items: where that much memory is not to be had
  // (asked for and given back at once), it fails.
  if (size_t(v) > size_t(PY_SSIZE_T_MAX) / sizeof(PyObject*)) {
    PyErr_NoMemory();
    throw py::Raised();
  }
  if (v > (1L << 20)) {
    void* room = PyMem_Malloc(size_t(v) * sizeof(PyObject*));
    if (!room) {
      PyErr_NoMemory();
      throw py::Raised();
    }
    PyMem_Free(room);
  }
  return v;
}

// The configured ports of the configuration object in list order, each with
// its number of logical ports.
template <class F>
void each_port(PyObject* self, const F& f) {
  py::Ref it = py::iter(py::attr(self, ID("ports")));
  while (py::Ref port = py::next(it)) {
    tick();
    f(port.get(), range_count(py::read_prop(port, ID("num_logical_ports"))));
  }
}

// A new list of the keys of a mapping, in the mapping's own key order: a
// dict's own, else what its keys() answers.
inline py::Ref mapping_keys(PyObject* d) {
  return PyDict_CheckExact(d) ? py::Ref::steal(PyDict_Keys(d))
                         : py::Ref::steal(PySequence_List(py::callm(d, ID("keys"))));
}

// The number in a hardware or SDK interface name (xe12: 12) when the name
// is a prefix of two characters and up to 18 decimal digits.
inline bool name_digits(std::string_view text, long long& v) {
  if (text.size() <= 2 || text.size() > 2 + 18) return false;
  v = 0;
  for (char c : text.substr(2)) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  return true;
}

// The PHYs of each configured port, in port order: f(port, n, phy, number,
// addr) with the port's number of logical ports `n`, the PHY's index `phy`
// (and as an interpreter integer, `number`) and its phy_addr.
template <class F>
void each_phy_addr(PyObject* self, const F& f) {
  each_port(self, [&](PyObject* port, long n) {
    long phys = range_count(py::read_prop(port, ID("num_phys")));
    for (long phy = 0; phy < phys; ++phy) {
      tick();
      py::Ref number = py::integer(phy);
      py::Ref addr = py::call_op(port, ID("phy_addr"), number.get());
      f(port, n, phy, number.get(), addr.get());
    }
  });
}

// ---- writing values ----------------------------------------------------------

// The decimal digits of n, written at the end of `buf`.
inline std::string_view decimal(long long n, char (&buf)[24]) {
  char* d = buf + sizeof buf;
  unsigned long long u =
      n < 0 ? 0ULL - static_cast<unsigned long long>(n) : static_cast<unsigned long long>(n);
  do *--d = char('0' + u % 10); while (u /= 10);
  if (n < 0) *--d = '-';
  return std::string_view(d, size_t(buf + sizeof buf - d));
}

// `fmt` % (v,), appended to `out`.
template <class Out>
void put_formatted(Out& out, PyObject* fmt, PyObject* v) {
  py::Ref text = py::percent(fmt, {v});
  out += py::as_view(text);
}

// "%s" of v.
template <class Out>
void put_text(Out& out, PyObject* v) {
  char buf[24];
  if (PyString_CheckExact(v))
    out += std::string_view(PyString_AS_STRING(v), size_t(PyString_GET_SIZE(v)));
  else if (PyInt_CheckExact(v))
    out += decimal(PyInt_AS_LONG(v), buf);
  else
    put_formatted(out, ID("%s"), v);
}

// "%u" of v + add (the same digits as "%d"); a sum beyond the small
// integers is the interpreter's.
template <class Out>
void put_dec(Out& out, PyObject* v, long add = 0) {
  char buf[24];
  long sum;
  if (PyInt_CheckExact(v) && !__builtin_add_overflow(PyInt_AS_LONG(v), add, &sum))
    out += decimal(sum, buf);
  else
    put_formatted(out, ID("%u"), add ? py::add(v, add) : py::Ref::borrow(v));
}

// "%x" of v, or "%04x" when `wide`.
template <class Out>
void put_hex(Out& out, PyObject* v, bool wide) {
  if (PyInt_CheckExact(v) && PyInt_AS_LONG(v) >= 0) {
    char buf[24];
    char* d = buf + sizeof buf;
    unsigned long u = static_cast<unsigned long>(PyInt_AS_LONG(v));
    do *--d = "0123456789abcdef"[u & 0xf]; while (u >>= 4);
    while (wide && d > buf + sizeof buf - 4) *--d = '0';
    out += std::string_view(d, size_t(buf + sizeof buf - d));
  } else {
    put_formatted(out, wide ? ID("%04x") : ID("%x"), v);
  }
}

// The values, "%s" each, one `sep` between two.
template <class Out>
void put_texts(Out& out, std::string_view sep, std::initializer_list<PyObject*> values) {
  bool first = true;
  for (PyObject* v : values) {
    if (!first) out += sep;
    first = false;
    put_text(out, v);
  }
}

}  // namespace sections
}  // namespace pelvane
