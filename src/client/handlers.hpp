// Request handlers beyond the core are free functions over the agent,
// bound as its methods group by group.
#pragma once

#include "client/agent.hpp"

namespace vemo {

using AgentClass = py::class_<Agent>;

// Uploads, downloads, digests, listings, modes and owners, archives.
void bind_file_service(AgentClass& cls);
// Plugins, packages, reload, workers and tasks, relay.
void bind_extension_service(AgentClass& cls);

}  // namespace vemo
