// Tests of the metrics text: the adapters, the labels, and the last burning run carried over.
#include "reports/run_metrics.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <tuple>

#include "inventory/fw_query.h"
#include "run/text_format.h"

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

// An adapter of one catalog image, as its query (`answer`) left it.
nic_info asked(const char* address, firmware_info answer) {
  nic_info nic;
  std::tie(nic.ven_id, nic.dev_id, nic.sub_ven_id, nic.sub_dev_id) = std::tuple(0x15b3, 0x1017, 0x15b3, 7);
  nic.pbus_info = address;
  add_image(nic, parse_fw_version("16.28.2006"), "ConnectX-5", "a.bin");
  take_firmware_answer(&nic, answer);
  return nic;
}

// A read adapter, one running another version until a reset, an unread one, one asked twice and
// one not asked: each family in order, each adapter once.
TEST(RunMetrics, TheAdaptersAsked) {
  nic_info not_asked;
  not_asked.pbus_info = "0000:07:00.0";
  const std::vector<nic_info> records = {
      asked("0000:04:00.0", {0, "16.26.1040", "", 0, "MT_1", "Base GUID 1", ""}),
      asked("0000:05:00.0", {0, "16.28.2006", "16.27.2008", 0, "MT_1", "", ""}),
      asked("0000:06:00.0", {1, "", "", 1, "", "", "busy"}),
      asked("0000:04:00.0", {1, "", "", 1, "", "", "busy"}), not_asked};
  recovery_function broken;
  broken.text = "0000:09:00.0";
  const std::string text = run_metrics_text(records, facts("current", 0, 5, false), std::nullopt, {broken});
  const std::string ids = "board=\"ConnectX-5\",psid=\"MT_1\",pci_id=\"15B3-1017-15B3-0007\",";
  for (const std::string& series : {
           "4:00.0\",board_id=\"Base GUID 1\"," + ids + "flash_version=\"16.26.1040\",running_version=\"16.26.1040\"",
           "5:00.0\",board_id=\"PCI 0000:05:00.0\"," + ids + "flash_version=\"16.28.2006\",running_version=\"16.27.2008\"",
           std::string("6:00.0\",board_id=\"PCI 0000:06:00.0\",board=\"ConnectX-5\",psid=\"\",pci_id=\"15B3-1017-15B3-"
                       "0007\",flash_version=\"\",running_version=\"\"")})
    EXPECT_NE(text.find("\nfwkit_adapter_info{address=\"0000:0" + series + ",newest_version=\"16.28.2006\"} 1\n"),
              std::string::npos) << series;
  const std::tuple<const char*, int, int, int> rows[] = {  // update available, reset pending, readable
      {"4:00.0\",board_id=\"Base GUID 1", 1, 0, 1}, {"5:00.0\",board_id=\"PCI 0000:05:00.0", 0, 1, 1},
      {"6:00.0\",board_id=\"PCI 0000:06:00.0", 0, 0, 0}};
  for (const auto& [labels, update, pending, readable] : rows) {
    for (const auto& [family, value] : {std::pair("update_available", update), {"reset_pending", pending},
                                        {"readable", readable}, {"recovery_mode", 0}})
      EXPECT_NE(text.find(strprintf("\nfwkit_adapter_%s{address=\"0000:0%s\"} %d\n", family, labels, value)),
                std::string::npos) << family << labels;
  }
  EXPECT_NE(text.find("\nfwkit_adapter_recovery_mode{address=\"0000:09:00.0\",board_id=\"PCI 0000:09:00.0\"} 1\n"),
            std::string::npos);
  EXPECT_EQ(series_of(text).size(), 3 * 5 + 1 + 8 + 2);  // three adapters, the broken one, the run
}

// Label values: escaped for the text format, control characters and bytes that are not UTF-8 as '?'.
TEST(MetricLabelValue, Table) {
  const std::pair<const char*, const char*> cases[] = {
      {R"(a"b\c)", R"(a\"b\\c)"}, {"line\nend", "line?end"}, {"\xff" "x\xc3", "?x?"},
      {"\xc2\x85", "?"}, {"\xc3\xa9\xe2\x82\xac", "\xc3\xa9\xe2\x82\xac"}, {"\xed\xa0\x80", "???"}};
  for (const auto& [text, value] : cases) EXPECT_EQ(metric_label_value(text), value) << text;
}

}  // namespace
