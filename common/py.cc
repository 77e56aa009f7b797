// The owned-reference layer: errors, numbers, texts, the dictionary lookups, imports.
#include "py.h"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

namespace py {

namespace {
// The thread state that this thread's Unlocked scope put aside, or null
// while the thread holds the interpreter lock (a signal handler that
// check_signals() runs may then open a scope of its own).
thread_local PyThreadState* released = nullptr;
}  // namespace

Unlocked::Unlocked() noexcept {
  int saved = errno;
  released = PyEval_SaveThread();
  errno = saved;
}

Unlocked::~Unlocked() {
  int saved = errno;
  PyThreadState* state = std::exchange(released, nullptr);
  PyEval_RestoreThread(state);
  errno = saved;
}

void check_signals() {
  int saved = errno, rc;
  if (PyThreadState* state = std::exchange(released, nullptr)) {
    PyEval_RestoreThread(state);
    rc = PyErr_CheckSignals();
    released = PyEval_SaveThread();
  } else {
    rc = PyErr_CheckSignals();
  }
  errno = saved;
  if (rc < 0) throw Raised();
}

void raise(PyObject* type, const char* msg) {
  PyErr_SetString(type, msg);
  throw Raised();
}

void raise(PyObject* type, PyObject* value) {
  PyErr_SetObject(type, value);
  throw Raised();
}

void raisef(PyObject* type, const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  raise(type, buf);
}

std::string format(const char* fmt, ...) {
  char buf[256];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (n < int(sizeof buf)) return std::string(buf, n < 0 ? 0 : size_t(n));
  std::string out(size_t(n) + 1, '\0');
  va_start(ap, fmt);
  vsnprintf(&out[0], out.size(), fmt, ap);
  va_end(ap);
  out.resize(size_t(n));
  return out;
}

PyObject* intern_once(PyObject*& slot, const char* text) {
  slot = PyString_InternFromString(text);
  if (!slot) throw Raised();
  return slot;
}

Ref long_integer(const char* text) {
  return Ref::steal(PyLong_FromString(const_cast<char*>(text), nullptr, 0));
}

Ref tuple(std::initializer_list<PyObject*> items) { return tuple(items.begin(), items.size()); }

Ref list(std::initializer_list<PyObject*> items) {
  Ref l = Ref::steal(PyList_New(Py_ssize_t(items.size())));
  Py_ssize_t i = 0;
  for (PyObject* o : items) {
    Py_INCREF(o);
    PyList_SET_ITEM(l.get(), i++, o);
  }
  return l;
}

long as_long(PyObject* o) {
  long v = PyInt_AsLong(o);
  if (v == -1 && PyErr_Occurred()) throw Raised();
  return v;
}

Ref add(PyObject* a, long k) {
  long sum;
  if (PyInt_CheckExact(a) && !__builtin_add_overflow(PyInt_AS_LONG(a), k, &sum))
    return integer(sum);
  return Ref::steal(PyNumber_Add(a, integer(k)));
}

Ref floor_div(PyObject* a, long k) {
  if (PyInt_CheckExact(a) && k > 0) {
    long v = PyInt_AS_LONG(a), q = v / k;
    return integer(q * k != v && v < 0 ? q - 1 : q);
  }
  return Ref::steal(PyNumber_FloorDivide(a, integer(k)));
}

bool compare(PyObject* a, long k, int op) {
  if (PyInt_CheckExact(a)) {
    long v = PyInt_AS_LONG(a);
    switch (op) {
      case Py_LT: return v < k;
      case Py_LE: return v <= k;
      case Py_EQ: return v == k;
      case Py_NE: return v != k;
      case Py_GT: return v > k;
      case Py_GE: return v >= k;
    }
  }
  int r = PyObject_RichCompareBool(a, integer(k), op);
  if (r < 0) throw Raised();
  return r;
}

Ref builtin(PyObject* name) {
  // The dict of the interpreter's own __builtin__ module.
  PyObject* builtins = PyThreadState_GET()->interp->builtins;
  if (PyObject* v = dict_get(builtins, name)) return Ref::borrow(v);
  raisef(PyExc_NameError, "name '%.200s' is not defined", PyString_AS_STRING(name));
}

Ref builtin(const char* name) { return builtin(Ref::steal(PyString_InternFromString(name))); }

Ref import(const char* name, PyObject* globals) {
  Ref imp = builtin("__import__");
  Ref locals = dict(), fromlist = list(), level = integer(-1);
  return call(imp, str(name), globals, locals, fromlist, level);
}

Ref import_from(const char* module, const char* name, PyObject* globals) {
  Ref imp = builtin("__import__");
  Ref locals = dict(), fromlist = list({str(name).get()}), level = integer(-1);
  Ref mod = call(imp, str(module), globals, locals, fromlist, level);
  PyObject* v = PyObject_GetAttrString(mod, name);
  if (!v) {
    if (!clear_if(PyExc_AttributeError)) throw Raised();
    raisef(PyExc_ImportError, "cannot import name %.230s", name);
  }
  return Ref::steal(v);
}

void unpack(PyObject* seq, int n, Ref* out) {
  if ((PyTuple_CheckExact(seq) || PyList_CheckExact(seq)) && Py_SIZE(seq) == n && n <= 8) {
    PyObject** items = PyTuple_CheckExact(seq) ? reinterpret_cast<PyTupleObject*>(seq)->ob_item
                                               : reinterpret_cast<PyListObject*>(seq)->ob_item;
    Ref old[8];  // what `out` held goes only once every item is taken
    for (int i = 0; i < n; ++i) {
      old[i] = std::move(out[i]);
      out[i] = Ref::borrow(items[i]);
    }
    return;
  }
  Ref it = iter(seq);
  for (int i = 0; i < n; ++i) {
    out[i] = next(it);
    if (!out[i])
      raisef(PyExc_ValueError, "need more than %d value%s to unpack", i, i == 1 ? "" : "s");
  }
  if (next(it)) raise(PyExc_ValueError, "too many values to unpack");
}

namespace {
// Room for a list of `items` items, asked of the allocator as a list asks
// it and given back at once: MemoryError where it is not to be had (up to a
// million items are taken to be there).
void list_room(size_t items) {
  if (items > size_t(PY_SSIZE_T_MAX) / sizeof(PyObject*)) {
    PyErr_NoMemory();
    throw Raised();
  }
  if (items <= (size_t(1) << 20)) return;
  void* room = PyMem_Malloc(items * sizeof(PyObject*));
  if (!room) {
    PyErr_NoMemory();
    throw Raised();
  }
  PyMem_Free(room);
}

enum class Into { list, tuple, set };
// The copy of list_of(), tuple_of() or set_of() through next().
Ref copy_through_next(PyObject* o, Into into) {
  Ref it = iter(o);
  Ref out;
  if (into == Into::set) {
    out = Ref::steal(PySet_New(nullptr));
  } else {
    // The length hint as list() takes it: -1 fails (with the interpreter's
    // SystemError where the hint set no error), any other negative one is
    // ignored, and the room list() first makes, an eighth more and 3 or 6
    // items, must be there.
    const Py_ssize_t hint = _PyObject_LengthHint(o, 8);
    if (hint == -1) {
      if (!PyErr_Occurred())
        raise(PyExc_SystemError, "NULL result without error in PyObject_Call");
      throw Raised();
    }
    if (hint > 0) list_room(size_t(hint) + (size_t(hint) >> 3) + (hint < 9 ? 3 : 6));
    out = list();
  }
  while (Ref item = next(it)) {
    if (into == Into::set)
      check(PySet_Add(out, item));
    else
      append(out, item);
  }
  return into == Into::tuple ? Ref::steal(PyList_AsTuple(out)) : out;
}
bool at_once(PyObject* o) {
  return PyList_CheckExact(o) || PyTuple_CheckExact(o) || PyDict_CheckExact(o);
}
}  // namespace

Ref list_of(PyObject* o) {
  return at_once(o) ? Ref::steal(PySequence_List(o)) : copy_through_next(o, Into::list);
}

Ref tuple_of(PyObject* o) {
  return at_once(o) ? Ref::steal(PySequence_Tuple(o)) : copy_through_next(o, Into::tuple);
}

Ref set_of(PyObject* o) {
  return at_once(o) || PyAnySet_Check(o) ? Ref::steal(PySet_New(o))
                                         : copy_through_next(o, Into::set);
}

Ref percent_plain(PyObject* fmt, std::initializer_list<PyObject*> args) {
  char buf[512];
  size_t n = 0;
  PyObject* const* arg = args.begin();
  const char* f = PyString_Check(fmt) ? PyString_AS_STRING(fmt) : "%";
  for (; *f; ++f) {
    if (*f != '%') {
      if (n == sizeof buf) break;  // a long text: the interpreter writes it
      buf[n++] = *f;
      continue;
    }
    char c = f[1];
    if (c == '%' && n < sizeof buf) {
      buf[n++] = '%';
    } else if (c == 's' && arg != args.end() && PyString_CheckExact(*arg) &&
               size_t(PyString_GET_SIZE(*arg)) <= sizeof buf - n) {
      std::memcpy(buf + n, PyString_AS_STRING(*arg), size_t(PyString_GET_SIZE(*arg)));
      n += size_t(PyString_GET_SIZE(*arg++));
    } else if ((c == 'd' || c == 'u') && arg != args.end() && PyInt_CheckExact(*arg) &&
               sizeof buf - n >= 24) {
      n = size_t(put_decimal(buf + n, PyInt_AS_LONG(*arg++)) - buf);
    } else {
      break;  // anything else: the interpreter's formatting
    }
    ++f;
  }
  if (!*f && arg == args.end()) return str(std::string_view(buf, n));
  return percent(fmt, tuple(args));
}

PyObject* dict_find(PyObject* d, PyObject* key) {
  long hash = PyString_CheckExact(key) ? reinterpret_cast<PyStringObject*>(key)->ob_shash : -1;
  if (hash == -1 && (hash = PyObject_Hash(key)) == -1) throw Raised();
  auto* mp = reinterpret_cast<PyDictObject*>(d);
  PyDictEntry* entry = mp->ma_lookup(mp, key, hash);
  if (!entry) throw Raised();
  return entry->me_value;
}

void StrBuilder::grow(size_t more) {
  size_t cap = std::max({cap_ * 2, size_ + more, reserve_});
  if (!str_) {
    str_ = PyString_FromStringAndSize(nullptr, Py_ssize_t(cap));
    if (!str_) throw Raised();
  } else if (_PyString_Resize(&str_, Py_ssize_t(cap)) < 0) {
    size_ = cap_ = 0;  // the str is gone with the error
    throw Raised();
  }
  cap_ = cap;
  // A text of many megabytes is better written into huge pages, where the
  // system has them: far fewer page faults.
  constexpr uintptr_t huge = uintptr_t(2) << 20;
  if (cap >= 4 * huge) {
    uintptr_t begin = (reinterpret_cast<uintptr_t>(data()) + huge - 1) & ~(huge - 1);
    uintptr_t end = (reinterpret_cast<uintptr_t>(data()) + cap) & ~(huge - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
  }
}

Ref StrBuilder::finish() {
  if (!str_) return str(std::string_view());
  if (_PyString_Resize(&str_, Py_ssize_t(size_)) < 0) {
    size_ = cap_ = 0;
    throw Raised();
  }
  PyObject* done = std::exchange(str_, nullptr);
  size_ = cap_ = 0;
  return Ref::steal(done);
}

long range_count(PyObject* n) {
  if (PyInt_CheckExact(n)) {
    long v = PyInt_AS_LONG(n);
    if (v >= 0 && v <= 1024) return v;  // the usual counts
  }
  if (!PyInt_Check(n) && !PyLong_Check(n)) {
    PyNumberMethods* nb = Py_TYPE(n)->tp_as_number;
    if (PyFloat_Check(n) || !nb || !nb->nb_int)
      raisef(PyExc_TypeError, "range() integer end argument expected, got %.200s.",
             Py_TYPE(n)->tp_name);
  }
  Ref number = Ref::steal(PyNumber_Int(n));
  long v;
  if (PyInt_Check(number.get())) {
    v = PyInt_AS_LONG(number.get());
  } else if (PyLong_Check(number.get())) {
    if (_PyLong_Sign(number) < 0) return 0;
    v = PyLong_AsLong(number);
    if (v == -1 && PyErr_Occurred()) {
      if (!clear_if(PyExc_OverflowError)) throw Raised();
      raise(PyExc_OverflowError, "range() result has too many items");
    }
  } else {
    raisef(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
           Py_TYPE(number.get())->tp_name);
  }
  if (v <= 0) return 0;
  list_room(size_t(v));  // range makes a list of v items
  return v;
}

}  // namespace py
