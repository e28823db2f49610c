// Owners of libxml2 handles: text readers, text writers and documents.
#pragma once

#include <libxml/tree.h>
#include <libxml/xmlreader.h>
#include <libxml/xmlwriter.h>

#include <memory>

struct xml_reader_free {
  void operator()(xmlTextReader* reader) const noexcept { xmlFreeTextReader(reader); }
};
struct xml_writer_free {
  void operator()(xmlTextWriter* writer) const noexcept { xmlFreeTextWriter(writer); }
};
struct xml_doc_free {
  void operator()(xmlDoc* doc) const noexcept { xmlFreeDoc(doc); }
};

/// Owns a text reader (catalog, discovery report).
using xml_reader_owner = std::unique_ptr<xmlTextReader, xml_reader_free>;
/// Owns a text writer (discovery report).
using xml_writer_owner = std::unique_ptr<xmlTextWriter, xml_writer_free>;
/// Owns a document.
using xml_doc_owner = std::unique_ptr<xmlDoc, xml_doc_free>;
