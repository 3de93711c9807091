#include "JsonWriter.h"

#include <cstdio>

namespace json {

namespace {

void quoted(std::string &out, const char *text, size_t size, bool stopAtNul)
{
    static const char hex[] = "0123456789ABCDEF";
    out += '"';
    for (size_t i = 0; text && i < size && (text[i] || !stopAtNul); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"') {
            out += "\\\"";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7F) {
            out += char(c);
        } else {
            out += "\\u00";
            out += hex[c >> 4];
            out += hex[c & 0x0F];
        }
    }
    out += '"';
}

} // namespace

void appendQuoted(std::string &out, const char *text, size_t size) { quoted(out, text, size, true); }

void appendQuoted(std::string &out, const std::string &s) { quoted(out, s.data(), s.size(), false); }

void LineWriter::key(const char *k)
{
    out_ += '"';
    out_ += k;
    out_ += "\": ";
}

void LineWriter::boolean(const char *k, bool v)
{
    key(k);
    out_ += v ? "true,\n" : "false,\n";
}

void LineWriter::integer(const char *k, long long v)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%lld,\n", v);
    key(k);
    out_ += buf;
}

void LineWriter::text(const char *k, const char *p, size_t size)
{
    key(k);
    appendQuoted(out_, p, size);
    out_ += ",\n";
}

} // namespace json
