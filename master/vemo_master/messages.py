"""The agent's fixed reply texts (some in Chinese) in English; errors carry
both, callers that need the agent's own text keep it."""
import re

_FIXED = {
    "未安装!": "not installed",
    "安装成功!": "installed",
    "模块已存在!": "already installed",
    "已经是最新版本!": "already the latest version",
    "卸载成功!": "uninstalled",
    "指定插件不存在!": "no such plugin",
    "受限的访问参数!": "name not allowed",
    "指定方法不存在": "no such operation",
    "指定方法不存在!": "no such operation",
    "模块已重新加载": "module reloaded",
    "指定文件不存在!": "no such file (or not a regular file)",
    "指定目录不存在!": "no such directory",
    "错误的权限信息!": "bad mode or owner",
    "错误的文件头!": "first piece does not match its digest",
    "文件校验失败!": "resume offset does not match the partial upload",
    "上传成功!": "uploaded",
    "密码格式不正确!": "bad session key length",
    "请不要重复创建线程!": "a worker of that name is already running",
    "线程创建成功!": "worker started",
    "已添加到线程池!": "worker added",
    "从线程池删除成功": "removed from the worker registry",
    "压缩成功!": "packed",
    "解压成功!": "unpacked",
    "指定任务不存在!": "no such task",
    "任务已删除!": "task removed",
    "任务已添加!": "task added",
    "任务正在执行,无法删除!": "the task is running and cannot be removed",
    "参数错误: id": "bad argument: id",
    "缺少参数: command": "missing argument: command",
    "缺少参数: sfile/dfile": "missing argument: sfile/dfile",
    "参数错误: 缺少源路径或目标文件": "missing source path or archive",
    "参数错误: 缺少压缩包或目标目录": "missing archive or destination",
}

# Texts with a variable part, as (pattern, English with \1...).
_PATTERNS = [
    (r"threads目录下没有找到\[(.*)\.py\]或\[.*\.so\]文件",
     r"no worker module \1.py or \1.so under threads/"),
    (r"没有找到\[(.*)\]", r"\1 not found"),
    (r"不支持的压缩格式: (.*)", r"unsupported archive type: \1"),
    (r"不支持的任务类型: (.*)", r"unsupported task type: \1"),
    (r"指定文件不存在: (.*)", r"no such file: \1"),
    (r"指定压缩包不存在: (.*)", r"no such archive: \1"),
    (r"目标不是目录: (.*)", r"not a directory: \1"),
    (r"添加任务失败: (.*)", r"adding the task failed: \1"),
    (r"压缩失败: (.*)", r"packing failed: \1"),
    (r"解压失败: 压缩包含有不安全的路径: (.*)",
     r"unpacking failed: unsafe member path: \1"),
    (r"解压失败: 路径越出目标目录: (.*)",
     r"unpacking failed: member leaves the destination: \1"),
    (r"解压失败: 链接指向目标目录之外: (.*)",
     r"unpacking failed: link leads outside the destination: \1"),
    (r"解压失败: 不是有效的(zip|tar)文件 \((.*)\)",
     r"unpacking failed: not a valid \1 file (\2)"),
    (r"解压失败: 密码错误或需要密码 \((.*)\)",
     r"unpacking failed: wrong or missing password (\1)"),
    (r"解压失败: 数据损坏或密码错误 \((.*)\)",
     r"unpacking failed: corrupt data or wrong password (\1)"),
    (r"解压失败: 不支持的压缩方式或加密方式 \((.*)\)",
     r"unpacking failed: unsupported compression or encryption (\1)"),
    (r"解压失败: 不支持的成员类型: (.*)",
     r"unpacking failed: unsupported member type: \1"),
    (r"解压失败: (.*)", r"unpacking failed: \1"),
]


def english(text):
    """`text` in English when it is one of the agent's fixed texts, else
    unchanged."""
    if not isinstance(text, str):
        return text
    if text in _FIXED:
        return _FIXED[text]
    for pattern, replacement in _PATTERNS:
        match = re.fullmatch(pattern, text, re.S)
        if match:
            return match.expand(replacement)
    return text
