// The interpreter glue, driven from C++ through an embedded interpreter.
#include "../common/func.h"

#include <dlfcn.h>
#include <frameobject.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <new>
#include <optional>
#include <stdexcept>

// The interpreter's object allocator, seen by the interpreter through this
// executable: a test may make the next allocations fail.
static int failing_allocations = 0;
extern "C" void* PyObject_Malloc(size_t n) {
  static auto* next = reinterpret_cast<void* (*)(size_t)>(dlsym(RTLD_NEXT, "PyObject_Malloc"));
  if (failing_allocations > 0) {
    --failing_allocations;
    return nullptr;
  }
  return next(n);
}

namespace {

class Glue : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { Py_Initialize(); }

  void SetUp() override {
    globals_ = py::dict();
    mod_ = {"gluetest", globals_.get(), nullptr};
  }
  void TearDown() override { PyErr_Clear(); }

  // The pending error's type and text, cleared.
  static std::string error() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    py::Ref t = py::Ref::steal(type), v = py::Ref::borrow(value);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    return std::string(reinterpret_cast<PyTypeObject*>(t.get())->tp_name) + ": " +
           py::as_string(py::to_str(v));
  }

  py::Ref run(const char* code) {
    PyObject* r = PyRun_String(code, Py_eval_input, globals_, globals_);
    return r ? py::Ref::steal(r) : py::Ref();
  }

  py::Ref globals_;
  py::ModuleInfo mod_{};
};

py::Ref echo(py::Args a) { return py::tuple({a[0], a[1], a[2]}); }
py::Ref nothing(py::Args) { return {}; }
py::Ref out_of_memory(py::Args) { throw std::bad_alloc(); }
py::Ref logic_error(py::Args) { throw std::logic_error("broken"); }
py::Ref key_error(py::Args a) { return py::item(py::dict(), a[0]); }

TEST_F(Glue, RefOwnsOneReference) {
  py::Ref s = py::str("some text nobody else holds");
  Py_ssize_t before = s.get()->ob_refcnt;
  {
    py::Ref copy = s;
    EXPECT_EQ(s.get()->ob_refcnt, before + 1);
    py::Ref moved = std::move(copy);
    EXPECT_FALSE(copy);
    EXPECT_EQ(s.get()->ob_refcnt, before + 1);
  }
  EXPECT_EQ(s.get()->ob_refcnt, before);
  EXPECT_THROW(py::Ref::steal(nullptr), py::Raised);
}

TEST_F(Glue, ArgumentsByPositionKeywordAndDefault) {
  py::dict_set(globals_, "f", py::make_function(mod_, "f", "a, b=7, c=None", echo));
  EXPECT_EQ(py::as_string(py::repr(run("f(1)"))), "(1, 7, None)");
  EXPECT_EQ(py::as_string(py::repr(run("f(1, c=3)"))), "(1, 7, 3)");
  EXPECT_EQ(py::as_string(py::repr(run("f(c=3, a=2, b=1)"))), "(2, 1, 3)");
  EXPECT_EQ(py::as_string(py::repr(run("f.func_defaults"))), "(7, None)");
  EXPECT_EQ(py::as_string(py::repr(run("f.func_code.co_varnames"))), "('a', 'b', 'c')");
  EXPECT_FALSE(run("f()"));
  EXPECT_EQ(error(), "exceptions.TypeError: f() takes at least 1 argument (0 given)");
  EXPECT_FALSE(run("f(1, 2, 3, 4)"));
  EXPECT_EQ(error(), "exceptions.TypeError: f() takes at most 3 arguments (4 given)");
  EXPECT_FALSE(run("f(1, a=2)"));
  EXPECT_EQ(error(), "exceptions.TypeError: f() got multiple values for keyword argument 'a'");
  EXPECT_FALSE(run("f(1, d=2)"));
  EXPECT_EQ(error(), "exceptions.TypeError: f() got an unexpected keyword argument 'd'");
}

TEST_F(Glue, NoneForAnEmptyAnswer) {
  py::dict_set(globals_, "f", py::make_function(mod_, "C.f", "", nothing));
  EXPECT_EQ(run("f()").get(), Py_None);
  EXPECT_EQ(py::as_string(run("f.__qualname__")), "C.f");
  EXPECT_EQ(py::as_string(run("f.__name__")), "f");
  EXPECT_EQ(py::as_string(run("f.__module__")), "gluetest");
}

TEST_F(Glue, NoCppExceptionReachesTheInterpreter) {
  py::dict_set(globals_, "oom", py::make_function(mod_, "oom", "", out_of_memory));
  py::dict_set(globals_, "bug", py::make_function(mod_, "bug", "", logic_error));
  py::dict_set(globals_, "key", py::make_function(mod_, "key", "k", key_error));
  EXPECT_FALSE(run("oom()"));
  EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_MemoryError));
  PyErr_Clear();
  EXPECT_FALSE(run("bug()"));
  EXPECT_EQ(error(), "exceptions.SystemError: broken");
  EXPECT_FALSE(run("key('x')"));
  EXPECT_EQ(error(), "exceptions.KeyError: 'x'");
}

TEST_F(Glue, TracebackEntryPerFailingOperation) {
  mod_.trace_file = "gluetest.py";
  py::dict_set(globals_, "key", py::make_function(mod_, "C.key", "k", key_error));
  EXPECT_FALSE(run("key('x')"));
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  ASSERT_NE(tb, nullptr);
  auto* last = reinterpret_cast<PyTracebackObject*>(tb);
  while (last->tb_next) last = last->tb_next;
  EXPECT_STREQ(PyString_AsString(last->tb_frame->f_code->co_name), "gluetest.C.key");
  EXPECT_STREQ(PyString_AsString(last->tb_frame->f_code->co_filename), "gluetest.py");
  PyErr_Restore(type, value, tb);
}

TEST_F(Glue, ClassesOfBothKinds) {
  py::dict_set(globals_, "__builtins__", PyImport_AddModule("__builtin__"));
  py::ClassTable defs = {
      py::Qualname::unbound,
      {
          {"Old", nullptr, "an old class", nullptr, {{"get", py::Bind::method, "self, x=1"}}},
          {"Older", "Old", nullptr, nullptr, {}},
          {"New",
           "object",
           nullptr,
           nullptr,
           {{"get", py::Bind::classmethod, "self, x=1"}, {"p", py::Bind::property, "self"}}},
      }};
  py::ImplTable impls = {{"Old.get", echo}, {"New.get", echo}, {"New.p", nothing}};
  // echo answers its first three arguments; give it a third through a wrapper.
  impls[0].impl = [](py::Args a) { return py::tuple({a[1]}); };
  impls[1].impl = [](py::Args a) { return py::tuple({a[0], a[1]}); };
  py::make_classes(mod_, {&defs}, {&impls});
  EXPECT_EQ(py::as_string(py::repr(run("type(Old).__name__, type(Older).__name__, "
                                       "type(New).__name__"))),
            "('classobj', 'classobj', 'type')");
  EXPECT_EQ(py::as_string(py::repr(run("Older().get(), Old.__doc__, Older.__doc__"))),
            "((1,), 'an old class', None)");
  EXPECT_EQ(py::as_string(py::repr(run("New().get(5)[0] is New, New().p"))), "(True, None)");
  EXPECT_FALSE(run("Old.get(New())"));
  EXPECT_EQ(error().substr(0, 36), "exceptions.TypeError: unbound method");
  // The class dict holds __qualname__ only where the table asks for it.
  EXPECT_EQ(py::as_string(py::repr(run("sorted(Old.__dict__), '__qualname__' in New.__dict__"))),
            "(['__doc__', '__module__', 'get'], False)");
  py::ClassTable named = {
      py::Qualname::bound,
      {{"Named", nullptr, "named", nullptr, {}}, {"NewNamed", "object", nullptr, nullptr, {}}}};
  py::make_classes(mod_, {&named}, {});
  EXPECT_EQ(py::as_string(py::repr(
                run("sorted(Named.__dict__.items()), NewNamed.__dict__['__qualname__']"))),
            "([('__doc__', 'named'), ('__module__', 'gluetest'), ('__qualname__', 'Named')], "
            "'NewNamed')");

  py::ClassTable orphan = {py::Qualname::unbound, {{"Orphan", "Missing", nullptr, nullptr, {}}}};
  EXPECT_THROW(py::make_classes(mod_, {&orphan}, {}), py::Raised);
  EXPECT_EQ(error(), "exceptions.NameError: name 'Missing' is not defined");
}

// Lookups answered from the table itself must agree with the interpreter's,
// whatever lies in a key's first slot: another key, a deleted one, an equal
// text that is another object.
TEST_F(Glue, DictLookupAgreesWithTheInterpreter) {
  py::Ref d = py::dict();
  std::vector<py::Ref> keys;
  for (int i = 0; i < 200; ++i) {
    keys.push_back(py::str("k" + std::to_string(i)));
    py::dict_set(d, keys.back(), py::integer(i));
  }
  for (int i = 0; i < 200; i += 3) py::check(PyDict_DelItem(d, keys[size_t(i)]));
  for (int i = 0; i < 400; ++i) {
    py::Ref twin = py::str("k" + std::to_string(i));  // equal, not the same object
    PyObject* want = PyDict_GetItem(d, twin);
    EXPECT_EQ(py::dict_get(d, twin), want) << i;
    if (i < 200) {
      EXPECT_EQ(py::dict_get(d, keys[size_t(i)]), want) << i;
    }
    PyObject* plain = Py_Ellipsis;  // texts alone: the plain lookup always tells
    EXPECT_TRUE(py::dict_get_plain(d, twin, plain)) << i;
    EXPECT_EQ(plain, want) << i;
  }
  // Keys of other kinds sharing a text's hash sit on its probe sequence.
  for (int i = 200; i < 220; ++i) {
    py::Ref twin = py::str("k" + std::to_string(i));
    py::dict_set(d, py::Ref::steal(PyInt_FromLong(PyObject_Hash(twin))), Py_False);
    EXPECT_EQ(py::dict_get(d, twin), nullptr) << i;
    PyObject* plain;
    EXPECT_FALSE(py::dict_get_plain(d, twin, plain)) << i;  // only a comparison could tell
    py::dict_set(d, twin, Py_True);
    EXPECT_EQ(py::dict_get(d, py::str("k" + std::to_string(i))), Py_True) << i;
  }
  py::Ref u = py::Ref::steal(PyUnicode_FromString("k1"));
  py::dict_set(d, u, Py_None);  // replaces the value of the equal text "k1"
  EXPECT_EQ(py::dict_get(d, keys[1]), Py_None);
  EXPECT_EQ(py::dict_get(d, py::str("")), nullptr);
  py::Ref only_unicode = py::dict();
  py::dict_set(only_unicode, py::Ref::steal(PyUnicode_FromString("k5")), Py_True);
  EXPECT_EQ(py::dict_get(only_unicode, py::str("k5")), Py_True);
}

// The same for int keys: answered where only ints share the key's hash.
TEST_F(Glue, DictIntLookupAgreesWithTheInterpreter) {
  py::Ref d = py::dict();
  for (long i = -40; i < 160; ++i) py::dict_set(d, py::integer(i), py::integer(i));
  for (long i = -40; i < 160; i += 7) py::check(PyDict_DelItem(d, py::integer(i)));
  py::dict_set(d, py::Ref::steal(PyLong_FromLong(500)), Py_True);  // an int's hash
  for (long i = -60; i < 600; ++i) {
    py::Ref key = py::integer(i);
    PyObject* plain = Py_Ellipsis;
    EXPECT_EQ(py::dict_get_plain_int(d, key, plain), i != 500) << i;
    if (i != 500) {
      EXPECT_EQ(plain, PyDict_GetItem(d, key)) << i;
    }
  }
}

int findings = 0;
bool count_finding(PyObject*) { return ++findings % 2; }

TEST_F(Glue, FindingMadeOncePerRun) {
  py::Ref a = py::dict(), b = py::dict();
  findings = 0;
  EXPECT_TRUE(py::Run::once(a, count_finding));
  EXPECT_FALSE(py::Run::once(a, count_finding));  // no run: made at each ask
  {
    py::Run run(a);
    EXPECT_TRUE(py::Run::once(a, count_finding));
    EXPECT_TRUE(py::Run::once(a, count_finding));
    EXPECT_FALSE(py::Run::once(b, count_finding));  // another object's run is not this one
    {
      py::Run inner(a);
      EXPECT_TRUE(py::Run::once(a, count_finding));
    }
    EXPECT_TRUE(py::Run::once(a, count_finding));
  }
  EXPECT_EQ(findings, 5);
}

TEST_F(Glue, StrBuilderGrowsCutsAndHandsOver) {
  py::StrBuilder b(4);
  EXPECT_EQ(py::as_string(b.finish()), "");  // nothing written
  b += "ab";
  b.append("cd", "", std::string_view("efg"));
  // From itself, while it grows past the size kept in huge pages.
  for (int i = 0; i < 21; ++i) b.append_own(0, b.size());
  EXPECT_EQ(b.size(), size_t(7) << 21);
  EXPECT_EQ(b.view().substr((size_t(7) << 20) - 3, 6), "efgabc");
  EXPECT_EQ(b.view().substr(b.size() - 10), "efgabcdefg");
  b.cut(3);
  b += "!";
  py::Ref s = b.finish();
  EXPECT_EQ(py::as_string(s), "abc!");
  EXPECT_EQ(PyString_AS_STRING(s.get())[4], '\0');
  EXPECT_EQ(b.size(), 0u);
  b += "again";  // a new text after the hand-over
  EXPECT_EQ(py::as_string(b.finish()), "again");
  EXPECT_EQ(py::as_string(s), "abc!");
}

TEST_F(Glue, DecimalDigitsAsPrintfWritesThem) {
  for (long v : {0L, 7L, -1L, 10L, -90L, 1234567890L, LONG_MAX, LONG_MIN}) {
    char buf[24], want[24];
    snprintf(want, sizeof want, "%ld", v);
    EXPECT_EQ(std::string(buf, py::put_decimal(buf, v)), want);
    EXPECT_EQ(py::decimal(v, buf), want);
  }
}

TEST_F(Glue, HexadecimalDigitsAsPrintfWritesThem) {
  for (unsigned long u : {0UL, 9UL, 0xaUL, 0x1fUL, 0xbeefUL, 0x12345UL, ULONG_MAX}) {
    for (size_t width : {0, 2, 4, 24}) {
      char buf[24], want[32];
      snprintf(want, sizeof want, "%0*lx", int(width), u);
      EXPECT_EQ(py::hexadecimal(u, buf, width), want) << u << " " << width;
    }
  }
}

TEST_F(Glue, DigitsValueReadsPlainDigitsOnly) {
  long v = -5;
  EXPECT_TRUE(py::digits_value("0", v));
  EXPECT_EQ(v, 0);
  EXPECT_TRUE(py::digits_value("999999999999999999", v));  // 18 digits
  EXPECT_EQ(v, 999999999999999999L);
  EXPECT_TRUE(py::digits_value("007", v));
  EXPECT_EQ(v, 7);
  for (const char* text : {"", "1234567890123456789", "+1", "-1", " 1", "1 ", "1a", "0x1"}) {
    v = -5;
    EXPECT_FALSE(py::digits_value(text, v)) << text;
    EXPECT_EQ(v, -5) << text;  // left as it was
  }
  EXPECT_TRUE(py::digits_value("123456789", v, 9));
  EXPECT_FALSE(py::digits_value("1234567890", v, 9));
  EXPECT_EQ(v, 123456789);
}

// The globals of the test running an outside command.
const py::ModuleInfo* command_module = nullptr;
py::Ref command_global(const char* name) { return py::global(*command_module, name); }

TEST_F(Glue, CommandsRunThroughTheModulesSubprocess) {
  command_module = &mod_;
  py::dict_set(globals_, "subprocess", py::import("subprocess", globals_));
  py::dict_set(globals_, "os", py::import("os", globals_));
  auto argv = [](const char* script) {
    return py::list({py::str("/bin/sh").get(), py::str("-c").get(), py::str(script).get()});
  };
  EXPECT_EQ(py::as_string(py::command_output(command_global, argv("echo out; echo err >&2"))),
            "out\n");
  py::Ref fallback = py::str("fallback");
  EXPECT_EQ(py::command_output_or(command_global, argv("echo out; exit 3"), fallback).get(),
            fallback.get());
  EXPECT_EQ(py::as_string(
                py::command_output_or(command_global, argv("echo ok; echo quiet >&2"), fallback)),
            "ok\n");
  EXPECT_THROW(py::command_call(command_global, argv("exit 2")), py::Raised);
  EXPECT_EQ(error(),
            "CalledProcessError: Command '['/bin/sh', '-c', 'exit 2']' returned non-zero exit "
            "status 2");
  // Another failure than the command's own passes on.
  py::Ref missing = py::list({py::str("/nonexistent/tool").get()});
  EXPECT_THROW(py::command_output_or(command_global, missing, fallback), py::Raised);
  EXPECT_EQ(error(), "exceptions.OSError: [Errno 2] No such file or directory");
  // The module's own subprocess, found at each run.
  py::dict_set(globals_, "subprocess", Py_None);
  EXPECT_THROW(py::command_output(command_global, argv("true")), py::Raised);
  EXPECT_EQ(error(),
            "exceptions.AttributeError: 'NoneType' object has no attribute 'check_output'");
}

TEST_F(Glue, ClearIfTakesOneKindOfError) {
  PyErr_SetString(PyExc_IOError, "gone");
  EXPECT_TRUE(py::clear_if(PyExc_EnvironmentError));  // a base class matches
  EXPECT_FALSE(PyErr_Occurred());
  PyErr_SetString(PyExc_ValueError, "bad");
  EXPECT_FALSE(py::clear_if(PyExc_IOError));
  EXPECT_EQ(error(), "exceptions.ValueError: bad");
  PyErr_SetNone(PyExc_KeyboardInterrupt);
  EXPECT_FALSE(py::clear_if(PyExc_Exception));
  EXPECT_FALSE(py::clear_catchable());
  EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_KeyboardInterrupt));
  PyErr_Clear();
  PyErr_SetNone(PyExc_SystemExit);
  EXPECT_FALSE(py::clear_catchable());
  EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_SystemExit));
  PyErr_Clear();
  PyErr_SetString(PyExc_TypeError, "odd");
  EXPECT_TRUE(py::clear_catchable());
  EXPECT_FALSE(PyErr_Occurred());
}

TEST_F(Glue, CheckedTables) {
  py::ClassTable defs = {py::Qualname::unbound,
                         {{"C", nullptr, nullptr, nullptr, {{"todo", py::Bind::method, "self"}}}}};
  EXPECT_THROW(py::make_classes(mod_, {&defs}, {}), py::Raised);
  EXPECT_EQ(error(), "exceptions.SystemError: gluetest: C.todo has no implementation");
  py::ImplTable impls = {{"C.todo", nothing}, {"C.gone", nothing}};
  EXPECT_THROW(py::make_classes(mod_, {&defs}, {&impls}), py::Raised);
  EXPECT_EQ(error(), "exceptions.SystemError: gluetest: C.gone is no operation of any class");
  py::ImplTable twice = {{"C.todo", nothing}, {"C.todo", echo}};
  EXPECT_THROW(py::make_classes(mod_, {&defs}, {&twice}), py::Raised);
  EXPECT_EQ(error(), "exceptions.SystemError: gluetest: two implementations of C.todo");
  impls.pop_back();
  py::make_classes(mod_, {&defs}, {&impls});
  EXPECT_TRUE(run("C().todo() is None"));
}

TEST_F(Glue, HeldErrorRestoredAtTheEndOfItsScope) {
  PyErr_SetString(PyExc_KeyError, "held");
  {
    py::HeldError held;
    EXPECT_FALSE(PyErr_Occurred());
    py::Ref ok = run("1 + 1");  // clean-up that calls the interpreter
  }
  EXPECT_EQ(error(), "exceptions.KeyError: 'held'");
  // A clean-up that fails: its error wins, as in a finally block.
  PyErr_SetString(PyExc_KeyError, "held");
  {
    py::HeldError held;
    EXPECT_FALSE(run("1 / 0"));
  }
  EXPECT_EQ(error(), "exceptions.ZeroDivisionError: integer division or modulo by zero");
  PyErr_SetString(PyExc_KeyError, "held");
  {
    py::HeldError held;
    held.discard();
  }
  EXPECT_FALSE(PyErr_Occurred());
}

TEST_F(Glue, ClosingClosesAsAWithBlockDoes) {
  py::dict_set(globals_, "__builtins__", PyImport_AddModule("__builtin__"));
  PyRun_String(
      "class File(object):\n"
      "  def __init__(self, fails): self.fails, self.closed = fails, False\n"
      "  def close(self):\n"
      "    self.closed = True\n"
      "    if self.fails: raise IOError('close failed')\n"
      "good, bad = File(False), File(True)\n",
      Py_file_input, globals_, globals_);
  ASSERT_FALSE(PyErr_Occurred());
  PyObject* good = PyDict_GetItemString(globals_, "good");
  PyObject* bad = PyDict_GetItemString(globals_, "bad");
  int ran = 0;
  py::closing(good, [&] { ++ran; });
  EXPECT_EQ(ran, 1);
  EXPECT_TRUE(py::truth(run("good.closed")));
  // The body's error passes once the file is closed.
  PyRun_String("good.closed = False\n", Py_file_input, globals_, globals_);
  EXPECT_THROW(py::closing(good, [] { py::raise(PyExc_KeyError, "body"); }), py::Raised);
  EXPECT_EQ(error(), "exceptions.KeyError: 'body'");
  EXPECT_TRUE(py::truth(run("good.closed")));
  // A close that fails takes the body's error's place, as in Python.
  EXPECT_THROW(py::closing(bad, [] { py::raise(PyExc_KeyError, "body"); }), py::Raised);
  EXPECT_EQ(error(), "exceptions.IOError: close failed");
  EXPECT_THROW(py::closing(bad, [] {}), py::Raised);
  EXPECT_EQ(error(), "exceptions.IOError: close failed");
}

TEST_F(Glue, DestructorErrorsReportedAsUnraisable) {
  py::dict_set(globals_, "__builtins__", PyImport_AddModule("__builtin__"));
  PyRun_String("import sys, StringIO\nsaved = sys.stderr\nsys.stderr = StringIO.StringIO()\n",
               Py_file_input, globals_, globals_);
  ASSERT_FALSE(PyErr_Occurred());
  PyErr_SetString(PyExc_KeyError, "on its way");
  py::in_destructor(py::str("closing the file"), [] { py::raise(PyExc_IOError, "disk gone"); });
  EXPECT_EQ(error(), "exceptions.KeyError: 'on its way'");
  py::Ref text = run("sys.stderr.getvalue()");
  PyRun_String("sys.stderr = saved\n", Py_file_input, globals_, globals_);
  ASSERT_TRUE(text);
  EXPECT_NE(
      py::as_string(text).find("Exception IOError: 'disk gone' in 'closing the file' ignored"),
      std::string::npos)
      << py::as_string(text);
}

PyObject* rare_name() { return ID("a name asked for nowhere else in this program"); }

TEST_F(Glue, InternedNameTriedAgainAfterAFailure) {
  failing_allocations = 1;
  EXPECT_THROW(rare_name(), py::Raised);
  failing_allocations = 0;
  EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_MemoryError));
  PyErr_Clear();
  PyObject* name = nullptr;
  EXPECT_NO_THROW(name = rare_name());
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(py::as_string(name), "a name asked for nowhere else in this program");
  EXPECT_EQ(rare_name(), name);
}

PyObject* kept_text() {
  static PyObject* v = nullptr;
  return py::once(v, [] { return PyString_FromString("a text kept after its first making"); });
}

TEST_F(Glue, ConstantMadeAgainAfterAFailure) {
  failing_allocations = 1;
  EXPECT_THROW(kept_text(), py::Raised);
  failing_allocations = 0;
  PyErr_Clear();
  PyObject* made = kept_text();
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(py::as_string(made), "a text kept after its first making");
  EXPECT_EQ(kept_text(), made);
}

TEST_F(Glue, FunctionFeatures) {
  py::dict_set(globals_, "__builtins__", PyImport_AddModule("__builtin__"));
  py::dict_set(globals_, "f", py::make_function(mod_, "f", "a, b=2, c=3", echo));
  EXPECT_EQ(py::as_string(py::repr(run("f(1), f(1, c=u'x')"))), "((1, 2, 3), (1, 2, u'x'))");
  EXPECT_EQ(py::as_string(py::repr(run("f(**{u'a': 1, u'b': 5})"))), "(1, 5, 3)");
  PyRun_String("f.func_defaults = (7,)\nimport weakref\nr = weakref.ref(f)\nf.x = 4\n",
               Py_file_input, globals_, globals_);
  ASSERT_FALSE(PyErr_Occurred());
  EXPECT_EQ(py::as_string(py::repr(run("f(1, 0), r() is f, f.__dict__, f.func_closure"))),
            "((1, 0, 7), True, {'x': 4}, None)");
  EXPECT_FALSE(run("f(1)"));
  EXPECT_EQ(error(), "exceptions.TypeError: f() takes at least 2 arguments (1 given)");
}

}  // namespace

namespace {
int direct_runs = 0;
py::Ref count_and_echo(py::Args a) {
  ++direct_runs;
  return py::tuple({a[0], a[1]});
}
}  // namespace

TEST_F(Glue, ClassLevelOperationRunDirectlyUnlessReplaced) {
  py::dict_set(globals_, "__builtins__", PyImport_AddModule("__builtin__"));
  py::ClassTable defs = {
      py::Qualname::unbound,
      {
          {"Base", nullptr, nullptr, nullptr, {{"check", py::Bind::classmethod, "self, mode"}}},
          {"Leaf", "Base", nullptr, nullptr, {}},
      }};
  py::ImplTable impls = {{"Base.check", count_and_echo}};
  py::make_classes(mod_, {&defs}, {&impls});
  py::Ref leaf_class = run("Leaf");
  py::Ref leaf = run("Leaf()");
  py::Ref mode = py::str("4x25G");
  direct_runs = 0;
  // Asked of an instance or of the class itself, the class comes first.
  for (PyObject* o : {leaf.get(), leaf_class.get()}) {
    py::Ref r = py::call_classop(o, ID("check"), mode);
    EXPECT_EQ(PyTuple_GET_ITEM(r.get(), 0), leaf_class.get());
    EXPECT_EQ(PyTuple_GET_ITEM(r.get(), 1), mode.get());
  }
  EXPECT_EQ(direct_runs, 2);
  // Arguments that do not fit are the interpreter's to refuse.
  EXPECT_THROW(py::call_classop(leaf, ID("check"), mode, mode), py::Raised);
  EXPECT_EQ(error(), "exceptions.TypeError: check() takes exactly 2 arguments (3 given)");
  // A subclass's replacement and an object's own attribute are called
  // through the object.
  PyRun_String("class Mine(Leaf):\n  @classmethod\n  def check(cls, mode): return 'mine'\n",
               Py_file_input, globals_, globals_);
  EXPECT_EQ(py::as_string(py::call_classop(run("Mine()"), ID("check"), mode)), "mine");
  py::Ref own = run("Leaf()");
  py::setattr(own, ID("check"), run("lambda mode: 'own'"));
  EXPECT_EQ(py::as_string(py::call_classop(own, ID("check"), mode)), "own");
  EXPECT_THROW(py::call_classop(run("object()"), ID("check"), mode), py::Raised);
  EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_AttributeError));
}

namespace {
// check(cls, then): runs then(), and answers the class it was called for.
py::Ref run_then_class(py::Args a) {
  py::call(a[1]);
  return py::Ref::borrow(a[0]);
}
}  // namespace

// A class-level operation run directly keeps its class while it runs: the
// code it runs may take the object's class away from it.
TEST_F(Glue, ClassOfAClassLevelOperationHeldWhileItRuns) {
  py::dict_set(globals_, "__builtins__", PyImport_AddModule("__builtin__"));
  py::ClassTable defs = {
      py::Qualname::unbound,
      {{"Base", nullptr, nullptr, nullptr, {{"check", py::Bind::classmethod, "self, then"}}}}};
  py::ImplTable impls = {{"Base.check", run_then_class}};
  py::make_classes(mod_, {&defs}, {&impls});
  PyRun_String(
      "def made():\n"
      "  class Doomed(Base): pass\n"
      "  return Doomed()\n"
      "class Other(Base): pass\n"
      "o = made()\n"
      "def swap(): o.__class__ = Other\n",
      Py_file_input, globals_, globals_);
  ASSERT_FALSE(PyErr_Occurred());
  py::Ref cls = py::call_classop(run("o"), ID("check"), run("swap"));
  EXPECT_EQ(py::as_string(py::attr(cls, ID("__name__"))), "Doomed");
}

namespace {
// span(self, mode, sub=7): (mode, sub + 1)
py::Ref span(py::Args a) { return py::tuple({a[1], py::add(a[2], 1).get()}); }
// The same rendered directly, as a module's second version of it would.
py::Ref span_direct(PyObject* mode, long sub) {
  return py::tuple({mode, py::integer(sub + 1).get()});
}
// The classic class Port, whose span is the operation above, made in `mod`
// with the interpreter's builtins in `globals`.
void make_port_class(py::ModuleInfo& mod, PyObject* globals) {
  static const py::ClassTable defs = {
      py::Qualname::unbound,
      {
          {"Port", nullptr, nullptr, nullptr, {{"span", py::Bind::method, "self, mode, sub=7"}}},
      }};
  static const py::ImplTable impls = {{"Port.span", span}};
  py::dict_set(globals, "__builtins__", PyImport_AddModule("__builtin__"));
  py::make_classes(mod, {&defs}, {&impls});
}
}  // namespace

// One operation of a classic class run four ways: directly (its
// implementation, or a rendering of it where Operation says the object has
// it), and through a subclass that overrides it and calls the parent.  The
// answers agree; the override is honoured in a Run and out of it.
TEST_F(Glue, OperationDirectAndThroughAnOverrideAgree) {
  make_port_class(mod_, globals_);
  PyRun_String(
      "calls = []\n"
      "class Mine(Port):\n"
      "  def span(self, mode, sub=7):\n"
      "    calls.append(sub)\n"
      "    return Port.span(self, mode, sub)\n",
      Py_file_input, globals_, globals_);
  py::Ref plain = run("Port()"), mine = run("Mine()");
  py::Ref mode = py::str("4x25G"), sub = py::integer(2);
  auto answer = [&](PyObject* o, bool with_sub) {
    py::Operation op(o, ID("span"), span);
    if (op.own()) return op.traced([&] { return span_direct(mode, with_sub ? 2 : 7); });
    return with_sub ? op(mode, sub) : op(mode);
  };
  for (int in_run = 0; in_run < 2; ++in_run) {
    std::optional<py::Run> r1, r2;
    if (in_run) r1.emplace(plain.get()), r2.emplace(mine.get());
    for (bool with_sub : {true, false}) {
      py::Ref want = run(with_sub ? "Port().span('4x25G', 2)" : "Port().span('4x25G')");
      py::Ref direct = with_sub ? py::call_op(plain, ID("span"), mode, sub)
                                : py::call_op(plain, ID("span"), mode);
      py::Ref through = with_sub ? py::call_op(mine, ID("span"), mode, sub)
                                 : py::call_op(mine, ID("span"), mode);
      py::Ref rendered = answer(plain, with_sub), overridden = answer(mine, with_sub);
      for (PyObject* got : {direct.get(), through.get(), rendered.get(), overridden.get()})
        EXPECT_EQ(py::as_string(py::repr(got)), py::as_string(py::repr(want))) << in_run;
    }
  }
  EXPECT_TRUE(py::own_op(plain, ID("span"), span));
  EXPECT_FALSE(py::own_op(mine, ID("span"), span));
  EXPECT_EQ(py::as_string(py::repr(run("calls"))), "[2, 2, 7, 7, 2, 2, 7, 7]");
}

namespace {
// port.span('m'), asked as a module's operation asks it: the default fills `sub`.
py::Ref span_of(py::Args a) { return py::call_op(a[0], ID("span"), py::str("m")); }
}  // namespace

// A function's defaults rebound while the old ones go, one of them calling
// the function as it goes: the call sees the new defaults, whole.
TEST_F(Glue, DefaultsReboundWhileTheOldOnesGo) {
  make_port_class(mod_, globals_);
  py::dict_set(globals_, "span_of", py::make_function(mod_, "span_of", "port", span_of));
  PyRun_String(
      "seen = []\n"
      "class Going(object):\n"
      "  def __del__(self): seen.append(span_of(port))\n"
      "port = Port()\n"
      "f = Port.__dict__['span']\n"
      "f.func_defaults = (Going(),)\n"
      "f.func_defaults = (5, 9)\n",
      Py_file_input, globals_, globals_);
  ASSERT_FALSE(PyErr_Occurred());
  EXPECT_EQ(py::as_string(py::repr(run("seen"))), "[('m', 10)]");
}

// A classic class is looked up once in a ClassScope: an override put on the
// class between two scopes (two operation calls) is called in the second,
// one put on the instance at once.
TEST_F(Glue, ClassChangedBetweenTwoScopesIsSeen) {
  py::dict_set(globals_, "__builtins__", PyImport_AddModule("__builtin__"));
  py::ClassTable defs = {
      py::Qualname::unbound,
      {
          {"Base", nullptr, nullptr, nullptr, {{"num", py::Bind::method, "self, mode"}}},
          {"Leaf", "Base", nullptr, nullptr, {}},
      }};
  py::ImplTable impls = {{"Base.num", count_and_echo}};
  py::make_classes(mod_, {&defs}, {&impls});
  py::Ref a = run("Leaf()"), b = run("Leaf()");
  py::Ref mode = py::str("4x25G");
  // The mode, as the module's operation echoes it, or the override's answer.
  auto answer = [&](PyObject* o) {
    py::Ref r = py::call_op(o, ID("num"), mode);
    return py::as_string(
        py::repr(PyTuple_Check(r.get()) ? PyTuple_GET_ITEM(r.get(), 1) : r.get()));
  };
  direct_runs = 0;
  {
    py::ClassScope scope;
    EXPECT_EQ(answer(a), "'4x25G'");
    EXPECT_EQ(answer(b), "'4x25G'");
    EXPECT_TRUE(py::own_op(a, ID("num"), count_and_echo));
    py::setattr(b, ID("num"), run("lambda mode: 'own'"));
    EXPECT_EQ(answer(b), "'own'");
    EXPECT_FALSE(py::own_op(b, ID("num"), count_and_echo));
  }
  EXPECT_EQ(direct_runs, 2);
  PyRun_String("Leaf.num = lambda self, mode: 'class'\n", Py_file_input, globals_, globals_);
  {
    py::ClassScope scope;
    py::ClassScope inner;
    EXPECT_EQ(answer(a), "'class'");
    EXPECT_EQ(py::as_string(py::repr(py::read_prop(a, ID("num")))).substr(0, 14),
              "<bound method ");
    EXPECT_FALSE(py::own_op(a, ID("num"), count_and_echo));
    EXPECT_EQ(answer(b), "'own'");
  }
  EXPECT_EQ(direct_runs, 2);
  EXPECT_EQ(answer(a), "'class'");
}

TEST_F(Glue, NewStyleOperationsRunDirectlyUnlessReplaced) {
  py::dict_set(globals_, "__builtins__", PyImport_AddModule("__builtin__"));
  py::ClassTable defs = {
      py::Qualname::unbound,
      {
          {"Port",
           "object",
           nullptr,
           nullptr,
           {{"num", py::Bind::method, "self, mode"},
            {"check", py::Bind::classmethod, "self, mode"}}},
          {"Leaf", "Port", nullptr, nullptr, {}},
      }};
  py::ImplTable impls = {{"Port.num", count_and_echo}, {"Port.check", count_and_echo}};
  py::make_classes(mod_, {&defs}, {&impls});
  py::Ref leaf_class = run("Leaf");
  py::Ref leaf = run("Leaf()");
  py::Ref mode = py::str("4x25G");
  direct_runs = 0;
  py::Ref r = py::call_op(leaf, ID("num"), mode);
  EXPECT_EQ(PyTuple_GET_ITEM(r.get(), 0), leaf.get());
  for (PyObject* o : {leaf.get(), leaf_class.get()}) {
    r = py::call_classop(o, ID("check"), mode);
    EXPECT_EQ(PyTuple_GET_ITEM(r.get(), 0), leaf_class.get());
  }
  EXPECT_EQ(direct_runs, 3);
  EXPECT_THROW(py::call_op(leaf, ID("num"), mode, mode), py::Raised);
  EXPECT_EQ(error(), "exceptions.TypeError: num() takes exactly 2 arguments (3 given)");
  // The class itself is no object to run the method for.
  EXPECT_THROW(py::call_op(leaf_class, ID("num"), mode), py::Raised);
  EXPECT_NE(error().find("must be called with Leaf instance as first argument"),
            std::string::npos);
  // What a subclass, the object or a metaclass puts in place is called.
  PyRun_String(
      "class Mine(Leaf):\n"
      "  def num(self, mode): return 'mine'\n"
      "  @classmethod\n"
      "  def check(cls, mode): return 'mine'\n"
      "class Meta(type):\n"
      "  check = property(lambda cls: lambda mode: 'meta')\n"
      "Odd = Meta('Odd', (Leaf,), {})\n"
      "class Looked(Leaf):\n"
      "  def __getattribute__(self, name): return lambda mode: 'looked'\n",
      Py_file_input, globals_, globals_);
  EXPECT_EQ(py::as_string(py::call_op(run("Mine()"), ID("num"), mode)), "mine");
  EXPECT_EQ(py::as_string(py::call_classop(run("Mine()"), ID("check"), mode)), "mine");
  EXPECT_EQ(py::as_string(py::call_classop(run("Odd"), ID("check"), mode)), "meta");
  EXPECT_EQ(py::as_string(py::call_op(run("Looked()"), ID("num"), mode)), "looked");
  py::Ref own = run("Leaf()");
  py::setattr(own, ID("num"), run("lambda mode: 'own'"));
  py::setattr(own, ID("check"), run("lambda mode: 'own'"));
  EXPECT_EQ(py::as_string(py::call_op(own, ID("num"), mode)), "own");
  EXPECT_EQ(py::as_string(py::call_classop(own, ID("check"), mode)), "own");
  EXPECT_EQ(direct_runs, 3);
}

namespace {

// Runs statements in the test's module (with the builtins).
void exec(PyObject* globals, const char* code) {
  py::dict_set(globals, "__builtins__", PyImport_AddModule("__builtin__"));
  PyObject* done = PyRun_String(code, Py_file_input, globals, globals);
  py::Ref r = done ? py::Ref::steal(done) : py::Ref();
  if (!r) PyErr_Print();
  ASSERT_TRUE(r) << code;
}

}  // namespace

// What the attribute memos keep about a type holds only while the type (or
// a base) is unchanged.
TEST_F(Glue, AttributeMemosSeeEveryChangeOfTheType) {
  exec(globals_,
       "class T(object):\n  label = 'one'\nt = T()\n"
       "class B(object): pass\nclass D(B): pass\nd = D()\n");
  py::Ref t = run("t"), d = run("d");
  py::AttrReader label(ID("label"));
  EXPECT_EQ(py::as_string(label.read(t)), "one");
  exec(globals_, "T.label = 'two'");
  EXPECT_EQ(label.find(t), run("T.label").get());
  EXPECT_EQ(py::as_string(label.read(t)), "two");
  exec(globals_, "t.label = 'mine'");
  EXPECT_EQ(py::as_string(label.read(t)), "mine");
  // A data descriptor put on the type comes before the object's own dict.
  exec(globals_, "T.label = property(lambda self: 'prop')");
  EXPECT_EQ(label.find(t), nullptr);
  EXPECT_EQ(py::as_string(label.read(t)), "prop");
  exec(globals_, "del T.label");
  EXPECT_EQ(py::as_string(label.read(t)), "mine");
  // A base's change reaches the subclass.
  py::AttrReader extra(ID("extra"));
  EXPECT_EQ(extra.find(d), nullptr);
  EXPECT_THROW(extra.read(d), py::Raised);
  EXPECT_EQ(error(), "exceptions.AttributeError: 'D' object has no attribute 'extra'");
  exec(globals_, "B.extra = 5");
  EXPECT_EQ(py::as_long(extra.read(d)), 5);
  exec(globals_, "B.extra = 6");
  EXPECT_EQ(py::as_long(extra.read(d)), 6);

  py::TypeMemo<int> memo;
  int learnt = 0;
  auto learn = [&](PyTypeObject*) { return ++learnt; };
  auto* type_d = reinterpret_cast<PyTypeObject*>(run("D").get());
  _PyType_Lookup(type_d, ID("extra"));  // a valid version, as after any lookup
  EXPECT_EQ(memo.get(type_d, learn), 1);
  EXPECT_EQ(memo.get(type_d, learn), 1);
  EXPECT_TRUE(memo.holds(type_d));
  exec(globals_, "B.extra = 7");
  EXPECT_FALSE(memo.holds(type_d));
  EXPECT_EQ(memo.get(type_d, learn), 2);
  EXPECT_EQ(memo.get(reinterpret_cast<PyTypeObject*>(run("T").get()), learn), 3);
}

// Attributes set in a row go straight into the object's dict only where no
// data descriptor of the type takes them, even once the type has changed.
TEST_F(Glue, SetAttrsMeetsADataDescriptor) {
  exec(globals_,
       "class P(object):\n"
       "  def __init__(self): self.seen = []\n"
       "  def _set(self, v): self.seen.append(v)\n"
       "  value = property(lambda self: 'got', _set)\n"
       "class Q(object): pass\n");
  py::Ref x = py::str("x"), y = py::integer(4);
  const py::Keyword kw[] = {{ID("value"), x}, {ID("other"), y}};
  py::TypeMemo<bool> memo;
  py::Ref q = run("Q()");
  auto entries = [&](PyObject* o) {
    py::dict_set(globals_, "o", o);
    return py::as_string(py::repr(run("sorted(vars(o).items())")));
  };
  py::set_attrs(q, kw, 2, memo, 4);
  EXPECT_EQ(entries(q), "[('other', 4), ('value', 'x')]");
  py::Ref p = run("P()");
  py::set_attrs(p, kw, 2, memo);
  EXPECT_EQ(entries(p), "[('other', 4), ('seen', ['x'])]");
  EXPECT_EQ(py::as_string(py::attr(p, "value")), "got");
  py::set_attrs(run("Q()"), kw, 2, memo);  // learnt: Q takes both plainly
  exec(globals_,
       "Q.value = property(lambda s: 'q', lambda s, v: s.__dict__.setdefault('via', v))");
  py::Ref q2 = run("Q()");
  py::set_attrs(q2, kw, 2, memo);
  EXPECT_EQ(entries(q2), "[('other', 4), ('via', 'x')]");
}

// A classic instance's properties and methods written in Python, read and
// called by the glue: each answer, and each failure, the interpreter's, with
// every override honoured.
TEST_F(Glue, ClassicInstanceAnswersAsTheInterpreterDoes) {
  exec(globals_,
       "class Port:\n"
       "  def __init__(self, n): self.n = n\n"
       "  label = property(lambda self: 'label%d' % self.n)\n"
       "  def num(self, sub, extra=1): return (self.n, sub, extra)\n"
       "  def fails(self): raise KeyError(self.n)\n"
       "class Sub(Port):\n"
       "  label = property(lambda self: 'sub')\n"
       "  def num(self, sub): return 'sub'\n"
       "class Other:\n"
       "  label = 'other'\n"
       "  num = staticmethod(lambda sub: 'other')\n"
       "class Missing(Port):\n"
       "  label = property(lambda self: [].absent)\n"
       "  def __getattr__(self, name): return 'got ' + name\n"
       "class Odd:\n"
       "  __class__ = property(lambda self: 'not the class')\n"
       "p = Port(3)\n");
  py::Ref p = run("p"), sub = py::integer(5), extra = py::integer(6);
  auto text = [](const py::Ref& r) { return py::as_string(py::repr(r)); };
  EXPECT_EQ(text(py::read_prop(p, ID("label"))), "'label3'");
  EXPECT_EQ(text(py::call_op(p, ID("num"), sub)), "(3, 5, 1)");
  EXPECT_EQ(text(py::call_op(p, ID("num"), sub, extra)), "(3, 5, 6)");
  EXPECT_EQ(py::read_prop(run("Odd()"), ID("__class__")).get(), run("Odd").get());
  // Failures as the bound method's.
  EXPECT_THROW(py::call_op(p, ID("num")), py::Raised);
  EXPECT_EQ(error(), "exceptions.TypeError: num() takes at least 2 arguments (1 given)");
  EXPECT_THROW(py::call_op(p, ID("fails")), py::Raised);
  EXPECT_EQ(error(), "exceptions.KeyError: 3");
  // A subclass's, the class's __getattr__ answering for a getter's
  // AttributeError, and the instance's own.
  EXPECT_EQ(text(py::read_prop(run("Sub(1)"), ID("label"))), "'sub'");
  EXPECT_EQ(text(py::call_op(run("Sub(1)"), ID("num"), sub)), "'sub'");
  EXPECT_EQ(text(py::read_prop(run("Missing(1)"), ID("label"))), "'got label'");
  exec(globals_, "p.label = 'own'\np.num = lambda sub: 'own'\n");
  EXPECT_EQ(text(py::read_prop(p, ID("label"))), "'own'");
  EXPECT_EQ(text(py::call_op(p, ID("num"), sub)), "'own'");
  // The class, and what it holds, changed between calls.
  exec(globals_, "del p.label, p.num\nPort.num = lambda self, sub: 'new'\n");
  EXPECT_EQ(text(py::call_op(p, ID("num"), sub)), "'new'");
  exec(globals_, "p.__class__ = Other\n");
  EXPECT_EQ(text(py::read_prop(p, ID("label"))), "'other'");
  EXPECT_EQ(text(py::call_op(p, ID("num"), sub)), "'other'");
}

// Whether an object holds a name itself, for objects of both kinds.
TEST_F(Glue, LacksOwnLooksInTheObjectsOwnDict) {
  exec(globals_,
       "class C:\n  shared = 1\nclass N(object):\n  shared = 1\n"
       "c, n = C(), N()\nc.mine = n.mine = 2\n");
  for (const char* o : {"c", "n"}) {
    EXPECT_FALSE(py::lacks_own(run(o), ID("mine"))) << o;
    EXPECT_TRUE(py::lacks_own(run(o), ID("shared"))) << o;
  }
}

namespace {
int unbound_runs = 0;
py::Ref three_after_self(py::Args a) {
  ++unbound_runs;
  return py::tuple({a[1], a[2], a[3]});
}
}  // namespace

// Each call places its own keywords, whatever the call before named, and
// whatever function the class has by then.
TEST_F(Glue, UnboundCallPlacesEachCallsKeywords) {
  py::dict_set(globals_, "__builtins__", PyImport_AddModule("__builtin__"));
  py::ClassTable defs = {
      py::Qualname::unbound,
      {{"K", "object", nullptr, nullptr, {{"f", py::Bind::method, "self, a=1, b=2, c=3"}}}}};
  py::ImplTable impls = {{"K.f", three_after_self}};
  py::make_classes(mod_, {&defs}, {&impls});
  py::Ref k = run("K"), self = run("K()");
  py::Ref x = py::str("x"), y = py::str("y"), p = py::str("p");
  auto text = [](const py::Ref& r) { return py::as_string(py::repr(r)); };
  unbound_runs = 0;
  EXPECT_EQ(text(py::call_unbound(k, ID("f"), {self}, {{ID("b"), x}, {ID("c"), y}})),
            "(1, 'x', 'y')");
  EXPECT_EQ(text(py::call_unbound(k, ID("f"), {self}, {{ID("c"), x}, {ID("a"), y}})),
            "('y', 2, 'x')");
  EXPECT_EQ(text(py::call_unbound(k, ID("f"), {self}, {{ID("c"), x}, {ID("a"), y}})),
            "('y', 2, 'x')");
  EXPECT_EQ(text(py::call_unbound(k, ID("f"), {self, p}, {{ID("c"), x}})), "('p', 2, 'x')");
  EXPECT_EQ(unbound_runs, 4);
  // What the function would refuse is left to the interpreter's call.
  EXPECT_THROW(py::call_unbound(k, ID("f"), {self, p}, {{ID("a"), x}}), py::Raised);
  EXPECT_EQ(error(), "exceptions.TypeError: f() got multiple values for keyword argument 'a'");
  EXPECT_THROW(py::call_unbound(k, ID("f"), {self}, {{ID("d"), x}}), py::Raised);
  EXPECT_EQ(error(), "exceptions.TypeError: f() got an unexpected keyword argument 'd'");
  EXPECT_EQ(unbound_runs, 4);
  // Another function in its place, its parameters in another order (it may
  // well take the freed function's memory).
  py::setattr(k, ID("f"), py::make_function(mod_, "K.f", "self, c, b=20, a=10", three_after_self));
  EXPECT_EQ(text(py::call_unbound(k, ID("f"), {self}, {{ID("c"), x}, {ID("a"), y}})),
            "('x', 20, 'y')");
  EXPECT_EQ(text(py::call_unbound(k, ID("f"), {self}, {{ID("b"), x}, {ID("c"), y}})),
            "('y', 'x', 10)");
  EXPECT_EQ(unbound_runs, 6);
  EXPECT_THROW(py::call_unbound(k, ID("f"), {self}, {{ID("a"), x}}), py::Raised);
  EXPECT_EQ(error(), "exceptions.TypeError: f() takes at least 2 arguments (2 given)");
}

// The short formatting answers what the interpreter's `%` answers, texts
// and errors alike, falling back on it for whatever it does not write.
TEST_F(Glue, PlainPercentAgreesWithTheInterpreter) {
  py::dict_set(globals_, "__builtins__", PyImport_AddModule("__builtin__"));
  // The answer's repr, or the error's type and text.
  auto answer = [&](const py::Ref& r) { return r ? py::as_string(py::repr(r)) : error(); };
  auto agree = [&](const char* fmt, std::initializer_list<PyObject*> args) {
    py::Ref f = py::str(fmt);
    PyObject* formatted = PyString_Format(f, py::tuple(args));
    std::string want = answer(formatted ? py::Ref::steal(formatted) : py::Ref());
    py::Ref got;
    try {
      got = py::percent_plain(f, args);
    } catch (const py::Raised&) {
    }
    EXPECT_EQ(answer(got), want) << fmt;
  };
  py::Ref swp = py::str("swp1"), minus = py::integer(-25);
  py::Ref big = py::long_integer("10000000000000000000000000");
  agree("port %s speed %d", {swp, minus});
  agree("%d%% of %u", {py::integer(50), py::integer(7)});
  agree("plain", {});
  agree("%s", {py::Ref::steal(PyUnicode_FromString("\xc3\xa9"))});
  agree("%d", {py::floating(2.75)});
  agree("%d/%u", {Py_True, big});
  agree("%s", {Py_None});
  agree("%s %s", {run("type('S', (str,), {})('sub')"), big});
  agree("%s|%s", {py::str(std::string(600, 'x')), swp});
  agree("%x", {py::integer(255)});
  agree("%s %s", {swp});
  agree("%s", {swp, swp});
  agree("100%", {});
}

// A comparison that is no order still leaves every item in place, once.
TEST_F(Glue, StableSortWithAnyComparison) {
  std::vector<int> items;
  for (int i = 0; i < 203; ++i) items.push_back(i % 17);
  std::vector<int> want = items;
  std::sort(want.begin(), want.end());
  unsigned seed = 7;
  auto random_less = [&](int, int) { return (seed = seed * 1103515245u + 12345u) >> 31; };
  auto always = [](int, int) { return true; };
  auto never = [](int, int) { return false; };
  for (int round = 0; round < 3; ++round) {
    std::vector<int> v = items;
    if (round == 0) py::stable_sort(v, random_less);
    if (round == 1) py::stable_sort(v, always);
    if (round == 2) py::stable_sort(v, never);
    ASSERT_EQ(v.size(), items.size());
    std::sort(v.begin(), v.end());
    EXPECT_EQ(v, want) << round;
  }
  // An order: equal keys keep their order.
  std::vector<std::pair<int, int>> pairs;
  for (int i = 0; i < 203; ++i) pairs.push_back({i % 17, i});
  py::stable_sort(pairs, [](const auto& a, const auto& b) { return a.first < b.first; });
  for (size_t i = 1; i < pairs.size(); ++i)
    EXPECT_TRUE(pairs[i - 1].first < pairs[i].first ||
                (pairs[i - 1].first == pairs[i].first && pairs[i - 1].second < pairs[i].second))
        << i;
}

namespace {
// The lines Lines reads from `f`, each as its object and as its bytes where
// it tells them; the bytes must be the object's.
std::vector<std::string> lines_read(PyObject* f, bool* all_text) {
  std::vector<std::string> out;
  py::Lines lines(f);
  *all_text = true;
  while (lines.next()) {
    std::string_view text;
    bool plain = lines.text(text);
    std::string seen(text);
    py::Ref line = lines.object();
    if (plain) {
      EXPECT_EQ(py::as_string(line), seen);
    }
    *all_text = *all_text && plain;
    out.push_back(py::as_string(py::repr(line)));
  }
  return out;
}
}  // namespace

TEST_F(Glue, LinesAsIterationGivesThem) {
  py::dict_set(globals_, "__builtins__", PyImport_AddModule("__builtin__"));
  PyRun_String(
      "import cStringIO, StringIO\n"
      "texts = ['', 'a', 'a\\n', '\\n\\n', 'a\\nb', ' x \\r\\n\\ny\\0z\\n\\r', 'w\\n' * 300]\n"
      "def written(t):\n"
      "    f = cStringIO.StringIO()\n"
      "    f.write(t)\n"
      "    f.seek(0)\n"
      "    return f\n",
      Py_file_input, globals_, globals_);
  py::Ref texts = run("texts");
  ASSERT_TRUE(texts);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(texts.get()); ++i) {
    PyObject* t = PyList_GET_ITEM(texts.get(), i);
    py::dict_set(globals_, "t", t);
    // cStringIO's reader, its writer, and a file object written in Python.
    for (const char* make : {"cStringIO.StringIO(t)", "written(t)", "StringIO.StringIO(t)"}) {
      std::vector<std::string> expected;
      py::Ref listed = run((std::string("list(") + make + ")").c_str());
      ASSERT_TRUE(listed) << make;
      for (Py_ssize_t j = 0; j < PyList_GET_SIZE(listed.get()); ++j)
        expected.push_back(py::as_string(py::repr(PyList_GET_ITEM(listed.get(), j))));
      py::Ref f = run(make);
      bool all_text;
      EXPECT_EQ(lines_read(f, &all_text), expected) << make << " " << i;
      EXPECT_TRUE(all_text);
      // Where the reading stopped, the file's position says so.
      py::Ref rest = py::callm(f, ID("read"));
      EXPECT_EQ(PyString_GET_SIZE(rest.get()), 0) << make;
    }
  }
  // A unicode line is no plain text; it is still read.
  bool all_text;
  py::Ref u = run("iter([u'a\\n', 'b'])");
  EXPECT_EQ(lines_read(u, &all_text), (std::vector<std::string>{"u'a\\n'", "'b'"}));
  EXPECT_FALSE(all_text);
  // A closed cStringIO object fails as its iteration does.
  py::Ref closed = run("cStringIO.StringIO('a\\n')");
  py::callm(closed, ID("close"));
  py::dict_set(globals_, "closed", closed);
  EXPECT_FALSE(run("list(closed)"));
  std::string expected = error();
  EXPECT_EQ(expected, "exceptions.ValueError: I/O operation on closed file");
  py::Lines lines(closed);
  EXPECT_THROW(lines.next(), py::Raised);
  EXPECT_EQ(error(), expected);
}

TEST_F(Glue, CallNoargsAsTheBoundMethod) {
  py::dict_set(globals_, "__builtins__", PyImport_AddModule("__builtin__"));
  PyRun_String(
      "import cStringIO\n"
      "class L(list):\n"
      "    def reverse(self): return 'own'\n"
      "class P(object):\n"
      "    def close(self): return 'python'\n",
      Py_file_input, globals_, globals_);
  py::Ref f = run("cStringIO.StringIO('abc')");
  EXPECT_EQ(py::call_noargs(f, ID("close")).get(), Py_None);
  EXPECT_EQ(PyObject_IsTrue(py::attr(f, "closed")), 1);
  // A method that fails, and a name the type does not have.
  EXPECT_THROW(py::call_noargs(f, ID("flush")), py::Raised);
  EXPECT_EQ(error(), "exceptions.ValueError: I/O operation on closed file");
  EXPECT_THROW(py::call_noargs(f, ID("nothing")), py::Raised);
  EXPECT_EQ(error(),
            "exceptions.AttributeError: 'cStringIO.StringI' object has no attribute 'nothing'");
  // A subclass's override, a class statement's method, a method that takes
  // arguments: each called as o.name().
  py::Ref l = run("L([1, 2])");
  EXPECT_EQ(py::as_string(py::call_noargs(l, ID("reverse"))), "own");
  EXPECT_EQ(py::as_string(py::call_noargs(run("P()"), ID("close"))), "python");
  py::Ref plain = run("[1, 2]");
  EXPECT_EQ(PyInt_AsLong(py::call_noargs(plain, ID("pop"))), 2);
  EXPECT_EQ(PyList_GET_SIZE(plain.get()), 1);
  py::Ref d = run("{1: 2}");
  py::Ref copied = py::call_noargs(d, ID("copy"));
  EXPECT_TRUE(PyDict_CheckExact(copied.get()) && copied.get() != d.get());
}

TEST_F(Glue, CallOneAsTheInterpreterCalls) {
  py::dict_set(globals_, "__builtins__", PyImport_AddModule("__builtin__"));
  py::Ref x = py::str("abc");
  // A built-in function of one argument, a bound built-in method of one,
  // a function written in Python, a built-in of other arguments.
  EXPECT_EQ(PyInt_AsLong(py::call_one(run("len"), x)), 3);
  py::Ref d = run("{'abc': 1}");
  EXPECT_EQ(py::call_one(py::attr(d, "__contains__"), x).get(), Py_True);
  EXPECT_EQ(py::as_string(py::call_one(run("lambda s, t='!': s + t"), x)), "abc!");
  EXPECT_EQ(py::as_string(py::call_one(run("max"), x)), "c");
  // Their errors.
  py::Ref five = py::integer(5);
  EXPECT_THROW(py::call_one(run("len"), five), py::Raised);
  EXPECT_EQ(error(), "exceptions.TypeError: object of type 'int' has no len()");
  EXPECT_THROW(py::call_one(py::attr(d, "__contains__"), run("[]")), py::Raised);
  EXPECT_EQ(error(), "exceptions.TypeError: unhashable type: 'list'");
  // call_none: a built-in of no arguments, one of other arguments, Python's.
  py::Ref d2 = run("{'x': 1}");
  EXPECT_EQ(PyList_Size(py::call_none(py::attr(d2, "keys"))), 1);
  EXPECT_EQ(py::as_string(py::call_none(run("lambda t='!': t"))), "!");
  EXPECT_THROW(py::call_none(run("len")), py::Raised);
  EXPECT_EQ(error(), "exceptions.TypeError: len() takes exactly one argument (0 given)");
}
