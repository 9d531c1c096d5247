// Tables of cases beside the tests: rows of tab-separated fields; lines that are empty or start
// with '#' are notes.
#ifndef QZI_TSV_H
#define QZI_TSV_H

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace qzi_test {

using Row = std::vector<std::string>;

// The rows of the table at `path`; with `kind`, only those whose first field is kind, and with
// `fields`, each must have that many. A table without such rows fails the test.
inline std::vector<Row> tsv(const std::string& path, const std::string& kind = "", size_t fields = 0) {
  std::ifstream in(path);
  std::vector<Row> rows;
  for (std::string line; std::getline(in, line);) {
    Row row;
    std::istringstream split(line);
    for (std::string field; std::getline(split, field, '\t');) row.push_back(field);
    if (line.empty() || line[0] == '#' || (!kind.empty() && row[0] != kind)) continue;
    EXPECT_TRUE(fields == 0 || row.size() == fields) << line;
    if (fields == 0 || row.size() == fields) rows.push_back(row);
  }
  EXPECT_FALSE(rows.empty()) << "no " << kind << " rows in " << path;
  return rows;
}

}  // namespace qzi_test

#endif  // QZI_TSV_H
