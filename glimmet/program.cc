// The program text of a controller, its assembly by the outside LED
// assembler, the LED map and the data-memory commands of ID mode.
#include "glimmet.h"
#include "texts.h"

namespace glimmet {
namespace {

// ---- program text ---------------------------------------------------------------

// d.update(m): a dict merged directly, anything else through update().
void update(PyObject* d, PyObject* m) {
  if (PyDict_Check(m))
    py::check(PyDict_Update(d, m));
  else
    py::callm(d, ID("update"), m);
}

// "".join(items)
py::Ref joined(PyObject* items) { return py::Ref::steal(_PyString_Join(ID(""), items)); }

py::Ref defines(py::Args a) {
  PyObject* self = a[0];
  py::Ref period = py::attr(self, ID("blink_period"));
  py::Ref ticks = py::Ref::steal(PyNumber_Divide(period, py::floating(30.0)));
  py::Ref whole = py::Ref::steal(PyNumber_Int(ticks));
  if (!py::equal(ticks, whole))
    py::raise(PyExc_RuntimeError, "non-integer blink cycles, correct period to multiple of 30");
  py::Ref values = py::dict();
  py::dict_set(values, "ticks_per_blink", whole);
  py::dict_set(values, "num_leds", py::attr(self, ID("num_leds")));
  return py::percent(ID(text::kDefines), values);
}

py::Ref program(py::Args a) {
  PyObject* self = a[0];
  py::Ref parts = py::dict();
  update(parts, py::attr(self, ID("static_code")));
  bool id_mode = py::truth(py::attr(self, ID("has_phys_id")));
  update(parts,
         py::attr(self, id_mode ? ID("static_id_func_code") : ID("static_no_id_func_code")));
  // The routines in the order they were added, whatever the set's order.
  py::dict_set(parts, "set_functions",
               joined(routines_in_order(py::attr(self, ID("set_functions")))));
  py::dict_set(parts, "set_calls", joined(py::attr(self, ID("set_calls"))));
  py::dict_set(parts, "defines", py::attr(self, ID("defines")));
  py::dict_set(parts, "led_functions", joined(py::attr(self, ID("led_functions"))));
  // template % parts, whatever kind of text (or object) the template is
  return py::Ref::steal(PyNumber_Remainder(py::attr(self, ID("_template")), parts));
}

// ---- assembling ------------------------------------------------------------------

void close_file(PyObject* file) {
  if (file) py::callm(file, ID("close"));
}

py::Ref compile(py::Args a) {
  PyObject *self = a[0], *source = a[1];
  py::Ref dir = py::callm(global("tempfile"), ID("mkdtemp"));
  py::Ref devnull, hex_file, text;
  auto clean_up = [&] {
    py::callm(global("shutil"), ID("rmtree"), dir);
    close_file(devnull);
    close_file(hex_file);
  };
  try {
    py::Ref join = py::attr(py::attr(global("os"), ID("path")), ID("join"));
    py::Ref open = global("open");
    py::Ref asm_path = py::call(join, dir, ID("code.asm"));
    py::Ref asm_file = py::call(open, asm_path, ID("w"));
    py::callm(asm_file, ID("write"), source);
    close_file(asm_file);
    // The tool's three streams: it reads end of file, and what it writes goes.
    devnull = py::call(open, ID("/dev/null"), ID("r+"));
    py::Ref stem = py::Ref::steal(PySequence_GetSlice(asm_path, 0, -4));
    py::Ref argv = py::list({py::attr(self, ID("_tarquel")).get(), stem.get()});
    py::command_call(global, argv, {{"stdin", devnull}, {"stdout", devnull}, {"stderr", devnull}});
    hex_file = py::call(open, py::call(join, dir, ID("code.hex")), ID("r"));
    text = py::callm(hex_file, ID("read"));
  } catch (const py::Raised&) {
    // The directory goes in any case; the first error is the one reported,
    // put back as `first` ends.
    py::HeldError first;
    try {
      clean_up();
    } catch (const py::Raised&) {
      PyErr_Clear();
    }
    throw;
  }
  clean_up();
  return text;
}

py::Ref hex(py::Args a) {
  PyObject* self = a[0];
  py::Ref source = py::attr(self, ID("asm"));
  return py::callm(self, ID("_compile"), source);
}

// ---- LED map and data memory ---------------------------------------------------------

// The in-RAM constant records in their output order: of a plain dict the
// three blinkers wag, wiggle, blink first, whatever the interpreter's hash
// order, then any other record in the dict's order; of another mapping,
// its own order of values().
std::vector<py::Ref> constant_records(PyObject* constants) {
  std::vector<py::Ref> records;
  if (!PyDict_CheckExact(constants)) {
    py::Ref it = py::iter(py::callm(constants, ID("values")));
    while (py::Ref r = py::next(it)) records.push_back(r);
    return records;
  }
  PyObject* const names[] = {ID("wag"), ID("wiggle"), ID("blink")};
  for (PyObject* name : names)
    if (PyObject* r = py::dict_get(constants, name)) records.push_back(py::Ref::borrow(r));
  PyObject *key, *value;
  for (Py_ssize_t pos = 0; PyDict_Next(constants, &pos, &key, &value);) {
    bool named = false;
    for (PyObject* name : names)
      named = named || (PyString_CheckExact(key) && _PyString_Eq(key, name));
    if (!named) records.push_back(py::Ref::borrow(value));
  }
  return records;
}

py::Ref memory_init_commands(py::Args a) {
  PyObject *self = a[0], *controller_idx = a[1];
  py::Ref commands = py::list();
  if (!py::truth(py::attr(self, ID("has_phys_id")))) return commands;

  py::Ref fmt = py::attr(ID("setreg {name}[0x{addr:x}] {val}"), ID("format"));
  py::Ref no_args = py::tuple(0), params = py::dict();
  py::Ref by_idx = py::dict();
  py::dict_set(by_idx, "idx", controller_idx);
  py::dict_set(
      params, "name",
      py::call_kw(py::attr(py::attr(self, ID("data_array_name")), ID("format")), no_args, by_idx));
  py::Ref addr = py::attr(self, ID("data_array_base_addr"));
  py::dict_set(params, "addr", addr);
  py::dict_set(params, "val", Py_None);
  // A command for the value the parameters hold; none for a value of None,
  // whose entry stays zero.
  auto command = [&] {
    if (py::dict_get(params, ID("val")) != Py_None)
      py::append(commands, py::call_kw(fmt, no_args, params));
  };

  // (A copy that the commands' code cannot change.)
  py::Ref map = py::tuple_of(py::Operation(self, ID("led_map"), led_map)(controller_idx));
  const Py_ssize_t n = PyTuple_GET_SIZE(map.get());
  // The port map ends where the ID flags begin.  (An address that is no
  // whole number is left to the formatting of the commands, which refuses
  // it.)
  if (n && (PyInt_Check(addr.get()) || PyLong_Check(addr.get()))) {
    py::Ref room = py::Ref::steal(PyNumber_Subtract(py::integer(0xe0), addr));
    py::Ref count = py::integer(long(n));
    if (py::truth(py::Ref::steal(PyObject_RichCompare(count, room, Py_GT))))
      py::raise(PyExc_RuntimeError,
                py::percent(ID("LED controller %s: port map of %s entries, room for %s"),
                            {controller_idx, count.get(), room.get()}));
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    tick();
    // A port without a call port: its address is taken all the same.
    py::dict_set(params, "val", PyTuple_GET_ITEM(map.get(), i));
    command();
    addr = py::add(addr, 1);
    py::dict_set(params, "addr", addr);
  }
  for (const py::Ref& record : constant_records(py::attr(self, ID("in_ram_constants")))) {
    tick();
    update(params, record);
    command();
  }
  return commands;
}

}  // namespace

py::Ref led_map(py::Args a) {
  py::Ref runs = py::item(py::attr(a[0], ID("call_list")), a[1]);
  py::Ref map = py::list();
  py::Ref it = py::iter(runs);
  py::Ref pair[2], call[3];
  while (py::Ref run = py::next(it)) {
    py::unpack(run, 2, pair);
    if (pair[0].get() == Py_None || is_pad(pair[0])) continue;
    py::unpack(pair[0], 3, call);
    py::append(map, call[2]);
  }
  return map;
}

const py::ImplTable program_impls = {
    {"BCMLEDController.defines", defines},
    {"BCMLEDController.asm", program},
    {"BCMLEDController.hex", hex},
    {"BCMLEDController._compile", compile},
    {"BCMLEDController.led_map", led_map},
    {"BCMLEDController.led_memory_init_commands", memory_init_commands},
};

}  // namespace glimmet
