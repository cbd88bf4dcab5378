// libxml2 documents read from bytes a server sent: no network access, no entity
// substitution, no document type declaration, and nothing written to standard error.
#pragma once
#include <libxml/tree.h>

#include <cstddef>
#include <memory>
#include <string>

namespace xml {

struct DocDeleter {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using DocPtr = std::unique_ptr<xmlDoc, DocDeleter>;

// The parsed document, or null with *error set: "<what> is not well-formed XML",
// "<what> carries a document type declaration" or "<what> too large". libxml2's messages
// (its encoding errors included, which its parser options do not silence) are dropped for
// the duration of the call, on the calling thread only.
DocPtr ReadUntrusted(const char* data, size_t length, const char* what, std::string* error);

}  // namespace xml
