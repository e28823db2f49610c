// Tests of telling the vendor's adapters apart by the vendor name the PCI ID database gives.
#include "inventory/nic_table.h"

#include <gtest/gtest.h>

namespace {

TEST(IsMellanoxVendor, Table) {
  struct Case {
    const char* name;
    bool mellanox;
  } cases[] = {
      {"Mellanox Technologies", true},
      {"MELLANOX TECHNOLOGIES", true},
      {"Device 15b3", true},
      {"Vendor 15B3", true},
      {"Intel Corporation", false},
      {"Broadcom Inc. and subsidiaries", false},
      {"Mellano", false},
      {"15B", false},
      {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(is_mellanox_vendor(c.name), c.mellanox) << c.name;
}

}  // namespace
