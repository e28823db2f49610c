// The NIC record and the NIC table that every mode works on.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "repository/fw_version.h"

/// Catalog images one adapter record can hold.
inline constexpr int kMaxImagesPerNic = 100;

/// `flags` bits of a record.
inline constexpr int kNicRecognised = 1;  ///< adapter of the vendor, firmware version (and PSID) known
inline constexpr int kNicToFlash = 2;     ///< to be flashed

/// One adapter (one PCI device) with its firmware and the catalog
/// images that fit it. Texts are empty when unknown; a record starts with
/// every text empty and every number 0.
struct nic_info {
  std::string pinterfacename;  ///< name shown to the operator: the address text
  std::string pfirmware_ver;   ///< version in flash as the tool reported it
  std::string prunning_ver;    ///< version still running until a reset, when it differs; else ""
  std::string pbus_info;       ///< PCI address text, passed to the tool after -d
  int ven_id = 0;
  int dev_id = 0;
  int sub_ven_id = 0;
  int sub_dev_id = 0;
  std::string busnumber;       ///< from a report: "dddd:bb"
  std::string devicenumber;    ///< from a report: "dd"
  std::string funcnumber;      ///< from a report: "f"
  std::string pcurrent_mac;    ///< MAC text; a report may carry one
  uint32_t uCurROMmaj = 0;     ///< version in flash: what every decision compares
  uint32_t uCurROMmin = 0;
  uint32_t uCurROMrel = 0;
  std::array<uint32_t, kMaxImagesPerNic> uFwROMmaj{};  ///< per image: version
  std::array<uint32_t, kMaxImagesPerNic> uFwROMmin{};
  std::array<uint32_t, kMaxImagesPerNic> uFwROMrel{};
  std::array<std::string, kMaxImagesPerNic> pxmlName;     ///< per image: catalog name
  std::array<std::string, kMaxImagesPerNic> pxmlFwImage;  ///< per image: file inside nic_fw/
  std::string pFwPath;         ///< image named for flashing by a report device
  std::string pPort;           ///< slot text of a report device
  int flags = 0;
  int fw_count = 0;            ///< images held, 0 to kMaxImagesPerNic
  std::string psid;            ///< the board's PSID as the tool reported it
};

/// The installed version of a record: the version in its flash.
fw_version running_version(const nic_info& nic);

/// "reset pending: running X" when the adapter still runs another version
/// than its flash holds, else "".
std::string reset_pending_text(const nic_info& nic);

/// The version of image `index` of a record.
fw_version image_version(const nic_info& nic, int index);

/// Number of images a record holds, within 0 to kMaxImagesPerNic.
int image_count(const nic_info& nic);

/// The versions of a record's images, ascending: the numerically highest last.
std::vector<fw_version> sorted_image_versions(const nic_info& nic);

/// The NIC table: one record per enumerated adapter (or per report device).
extern std::vector<nic_info> g_ninfo;
/// Records of a table built from the PCI bus.
extern int g_nNics;
/// Adapters of the vendor found by the build.
extern int g_nMellanoxPorts;
/// Per record: index of the image chosen for flashing in an upgrade run.
extern std::vector<int> fw_number;
