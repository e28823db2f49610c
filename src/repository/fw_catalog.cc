// The firmware catalog: streaming it with libxml2 once per run and matching adapters from memory.
#include "repository/fw_catalog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "repository/xml_owners.h"
#include "run/error_report.h"
#include "run/event_log.h"
#include "run/exit_status.h"
#include "run/temp_file.h"
#include "run/text_format.h"

namespace {

std::string_view text_of(const xmlChar* text) {
  return text ? std::string_view(reinterpret_cast<const char*>(text)) : std::string_view();
}

// Keeps the first complaint of the parser; libxml2 would otherwise print
// every one of them on its own.
void keep_first_error(void* arg, xmlErrorPtr error) {
  auto* catalog = static_cast<fw_catalog*>(arg);
  if (!catalog->error.empty() || !error || error->level < XML_ERR_ERROR) return;
  if (error->domain == XML_FROM_NAMESPACE) return;  // the reader goes on after these
  std::string message = error->message ? error->message : "unknown error\n";
  if (message.empty() || message.back() != '\n') message += '\n';
  catalog->error = strprintf("%s:%d: parser error : %s", error->file ? error->file : "catalog",
                             error->line, message.c_str());
  catalog->error_line = error->line;
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

// Where the catalog's bytes come from: an open file or a text in memory,
// handed to the reader `piece` bytes at a time at most.
struct catalog_source {
  int fd = -1;
  std::string_view text;
  size_t offset = 0;
  size_t piece = 0;
};

int read_piece(void* context, char* buffer, int length) {
  auto* source = static_cast<catalog_source*>(context);
  size_t want = std::min(static_cast<size_t>(std::max(length, 0)), source->piece);
  if (source->fd < 0) {
    size_t n = std::min(want, source->text.size() - source->offset);
    std::memcpy(buffer, source->text.data() + source->offset, n);
    source->offset += n;
    return static_cast<int>(n);
  }
  ssize_t n;
  do {
    n = pread(source->fd, buffer, want, static_cast<off_t>(source->offset));
  } while (n < 0 && errno == EINTR);
  if (n < 0) return -1;
  source->offset += static_cast<size_t>(n);
  return static_cast<int>(n);
}

int close_nothing(void*) { return 0; }

catalog_status read_pass(catalog_source source, size_t piece, const char* name,
                         fw_catalog* catalog) {
  *catalog = fw_catalog();
  source.offset = 0;
  source.piece = piece;
  xml_reader_owner reader(xmlReaderForIO(read_piece, close_nothing, &source, name, nullptr, 0));
  if (!reader) {
    catalog->error = strprintf("%s: the XML reader could not be created\n", name);
    return catalog_status::malformed;
  }
  xmlTextReaderSetStructuredErrorHandler(reader.get(), keep_first_error, catalog);
  catalog_status status = read_entries(reader.get(), catalog);
  // A complaint the reader went on after broke nothing off.
  if (status == catalog_status::ok) catalog->error.clear();
  if (status == catalog_status::malformed && catalog->error.empty())
    catalog->error = strprintf("%s: parser error : the document ends early\n", name);
  return status;
}

// The reader gives up on the whole block of input that holds a fault, so
// entries shortly before it would be lost. A broken catalog is read once
// more a byte at a time, which keeps every entry before the fault.
catalog_status read_catalog(const catalog_source& source, const char* name, fw_catalog* catalog) {
  LIBXML_TEST_VERSION
  constexpr size_t kFastPiece = 1 << 16;
  catalog_status status = read_pass(source, kFastPiece, name, catalog);
  if (status == catalog_status::malformed) status = read_pass(source, 1, name, catalog);
  return status;
}

}  // namespace

catalog_status load_fw_catalog(const std::string& path, fw_catalog* catalog) {
  *catalog = fw_catalog();
  unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info;
  if (!fd.valid() || fstat(fd.get(), &info) != 0 || S_ISDIR(info.st_mode))
    return catalog_status::unreadable;
  catalog_source source;
  source.fd = fd.get();
  return read_catalog(source, path.c_str(), catalog);
}

catalog_status parse_fw_catalog_text(const std::string& xml, fw_catalog* catalog) {
  catalog_source source;
  source.text = xml;
  return read_catalog(source, "catalog", catalog);
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
    if (status == catalog_status::malformed) {
      write_stderr(catalog.error);
      const std::string where =
          catalog.error_line > 0 ? strprintf("at line %d", catalog.error_line) : "at its end";
      log_mellanox_event(kTagError,
                         strprintf("%s breaks off %s; the entries after it are ignored (%zu "
                                   "read before it)\n",
                                   g_XMLFwFile, where.c_str(), catalog.entries.size()));
    }
    loaded = true;
  }
  return catalog;
}
