// The stand-in's cache file: the member each selector group uses, kept
// across runs as sing-box keeps it in its cache file.
//
// With experimental.cache_file enabled, sing-box stores a selector's member
// whenever it is switched (there is no option to turn that off) and starts
// the selector on the stored member, when it is still one of the group's,
// instead of on its "default". So a start that switches nothing (the
// plug-in's "auto") continues the last session's choice. The stand-in keeps
// the same promise in a file of its own format (JSON, {"selected": {GROUP:
// MEMBER}}); it is no bbolt database and sing-box cannot read it.
//
// Thread safety: plain functions; callers serialise saves to one file.
#ifndef TARQ_TOOLS_SIMENGINE_SELECTION_CACHE_H_
#define TARQ_TOOLS_SIMENGINE_SELECTION_CACHE_H_

#include <map>
#include <string>

namespace tarq {

using StoredSelection = std::map<std::string, std::string>;  // group -> member

// What `path` holds; nothing when it is missing or holds something else (the
// next save replaces it, as sing-box replaces a cache file it cannot read).
StoredSelection loadSelection(const std::string& path);

// Replaces `path` atomically (mode 0600). Throws std::runtime_error.
void saveSelection(const std::string& path, const StoredSelection& selection);

}  // namespace tarq

#endif  // TARQ_TOOLS_SIMENGINE_SELECTION_CACHE_H_
