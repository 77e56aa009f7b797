// The LED claims of the ports, the run list of a controller, the choice
// between looped and unrolled pads, and the call lines and routines each run
// adds to the program.
#include "glimmet.h"
#include "texts.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <iterator>
#include <unordered_map>

namespace glimmet {

bool is_pad(PyObject* call, int* bit) {
  int b;
  if (PyInt_CheckExact(call)) {
    long v = PyInt_AS_LONG(call);
    if (v != 0 && v != 1) return false;
    b = int(v);
  } else if (call == Py_None || PyTuple_CheckExact(call)) {
    return false;  // neither equals a number
  } else if (py::equal(call, py::integer(0))) {
    b = 0;
  } else if (py::equal(call, py::integer(1))) {
    b = 1;
  } else {
    return false;
  }
  if (bit) *bit = b;
  return true;
}

namespace {

// ---- small pieces ----------------------------------------------------------

PyObject* zero() {
  static PyObject* const z = PyInt_FromLong(0);
  return z;
}

using py::append_to;

// n == 0
bool is_zero(PyObject* n) {
  return PyInt_CheckExact(n) ? PyInt_AS_LONG(n) == 0 : py::equal(n, zero());
}

// head + "%u" % n: a plain int written here, anything else by the
// interpreter.
template <size_t N>
py::Ref line_with_number(const char (&head)[N], PyObject* fmt, PyObject* n) {
  if (!PyInt_CheckExact(n)) return py::percent(fmt, n);
  char buf[N + 20];
  std::memcpy(buf, head, N - 1);
  char* end = py::put_decimal(buf + N - 1, PyInt_AS_LONG(n));
  return py::str(std::string_view(buf, size_t(end - buf)));
}

constexpr char kCallHead[] = "\n        call    ";
py::Ref count_load(PyObject* n) {
  return line_with_number("\n        ld      a, ", ID("\n        ld      a, %u"), n);
}
// (The lines of the first chain ports made once, as each program has them.)
py::Ref port_load(PyObject* n) {
  static PyObject* made[256] = {};
  long v = PyInt_CheckExact(n) ? PyInt_AS_LONG(n) : -1;
  bool keep = v >= 0 && v < long(std::size(made));
  if (keep && made[v]) return py::Ref::borrow(made[v]);
  py::Ref line = line_with_number("\n        ld      a,", ID("\n        ld      a,%u"), n);
  if (keep) made[v] = py::Ref(line).release();
  return line;
}

// The pad routines, at 2 * loop + bit.
constexpr const char* kPadRoutines[] = {"pad_zero", "pad_one", "pad_n_zero", "pad_n_one"};

// The call line of a pad routine, made once per routine.
PyObject* pad_call_line(bool loop, int bit) {
  static PyObject* lines[4] = {};
  PyObject*& line = lines[2 * loop + bit];
  if (!line) line = py::str(std::string(kCallHead) + kPadRoutines[2 * loop + bit]).release();
  return line;
}

// ---- stable orders -----------------------------------------------------------

// The positions of `keys` in ascending order of the keys by the
// interpreter's "<", equal keys keeping their order (as sorted() sorts).
std::vector<Py_ssize_t> sorted_order(const std::vector<py::Ref>& keys) {
  std::vector<Py_ssize_t> order(keys.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = Py_ssize_t(i);
  auto all = [&](auto check) {
    return std::all_of(keys.begin(), keys.end(), [&](const py::Ref& k) { return check(k.get()); });
  };
  if (all([](PyObject* k) { return PyInt_CheckExact(k); })) {
    py::stable_sort(order, [&](Py_ssize_t a, Py_ssize_t b) {
      return PyInt_AS_LONG(keys[a].get()) < PyInt_AS_LONG(keys[b].get());
    });
  } else if (all([](PyObject* k) { return PyString_CheckExact(k); })) {
    py::stable_sort(order, [&](Py_ssize_t a, Py_ssize_t b) {
      return py::as_view(keys[a]) < py::as_view(keys[b]);  // as str compares
    });
  } else {
    py::stable_sort(order, [&](Py_ssize_t a, Py_ssize_t b) {
      int r = PyObject_RichCompareBool(keys[a], keys[b], Py_LT);
      if (r < 0) throw py::Raised();
      return r > 0;
    });
  }
  return order;
}

// ---- the call table ----------------------------------------------------------

// The slot of the chain an answer's key names, or -1 for none of 0..n-1.
Py_ssize_t slot_of(PyObject* key, Py_ssize_t n) {
  long v;
  if (PyInt_Check(key)) {
    v = PyInt_AS_LONG(key);
  } else if (PyLong_Check(key)) {
    int overflow = 0;
    v = PyLong_AsLongAndOverflow(key, &overflow);
    if (overflow) return -1;
    if (v == -1 && PyErr_Occurred()) throw py::Raised();
  } else if (PyFloat_Check(key)) {
    double d = PyFloat_AS_DOUBLE(key);
    if (!(d >= 0 && d < double(n)) || d != std::floor(d)) return -1;
    v = long(d);
  } else {
    return -1;
  }
  return v >= 0 && v < n ? Py_ssize_t(v) : -1;
}

// Writes one port's answer into the call table; an index outside the chain
// is refused before anything of the answer is written.
void claim(PyObject* table, PyObject* answer, PyObject* label, PyObject* num_leds) {
  py::Ref entries;
  if (PyDict_Check(answer)) {
    entries = py::Ref::borrow(answer);
  } else {
    entries = py::dict();
    py::callm(entries, ID("update"), answer);
  }
  Py_ssize_t n = PyList_GET_SIZE(table);
  PyObject *key, *value;
  for (Py_ssize_t pos = 0; tick(), PyDict_Next(entries, &pos, &key, &value);)
    if (slot_of(key, n) < 0) {
      py::Ref k = py::Ref::borrow(key);
      py::raise(PyExc_RuntimeError,
                py::percent(ID("port %s: LED index %r outside the %s LED slots of the chain"),
                            {label, k.get(), num_leds}));
    }
  // (A call dropped from the table may run code of its own, but the
  // dict's walk survives whatever it does; a table that code shortened
  // refuses a slot it no longer has, with IndexError.)
  for (Py_ssize_t pos = 0; tick(), PyDict_Next(entries, &pos, &key, &value);) {
    Py_ssize_t slot = slot_of(key, n);
    if (slot >= 0) py::check(PyList_SetItem(table, slot, py::Ref::borrow(value).release()));
  }
}

py::Ref eval_looping(py::Args a);
py::Ref led_pad_call(py::Args a);
py::Ref led_port_call(py::Args a);
py::Ref chain_port(py::Args a);
py::Ref chain_port_unchanged(py::Args a);

// ---- loop or unroll --------------------------------------------------------------

// size[bit] += v, the item read and written as the interpreter reads and
// writes it (code run since may have changed the list).
void add_at(PyObject* size, int bit, PyObject* v) {
  py::Ref sum = py::Ref::steal(PyNumber_Add(py::item(size, Py_ssize_t(bit)), v));
  py::check(PyList_SetItem(size, bit, sum.release()));
}

// size[bit] += count * unit
void grow(PyObject* size, int bit, PyObject* count, PyObject* unit) {
  add_at(size, bit, py::Ref::steal(PyNumber_Multiply(count, unit)));
}

py::Ref two_zeros() { return py::list({zero(), zero()}); }

// The pad runs of a run list: (call, count) pairs whose call is a pad.
// (A list is walked by index, as its iterator walks it, its size read after
// each turn's tick(), and a pair that is a tuple read directly.)
template <class F>
void each_pad_run(PyObject* calls, const F& f) {
  py::Ref pair[2];
  auto take = [&](const py::Ref& item) {
    if (PyTuple_CheckExact(item.get()) && PyTuple_GET_SIZE(item.get()) == 2) {
      pair[0] = py::Ref::borrow(PyTuple_GET_ITEM(item.get(), 0));
      pair[1] = py::Ref::borrow(PyTuple_GET_ITEM(item.get(), 1));
    } else {
      py::unpack(item, 2, pair);
    }
    int bit;
    if (is_pad(pair[0], &bit)) f(bit, pair[1].get());
  };
  if (PyList_CheckExact(calls)) {
    for (Py_ssize_t i = 0; tick(), i < PyList_GET_SIZE(calls); ++i)
      take(py::Ref::borrow(PyList_GET_ITEM(calls, i)));
    return;
  }
  py::Ref it = py::iter(calls);
  while (py::Ref item = py::next(it)) take(item);
}

py::Ref calc_unrolled_instructions(py::Args a) {
  py::Ref size = two_zeros();
  py::Ref unit = py::attr(a[0], ID("pad_call_size"));
  each_pad_run(a[1], [&](int bit, PyObject* count) { grow(size, bit, count, unit); });
  return size;
}

py::Ref calc_looped_instructions(py::Args a) {
  PyObject* self = a[0];
  py::Ref size = two_zeros();
  py::Ref loop_code[2] = {py::Ref::borrow(zero()), py::Ref::borrow(zero())};
  py::Ref cost = py::attr(self, ID("loop_insert_cost"));
  py::Ref call_size = py::attr(self, ID("pad_call_size"));
  py::Ref n_call_size = py::attr(self, ID("pad_n_call_size"));
  py::Ref n_code_size = py::attr(self, ID("pad_n_code_size"));
  each_pad_run(a[1], [&](int bit, PyObject* count) {
    int small = PyObject_RichCompareBool(count, cost, Py_LE);
    if (small < 0) throw py::Raised();
    if (small) {
      grow(size, bit, count, call_size);
    } else {
      add_at(size, bit, n_call_size);
      loop_code[bit] = n_code_size;
    }
  });
  for (int bit = 0; bit < 2; ++bit) add_at(size, bit, loop_code[bit]);
  return size;
}

py::Ref eval_looping(py::Args a) {
  PyObject* self = a[0];
  py::Ref looped = py::Operation(self, ID("_calc_looped_instructions"),
                                 calc_looped_instructions)(a[1]);
  py::Ref unrolled = py::Operation(self, ID("_calc_unrolled_instructions"),
                                   calc_unrolled_instructions)(a[1]);
  py::Ref decision = py::list({Py_False, Py_False});
  for (int bit = 0; bit < 2; ++bit) {
    py::Ref b = py::integer(bit);
    py::Ref lt = py::Ref::steal(
        PyObject_RichCompare(py::item(looped, b), py::item(unrolled, b), Py_LT));
    py::setitem(decision, b, lt);
  }
  return decision;
}

// ---- call emission ------------------------------------------------------------------

py::Ref led_pad_call(py::Args a) {
  PyObject *self = a[0], *value = a[1], *length = a[2];
  if (is_zero(length)) return {};
  int bit;
  if (!is_pad(value, &bit))
    py::raise(PyExc_RuntimeError, py::percent(ID("bad pad value: %s"), {value}));
  bool loop = py::truth(a[3]);
  py::Ref calls = py::plain_attr(self, ID("set_calls"));
  PyObject* line = pad_call_line(loop, bit);
  if (loop) {
    append_to(calls, count_load(length));
    append_to(calls, line);
  } else {
    for (Py_ssize_t i = 0, n = range_count(length); i < n; ++i) {
      tick();
      append_to(calls, line);
    }
  }
  static py::Names<4> routines{kPadRoutines};
  add_routine(py::plain_attr(self, ID("set_functions")),
              py::plain_attr(self, routines[2 * loop + bit]));
  return {};
}

// The parts run together as one new text, made at its size.
py::Ref text_of(std::initializer_list<std::string_view> parts) {
  size_t n = 0;
  for (std::string_view p : parts) n += p.size();
  py::Ref text = py::Ref::steal(PyString_FromStringAndSize(nullptr, Py_ssize_t(n)));
  char* d = PyString_AS_STRING(text.get());
  for (std::string_view p : parts) d = std::copy(p.begin(), p.end(), d);
  return text;
}

// `code` with every "set_led:" made `name` and a colon (`code` itself
// where it has none).
py::Ref relabelled(PyObject* code, std::string_view name) {
  constexpr std::string_view entry = "set_led:";
  std::string_view from = py::as_view(code);
  size_t hits = 0;
  for (size_t at = from.find(entry); at != std::string_view::npos;
       at = from.find(entry, at + entry.size()))
    ++hits;
  if (!hits) return py::Ref::borrow(code);
  size_t n = from.size() + hits * (name.size() + 1) - hits * entry.size();
  py::Ref text = py::Ref::steal(PyString_FromStringAndSize(nullptr, Py_ssize_t(n)));
  char* d = PyString_AS_STRING(text.get());
  size_t done = 0;
  for (size_t at = from.find(entry); at != std::string_view::npos; at = from.find(entry, done)) {
    d = std::copy(from.begin() + done, from.begin() + at, d);
    d = std::copy(name.begin(), name.end(), d);
    *d++ = ':';
    done = at + entry.size();
  }
  std::copy(from.begin() + done, from.end(), d);
  return text;
}

// What a port call's routine name and code give: the routine's name, its
// text with the entry label renamed, and the line that calls it.
struct Routine {
  py::Ref name, text, line;
};

// "set_led_%s" % call_name, and call_code with every "set_led:" made the
// routine's label: written here for a str or int call name and a str code,
// else by the interpreter's formatting and the code's own replace().
Routine make_routine(PyObject* call_name, PyObject* code) {
  Routine r;
  char digits[24];
  if (PyString_CheckExact(call_name)) {
    r.name = text_of({"set_led_", py::as_view(call_name)});
  } else if (PyInt_CheckExact(call_name)) {
    char* end = py::put_decimal(digits, PyInt_AS_LONG(call_name));
    r.name = text_of({"set_led_", {digits, size_t(end - digits)}});
  } else {
    r.name = py::percent(ID("set_led_%s"), {call_name});
  }
  if (PyString_CheckExact(code) && PyString_CheckExact(r.name.get())) {
    r.text = relabelled(code, py::as_view(r.name));
  } else {
    r.text = py::callm(code, ID("replace"), ID("set_led:"), py::percent(ID("%s:"), r.name));
  }
  if (PyString_CheckExact(r.name.get()))
    r.line = text_of({kCallHead, py::as_view(r.name)});
  else
    r.line = py::percent(ID("\n        call    %s"), r.name);
  return r;
}

// The routines made so far, by the identity of their call name and code
// (both held, so that the identities stay theirs), shared by every
// configuration: ports, and configurations, that share a routine share its
// texts, and a text keeps its hash from one set to the next.  Only call
// names that are a str or an int with a str code are kept (texts that no
// code can change); the record is emptied when it holds kMax of them, so
// that what it holds stays bounded.  Made once and kept to the end, as the
// module may be unloaded before the interpreter goes.
class Routines {
 public:
  // (A copy: what the caller runs next may run code that asks for more.)
  Routine get(PyObject* call_name, PyObject* code) {
    bool plain = (PyString_CheckExact(call_name) || PyInt_CheckExact(call_name)) &&
                 PyString_CheckExact(code);
    if (!plain) return make_routine(call_name, code);
    auto it = known_.find({call_name, code});
    if (it != known_.end()) return it->second.routine;
    Entry e{{py::Ref::borrow(call_name), py::Ref::borrow(code)}, make_routine(call_name, code)};
    if (known_.size() >= kMax) {
      // (Texts and ints going run no code.)
      known_.clear();
    }
    return known_.emplace(Key{call_name, code}, std::move(e)).first->second.routine;
  }

  static Routines& shared() {
    static auto* all = new Routines();
    return *all;
  }

 private:
  static constexpr size_t kMax = 4096;
  struct Key {
    PyObject *name, *code;
    bool operator==(const Key& o) const { return name == o.name && code == o.code; }
  };
  struct KeyHash {
    size_t operator()(const Key& k) const {
      return std::hash<void*>()(k.name) * 31 + std::hash<void*>()(k.code);
    }
  };
  struct Entry {
    py::Ref keep[2];
    Routine routine;
  };
  std::unordered_map<Key, Entry, KeyHash> known_;
};

// The chain port as the object's class converts it (Tomahawk's keeps it).
struct ChainPort {
  explicit ChainPort(PyObject* self)
      : chain(self, ID("_chain_port"), chain_port),
        kept(self, ID("_chain_port"), chain_port_unchanged) {}
  py::Ref operator()(PyObject* port) {
    return !chain.own() && kept.own() ? py::Ref::borrow(port) : chain(port);
  }
  py::Operation chain, kept;
};

// _led_port_call as the class has it, its texts from the routines made so
// far.  (`chain` may serve more than one call while a Run for `self` is
// open, in which the object's operations are looked up once.)
void emit_port_call(PyObject* self, PyObject* call_obj, PyObject* length, ChainPort& chain) {
  if (is_zero(length)) return;
  py::Ref call[3];
  py::unpack(call_obj, 3, call);
  PyObject* port = call[2];
  Routines& routines = Routines::shared();
  for (Py_ssize_t i = 0, n = range_count(length); i < n; ++i) {
    tick();
    Routine r = routines.get(call[0], call[1]);
    add_routine(py::plain_attr(self, ID("set_functions")), r.text);
    if (port == Py_None) continue;
    py::Ref calls = py::plain_attr(self, ID("set_calls"));
    append_to(calls, port_load(chain(port)));
    append_to(calls, r.line);
  }
}

py::Ref led_port_call(py::Args a) {
  ChainPort chain(a[0]);
  emit_port_call(a[0], a[1], a[2], chain);
  return {};
}

// ---- configure, step by step ------------------------------------------------------

// The call table: every slot of the chain at the default pad (a list of the
// interpreter's, which answers a chain too long for memory with its
// MemoryError).
py::Ref call_table(PyObject* self, PyObject* num_leds) {
  Py_ssize_t n = range_count(num_leds);
  py::Ref pad = py::attr(self, ID("default_pad"));
  py::Ref table = py::Ref::steal(PyList_New(n));
  for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(table.get(), i, py::Ref(pad).release());
  return table;
}

// The configured ports, iterated once.
std::vector<py::Ref> port_list(PyObject* ports) {
  py::Ref seq = py::tuple_of(ports);
  std::vector<py::Ref> out(size_t(PyTuple_GET_SIZE(seq.get())));
  for (size_t i = 0; i < out.size(); ++i)
    out[i] = py::Ref::borrow(PyTuple_GET_ITEM(seq.get(), Py_ssize_t(i)));
  return out;
}

// The gang LED lists: per gang label, the LED index of each of its ports,
// in port order (the ports taken in the order of their labels).
py::Ref gang_led_lists(const std::vector<py::Ref>& ports) {
  std::vector<py::Ref> labels(ports.size());
  for (size_t i = 0; i < ports.size(); ++i) {
    tick();
    labels[i] = py::read_prop(ports[i], ID("gang_label"));
  }
  py::Ref gangs = py::dict();
  for (Py_ssize_t i : sorted_order(labels)) {
    tick();
    py::Ref label = py::read_prop(ports[size_t(i)], ID("gang_label"));
    py::Ref led = py::item(py::read_prop(ports[size_t(i)], ID("leds")), 1);
    PyObject* list = py::dict_get(gangs, label);
    if (list)
      py::append(list, led);
    else
      py::dict_set(gangs, label, py::list({led.get()}));
  }
  return gangs;
}

// The claims: each logical port, in hardware port order, numbered from 1
// and asked for its slots, its answer written into the call table.
void claim_slots(PyObject* table, const std::vector<py::Ref>& ports, PyObject* gangs,
                 PyObject* num_leds) {
  std::vector<py::Ref> numbers(ports.size());
  for (size_t i = 0; i < ports.size(); ++i) {
    tick();
    numbers[i] = py::call_op(ports[i], ID("hw_port_num"), zero());
  }
  long led_port = 1;
  for (Py_ssize_t i : sorted_order(numbers)) {
    tick();
    PyObject* port = ports[size_t(i)];
    Py_ssize_t subs = range_count(py::read_prop(port, ID("num_logical_ports")));
    for (Py_ssize_t sub = 0; sub < subs; ++sub, ++led_port) {
      tick();
      py::Ref label = py::read_prop(port, ID("gang_label"));
      py::Ref leds = py::item(gangs, label);
      py::Ref answer = py::call_op(port, ID("set_leds"), py::integer(led_port),
                                   py::integer(long(sub)), leds);
      claim(table, answer, label, num_leds);
    }
  }
}

// The run list: the calls of the table in slot order, equal neighbours
// merged into one (call, count) pair; held as the interpreter's list that
// is stored and as the pairs that are emitted.
struct RunList {
  py::Ref list;
  std::vector<std::pair<py::Ref, py::Ref>> runs;
};

// Whether two calls are unequal without asking the interpreter: two port
// calls (tuples) whose first items are texts that differ, as tuples compare
// them, item by item.
bool plainly_unequal(PyObject* a, PyObject* b) {
  if (!PyTuple_CheckExact(a) || !PyTuple_CheckExact(b) || !PyTuple_GET_SIZE(a) ||
      !PyTuple_GET_SIZE(b))
    return false;
  PyObject *x = PyTuple_GET_ITEM(a, 0), *y = PyTuple_GET_ITEM(b, 0);
  return x != y && PyString_CheckExact(x) && PyString_CheckExact(y) && !_PyString_Eq(x, y);
}

// (The table's size is read at every turn, after its tick(): the
// comparisons' code may change the table.)
RunList merge_runs(PyObject* table) {
  RunList out{py::list(), {}};
  for (Py_ssize_t i = 0; tick(), i < PyList_GET_SIZE(table);) {
    py::Ref call = py::Ref::borrow(PyList_GET_ITEM(table, i));
    Py_ssize_t j = i + 1;
    for (; tick(), j < PyList_GET_SIZE(table); ++j) {
      py::Ref next = py::Ref::borrow(PyList_GET_ITEM(table, j));
      if (next.get() != call.get() && (plainly_unequal(next, call) || !py::equal(next, call)))
        break;
    }
    py::Ref count = py::integer(long(j - i));
    py::append(out.list, py::tuple({call.get(), count.get()}));
    out.runs.emplace_back(call, count);
    i = j;
  }
  return out;
}

// The emission: each run, in slot order, to the pad or the port emitter; a
// pad run loops where its pad value loops and it is longer than the cost of
// a loop.
void emit_runs(PyObject* self, const RunList& runs, PyObject* looping) {
  py::Operation pad_call(self, ID("_led_pad_call"), led_pad_call);
  py::Operation port_call(self, ID("_led_port_call"), led_port_call);
  ChainPort chain(self);
  for (auto& [call, count] : runs.runs) {
    tick();
    int bit;
    if (is_pad(call, &bit)) {
      py::Ref loop = py::item(looping, py::integer(bit));
      if (py::truth(loop))
        loop = py::Ref::steal(
            PyObject_RichCompare(count, py::attr(self, ID("loop_insert_cost")), Py_GT));
      pad_call(call, count, loop);
    } else if (call.get() == Py_None) {
      continue;  // the slot runs no code
    } else if (port_call.own()) {
      port_call.traced([&] { emit_port_call(self, call, count, chain); });
    } else {
      port_call(call, count);
    }
  }
}

py::Ref configure(py::Args a) {
  PyObject* self = a[0];
  py::Run run(self);
  py::Ref num_leds = py::attr(self, ID("num_leds"));
  py::Ref table = call_table(self, num_leds);
  std::vector<py::Ref> ports = port_list(a[2]);
  py::Ref gangs = gang_led_lists(ports);
  claim_slots(table, ports, gangs, num_leds);
  RunList runs = merge_runs(table);
  py::setitem(py::attr(self, ID("call_list")), a[1], runs.list);
  py::Ref looping = py::Operation(self, ID("_eval_looping"), eval_looping)(runs.list);
  emit_runs(self, runs, looping);
  return {};
}

// ---- chain ports -------------------------------------------------------------------

py::Ref chain_port(py::Args a) {
  py::Ref per_chain = py::attr(a[0], ID("ports_per_chain"));
  PyObject* port = a[1];
  if (PyInt_CheckExact(port) && PyInt_CheckExact(per_chain.get())) {
    long p = PyInt_AS_LONG(port), m = PyInt_AS_LONG(per_chain.get());
    if (m > 0 && p > LONG_MIN + 1) {
      long r = (p - 1) % m;
      return py::integer((r < 0 ? r + m : r) + 1);
    }
  }
  py::Ref one = py::integer(1);
  py::Ref less = py::Ref::steal(PyNumber_Subtract(port, one));
  py::Ref rem = py::Ref::steal(PyNumber_Remainder(less, per_chain));
  return py::Ref::steal(PyNumber_Add(rem, one));
}

py::Ref chain_port_unchanged(py::Args a) { return py::Ref::borrow(a[1]); }

py::Ref init(py::Args a) {
  PyObject* self = a[0];
  py::setattr(self, ID("set_functions"), py::Ref::steal(PySet_New(nullptr)));
  py::setattr(self, ID("set_calls"), py::list());
  static PyObject* const main_template = py::str(text::kTemplate).release();
  py::setattr(self, ID("_template"), main_template);
  return {};
}

}  // namespace

const py::ImplTable controller_impls = {
    {"BCMLEDController.__init__", init},
    {"BCMLEDController.configure", configure},
    {"BCMLEDController._eval_looping", eval_looping},
    {"BCMLEDController._calc_looped_instructions", calc_looped_instructions},
    {"BCMLEDController._calc_unrolled_instructions", calc_unrolled_instructions},
    {"BCMLEDController._led_pad_call", led_pad_call},
    {"BCMLEDController._led_port_call", led_port_call},
    {"BCMLEDController._chain_port", chain_port},
    {"TomahawkLEDController._chain_port", chain_port_unchanged},
};

}  // namespace glimmet
