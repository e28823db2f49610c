// The firmware catalog nic_fw/NICFWData.xml: reading it and matching adapters against it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "repository/pci_ids.h"

/// Path of the catalog and the repository directory, relative to the
/// working directory.
inline constexpr const char* g_XMLFwFile = "nic_fw/NICFWData.xml";
inline constexpr const char* g_FwDir = "./nic_fw/";

/// One catalog entry. Texts are empty when the attribute is absent.
struct XMLFW_INFO {
  std::string pxmlName;      ///< "name": display name
  std::string pxmlVenId;     ///< "venid": four upper-case hex digits
  std::string pxmlDevId;     ///< "devid"
  std::string pxmlSubVenId;  ///< in the catalog: "subvenid"; in a match: the adapter's own ("%04X")
  std::string pxmlSubDevId;  ///< in the catalog: "subdevid"; in a match: the adapter's own ("%04X")
  std::string pxmlRom;       ///< "rom": the image's version text
  std::string pxmlFwImage;   ///< "fwFile": file name inside nic_fw/
  std::string pxmlPSID;      ///< "PSID"
};

/// Every entry of one catalog, in document order.
struct fw_catalog {
  std::vector<XMLFW_INFO> entries;
  /// The parser's complaint when the catalog broke off ("FILE:LINE: parser
  /// error : ...\n"); empty otherwise.
  std::string error;
  /// The line of that fault, 0 when the parser named none.
  int error_line = 0;
};

/// The identity an adapter is matched by: its PCI identity and its PSID.
struct adapter_identity : pci_ids {
  std::string psid;
};

/// Outcome of reading a catalog file.
enum class catalog_status {
  ok,
  unreadable,  ///< could not be opened
  malformed,   ///< broke off at a fault (or has a refused document type
               ///< declaration); the entries before it stand
};

/// Reads the catalog file at `path` into `catalog` (replacing its contents).
/// Anything but a regular file is unreadable.
catalog_status load_fw_catalog(const std::string& path, fw_catalog* catalog);

/// Reads catalog text (as a file would hold it) into `catalog`.
catalog_status parse_fw_catalog_text(const std::string& xml, fw_catalog* catalog);

/// The entries that match the adapter (venid, devid and PSID texts equal to
/// its "%04X" IDs and its non-empty PSID), all of them, in catalog order;
/// their subsystem IDs are the adapter's own.
std::vector<XMLFW_INFO> read_NIC_FW_xml_file(const fw_catalog& catalog,
                                             const adapter_identity& adapter);

/// This run's catalog (g_XMLFwFile), owned by the mode and read once, when
/// first needed: a run none of whose adapters could be read needs none.
class run_fw_catalog {
 public:
  /// The catalog, read on the first call. nullptr when it cannot be opened,
  /// is not a regular file, or breaks off before its first entry: then
  /// "Unable to open %s\n" is logged, and the mode ends the run with status
  /// 1. When it breaks off later, the parser's complaint goes to standard
  /// error and an event names the line of the fault.
  const fw_catalog* get();

 private:
  enum class state { unread, usable, unusable };
  state state_ = state::unread;
  fw_catalog catalog_;
};
