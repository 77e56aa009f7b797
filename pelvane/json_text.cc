// The JSON text of json.dumps(value, indent=4, sort_keys=True), written
// straight into one str.
//
// That call builds a JSONEncoder and runs its pure-Python iterencode: one
// generator per object or list, the members of an object sorted by key
// with "<", every text through the C escaper encode_basestring_ascii, the
// item separator ", " (the trailing blank stays before each line end) and
// the key separator ": ".  It is taken over here only while everything it
// runs through is what the interpreter's json package itself holds, and
// every builtin its code reads, found where its frames find it (the encoder
// module's globals, else the builtins they take from its __builtins__), is
// the interpreter's own; the first time it is seen, each piece is checked
// to be the package's own (functions of its own modules, under their own
// names), and at every call each binding, a function's code and defaults
// with it, is compared with what was seen.  Nothing here runs the
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
// not bound there); for a function, its code and defaults as they were.
struct Binding {
  // Borrowed: the json package's dict, JSONEncoder's, the encoder module's
  // or the builtins its frames run with, each kept by what is held of it
  // (the package, the class, its methods, the module's __builtins__).
  PyObject* ns;
  py::Ref name;
  py::Ref value;
  py::Ref code, defaults;
};

struct Encoder {
  py::Ref module;  // the json package
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

// Whether `v` is the interpreter's own builtin `name`.
bool own_builtin(PyObject* v, const char* name) {
  const std::pair<const char*, PyObject*> objects[] = {
      {"True", Py_True},
      {"False", Py_False},
      {"ValueError", PyExc_ValueError},
      {"basestring", reinterpret_cast<PyObject*>(&PyBaseString_Type)},
      {"dict", reinterpret_cast<PyObject*>(&PyDict_Type)},
      {"float", reinterpret_cast<PyObject*>(&PyFloat_Type)},
      {"int", reinterpret_cast<PyObject*>(&PyInt_Type)},
      {"list", reinterpret_cast<PyObject*>(&PyList_Type)},
      {"long", reinterpret_cast<PyObject*>(&PyLong_Type)},
      {"str", reinterpret_cast<PyObject*>(&PyString_Type)},
      {"tuple", reinterpret_cast<PyObject*>(&PyTuple_Type)}};
  for (const auto& [n, o] : objects)
    if (std::strcmp(n, name) == 0) return v == o;
  return py::c_function_named(v, "__builtin__", name);
}

// Whether every default of the function `f` is the builtin its parameter
// is named after (_make_iterencode's isinstance=isinstance, ...).
bool builtin_defaults(PyObject* f) {
  PyObject* defaults = PyFunction_GET_DEFAULTS(f);
  if (!defaults) return true;
  const auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(f));
  const Py_ssize_t n = PyTuple_GET_SIZE(defaults), first = code->co_argcount - n;
  if (first < 0 || code->co_argcount > PyTuple_GET_SIZE(code->co_varnames)) return false;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* name = PyTuple_GET_ITEM(code->co_varnames, first + i);
    if (!PyString_CheckExact(name) ||
        !own_builtin(PyTuple_GET_ITEM(defaults, i), PyString_AS_STRING(name)))
      return false;
  }
  return true;
}

// The pieces of the json package as they are now, each noted with the
// binding it was found through, when each is the package's own (or the
// interpreter's, for the builtins); else empty.
std::unique_ptr<Encoder> seen_now() {
  PyObject* json = PyDict_GetItemString(PyImport_GetModuleDict(), "json");
  if (!json || !PyModule_CheckExact(json)) return nullptr;
  auto enc = std::make_unique<Encoder>();
  enc->module = py::Ref::borrow(json);
  // ns[name], noted; NULL where it is not bound, or where a lookup that
  // runs no code cannot tell (then nothing here is taken).
  bool told = true;
  auto take = [&](PyObject* ns, const char* name) -> PyObject* {
    py::Ref key = py::Ref::steal(PyString_InternFromString(name));
    PyObject* v;
    if (!py::dict_get_plain(ns, key, v)) {
      told = false;
      return nullptr;
    }
    Binding b{ns, key, py::Ref::borrow(v), {}, {}};
    if (v && PyFunction_Check(v)) {
      b.code = py::Ref::borrow(PyFunction_GET_CODE(v));
      b.defaults = py::Ref::borrow(PyFunction_GET_DEFAULTS(v));
    }
    enc->bindings.push_back(std::move(b));
    return v;
  };

  PyObject* g = PyModule_GetDict(json);
  PyObject* dumps = take(g, "dumps");
  PyObject* cls = take(g, "JSONEncoder");
  if (!own_function(dumps, g, "dumps") || !cls || !PyType_Check(cls)) return nullptr;
  PyObject* members = reinterpret_cast<PyTypeObject*>(cls)->tp_dict;
  PyObject* encode = take(members, "encode");
  if (!encode || !PyFunction_Check(encode)) return nullptr;
  // The encoder module, whose globals the methods read, and the builtins
  // its frames run with, as a frame called from dumps (of other globals)
  // takes them from its globals: their __builtins__, a module's dict or a
  // dict (anything else leaves the frames none of the names below).
  PyObject* e = PyFunction_GET_GLOBALS(encode);
  if (e == g) return nullptr;
  PyObject* b = take(e, "__builtins__");
  if (b && PyModule_Check(b)) {
    b = PyModule_GetDict(b);
    if (!b) throw py::Raised();
  } else if (!b || !PyDict_Check(b)) {
    return nullptr;
  }
  // A global of the encoder's code: its module's, else its builtins'.
  auto global = [&](const char* name) {
    PyObject* v = take(e, name);
    return v ? v : take(b, name);
  };
  PyObject* make = global("_make_iterencode");
  if (!own_function(encode, e, "encode") ||
      !own_function(take(members, "__init__"), e, "__init__") ||
      !own_function(take(members, "iterencode"), e, "iterencode") ||
      !is_text(take(members, "item_separator"), ", ") ||
      !is_text(take(members, "key_separator"), ": ") ||
      !own_function(make, e, "_make_iterencode") || !builtin_defaults(make))
    return nullptr;
  // iterencode's globals: the C escaper, and names only tested or negated
  // there (-INFINITY, of a float, runs no code).
  PyObject* infinity = global("INFINITY");
  if (!py::c_function_named(global("encode_basestring_ascii"), "_json",
                            "encode_basestring_ascii") ||
      !global("c_make_encoder") || !global("FLOAT_REPR") || !infinity ||
      !PyFloat_CheckExact(infinity))
    return nullptr;
  // The builtins that encode and the generators of _make_iterencode read.
  for (const char* name :
       {"True", "False", "basestring", "isinstance", "list", "str", "tuple", "sorted"})
    if (!own_builtin(global(name), name)) return nullptr;
  if (!told) return nullptr;
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
    if (v != b.value.get()) {
      // A separator counts by its text.
      if (!(v && PyString_CheckExact(v) && PyString_CheckExact(b.value) &&
            py::same_text(v, b.value)))
        return false;
    } else if (b.code && (PyFunction_GET_CODE(v) != b.code.get() ||
                          PyFunction_GET_DEFAULTS(v) != b.defaults.get())) {
      return false;
    }
  }
  return true;
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
