// JSON values for messages from other programs (a browser's extension): read with a size and
// depth the reader bounds, written compact in UTF-8.
#pragma once
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct JsonValue {
  enum class Kind { Null, Bool, Number, String, Array, Object };
  Kind kind = Kind::Null;
  bool boolean = false;
  double number = 0;
  std::string text;                                         // String
  std::vector<JsonValue> items;                             // Array
  std::vector<std::pair<std::string, JsonValue>> members;  // Object, in their order

  static JsonValue of(const std::string& s);
  static JsonValue of(const char* s) { return of(std::string(s)); }
  static JsonValue of(bool b);
  static JsonValue object(std::vector<std::pair<std::string, JsonValue>> members);

  bool isObject() const { return kind == Kind::Object; }
  // The member called name, nullptr when there is none (or this is no object).
  const JsonValue* member(const std::string& name) const;
  // That member's text: "" when it is missing or no string.
  std::string string(const std::string& name) const;
};

// The object or array text holds, nullopt when it is neither: malformed, a lone value, a
// string that is no UTF-8, or nested deeper than a message needs.
std::optional<JsonValue> ParseJson(const std::string& text);
// An object or array as compact JSON (any other value is written as an empty object).
std::string WriteJson(const JsonValue& value);
