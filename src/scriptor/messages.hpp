// The fixed texts the script runner answers with, as panels expect them
// to the byte.
#pragma once

namespace vemo::scriptor::messages {

inline constexpr const char* kNoPhp = "没有找到兼容的PHP版本，请先安装";

}  // namespace vemo::scriptor::messages
