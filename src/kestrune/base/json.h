// An ordered JSON value with Python's `json` semantics.
//
// Objects keep their keys in insertion order; a duplicate key while reading
// keeps the first key's place and the last value (what json.loads does).
// Integers of any size are exact: those outside int64 are kept as decimal text.
// Writing is byte-identical to json.dumps(v, ensure_ascii=True) with or
// without indent.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "kestrune/base/text.h"

namespace kestrune::json {

class Value;
struct Member;
using Array = std::vector<Value>;

// An integer outside int64, as its decimal text (optional leading "-").
struct BigInt {
  std::string digits;
  bool operator==(const BigInt&) const = default;
};

// Thrown by as_*() on a value of another type.
struct TypeError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// An insertion-ordered map from string to Value. Lookups are linear for small
// objects and hashed once an object grows large (symbol indexes, reuse maps).
class Object {
 public:
  Object();
  Object(const Object&);
  Object(Object&&) noexcept;
  Object& operator=(const Object&);
  Object& operator=(Object&&) noexcept;
  ~Object();

  size_t size() const;
  bool empty() const;
  const Value* find(std::string_view key) const;
  Value* find(std::string_view key);
  bool contains(std::string_view key) const { return find(key) != nullptr; }
  // The value at `key`; throws std::out_of_range (a missing-key error) when absent.
  const Value& at(std::string_view key) const;
  // Sets `key`: replaces the value in place when present, appends otherwise.
  Value& set(std::string key, Value v);
  // Like set(), but the caller promises the key is new (faster for writers).
  Value& append(std::string key, Value v);
  bool erase(std::string_view key);  // keeps the order of the others
  void reserve(size_t n);             // room for n members (readers know the count)

  std::vector<Member>::const_iterator begin() const;
  std::vector<Member>::const_iterator end() const;
  std::vector<Member>::iterator begin();
  std::vector<Member>::iterator end();
  const std::vector<Member>& members() const;

  bool operator==(const Object& o) const;  // same members in the same order

 private:
  void index_if_large();
  std::vector<Member> members_;
  std::unique_ptr<std::unordered_map<std::string, size_t>> index_;
};

class Value {
 public:
  enum class Type { Null, Bool, Int, BigInt, Float, String, Array, Object };

  Value() = default;
  Value(std::nullptr_t) {}
  Value(bool b) : v_(b) {}
  Value(int i) : v_(static_cast<int64_t>(i)) {}
  Value(long i) : v_(static_cast<int64_t>(i)) {}
  Value(long long i) : v_(static_cast<int64_t>(i)) {}
  Value(unsigned i) : v_(static_cast<int64_t>(i)) {}
  Value(unsigned long i);       // BigInt when above int64
  Value(unsigned long long i);  // BigInt when above int64
  Value(double d) : v_(d) {}
  Value(BigInt b) : v_(std::move(b)) {}
  Value(const char* s) : v_(std::string(s)) {}
  Value(std::string s) : v_(std::move(s)) {}
  Value(std::string_view s) : v_(std::string(s)) {}
  Value(Array a) : v_(std::move(a)) {}
  Value(Object o) : v_(std::move(o)) {}

  Type type() const { return static_cast<Type>(v_.index()); }
  bool is_null() const { return type() == Type::Null; }
  bool is_bool() const { return type() == Type::Bool; }
  bool is_int() const { return type() == Type::Int; }        // fits int64
  bool is_bigint() const { return type() == Type::BigInt; }
  bool is_integer() const { return is_int() || is_bigint(); }  // Python int, bool excluded
  bool is_float() const { return type() == Type::Float; }
  bool is_number() const { return is_integer() || is_float(); }
  bool is_string() const { return type() == Type::String; }
  bool is_array() const { return type() == Type::Array; }
  bool is_object() const { return type() == Type::Object; }

  // Typed access; each throws json::TypeError on another type.
  bool as_bool() const;
  int64_t as_int() const;
  const BigInt& as_bigint() const;
  double as_double() const;  // a Float, or an Int converted
  const std::string& as_string() const;
  std::string& as_string();
  const Array& as_array() const;
  Array& as_array();
  const Object& as_object() const;
  Object& as_object();

  // Member lookup that tolerates anything: nullptr unless this is an object holding `key`.
  const Value* find(std::string_view key) const;
  Value* find(std::string_view key);
  // Object member (throws TypeError if not an object, std::out_of_range if absent).
  const Value& operator[](std::string_view key) const;

  // Python truthiness: None, False, 0, 0.0, "", [], {} are false.
  bool truthy() const;

  bool operator==(const Value& o) const;  // structural; Int 1 != Float 1.0 != true

 private:
  std::variant<std::monostate, bool, int64_t, BigInt, double, std::string, Array, Object> v_;
};

struct Member {
  std::string key;
  Value value;
};

// ---- reading --------------------------------------------------------------

// A parse failure, with Python's json.JSONDecodeError text, e.g.
// "Expecting value: line 1 column 1 (char 0)".
struct ParseError : std::runtime_error {
  ParseError(const std::string& msg, size_t pos) : std::runtime_error(msg), pos(pos) {}
  size_t pos;  // code point offset, as Python reports it
};

// json.loads(text) for a decoded (UTF-8) str. Accepts what Python accepts:
// NaN, Infinity, -Infinity, integers of any size, surrounding whitespace.
Value parse(std::string_view text);

// For a large document read for one array only: when `text` is an object
// with exactly one member `key`, holding an array, passes that array's
// elements to `each` in order, each as parse() would give it, while the rest
// of the document is only checked, never built; then returns true. `each`
// returning false stops the reading there (and true is returned).
// Returns false for anything else and for what only parse() reads exactly
// (malformed text, other top levels, a missing or repeated `key`, NaN,
// integers beyond 64 bits, deep nesting, ...): parse() must then decide, and
// whatever was passed to `each` before that was found is to be dropped.
// `text` needs 64 spare bytes of capacity past its size to be read in place;
// they are reserved when missing.
bool for_each_element(std::string& text, std::string_view key, const std::function<bool(Value&&)>& each);

// Reads a file as "utf-8-sig" (a leading byte-order mark dropped) decoded with
// `errors`, then parses it. Throws fs::OsError, std::runtime_error (decoding)
// or ParseError.
Value load_file(const std::string& path, text::Errors errors = text::Errors::Strict);

// ---- writing --------------------------------------------------------------

struct DumpOptions {
  int indent = -1;           // -1: one line; >= 0: that many spaces per level
  bool ensure_ascii = true;  // escape everything outside space..tilde
  // Separators as json.dumps chooses them: (", ", ": ") on one line, ("," , ": ") indented.
};

std::string dumps(const Value& v, const DumpOptions& opt = {});
void dump_to(std::string& out, const Value& v, const DumpOptions& opt = {});
// A JSON string literal for `s` (with quotes).
void dump_string(std::string& out, std::string_view s, bool ensure_ascii = true);

// Python repr of a float: "1.0", "1e+16", "1e-05", "nan", "inf" (not JSON's NaN/Infinity).
std::string float_repr(double d);

// Python str() / repr() of the value as json.loads would have returned it:
// None, True, False, 1, 1.0, 'text', [1, 'x'], {'a': 1}. str() of a string is the string itself.
std::string py_str(const Value& v);
std::string py_repr(const Value& v);

}  // namespace kestrune::json
