// The firmware catalog: streaming it with libxml2 once per run and matching adapters from memory.
#include "repository/fw_catalog.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "repository/xml_errors.h"
#include "repository/xml_owners.h"
#include "run/error_report.h"
#include "run/event_log.h"
#include "run/outside_text.h"
#include "run/file_io.h"
#include "run/text_format.h"

namespace {

std::string_view text_of(const xmlChar* text) {
  return text ? std::string_view(reinterpret_cast<const char*>(text)) : std::string_view();
}

// The attributes of one element that make a catalog entry. Each element is
// judged on its own attributes, whatever their order.
struct element_attributes {
  XMLFW_INFO entry;
  bool venid = false, devid = false, subvenid = false, psid = false, subdevid = false;

  void take(std::string_view name, std::string_view raw_value) {
    // Catalog text reaches prompts, reports and the log: cleaned as it enters.
    const std::string value = clean_outside_text(raw_value);
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

catalog_status read_entries(xmlTextReader* reader, xml_error_trap& trap, fw_catalog* catalog) {
  int ret;
  while ((ret = xmlTextReaderRead(reader)) == 1) {
    const int type = xmlTextReaderNodeType(reader);
    if (type == XML_READER_TYPE_DOCUMENT_TYPE) {
      // The catalog needs none, and its entities could swell a small file
      // into gigabytes: refused before any value is read.
      trap.fault(xmlTextReaderGetParserLineNumber(reader),
                 "a document type declaration is not accepted");
      catalog->entries.clear();
      return catalog_status::malformed;
    }
    if (type != XML_READER_TYPE_ELEMENT) continue;
    if (xmlTextReaderHasAttributes(reader) != 1) continue;
    element_attributes element;
    while (xmlTextReaderMoveToNextAttribute(reader) == 1) {
      element.take(text_of(xmlTextReaderConstName(reader)),
                   text_of(xmlTextReaderConstValue(reader)));
    }
    xmlTextReaderMoveToElement(reader);
    if (element.is_entry()) catalog->entries.push_back(std::move(element.entry));
  }
  if (ret == 0) return catalog_status::ok;
  trap.fault_line(xmlTextReaderGetParserLineNumber(reader));
  return catalog_status::malformed;
}

// Where the catalog's bytes come from: an open file or a text in memory,
// handed to the reader in large pieces, and one byte at a time from
// `slow_from` on.
struct catalog_source {
  int fd = -1;
  std::string_view text;
  size_t offset = 0;
  size_t slow_from = SIZE_MAX;
};

int read_piece(void* context, char* buffer, int length) {
  constexpr size_t kFastPiece = 1 << 16;
  auto* source = static_cast<catalog_source*>(context);
  const size_t piece = source->offset < source->slow_from
                           ? std::min(kFastPiece, source->slow_from - source->offset)
                           : 1;
  size_t want = std::min(static_cast<size_t>(std::max(length, 0)), piece);
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

// One pass over the catalog; `source` tells afterwards how far it was read.
catalog_status read_pass(catalog_source* source, const char* name, fw_catalog* catalog) {
  *catalog = fw_catalog();
  source->offset = 0;
  xml_error_trap trap(name);
  catalog_status status = catalog_status::malformed;
  xml_reader_owner reader(
      xmlReaderForIO(read_piece, close_nothing, source, name, nullptr, XML_PARSE_NONET));
  if (!reader) {
    trap.fault(0, "the XML reader could not be created");
  } else {
    status = read_entries(reader.get(), trap, catalog);
  }
  if (status == catalog_status::malformed) {
    trap.fault(0, "the document ends early");
    catalog->error = trap.line();
    catalog->error_line = trap.line_number();
  }
  return status;
}

// The reader gives up on the whole block of input that holds a fault, so
// entries shortly before it would be lost. A broken catalog is read once
// more: in large pieces up to shortly before where the first pass had read
// to when it failed (the fault lies before that), then a byte at a time,
// which keeps every entry before the fault at the cost of the last bytes.
catalog_status read_catalog(catalog_source source, const char* name, fw_catalog* catalog) {
  LIBXML_TEST_VERSION
  // More than the reader reads ahead of what it has parsed.
  constexpr size_t kSlowTail = 1 << 15;
  catalog_status status = read_pass(&source, name, catalog);
  if (status == catalog_status::malformed) {
    source.slow_from = source.offset > kSlowTail ? source.offset - kSlowTail : 0;
    status = read_pass(&source, name, catalog);
  }
  return status;
}

}  // namespace

catalog_status load_fw_catalog(const std::string& path, fw_catalog* catalog) {
  *catalog = fw_catalog();
  // A FIFO would hang the run; only a regular file is a catalog.
  unique_fd fd = open_regular_file(path, O_RDONLY, false);
  if (!fd.valid()) return catalog_status::unreadable;
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
                                             const adapter_identity& adapter) {
  std::vector<XMLFW_INFO> matches;
  // A board whose PSID is unknown cannot be told apart from its siblings.
  if (adapter.psid.empty()) return matches;
  const std::string ven = strprintf("%04X", adapter.ven_id);
  const std::string dev = strprintf("%04X", adapter.dev_id);
  for (const XMLFW_INFO& entry : catalog.entries) {
    if (entry.pxmlVenId != ven || entry.pxmlDevId != dev || entry.pxmlPSID != adapter.psid)
      continue;
    XMLFW_INFO match = entry;
    match.pxmlSubVenId = strprintf("%04X", adapter.sub_ven_id);
    match.pxmlSubDevId = strprintf("%04X", adapter.sub_dev_id);
    matches.push_back(std::move(match));
  }
  return matches;
}

const fw_catalog* run_fw_catalog::get() {
  if (state_ == state::unread) {
    const catalog_status status = load_fw_catalog(g_XMLFwFile, &catalog_);
    if (status == catalog_status::malformed) write_stderr(catalog_.error);
    // A catalog that breaks off before its first entry (garbage, empty, or a
    // refused document type) offers nothing: it is as good as missing.
    if (status == catalog_status::unreadable ||
        (status == catalog_status::malformed && catalog_.entries.empty())) {
      log_mellanox_event(kTagError, strprintf("Unable to open %s\n", g_XMLFwFile));
      state_ = state::unusable;
      return nullptr;
    }
    if (status == catalog_status::malformed) {
      const std::string where =
          catalog_.error_line > 0 ? strprintf("at line %d", catalog_.error_line) : "at its end";
      log_mellanox_event(kTagError,
                         strprintf("%s breaks off %s; the entries after it are ignored (%zu "
                                   "read before it)\n",
                                   g_XMLFwFile, where.c_str(), catalog_.entries.size()));
    }
    state_ = state::usable;
  }
  return state_ == state::usable ? &catalog_ : nullptr;
}
