// The discovery report writer (-d): one XML document describing every recognised adapter.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "inventory/nic_info.h"
#include "run/settings.h"
#include "repository/xml_owners.h"

/// The three address leaves of a device, cut from its PCI address text.
struct pci_address_fields {
  std::string busnumber;     ///< "dddd:bb": up to the second ':'
  std::string devicenumber;  ///< "dd": between the second ':' and the next '.'
  std::string funcnumber;    ///< "f": after the last '.'
};

/// Writes the discovery report for this server to g_XMLDiscoveryReport;
/// returns the exit status (0 written, 2 no adapter or no report).
int discover_HW(const run_settings& settings);

/// Writes the report of g_ninfo to g_XMLDiscoveryReport. 0 when the whole
/// document was saved; otherwise the failure is logged and the result is
/// non-zero, and an existing file of that name is left as it was.
int xml_discovery_report();

/// The report document of `table`: its recognised adapters in table order.
/// Null when the document could not be built (the failure is logged).
xml_doc_owner discovery_report_document(const std::vector<nic_info>& table);

/// Writes the report of `table` to `path` (in a temporary file beside it,
/// then renamed over it). 0 on success; failures are logged.
int write_discovery_report(const std::vector<nic_info>& table, const std::string& path);

/// Creates the writer and its document, writes the declaration, the root,
/// the header leaves and opens `devices`. Negative on failure.
int write_XML_start_elements(xml_writer_owner* writer, xml_doc_owner* doc);

/// Writes the `device` element of `nic`, its firmware item included.
int write_XML_device_elements(xmlTextWriter* writer, const nic_info& nic);

/// Writes the firmware items of `nic` (one "ROM" item for a recognised adapter).
int write_XML_FW_item(xmlTextWriter* writer, const nic_info& nic);

/// The `version` value: the numerically highest catalog version of `nic`, or
/// "" when it has none.
std::string build_XML_FW_item_version(std::string_view pFwtype, const nic_info& nic);

/// The `active_version` value: the running version of `nic`.
std::string build_XML_FW_item_active_version(std::string_view pFwtype, const nic_info& nic);

/// Cuts an address "dddd:bb:dd.f" into its three report leaves; a field whose
/// ':' or '.' is missing is empty. Case and width are kept.
pci_address_fields split_pci_address(std::string_view bus_info);

/// `text` as an XML document can carry it: bytes that are not UTF-8 and
/// characters XML does not allow become '?'.
std::string xml_safe_text(std::string_view text);
