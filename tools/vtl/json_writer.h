#pragma once
// One flat JSON object, keys in the order they were added, written on one line. What
// vtl prints is strings, numbers, booleans and arrays of strings, so this is all
// it needs. Strings may hold any bytes (a frame off the line): bytes outside printable
// ASCII are written as \u00XX escapes, so the output is always valid JSON.
#include <cstdint>
#include <string>
#include <vector>

class JsonObject {
 public:
  JsonObject& Add(const std::string& key, const std::string& value) {
    return Raw(key, Quote(value));
  }
  JsonObject& Add(const std::string& key, const char* value) { return Add(key, std::string(value)); }
  JsonObject& Add(const std::string& key, long long value) {
    return Raw(key, std::to_string(value));
  }
  JsonObject& Add(const std::string& key, int value) { return Add(key, static_cast<long long>(value)); }
  JsonObject& Add(const std::string& key, unsigned value) {
    return Add(key, static_cast<long long>(value));
  }
  JsonObject& Add(const std::string& key, bool value) { return Raw(key, value ? "true" : "false"); }
  JsonObject& Add(const std::string& key, const std::vector<std::string>& values) {
    std::string list = "[";
    for (size_t i = 0; i < values.size(); ++i) list += (i ? "," : "") + Quote(values[i]);
    return Raw(key, list + "]");
  }
  // A value already written as JSON (a number or a literal).
  JsonObject& Raw(const std::string& key, const std::string& json) {
    body += (body.empty() ? "" : ",") + Quote(key) + ":" + json;
    return *this;
  }
  // Appends every field of `other`, in its order.
  JsonObject& Merge(const JsonObject& other) {
    if (!other.body.empty()) body += (body.empty() ? "" : ",") + other.body;
    return *this;
  }
  bool Empty() const { return body.empty(); }
  std::string Text() const { return "{" + body + "}"; }

  static std::string Quote(const std::string& text) {
    static const char digits[] = "0123456789abcdef";
    std::string out = "\"";
    for (const char c : text) {
      const auto u = static_cast<unsigned char>(c);
      switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
          if (u < 0x20 || u > 0x7E) {
            out += "\\u00";
            out += digits[u >> 4];
            out += digits[u & 15];
          } else {
            out += c;
          }
      }
    }
    return out + "\"";
  }

 private:
  std::string body;
};
