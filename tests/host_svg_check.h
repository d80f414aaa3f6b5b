// host_svg_check.h: a small XML reader for the host's charts, used by the host's tests and
// its fuzz target: the document must be well-formed (UTF-8, XML characters only, matching
// tags, quoted and unique attributes, known entities, one root) and every coordinate a
// finite number inside the 800 x 420 view.
#ifndef SWMA_HOST_SVG_CHECK_H
#define SWMA_HOST_SVG_CHECK_H

#include <ctype.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

namespace swma_svg {

struct Element {
    std::string name;
    std::vector<std::pair<std::string, std::string>> attributes; // values with entities as written
    std::string text;                                            // direct character data
    std::string attribute(const char *n) const
    {
        for (const auto &a : attributes)
            if (a.first == n)
                return a.second;
        return std::string();
    }
};

class Checker {
public:
    explicit Checker(const std::string &s) : s_(s) {}

    // "" when the document passes, else what is wrong and where (a byte offset).
    std::string check()
    {
        if (!utf8())
            return error_;
        if (s_.compare(0, 5, "<?xml") == 0) {
            const size_t end = s_.find("?>");
            if (end == std::string::npos)
                return at(0, "unterminated XML declaration");
            i_ = end + 2;
        }
        skip_space();
        if (i_ >= s_.size() || s_[i_] != '<')
            return at(i_, "no root element");
        if (!element(0))
            return error_;
        skip_space();
        if (i_ != s_.size())
            return at(i_, "content after the root element");
        return std::string();
    }

    std::vector<Element> elements; // in document order

private:
    const std::string &s_;
    size_t i_ = 0;
    std::string error_;

    std::string at(size_t pos, const std::string &why)
    {
        error_ = "at byte " + std::to_string(pos) + ": " + why;
        return error_;
    }
    bool fail(size_t pos, const std::string &why)
    {
        at(pos, why);
        return false;
    }
    void skip_space()
    {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\t' || s_[i_] == '\r'))
            i_++;
    }
    static bool name_start(char c) { return isalpha((unsigned char)c) || c == '_' || c == ':'; }
    static bool name_char(char c)
    {
        return name_start(c) || isdigit((unsigned char)c) || c == '-' || c == '.';
    }

    bool utf8()
    {
        for (size_t i = 0; i < s_.size();) {
            const unsigned char c = (unsigned char)s_[i];
            size_t len = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
            uint32_t code = len == 1 ? c : len == 2 ? c & 0x1Fu : len == 3 ? c & 0x0Fu : c & 0x07u;
            bool ok = len > 0 && i + len <= s_.size();
            for (size_t k = 1; ok && k < len; k++) {
                ok = ((unsigned char)s_[i + k] & 0xC0) == 0x80;
                code = code << 6 | ((unsigned char)s_[i + k] & 0x3Fu);
            }
            static const uint32_t min_code[5] = {0, 0, 0x80, 0x800, 0x10000};
            ok = ok && code >= min_code[len] &&
                 (code == 9 || code == 10 || code == 13 || (code >= 0x20 && code <= 0xD7FF) ||
                  (code >= 0xE000 && code <= 0xFFFD) || (code >= 0x10000 && code <= 0x10FFFF));
            if (!ok)
                return fail(i, "not an XML character in UTF-8");
            i += len;
        }
        return true;
    }

    // Character data or an attribute value from i_ up to `end`: '&' only in known entities.
    bool chars(size_t end, bool attribute)
    {
        for (size_t k = i_; k < end; k++) {
            if (s_[k] == '<')
                return fail(k, "'<' in character data");
            if (attribute && s_[k] == '"')
                return fail(k, "quote in attribute value");
            if (s_[k] != '&')
                continue;
            const size_t semi = s_.find(';', k);
            if (semi == std::string::npos || semi > end)
                return fail(k, "unterminated entity");
            const std::string e = s_.substr(k + 1, semi - k - 1);
            const bool named = e == "lt" || e == "gt" || e == "amp" || e == "quot" || e == "apos";
            const bool numeric = e.size() > 1 && e[0] == '#' &&
                                 e.find_first_not_of("0123456789", 1) == std::string::npos && e.size() < 9;
            if (!named && !numeric)
                return fail(k, "unknown entity &" + e + ";");
            k = semi;
        }
        return true;
    }

    static bool number(const std::string &t, double &v)
    {
        if (t.empty())
            return false;
        char *e = nullptr;
        v = strtod(t.c_str(), &e);
        return e == t.c_str() + t.size() && std::isfinite(v);
    }

    // Every coordinate a finite number inside the view (with a pixel to spare).
    bool coordinates(const Element &el, size_t pos)
    {
        for (const auto &[name, value] : el.attributes) {
            double v;
            const bool horizontal = name == "x" || name == "x1" || name == "x2" || name == "width";
            const bool vertical = name == "y" || name == "y1" || name == "y2" || name == "height";
            if (horizontal || vertical) {
                if (!number(value, v) || v < -1 || v > (horizontal ? 801 : 421))
                    return fail(pos, name + "=\"" + value + "\" is not a coordinate in the view");
            } else if (name == "points") {
                size_t k = 0;
                while (k < value.size()) {
                    size_t sp = value.find(' ', k);
                    if (sp == std::string::npos)
                        sp = value.size();
                    const std::string pt = value.substr(k, sp - k);
                    const size_t comma = pt.find(',');
                    double x, y;
                    if (comma == std::string::npos || !number(pt.substr(0, comma), x) ||
                        !number(pt.substr(comma + 1), y) || x < -1 || x > 801 || y < -1 || y > 421)
                        return fail(pos, "point '" + pt + "' is not in the view");
                    k = sp + 1;
                }
            } else if (name == "d" || name == "transform" || name == "viewBox") {
                // Every number in a path or transform is finite (no "nan", "inf").
                for (size_t k = 0; k < value.size(); k++)
                    if (isalpha((unsigned char)value[k]) && (value.compare(k, 3, "nan") == 0 ||
                                                            value.compare(k, 3, "inf") == 0))
                        return fail(pos, name + " has a non-finite number: " + value);
            }
        }
        return true;
    }

    bool element(int depth)
    {
        if (depth > 64)
            return fail(i_, "nested too deeply");
        const size_t open = i_++;
        const size_t start = i_;
        if (i_ >= s_.size() || !name_start(s_[i_]))
            return fail(i_, "no element name");
        while (i_ < s_.size() && name_char(s_[i_]))
            i_++;
        const size_t index = elements.size();
        elements.push_back(Element{s_.substr(start, i_ - start), {}, {}});
        for (;;) {
            const size_t before = i_;
            skip_space();
            if (i_ >= s_.size())
                return fail(i_, "end of document inside a tag");
            if (s_.compare(i_, 2, "/>") == 0) {
                i_ += 2;
                return coordinates(elements[index], open);
            }
            if (s_[i_] == '>') {
                i_++;
                break;
            }
            if (before == i_)
                return fail(i_, "no space before an attribute");
            const size_t a = i_;
            if (!name_start(s_[i_]))
                return fail(i_, "bad attribute name");
            while (i_ < s_.size() && name_char(s_[i_]))
                i_++;
            std::string attr = s_.substr(a, i_ - a);
            if (s_.compare(i_, 2, "=\"") != 0)
                return fail(i_, "attribute without a quoted value");
            i_ += 2;
            const size_t end = s_.find('"', i_);
            if (end == std::string::npos)
                return fail(i_, "unterminated attribute value");
            if (!chars(end, true))
                return false;
            for (const auto &other : elements[index].attributes)
                if (other.first == attr)
                    return fail(a, "attribute " + attr + " given twice");
            elements[index].attributes.push_back({attr, s_.substr(i_, end - i_)});
            i_ = end + 1;
        }
        if (!coordinates(elements[index], open))
            return false;
        for (;;) { // content
            size_t lt = s_.find('<', i_);
            if (lt == std::string::npos)
                return fail(i_, "element " + elements[index].name + " is not closed");
            if (!chars(lt, false))
                return false;
            elements[index].text += s_.substr(i_, lt - i_);
            i_ = lt;
            if (s_.compare(i_, 2, "</") == 0) {
                const size_t gt = s_.find('>', i_);
                if (gt == std::string::npos || s_.substr(i_ + 2, gt - i_ - 2) != elements[index].name)
                    return fail(i_, "end tag does not match " + elements[index].name);
                i_ = gt + 1;
                return true;
            }
            if (s_.compare(i_, 2, "<!") == 0 || s_.compare(i_, 2, "<?") == 0)
                return fail(i_, "markup the chart never writes");
            if (!element(depth + 1))
                return false;
        }
    }
};

} // namespace swma_svg

#endif
