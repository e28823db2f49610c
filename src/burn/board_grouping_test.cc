// Tests of which devices are one board; the cloned identity's whole text is in the scenarios.
#include "burn/board_grouping.h"

#include <tuple>

#include <gtest/gtest.h>

namespace {

// Per row: the records, the record each is burned through, the clashes. A record without images
// takes no part, as in an upgrade run.
TEST(GroupBoards, Table) {
  auto device = [](int dev_id, const char* psid, const char* board, int ven_id = 0x15b3) {
    nic_info nic;
    std::tie(nic.ven_id, nic.dev_id, nic.psid, nic.board, nic.fw_count) =
        std::tuple(ven_id, dev_id, psid, board, 1);
    return nic;
  };
  const char* guid = "Base GUID 0002c90300aabbcc";
  const nic_info cx5 = device(0x1017, "MT_8", guid), cx7 = device(0x1021, "MT_7", "Base MAC 1");
  const nic_info clone = device(0x1015, "MT_2", guid), unknown = device(0x1017, "MT_8", "");
  nic_info bare = cx5;
  bare.fw_count = 0;
  const std::tuple<std::vector<nic_info>, std::vector<size_t>, size_t> rows[] = {
      {{cx7, cx5, cx7}, {0, 1, 0}, 0},                           // one chip in two domains
      {{cx5, clone, clone}, {0, 1, 1}, 1},                       // a clone and its second function
      {{cx5, device(0x1017, "MT_1", guid)}, {0, 1}, 1},          // the PSID alone differs
      {{cx5, device(0x1017, "MT_8", guid, 0x15b4)}, {0, 1}, 1},  // the vendor alone
      {{unknown, unknown}, {0, 1}, 0}, {{cx5, bare, cx5}, {0, 1, 0}, 0}};
  for (size_t row = 0; row < std::size(rows); ++row) {
    const std::vector<nic_info>& records = std::get<0>(rows[row]);
    const board_grouping grouping =
        group_boards(records, [&](size_t i) { return records[i].fw_count > 0; });
    std::vector<size_t> firsts;
    for (size_t i = 0; i < records.size(); ++i) firsts.push_back(grouping.first_of(i));
    EXPECT_EQ(firsts, std::get<1>(rows[row])) << "row " << row;
    EXPECT_EQ(grouping.clashes.size(), std::get<2>(rows[row])) << "row " << row;
  }
}

}  // namespace
