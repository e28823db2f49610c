// Tests of telling the vendor's adapters apart by the vendor name the PCI ID database gives.
#include "inventory/nic_table.h"

#include <gtest/gtest.h>

namespace {

TEST(IsMellanoxVendor, TheNameOrTheIdInAnyCase) {
  for (const char* name : {"Mellanox Technologies", "MELLANOX TECHNOLOGIES", "Device 15b3", "Vendor 15B3"})
    EXPECT_TRUE(is_mellanox_vendor(name)) << name;
  for (const char* name : {"Intel Corporation", "Mellano", "15B", ""}) EXPECT_FALSE(is_mellanox_vendor(name)) << name;
}

}  // namespace
