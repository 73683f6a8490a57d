// A minimal streaming JSON writer for --json output.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

namespace velocyn::sim_cli {

class JsonWriter {
 public:
  explicit JsonWriter(std::ostream& out) : out_(out) {}

  JsonWriter& BeginObject() { return Open('{'); }
  JsonWriter& EndObject() { return Close('}'); }
  JsonWriter& BeginArray() { return Open('['); }
  JsonWriter& EndArray() { return Close(']'); }
  JsonWriter& Key(const std::string& key) {
    Separate();
    Quote(key);
    out_ << ':';
    afterKey_ = true;
    return *this;
  }
  JsonWriter& String(const std::string& text) {
    Separate();
    Quote(text);
    return *this;
  }
  JsonWriter& Number(uint64_t value) {
    Separate();
    out_ << value;
    return *this;
  }
  JsonWriter& Number(int64_t value) {
    Separate();
    out_ << value;
    return *this;
  }
  JsonWriter& Bool(bool value) {
    Separate();
    out_ << (value ? "true" : "false");
    return *this;
  }
  JsonWriter& Null() {
    Separate();
    out_ << "null";
    return *this;
  }

 private:
  JsonWriter& Open(char bracket) {
    Separate();
    out_ << bracket;
    first_.push_back(true);
    return *this;
  }
  JsonWriter& Close(char bracket) {
    out_ << bracket;
    first_.pop_back();
    return *this;
  }
  void Separate() {
    if (afterKey_) {
      afterKey_ = false;
      return;
    }
    if (first_.empty()) return;
    if (!first_.back()) out_ << ',';
    first_.back() = false;
  }
  void Quote(const std::string& text) {
    out_ << '"';
    for (unsigned char c : text) {
      if (c == '"' || c == '\\') {
        out_ << '\\' << c;
      } else if (c < 0x20) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
        out_ << escaped;
      } else {
        out_ << c;
      }
    }
    out_ << '"';
  }

  std::ostream& out_;
  std::vector<bool> first_;
  bool afterKey_ = false;
};

}  // namespace velocyn::sim_cli
