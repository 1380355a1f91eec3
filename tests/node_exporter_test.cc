// SPDX-License-Identifier: BSD-2-Clause
// The metrics file read by its real consumer: Debian's
// prometheus-node-exporter, with only its textfile collector, on a loopback
// port the system picks, serves every hostreapd metric of the file that
// `hostreapd -1 -m` wrote, with its label, value and type, and reports no
// error reading the file. The metrics are taken from the file itself, so a
// metric the writer gains is checked without a change here.
//
// Skipped where prometheus-node-exporter is not installed (scripts/deps.sh
// installs it).
#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/daemon_harness.h"
#include "tests/support/local_http.h"

namespace {

// Samples of a text in the Prometheus format, "name{labels}" to the value
// (the labels sorted by name, as the exporter serves them), and each
// metric's type.
struct exposition {
  std::map<std::string, double> samples;
  std::map<std::string, std::string> types;
};

exposition parse(const std::string& text) {
  exposition e;
  static const std::regex sample(R"(^([a-zA-Z_:][a-zA-Z0-9_:]*(\{[^}]*\})?) (\S+)$)");
  static const std::regex type(R"(^# TYPE (\S+) (\S+)$)");
  std::smatch m;
  for (const std::string& line : text_lines(text)) {
    if (std::regex_match(line, m, type)) {
      e.types[m[1]] = m[2];
    } else if (std::regex_match(line, m, sample)) {
      std::string series = m[1];
      const size_t brace = series.find('{');
      if (brace != std::string::npos) {
        std::vector<std::string> labels;
        std::istringstream in(series.substr(brace + 1, series.size() - brace - 2));
        for (std::string label; std::getline(in, label, ',');) labels.push_back(label);
        std::sort(labels.begin(), labels.end());
        series.erase(brace);
        for (size_t i = 0; i < labels.size(); i++) series += (i == 0 ? "{" : ",") + labels[i];
        series += "}";
      }
      e.samples[series] = strtod(m[3].str().c_str(), nullptr);
    }
  }
  return e;
}

TEST(NodeExporter, ServesEveryMetricOfTheFile) {
  const std::string exporter = find_program("prometheus-node-exporter");
  if (exporter.empty()) GTEST_SKIP() << "prometheus-node-exporter is not installed";

  daemon_harness h;
  const long now = static_cast<long>(time(nullptr));
  h.admin("create 5 type addr");
  h.admin("add 5 192.0.2.1 " + std::to_string(now - 10));
  h.admin("add 5 192.0.2.2 " + std::to_string(now + 3600));
  const std::string dir = h.dir.file("textfile");
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0) << strerror(errno);
  const std::string prom = dir + "/hostreapd.prom";
  child_process d = h.start({"-t", "5", "-f", "-1", "-m", prom});
  exit_result r = h.wait_exit(d, 30000);
  ASSERT_TRUE(r.finished);
  ASSERT_EQ(r.code, 0) << d.err();

  const exposition written = parse(read_file(prom));
  ASSERT_EQ(written.samples.count("hostreapd_entries{table=\"5\"}"), 1u) << read_file(prom);
  EXPECT_EQ(written.samples.at("hostreapd_entries{table=\"5\"}"), 2);
  EXPECT_EQ(written.samples.at("hostreapd_removed_total{table=\"5\"}"), 1);

  // Port 0: the system picks a free one, which the exporter logs.
  child_process server =
      child_process::start({exporter, "--collector.disable-defaults", "--collector.textfile",
                            "--collector.textfile.directory=" + dir, "--web.listen-address=127.0.0.1:0"},
                           h.dir.path);
  std::string why;
  const int port = listening_port(server, 10000, &why);
  ASSERT_GT(port, 0) << "the exporter: " << why;

  const std::string body = http_get(port, "/metrics", &why);
  ASSERT_FALSE(body.empty()) << why;
  const exposition scraped = parse(body);

  ASSERT_EQ(scraped.samples.count("node_textfile_scrape_error"), 1u) << body;
  EXPECT_EQ(scraped.samples.at("node_textfile_scrape_error"), 0) << body;
  size_t ours = 0;
  for (const auto& [sample, value] : written.samples) {
    if (sample.rfind("hostreapd_", 0) != 0) continue;
    ours++;
    SCOPED_TRACE(sample);
    ASSERT_EQ(scraped.samples.count(sample), 1u) << "not served";
    // Numbers come back in Go's shortest form ("1.79690759e+09"): compared
    // as numbers.
    EXPECT_EQ(scraped.samples.at(sample), value);
    const std::string name = sample.substr(0, sample.find('{'));
    EXPECT_EQ(scraped.types.count(name) ? scraped.types.at(name) : "",
              written.types.count(name) ? written.types.at(name) : "-");
  }
  EXPECT_EQ(ours, written.samples.size()) << "the file has samples that are not hostreapd's";

  server.send(SIGTERM);
  exit_result stopped = server.wait(10000);
  EXPECT_TRUE(stopped.finished) << "the exporter did not stop on SIGTERM";
}

}  // namespace
