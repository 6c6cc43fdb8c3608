// A well-formedness check of XML text, enough to refuse a damaged or
// hand-edited manifest before Windows does: Windows refuses to start a
// program whose manifest it cannot parse, and says little about why.
// Not a validating parser: names, attributes, references, comments,
// processing instructions, CDATA and nesting are checked; a document type
// declaration is skipped, its internal subset refused.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace tallix {

struct XmlProblem {
    std::size_t line = 1; // 1-based, where the fault was found
    std::string cause;    // e.g. "</b> closes <a>"
};

struct XmlCheck {
    std::optional<XmlProblem> problem; // the first fault; none: well-formed
    std::string root;                  // the root element's name
};

// Checks `text` (UTF-8, a byte order mark allowed): one root element, every
// element closed in order, attribute values quoted and each name once per
// element, '<' and '&' only as markup or references (the five named ones,
// or numeric), nothing but comments, processing instructions and white
// space around the root.
XmlCheck checkXml(const std::string &text);

} // namespace tallix
