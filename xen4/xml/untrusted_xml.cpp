#include "untrusted_xml.h"

#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <climits>

namespace xml {

namespace {

void Drop(void*, const char*, ...) {}

// libxml2's generic error handler is per thread: replaced for one parse, then restored.
class QuietErrors {
 public:
  QuietErrors() : func_(xmlGenericError), context_(xmlGenericErrorContext) {
    xmlSetGenericErrorFunc(nullptr, &Drop);
  }
  ~QuietErrors() { xmlSetGenericErrorFunc(context_, func_); }
  QuietErrors(const QuietErrors&) = delete;
  QuietErrors& operator=(const QuietErrors&) = delete;

 private:
  xmlGenericErrorFunc func_;
  void* context_;
};

}  // namespace

DocPtr ReadUntrusted(const char* data, size_t length, const char* what, std::string* error) {
  if (length > static_cast<size_t>(INT_MAX)) {
    *error = std::string(what) + " too large";
    return nullptr;
  }
  const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOCDATA;
  DocPtr doc;
  {
    QuietErrors quiet;
    doc.reset(xmlReadMemory(data, static_cast<int>(length), "answer.xml", nullptr, options));
  }
  if (!doc) {
    *error = std::string(what) + " is not well-formed XML";
    return nullptr;
  }
  // Nothing we read has a document type declaration; one that comes with its own
  // entities is refused rather than expanded.
  if (doc->intSubset || doc->extSubset) {
    *error = std::string(what) + " carries a document type declaration";
    return nullptr;
  }
  return doc;
}

}  // namespace xml
