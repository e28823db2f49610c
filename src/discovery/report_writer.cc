// The discovery report writer: builds the document in memory, then replaces the report file.
#include "discovery/report_writer.h"

#include <libxml/tree.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "discovery/fw_action.h"
#include "inventory/nic_info.h"
#include "inventory/nic_table.h"
#include "repository/fw_catalog.h"
#include "repository/fw_version.h"
#include "run/event_log.h"
#include "run/exit_status.h"
#include "run/options.h"
#include "run/run_state.h"
#include "run/file_io.h"
#include "run/text_format.h"
#include "run/version.h"

namespace {

const char* const kRootName = "vantrel_rom_discovery";
const char* const kFwTypeRom = "ROM";
// Leaves of a device before its firmware items, and leaves of one item.
constexpr size_t kDeviceLeaves = 12;
constexpr size_t kItemLeaves = 8;
constexpr size_t kHeaderLeaves = 4;

const xmlChar* xml(const char* text) { return reinterpret_cast<const xmlChar*>(text); }

// One leaf: an empty element whose only attribute is "value".
int write_leaf(xmlTextWriter* writer, const char* name, std::string_view value) {
  const std::string safe = xml_safe_text(value);
  if (xmlTextWriterStartElement(writer, xml(name)) < 0) return -1;
  if (xmlTextWriterWriteAttribute(writer, xml("value"), xml(safe.c_str())) < 0) return -1;
  return xmlTextWriterEndElement(writer) < 0 ? -1 : 0;
}

bool xml_char_allowed(uint32_t cp) {
  return cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) ||
         (cp >= 0xE000 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0x10FFFF);
}

std::vector<xmlNode*> child_elements(xmlNode* parent) {
  std::vector<xmlNode*> elements;
  for (xmlNode* child = parent->children; child; child = child->next) {
    if (child->type == XML_ELEMENT_NODE) elements.push_back(child);
  }
  return elements;
}

bool named(const xmlNode* node, const char* name) {
  return xmlStrcmp(node->name, xml(name)) == 0;
}

// The writer hands its text to a parser that builds the document; a fault
// there shows only as a document that lacks what was written, so the shape
// is checked before anything is saved.
bool report_document_complete(xmlDoc* doc, size_t devices) {
  xmlNode* root = xmlDocGetRootElement(doc);
  if (!root || !named(root, kRootName)) return false;
  std::vector<xmlNode*> top = child_elements(root);
  if (top.size() != kHeaderLeaves + 1 || !named(top.back(), "devices")) return false;
  std::vector<xmlNode*> device_nodes = child_elements(top.back());
  if (device_nodes.size() != devices) return false;
  for (xmlNode* device : device_nodes) {
    std::vector<xmlNode*> leaves = child_elements(device);
    if (leaves.size() != kDeviceLeaves + 1 || !named(leaves.back(), "fw_item")) return false;
    if (child_elements(leaves.back()).size() != kItemLeaves) return false;
  }
  return true;
}

void log_save_failure(const std::string& path, const std::string& reason) {
  log_mellanox_event(kTagError,
                     strprintf("xml_discovery_report: Failed to save %s: %s\n", path.c_str(),
                               reason.c_str()));
}

// Where a link at `path` leads, link by link (the target need not exist).
bool resolve_links(std::string path, std::string* target) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info;
    if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
      *target = path;
      return true;
    }
    std::string link(4096, '\0');
    const ssize_t n = readlink(path.c_str(), link.data(), link.size());
    if (n <= 0 || static_cast<size_t>(n) >= link.size()) return false;
    link.resize(static_cast<size_t>(n));
    const size_t slash = path.rfind('/');
    path = link[0] == '/' || slash == std::string::npos ? link : path.substr(0, slash + 1) + link;
  }
  errno = ELOOP;
  return false;
}

// Why the existing file `path` must not be replaced by a report, or nullptr.
const char* refusal_to_replace(const std::string& path, const struct stat& existing) {
  if (!S_ISREG(existing.st_mode)) return "not a regular file";
  if (is_event_log(path)) return "it is the event log";
  struct stat catalog;
  if (stat(g_XMLFwFile, &catalog) == 0 && catalog.st_dev == existing.st_dev &&
      catalog.st_ino == existing.st_ino)
    return "it is the firmware catalog";
  return nullptr;
}

// Saves the document into a new file beside the report file and renames it
// over that file, so a reader never finds half a report and a failed run
// leaves the previous one in place. Only a regular file (or none) is
// replaced, never a device, FIFO or link, nor the event log or the catalog.
int save_report(xmlDoc* doc, const std::string& path) {
  struct stat existing;
  const bool exists = stat(path.c_str(), &existing) == 0;
  if (!exists && errno != ENOENT) {
    log_save_failure(path, std::strerror(errno));
    return 1;
  }
  const char* refusal = exists ? refusal_to_replace(path, existing) : nullptr;
  std::string target;
  if (!refusal && !resolve_links(path, &target)) refusal = std::strerror(errno);
  if (refusal) {
    log_save_failure(path, refusal);
    return 1;
  }
  const auto [dir, name] = split_path(target);
  if (name.empty()) {
    log_save_failure(path, "not a file name");
    return 1;
  }
  const unique_fd dir_fd = open_directory(dir, false);
  if (!dir_fd.valid()) {
    log_save_failure(path, std::strerror(errno));
    return 1;
  }
  // Saved by our own hands: a file name handed to libxml2 would be read as a
  // URI, and "%41" in it would name another file.
  xmlChar* dumped = nullptr;
  int size = 0;
  xmlDocDumpMemoryEnc(doc, &dumped, &size, "UTF-8");
  const std::string text =
      dumped ? std::string(reinterpret_cast<const char*>(dumped), static_cast<size_t>(size)) : "";
  xmlFree(dumped);
  // A new report is as readable as any file this process creates; a replaced
  // one keeps its owner and mode.
  const mode_t mask = umask(0);
  umask(mask);
  replacement_file file;
  file.mode = exists ? existing.st_mode & 07777 : 0666 & ~mask;
  if (exists && (existing.st_uid != geteuid() || existing.st_gid != getegid())) {
    file.owner = existing.st_uid;
    file.group = existing.st_gid;
  }
  const replace_failure failure =
      dumped ? replace_file_atomically(dir_fd.get(), name, text, file) : replace_failure{};
  if (!dumped || failure.at == replace_failure::step::write) {
    log_save_failure(path, "could not write the document");
    return 1;
  }
  if (failure) {
    log_save_failure(path, std::strerror(failure.error));
    return 1;
  }
  return 0;
}

}  // namespace

int discover_HW(const run_settings& settings) {
  if (!open_event_log()) return kExitFailure;
  run_fw_catalog catalog;
  const int built = build_NIC_list(catalog, query_limits_of(settings));
  if (built == kNicListBrokenOff) return kExitFailure;
  if (built != 0) return kExitErrors;
  return xml_discovery_report() == 0 ? kExitOk : kExitErrors;
}

int xml_discovery_report() { return write_discovery_report(g_ninfo, g_XMLDiscoveryReport); }

xml_doc_owner discovery_report_document(const std::vector<nic_info>& table) {
  xml_writer_owner writer;
  xml_doc_owner doc;
  if (write_XML_start_elements(&writer, &doc) < 0) {
    if (writer) log_mellanox_event(kTagError, "xml_discovery_report: Error writing the report header\n");
    return nullptr;
  }
  size_t devices = 0;
  for (const nic_info& nic : table) {
    if (!(nic.flags & kNicRecognised)) continue;
    if (write_XML_device_elements(writer.get(), nic) < 0) {
      log_mellanox_event(kTagError, strprintf("xml_discovery_report: Error writing the device %s\n",
                                              xml_safe_text(nic.pbus_info).c_str()));
      return nullptr;
    }
    ++devices;
  }
  if (xmlTextWriterEndDocument(writer.get()) < 0) {
    log_mellanox_event(kTagError, "Error at XmlTextWriterEndDocument\n");
    return nullptr;
  }
  writer.reset();  // hands the last of the text to the document
  if (!report_document_complete(doc.get(), devices)) {
    log_mellanox_event(kTagError, "Error at XmlTextWriterEndDocument\n");
    return nullptr;
  }
  return doc;
}

int write_discovery_report(const std::vector<nic_info>& table, const std::string& path) {
  xml_doc_owner doc = discovery_report_document(table);
  return doc ? save_report(doc.get(), path) : 1;
}

int write_XML_start_elements(xml_writer_owner* writer, xml_doc_owner* doc) {
  xmlDoc* new_doc = nullptr;
  writer->reset(xmlNewTextWriterDoc(&new_doc, 0));
  if (!*writer) {
    log_mellanox_event(kTagError, "write_XML_start_elements: Error creating teh xml writer\n");
    return -1;
  }
  doc->reset(new_doc);
  xmlTextWriter* w = writer->get();
  if (xmlTextWriterSetIndent(w, 1) < 0 || xmlTextWriterSetIndentString(w, xml("    ")) < 0 ||
      xmlTextWriterStartDocument(w, nullptr, "UTF-8", nullptr) < 0 ||
      xmlTextWriterStartElement(w, xml(kRootName)) < 0 ||
      xmlTextWriterWriteAttribute(w, xml("version"), xml("2.0.0.0")) < 0 ||
      write_leaf(w, "type", "MELLANOX_NIC") < 0 || write_leaf(w, "alt_name", kProgramTitle) < 0 ||
      write_leaf(w, "version", kFwkitVersion) < 0 || write_leaf(w, "takes_effect", "reboot") < 0 ||
      xmlTextWriterStartElement(w, xml("devices")) < 0)
    return -1;
  return 0;
}

int write_XML_device_elements(xmlTextWriter* writer, const nic_info& nic) {
  const pci_address_fields address = split_pci_address(nic.pbus_info);
  const std::pair<const char*, std::string> leaves[kDeviceLeaves] = {
      {"device_id", nic.pinterfacename},
      {"venid", strprintf("%04X", static_cast<unsigned>(nic.ven_id))},
      {"devid", strprintf("%04X", static_cast<unsigned>(nic.dev_id))},
      {"subvenid", strprintf("%04X", static_cast<unsigned>(nic.sub_ven_id))},
      {"subdevid", strprintf("%04X", static_cast<unsigned>(nic.sub_dev_id))},
      {"macaddress", nic.pcurrent_mac},
      {"product_id", nic.pxmlName[0]},
      {"busnumber", address.busnumber},
      {"devicenumber", address.devicenumber},
      {"funcnumber", address.funcnumber},
      {"slotnumber", nic.pPort},
      {"nictype", "MELLANOX"},
  };
  if (xmlTextWriterStartElement(writer, xml("device")) < 0) return -1;
  for (const auto& [name, value] : leaves) {
    if (write_leaf(writer, name, value) < 0) return -1;
  }
  if (write_XML_FW_item(writer, nic) < 0) return -1;
  return xmlTextWriterEndElement(writer) < 0 ? -1 : 0;
}

int write_XML_FW_item(xmlTextWriter* writer, const nic_info& nic) {
  std::vector<std::string> types;
  if (nic.flags & kNicRecognised) types.push_back(kFwTypeRom);
  for (const std::string& type : types) {
    const bool rom = type.find(kFwTypeRom) != std::string::npos;
    const std::pair<const char*, std::string> leaves[kItemLeaves] = {
        {"type", type},
        {"firmware_id", nic.psid},
        {"version", build_XML_FW_item_version(type, nic)},
        {"active_version", build_XML_FW_item_active_version(type, nic)},
        {"action", recommend_XML_FW_action(type, nic)},
        {"duration", rom ? "210" : "0"},
        {"message", reset_pending_text(nic)},
        {"shared", "no"},
    };
    if (xmlTextWriterStartElement(writer, xml("fw_item")) < 0) return -1;
    for (const auto& [name, value] : leaves) {
      if (write_leaf(writer, name, value) < 0) return -1;
    }
    if (xmlTextWriterEndElement(writer) < 0) return -1;
  }
  return 0;
}

std::string build_XML_FW_item_version(std::string_view, const nic_info& nic) {
  const std::vector<fw_version> versions = sorted_image_versions(nic);
  return versions.empty() ? "" : version_text(versions.back());
}

std::string build_XML_FW_item_active_version(std::string_view, const nic_info& nic) {
  return version_text(running_version(nic));
}

pci_address_fields split_pci_address(std::string_view bus_info) {
  pci_address_fields fields;
  const size_t first_colon = bus_info.find(':');
  const size_t second_colon =
      first_colon == std::string_view::npos ? first_colon : bus_info.find(':', first_colon + 1);
  if (second_colon != std::string_view::npos) {
    fields.busnumber = bus_info.substr(0, second_colon);
    const size_t dot = bus_info.find('.', second_colon + 1);
    if (dot != std::string_view::npos)
      fields.devicenumber = bus_info.substr(second_colon + 1, dot - second_colon - 1);
  }
  const size_t last_dot = bus_info.rfind('.');
  if (last_dot != std::string_view::npos) fields.funcnumber = bus_info.substr(last_dot + 1);
  return fields;
}

std::string xml_safe_text(std::string_view text) {
  static const uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};  // by sequence length
  std::string safe;
  safe.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    size_t length = 0;
    uint32_t cp = 0;
    if (lead < 0x80) {
      length = 1;
      cp = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2;
      cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      cp = lead & 0x07;
    }
    bool ok = length != 0 && i + length <= text.size();
    for (size_t k = 1; ok && k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(text[i + k]);
      ok = (next & 0xC0) == 0x80;
      cp = (cp << 6) | (next & 0x3F);
    }
    if (ok && (cp < kSmallest[length] || !xml_char_allowed(cp))) ok = false;
    if (!ok) {
      safe += '?';
      ++i;
      continue;
    }
    safe.append(text.substr(i, length));
    i += length;
  }
  return safe;
}
