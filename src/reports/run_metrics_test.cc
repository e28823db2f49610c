// Tests of the metrics text: the last burning run, carried over from the file a run replaces.
#include "reports/run_metrics.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>

namespace {

// The series of a text, each once: node_exporter refuses a file that repeats one.
std::set<std::string> series_of(const std::string& text) {
  std::set<std::string> series;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    EXPECT_TRUE(series.insert(line.substr(0, line.rfind(' '))).second) << line;
  }
  return series;
}

run_facts facts(const char* mode, int status, long long when, bool burning) {
  run_facts run;
  run.mode = mode;
  run.exit_status = status;
  run.timestamp = when;
  run.burns = {2, 1, 0, 3};
  run.duration_seconds = 12.5;
  run.catalog_sha256 = "ab12";
  run.burning = burning;
  return run;
}

TEST(RunMetrics, ABurningRunToldOtherwiseThanWrittenIsNone) {
  const std::string good = run_metrics_text({}, facts("yes", 2, 100, true));
  const auto changed = [&good](const std::string& from, const std::string& to) {
    std::string text = good;
    return text.replace(text.find(from), from.size(), to);
  };
  const std::optional<run_facts> kept = last_burning_run(good);
  ASSERT_TRUE(kept);  // read back as written, and written once more beside a later run's series
  EXPECT_EQ((std::tuple(kept->mode, kept->exit_status, kept->timestamp, kept->burns.reset_pending)),
            std::tuple("yes", 2, 100LL, 3));
  const std::string later = run_metrics_text({}, facts("current", 0, 200, false), kept);
  EXPECT_EQ(later.substr(later.find("# HELP fwkit_last_burning")),
            good.substr(good.find("# HELP fwkit_last_burning")));
  series_of(later);
  const std::string b = "fwkit_last_burning_run_";
  const std::string bad[] = {
      "", changed(b + "exit_status 2", b + "exit_status 256"),
      changed(b + "exit_status 2", b + "exit_status -2"),
      changed(b + "mode{mode=\"yes\"}", b + "mode{mode=\"current\"}"),
      changed(b + "mode{mode=\"yes\"} 1", b + "mode{mode=\"yes\"} 2"),
      changed(b + "burns{outcome=\"failed\"}", b + "burns{outcome=\"lost\"}"),
      changed(b + "timestamp_seconds 100", b + "timestamp_seconds 1e3"),
      changed(b + "burns{outcome=\"failed\"}", b + "burns{outcome=\"success\"}"),  // twice
      changed(b + "exit_status 2\n", ""), good + b + "exit_status 2\n", good + b + "extra 1\n"};
  for (const std::string& text : bad) EXPECT_FALSE(last_burning_run(text)) << text;
}

}  // namespace
