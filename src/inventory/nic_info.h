// The NIC record and the NIC table that every mode works on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "inventory/pci_enum.h"
#include "repository/fw_version.h"
#include "repository/pci_ids.h"

struct firmware_info;

/// `flags` bits of a record.
inline constexpr int kNicRecognised = 1;  ///< adapter of the vendor, firmware version (and PSID) known
inline constexpr int kNicToFlash = 2;     ///< to be flashed

/// One adapter (one PCI device): its PCI identity (the fields of pci_ids),
/// its firmware and the catalog images that fit it. Texts are empty when
/// unknown; a record starts with every text empty and every number 0.
struct nic_info : pci_ids {
  std::string pinterfacename;  ///< name shown to the operator: the address text
  std::string pfirmware_ver;   ///< version in flash as the tool reported it
  std::string prunning_ver;    ///< version still running until a reset, when it differs; else ""
  std::string pbus_info;       ///< PCI address text, passed to the tool after -d
  std::string busnumber;       ///< from a report: "dddd:bb"
  std::string devicenumber;    ///< from a report: "dd"
  std::string funcnumber;      ///< from a report: "f"
  std::string pcurrent_mac;    ///< MAC text; a report may carry one
  std::string action;          ///< from a report: the action its firmware item asks for
  uint32_t uCurROMmaj = 0;     ///< version in flash: what every decision compares
  uint32_t uCurROMmin = 0;
  uint32_t uCurROMrel = 0;
  // Per catalog image, as many as the catalog offers; element 0 is always
  // there (a report's product name and the image the applier burns).
  std::vector<uint32_t> uFwROMmaj = std::vector<uint32_t>(1);  ///< per image: version
  std::vector<uint32_t> uFwROMmin = std::vector<uint32_t>(1);
  std::vector<uint32_t> uFwROMrel = std::vector<uint32_t>(1);
  std::vector<std::string> pxmlName = std::vector<std::string>(1);     ///< per image: catalog name
  std::vector<std::string> pxmlFwImage = std::vector<std::string>(1);  ///< per image: file inside nic_fw/
  std::string pFwPath;         ///< image named for flashing by a report device
  std::string pPort;           ///< slot text of a report device
  int flags = 0;
  int fw_count = 0;            ///< images held
  std::string psid;            ///< the board's PSID as the tool reported it
  bool asked = false;          ///< this run asked the tool about the adapter
  /// The identity of the flash ("Base GUID ..."), "" when the query showed
  /// none: records of one identity are one board, burned once.
  std::string board;
  /// Why this run's query read neither version nor PSID (the tool's words),
  /// "" when it read them or did not ask.
  std::string query_reason;
};

/// The installed version of a record: the version in its flash.
fw_version running_version(const nic_info& nic);

/// "reset pending: running X" when the adapter still runs another version
/// than its flash holds, else "".
std::string reset_pending_text(const nic_info& nic);

/// The version of image `index` of a record.
fw_version image_version(const nic_info& nic, int index);

/// Number of images a record holds.
int image_count(const nic_info& nic);

/// Adds an image after the `fw_count` held ones and counts it.
void add_image(nic_info& nic, const fw_version& version, const std::string& name,
               const std::string& file);

/// The versions of a record's images, ascending: the numerically highest last.
std::vector<fw_version> sorted_image_versions(const nic_info& nic);

/// Takes what a query of the adapter read into its record, as the run now
/// knows it: flash and running versions, PSID and whether it was read (an
/// unread adapter keeps no versions).
void take_firmware_answer(nic_info* nic, const firmware_info& answer);

/// The NIC table: one record per enumerated adapter (or per report device).
extern std::vector<nic_info> g_ninfo;
/// Records of a table built from the PCI bus.
extern int g_nNics;
/// Adapters of the vendor found by the build.
extern int g_nMellanoxPorts;
/// True once this run filled the NIC table (from the bus or from a report).
extern bool g_nic_table_built;
/// The functions in flash recovery mode this run found on the bus: no
/// adapters of the table, never queried or burned.
extern std::vector<recovery_function> g_recovery_functions;
/// Per record: index of the image chosen for flashing in an upgrade run.
extern std::vector<int> fw_number;
