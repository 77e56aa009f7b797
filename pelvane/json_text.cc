// The JSON text of json.dumps(value, indent=4, sort_keys=True), written
// straight into one str.
//
// That call builds a JSONEncoder and runs its pure-Python iterencode: one
// generator per object or list, the members of an object sorted by key
// with "<", every text through the C escaper encode_basestring_ascii, the
// item separator ", " (the trailing blank stays before each line end) and
// the key separator ": ".  It is taken over here only while everything it
// runs through is what the interpreter's json package itself holds; the
// first time it is seen, each piece is checked to be the package's own
// (functions of its own modules, under their own names), and at every call
// each binding is compared with what was seen.  Nothing here runs the
// interpreter's code but the handlers of signals (py::tick(), at every
// item), which may change the value while it is written: a list is read on
// from where it stands, as its iterator reads it, and an object's members
// are taken and held before any is written, as the encoder's sorted() takes
// them.
#include "json_text.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pelvane {
namespace {

// ---- what json.dumps runs through ----------------------------------------------

// A name bound in a namespace dict, and the object it was bound to (empty:
// not bound there).
struct Binding {
  // Borrowed: the json package's dict, JSONEncoder's, the encoder
  // module's (each kept by what is held of it: the package, the class, its
  // methods) or the interpreter's builtins.
  PyObject* ns;
  py::Ref name;
  py::Ref value;
};

struct Encoder {
  py::Ref module;          // the json package
  py::Ref code, defaults;  // of json.dumps
  std::vector<Binding> bindings;
};

// A function of the module whose globals are `globals`, under the name
// `name`.
bool own_function(PyObject* f, PyObject* globals, const char* name) {
  if (!f || !PyFunction_Check(f) || PyFunction_GET_GLOBALS(f) != globals) return false;
  PyObject* code = PyFunction_GET_CODE(f);
  PyObject* co_name = reinterpret_cast<PyCodeObject*>(code)->co_name;
  return PyString_Check(co_name) && std::strcmp(PyString_AS_STRING(co_name), name) == 0;
}

bool is_text(PyObject* o, const char* text) {
  return o && PyString_CheckExact(o) && std::strcmp(PyString_AS_STRING(o), text) == 0;
}

// The pieces of the json package as they are now, when each is the
// package's own; else empty.
std::unique_ptr<Encoder> seen_now() {
  PyObject* json = PyDict_GetItemString(PyImport_GetModuleDict(), "json");
  if (!json || !PyModule_CheckExact(json)) return nullptr;
  PyObject* g = PyModule_GetDict(json);
  PyObject* dumps = PyDict_GetItemString(g, "dumps");
  PyObject* cls = PyDict_GetItemString(g, "JSONEncoder");
  if (!own_function(dumps, g, "dumps") || !cls || !PyType_Check(cls)) return nullptr;
  PyObject* members = reinterpret_cast<PyTypeObject*>(cls)->tp_dict;
  PyObject* encode = PyDict_GetItemString(members, "encode");
  if (!encode || !PyFunction_Check(encode)) return nullptr;
  // The encoder module, whose globals the methods read.
  PyObject* e = PyFunction_GET_GLOBALS(encode);
  if (!own_function(encode, e, "encode") ||
      !own_function(PyDict_GetItemString(members, "__init__"), e, "__init__") ||
      !own_function(PyDict_GetItemString(members, "iterencode"), e, "iterencode") ||
      !is_text(PyDict_GetItemString(members, "item_separator"), ", ") ||
      !is_text(PyDict_GetItemString(members, "key_separator"), ": ") ||
      !own_function(PyDict_GetItemString(e, "_make_iterencode"), e, "_make_iterencode"))
    return nullptr;
  PyObject* escape = PyDict_GetItemString(e, "encode_basestring_ascii");
  // The C escaper, and the builtin sorted() the members are sorted with.
  if (!py::c_function_named(escape, "encode_basestring_ascii")) return nullptr;
  PyObject* builtins = PyThreadState_GET()->interp->builtins;
  PyObject* sorted = PyDict_GetItemString(builtins, "sorted");
  if (PyDict_GetItemString(e, "sorted") || !py::c_function_named(sorted, "sorted")) return nullptr;

  auto enc = std::make_unique<Encoder>();
  enc->module = py::Ref::borrow(json);
  enc->code = py::Ref::borrow(PyFunction_GET_CODE(dumps));
  enc->defaults = py::Ref::borrow(PyFunction_GET_DEFAULTS(dumps));
  const std::pair<PyObject*, const char*> names[] = {
      {g, "dumps"},
      {g, "JSONEncoder"},
      {members, "__init__"},
      {members, "encode"},
      {members, "iterencode"},
      {members, "item_separator"},
      {members, "key_separator"},
      {e, "_make_iterencode"},
      {e, "encode_basestring_ascii"},
      {e, "sorted"},  // absent
      {builtins, "sorted"}};
  for (const auto& [ns, name] : names) {
    py::Ref key = py::Ref::steal(PyString_InternFromString(name));
    PyObject* value = PyDict_GetItem(ns, key);
    enc->bindings.push_back({ns, key, py::Ref::borrow(value)});
  }
  return enc;
}

// Whether `json` is the interpreter's json package with every piece of
// dumps as first seen.  The pieces are taken the first time they are all
// the package's own; kept for good (the names interned) after that.
bool untouched(PyObject* json) {
  static Encoder* enc = nullptr;
  if (!enc) {
    std::unique_ptr<Encoder> now = seen_now();
    if (!now) return false;
    enc = now.release();
  }
  if (json != enc->module.get()) return false;
  for (const Binding& b : enc->bindings) {
    PyObject* v;
    if (!py::dict_get_plain(b.ns, b.name, v)) return false;
    // A separator counts by its text.
    if (v != b.value.get() && !(v && PyString_CheckExact(v) && PyString_CheckExact(b.value) &&
                                py::same_text(v, b.value)))
      return false;
  }
  PyObject* dumps = enc->bindings.front().value;
  return PyFunction_GET_CODE(dumps) == enc->code.get() &&
         PyFunction_GET_DEFAULTS(dumps) == enc->defaults.get();
}

// ---- the text --------------------------------------------------------------------

// Levels of nesting written here at most; deeper values are the
// interpreter's (its own recursion limit answers for them).
constexpr int kMaxLevel = 100;

class Writer {
 public:
  explicit Writer(py::StrBuilder& out) : out_(out) {
    // The interpreter's encoder takes a frame per level of nesting on top
    // of the caller's and its own few; a value that would pass the limit
    // there is left to it, so that it fails the same way.
    room_ = Py_GetRecursionLimit() - PyThreadState_GET()->recursion_depth - 20;
  }

  // `v` written at indentation `level`; false for what is not written here.
  bool value(PyObject* v, int level) {
    if (PyString_CheckExact(v) || PyUnicode_CheckExact(v)) return text(v);
    if (v == Py_None) {
      out_ += "null";
    } else if (v == Py_True) {
      out_ += "true";
    } else if (v == Py_False) {
      out_ += "false";
    } else if (PyInt_CheckExact(v)) {
      char buf[24];
      out_ += std::string_view(buf, size_t(py::put_decimal(buf, PyInt_AS_LONG(v)) - buf));
    } else if (PyLong_CheckExact(v)) {
      py::Ref digits = py::to_str(v);
      out_ += py::as_view(digits);
    } else if (PyList_CheckExact(v)) {
      return list(v, level);
    } else if (PyDict_CheckExact(v)) {
      return dict(v, level);
    } else {
      return false;
    }
    return true;
  }

 private:
  bool deeper(int level) const { return level >= kMaxLevel || 2 * (level + 1) > room_; }

  void newline(int level) {
    // Levels go up to kMaxLevel.
    static const std::string line = "\n" + std::string(4 * kMaxLevel, ' ');
    out_ += std::string_view(line.data(), 1 + size_t(4 * level));
  }

  bool list(PyObject* l, int level) {
    if (PyList_GET_SIZE(l) == 0) {
      out_ += "[]";
      return true;
    }
    if (deeper(level)) return false;
    out_ += "[";
    for (Py_ssize_t i = 0;; ++i) {
      py::tick();
      if (i >= PyList_GET_SIZE(l)) break;
      if (i) out_ += ", ";
      newline(level + 1);
      py::Ref item = py::Ref::borrow(PyList_GET_ITEM(l, i));
      if (!value(item, level + 1)) return false;
    }
    newline(level);
    out_ += "]";
    return true;
  }

  bool dict(PyObject* d, int level) {
    if (PyDict_Size(d) == 0) {
      out_ += "{}";
      return true;
    }
    if (deeper(level)) return false;
    std::vector<std::pair<py::Ref, py::Ref>> items;
    items.reserve(size_t(PyDict_Size(d)));
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    bool unicode = false;
    while (PyDict_Next(d, &pos, &k, &v)) {
      if (PyUnicode_CheckExact(k))
        unicode = true;
      else if (!PyString_CheckExact(k))
        return false;
      items.emplace_back(py::Ref::borrow(k), py::Ref::borrow(v));
    }
    if (!unicode) {
      // str against str: the bytes, then the length.
      std::sort(items.begin(), items.end(), [](const auto& a, const auto& b) {
        PyObject *x = a.first.get(), *y = b.first.get();
        Py_ssize_t na = PyString_GET_SIZE(x), nb = PyString_GET_SIZE(y);
        int c = std::memcmp(PyString_AS_STRING(x), PyString_AS_STRING(y),
                            size_t(std::min(na, nb)));
        return c < 0 || (c == 0 && na < nb);
      });
    } else {
      // A str against a unicode compares as the str decoded with the
      // default encoding: taken here only for ASCII str keys under the
      // encoding "ascii", then code point against code point throughout.
      if (std::strcmp(PyUnicode_GetDefaultEncoding(), "ascii") != 0) {
        for (const auto& item : items)
          if (PyString_CheckExact(item.first)) return false;
      }
      for (const auto& item : items)
        if (PyString_CheckExact(item.first) && !ascii(item.first)) return false;
      std::sort(items.begin(), items.end(),
                [](const auto& a, const auto& b) { return code_points_less(a.first, b.first); });
    }
    out_ += "{";
    bool first = true;
    for (const auto& [key, val] : items) {
      py::tick();
      if (!first) out_ += ", ";
      first = false;
      newline(level + 1);
      if (!text(key)) return false;
      out_ += ": ";
      if (!value(val, level + 1)) return false;
    }
    newline(level);
    out_ += "}";
    return true;
  }

  static bool ascii(PyObject* s) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(PyString_AS_STRING(s));
    for (Py_ssize_t i = 0, n = PyString_GET_SIZE(s); i < n; ++i)
      if (p[i] > 0x7f) return false;
    return true;
  }

  // The i-th code point of an ASCII str or a unicode.
  static Py_UNICODE at(PyObject* s, Py_ssize_t i) {
    return PyUnicode_CheckExact(s)
               ? PyUnicode_AS_UNICODE(s)[i]
               : Py_UNICODE(static_cast<unsigned char>(PyString_AS_STRING(s)[i]));
  }
  static Py_ssize_t length(PyObject* s) {
    return PyUnicode_CheckExact(s) ? PyUnicode_GET_SIZE(s) : PyString_GET_SIZE(s);
  }
  static bool code_points_less(PyObject* a, PyObject* b) {
    Py_ssize_t na = length(a), nb = length(b);
    for (Py_ssize_t i = 0; i < na && i < nb; ++i) {
      Py_UNICODE ca = at(a, i), cb = at(b, i);
      if (ca != cb) return ca < cb;
    }
    return na < nb;
  }

  // A text in double quotes, as encode_basestring_ascii writes it: a str
  // holding bytes beyond ASCII is decoded as UTF-8 first (where that fails
  // the interpreter's call raises, so it is left to it).
  bool text(PyObject* s) {
    if (PyUnicode_CheckExact(s)) {
      escape(PyUnicode_AS_UNICODE(s), PyUnicode_GET_SIZE(s));
      return true;
    }
    const char* p = PyString_AS_STRING(s);
    Py_ssize_t n = PyString_GET_SIZE(s);
    Py_ssize_t i = 0;
    while (i < n && plain(static_cast<unsigned char>(p[i]))) ++i;
    if (i == n) {
      out_.append("\"", std::string_view(p, size_t(n)), "\"");
      return true;
    }
    if (!ascii(s)) {
      PyObject* decoded = PyUnicode_DecodeUTF8(p, n, "strict");
      if (!decoded) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw py::Raised();
        PyErr_Clear();
        return false;
      }
      py::Ref u = py::Ref::steal(decoded);
      escape(PyUnicode_AS_UNICODE(u.get()), PyUnicode_GET_SIZE(u.get()));
      return true;
    }
    escape(reinterpret_cast<const unsigned char*>(p), n);
    return true;
  }

  static bool plain(Py_UNICODE c) { return c >= ' ' && c <= '~' && c != '\\' && c != '"'; }

  // The letter of the two-character escape of `c`, 0 for none.
  static char short_escape(Py_UNICODE c) {
    switch (c) {
      case '\\': return '\\';
      case '"': return '"';
      case '\b': return 'b';
      case '\f': return 'f';
      case '\n': return 'n';
      case '\r': return 'r';
      case '\t': return 't';
      default: return 0;
    }
  }

  template <class C>
  void escape(const C* s, Py_ssize_t n) {
    static const char hex[] = "0123456789abcdef";
    char buf[512];
    size_t k = 0;
    buf[k++] = '"';
    auto u4 = [&](Py_UNICODE c) {
      buf[k++] = '\\';
      buf[k++] = 'u';
      buf[k++] = hex[(c >> 12) & 0xf];
      buf[k++] = hex[(c >> 8) & 0xf];
      buf[k++] = hex[(c >> 4) & 0xf];
      buf[k++] = hex[c & 0xf];
    };
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (k > sizeof buf - 16) {
        out_ += std::string_view(buf, k);
        k = 0;
      }
      Py_UNICODE c = s[i];
      if (plain(c)) {
        buf[k++] = char(c);
        continue;
      }
      if (char e = short_escape(c)) {
        buf[k++] = '\\';
        buf[k++] = e;
      } else if (c >= 0x10000) {
        // Beyond the basic plane: a UTF-16 surrogate pair.
        Py_UNICODE v = c - 0x10000;
        u4(0xd800 | ((v >> 10) & 0x3ff));
        u4(0xdc00 | (v & 0x3ff));
      } else {
        u4(c);
      }
    }
    buf[k++] = '"';
    out_ += std::string_view(buf, k);
  }

  py::StrBuilder& out_;
  int room_;
};

}  // namespace

py::Ref json_sorted_indented(PyObject* json, PyObject* value) {
  if (!untouched(json)) return {};
  py::StrBuilder out(4096);
  if (!Writer(out).value(value, 0)) return {};
  return out.finish();
}

}  // namespace pelvane
