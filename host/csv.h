// csv.h: reads the host's CSV input into a table: the chosen column as floats and, for the
// chart, the first column as numbers when it holds only finite numbers.
#ifndef SINEWMA_HOST_CSV_H
#define SINEWMA_HOST_CSV_H

#include <stddef.h>

#include <string>
#include <string_view>
#include <vector>

namespace swma_host {

struct CsvOptions {
    std::string column;  // a header name or a 1-based number; empty: "close" (any case), else the last
    bool want_x = false; // also read the first column as numbers (for a chart's x axis)
};

// Where and why an input was rejected; line and column count from 1, in bytes.
struct CsvError {
    size_t line = 0, column = 0;
    std::string message;
};

struct Table {
    size_t data_begin = 0;          // where the data lines begin in the text (see next_data_line)
    std::string_view header;        // the header line as written; empty if none
    std::vector<std::string> names; // header names, unquoted; empty if no header
    size_t columns = 0;
    size_t chosen = 0; // 0-based
    std::vector<float> values;
    std::vector<double> x; // the first column, when every row has a finite number there and it
                           // is not the chosen one (and want_x); else empty
};

// Reads `text` (which must outlive the table: `header` points into it). The first non-blank
// row is a header when any of its fields is not a number; blank lines are skipped; fields are
// separated by commas and may be enclosed in double quotes ("" is a quote). Returns false
// with `error` set when the input is rejected; every rejection has a line and a column.
bool read_csv(const std::string &text, const CsvOptions &options, Table &table, CsvError &error);

// The line that starts at `pos`, without its line break (\n or \r\n).
std::string_view line_at(const std::string &text, size_t pos);

// The next line at or after `pos` that is not blank, and `pos` moved past it; false at the end.
// From a table's data_begin, these are its rows in order: rows are not kept apart from the
// text, so that a long series takes 4 bytes a row besides its text.
bool next_data_line(const std::string &text, size_t &pos, std::string_view &line);

// The nearest float to a decimal number (or nan, inf), surrounding blanks and quotes allowed;
// false if the field is not a number.
bool parse_float(std::string_view field, float &out);

} // namespace swma_host

#endif
