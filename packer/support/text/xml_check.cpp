#include "packer/support/text/xml_check.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>
#include <vector>

namespace tallix {

namespace {

// Deepest nesting accepted: a manifest nests five or six levels; this
// bounds the stack of open elements a crafted file can build.
constexpr std::size_t XML_DEPTH_LIMIT = 256;

struct Fault {
    std::string cause;
};

bool isNameStart(unsigned char c) {
    return std::isalpha(c) || c == '_' || c == ':' || c >= 0x80;
}

bool isNameChar(unsigned char c) {
    return isNameStart(c) || std::isdigit(c) || c == '-' || c == '.';
}

class Checker {
  public:
    explicit Checker(const std::string &text) : text_(text) {}

    XmlCheck run() {
        XmlCheck result;
        try {
            document();
            result.root = root_;
        } catch (const Fault &fault) {
            result.problem = XmlProblem{line(), fault.cause};
        }
        return result;
    }

  private:
    std::size_t line() const {
        return 1 + static_cast<std::size_t>(std::count(
                       text_.begin(), text_.begin() + std::min(at_, text_.size()), '\n'));
    }

    bool startsWith(const char *prefix) const {
        return text_.compare(at_, std::strlen(prefix), prefix) == 0;
    }

    bool atEnd() const { return at_ >= text_.size(); }

    // Moves past `terminator`, refusing `what` left open at the end.
    void skipPast(const char *terminator, const std::string &what) {
        std::size_t end = text_.find(terminator, at_);
        if (end == std::string::npos) {
            throw Fault{what + " is not closed"};
        }
        at_ = end + std::strlen(terminator);
    }

    void skipSpace() {
        while (!atEnd() && std::isspace(static_cast<unsigned char>(text_[at_]))) {
            ++at_;
        }
    }

    std::string name(const char *of) {
        std::size_t start = at_;
        if (atEnd() || !isNameStart(static_cast<unsigned char>(text_[at_]))) {
            throw Fault{std::string("expected the name of ") + of};
        }
        while (!atEnd() && isNameChar(static_cast<unsigned char>(text_[at_]))) {
            ++at_;
        }
        return text_.substr(start, at_ - start);
    }

    // "&...;" at at_: a named or numeric reference.
    void reference() {
        std::size_t end = text_.find(';', at_);
        std::string body = end == std::string::npos ? "" : text_.substr(at_ + 1, end - at_ - 1);
        static const std::set<std::string> named = {"amp", "lt", "gt", "quot", "apos"};
        auto digits = [&body](std::size_t from, int (*isDigit)(int)) {
            return body.size() > from && std::all_of(body.begin() + from, body.end(), [&](char c) {
                       return isDigit(static_cast<unsigned char>(c)) != 0;
                   });
        };
        bool numeric = body.size() > 1 && body[0] == '#' &&
                       (body[1] == 'x' ? digits(2, ::isxdigit) : digits(1, ::isdigit));
        if (!numeric && named.count(body) == 0) {
            throw Fault{"a bare '&' (write &amp;) or an unknown reference"};
        }
        at_ = end + 1;
    }

    // Comments, processing instructions and a document type declaration:
    // true when one was skipped.
    bool miscellaneous() {
        if (startsWith("<!--")) {
            at_ += 4;
            skipPast("-->", "a comment");
        } else if (startsWith("<?")) {
            at_ += 2;
            skipPast("?>", "a processing instruction");
        } else if (startsWith("<!DOCTYPE")) {
            std::size_t end = text_.find('>', at_);
            if (end != std::string::npos && text_.find('[', at_) < end) {
                throw Fault{"a document type with an internal subset"};
            }
            skipPast(">", "the document type");
        } else {
            return false;
        }
        return true;
    }

    void document() {
        if (startsWith("\xEF\xBB\xBF")) {
            at_ += 3;
        }
        for (skipSpace(); miscellaneous(); skipSpace()) {
        }
        if (atEnd() || text_[at_] != '<') {
            throw Fault{"expected the root element"};
        }
        element();
        for (skipSpace(); miscellaneous(); skipSpace()) {
        }
        if (!atEnd()) {
            throw Fault{"text after the root element's end"};
        }
    }

    // The start tag at at_ ("<" included); true when it closes itself.
    bool startTag(std::string &tag) {
        ++at_;
        tag = name("an element");
        std::set<std::string> attributes;
        for (;;) {
            bool spaced = !atEnd() && std::isspace(static_cast<unsigned char>(text_[at_]));
            skipSpace();
            if (startsWith("/>") || startsWith(">")) {
                bool empty = text_[at_] == '/';
                at_ += empty ? 2 : 1;
                return empty;
            }
            if (!spaced) {
                throw Fault{"<" + tag + ">: expected white space, '>' or '/>'"};
            }
            std::string attribute = name("an attribute");
            if (!attributes.insert(attribute).second) {
                throw Fault{"<" + tag + ">: attribute '" + attribute + "' given twice"};
            }
            skipSpace();
            if (atEnd() || text_[at_] != '=') {
                throw Fault{"<" + tag + ">: attribute '" + attribute + "' has no '='"};
            }
            ++at_;
            skipSpace();
            attributeValue(tag, attribute);
        }
    }

    void attributeValue(const std::string &tag, const std::string &attribute) {
        char quote = atEnd() ? 0 : text_[at_];
        if (quote != '"' && quote != '\'') {
            throw Fault{"<" + tag + ">: the value of '" + attribute + "' is not quoted"};
        }
        for (++at_; !atEnd() && text_[at_] != quote;) {
            if (text_[at_] == '<') {
                throw Fault{"<" + tag + ">: '<' in the value of '" + attribute + "'"};
            }
            if (text_[at_] == '&') {
                reference();
            } else {
                ++at_;
            }
        }
        if (atEnd()) {
            throw Fault{"<" + tag + ">: the value of '" + attribute + "' is not closed"};
        }
        ++at_;
    }

    // The root element and everything in it, with a stack of open
    // elements rather than recursion.
    void element() {
        std::vector<std::string> open;
        do {
            if (startsWith("</")) {
                at_ += 2;
                std::string tag = name("an end tag");
                skipSpace();
                if (atEnd() || text_[at_] != '>' || open.empty() || tag != open.back()) {
                    throw Fault{"</" + tag + "> does not close " +
                                (open.empty() ? "any element" : "<" + open.back() + ">")};
                }
                ++at_;
                open.pop_back();
            } else if (startsWith("<![CDATA[")) {
                skipPast("]]>", "a CDATA section");
            } else if (miscellaneous()) {
                continue; // a comment or processing instruction, skipped
            } else if (!atEnd() && text_[at_] == '<') {
                std::string tag;
                bool empty = startTag(tag);
                if (root_.empty()) {
                    root_ = tag;
                }
                if (!empty) {
                    open.push_back(tag);
                }
                if (open.size() > XML_DEPTH_LIMIT) {
                    throw Fault{"elements nested deeper than " + std::to_string(XML_DEPTH_LIMIT)};
                }
            } else if (!atEnd() && text_[at_] == '&') {
                reference();
            } else if (!atEnd()) {
                ++at_;
            } else {
                throw Fault{"<" + open.back() + "> is not closed"};
            }
        } while (!open.empty());
    }

    const std::string &text_;
    std::size_t at_ = 0;
    std::string root_;
};

} // namespace

XmlCheck checkXml(const std::string &text) {
    return Checker(text).run();
}

} // namespace tallix
