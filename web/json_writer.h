// JsonWriter: a JSON document written in one pass, keys in the order they are given. Small on
// purpose: the page's module carries no general JSON library, and the documents it answers
// with are flat lists of numbers and short strings.
#ifndef WEB_JSON_WRITER_H
#define WEB_JSON_WRITER_H

#include <cstdint>
#include <cstdio>
#include <string>

namespace web {

class JsonWriter {
  public:
    // Containers: begin with an optional key (inside an object), end in order.
    JsonWriter& beginObject(const char* key = nullptr) { return open(key, '{'); }
    JsonWriter& beginArray(const char* key = nullptr) { return open(key, '['); }
    JsonWriter& end() {
        out_ += closers_.back();
        closers_.pop_back();
        first_ = false;
        return *this;
    }
    // Values, each with its key inside an object, without one inside an array.
    JsonWriter& string(const char* key, const std::string& value) {
        name(key);
        quote(value);
        return *this;
    }
    JsonWriter& number(const char* key, int64_t value) {
        name(key);
        out_ += std::to_string(value);
        return *this;
    }
    JsonWriter& boolean(const char* key, bool value) {
        name(key);
        out_ += value ? "true" : "false";
        return *this;
    }
    JsonWriter& null(const char* key) {
        name(key);
        out_ += "null";
        return *this;
    }
    const std::string& text() const { return out_; }

  private:
    JsonWriter& open(const char* key, char opener) {
        name(key);
        out_ += opener;
        closers_ += opener == '{' ? '}' : ']';
        first_ = true;
        return *this;
    }
    void name(const char* key) {
        if (!first_) out_ += ',';
        first_ = false;
        if (key != nullptr) {
            quote(key);
            out_ += ':';
        }
    }
    // The text must be UTF-8 (callers convert names first); control bytes are escaped.
    void quote(const std::string& text) {
        out_ += '"';
        for (const char c : text) {
            if (c == '"' || c == '\\') {
                out_ += '\\';
                out_ += c;
            } else if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", unsigned(c));
                out_ += escaped;
            } else {
                out_ += c;
            }
        }
        out_ += '"';
    }

    std::string out_;
    std::string closers_;
    bool first_ = true;
};

}  // namespace web

#endif  // WEB_JSON_WRITER_H
