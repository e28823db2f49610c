// Boards out of the NIC table: one identity, one chip, one flash.
#include "burn/board_grouping.h"

#include <map>

#include "run/outside_text.h"
#include "run/text_format.h"

namespace {

// Two devices of one identity are one chip only when the PCI bus and the
// tool agree on what it is: a board flashed with another board's image, or
// a refurbished lot, shows another board's GUID.
bool same_chip(const nic_info& a, const nic_info& b) {
  return a.ven_id == b.ven_id && a.dev_id == b.dev_id && a.psid == b.psid;
}

}  // namespace

board_grouping group_boards(const std::vector<nic_info>& records,
                            const std::function<bool(size_t)>& takes_part) {
  board_grouping grouping;
  grouping.board_of.resize(records.size());
  // Per identity: the boards that show it, the first of them the one it belongs to.
  std::map<std::string, std::vector<size_t>> by_identity;
  for (size_t i = 0; i < records.size(); ++i) {
    const nic_info& nic = records[i];
    const bool grouped = !nic.board.empty() && takes_part(i);
    if (grouped) {
      std::vector<size_t>& known = by_identity[nic.board];
      bool joined = false;
      for (size_t board : known) {
        if (same_chip(records[grouping.boards[board].first()], nic)) {
          grouping.boards[board].devices.push_back(i);
          grouping.board_of[i] = board;
          joined = true;
          break;
        }
      }
      if (joined) continue;
      if (!known.empty()) grouping.clashes.push_back({i, grouping.boards[known.front()].first()});
      known.push_back(grouping.boards.size());
    }
    grouping.board_of[i] = grouping.boards.size();
    grouping.boards.push_back({grouped ? nic.board : "", {i}});
  }
  return grouping;
}

std::string board_clash_text(const std::vector<nic_info>& records, const board_clash& clash) {
  const nic_info& nic = records[clash.device];
  const nic_info& other = records[clash.other];
  std::string its, theirs;
  auto differs = [&](bool differ, const char* what, const std::string& mine,
                     const std::string& first) {
    if (!differ) return;
    its += (its.empty() ? "" : ", ") + std::string(what) + " " + mine;
    theirs += (theirs.empty() ? "" : ", ") + first;
  };
  auto id = [](int value) { return strprintf("%04x", value); };
  differs(nic.ven_id != other.ven_id, "vendor", id(nic.ven_id), id(other.ven_id));
  differs(nic.dev_id != other.dev_id, "device", id(nic.dev_id), id(other.dev_id));
  differs(nic.psid != other.psid, "PSID", clean_outside_text(nic.psid, 80),
          clean_outside_text(other.psid, 80));
  return strprintf("%s reports the %s of %s but is another board (%s against %s); each is burned "
                   "on its own",
                   nic.pbus_info.c_str(), clean_outside_text(nic.board, 80).c_str(),
                   other.pbus_info.c_str(), its.c_str(), theirs.c_str());
}
