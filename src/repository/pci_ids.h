// The PCI identity of an adapter: what sysfs reports for it, what the NIC
// record keeps, and with its PSID what the catalog matches it by.
#pragma once

/// Vendor, device, subsystem vendor and subsystem device of a PCI function.
struct pci_ids {
  int ven_id = 0;
  int dev_id = 0;
  int sub_ven_id = 0;
  int sub_dev_id = 0;
};
