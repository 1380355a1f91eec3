// SPDX-License-Identifier: BSD-2-Clause
// The alerting rules with the real parts of a fleet's monitoring: a daemon
// sweeping a table of the emulator every second writes its metrics file
// into a directory that Debian's prometheus-node-exporter serves with its
// textfile collector, and Debian's Prometheus server, on a loopback port
// with a data directory of the test's own, scrapes it and evaluates
// etc/hostreapd.rules.yml every second. Stopped with SIGSTOP, the daemon
// raises HostreapdNotSweeping and HostreapdMetricsFileStale (pending or
// firing); continued with SIGCONT, both clear. Every rule of the file is
// evaluated by the server without an error.
//
// The server is given the shipped file with the waits of those two alerts
// made short: their for: durations made 1s, and their fixed margin of
// 120 s (for a scrape interval of up to a minute) made 4 s, since this
// server scrapes every second; the rest of each rule, the pause it scales
// by included, is the shipped one. Every wait is for the event itself,
// polled on the server's API, and bounded generously.
//
// Skipped where prometheus or prometheus-node-exporter is not installed
// (scripts/deps.sh installs both). Nothing it starts outlives it: the
// server, the exporter and the daemon are stopped at the end, and killed
// by their handles when the test fails part way.
#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/daemon_harness.h"
#include "tests/support/local_http.h"

namespace {

// Bounds of the waits: only against a hang, on a loaded machine.
constexpr int START_MS = 60000;
constexpr int ALERT_MS = 120000;

const char* const QUICK_ALERTS[] = {"HostreapdNotSweeping", "HostreapdMetricsFileStale"};

// The rules text with the named alert's block (from its "- alert:" line to
// the next one) made quick: its one for: duration made 1s, its one margin
// "+ 120" made "+ 4". False, with the reason in *why, when the block is not
// of that form (the shipped file changed and this test must follow).
bool make_quick(std::string* rules, const std::string& alert, std::string* why) {
  const std::string head = "- alert: " + alert + "\n";
  const size_t begin = rules->find(head);
  if (begin == std::string::npos) {
    *why = "no alert " + alert;
    return false;
  }
  size_t end = rules->find("- alert: ", begin + head.size());
  if (end == std::string::npos) end = rules->size();
  std::string block = rules->substr(begin, end - begin);
  const struct {
    std::regex pattern;
    const char* replacement;
  } edits[] = {{std::regex("\n( +)for: [0-9]+[smh]\n"), "\n$1for: 1s\n"},
               {std::regex(R"( \+ 120\n)"), " + 4\n"}};
  for (const auto& e : edits) {
    const auto matches =
        std::distance(std::sregex_iterator(block.begin(), block.end(), e.pattern), std::sregex_iterator());
    if (matches != 1) {
      *why = alert + ": " + std::to_string(matches) + " places to make quick where one was expected";
      return false;
    }
    block = std::regex_replace(block, e.pattern, e.replacement);
  }
  rules->replace(begin, end - begin, block);
  return true;
}

// The state of the named alert in the server's answer to /api/v1/alerts
// ("pending" or "firing"), for table 5 where the alert names a table (the
// metrics file's does not); "" when it is not active.
std::string alert_state(const std::string& alerts, const std::string& name) {
  const std::regex one(R"re(\{"labels":\{([^}]*)\},"annotations":\{.*?\},"state":"([a-z]+)")re");
  for (auto it = std::sregex_iterator(alerts.begin(), alerts.end(), one); it != std::sregex_iterator();
       ++it) {
    const std::string labels = (*it)[1];
    if (labels.find("\"alertname\":\"" + name + "\"") != std::string::npos &&
        (labels.find("\"table\":") == std::string::npos ||
         labels.find("\"table\":\"5\"") != std::string::npos))
      return (*it)[2];
  }
  return "";
}

// Occurrences of text in s.
size_t count_of(const std::string& s, const std::string& text) {
  size_t n = 0;
  for (size_t at = s.find(text); at != std::string::npos; at = s.find(text, at + text.size())) n++;
  return n;
}

void write_text(const std::string& path, const std::string& text) {
  std::ofstream out(path);
  out << text;
  ASSERT_TRUE(out.flush()) << path;
}

// Stops a server with SIGTERM and waits for it to end.
void stop(child_process& server, const char* name) {
  server.send(SIGTERM);
  EXPECT_TRUE(server.wait(30000).finished) << name << " did not stop on SIGTERM";
}

TEST(PrometheusAlerts, AStoppedDaemonRaisesItsAlertsAndTheyClearWhenItGoesOn) {
  const std::string prometheus = find_program("prometheus");
  const std::string exporter = find_program("prometheus-node-exporter");
  if (prometheus.empty()) GTEST_SKIP() << "prometheus is not installed";
  if (exporter.empty()) GTEST_SKIP() << "prometheus-node-exporter is not installed";

  std::string rules = read_file(std::string(SOURCE_DIR) + "/etc/hostreapd.rules.yml");
  ASSERT_FALSE(rules.empty());
  const size_t rule_count = count_of(rules, "\n      - alert: ");
  std::string why;
  for (const char* alert : QUICK_ALERTS) ASSERT_TRUE(make_quick(&rules, alert, &why)) << why;

  daemon_harness h;
  h.admin("create 5 type addr");
  h.admin("add 5 192.0.2.1 " + std::to_string(time(nullptr) + 3600));
  const std::string textfiles = h.dir.file("textfile");
  ASSERT_EQ(mkdir(textfiles.c_str(), 0755), 0) << strerror(errno);
  child_process d = h.start({"-t", "5", "-f", "-s", "1", "-m", textfiles + "/hostreapd.prom"});
  ASSERT_TRUE(wait_for_file(textfiles + "/hostreapd.prom", START_MS, true)) << d.err();
  const pid_t daemon = h.find_daemon(START_MS);
  ASSERT_GT(daemon, 0) << d.err();

  child_process node = child_process::start(
      {exporter, "--collector.disable-defaults", "--collector.textfile",
       "--collector.textfile.directory=" + textfiles, "--web.listen-address=127.0.0.1:0"},
      h.dir.path);
  const int node_port = listening_port(node, START_MS, &why);
  ASSERT_GT(node_port, 0) << "the exporter: " << why;

  write_text(h.dir.file("hostreapd.rules.yml"), rules);
  write_text(h.dir.file("prometheus.yml"),
             "global:\n"
             "  scrape_interval: 1s\n"
             "  evaluation_interval: 1s\n"
             "rule_files:\n"
             "  - " +
                 h.dir.file("hostreapd.rules.yml") +
                 "\n"
                 "scrape_configs:\n"
                 "  - job_name: node\n"
                 "    static_configs:\n"
                 "      - targets: ['127.0.0.1:" +
                 std::to_string(node_port) + "']\n");
  const std::string data = h.dir.file("prometheus-data");
  child_process server =
      child_process::start({prometheus, "--config.file=" + h.dir.file("prometheus.yml"),
                            "--storage.tsdb.path=" + data, "--web.listen-address=127.0.0.1:0"},
                           h.dir.path);
  const int port = listening_port(server, START_MS, &why);
  ASSERT_GT(port, 0) << "prometheus: " << why;

  // Scraping: the daemon's pause has reached the server. Every rule has
  // been evaluated without an error, and the daemon, sweeping, raises
  // neither alert.
  std::string answer;
  const bool scraped = poll_until(
      [&] {
        h.sink.messages();
        answer = http_get(port, "/api/v1/query?query=hostreapd_interval_seconds", &why);
        return answer.find(R"("table":"5"},"value":[)") != std::string::npos &&
               answer.find(R"(,"1"]}])") != std::string::npos;
      },
      START_MS, 200);
  ASSERT_TRUE(scraped) << "the server has not scraped the daemon's pause: " << answer << why << server.err();
  const bool evaluated = poll_until(
      [&] {
        h.sink.messages();
        answer = http_get(port, "/api/v1/rules", &why);
        return count_of(answer, R"("health":"ok")") == rule_count;
      },
      START_MS, 200);
  ASSERT_TRUE(evaluated) << "not every one of " << rule_count
                         << " rules evaluated without an error: " << answer;
  const bool quiet = poll_until(
      [&] {
        h.sink.messages();
        answer = http_get(port, "/api/v1/alerts", &why);
        return !answer.empty() && alert_state(answer, "HostreapdNotSweeping").empty() &&
               alert_state(answer, "HostreapdMetricsFileStale").empty();
      },
      START_MS, 200);
  ASSERT_TRUE(quiet) << "a sweeping daemon raises alerts: " << answer;

  ASSERT_EQ(kill(daemon, SIGSTOP), 0) << strerror(errno);
  for (const char* alert : QUICK_ALERTS) {
    std::string state;
    poll_until(
        [&] {
          answer = http_get(port, "/api/v1/alerts", &why);
          state = alert_state(answer, alert);
          return !state.empty();
        },
        ALERT_MS, 200);
    EXPECT_TRUE(state == "pending" || state == "firing") << alert << " did not come: " << answer << why;
  }

  ASSERT_EQ(kill(daemon, SIGCONT), 0) << strerror(errno);
  for (const char* alert : QUICK_ALERTS) {
    const bool cleared = poll_until(
        [&] {
          h.sink.messages();
          answer = http_get(port, "/api/v1/alerts", &why);
          return !answer.empty() && alert_state(answer, alert).empty();
        },
        ALERT_MS, 200);
    EXPECT_TRUE(cleared) << alert << " did not clear: " << answer << why;
  }

  stop(server, "prometheus");
  stop(node, "the exporter");
  d.send(SIGTERM);
  const exit_result r = h.wait_exit(d, 30000);
  ASSERT_TRUE(r.finished) << "the daemon did not stop on SIGTERM";
  EXPECT_EQ(r.code, 0) << d.err();
}

}  // namespace
