#include "aws/xml.hpp"

namespace qvn::aws::xml {

std::string_view local_name(const pugi::xml_node& node) {
  std::string_view name = node.name();
  const auto colon = name.rfind(':');
  return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

pugi::xml_node child(const pugi::xml_node& node, std::string_view name) {
  for (pugi::xml_node c = node.first_child(); c; c = c.next_sibling()) {
    if (c.type() == pugi::node_element && local_name(c) == name) return c;
  }
  return {};
}

pugi::xml_node path(const pugi::xml_node& node, std::string_view slash_separated) {
  pugi::xml_node current = node;
  while (current && !slash_separated.empty()) {
    const auto slash = slash_separated.find('/');
    current = child(current, slash_separated.substr(0, slash));
    slash_separated = slash == std::string_view::npos ? std::string_view{} : slash_separated.substr(slash + 1);
  }
  return current;
}

std::string text(const pugi::xml_node& node) {
  std::string out;
  for (pugi::xml_node c = node.first_child(); c; c = c.next_sibling()) {
    if (c.type() == pugi::node_pcdata || c.type() == pugi::node_cdata) out += c.value();
  }
  return out;
}

std::string child_text(const pugi::xml_node& node, std::string_view name) { return text(child(node, name)); }

pugi::xml_node load(pugi::xml_document& document, const std::string& body, std::string_view root_name,
                    std::string_view what) {
  const auto result =
      document.load_buffer(body.data(), body.size(), pugi::parse_default | pugi::parse_ws_pcdata_single);
  if (!result) {
    throw ParseError(std::string(what) + ": the response is not well-formed XML (" + result.description() + ")");
  }
  pugi::xml_node root = document.document_element();
  if (local_name(root) != root_name) {
    throw ParseError(std::string(what) + ": unexpected response element <" + root.name() + ">, expected <" +
                     std::string(root_name) + ">");
  }
  return root;
}

}  // namespace qvn::aws::xml
