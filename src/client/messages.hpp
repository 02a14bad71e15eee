// The fixed texts the agent answers with, as masters and panels expect
// them to the byte.
#pragma once

#include <string>

namespace vemo::messages {

// Session keys.
inline constexpr const char* kBadPassword = "密码格式不正确!";
// Printed when a peer goes away mid-request.
inline std::string peer_vanished(const std::string& peer) {
    return "客户端[" + peer + "]意外断开连接!";
}

// Files.
inline constexpr const char* kNoSuchFile = "指定文件不存在!";
inline constexpr const char* kNoSuchDirectory = "指定目录不存在!";
inline constexpr const char* kBadPermissions = "错误的权限信息!";
inline constexpr const char* kBadHead = "错误的文件头!";
inline constexpr const char* kCountMismatch = "文件校验失败!";
inline constexpr const char* kUploaded = "上传成功!";
// A path that leads through a symbolic link a local user planted.
inline constexpr const char* kPlantedLink = "指定路径经过不可信的符号链接!";

// Extensions.
inline constexpr const char* kNoSuchOperation = "指定方法不存在!";
// What a relay answers when the master names no operation (no "!").
inline constexpr const char* kRelayNoOperation = "指定方法不存在";
inline constexpr const char* kNoSuchPlugin = "指定插件不存在!";
inline constexpr const char* kRestrictedArguments = "受限的访问参数!";
inline constexpr const char* kNotInstalled = "未安装!";
inline constexpr const char* kModuleReloaded = "模块已重新加载";
inline constexpr const char* kInstalled = "安装成功!";
inline constexpr const char* kAlreadyInstalled = "模块已存在!";
inline constexpr const char* kAlreadyLatest = "已经是最新版本!";
inline constexpr const char* kUninstalled = "卸载成功!";

}  // namespace vemo::messages
