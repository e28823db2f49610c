// The recommended firmware action: running version against every catalog version.
#include "discovery/fw_action.h"

#include <algorithm>

const char* recommend_XML_FW_action(std::string_view pFwtype, const nic_info& nic) {
  if (pFwtype.find("ROM") == std::string_view::npos || !(nic.flags & kNicRecognised)) return "";
  const int count = image_count(nic);
  const fw_version running = running_version(nic);
  for (int i = 0; i < count; ++i) {
    if (is_newer(image_version(nic, i), running)) return kActionUpgrade;
  }
  for (int i = 0; i < count; ++i) {
    if (same_version(image_version(nic, i), running)) return kActionRewrite;
  }
  return count == 0 ? kActionNothing : kActionDowngrade;
}
