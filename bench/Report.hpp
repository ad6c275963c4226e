#pragma once

// The figures of a run as CSV rows (section, case, subject, metric, value,
// unit, goal, result) and the goals among them with PASS or MISS.

#include <cmath>
#include <optional>
#include <string>
#include <vector>

namespace bench {

/// A figure as the tables and the CSV show it: empty for NaN, one decimal
/// from 100 on, else four significant digits.
std::string number(double v);

/// "PASS" or "MISS".
std::string verdict(bool pass);

// A goal "value >= limit" or "value <= limit"; missing figures are a MISS.
struct Goal {
  std::string name;
  std::string text;
  double value = NAN;
  bool pass = false;
};

// What a figure must reach: at least or at most `limit`.
struct Limit {
  bool atLeast = true;
  double limit = 0;
  std::string text;   // in the summary, e.g. "varnel >= 0.9 x raw"
  std::string label;  // in the table, e.g. "v/raw >= 0.9"
};

class Report {
 public:
  void add(std::string section, std::string caseName, std::string subject, std::string metric, double value,
           std::string unit, std::string goal = "", std::string result = "");
  void addText(std::string section, std::string metric, std::string value);
  // Adds the figure like `add`; with a limit, also the goal and its verdict
  // in the last two columns, and keeps the goal for the summary. Returns the
  // table's goal column: the limit's label and the verdict, or nothing.
  std::string figure(std::string section, std::string caseName, std::string subject, std::string metric,
                     double value, std::string unit, const std::optional<Limit>& limit);
  const std::vector<Goal>& goals() const { return goals_; }

  bool writeCsv(const std::string& path) const;

 private:
  struct Row {
    std::string section, caseName, subject, metric, value, unit, goal, result;
  };

  std::vector<Row> rows_;
  std::vector<Goal> goals_;
};

}  // namespace bench
