// Hand-written JSON for topctl's --json output: one object per command,
// members in the order they are written, so that keys stay stable.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace topctl {

class JsonWriter {
public:
    JsonWriter& beginObject() { return open('{'); }
    JsonWriter& endObject() { return close('}'); }
    JsonWriter& beginArray() { return open('['); }
    JsonWriter& endArray() { return close(']'); }
    // A member name inside an object; the next value belongs to it.
    JsonWriter& key(std::string const& k) {
        separate();
        quote(k);
        out_ += ':';
        afterKey_ = true;
        return *this;
    }
    JsonWriter& value(std::string const& v) {
        separate();
        quote(v);
        return *this;
    }
    JsonWriter& value(char const* v) { return value(std::string(v)); }
    JsonWriter& value(bool v) { return raw(v ? "true" : "false"); }
    JsonWriter& value(long long v) { return raw(std::to_string(v)); }
    JsonWriter& value(unsigned long long v) { return raw(std::to_string(v)); }
    JsonWriter& value(long v) { return value(static_cast<long long>(v)); }
    JsonWriter& value(unsigned long v) { return value(static_cast<unsigned long long>(v)); }
    JsonWriter& value(int v) { return value(static_cast<long long>(v)); }
    JsonWriter& value(unsigned v) { return value(static_cast<unsigned long long>(v)); }
    JsonWriter& value(short v) { return value(static_cast<long long>(v)); }
    JsonWriter& null() { return raw("null"); }
    template <class T>
    JsonWriter& member(std::string const& k, T const& v) {
        key(k);
        return value(v);
    }
    std::string const& text() const { return out_; }

private:
    JsonWriter& open(char c) {
        separate();
        out_ += c;
        first_.push_back(true);
        return *this;
    }
    JsonWriter& close(char c) {
        out_ += c;
        if (!first_.empty()) first_.pop_back();
        return *this;
    }
    JsonWriter& raw(std::string const& text) {
        separate();
        out_ += text;
        return *this;
    }
    // A comma before every element but the first of its container.
    void separate() {
        if (afterKey_) {
            afterKey_ = false;
            return;
        }
        if (first_.empty()) return;
        if (!first_.back()) out_ += ',';
        first_.back() = false;
    }
    void quote(std::string const& s) {
        out_ += '"';
        for (unsigned char c : s) {
            if (c == '"' || c == '\\') {
                out_ += '\\';
                out_ += char(c);
            } else if (c == '\n') {
                out_ += "\\n";
            } else if (c == '\t') {
                out_ += "\\t";
            } else if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out_ += buf;
            } else {
                out_ += char(c);
            }
        }
        out_ += '"';
    }

    std::string out_;
    std::vector<bool> first_;
    bool afterKey_ = false;
};

}  // namespace topctl
