// The engine's working folder: STATE/engine, the engine's `-D`, where
// sing-box's relative paths (its cache file among them) land. It belongs to
// the engine's user (mode 0700) and holds nothing of the daemon's: the
// configuration copy, the engine's record and the daemon's lock stay in the
// state folder beside it, so that an `external_ui` or a rule set inside the
// working folder can never serve or read them.
#ifndef TARQ_DAEMON_CORE_ENGINE_FOLDER_H_
#define TARQ_DAEMON_CORE_ENGINE_FOLDER_H_

#include <optional>
#include <string>

#include "engine_identity.h"

namespace tarq {

// STATE/engine.
std::string engineFolderIn(const std::string& stateFolder);

// Makes `path` the engine's folder: created when missing, never a symbolic
// link, mode 0700, owned by `identity`'s user (or by this process's user
// without one). When it belonged to another user before (the engine user
// was changed), what is inside is given to the new one too, without
// following a symbolic link. Throws std::runtime_error.
void prepareEngineFolder(const std::string& path, const std::optional<EngineIdentity>& identity);

// Throws std::runtime_error, saying why, unless `identity`'s user (with no
// supplementary groups, as the engine runs) can open `path`: the engine
// reads its configuration copy and enters its folder through the state
// folder and every folder above it.
void requireEngineCanOpen(const std::string& path, const EngineIdentity& identity);

}  // namespace tarq

#endif  // TARQ_DAEMON_CORE_ENGINE_FOLDER_H_
