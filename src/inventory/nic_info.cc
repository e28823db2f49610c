// The NIC table's definitions and record helpers.
#include "inventory/nic_info.h"

std::vector<nic_info> g_ninfo;
int g_nNics = 0;
int g_nMellanoxPorts = 0;
std::vector<int> fw_number;

fw_version running_version(const nic_info& nic) {
  return fw_version{nic.uCurROMmaj, nic.uCurROMmin, nic.uCurROMrel};
}

fw_version image_version(const nic_info& nic, int index) {
  return fw_version{nic.uFwROMmaj[index], nic.uFwROMmin[index], nic.uFwROMrel[index]};
}
