// Which PCI devices of the NIC table are one board: one flash, burned once through its first device.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "inventory/nic_info.h"

/// One board: the records whose devices share one flash.
struct nic_board {
  std::string identity;         ///< "Base GUID ..." or "Base MAC ...", "" when its device showed none
  std::vector<size_t> devices;  ///< record indexes in table order; the first is burned for all

  size_t first() const { return devices.front(); }
};

/// A device that reports the identity of an earlier board but is another
/// board (another vendor or device id, or another PSID): a cloned identity,
/// as a board flashed with another board's image.
struct board_clash {
  size_t device;  ///< the later device, a board of its own
  size_t other;   ///< the first device of the board whose identity it reports
};

/// The records of a NIC table grouped into boards.
struct board_grouping {
  std::vector<nic_board> boards;     ///< in the order of their first devices
  std::vector<size_t> board_of;      ///< per record: the index of its board in `boards`
  std::vector<board_clash> clashes;  ///< in table order of their later devices

  /// The record through which record `i`'s flash is burned: its board's first.
  size_t first_of(size_t i) const { return boards[board_of[i]].first(); }
};

/// Groups `records` into boards, in table order. Records for which
/// `takes_part` is true are one board when their identities (`board`) are
/// equal and not empty, and their PCI vendor and device ids and their PSIDs
/// are equal too. Every other record is a board of its own: one without an
/// identity, one that does not take part, and one whose identity an earlier
/// board holds although its ids or PSID differ (listed in `clashes`).
board_grouping group_boards(const std::vector<nic_info>& records,
                            const std::function<bool(size_t)>& takes_part);

/// The event text of a clash, without newline: "0000:81:00.0 reports the
/// Base GUID 0002c90300aabbcc of 0000:04:00.0 but is another board (device
/// 1015, PSID MT_2420110034 against 1017, MT_0000000008); each is burned on
/// its own".
std::string board_clash_text(const std::vector<nic_info>& records, const board_clash& clash);
