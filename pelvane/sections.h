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

// Loops whose length a caller sets see pending signals and take their
// counts as range() does (the glue's).
using py::range_count;
using py::tick;

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

// Whether obj.name is the true value itself (an identity test: 1 and other
// true values do not count), as the chip's capability flags are tested.
inline bool flag_set(PyObject* obj, PyObject* name) {
  return py::plain_attr(obj, name).get() == Py_True;
}

// a < b for two numbers (interface and port numbers, units).
inline bool number_less(PyObject* a, PyObject* b) {
  if (PyInt_CheckExact(a) && PyInt_CheckExact(b)) return PyInt_AS_LONG(a) < PyInt_AS_LONG(b);
  int r = PyObject_RichCompareBool(a, b, Py_LT);
  py::check(r);
  return r;
}

// The configured ports of the configuration object in list order, each with
// its number of logical ports.  The ports' classes are looked up once in the
// walk (or in the operation call around it).
template <class F>
void each_port(PyObject* self, const F& f) {
  py::ClassScope scope;
  py::Ref it = py::iter(py::plain_attr(self, ID("ports")));
  while (py::Ref port = py::next(it)) {
    f(port.get(), range_count(py::read_prop(port, ID("num_logical_ports"))));
  }
}

// A new list of the keys of a mapping, in the mapping's own key order: a
// dict's own, else what its keys() answers (copied through next()).
inline py::Ref mapping_keys(PyObject* d) {
  return PyDict_CheckExact(d) ? py::Ref::steal(PyDict_Keys(d))
                              : py::list_of(py::callm(d, ID("keys")));
}

// The number in a hardware or SDK interface name (xe12: 12) when the name
// is a prefix of two characters and up to 18 decimal digits.
inline bool name_digits(std::string_view text, long long& v) {
  long digits;
  if (text.size() <= 2 || !py::digits_value(text.substr(2), digits)) return false;
  v = digits;
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
    out += py::decimal(PyInt_AS_LONG(v), buf);
  else
    put_formatted(out, ID("%s"), v);
}

// "%u" of v + add (the same digits as "%d"); a sum beyond the small
// integers is the interpreter's.
template <class Out>
void put_dec(Out& out, PyObject* v, long add = 0) {
  char buf[24];
  long sum;
  // (True and False are written as the integers they are: 1, 0.)
  if ((PyInt_CheckExact(v) || PyBool_Check(v)) &&
      !__builtin_add_overflow(PyInt_AS_LONG(v), add, &sum))
    out += py::decimal(sum, buf);
  else
    put_formatted(out, ID("%u"), add ? py::add(v, add) : py::Ref::borrow(v));
}

// "%x" of v, or "%04x" when `wide`.
template <class Out>
void put_hex(Out& out, PyObject* v, bool wide) {
  if (PyInt_CheckExact(v) && PyInt_AS_LONG(v) >= 0) {
    char buf[24];
    out += py::hexadecimal(static_cast<unsigned long>(PyInt_AS_LONG(v)), buf, wide ? 4 : 0);
  } else {
    put_formatted(out, wide ? ID("%04x") : ID("%x"), v);
  }
}

// Pieces of a line for put_line(): a value written as "%s" (Text), as "%u"
// of the value + add (Dec), or as "%x", "%04x" when wide (Hex).
struct Text {
  PyObject* v;
};
struct Dec {
  PyObject* v;
  long add = 0;
};
struct Hex {
  PyObject* v;
  bool wide = false;
};
template <class Out>
void put_piece(Out& out, std::string_view s) {
  out += s;
}
template <class Out>
void put_piece(Out& out, Text p) {
  put_text(out, p.v);
}
template <class Out>
void put_piece(Out& out, Dec p) {
  put_dec(out, p.v, p.add);
}
template <class Out>
void put_piece(Out& out, Hex p) {
  put_hex(out, p.v, p.wide);
}

// The pieces (texts, or values as above) appended in order:
// put_line(out.line(), "port_phy_addr_", Text{intf}, "=0x", Hex{addr}).
template <class Out, class... P>
void put_line(Out& out, const P&... pieces) {
  (put_piece(out, pieces), ...);
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
