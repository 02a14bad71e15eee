"""Plugins written into a test root's plugin/ directory, and the agent's
answers about them."""
import json
import textwrap

NO_PLUGIN = {"status": False, "msg": "指定插件不存在!"}
UNSAFE = {"status": False, "msg": "受限的访问参数!"}
NO_METHOD = {"status": False, "msg": "指定方法不存在!"}
NOT_INSTALLED = {"status": False, "msg": "未安装!"}


def write_plugin(side, name, info=None, files=None):
    folder = side / "plugin" / name
    folder.mkdir(parents=True, exist_ok=True)
    if info is not None:
        (folder / "info.json").write_text(json.dumps(info))
    for file_name, text in (files or {}).items():
        (folder / file_name).write_text(textwrap.dedent(text))
    return folder


def entry(cls, methods):
    body = textwrap.indent(textwrap.dedent(methods), "    ")
    return "import sys\n\nclass %s(object):\n%s" % (cls, body)
