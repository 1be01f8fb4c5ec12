#pragma once
// Reading AWS XML responses with pugixml. Namespaces are ignored: elements
// are matched by their local name ("ec2:item" and "item" are the same).
#include <pugixml.hpp>

#include <string>
#include <string_view>

#include "aws/errors.hpp"

namespace qvn::aws {

// A successful response whose body cannot be read as the operation's result.
class ResponseParseError : public AwsError {
 public:
  using AwsError::AwsError;
};

}  // namespace qvn::aws

namespace qvn::aws::xml {

using ParseError = ResponseParseError;

// The element name without any namespace prefix.
std::string_view local_name(const pugi::xml_node& node);

// The first child element with that local name; an empty node when none.
pugi::xml_node child(const pugi::xml_node& node, std::string_view name);

// Follows a chain of child names ("Policy/Arn"); an empty node when a link is missing.
pugi::xml_node path(const pugi::xml_node& node, std::string_view slash_separated);

// The element's text content (all text and CDATA children joined).
std::string text(const pugi::xml_node& node);

// The text of the first child element of that local name; empty when none.
std::string child_text(const pugi::xml_node& node, std::string_view name);

// Parses `body` and returns its root element, checking its local name.
// Throws ParseError naming `what` (the operation) when the body is not
// well-formed XML or its root is not `root_name`.
pugi::xml_node load(pugi::xml_document& document, const std::string& body, std::string_view root_name,
                    std::string_view what);

}  // namespace qvn::aws::xml
