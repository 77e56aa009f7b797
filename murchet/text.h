// Reading the chip shell's answers: lines, words and numbers as the
// interpreter's str.splitlines(), str.split() and int() read them, and the
// answers' patterns as the interpreter's regular expressions match them.
//
// The matchers reproduce the expressions' matching exactly, backtracking
// included: each one says why its greedy parts can only end where it cuts.
// White space is the expressions' \s and str.split()'s: " \t\n\r\v\f";
// digits are [0-9].
#pragma once

#include "../common/py.h"

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace murchet {

using std::string_view;

inline bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}
inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The lines of a text as str.splitlines() cuts them: at LF, CR or CR LF,
// line ends dropped, no empty line after a final line end.  Each line read
// is a turn of the loop over them (py::tick()).
class Lines {
 public:
  explicit Lines(string_view text) : text_(text) {}
  bool next(string_view& line) {
    if (pos_ >= text_.size()) return false;
    py::tick();
    size_t end = pos_;
    while (end < text_.size() && text_[end] != '\n' && text_[end] != '\r') ++end;
    line = text_.substr(pos_, end - pos_);
    pos_ = end;
    if (pos_ < text_.size()) {
      if (text_[pos_] == '\r' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '\n') ++pos_;
      ++pos_;
    }
    return true;
  }

 private:
  string_view text_;
  size_t pos_ = 0;
};

// Calls each(word) for the words of a line as str.split() with no argument
// cuts them.
template <class F>
void each_word(string_view line, const F& each) {
  size_t i = 0, n = line.size();
  while (true) {
    while (i < n && is_space(line[i])) ++i;
    if (i == n) return;
    size_t b = i;
    while (i < n && !is_space(line[i])) ++i;
    each(line.substr(b, i - b));
  }
}

// The same words, into `words`.
inline void split_words(string_view line, std::vector<string_view>& words) {
  words.clear();
  each_word(line, [&](string_view word) { words.push_back(word); });
}

// The pieces of a text cut at every occurrence of `sep`, as str.split(sep).
inline void split_at(string_view text, string_view sep, std::vector<string_view>& parts) {
  parts.clear();
  size_t b = 0, p;
  while ((p = text.find(sep, b)) != string_view::npos) {
    parts.push_back(text.substr(b, p - b));
    b = p + sep.size();
  }
  parts.push_back(text.substr(b));
}

// The text without white space at both ends, as str.strip().
inline string_view strip(string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && is_space(s[b])) ++b;
  while (e > b && is_space(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// The value of a text of an optional sign and 1 to 18 decimal digits, as
// int() reads it; false for any other text (which int() may still read, or
// refuse).
inline bool decimal_value(string_view text, long& value) {
  bool negative = !text.empty() && text[0] == '-';
  if (!text.empty() && (text[0] == '+' || negative)) text.remove_prefix(1);
  long v;
  if (!py::digits_value(text, v)) return false;
  value = negative ? -v : v;
  return true;
}

// int(text, base), with the interpreter's own conversion and errors.
inline py::Ref to_int(string_view text, int base = 10) {
  long value;
  if (base == 10 && decimal_value(text, value)) return py::integer(value);
  if (text.find('\0') != string_view::npos) {
    // int() itself words the error about a text with a NUL in it.
    py::Ref type = py::Ref::borrow(reinterpret_cast<PyObject*>(&PyInt_Type));
    return py::call(type, py::str(text), py::integer(base));
  }
  char small[32];
  std::string large;
  char* buf = small;
  if (text.size() >= sizeof small) {
    large.assign(text);
    buf = &large[0];
  } else {
    memcpy(small, text.data(), text.size());
    small[text.size()] = '\0';
  }
  return py::Ref::steal(PyInt_FromString(buf, nullptr, base));
}

// int(v) and int(v, base) of any object: a text read here, anything else by
// the interpreter.
inline py::Ref int_of(PyObject* v) {
  if (PyString_CheckExact(v)) return to_int(py::as_view(v));
  return py::call(reinterpret_cast<PyObject*>(&PyInt_Type), v);
}
inline py::Ref int_of(PyObject* v, int base) {
  if (PyString_CheckExact(v)) return to_int(py::as_view(v), base);
  return py::call(reinterpret_cast<PyObject*>(&PyInt_Type), v, py::integer(base));
}

// The error of indexing a list past its end.
[[noreturn]] inline void index_error() { py::raise(PyExc_IndexError, "list index out of range"); }

// The word at `i`, or the error of indexing past the end.
inline string_view word_at(const std::vector<string_view>& words, size_t i) {
  if (i >= words.size()) index_error();
  return words[i];
}

// ---- the answers' patterns -------------------------------------------------

// The end of the run of non-white-space characters starting at `i`.
inline size_t run_end(string_view s, size_t i) {
  while (i < s.size() && !is_space(s[i])) ++i;
  return i;
}
inline size_t digits_end(string_view s, size_t i) {
  while (i < s.size() && is_digit(s[i])) ++i;
  return i;
}
inline bool at(string_view s, size_t i, string_view lit) { return s.substr(i, lit.size()) == lit; }

// A text of numbers of 1 to `max_digits` plain decimal digits (at most 9)
// joined by dots, as "239.1.1.1": how many numbers it holds, the first
// `max` of them into `parts`; 0 for any other text.
inline size_t dotted_decimals(string_view text, long* parts, size_t max, size_t max_digits = 9) {
  size_t n = 0, i = 0;
  while (true) {
    size_t e = digits_end(text, i);
    long v;
    if (!py::digits_value(text.substr(i, e - i), v, max_digits)) return 0;
    if (n < max) parts[n] = v;
    ++n;
    if (e == text.size()) return n;
    if (text[e] != '.') return 0;
    i = e + 1;
  }
}

// "Port (?P<port>\S+) default VLAN is (?P<vlan>\d+)" matched at the start of
// `line`.  \S+ must be followed by a blank, so it takes the whole run.
inline bool match_port_vlan(string_view line, string_view& port, string_view& vlan) {
  if (!at(line, 0, "Port ")) return false;
  size_t e = run_end(line, 5);
  if (e == 5 || !at(line, e, " default VLAN is ")) return false;
  size_t d = e + 17, f = digits_end(line, d);
  if (f == d) return false;
  port = line.substr(5, e - 5);
  vlan = line.substr(d, f - d);
  return true;
}

// "vlan (?P<vlan>\d+).*untagged (?P<ports>\S+)" searched in `text`, "." not
// matching LF.  The digits end the run ("untagged" cannot start inside it);
// the greedy .* makes it the last "untagged " of the line that a non-blank
// follows; a start that cannot match moves on to the next "vlan ".
inline bool search_vlan_untagged(string_view text, string_view& vlan, string_view& ports) {
  // One pass: a line's last "untagged " with a port list is found once, at
  // its first "vlan <digits>"; every later start on that line only compares
  // positions with it.
  static constexpr string_view kUntagged = "untagged ";
  size_t line_end = 0;              // end of the line whose list is known
  size_t list = string_view::npos;  // where that list starts, npos for none
  for (size_t p = text.find("vlan "); p != string_view::npos; p = text.find("vlan ", p + 1)) {
    size_t d = p + 5, e = digits_end(text, d);
    if (e == d) continue;
    if (p >= line_end) {
      line_end = text.find('\n', p);
      if (line_end == string_view::npos) line_end = text.size();
      string_view rest = text.substr(p, line_end - p);
      list = string_view::npos;
      for (size_t u = rest.rfind(kUntagged); u != string_view::npos;
           u = u ? rest.rfind(kUntagged, u - 1) : string_view::npos) {
        size_t b = p + u + kUntagged.size();
        if (run_end(text, b) > b) {
          list = b;
          break;
        }
      }
    }
    if (list != string_view::npos && list - kUntagged.size() >= e) {
      vlan = text.substr(d, e - d);
      ports = text.substr(list, run_end(text, list) - list);
      return true;
    }
  }
  return false;
}

// "modid = (?P<modid>\d+) port = (?P<port>\d+)" searched in `item`.
inline bool search_modid_port(string_view item, string_view& port) {
  for (size_t p = item.find("modid = "); p != string_view::npos;
       p = item.find("modid = ", p + 1)) {
    size_t d = p + 8, e = digits_end(item, d);
    if (e == d || !at(item, e, " port = ")) continue;
    size_t b = e + 8, f = digits_end(item, b);
    if (f == b) continue;
    port = item.substr(b, f - b);
    return true;
  }
  return false;
}

// "\s+port (?P<port>\S+), encap id (?P<intf>[+-]?\d+)" matched at the start
// of `line`.  ", " needs a blank after the comma, so \S+ is the run less its
// final comma.
inline bool match_member(string_view line, string_view& port, string_view& intf) {
  size_t i = 0;
  while (i < line.size() && is_space(line[i])) ++i;
  if (i == 0 || !at(line, i, "port ")) return false;
  size_t b = i + 5, e = run_end(line, b);
  if (e - b < 2 || line[e - 1] != ',' || !at(line, e, " encap id ")) return false;
  size_t s = e + 10, d = s;
  if (d < line.size() && (line[d] == '+' || line[d] == '-')) ++d;
  size_t f = digits_end(line, d);
  if (f == d) return false;
  port = line.substr(b, e - 1 - b);
  intf = line.substr(s, f - s);
  return true;
}

// "(?P<vrf>\S+), \((?P<sip>\S+), (?P<dip>\S+)\)" matched at the start of
// `key`.  The first two groups are runs less their final comma; the last
// ends before the run's last ")".
inline bool match_route_key(string_view key, string_view& vrf, string_view& sip,
                            string_view& dip) {
  size_t e = run_end(key, 0);
  if (e < 2 || key[e - 1] != ',' || !at(key, e, " (")) return false;
  size_t b2 = e + 2, e2 = run_end(key, b2);
  if (e2 - b2 < 2 || key[e2 - 1] != ',' || !at(key, e2, " ")) return false;
  size_t b3 = e2 + 1, e3 = run_end(key, b3);
  size_t close = e3 > b3 + 1 ? key.substr(b3 + 1, e3 - b3 - 1).rfind(')') : string_view::npos;
  if (close == string_view::npos) return false;
  vrf = key.substr(0, e - 1);
  sip = key.substr(b2, e2 - 1 - b2);
  dip = key.substr(b3, close + 1);
  return true;
}

// "\[(?P<key>\d+)\]: \<(?P<data>\S+)\>" searched in `entry`.  The data ends
// before the last ">" of its run.
inline bool search_entry(string_view entry, string_view& key, string_view& data) {
  for (size_t p = entry.find('['); p != string_view::npos; p = entry.find('[', p + 1)) {
    size_t d = p + 1, e = digits_end(entry, d);
    if (e == d || !at(entry, e, "]: <")) continue;
    size_t b = e + 4, f = run_end(entry, b);
    size_t close = f > b + 1 ? entry.substr(b + 1, f - b - 1).rfind('>') : string_view::npos;
    if (close == string_view::npos) continue;
    key = entry.substr(d, e - d);
    data = entry.substr(b, close + 1);
    return true;
  }
  return false;
}

}  // namespace murchet
