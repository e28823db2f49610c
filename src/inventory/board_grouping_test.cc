// Tests of which devices are one board: the table's layouts, and the text of a cloned identity.
#include "inventory/board_grouping.h"

#include <gtest/gtest.h>

namespace {

nic_info device(const char* address, int dev_id, const char* psid, const char* board) {
  nic_info nic;
  nic.pbus_info = address;
  nic.ven_id = 0x15b3;
  nic.dev_id = dev_id;
  nic.psid = psid;
  nic.board = board;
  return nic;
}

// Each row: the records, and per record the record its flash is burned through.
TEST(GroupBoards, Table) {
  const char* const guid = "Base GUID 0002c90300aabbcc";
  const nic_info cx5 = device("0000:04:00.0", 0x1017, "MT_0000000008", guid);
  const nic_info cx7 = device("0000:01:00.0", 0x1021, "MT_0000000834", "Base GUID fc4cea0300f94230");
  nic_info other_vendor = cx5;
  other_vendor.ven_id = 0x15b4;
  const struct {
    const char* what;
    std::vector<nic_info> records;
    std::vector<size_t> firsts;
    size_t clashes;
    size_t left_out = 9;  // a record that does not take part
  } rows[] = {
      {"one chip in two domains, another between", {cx7, cx5, cx7}, {0, 1, 0}, 0},
      {"a cloned GUID on another device and PSID", {cx5, device("0000:81:00.0", 0x1015, "MT_2420110034", guid)},
       {0, 1}, 1},
      {"a cloned GUID, the PSID alone differs", {cx5, device("0000:05:00.0", 0x1017, "MT_1", guid)}, {0, 1}, 1},
      {"a cloned GUID on another vendor's device", {cx5, other_vendor}, {0, 1}, 1},
      {"a clone's own second function joins the clone", {cx5, device("0000:81:00.0", 0x1015, "MT_2", guid),
                                                          device("0000:81:00.1", 0x1015, "MT_2", guid)},
       {0, 1, 1}, 1},
      {"no identity: each its own", {device("a", 0x1017, "MT_1", ""), device("b", 0x1017, "MT_1", "")}, {0, 1}, 0},
      {"one that does not take part is its own", {cx5, cx5, cx5}, {0, 1, 0}, 0, 1},
  };
  for (const auto& row : rows) {
    const board_grouping grouping =
        group_boards(row.records, [&](size_t i) { return i != row.left_out; });
    std::vector<size_t> firsts;
    for (size_t i = 0; i < row.records.size(); ++i) firsts.push_back(grouping.first_of(i));
    EXPECT_EQ(firsts, row.firsts) << row.what;
    EXPECT_EQ(grouping.clashes.size(), row.clashes) << row.what;
  }
}

TEST(GroupBoards, ClashText) {
  const std::vector<nic_info> records = {
      device("0000:04:00.0", 0x1017, "MT_0000000008", "Base GUID 0002c90300aabbcc"),
      device("0000:81:00.0", 0x1015, "MT_2420110034", "Base GUID 0002c90300aabbcc"),
      device("0000:82:00.0", 0x1017, "MT_\n1", "Base GUID 0002c90300aabbcc")};
  const board_grouping grouping = group_boards(records, [](size_t) { return true; });
  ASSERT_EQ(grouping.clashes.size(), 2u);
  EXPECT_EQ(board_clash_text(records, grouping.clashes[0]),
            "0000:81:00.0 reports the Base GUID 0002c90300aabbcc of 0000:04:00.0 but is another board "
            "(device 1015, PSID MT_2420110034 against 1017, MT_0000000008); each is burned on its own");
  EXPECT_EQ(board_clash_text(records, grouping.clashes[1]),
            "0000:82:00.0 reports the Base GUID 0002c90300aabbcc of 0000:04:00.0 but is another board "
            "(PSID MT_?1 against MT_0000000008); each is burned on its own");
}

}  // namespace
