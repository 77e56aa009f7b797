// Thin owned-reference layer over the interpreter's C interface.
//
// Every module of this project talks to the interpreter through this file:
// a `Ref` owns exactly one reference, a failing call throws `Raised` with the
// interpreter's exception left pending, and the boundary in function.cc turns that
// back into a NULL return.  Nobody outside common/ touches reference counts.
#pragma once

#include <Python.h>

#include <cstdarg>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace py {

// Thrown when an interpreter exception is pending.
struct Raised {};

class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
  Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  ~Ref() { Py_XDECREF(p_); }
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }

  // Takes over a new reference; throws when it is NULL (error pending).
  static Ref steal(PyObject* p) {
    if (!p) throw Raised();
    return Ref(p);
  }
  // Takes a new reference to a borrowed object (NULL stays empty).
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }

  PyObject* get() const noexcept { return p_; }
  operator PyObject*() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

inline void check(int rc) {
  if (rc < 0) throw Raised();
}

// Whether the pending error must pass through every catch-all:
// KeyboardInterrupt or SystemExit.
inline bool must_pass() {
  return PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) ||
         PyErr_ExceptionMatches(PyExc_SystemExit);
}

// The pending error, when it is a `type` (matched as an except clause
// matches), cleared: answers whether it was; any other stays pending.
//   catch (const py::Raised&) { if (!py::clear_if(PyExc_IOError)) throw; ... }
inline bool clear_if(PyObject* type) {
  if (!PyErr_ExceptionMatches(type)) return false;
  PyErr_Clear();
  return true;
}
// The same for every error a catch-all takes: all but those that must pass.
inline bool clear_catchable() {
  if (must_pass()) return false;
  PyErr_Clear();
  return true;
}

[[noreturn]] void raise(PyObject* type, const char* msg);
[[noreturn]] void raise(PyObject* type, PyObject* value);
[[noreturn]] void raisef(PyObject* type, const char* fmt, ...)
    __attribute__((format(printf, 2, 3)));

// Interned identifier, made once per call site: attr(o, ID("label")); a
// first try that failed (no memory) is tried again at the next use.
#define ID(s) \
  ([]() -> PyObject* { \
    static PyObject* o = nullptr; \
    return o ? o : ::py::intern_once(o, s); \
  }())
// Makes `slot` the interned `text` (throws when that fails, `slot` left
// empty for a later try); answers it.
PyObject* intern_once(PyObject*& slot, const char* text);
// The interned texts of a table of names (nullptr entries stay empty), made
// together at first use: `static py::Names<3> names{kTexts};`, then
// names[i] or names.get().
template <size_t N>
class Names {
 public:
  explicit Names(const char* const (&texts)[N]) : texts_(texts) {}
  PyObject* const* get() {
    if (!made_) {
      for (size_t i = 0; i < N; ++i)
        if (texts_[i] && !objs_[i]) intern_once(objs_[i], texts_[i]);
      made_ = true;
    }
    return objs_;
  }
  PyObject* operator[](size_t i) { return get()[i]; }

 private:
  const char* const (&texts_)[N];
  PyObject* objs_[N] = {};
  bool made_ = false;
};

// A constant kept in `slot` (a function's static), made by make() at first
// use; a first try that failed (no memory) is tried again at the next use.
template <class F>
PyObject* once(PyObject*& slot, const F& make) {
  if (!slot && !(slot = make())) throw Raised();
  return slot;
}

// Holds the pending interpreter error aside while clean-up code calls the
// interpreter, and puts it back when the scope ends, as a finally block
// does: unless a newer error is pending by then (the clean-up failed), which
// wins, or discard() dropped it.
class HeldError {
 public:
  HeldError() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
  ~HeldError() {
    if (PyErr_Occurred())
      discard();
    else
      restore();
  }
  HeldError(const HeldError&) = delete;
  HeldError& operator=(const HeldError&) = delete;
  void restore() noexcept {
    PyErr_Restore(type_, value_, tb_);
    type_ = value_ = tb_ = nullptr;
  }
  void discard() noexcept {
    Py_CLEAR(type_);
    Py_CLEAR(value_);
    Py_CLEAR(tb_);
  }

 private:
  PyObject *type_, *value_, *tb_;
};

// Runs clean-up code from a destructor, where nothing may be thrown: the
// error on its way is held aside meanwhile, and an error of the clean-up
// itself is reported as the interpreter reports one of a __del__ method
// ("Exception ... in <where> ignored"), then dropped.
template <class F>
void in_destructor(PyObject* where, const F& cleanup) noexcept {
  HeldError held;
  try {
    cleanup();
  } catch (...) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "clean-up failed");
    PyErr_WriteUnraisable(where);
  }
}

// ---- threads ------------------------------------------------------------

// Lets the interpreter's other threads run while this one waits in the
// system: the interpreter lock is released for the scope and taken back at
// its end (errno kept).  No object of the interpreter may be touched within,
// but through check_signals().
class Unlocked {
 public:
  Unlocked() noexcept;
  ~Unlocked();
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;
};

// Runs the handlers of the signals that came meanwhile (the one that raises
// KeyboardInterrupt among them), with the interpreter lock taken back for
// the time where an Unlocked scope of this thread released it; throws
// Raised where one raised.  errno is kept.
void check_signals();

// ---- loops whose length a caller sets ----------------------------------------
// One turn of a loop whose length a caller or a platform description sets
// (over an iterable, a sequence, a count, the lines of a tool's answer):
// every 1,024 turns the interpreter's pending signals are handled, as its
// own loops handle them, so that Ctrl-C ends the loop (the handler's
// exception, KeyboardInterrupt, is thrown).  Answers whether it handled
// them at this turn (whether any had come or not): a handler written in
// Python may then have run and changed anything, which a direct rendering
// that holds objects borrowed, or keeps what it found, must allow for.
//
// next() and the line readers (Lines in lookups.h, murchet's over a text)
// take a turn at every item themselves, so a loop over them needs no call
// of its own; so do list_of(), tuple_of() and set_of(), the copies of an
// iterable a caller hands in.  A loop that renders one of the
// interpreter's own steps, which handle no signals either (a sort, a
// membership test, a set difference, a text's split or escape, a pattern's
// match, an error message's text), takes none.
inline bool tick() {
  static unsigned turns = 0;
  if (__builtin_expect(++turns % 1024 != 0, 1)) return false;
  check(PyErr_CheckSignals());
  return true;
}

// ---- digits -------------------------------------------------------------
namespace detail {
// Writes the decimal digits of `u` so that they end at `end`, two at a time
// from a table of the pairs 00 to 99; answers where they begin.
inline char* digits_before(char* end, unsigned long u) {
  static constexpr char pairs[] =
      "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
      "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
      "8081828384858687888990919293949596979899";
  for (; u >= 100; u /= 100) {
    end -= 2;
    std::memcpy(end, pairs + 2 * (u % 100), 2);
  }
  if (u < 10) {
    *--end = char('0' + u);
    return end;
  }
  end -= 2;
  std::memcpy(end, pairs + 2 * u, 2);
  return end;
}
inline unsigned long magnitude(long v) {
  return v < 0 ? 0UL - static_cast<unsigned long>(v) : static_cast<unsigned long>(v);
}
}  // namespace detail

// The decimal digits of `v`, as "%ld" writes them (a '-' first when
// negative), written at the end of `buf`.
inline std::string_view decimal(long v, char (&buf)[24]) {
  char* d = detail::digits_before(buf + sizeof buf, detail::magnitude(v));
  if (v < 0) *--d = '-';
  return std::string_view(d, size_t(buf + sizeof buf - d));
}
// The hexadecimal digits of `u` in lower case, as "%lx" writes them, with
// '0's before them up to `width` (24 at most) as "%0<width>lx" pads them;
// written at the end of `buf`.
inline std::string_view hexadecimal(unsigned long u, char (&buf)[24], size_t width = 0) {
  char* d = buf + sizeof buf;
  do *--d = "0123456789abcdef"[u & 0xf];
  while (u >>= 4);
  while (d > buf && size_t(buf + sizeof buf - d) < width) *--d = '0';
  return std::string_view(d, size_t(buf + sizeof buf - d));
}
// Writes the decimal digits of `v` at `d`, as decimal() writes them, and
// answers the end: at most 20 bytes.
inline char* put_decimal(char* d, long v) {
  unsigned long u = detail::magnitude(v);
  if (v < 0) *d++ = '-';
  size_t n = 1;
  for (unsigned long t = u; t >= 10; t /= 10) ++n;
  detail::digits_before(d + n, u);
  return d + n;
}
// The value of a text of 1 to `max_digits` (at most 18, so that it fits)
// plain decimal digits, 0-9 alone: no sign, no blank.  False for any other
// text, `value` left as it was.
inline bool digits_value(std::string_view text, long& value, size_t max_digits = 18) {
  if (text.empty() || text.size() > max_digits) return false;
  long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  value = v;
  return true;
}

// ---- construction -------------------------------------------------------
inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool b) { return Ref::borrow(b ? Py_True : Py_False); }
inline Ref integer(long v) { return Ref::steal(PyInt_FromLong(v)); }
inline Ref floating(double v) { return Ref::steal(PyFloat_FromDouble(v)); }
inline Ref str(std::string_view s) {
  return Ref::steal(PyString_FromStringAndSize(s.data(), Py_ssize_t(s.size())));
}
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// A long integer from its text ("0x..." allowed), whatever its size.
Ref long_integer(const char* text);
Ref tuple(std::initializer_list<PyObject*> items);
inline Ref tuple(Py_ssize_t n) { return Ref::steal(PyTuple_New(n)); }
// A tuple of the `n` objects at `items`.
inline Ref tuple(PyObject* const* items, size_t n) {
  Ref t = tuple(Py_ssize_t(n));
  for (size_t i = 0; i < n; ++i) {
    Py_INCREF(items[i]);
    PyTuple_SET_ITEM(t.get(), Py_ssize_t(i), items[i]);
  }
  return t;
}
Ref list(std::initializer_list<PyObject*> items = {});
inline Ref dict() { return Ref::steal(PyDict_New()); }

// ---- access ------------------------------------------------------------
inline Ref attr(PyObject* o, PyObject* name) { return Ref::steal(PyObject_GetAttr(o, name)); }
inline Ref attr(PyObject* o, const char* name) {
  return Ref::steal(PyObject_GetAttrString(o, name));
}
inline void setattr(PyObject* o, PyObject* name, PyObject* v) {
  check(PyObject_SetAttr(o, name, v));
}
inline void setattr(PyObject* o, const char* name, PyObject* v) {
  check(PyObject_SetAttrString(o, name, v));
}
inline Ref item(PyObject* o, PyObject* key) { return Ref::steal(PyObject_GetItem(o, key)); }
inline Ref item(PyObject* o, Py_ssize_t i) { return Ref::steal(PySequence_GetItem(o, i)); }
inline void setitem(PyObject* o, PyObject* key, PyObject* v) {
  check(PyObject_SetItem(o, key, v));
}
// `d.get(key)` for a dict `d`, in four forms.  Every answer is borrowed,
// valid until the interpreter next runs code.  All share one walk of the
// dict's table, dict_probe: along the interpreter's own probe sequence, a
// text key compared with the texts there as the interpreter compares them.
// - dict_probe(d, key, hash, value): `d` a dict, `key` a plain text of hash
//   `hash`.  Never runs code, raises nothing.  False where it cannot tell
//   (a live key of that hash that is not a plain text, which only the
//   interpreter can compare); else true, `value` the value or NULL.
// - dict_get_plain(d, key, value): the same for any `d` and `key`, false
//   also where `d` is no dict or `key` no plain text.
// - dict_get_plain_int(d, key, value): the same for a plain int `key`
//   (compared with the plain ints of its hash; a live key of that hash of
//   any other kind cannot tell), false where `d` is no dict or `key` no
//   plain int.
// - dict_get(d, key): the value or NULL; the probe where it tells, else the
//   interpreter's lookup, which may run code (a key's __hash__ or __eq__)
//   and whose errors are thrown.
// - dict_find(d, key): the interpreter's lookup alone; may run code, its
//   errors thrown.
namespace detail {
// The walk of dict_probe, a live key of the hash other than `key` itself
// told by same(k): 1 equal, 0 unequal, -1 cannot tell.
template <class Same>
[[gnu::always_inline]] inline bool probe(PyObject* d, PyObject* key, long hash, const Same& same,
                                         PyObject*& value) {
  auto* mp = reinterpret_cast<PyDictObject*>(d);
  const size_t mask = size_t(mp->ma_mask);
  size_t i = size_t(hash) & mask;
  for (size_t perturb = size_t(hash);; perturb >>= 5) {
    const PyDictEntry& e = mp->ma_table[i & mask];
    if (!e.me_key || e.me_key == key) {
      value = e.me_key ? e.me_value : nullptr;
      return true;
    }
    if (e.me_hash == hash && e.me_value) {  // a live key of the same hash
      const int is = same(e.me_key);
      if (is < 0) return false;
      if (is) {
        value = e.me_value;
        return true;
      }
    }
    i = (i << 2) + i + perturb + 1;
  }
}
}  // namespace detail
inline bool dict_probe(PyObject* d, PyObject* key, long hash, PyObject*& value) {
  return detail::probe(
      d, key, hash,
      [key](PyObject* k) { return PyString_CheckExact(k) ? int(_PyString_Eq(k, key)) : -1; },
      value);
}
inline bool dict_get_plain(PyObject* d, PyObject* key, PyObject*& value) {
  if (!PyDict_Check(d) || !PyString_CheckExact(key)) return false;
  long hash = reinterpret_cast<PyStringObject*>(key)->ob_shash;
  if (__builtin_expect(hash == -1, 0)) hash = PyObject_Hash(key);  // a text's runs no code
  return dict_probe(d, key, hash, value);
}
inline bool dict_get_plain_int(PyObject* d, PyObject* key, PyObject*& value) {
  if (!PyDict_Check(d) || !PyInt_CheckExact(key)) return false;
  const long n = PyInt_AS_LONG(key);
  return detail::probe(
      d, key, n == -1 ? -2 : n,  // an int's hash
      [n](PyObject* k) { return PyInt_CheckExact(k) ? int(PyInt_AS_LONG(k) == n) : -1; }, value);
}
PyObject* dict_find(PyObject* d, PyObject* key);
inline PyObject* dict_get(PyObject* d, PyObject* key) {
  if (PyString_CheckExact(key)) {
    long hash = reinterpret_cast<PyStringObject*>(key)->ob_shash;
    PyObject* value;
    if (hash != -1 && dict_probe(d, key, hash, value)) return value;
  }
  return dict_find(d, key);
}
inline void dict_set(PyObject* d, PyObject* key, PyObject* v) { check(PyDict_SetItem(d, key, v)); }
inline void dict_set(PyObject* d, const char* key, PyObject* v) {
  check(PyDict_SetItemString(d, key, v));
}
inline void append(PyObject* l, PyObject* v) { check(PyList_Append(l, v)); }
// l.extend(seq) for a list `l`.
inline void extend(PyObject* l, PyObject* seq) {
  Ref::steal(_PyList_Extend(reinterpret_cast<PyListObject*>(l), seq));
}
// The item slots of a list (borrowed; valid while the list is unchanged).
inline PyObject** list_items(PyObject* l) { return reinterpret_cast<PyListObject*>(l)->ob_item; }
// The class and the attribute dict of a classic instance (borrowed).
inline PyObject* instance_class(PyObject* inst) {
  return reinterpret_cast<PyObject*>(reinterpret_cast<PyInstanceObject*>(inst)->in_class);
}
inline PyObject* instance_dict(PyObject* inst) {
  return reinterpret_cast<PyInstanceObject*>(inst)->in_dict;
}
// Whether a classic class has a __setattr__ of its own or inherited.
inline bool class_sets_attrs(PyObject* cls) {
  return reinterpret_cast<PyClassObject*>(cls)->cl_setattr != nullptr;
}
// Where the dict `d` keeps its entries in its own small table (a dict of a
// few entries), calls each(key, value) for them in table order until `each`
// answers false, and answers true; answers false, calling nothing, for a
// larger dict.  Nothing of the interpreter's runs.
template <class F>
__attribute__((always_inline)) inline bool each_small_entry(PyObject* d, const F& each) {
  auto* mp = reinterpret_cast<PyDictObject*>(d);
  if (mp->ma_table != mp->ma_smalltable) return false;
  for (const PyDictEntry& e : mp->ma_smalltable)
    if (e.me_value && !each(e.me_key, e.me_value)) break;
  return true;
}
inline Py_ssize_t length(PyObject* o) {
  Py_ssize_t n = PyObject_Length(o);
  if (n < 0) throw Raised();
  return n;
}
inline bool truth(PyObject* o) {
  int r = PyObject_IsTrue(o);
  if (r < 0) throw Raised();
  return r;
}
inline bool contains(PyObject* seq, PyObject* v) {
  int r = PySequence_Contains(seq, v);
  if (r < 0) throw Raised();
  return r;
}
inline bool equal(PyObject* a, PyObject* b) {
  int r = PyObject_RichCompareBool(a, b, Py_EQ);
  if (r < 0) throw Raised();
  return r;
}
long as_long(PyObject* o);
// a + k, a // k, and a compared with k (op: Py_LT, Py_GE, ...), as the
// interpreter computes them: directly for an int where the answer fits in
// one, else with the interpreter's numbers (long integers, floats, an
// object's own operators), so no answer ever wraps around.
Ref add(PyObject* a, long k);
Ref floor_div(PyObject* a, long k);
bool compare(PyObject* a, long k, int op);
// The bytes of a str object; TypeError for anything else.
inline std::string_view as_view(PyObject* o) {
  if (!PyString_Check(o))
    raisef(PyExc_TypeError, "expected string, %.200s found", Py_TYPE(o)->tp_name);
  return std::string_view(PyString_AS_STRING(o), size_t(PyString_GET_SIZE(o)));
}
// Whether two str objects hold the same text: the same object, else bytes
// alike (two interned texts are alike only when they are one object).
inline bool same_text(PyObject* a, PyObject* b) {
  if (a == b) return true;
  if (PyString_CHECK_INTERNED(a) && PyString_CHECK_INTERNED(b)) return false;
  return PyString_GET_SIZE(a) == PyString_GET_SIZE(b) &&
         std::memcmp(PyString_AS_STRING(a), PyString_AS_STRING(b), size_t(PyString_GET_SIZE(a))) ==
             0;
}
inline std::string as_string(PyObject* o) { return std::string(as_view(o)); }
// o[start:]
inline Ref slice_from(PyObject* o, Py_ssize_t start) {
  return Ref::steal(PySequence_GetSlice(o, start, PY_SSIZE_T_MAX));
}
// fmt % args, the interpreter's formatting of a text (args a tuple, or one
// value that is not a tuple).
inline Ref percent(PyObject* fmt, PyObject* args) {
  return Ref::steal(PyString_Format(fmt, args));
}
inline Ref percent(PyObject* fmt, std::initializer_list<PyObject*> args) {
  return percent(fmt, tuple(args));
}
// fmt % args for a format made of text and the conversions "%s", "%d",
// "%u" and "%%" alone: written here when each "%s" gets a str and each "%d"
// or "%u" an int (short texts), else by the interpreter's formatting.
Ref percent_plain(PyObject* fmt, std::initializer_list<PyObject*> args);
inline Ref to_str(PyObject* o) { return Ref::steal(PyObject_Str(o)); }
inline Ref repr(PyObject* o) { return Ref::steal(PyObject_Repr(o)); }
inline Ref iter(PyObject* o) { return Ref::steal(PyObject_GetIter(o)); }
// Next item of an iterator, empty at the end; a turn of the loop over it
// (tick()) first.
inline Ref next(PyObject* it) {
  tick();
  PyObject* v = PyIter_Next(it);
  if (!v && PyErr_Occurred()) throw Raised();
  return v ? Ref::steal(v) : Ref();
}
// `a, b, ... = seq`: the n items of seq into out, with the interpreter's
// errors when it holds fewer or more (or is not iterable).
void unpack(PyObject* seq, int n, Ref* out);
// list(o), tuple(o) and set(o) of an iterable that a caller hands in, its
// items taken through next(), so that Ctrl-C ends the copy of an endless
// one.  What cannot be endless is copied at once by the interpreter, as
// list(), tuple() and set() copy it: an exact list, tuple or dict (its
// keys), and for set_of any set.  list_of and tuple_of take the length
// hint of anything else (its __len__ or __length_hint__) as list() takes
// it: its errors pass, a hint of -1 that sets none is list()'s SystemError,
// a count no list has room for its MemoryError, and any other negative one
// is ignored; the value itself is not used.  tuple_of's copy is one that
// no Python code can change: a loop whose turns run code may walk it by
// index and use its items, which it holds, borrowed.
Ref list_of(PyObject* o);
Ref tuple_of(PyObject* o);
Ref set_of(PyObject* o);
// Sorts `v` stably by less(a, b) (a merge sort): equal items keep their
// order, nothing outside `v` is read whatever `less` answers (a Python "<"
// need not be an order, where std::sort's may read past the ends), and what
// `less` throws passes on.
template <class T, class Less>
void stable_sort(std::vector<T>& v, const Less& less) {
  const size_t n = v.size();
  std::vector<T> out(n);
  for (size_t width = 1; width < n; width *= 2) {
    for (size_t lo = 0; lo < n; lo += 2 * width) {
      size_t mid = lo + width < n ? lo + width : n, hi = lo + 2 * width < n ? lo + 2 * width : n;
      size_t i = lo, j = mid, k = lo;
      while (i < mid && j < hi) out[k++] = less(v[j], v[i]) ? v[j++] : v[i++];
      while (i < mid) out[k++] = v[i++];
      while (j < hi) out[k++] = v[j++];
    }
    v.swap(out);
  }
}

// ---- building a long text ---------------------------------------------------
// A text written piece by piece straight into a str object, which finish()
// cuts to size and hands over: no copy at the end, and room reserved but
// never written costs no memory.  Once the str is made, pieces that fit the
// room reserved call nothing of the interpreter's (so may be written within
// an Unlocked scope).
class StrBuilder {
 public:
  explicit StrBuilder(size_t reserve = 256) : reserve_(reserve) {}
  ~StrBuilder() { Py_XDECREF(str_); }
  StrBuilder(const StrBuilder&) = delete;
  StrBuilder& operator=(const StrBuilder&) = delete;

  size_t size() const { return size_; }
  std::string_view view() const { return {data(), size_}; }
  // The pieces (texts, or literals whose size is known here), one after
  // the other, with room made for all at once.
  template <class... P>
  void append(const P&... pieces) {
    char* d = room((piece_size(pieces) + ...));
    ((d = put(d, pieces)), ...);
  }
  StrBuilder& operator+=(std::string_view s) {
    put(room(s.size()), s);
    return *this;
  }
  // Appends `n` bytes of this very text, from `at`.
  void append_own(size_t at, size_t n) {
    char* d = room(n);
    std::memcpy(d, data() + at, n);
  }
  // Drops the text from `n` on (n <= size()).
  void cut(size_t n) { size_ = n; }
  // The str of the text written; the builder starts afresh.
  Ref finish();

 private:
  char* data() const { return str_ ? PyString_AS_STRING(str_) : nullptr; }
  // Room for `n` bytes at the end, for the caller to write.
  char* room(size_t n) {
    if (size_ + n > cap_ || !str_) grow(n);
    size_ += n;
    return data() + size_ - n;
  }
  static size_t piece_size(std::string_view s) { return s.size(); }
  template <size_t N>
  static constexpr size_t piece_size(const char (&)[N]) {
    return N - 1;
  }
  static char* put(char* d, std::string_view s) {
    std::memcpy(d, s.data(), s.size());
    return d + s.size();
  }
  template <size_t N>
  static char* put(char* d, const char (&s)[N]) {
    std::memcpy(d, s, N - 1);
    return d + N - 1;
  }
  void grow(size_t more);
  size_t reserve_;
  PyObject* str_ = nullptr;
  size_t size_ = 0, cap_ = 0;
};

// ---- calls -------------------------------------------------------------
template <class... A>
Ref call(PyObject* f, const A&... a) {
  return Ref::steal(PyObject_CallFunctionObjArgs(f, static_cast<PyObject*>(a)..., nullptr));
}
template <class... A>
Ref callm(PyObject* o, PyObject* name, const A&... a) {
  return Ref::steal(PyObject_CallMethodObjArgs(o, name, static_cast<PyObject*>(a)..., nullptr));
}
inline Ref call_kw(PyObject* f, PyObject* args, PyObject* kw) {
  return Ref::steal(PyObject_Call(f, args, kw));
}

// seq.append(v) and s.add(v): a list or a set itself directly, anything
// else (a subclass, a frozenset) through its own operation.
inline void append_to(PyObject* seq, PyObject* v) {
  if (PyList_CheckExact(seq))
    append(seq, v);
  else
    callm(seq, ID("append"), v);
}
inline void add_to(PyObject* s, PyObject* v) {
  if (Py_TYPE(s) == &PySet_Type)
    check(PySet_Add(s, v));
  else
    callm(s, ID("add"), v);
}

// Runs `body()` and then `file.close()`, as a with-block over the file does:
// the file is closed whether the body fails or not, and an error of the close
// takes the place of the body's.
template <class F>
void closing(PyObject* file, const F& body) {
  try {
    body();
  } catch (const Raised&) {
    HeldError held;
    callm(file, ID("close"));
    throw;
  }
  callm(file, ID("close"));
}

// ---- modules -----------------------------------------------------------
// `import name` through __builtin__.__import__ as the import statement does
// (globals of the importing module, empty locals and from-list, level -1);
// answers the top-level package.
Ref import(const char* name, PyObject* globals);
// `from module import name`, as the statement runs it: ImportError "cannot
// import name ..." when the module has no such attribute.
Ref import_from(const char* module, const char* name, PyObject* globals);
// A builtin by name; NameError "name '...' is not defined" when absent,
// and what the lookup itself raises (no memory) passed on.
Ref builtin(const char* name);
Ref builtin(PyObject* name);  // the same by a text
// Whether `f` is the built-in `module`.`name` (c_function_named(f,
// "__builtin__", "sorted")): a function written in C under that name, made
// by the module of that name and bound to no object, as the interpreter's
// own modules make theirs.  Another module's function of the name, or a
// built-in method of an object, is not.
inline bool c_function_named(PyObject* f, const char* module, const char* name) {
  if (!f || !PyCFunction_Check(f) || PyCFunction_GET_SELF(f)) return false;
  const auto* c = reinterpret_cast<PyCFunctionObject*>(f);
  return std::strcmp(c->m_ml->ml_name, name) == 0 && c->m_module && PyString_Check(c->m_module) &&
         std::string_view(PyString_AS_STRING(c->m_module),
                          size_t(PyString_GET_SIZE(c->m_module))) == module;
}

// ---- counts --------------------------------------------------------------------
// The number of items of range(n), n taken as range takes its end: int(n)
// for an integer or an object that converts itself, 0 for a negative one;
// TypeError for anything else, OverflowError for a count beyond the
// interpreter's sizes, and MemoryError for a count whose list range could
// not make.  No list is made.
long range_count(PyObject* n);

}  // namespace py
