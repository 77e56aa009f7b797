// The class statements of glimmet, in creation order: the controller
// classes with their class attributes and program texts.
#include "glimmet.h"
#include "texts.h"

namespace glimmet {
namespace {

using py::Bind;
constexpr Bind M = Bind::method, P = Bind::property;

py::Ref pair_record(long addr, long val) {
  py::Ref r = py::dict();
  py::dict_set(r, "addr", py::integer(addr));
  py::dict_set(r, "val", py::integer(val));
  return r;
}

py::Ref texts(std::initializer_list<std::pair<const char*, PyObject*>> items) {
  py::Ref d = py::dict();
  for (const auto& [key, value] : items) py::dict_set(d, key, value);
  return d;
}

void bcm_attrs(py::ClassBody& c) {
  c.set("_tarquel", py::str("/usr/lib/quorvel/tarquel"));
  c.set("ports_per_chain", Py_None);
  c.set("num_leds", Py_None);
  c.set("led_functions", py::tuple(0));
  c.set("blink_period", py::integer(90));
  c.set("pad_n_code_size", py::integer(10));
  c.set("pad_call_size", py::integer(2));
  c.set("pad_n_call_size", py::integer(4));
  c.set("loop_insert_cost", py::integer(2));
  c.set("default_pad", py::integer(1));
  c.set("has_phys_id", Py_False);
  c.set("data_array_name", py::str("CMIC_GLIMMET{idx}_DATA_RAM"));
  c.set("data_array_base_addr", py::integer(0xc0));
  c.set("logical_to_led_index", py::dict());
  c.set("call_list", py::dict());
  c.set("static_code", texts({{"constants", py::str(text::kConstants)}}));
  c.set("static_no_id_func_code",
        texts({{"variables", py::str(text::kVariables)},
               {"functions", py::str(text::kBlinkUpdateState)},
               {"blink_updater_calls", py::str(text::kBlinkUpdateStateCall)}}));
  // The port map address of the ID variables is the class's own, fixed now.
  py::Ref base = texts({{"base_addr", c.lookup("data_array_base_addr")}});
  c.set("static_id_func_code",
        texts({{"variables", py::percent(py::str(text::kIdVariables), base)},
               {"functions", py::str(text::kBlinkUpdate)},
               {"blink_updater_calls", py::str(text::kBlinkUpdateCalls)}}));
  c.set("in_ram_constants", texts({{"blink", pair_record(0xf2, 3)},
                                   {"wiggle", pair_record(0xf5, 19)},
                                   {"wag", pair_record(0xf8, 119)}}));
  c.set("pad_zero", py::str(text::kPadZero));
  c.set("pad_one", py::str(text::kPadOne));
  c.set("pad_n_zero", py::str(text::kPadNZero));
  c.set("pad_n_one", py::str(text::kPadNOne));
}

void chain_36(py::ClassBody& c) { c.set("ports_per_chain", py::integer(36)); }
void chain_64(py::ClassBody& c) { c.set("ports_per_chain", py::integer(64)); }

}  // namespace

const py::ClassTable classes = {
    py::Qualname::unbound,
    {
        {"LEDController", nullptr, nullptr, nullptr, {}},
        {"BCMLEDController",
         "LEDController",
         text::kClassDoc,
         bcm_attrs,
         {
             {"defines", P, "self"},
             {"__init__", M, "self"},
             {"configure", M, "self, controller_idx, ports", text::kConfigureDoc},
             {"_eval_looping", M, "self, calls", text::kEvalLoopingDoc},
             {"_calc_looped_instructions", M, "self, calls"},
             {"_calc_unrolled_instructions", M, "self, calls"},
             {"_led_pad_call", M, "self, value, length, emit_loop"},
             {"_led_port_call", M, "self, call, length"},
             {"_chain_port", M, "self, port_num", text::kChainPortDoc},
             {"led_map", M, "self, controller_idx", text::kLedMapDoc},
             {"led_memory_init_commands", M, "self, controller_idx", text::kMemoryInitDoc},
             {"asm", P, "self"},
             {"hex", P, "self"},
             {"_compile", M, "self, asm", text::kCompileDoc},
         }},
        {"TriumphLEDController", "BCMLEDController", nullptr, chain_64, {}},
        {"Helix4LEDController", "BCMLEDController", nullptr, chain_64, {}},
        {"Hurricane2LEDController", "BCMLEDController", nullptr, chain_64, {}},
        {"TridentLEDController", "BCMLEDController", nullptr, chain_36, {}},
        {"TridentTwoLEDController", "BCMLEDController", nullptr, chain_64, {}},
        {"TridentTwoPlusLEDController", "BCMLEDController", nullptr, chain_64, {}},
        {"MaverickLEDController", "BCMLEDController", nullptr, chain_64, {}},
        {"TomahawkLEDController",
         "BCMLEDController",
         nullptr,
         chain_64,
         {
             {"_chain_port", M, "self, call_port"},
         }},
    }};

}  // namespace glimmet
