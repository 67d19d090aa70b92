// The parameter table against what users read: --help, the installed varto.par
// and the manual page's parameter list name the same parameters with the same
// defaults.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>

#include "parameters.h"
#include "varto_helpers.h"

namespace varto_test {
namespace {

using ParameterTableTest = AppTest;
using Defaults = std::map<std::string, std::string>;

std::string source_file(const std::string& name) {
  std::ifstream in(std::string(VARTO_SOURCE_DIR) + "/" + name);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// varto.par as the table gives it: the hidden and asked parameters in table
// order, the task-mode line last.
std::string par_file_from_table() {
  std::string text =
      "# varto: source gain histograms for ROSAT HRI observations (IRAF parameter file)\n"
      "# Found through PFILES when varto runs with parkernel=iraf; words on the command line "
      "win.\n";
  std::string mode_line;
  for (const varto_params::Parameter& p : varto_params::kTable) {
    if (p.par_type == 0) continue;
    const std::string value = p.par_value != nullptr ? p.par_value : p.def;
    const bool quoted = p.par_type == 'f' || p.par_type == 's';
    const std::string line = std::string(p.name) + "," + p.par_type + "," + p.par_mode + "," +
                             (quoted ? "\"" + value + "\"" : value) + ",,,\"" + p.prompt + "\"\n";
    (std::string(p.name) == "mode" ? mode_line : text) += line;
  }
  return text + mode_line;
}

// Names and defaults of the manual page's PARAMETERS: each item's ".BI name="
// line names it (two names for "xpos= x and ypos= y"); its text says
// "(default V)", "(defaults V and W)", "Blank (the default)" or "(blank by default)".
Defaults manual_defaults(const std::string& page) {
  const std::size_t from = page.find("\n.SH PARAMETERS\n");
  const std::size_t to = page.find("\n.SH ", from + 1);
  std::string section = page.substr(from, to - from);
  Defaults found;
  std::size_t at = 0;
  while ((at = section.find("\n.TP\n", at)) != std::string::npos) {
    at += 5;
    const std::size_t end = std::min(section.find("\n.TP\n", at), section.size());
    std::istringstream item(section.substr(at, end - at));
    std::string head;
    std::getline(item, head);
    std::string text;
    for (std::string line; std::getline(item, line);) {
      if (line.starts_with(".")) line = line.substr(std::min(line.find(' '), line.size()));
      text += line + " ";
    }
    text = std::regex_replace(text, std::regex(R"(\s+)"), " ");
    text = std::regex_replace(text, std::regex(R"( \))"), ")");
    std::vector<std::string> names;
    const std::regex name_re(R"(([a-z]+)=)");
    for (std::sregex_iterator m(head.begin(), head.end(), name_re), e; m != e; ++m)
      names.push_back((*m)[1]);
    std::vector<std::string> values;
    std::smatch m;
    if (std::regex_search(text, m, std::regex(R"(\(defaults? ([^)]*)\))"))) {
      const std::string list = m[1];
      const std::size_t sep = list.find(" and ");
      values.push_back(list.substr(0, sep));
      if (sep != std::string::npos) values.push_back(list.substr(sep + 5));
    } else if (std::regex_search(text,
                                 std::regex(R"([Bb]lank \(the default\)|\(blank by default\))"))) {
      values.assign(names.size(), "");
    }
    EXPECT_EQ(values.size(), names.size()) << head;
    for (std::size_t k = 0; k < names.size() && k < values.size(); ++k) found[names[k]] = values[k];
  }
  return found;
}

TEST_F(ParameterTableTest, HelpParFileAndManualPage_listTheTable) {
  Defaults table;
  for (const varto_params::Parameter& p : varto_params::kTable) table[p.name] = p.def;

  const varto_test::RunResult help = run_varto(dir_.string(), "--help");
  ASSERT_EQ(help.status, 0);
  Defaults listed;
  std::istringstream lines(help.out.substr(help.out.find("Parameters (default, meaning):\n")));
  std::string line;
  std::getline(lines, line);
  while (std::getline(lines, line) && !line.empty()) {
    std::istringstream words(line);
    std::string name;
    std::string def;
    words >> name >> def;
    listed[name] = def == "(blank)" ? "" : def;
  }
  EXPECT_EQ(listed, table);

  EXPECT_EQ(source_file("doc/varto.par"), par_file_from_table());
  // The file holds every parameter but the two that choose the file itself;
  // its task mode "ql" reads as a blank mode.
  for (const varto_params::Parameter& p : varto_params::kTable) {
    const bool chooses_file = std::string(p.name) == "par" || std::string(p.name) == "parkernel";
    EXPECT_EQ(p.par_type == 0, chooses_file) << p.name;
  }

  EXPECT_EQ(manual_defaults(source_file("doc/varto.1")), table);
}

}  // namespace
}  // namespace varto_test
