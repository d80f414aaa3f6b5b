// csv.cpp: the host's CSV reader, one pass over the text.
#include "csv.h"

#include <ctype.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <charconv>
#include <cmath>

namespace swma_host {
namespace {

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

// Splits one line into fields. On an unterminated quote returns false with `bad` at the
// quote's offset in the line.
bool split_fields(std::string_view line, std::vector<std::string_view> &fields, size_t &bad)
{
    fields.clear();
    size_t i = 0;
    for (;;) {
        const size_t start = i;
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            i++;
        if (i < line.size() && line[i] == '"') {
            const size_t quote = i++;
            while (i < line.size() && !(line[i] == '"' && (i + 1 >= line.size() || line[i + 1] != '"')))
                i += line[i] == '"' ? 2 : 1;
            if (i >= line.size()) {
                bad = quote;
                return false;
            }
            i++;
        }
        while (i < line.size() && line[i] != ',')
            i++;
        fields.push_back(line.substr(start, i - start));
        if (i >= line.size())
            return true;
        i++;
    }
}

std::string unquote(std::string_view f)
{
    f = trim(f);
    if (f.size() >= 2 && f.front() == '"' && f.back() == '"') {
        std::string s;
        for (size_t i = 1; i + 1 < f.size(); i++) {
            s += f[i];
            if (f[i] == '"')
                i++;
        }
        return s;
    }
    return std::string(f);
}

// The text of a field as a number would be read: trimmed, without quotes, without a '+'.
template <typename T> bool parse_number(std::string_view field, T &out)
{
    std::string_view f = trim(field);
    std::string scratch;
    if (!f.empty() && f.front() == '"') {
        scratch = unquote(f);
        f = scratch;
    }
    if (!f.empty() && f.front() == '+') {
        f.remove_prefix(1);
        if (!f.empty() && f.front() == '-')
            return false;
    }
    if (f.empty())
        return false;
    auto r = std::from_chars(f.data(), f.data() + f.size(), out);
    return r.ec == std::errc() && r.ptr == f.data() + f.size();
}

bool ieq(const std::string &a, const char *b)
{
    if (a.size() != strlen(b))
        return false;
    for (size_t i = 0; i < a.size(); i++)
        if (tolower((unsigned char)a[i]) != tolower((unsigned char)b[i]))
            return false;
    return true;
}

bool reject(CsvError &e, size_t line, size_t column, std::string message)
{
    e.line = line;
    e.column = column;
    e.message = std::move(message);
    return false;
}

} // namespace

std::string_view line_at(const std::string &text, size_t pos)
{
    const void *nl = memchr(text.data() + pos, '\n', text.size() - pos);
    const size_t end = nl ? size_t(static_cast<const char *>(nl) - text.data()) : text.size();
    std::string_view line(text.data() + pos, end - pos);
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    return line;
}

bool parse_float(std::string_view field, float &out) { return parse_number(field, out); }

namespace {

// The line at `pos`, and `pos` moved past its line break.
std::string_view take_line(const std::string &text, size_t &pos)
{
    const std::string_view line = line_at(text, pos);
    pos += line.size();
    pos = pos < text.size() && text[pos] == '\r' ? pos + 1 : pos;
    pos = pos < text.size() ? pos + 1 : pos; // past the '\n'
    return line;
}

} // namespace

bool next_data_line(const std::string &text, size_t &pos, std::string_view &line)
{
    while (pos < text.size()) {
        line = take_line(text, pos);
        if (!trim(line).empty())
            return true;
    }
    return false;
}

// Keeps 4 bytes a row (its value) besides the text itself, reserved up front from the count of
// line breaks so that growing the vector never holds two copies.
bool read_csv(const std::string &text, const CsvOptions &options, Table &t, CsvError &error)
{
    t = Table();
    const size_t lines = size_t(std::count(text.begin(), text.end(), '\n')) + 1;
    t.values.reserve(std::min(lines, size_t(INT32_MAX)));
    std::vector<std::string_view> fields;
    size_t pos = 0, number = 0, bad = 0;
    bool first = true, x_numeric = false;
    while (pos < text.size()) {
        const std::string_view line = take_line(text, pos);
        number++;
        if (trim(line).empty())
            continue;
        if (!split_fields(line, fields, bad))
            return reject(error, number, bad + 1, "unterminated quote");
        if (first) {
            first = false;
            t.columns = fields.size();
            float scratch;
            bool header = false;
            for (std::string_view f : fields)
                header = header || !parse_float(f, scratch);
            if (header) {
                t.header = line;
                for (std::string_view f : fields)
                    t.names.push_back(unquote(f));
            }
            const std::string &column = options.column;
            if (!column.empty()) {
                const bool digits = column.find_first_not_of("0123456789") == std::string::npos;
                size_t found = SIZE_MAX;
                for (size_t i = 0; i < t.names.size() && found == SIZE_MAX; i++)
                    if (t.names[i] == column)
                        found = i;
                if (found == SIZE_MAX && digits && column.size() < 10) {
                    unsigned long n = strtoul(column.c_str(), nullptr, 10);
                    if (n >= 1 && n <= t.columns)
                        found = n - 1;
                }
                if (found == SIZE_MAX)
                    return reject(error, number, 1,
                                  "no column '" + column + "' (the input has " +
                                      std::to_string(t.columns) +
                                      (t.names.empty() ? " unnamed" : "") + " columns)");
                t.chosen = found;
            } else {
                t.chosen = t.columns - 1;
                for (size_t i = 0; i < t.names.size(); i++)
                    if (ieq(t.names[i], "close"))
                        t.chosen = i;
            }
            x_numeric = options.want_x && t.columns > 1 && t.chosen != 0;
            t.data_begin = header ? pos : size_t(line.data() - text.data());
            if (header)
                continue;
        }
        if (fields.size() != t.columns)
            return reject(error, number, 1,
                          "row has " + std::to_string(fields.size()) + " fields, the first row " +
                              std::to_string(t.columns));
        float v;
        if (!parse_float(fields[t.chosen], v))
            return reject(error, number, size_t(fields[t.chosen].data() - line.data()) + 1,
                          "not a number: '" + std::string(trim(fields[t.chosen])) + "'");
        if (t.values.size() >= size_t(INT32_MAX))
            return reject(error, number, 1, "too many rows (the library takes at most 2^31 - 1)");
        t.values.push_back(v);
        double xv;
        if (x_numeric && parse_number(fields[0], xv) && std::isfinite(xv))
            t.x.push_back(xv);
        else
            x_numeric = false;
    }
    if (t.values.empty()) {
        // At the end of the input: the line after the last line break, or past the last line.
        const bool at_line_start = text.empty() || text.back() == '\n';
        const size_t end_line = at_line_start ? number + 1 : number;
        const size_t end_column = at_line_start ? 1 : line_at(text, text.rfind('\n') + 1).size() + 1;
        return reject(error, end_line, end_column,
                      first ? "empty input: no rows" : "no data rows after the header");
    }
    if (!x_numeric)
        t.x = std::vector<double>();
    return true;
}

} // namespace swma_host
