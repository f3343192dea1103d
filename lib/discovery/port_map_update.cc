// The port-map update (ZqUmtsKavPortMapUpdate): adds or changes port map entries from an XML
// document, and the pugixml side of it (loading, checking and reading the document).
#include "lib/discovery/port_map_update.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "lib/core/messages.h"
#include "lib/core/status.h"
#include "lib/discovery/com_port_scanner.h"
#include "lib/discovery/port_map.h"
#include "lib/platform/error.h"
#include "lib/platform/files.h"
#include "lib/platform/text.h"

namespace kav {
namespace {

using platform::ascii_upper;

// Comments and processing instructions are kept so that an element's serialised text shows
// them as written; fragment mode keeps character data at top level, which a well-formed
// document must not have and which is refused below instead of being dropped silently.
constexpr unsigned kParseOptions =
    pugi::parse_default | pugi::parse_comments | pugi::parse_pi | pugi::parse_fragment;

// The node after `node` in document order, staying below `root`; null at the end. `depth`
// follows the move (children of `root` are at depth 1).
pugi::xml_node next_in_subtree(pugi::xml_node node, pugi::xml_node root, size_t& depth) {
  if (pugi::xml_node child = node.first_child()) {
    ++depth;
    return child;
  }
  for (; node && node != root; node = node.parent(), --depth) {
    if (pugi::xml_node sibling = node.next_sibling()) return sibling;
  }
  return {};
}

bool has_duplicate_attribute(pugi::xml_node element) {
  pugi::xml_attribute first = element.first_attribute();
  if (!first || !first.next_attribute()) return false;
  std::vector<std::string_view> names;
  for (pugi::xml_attribute a = first; a; a = a.next_attribute()) names.emplace_back(a.name());
  std::sort(names.begin(), names.end());
  return std::adjacent_find(names.begin(), names.end()) != names.end();
}

// Exactly one element at top level and no character data beside it.
bool has_single_root(const pugi::xml_document& doc) {
  int elements = 0;
  for (pugi::xml_node node = doc.first_child(); node; node = node.next_sibling()) {
    switch (node.type()) {
      case pugi::node_element:
        ++elements;
        break;
      case pugi::node_pcdata:
      case pugi::node_cdata:
        return false;
      default:
        break;
    }
  }
  return elements == 1;
}

}  // namespace

LoadOutcome load_port_map_document(pugi::xml_document& doc, const std::string& source,
                                   bool from_file) {
  const pugi::xml_parse_result parsed =
      from_file ? doc.load_buffer(source.data(), source.size(), kParseOptions)
                : doc.load_string(source.c_str(), kParseOptions);
  if (!parsed || !has_single_root(doc)) return LoadOutcome::kFailed;
  size_t depth = 0;
  size_t deepest = 0;
  for (pugi::xml_node node = doc.first_child(); node; node = next_in_subtree(node, doc, depth)) {
    if (node.type() != pugi::node_element) continue;
    deepest = std::max(deepest, depth + 1);
    if (has_duplicate_attribute(node)) return LoadOutcome::kFailed;
  }
  return deepest > kMaxDocumentDepth ? LoadOutcome::kTooDeep : LoadOutcome::kLoaded;
}

std::vector<pugi::xml_node> elements_named(const pugi::xml_document& doc, const char* name) {
  std::vector<pugi::xml_node> found;
  const std::string_view wanted(name);
  size_t depth = 0;
  for (pugi::xml_node node = doc.first_child(); node; node = next_in_subtree(node, doc, depth)) {
    if (node.type() == pugi::node_element && wanted == node.name()) found.push_back(node);
  }
  return found;
}

std::vector<pugi::xml_node> child_elements_named(pugi::xml_node parent, const char* name) {
  std::vector<pugi::xml_node> found;
  const std::string_view wanted(name);
  for (pugi::xml_node child = parent.first_child(); child; child = child.next_sibling()) {
    if (child.type() == pugi::node_element && wanted == child.name()) found.push_back(child);
  }
  return found;
}

std::string element_text(pugi::xml_node element) {
  std::string text;
  size_t depth = 0;
  for (pugi::xml_node node = element.first_child(); node;
       node = next_in_subtree(node, element, depth)) {
    if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) text += node.value();
  }
  return text;
}

std::string element_xml(pugi::xml_node element) {
  struct StringWriter : pugi::xml_writer {
    std::string text;
    void write(const void* data, size_t size) override {
      text.append(static_cast<const char*>(data), size);
    }
  } writer;
  element.print(writer, "", pugi::format_raw, pugi::encoding_utf8);
  return writer.text;
}

std::string trim_document_text(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\r\n\f\v\b";
  const size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const size_t last = text.find_last_not_of(kBlanks);
  return std::string(text.substr(first, last - first + 1));
}

}  // namespace kav

namespace kav {
namespace {

constexpr const char* kInternalError = "ERROR: Internal error in Port Map Update XML parser.\n";

std::optional<int32_t> reset_method_from(const std::string& text) {
  for (int32_t method : {ModemHardware, PortCloseOpen, Both, None}) {
    if (text == reset_method_name(method)) return method;
  }
  return std::nullopt;
}

std::optional<int32_t> port_type_from(const char* text) {
  for (int32_t type : {PT_AT, PT_DM, PT_AP, PT_OCP, PT_HID, PT_RNDIS}) {
    if (std::strcmp(text, port_type_name(type)) == 0) return type;
  }
  return std::nullopt;
}

// One Modem element being applied. The modem text (its serialised XML) is made only when a
// message needs it: a valid document never pays for it.
class ModemUpdate {
 public:
  explicit ModemUpdate(pugi::xml_node modem) : modem_(modem) {}

  // Applies every PortId of the element; 0, or 368 after reporting the first broken rule.
  ZqUmtsKavStatusEnum apply() {
    const std::vector<pugi::xml_node> names = child_elements_named(modem_, "Name");
    if (names.size() != 1)
      return refuse("ERROR: Port Map Update XML Modem Node does not have 1 Name node\n%s\n");
    name_ = trim_document_text(element_text(names[0]));
    if (name_.empty())
      return refuse("ERROR: Port Map Update XML Modem Node : Name Node is empty\n%s\n");
    if (ZqUmtsKavStatusEnum status = read_reset_method(); status != status::kSuccess) return status;
    const std::vector<pugi::xml_node> port_ids = child_elements_named(modem_, "PortId");
    if (port_ids.empty()) {
      return refuse(
          "ERROR: Port Map Update XML Modem Node does not constain any PortId Nodes\n%s\n");
    }
    for (pugi::xml_node port_id : port_ids) {
      if (ZqUmtsKavStatusEnum status = apply_port_id(port_id); status != status::kSuccess) {
        return status;
      }
    }
    return status::kSuccess;
  }

 private:
  ZqUmtsKavStatusEnum refuse(const char* format) {
    show_msg(format, element_xml(modem_).c_str());
    return status::kXmlRuleBroken;
  }

  // Reports `format` with the offending value and the modem text.
  ZqUmtsKavStatusEnum refuse(const char* format, const char* value) {
    show_msg(format, value, element_xml(modem_).c_str());
    return status::kXmlRuleBroken;
  }

  ZqUmtsKavStatusEnum read_reset_method() {
    const std::vector<pugi::xml_node> methods = child_elements_named(modem_, "DefaultResetMethod");
    if (methods.empty()) return status::kSuccess;  // Both, as initialised
    if (methods.size() > 1) {
      return refuse(
          "ERROR: Port Map Update XML Modem Node has more than 1 DefaultResetMethod Nodes\n%s\n");
    }
    const std::string text = trim_document_text(element_text(methods[0]));
    const std::optional<int32_t> method = reset_method_from(text);
    if (!method) {
      return refuse(
          "ERROR: Port Map Update XML Modem Node constains an unsupported DefaultResetMethod "
          "(%s)\n%s\n",
          text.c_str());
    }
    reset_method_ = *method;
    return status::kSuccess;
  }

  // Checks one PortId and applies it once per valid PortType attribute, in attribute order, so
  // an attribute that follows a valid PortType is refused after the entry has been stored.
  ZqUmtsKavStatusEnum apply_port_id(pugi::xml_node port_id) {
    const std::string ident = trim_document_text(element_text(port_id));
    if (ident.empty())
      return refuse("ERROR: Port Map Update XML Modem Node : PortId Node is empty\n%s\n");
    if (!port_id.first_attribute()) {
      return refuse(
          "ERROR: Port Map Update XML Modem Node : PortID Node does not constain a PortType "
          "attribute\n%s\n");
    }
    for (pugi::xml_attribute a = port_id.first_attribute(); a; a = a.next_attribute()) {
      if (std::strcmp(a.name(), "PortType") != 0) {
        return refuse(
            "ERROR: Port Map Update XML Modem Node : PortID Node constains an unsupported "
            "attribute (%s)\n%s\n",
            a.name());
      }
      const std::optional<int32_t> type = port_type_from(a.value());
      if (!type) {
        return refuse(
            "ERROR: Port Map Update XML Modem Node : PortID Node constains an unsupported "
            "PortType attribute (%s)\n%s\n",
            a.value());
      }
      apply_entry(ident, *type);
    }
    return status::kSuccess;
  }

  // Stores the entry under the upper-cased identifier and reports what it did. The scan lock
  // keeps a scan on the monitor thread from looking the map up while it changes; show_msg may
  // run under it because the log mutex is always the innermost lock.
  void apply_entry(const std::string& ident, int32_t port_type) {
    const std::string key = ascii_upper(ident);
    {
      std::lock_guard lock(scan_lock());
      const std::optional<PortMapEntry> old = lookup_port_map(key);
      if (!old) {
        show_msg("Port Map Update -- Added New Entry to Port Map\n");
      } else if (old->name == name_ && old->port_type == port_type &&
                 old->default_reset_method == reset_method_) {
        show_msg("Port Map Update -- Already in Port Map\n");
      } else {
        show_msg("Port Map Update -- Changed Port Map Entry\n");
      }
      set_port_map_entry(key, PortMapEntry{name_, port_type, reset_method_});
    }
    show_msg("\tDeviceId = %s\n\tName = %s\n\tPortType = %s\n\tDefaultResetMethod = %s\n\n",
             ident.c_str(), name_.c_str(), port_type_name(port_type),
             reset_method_name(reset_method_));
  }

  pugi::xml_node modem_;
  std::string name_;
  int32_t reset_method_ = Both;
};

// Loads the document and applies its Modem elements in document order, stopping at the first
// failure. Every failure is reported here; the result is 0, 367 or 368.
ZqUmtsKavStatusEnum load_and_apply(const std::string& source, bool from_file) {
  std::string file_bytes;
  if (from_file) {
    const int error = platform::read_whole_file(source, &file_bytes, kMaxDocumentFileBytes);
    if (error == platform::kErrorNotRegularFile || error == platform::kErrorFileTooLarge) {
      const std::string why =
          error == platform::kErrorNotRegularFile
              ? "it is not a regular file"
              : "it is larger than " + std::to_string(kMaxDocumentFileBytes) + " bytes";
      show_msg("ERROR: Port Map Update XML file \"%s\" is refused: %s.\n", source.c_str(),
               why.c_str());
      return status::kXmlFailure;
    }
  }
  pugi::xml_document doc;
  switch (load_port_map_document(doc, from_file ? file_bytes : source, from_file)) {
    case LoadOutcome::kLoaded:
      break;
    case LoadOutcome::kFailed:
      show_msg("ERROR: XML parser failed to load Port Map Update XML file\n");
      show_msg("%s", kInternalError);
      return status::kXmlFailure;
    case LoadOutcome::kTooDeep:
      show_msg("ERROR: Port Map Update XML document is nested deeper than %zu levels.\n",
               kMaxDocumentDepth);
      show_msg("%s", kInternalError);
      return status::kXmlFailure;
  }
  const std::vector<pugi::xml_node> modems = elements_named(doc, "Modem");
  if (modems.empty()) {
    show_msg("ERROR: Port Map Update XML file does not contain any Modem nodes.\n");
    return status::kXmlRuleBroken;
  }
  for (pugi::xml_node modem : modems) {
    if (ZqUmtsKavStatusEnum status = ModemUpdate(modem).apply(); status != status::kSuccess) {
      return status;
    }
  }
  return status::kSuccess;
}

// load_and_apply with any unexpected failure (memory exhausted on a huge document, above all)
// turned into the internal error.
ZqUmtsKavStatusEnum guarded_load_and_apply(const std::string& source, bool from_file) {
  try {
    return load_and_apply(source, from_file);
  } catch (const std::exception&) {
    show_msg("%s", kInternalError);
    return status::kXmlFailure;
  }
}

}  // namespace

ZqUmtsKavStatusEnum port_map_update(const char* xml_source) {
  init_valid_ports_map();
  ZqUmtsKavStatusEnum result = status::kSuccess;
  try {
    // A text with neither '<' nor '>' names a document file; a null source names nothing.
    const bool from_file = xml_source == nullptr || std::strpbrk(xml_source, "<>") == nullptr;
    std::string source;
    if (from_file) {
      const std::optional<std::string> path =
          xml_source == nullptr ? std::nullopt : platform::full_path(xml_source);
      if (!path) {
        show_msg("ERROR: ZqUmtsKavPortMapUpdate: unable to get full path name.\n");
        return status::kBadDocumentFileName;
      }
      show_msg("Reading from Port Map Update XML file\n\t\"%s\".\n", path->c_str());
      source = *path;
    } else {
      source = xml_source;
    }
    result = guarded_load_and_apply(source, from_file);
  } catch (const std::exception&) {
    show_msg("%s", kInternalError);
    result = status::kXmlFailure;
  }
  update_com_port_mask("TRIGGER");
  return result;
}

}  // namespace kav
