// A strict JSON reader for the tests (RFC 8259): a document that is not
// valid JSON, or not valid UTF-8, is refused with the reason; strings come
// back decoded (escapes resolved, as UTF-8).
#ifndef OSTRELO_JSON_CHECK_H
#define OSTRELO_JSON_CHECK_H

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace jsoncheck {

struct Value {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    std::string text; // a string's decoded bytes, a number's or a literal's text
    std::vector<Value> items;
    std::vector<std::pair<std::string, Value>> members;

    // The member `key`, or a null value.
    const Value &operator[](const std::string &key) const {
        static const Value none;
        for (const auto &m : members) {
            if (m.first == key) {
                return m.second;
            }
        }
        return none;
    }
    bool has(const std::string &key) const {
        for (const auto &m : members) {
            if (m.first == key) {
                return true;
            }
        }
        return false;
    }
};

class Reader {
  public:
    explicit Reader(const std::string &doc) : s_(doc) {}

    bool read(Value *out, std::string *error) {
        space();
        if (!value(out, 0)) {
            *error = why_ + " at byte " + std::to_string(at_);
            return false;
        }
        space();
        if (at_ != s_.size()) {
            *error = "text after the document at byte " + std::to_string(at_);
            return false;
        }
        return true;
    }

  private:
    bool fail(const char *why) {
        why_ = why;
        return false;
    }
    void space() {
        while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\n' || s_[at_] == '\r')) {
            ++at_;
        }
    }
    bool eat(char c) {
        space();
        if (at_ < s_.size() && s_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    static void put_utf8(uint32_t cp, std::string *out) {
        if (cp < 0x80) {
            *out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            *out += static_cast<char>(0xC0 | cp >> 6);
            *out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            *out += static_cast<char>(0xE0 | cp >> 12);
            *out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            *out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            *out += static_cast<char>(0xF0 | cp >> 18);
            *out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
            *out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            *out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    bool hex4(uint32_t *v) {
        if (s_.size() - at_ < 4) {
            return false;
        }
        *v = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = s_[at_++];
            const int d = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
            if (d < 0) {
                return false;
            }
            *v = *v << 4 | static_cast<uint32_t>(d);
        }
        return true;
    }
    // One raw UTF-8 sequence at at_ (RFC 3629), copied to `out`.
    bool raw_utf8(std::string *out) {
        const unsigned char c = static_cast<unsigned char>(s_[at_]);
        size_t n = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
        if (n == 0 || s_.size() - at_ < n) {
            return false;
        }
        uint32_t cp = c & (n == 2 ? 0x1F : n == 3 ? 0x0F : 0x07);
        for (size_t k = 1; k < n; ++k) {
            const unsigned char b = static_cast<unsigned char>(s_[at_ + k]);
            if ((b & 0xC0) != 0x80) {
                return false;
            }
            cp = cp << 6 | (b & 0x3F);
        }
        if ((n == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
            (n == 4 && (cp < 0x10000 || cp > 0x10FFFF))) {
            return false;
        }
        out->append(s_, at_, n);
        at_ += n;
        return true;
    }
    bool string(std::string *out) {
        if (!eat('"')) {
            return fail("a string expected");
        }
        for (;;) {
            if (at_ >= s_.size()) {
                return fail("an unended string");
            }
            const unsigned char c = static_cast<unsigned char>(s_[at_]);
            if (c == '"') {
                ++at_;
                return true;
            }
            if (c < 0x20) {
                return fail("a control character in a string");
            }
            if (c >= 0x80) {
                if (!raw_utf8(out)) {
                    return fail("not UTF-8");
                }
                continue;
            }
            ++at_;
            if (c != '\\') {
                *out += static_cast<char>(c);
                continue;
            }
            if (at_ >= s_.size()) {
                return fail("an unended escape");
            }
            const char e = s_[at_++];
            static const char kFrom[] = "\"\\/bfnrt";
            static const char kTo[] = "\"\\/\b\f\n\r\t";
            const char *simple = strchr(kFrom, e);
            if (e != '\0' && simple != nullptr) {
                *out += kTo[simple - kFrom];
                continue;
            }
            uint32_t cp = 0;
            if (e != 'u' || !hex4(&cp)) {
                return fail("a bad escape");
            }
            if (cp >= 0xDC00 && cp <= 0xDFFF) {
                return fail("a lone low surrogate");
            }
            if (cp >= 0xD800 && cp <= 0xDBFF) {
                uint32_t lo = 0;
                if (s_.compare(at_, 2, "\\u") != 0 || (at_ += 2, !hex4(&lo)) || lo < 0xDC00 || lo > 0xDFFF) {
                    return fail("a lone high surrogate");
                }
                cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
            }
            put_utf8(cp, out);
        }
    }
    bool number(Value *v) {
        const size_t start = at_;
        auto digits = [&]() {
            const size_t from = at_;
            while (at_ < s_.size() && s_[at_] >= '0' && s_[at_] <= '9') {
                ++at_;
            }
            return at_ > from;
        };
        if (at_ < s_.size() && s_[at_] == '-') {
            ++at_;
        }
        if (at_ < s_.size() && s_[at_] == '0') {
            ++at_;
        } else if (!digits()) {
            return fail("a value expected");
        }
        if (at_ < s_.size() && s_[at_] == '.' && (++at_, !digits())) {
            return fail("a bad fraction");
        }
        if (at_ < s_.size() && (s_[at_] == 'e' || s_[at_] == 'E')) {
            ++at_;
            if (at_ < s_.size() && (s_[at_] == '+' || s_[at_] == '-')) {
                ++at_;
            }
            if (!digits()) {
                return fail("a bad exponent");
            }
        }
        v->kind = Value::Number;
        v->text = s_.substr(start, at_ - start);
        return true;
    }
    bool value(Value *v, int depth) {
        if (depth > 64) {
            return fail("nested too deep");
        }
        space();
        if (at_ >= s_.size()) {
            return fail("a value expected");
        }
        const char c = s_[at_];
        if (c == '{') {
            ++at_;
            v->kind = Value::Object;
            if (eat('}')) {
                return true;
            }
            do {
                std::pair<std::string, Value> m;
                if (!string(&m.first) || !eat(':') || !value(&m.second, depth + 1)) {
                    return why_.empty() ? fail("a member expected") : false;
                }
                v->members.push_back(std::move(m));
            } while (eat(','));
            return eat('}') || fail("'}' expected");
        }
        if (c == '[') {
            ++at_;
            v->kind = Value::Array;
            if (eat(']')) {
                return true;
            }
            do {
                Value item;
                if (!value(&item, depth + 1)) {
                    return false;
                }
                v->items.push_back(std::move(item));
            } while (eat(','));
            return eat(']') || fail("']' expected");
        }
        if (c == '"') {
            v->kind = Value::String;
            return string(&v->text);
        }
        for (const char *word : {"null", "true", "false"}) {
            if (s_.compare(at_, strlen(word), word) == 0) {
                at_ += strlen(word);
                v->kind = word[0] == 'n' ? Value::Null : Value::Bool;
                v->text = word;
                return true;
            }
        }
        return number(v);
    }

    const std::string &s_;
    size_t at_ = 0;
    std::string why_;
};

// Reads `doc`; false (with the reason in `error`) when it is not valid.
inline bool parse(const std::string &doc, Value *out, std::string *error) {
    return Reader(doc).read(out, error);
}

} // namespace jsoncheck

#endif
