// json::Value and json::Object: access, comparison and the ordered map.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <stdexcept>
#include <string>

#include "kestrune/base/json.h"

namespace kestrune::json {

namespace {

// Above this many members an object keeps a hash index; below it a linear scan
// over short keys beats hashing.
constexpr size_t kIndexThreshold = 16;

const char* type_name(Value::Type t) {
  switch (t) {
    case Value::Type::Null: return "None";
    case Value::Type::Bool: return "bool";
    case Value::Type::Int:
    case Value::Type::BigInt: return "int";
    case Value::Type::Float: return "float";
    case Value::Type::String: return "str";
    case Value::Type::Array: return "list";
    case Value::Type::Object: return "dict";
  }
  return "?";
}

[[noreturn]] void type_error(const char* want, Value::Type got) {
  throw TypeError(std::string("expected ") + want + ", got " + type_name(got));
}

// The index is keyed by std::string without heterogeneous lookup; a reused
// per-thread buffer keeps lookups by string_view free of allocations.
std::string& scratch_key(std::string_view key) {
  thread_local std::string buf;
  buf.assign(key.data(), key.size());
  return buf;
}

}  // namespace

// ---- Object -----------------------------------------------------------------

Object::Object() = default;
Object::Object(const Object& o) : members_(o.members_) { index_if_large(); }
Object::Object(Object&&) noexcept = default;
Object& Object::operator=(const Object& o) {
  if (this != &o) {
    members_ = o.members_;
    index_.reset();
    index_if_large();
  }
  return *this;
}
Object& Object::operator=(Object&&) noexcept = default;
Object::~Object() = default;

size_t Object::size() const { return members_.size(); }
void Object::reserve(size_t n) {
  members_.reserve(n);
  if (index_) index_->reserve(n);
}
bool Object::empty() const { return members_.empty(); }

void Object::index_if_large() {
  if (index_ || members_.size() <= kIndexThreshold) return;
  index_ = std::make_unique<std::unordered_map<std::string, size_t>>();
  index_->reserve(std::max(members_.capacity(), members_.size() * 2));
  for (size_t i = 0; i < members_.size(); ++i) index_->emplace(members_[i].key, i);
}

const Value* Object::find(std::string_view key) const {
  if (index_) {
    auto it = index_->find(scratch_key(key));
    return it == index_->end() ? nullptr : &members_[it->second].value;
  }
  for (const Member& m : members_)
    if (m.key == key) return &m.value;
  return nullptr;
}

Value* Object::find(std::string_view key) {
  return const_cast<Value*>(static_cast<const Object*>(this)->find(key));
}

const Value& Object::at(std::string_view key) const {
  if (const Value* v = find(key)) return *v;
  throw std::out_of_range("missing key " + py_repr(Value(key)));
}

Value& Object::set(std::string key, Value v) {
  if (Value* cur = find(key)) {
    *cur = std::move(v);
    return *cur;
  }
  return append(std::move(key), std::move(v));
}

Value& Object::append(std::string key, Value v) {
  members_.push_back(Member{std::move(key), std::move(v)});
  if (index_)
    index_->emplace(members_.back().key, members_.size() - 1);
  else
    index_if_large();
  return members_.back().value;
}

bool Object::erase(std::string_view key) {
  size_t pos = members_.size();
  if (index_) {
    auto it = index_->find(scratch_key(key));
    if (it == index_->end()) return false;
    pos = it->second;
    index_->erase(it);
    for (auto& [k, i] : *index_)
      if (i > pos) --i;
  } else {
    for (size_t i = 0; i < members_.size(); ++i)
      if (members_[i].key == key) {
        pos = i;
        break;
      }
    if (pos == members_.size()) return false;
  }
  members_.erase(members_.begin() + static_cast<std::ptrdiff_t>(pos));
  return true;
}

std::vector<Member>::const_iterator Object::begin() const { return members_.begin(); }
std::vector<Member>::const_iterator Object::end() const { return members_.end(); }
std::vector<Member>::iterator Object::begin() { return members_.begin(); }
std::vector<Member>::iterator Object::end() { return members_.end(); }
const std::vector<Member>& Object::members() const { return members_; }

bool Object::operator==(const Object& o) const {
  if (members_.size() != o.members_.size()) return false;
  for (size_t i = 0; i < members_.size(); ++i)
    if (members_[i].key != o.members_[i].key || !(members_[i].value == o.members_[i].value))
      return false;
  return true;
}

// ---- Value ------------------------------------------------------------------

namespace {
constexpr unsigned long long kInt64Max = 9223372036854775807ULL;
}

Value::Value(unsigned long i) : Value(static_cast<unsigned long long>(i)) {}
Value::Value(unsigned long long i) {
  if (i <= kInt64Max)
    v_ = static_cast<int64_t>(i);
  else
    v_ = BigInt{std::to_string(i)};
}

bool Value::as_bool() const {
  if (!is_bool()) type_error("bool", type());
  return std::get<bool>(v_);
}
int64_t Value::as_int() const {
  if (!is_int()) type_error("int", type());
  return std::get<int64_t>(v_);
}
const BigInt& Value::as_bigint() const {
  if (!is_bigint()) type_error("int", type());
  return std::get<BigInt>(v_);
}
double Value::as_double() const {
  switch (type()) {
    case Type::Float: return std::get<double>(v_);
    case Type::Int: return static_cast<double>(std::get<int64_t>(v_));
    case Type::BigInt: {
      const std::string& digits = std::get<BigInt>(v_).digits;
      double d = 0;
      if (std::from_chars(digits.data(), digits.data() + digits.size(), d).ec == std::errc::result_out_of_range)
        d = digits.starts_with("-") ? -HUGE_VAL : HUGE_VAL;
      return d;
    }
    default: type_error("float", type());
  }
}
const std::string& Value::as_string() const {
  if (!is_string()) type_error("str", type());
  return std::get<std::string>(v_);
}
std::string& Value::as_string() {
  if (!is_string()) type_error("str", type());
  return std::get<std::string>(v_);
}
const Array& Value::as_array() const {
  if (!is_array()) type_error("list", type());
  return std::get<Array>(v_);
}
Array& Value::as_array() {
  if (!is_array()) type_error("list", type());
  return std::get<Array>(v_);
}
const Object& Value::as_object() const {
  if (!is_object()) type_error("dict", type());
  return std::get<Object>(v_);
}
Object& Value::as_object() {
  if (!is_object()) type_error("dict", type());
  return std::get<Object>(v_);
}

const Value* Value::find(std::string_view key) const {
  return is_object() ? std::get<Object>(v_).find(key) : nullptr;
}
Value* Value::find(std::string_view key) {
  return is_object() ? std::get<Object>(v_).find(key) : nullptr;
}
const Value& Value::operator[](std::string_view key) const { return as_object().at(key); }

bool Value::truthy() const {
  switch (type()) {
    case Type::Null: return false;
    case Type::Bool: return std::get<bool>(v_);
    case Type::Int: return std::get<int64_t>(v_) != 0;
    case Type::BigInt: return true;  // never zero: zero fits int64
    case Type::Float: return std::get<double>(v_) != 0.0;
    case Type::String: return !std::get<std::string>(v_).empty();
    case Type::Array: return !std::get<Array>(v_).empty();
    case Type::Object: return !std::get<Object>(v_).empty();
  }
  return false;
}

bool Value::operator==(const Value& o) const { return v_ == o.v_; }

}  // namespace kestrune::json
