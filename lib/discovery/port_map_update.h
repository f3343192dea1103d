// The XML side of the port-map update (ZqUmtsKavPortMapUpdate, include/umts_kav/umts_kav_lib.h):
// loading a document from a file or from text with pugixml, the checks pugixml leaves to its
// caller, and the element texts the update reads and prints.
//
// Every walk over a document here is iterative (parent and sibling links), so a deeply nested
// document cannot exhaust the stack; documents nested deeper than kMaxDocumentDepth are refused
// anyway, so that nothing downstream ever meets one.
//
// Threading: plain functions over the document passed in; no shared state.
#pragma once

#include <pugixml.hpp>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "lib/core/status.h"

namespace kav {

// Adds or changes port map entries from an XML document, given as text or as a file name (a
// text with neither '<' nor '>'), then rebuilds the COM port mask. 0, 40, 367 or 368. The
// public ZqUmtsKavPortMapUpdate.
ZqUmtsKavStatusEnum port_map_update(const char* xml_source);

// The deepest element nesting a port-map update document may have (the root element is level
// 1). Real documents have three levels.
inline constexpr size_t kMaxDocumentDepth = 1000;

// The outcome of loading a document.
enum class LoadOutcome {
  kLoaded,
  kFailed,   // unreadable file, not well-formed XML, or no single root element
  kTooDeep,  // well-formed, but nested deeper than kMaxDocumentDepth
};

// The largest document file an update reads; larger files, and anything that is not a regular
// file (a FIFO, a device), are refused unread.
inline constexpr size_t kMaxDocumentFileBytes = 64u << 20;

// Loads `source` into `doc`: the bytes of a document file when `from_file` (their encoding
// found from a byte order mark or the declaration), else the text itself (UTF-8).
// Beyond what pugixml checks, a document must have exactly one element at top level, no
// character data outside it and no element with the same attribute twice.
LoadOutcome load_port_map_document(pugi::xml_document& doc, const std::string& source,
                                   bool from_file);

// All elements named `name` anywhere in the document, in document order.
std::vector<pugi::xml_node> elements_named(const pugi::xml_document& doc, const char* name);

// The direct child elements of `parent` named `name`, in document order.
std::vector<pugi::xml_node> child_elements_named(pugi::xml_node parent, const char* name);

// The character data of `element` and all its descendants (CDATA included), concatenated in
// document order.
std::string element_text(pugi::xml_node element);

// `element` serialised as XML without added white space or declaration.
std::string element_xml(pugi::xml_node element);

// `text` without the characters " \t\r\n\f\v\b" at either end.
std::string trim_document_text(std::string_view text);

}  // namespace kav
