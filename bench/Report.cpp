#include "Report.hpp"

#include <cmath>
#include <fstream>
#include <utility>

#include <fmt/format.h>

namespace bench {

namespace {

std::string quote(const std::string& s) {
  if (s.find_first_of(",\"\n") == std::string::npos) {
    return s;
  }
  std::string q = "\"";
  for (const char c : s) {
    q += c;
    if (c == '"') {
      q += '"';
    }
  }
  return q + "\"";
}

}  // namespace

std::string number(double v) {
  if (std::isnan(v)) {
    return "";
  }
  if (std::fabs(v) >= 100) {
    return fmt::format("{:.1f}", v);
  }
  return fmt::format("{:.4g}", v);
}

std::string verdict(bool pass) { return pass ? "PASS" : "MISS"; }

void Report::add(std::string section, std::string caseName, std::string subject, std::string metric,
                 double value, std::string unit, std::string goal, std::string result) {
  rows_.push_back(Row{std::move(section), std::move(caseName), std::move(subject), std::move(metric),
                      number(value), std::move(unit), std::move(goal), std::move(result)});
}

void Report::addText(std::string section, std::string metric, std::string value) {
  rows_.push_back(Row{std::move(section), "", "", std::move(metric), std::move(value), "", "", ""});
}

std::string Report::figure(std::string section, std::string caseName, std::string subject, std::string metric,
                           double value, std::string unit, const std::optional<Limit>& limit) {
  if (!limit) {
    add(std::move(section), std::move(caseName), std::move(subject), std::move(metric), value,
        std::move(unit));
    return "";
  }
  Goal g;
  g.name = caseName + " " + metric;
  g.value = value;
  g.pass = !std::isnan(value) && (limit->atLeast ? value >= limit->limit : value <= limit->limit);
  g.text = limit->text;
  add(std::move(section), std::move(caseName), std::move(subject), std::move(metric), value, std::move(unit),
      fmt::format("{} {}", limit->atLeast ? ">=" : "<=", limit->limit), verdict(g.pass));
  goals_.push_back(g);
  return fmt::format("{} {}", limit->label, verdict(g.pass));
}

bool Report::writeCsv(const std::string& path) const {
  std::ofstream out(path);
  if (!out) {
    return false;
  }
  out << "section,case,subject,metric,value,unit,goal,result\n";
  for (const Row& r : rows_) {
    out << quote(r.section) << ',' << quote(r.caseName) << ',' << quote(r.subject) << ',' << quote(r.metric)
        << ',' << quote(r.value) << ',' << quote(r.unit) << ',' << quote(r.goal) << ',' << quote(r.result)
        << '\n';
  }
  return static_cast<bool>(out);
}

}  // namespace bench
