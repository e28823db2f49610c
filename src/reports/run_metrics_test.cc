// Tests of the metrics text: the last burning run, carried over from the file a run replaces.
#include "reports/run_metrics.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "run/version.h"

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

TEST(RunMetrics, TheLastBurningRunIsKeptUntilTheNextOne) {
  const std::string burned = run_metrics_text({}, facts("apply", 2, 100, true));
  const std::optional<run_facts> kept = last_burning_run(burned);
  ASSERT_TRUE(kept);
  EXPECT_EQ((std::tuple(kept->mode, kept->exit_status, kept->timestamp, kept->burns.success,
                        kept->burns.failed, kept->burns.not_supported, kept->burns.reset_pending)),
            std::tuple("apply", 2, 100LL, 2, 1, 0, 3));
  // An inventory after it tells the same, beside its own last run, with no series twice.
  const std::string later = run_metrics_text({}, facts("current", 0, 200, false), kept);
  const std::string build = "fwkit_build_info{version=\"" + std::string(kFwkitVersion) + "\"}";
  EXPECT_EQ(series_of(later).count(build), 1u);
  const size_t from = burned.find("# HELP fwkit_last_burning_run");
  EXPECT_NE(later.find(burned.substr(from, burned.find("# HELP fwkit_build") - from)), std::string::npos);
  EXPECT_NE(later.find("fwkit_last_run_mode{mode=\"current\"} 1\n"), std::string::npos);
  // A run that held the burn lock replaces it.
  const std::string again = run_metrics_text({}, facts("silent", 0, 300, true), kept);
  EXPECT_EQ(last_burning_run(again)->mode, "silent");
  EXPECT_EQ(again.find("mode=\"apply\""), std::string::npos);
}

TEST(RunMetrics, ABurningRunToldOtherwiseThanWrittenIsNone) {
  const std::string good = run_metrics_text({}, facts("yes", 2, 100, true));
  const auto changed = [&good](const std::string& from, const std::string& to) {
    std::string text = good;
    return text.replace(text.find(from), from.size(), to);
  };
  EXPECT_TRUE(last_burning_run(good));
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
