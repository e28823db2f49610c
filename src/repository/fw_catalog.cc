// The firmware catalog: streaming it with libxml2 once per run and matching adapters from memory.
#include "repository/fw_catalog.h"

#include <fcntl.h>
#include <libxml/xmlreader.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <string_view>

#include "run/error_report.h"
#include "run/event_log.h"
#include "run/exit_status.h"
#include "run/temp_file.h"
#include "run/text_format.h"

namespace {

struct reader_deleter {
  void operator()(xmlTextReader* reader) const { xmlFreeTextReader(reader); }
};
using reader_ptr = std::unique_ptr<xmlTextReader, reader_deleter>;

std::string_view text_of(const xmlChar* text) {
  return text ? std::string_view(reinterpret_cast<const char*>(text)) : std::string_view();
}

// Keeps the first complaint of the parser; libxml2 would otherwise print
// every one of them on its own.
void keep_first_error(void* arg, xmlErrorPtr error) {
  auto* catalog = static_cast<fw_catalog*>(arg);
  if (!catalog->error.empty() || !error || error->level < XML_ERR_ERROR) return;
  std::string message = error->message ? error->message : "unknown error\n";
  if (message.empty() || message.back() != '\n') message += '\n';
  catalog->error = strprintf("%s:%d: parser error : %s", error->file ? error->file : "catalog",
                             error->line, message.c_str());
}

// The attributes of one element that make a catalog entry. Each element is
// judged on its own attributes, whatever their order.
struct element_attributes {
  XMLFW_INFO entry;
  bool venid = false, devid = false, subvenid = false, psid = false, subdevid = false;

  void take(std::string_view name, std::string_view value) {
    if (name == "name") {
      entry.pxmlName = value;
    } else if (name == "venid") {
      entry.pxmlVenId = value;
      venid = true;
    } else if (name == "devid") {
      entry.pxmlDevId = value;
      devid = true;
    } else if (name == "subvenid") {
      entry.pxmlSubVenId = value;
      subvenid = true;
    } else if (name == "PSID") {
      entry.pxmlPSID = value;
      psid = true;
    } else if (name == "subdevid") {
      entry.pxmlSubDevId = value;
      subdevid = true;
    } else if (name == "rom") {
      entry.pxmlRom = value;
    } else if (name == "fwFile") {
      entry.pxmlFwImage = value;
    }
  }

  bool is_entry() const { return venid && devid && subvenid && psid && subdevid; }
};

catalog_status read_entries(xmlTextReader* reader, fw_catalog* catalog) {
  int ret;
  while ((ret = xmlTextReaderRead(reader)) == 1) {
    if (xmlTextReaderNodeType(reader) != XML_READER_TYPE_ELEMENT) continue;
    if (xmlTextReaderHasAttributes(reader) != 1) continue;
    element_attributes element;
    while (xmlTextReaderMoveToNextAttribute(reader) == 1) {
      element.take(text_of(xmlTextReaderConstName(reader)),
                   text_of(xmlTextReaderConstValue(reader)));
    }
    xmlTextReaderMoveToElement(reader);
    if (element.is_entry()) catalog->entries.push_back(std::move(element.entry));
  }
  return ret == 0 ? catalog_status::ok : catalog_status::malformed;
}

catalog_status read_with(reader_ptr reader, fw_catalog* catalog) {
  if (!reader) {
    catalog->error = "the XML reader could not be created\n";
    return catalog_status::malformed;
  }
  xmlTextReaderSetStructuredErrorHandler(reader.get(), keep_first_error, catalog);
  catalog_status status = read_entries(reader.get(), catalog);
  if (status == catalog_status::malformed && catalog->error.empty())
    catalog->error = "catalog: parser error : the document ends early\n";
  return status;
}

}  // namespace

catalog_status load_fw_catalog(const std::string& path, fw_catalog* catalog) {
  LIBXML_TEST_VERSION
  *catalog = fw_catalog();
  unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info;
  if (!fd.valid() || fstat(fd.get(), &info) != 0 || S_ISDIR(info.st_mode))
    return catalog_status::unreadable;
  // The reader leaves the descriptor open; `fd` closes it.
  return read_with(reader_ptr(xmlReaderForFd(fd.get(), path.c_str(), nullptr, 0)), catalog);
}

catalog_status parse_fw_catalog_text(const std::string& xml, fw_catalog* catalog) {
  LIBXML_TEST_VERSION
  *catalog = fw_catalog();
  return read_with(reader_ptr(xmlReaderForMemory(xml.data(), static_cast<int>(xml.size()),
                                                 "catalog", nullptr, 0)),
                   catalog);
}

std::vector<XMLFW_INFO> read_NIC_FW_xml_file(const fw_catalog& catalog,
                                             const adapter_identity& adapter,
                                             size_t capacity) {
  std::vector<XMLFW_INFO> matches;
  // A board whose PSID is unknown cannot be told apart from its siblings.
  if (adapter.psid.empty()) return matches;
  const std::string ven = strprintf("%04X", adapter.ven_id);
  const std::string dev = strprintf("%04X", adapter.dev_id);
  for (const XMLFW_INFO& entry : catalog.entries) {
    if (matches.size() >= capacity) break;
    if (entry.pxmlVenId != ven || entry.pxmlDevId != dev || entry.pxmlPSID != adapter.psid)
      continue;
    XMLFW_INFO match = entry;
    match.pxmlSubVenId = strprintf("%04X", adapter.sub_ven_id);
    match.pxmlSubDevId = strprintf("%04X", adapter.sub_dev_id);
    matches.push_back(std::move(match));
  }
  return matches;
}

const fw_catalog& run_fw_catalog() {
  static fw_catalog catalog;
  static bool loaded = false;
  if (!loaded) {
    catalog_status status = load_fw_catalog(g_XMLFwFile, &catalog);
    if (status == catalog_status::unreadable) {
      log_mellanox_event(kTagError, strprintf("Unable to open %s\n", g_XMLFwFile));
      std::exit(kExitFailure);
    }
    if (status == catalog_status::malformed) write_stderr(catalog.error);
    loaded = true;
  }
  return catalog;
}
