// The card's JSON writer: string quoting and a writer of one member per line, the
// shape of the status document (vu.json). The tree reader tool quotes its texts
// with the same function.
#ifndef TVK_JSONWRITER_H
#define TVK_JSONWRITER_H

#include <cstddef>
#include <string>

namespace json {

// Appends the text as a JSON string literal, quotes included. The text ends at its
// first NUL or after `size` bytes, whichever comes first (a fixed text array is
// never read past its size). Quote and backslash are escaped; every byte outside
// printable ASCII is written as \u00XX, so the result is valid JSON whatever the
// bytes were.
void appendQuoted(std::string &out, const char *text, size_t size);
// The same for a whole string (every byte of it, NUL bytes escaped too).
void appendQuoted(std::string &out, const std::string &s);

// Writes members as `"KEY": value,` followed by a line feed, one per line.
// The caller writes the framing (opening brace, lists, closing text) with raw().
class LineWriter {
public:
    explicit LineWriter(std::string &out) : out_(out) {}

    void raw(const char *text) { out_ += text; }
    void raw(const std::string &text) { out_ += text; }
    void boolean(const char *key, bool v);
    void integer(const char *key, long long v);
    void text(const char *key, const char *p, size_t size);
    std::string &out() { return out_; }

private:
    void key(const char *k);
    std::string &out_;
};

} // namespace json

#endif
