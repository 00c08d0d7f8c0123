// A strict JSON reader for tests of tools' --json output: anything that is
// not one complete, valid JSON text fails to parse.
#pragma once

#include <cctype>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

struct JsonValue {
    enum Type { Null, Bool, Number, String, Array, Object } type = Null;
    bool b = false;
    double n = 0;
    std::string s;
    std::vector<JsonValue> items;
    std::map<std::string, JsonValue> members;

    // Member or element; a missing one reads as null.
    JsonValue const& operator[](std::string const& k) const {
        static JsonValue const none;
        auto it = members.find(k);
        return it == members.end() ? none : it->second;
    }
    JsonValue const& operator[](size_t i) const {
        static JsonValue const none;
        return i < items.size() ? items[i] : none;
    }

    // False when `text` is not exactly one JSON value (surrounding blanks aside).
    static bool parse(std::string const& text, JsonValue* out) {
        size_t pos = 0;
        return value(text, pos, out, 0) && (skip(text, pos), pos == text.size());
    }

private:
    static void skip(std::string const& t, size_t& p) {
        while (p < t.size() && std::isspace(static_cast<unsigned char>(t[p]))) ++p;
    }
    static bool literal(std::string const& t, size_t& p, char const* word) {
        size_t n = std::char_traits<char>::length(word);
        if (t.compare(p, n, word) != 0) return false;
        p += n;
        return true;
    }
    static bool string(std::string const& t, size_t& p, std::string* out) {
        if (p >= t.size() || t[p] != '"') return false;
        for (++p; p < t.size(); ++p) {
            char c = t[p];
            if (c == '"') return ++p, true;
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c != '\\') {
                *out += c;
                continue;
            }
            if (++p >= t.size()) return false;
            char e = t[p];
            if (e == 'u') {
                if (p + 4 >= t.size()) return false;
                *out += static_cast<char>(std::strtol(t.substr(p + 1, 4).c_str(), nullptr, 16));
                p += 4;
            } else if (std::string("\"\\/bfnrt").find(e) != std::string::npos) {
                *out += e == 'n' ? '\n' : e == 't' ? '\t' : e;
            } else {
                return false;
            }
        }
        return false;
    }
    static bool value(std::string const& t, size_t& p, JsonValue* v, int depth) {
        skip(t, p);
        if (p >= t.size() || depth > 64) return false;
        char c = t[p];
        if (c == 'n') return literal(t, p, "null");
        if (c == 't' || c == 'f') {
            v->type = Bool;
            v->b = c == 't';
            return literal(t, p, v->b ? "true" : "false");
        }
        if (c == '"') return v->type = String, string(t, p, &v->s);
        if (c == '[' || c == '{') {
            bool const object = c == '{';
            v->type = object ? Object : Array;
            skip(t, ++p);
            if (p < t.size() && t[p] == (object ? '}' : ']')) return ++p, true;
            for (;;) {
                std::string k;
                if (object && (skip(t, p), !string(t, p, &k) || (skip(t, p), p >= t.size() || t[p++] != ':')))
                    return false;
                JsonValue item;
                if (!value(t, p, &item, depth + 1)) return false;
                if (object)
                    v->members[k] = item;
                else
                    v->items.push_back(item);
                skip(t, p);
                if (p >= t.size()) return false;
                if (t[p] == ',') {
                    ++p;
                    continue;
                }
                return t[p++] == (object ? '}' : ']');
            }
        }
        char* end = nullptr;
        v->type = Number;
        v->n = std::strtod(t.c_str() + p, &end);
        if (end == t.c_str() + p || (c != '-' && !std::isdigit(static_cast<unsigned char>(c)))) return false;
        p = static_cast<size_t>(end - t.c_str());
        return true;
    }
};

}  // namespace testsupport
