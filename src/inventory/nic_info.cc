// The NIC table's definitions and record helpers.
#include "inventory/nic_info.h"

#include <algorithm>

#include "inventory/fw_query.h"

std::vector<nic_info> g_ninfo;
int g_nNics = 0;
int g_nMellanoxPorts = 0;
std::vector<int> fw_number;
bool g_nic_table_built = false;
std::vector<recovery_function> g_recovery_functions;

fw_version running_version(const nic_info& nic) {
  return fw_version{nic.uCurROMmaj, nic.uCurROMmin, nic.uCurROMrel};
}

std::string reset_pending_text(const nic_info& nic) {
  return nic.prunning_ver.empty() ? std::string() : "reset pending: running " + nic.prunning_ver;
}

fw_version image_version(const nic_info& nic, int index) {
  return fw_version{nic.uFwROMmaj[index], nic.uFwROMmin[index], nic.uFwROMrel[index]};
}

int image_count(const nic_info& nic) {
  return std::clamp(nic.fw_count, 0, static_cast<int>(nic.uFwROMmaj.size()));
}

void add_image(nic_info& nic, const fw_version& version, const std::string& name,
               const std::string& file) {
  const size_t at = static_cast<size_t>(image_count(nic));
  for (auto* numbers : {&nic.uFwROMmaj, &nic.uFwROMmin, &nic.uFwROMrel}) numbers->resize(at + 1);
  nic.pxmlName.resize(at + 1);
  nic.pxmlFwImage.resize(at + 1);
  nic.uFwROMmaj[at] = version.major;
  nic.uFwROMmin[at] = version.minor;
  nic.uFwROMrel[at] = version.release;
  nic.pxmlName[at] = name;
  nic.pxmlFwImage[at] = file;
  nic.fw_count = static_cast<int>(at + 1);
}

std::vector<fw_version> sorted_image_versions(const nic_info& nic) {
  std::vector<fw_version> versions;
  for (int i = 0; i < image_count(nic); ++i) versions.push_back(image_version(nic, i));
  sort_fw(&versions);
  return versions;
}

void take_firmware_answer(nic_info* nic, const firmware_info& answer) {
  nic->asked = true;
  nic->psid = answer.psid;
  const bool read = !answer.version.empty() && !answer.psid.empty();
  nic->pfirmware_ver = read ? answer.version : "";
  nic->prunning_ver = read ? answer.running : "";
  nic->query_reason = read ? "" : answer.reason;
  // A query that found no identity (a busy or silent flash) does not part a board.
  if (!answer.board.empty()) nic->board = answer.board;
  nic->uCurROMmaj = nic->uCurROMmin = nic->uCurROMrel = 0;
  if (read) parseversions(nic->pfirmware_ver, &nic->uCurROMmaj, &nic->uCurROMmin, &nic->uCurROMrel);
  nic->flags = read ? nic->flags | kNicRecognised : nic->flags & ~kNicRecognised;
}
