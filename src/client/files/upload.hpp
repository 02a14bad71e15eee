// Names shared by the upload check and the upload itself.
#pragma once

#include <string>

#include "client/files/files.hpp"

namespace vemo::files {

// The partial file lives beside its target under this ending until the
// last byte has arrived.
constexpr const char* kTempSuffix = "._upload_tmp";

struct UploadNames {
    py::object target;                           // f_path + "/" + f_name, as handed to the panel
    std::string dir, target_path;                // as the file system sees them
    std::string parent, target_name, temp_name;  // target_path split at its last "/"
};

UploadNames upload_names(const py::dict& request);

}  // namespace vemo::files
